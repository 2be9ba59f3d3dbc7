"""The command frames the class holds and the additive checksum, without any port."""

import pytest

from kq5316 import KQ5316
from support import STORED, constant, frame, reference_checksum

@pytest.fixture
def device():
    """The checksum methods need no port: an object that was never opened."""
    return KQ5316("/dev/never-opened")


@pytest.mark.parametrize("name", STORED)
def test_stored_frame_is_valid_and_checksum_leaves_it_unchanged(device, name):
    data = constant(name)
    assert data == frame(STORED[name])
    assert data[2] == len(data) - 2
    assert device._KQ5316__check_crc(data) is True
    assert device._KQ5316__cal_crc(data) is None
    assert data == frame(STORED[name])


@pytest.mark.parametrize(
    "name, patches, expected",
    [
        ("READ_OPTICAL_LEN", {1: 2}, "7B 02 05 07 2E 49 7D"),
        ("READ_OPTICAL_LEN", {1: 75}, "7B 4B 05 07 2E 00 7D"),  # sum exactly 256
        ("SET_OPTICAL_LEN", {1: 1, 5: 0}, "7B 01 06 14 3A 00 30 7D"),
        ("SET_OPTICAL_LEN", {1: 2, 5: 2}, "7B 02 06 14 3A 02 2D 7D"),
        ("SET_ATTENUATION", {5: 0x6E, 6: 0x00}, "7B 01 07 14 3C 6E 00 BF 7D"),
        ("SET_ATTENUATION", {1: 2, 5: 0xF4, 6: 0x01}, "7B 02 07 14 3C F4 01 37 7D"),
        ("SET_ATTENUATION", {5: 0xFF, 6: 0xFF}, "7B 01 07 14 3C FF FF 2F 7D"),
        ("CLEAR_ATTENUATION", {1: 2}, "7B 02 07 14 34 00 00 34 7D"),
        ("DIS_CONNECT", {1: 3}, "7B 03 07 14 34 FF FF 35 7D"),
    ],
)
def test_checksum_stored_in_place_after_patching(device, name, patches, expected):
    data = constant(name)
    for index, value in patches.items():
        data[index] = value
    device._KQ5316__cal_crc(data)
    assert constant(name) is data
    assert data == frame(expected)
    assert device._KQ5316__check_crc(data) is True


def test_end_byte_is_not_covered_by_the_checksum(device):
    data = frame(STORED["DIS_CONNECT"])
    data[-1] = 0x00
    assert device._KQ5316__check_crc(data) is True


@pytest.mark.parametrize("index", range(7))
@pytest.mark.parametrize("delta, still_valid", [(1, False), (255, False), (256, True)])
def test_changing_a_covered_byte_breaks_the_checksum_unless_by_multiple_of_256(
    device, index, delta, still_valid
):
    data = frame(STORED["SET_ATTENUATION"])
    data[index] += delta
    assert device._KQ5316__check_crc(data) is still_valid


def test_check_compares_with_python_equality(device):
    assert device._KQ5316__check_crc([123, 1, 5, 0, 3, 124.0, 125]) is True
    assert device._KQ5316__check_crc([123, 1, 5, 0, 3, 380, 125]) is False


@pytest.mark.parametrize(
    "data",
    [[2**100 + 5, -3, 9, 0], [-(2**70), 7, 0, 0], [-1, 0, 0], [True, True, 5, 0, 0],
     [2**63 - 1, 2**63 - 1, 2, 0, 0], [-(2**63), -(2**63), -1, 0, 0]],  # sums beyond 64 bits too
)
def test_checksum_of_unbounded_integers_is_python_arithmetic(device, data):
    expected = reference_checksum(data)
    copy = list(data)
    device._KQ5316__cal_crc(data)
    assert data[-2] == expected
    assert data[:-2] == copy[:-2] and data[-1] == copy[-1]
    assert device._KQ5316__check_crc(data) is True


def test_two_element_frame_gets_checksum_zero(device):
    data = [9, 9]
    device._KQ5316__cal_crc(data)
    assert data == [0, 9]


@pytest.mark.parametrize(
    "data, error",
    [([], IndexError), ([7], IndexError),  # shorter than two
     # 1.5: the sum works, the bitwise NOT does not
     ([123, 1.5, 5, 0, 0], TypeError), ([123, "1", 5, 0, 0], TypeError),
     ([123, None, 5, 0, 0], TypeError), ([123, 2**80, [], 0, 0], TypeError)],
)
@pytest.mark.parametrize("method", ["_KQ5316__cal_crc", "_KQ5316__check_crc"])
def test_unusable_frame_raises_and_stores_nothing(device, method, data, error):
    copy = list(data)
    with pytest.raises(error):
        getattr(device, method)(data)
    assert data == copy

