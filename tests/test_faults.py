"""A misbehaving port and a vanishing device: each fault ends in a Python exception or the result
that a missing or normal reply gives, and the module keeps working afterwards."""

import time
import types

import pytest
import serial

import kq5316
from kq5316 import KQ5316
from support import StandInPort

VERSION = bytes.fromhex("7B 01 08 00 03 02 32 20 00 7D")
LENGTHS = bytes.fromhex("7B 02 0B 07 2E 03 1E 05 D2 05 FF 05 00 7D")
STATUS = bytes.fromhex("7B 03 0A 14 36 00 00 02 F4 01 00 7D")
ACK = bytes.fromhex("7B 03 07 14 3C 6E 00 00 7D")

# operation, its reply, the result of that reply, the result (or exception) without a reply
OPERATIONS = {
    "read_device_version": (lambda kq: kq.read_device_version(), VERSION,
                            {"module_version": 2, "hard_version": 50, "soft_version": 32}, None),
    "read_optical_length": (lambda kq: kq.read_optical_length(2), LENGTHS,
                            [1310, 1490, 1535], None),
    "read_current_status": (lambda kq: kq.read_current_status(3), STATUS,
                            {"dev_work_mode": 0, "optical_length_index": 2, "attenuation": 5000},
                            None),
    "set_attenuation": (lambda kq: kq.set_attenuation(1100, 3), ACK, True, False),
    "close_full_screen": (lambda kq: kq.close_full_screen(), ACK, True, False),
    # the list reply doubles as the acknowledgement of the selection
    "set_optical_length": (lambda kq: kq.set_optical_length(1490, 2), LENGTHS, True, RuntimeError),
}
WRITE_ERROR = OSError(5, "Input/output error")
READ_ERROR = serial.SerialException("device reports readiness to read but returned no data")


def raising(error):
    def method(*args):
        raise error
    return method


