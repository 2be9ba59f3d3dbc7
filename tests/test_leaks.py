"""Repeated calls leave neither memory nor references behind: every operation, every refusal and
every failure path, thousands of times each, on an in-memory port with a no-op pause."""

import gc
import sys
import types

import pytest

import kq5316
from kq5316 import KQ5316
from support import StandInPort

ROUNDS, WARM_UP = 2000, 200  # calls measured; calls before measuring (caches, first patches)
LIMIT = 200  # growth allowed over ROUNDS calls; one leaked object per call gives >= ROUNDS

VERSION, LENGTHS, STATUS = (0x00, 0x03), (0x07, 0x2E), (0x14, 0x36)
ACK = bytes.fromhex("7B 01 05 14 3C 00 7D")
GOOD = {VERSION: bytes.fromhex("7B 01 08 00 03 02 32 20 00 7D"),
        LENGTHS: bytes.fromhex("7B 01 0B 07 2E 03 1E 05 D2 05 FF 05 00 7D"),
        STATUS: bytes.fromhex("7B 01 0A 14 36 00 00 02 F4 01 00 7D"),
        (0x14, 0x3A): ACK, (0x14, 0x3C): ACK, (0x14, 0x34): ACK, (0x00, 0x05): ACK}
SHORT = {key: b"\x7b\x01\x7d" for key in GOOD}  # delimited but too short to decode
BIG = 2**100
IO_ERROR = OSError(5, "Input/output error")


@pytest.fixture
def kq(monkeypatch):
    """An object on an in-memory port; open() and the availability check reach stubs."""
    def run(command, stdout=None, stderr=None):  # lsof reports a holder for /dev/held only
        return types.SimpleNamespace(stdout=b"pid 1" if command[1] == "/dev/held" else b"")

    def open_port(name, *args, **kwargs):
        if name == "/dev/missing":
            raise OSError(f"could not open port {name}")
        return StandInPort(by_command=GOOD, record=False)

    monkeypatch.setattr(kq5316, "time", types.SimpleNamespace(sleep=lambda seconds: None))
    monkeypatch.setattr(kq5316, "subprocess", types.SimpleNamespace(run=run, PIPE=-1))
    monkeypatch.setattr(kq5316, "serial",
                        types.SimpleNamespace(Serial=open_port, SerialException=OSError))
    monkeypatch.setattr(sys, "stdout", types.SimpleNamespace(write=len, flush=lambda: None))
    return KQ5316("/dev/in-memory")


def case(id, method, *args, replies=GOOD, failing=None, raises=(), port="/dev/in-memory", **kw):
    return pytest.param(method, args, kw, replies, failing, raises, port, id=id)


NO_REPLY = [case(f"{m}-no-reply", m, *a, replies={}) for m, a in [
    ("read_device_version", ()), ("read_optical_length", ()), ("read_current_status", ()),
    ("set_attenuation", (100,)), ("clear_attenuation", ()), ("dis_connection", ()),
    ("close_full_screen", ())]]
SCENARIOS = [
    *(case(m, m, *a) for m, a in [
        ("read_device_version", ()), ("read_optical_length", (2,)), ("read_current_status", (3,)),
        ("set_optical_length", (1490, 2)), ("set_attenuation", (655359, 255)),
        ("clear_attenuation", (4,)), ("dis_connection", ()), ("close_full_screen", ()),
        ("_KQ5316__write_and_read", (b"\x7b",)), ("__init__", ("/dev/other",)),
        ("check_port_available", ()), ("open", ()), ("close", ())]),
    case("new-object", "KQ5316", "/dev/new"),
    case("keyword-ch", "set_attenuation", 1100, ch=2),
    # refusals: binding, exact types, ranges, set_optical_length's own checks
    case("float", "set_attenuation", 1100.0, raises=TypeError),
    case("bool", "read_current_status", True, raises=TypeError),
    case("too-few", "set_attenuation", raises=TypeError),
    case("too-many", "read_optical_length", 1, 2, raises=TypeError),
    case("unknown-keyword", "open", mode="rw", raises=TypeError),
    case("twice", "set_attenuation", 1100, attenuation=5, raises=TypeError),
    case("port-name-none", "KQ5316", None, raises=TypeError),
    case("crc-tuple", "_KQ5316__cal_crc", (1, 2), raises=TypeError),
    case("attenuation-below", "set_attenuation", -10, raises=ValueError),
    case("attenuation-huge", "set_attenuation", BIG, raises=ValueError),
    case("ch-above", "read_current_status", 256, raises=ValueError),
    case("ch-huge-negative", "dis_connection", -BIG, raises=ValueError),
    case("length-unsupported", "set_optical_length", 1550, raises=ValueError),
    case("length-no-list", "set_optical_length", 1310, replies={}, raises=RuntimeError),
    case("length-empty-list", "set_optical_length", 1310, raises=RuntimeError,
         replies={LENGTHS: bytes.fromhex("7B 01 05 07 2E 00 00 7D")}),
    # failures: no reply, short delimited replies, the port raising, no port, refused ports
    *NO_REPLY,
    case("select-no-reply", "set_optical_length", 1310, replies={LENGTHS: GOOD[LENGTHS]}),
    case("version-short", "read_device_version", replies=SHORT),
    case("lengths-short", "read_optical_length", replies=SHORT, raises=IndexError),
    case("status-short", "read_current_status", replies=SHORT, raises=IndexError),
    case("select-short", "set_optical_length", 1310, replies=SHORT, raises=IndexError),
    case("write-raises", "set_attenuation", 100, failing="write", raises=OSError),
    case("in-waiting-raises", "read_current_status", failing="inWaiting", raises=OSError),
    case("read-raises", "read_device_version", failing="read", raises=OSError),
    case("never-opened", "dis_connection", replies=None, raises=AttributeError),
    case("open-fails", "open", port="/dev/missing"),
    case("port-held", "check_port_available", port="/dev/held"),
    # the checksum methods on good and bad lists
    case("check-crc", "_KQ5316__check_crc", [0x7B, 1, 5, 0, 3, 0x7C, 0x7D]),
    case("cal-crc-big", "_KQ5316__cal_crc", [BIG, -BIG - 1, 7, 0, 0]),
    case("cal-crc-short", "_KQ5316__cal_crc", [7], raises=IndexError),
    case("check-crc-empty", "_KQ5316__check_crc", [], raises=IndexError),
    case("cal-crc-float", "_KQ5316__cal_crc", [1, 2.5, 0, 0], raises=TypeError),
    case("check-crc-none", "_KQ5316__check_crc", [None, 1, 0, 0], raises=TypeError),
]