# fault, the port method replaced, its replacement, and the outcome: "reply" (the result of the
# reply), "none" (the result without a reply) or the exception raised
FAULTS = [
    ("in-waiting-huge", "inWaiting", lambda port: 2**100, "reply"),
    ("in-waiting-past-ssize", "inWaiting", lambda port: 2**63, "reply"),
    ("in-waiting-negative", "inWaiting", lambda port: -1, "none"),
    ("in-waiting-huge-negative", "inWaiting", lambda port: -2**100, "none"),
    ("in-waiting-nan", "inWaiting", lambda port: float("nan"), "none"),
    ("in-waiting-str", "inWaiting", lambda port: "12", TypeError),
    ("in-waiting-none", "inWaiting", lambda port: None, TypeError),
    ("in-waiting-object", "inWaiting", lambda port: object(), TypeError),
    ("in-waiting-float", "inWaiting", lambda port: 12.0, TypeError),  # read refuses 12.0
    ("in-waiting-raises", "inWaiting", raising(READ_ERROR), serial.SerialException),
    ("read-str", "read", lambda port, n: "{\x01}", TypeError),
    ("read-empty-str", "read", lambda port, n: "", "none"),
    ("read-none", "read", lambda port, n: None, "none"),
    ("read-fewer-bytes", "read", lambda port, n: StandInPort.read(port, n // 2), "none"),
    ("read-raises", "read", raising(READ_ERROR), serial.SerialException),
    ("write-raises", "write", raising(WRITE_ERROR), OSError),
]


def assert_constants_are_valid_frames():
    kq = KQ5316("/dev/unused")
    for name, frame in vars(KQ5316).items():
        if name.startswith("_KQ5316__CMD_"):
            assert frame[0] == 0x7B and frame[-1] == 0x7D and frame[2] == len(frame) - 2, name
            assert all(type(b) is int and 0 <= b <= 255 for b in frame), name
            assert kq._KQ5316__check_crc(frame) is True, name


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("fault, method, replacement, outcome", FAULTS, ids=[f[0] for f in FAULTS])
def test_misbehaving_port_gives_an_exception_or_a_reply_result(
    monkeypatch, figures, operation, fault, method, replacement, outcome
):
    figures.add("port faults injected")
    monkeypatch.setattr(kq5316, "time", types.SimpleNamespace(sleep=lambda seconds: None))
    call, reply, result, nothing = OPERATIONS[operation]
    kq = KQ5316("/dev/in-memory")
    kq.ser = StandInPort(reply, reply)  # set_optical_length writes twice
    setattr(kq.ser, method, types.MethodType(replacement, kq.ser))
    outcome = {"reply": result, "none": nothing}.get(outcome, outcome)
    if isinstance(outcome, type) and issubclass(outcome, Exception):
        with pytest.raises(outcome) as raised:
            call(kq)
        if fault.endswith("raises"):  # the port's own exception, unchanged
            assert raised.value is (WRITE_ERROR if method == "write" else READ_ERROR)
    else:
        assert call(kq) == outcome
    kq.ser = StandInPort(reply, reply)  # the same object on a port that behaves
    assert call(kq) == result
    assert_constants_are_valid_frames()


# ---------------------------------------------------------------- the simulated instrument

class ReplyWait:
    """Pause stand-in: returns once the reply has arrived and stopped growing for 20 ms (at most
    2 s), so tests on a real terminal neither wait 0.2 s nor read before the reply is there."""

    def __init__(self, kq):
        self.kq = kq

    def sleep(self, seconds):
        deadline = time.monotonic() + 2.0
        seen, since = 0, time.monotonic()
        while time.monotonic() < deadline:
            try:
                waiting = self.kq.ser.in_waiting
            except (OSError, serial.SerialException):
                return  # the device is gone; the operation's own read finds out
            if waiting != seen:
                seen, since = waiting, time.monotonic()
            elif waiting and time.monotonic() - since >= 0.02:
                return
            time.sleep(0.002)


@pytest.fixture
def on_simulator(sim_factory, monkeypatch):
    def connect(*args):
        sim = sim_factory(*args)
        kq = KQ5316(sim.port)
        monkeypatch.setattr(kq5316, "time", ReplyWait(kq))
        assert kq.open() is True
        return sim, kq

    return connect


# every operation, the two that OPERATIONS leaves out included
EVERY_CALL = {name: operation[0] for name, operation in OPERATIONS.items()} | {
    "clear_attenuation": lambda kq: kq.clear_attenuation(2),
    "dis_connection": lambda kq: kq.dis_connection(3),
}


@pytest.mark.parametrize("operation", EVERY_CALL)
def test_device_vanishing_before_a_command_raises_a_serial_error(on_simulator, figures, operation):
    figures.add("device vanishings")
    sim, kq = on_simulator()
    assert kq.read_device_version() == OPERATIONS["read_device_version"][2]
    sim.stop()
    with pytest.raises(serial.SerialException):
        EVERY_CALL[operation](kq)
    kq.close()
    assert_constants_are_valid_frames()


@pytest.mark.parametrize("operation", ["read_current_status", "set_attenuation"])
def test_device_vanishing_while_the_reply_is_awaited_raises(on_simulator, operation, monkeypatch,
                                                            figures):
    figures.add("device vanishings")
    sim, kq = on_simulator("--fault", "silent")
    monkeypatch.setattr(kq5316, "time", types.SimpleNamespace(sleep=lambda seconds: sim.stop()))
    with pytest.raises((OSError, serial.SerialException)):
        OPERATIONS[operation][0](kq)
    assert sim.frames()  # the frame had gone out before the device went away
    kq.close()


def test_restarted_device_works_after_the_port_is_reopened(on_simulator, sim_factory, figures):
    figures.add("device restarts")
    sim, kq = on_simulator()
    assert kq.set_attenuation(2000, 2) is True
    sim.stop()
    with pytest.raises((OSError, serial.SerialException)):
        kq.read_current_status(2)
    restarted = sim_factory("--device-version", "3,4,5")
    kq.port = restarted.port
    assert kq.open() is True
    assert kq.read_device_version() == {"module_version": 3, "hard_version": 4, "soft_version": 5}
    assert kq.set_attenuation(1100, 2) is True
    assert kq.read_current_status(2) == {"dev_work_mode": 0, "optical_length_index": 0,
                                         "attenuation": 1100}
    assert kq.set_optical_length(1550, 2) is True
    assert restarted.wait_frames(4)[-1] == bytes.fromhex("7B 02 06 14 3A 01 2E 7D")
    kq.close()
    assert_constants_are_valid_frames()