def _blocks_are_counted():
    before = sys.getallocatedblocks()
    held = [object() for _ in range(1000)]
    return sys.getallocatedblocks() - before >= len(held)


# Only Python's own allocator counts blocks; under PYTHONMALLOC=malloc (the sanitizer run, where
# LeakSanitizer watches memory instead) the count stays at zero and only references are checked.
BLOCKS_COUNTED = _blocks_are_counted()


def measure(call, watched):
    """Growth of allocated blocks and of the watched objects' reference counts over ROUNDS."""
    for _ in range(WARM_UP):
        call()
    gc.collect()
    blocks, refs = sys.getallocatedblocks(), [sys.getrefcount(o) for o in watched]
    for _ in range(ROUNDS):
        call()
    gc.collect()
    return (sys.getallocatedblocks() - blocks,
            max(sys.getrefcount(o) - r for o, r in zip(watched, refs)))


@pytest.mark.parametrize("method, args, kwargs, replies, failing, raises, port", SCENARIOS)
def test_repeated_calls_do_not_grow_memory_or_references(
    kq, figures, method, args, kwargs, replies, failing, raises, port
):
    kq.port = port
    if replies is not None:
        kq.ser = StandInPort(by_command=replies, fail=failing, error=IO_ERROR, record=False)
    target = KQ5316 if method == "KQ5316" else getattr(kq, method)
    if raises:
        with pytest.raises(raises):
            target(*args, **kwargs)

    def call():
        try:
            target(*args, **kwargs)
        except raises:
            pass

    constants = [v for n, v in vars(KQ5316).items() if n.startswith("_KQ5316__CMD_")]
    watched = [kq, KQ5316, kq5316.time, *constants, *args, *kwargs.values(), *vars(kq).values()]
    blocks, refs = measure(call, watched)
    assert blocks < LIMIT or not BLOCKS_COUNTED, f"{blocks} more blocks after {ROUNDS} calls"
    assert refs < LIMIT, f"a shared object gained {refs} references in {ROUNDS} calls"
    figures.add("calls checked for leaks", ROUNDS)


@pytest.mark.parametrize("detector", ["blocks", "references"])
def test_detector_sees_one_leak_per_call(kq, detector):
    if detector == "blocks" and not BLOCKS_COUNTED:
        pytest.skip("this interpreter's allocator does not count blocks (PYTHONMALLOC=malloc)")
    kq.ser, kept = StandInPort(by_command=GOOD, record=False), []

    def leaky_call():
        kq.read_current_status(2)
        kept.append(object() if detector == "blocks" else kq.ser)

    blocks, refs = measure(leaky_call, [kq.ser])
    assert (blocks if detector == "blocks" else refs) >= ROUNDS > LIMIT


class Slotted:
    """Passed as `self` to the class's functions: a port and the frame, but no weak references."""
    __slots__ = ("ser",)
    _KQ5316__CMD_CLOSE_FULLSCREEN = KQ5316._KQ5316__CMD_CLOSE_FULLSCREEN
    _KQ5316__read = KQ5316._KQ5316__read


@pytest.mark.parametrize("holder", ["a new object each call", "a self without weak references"])
def test_the_lock_of_each_calling_object_goes_with_it(kq, holder):
    port = StandInPort(by_command=GOOD, record=False)

    def call():
        instrument = KQ5316("/dev/in-memory") if holder.startswith("a new") else Slotted()
        instrument.ser = port
        assert KQ5316.close_full_screen(instrument) is True

    blocks, refs = measure(call, [port])
    assert blocks < LIMIT or not BLOCKS_COUNTED, f"{blocks} more blocks after {ROUNDS} calls"
    assert refs < LIMIT
