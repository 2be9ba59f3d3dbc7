"""The command exchange: write the frame, pause, read what is waiting; the shared command
constants, patched in place where a command addresses a channel, and copied for each write."""

import re
import threading
import time
from types import SimpleNamespace

import pytest
import serial

import kq5316
from kq5316 import KQ5316
from support import (STORED, VERSION, StandInPort, constant, frame, opened, perform, sent, stand_in,
                     status)

ALL_CALLS = [
    "read_device_version()", "read_optical_length(2)", "set_optical_length(1310, 2)",
    "read_current_status(3)", "set_attenuation(5000, 2)", "clear_attenuation(2)",
    "dis_connection(3)", "close_full_screen()",
]


def wait_waiting(port, count):
    deadline = time.monotonic() + 5.0
    while port.in_waiting < count and time.monotonic() < deadline:
        time.sleep(0.002)


@pytest.mark.parametrize(
    "call, name, length",
    [("read_device_version()", "READ_DEV_VER", 10), ("read_optical_length(2)", "READ_OPTICAL_LEN", 7),
     ("read_current_status(3)", "READ_CURRENT_STATUS", 12), ("set_attenuation(1100)", "SET_ATTENUATION", 9),
     ("clear_attenuation()", "CLEAR_ATTENUATION", 2), ("dis_connection()", "DIS_CONNECT", 3),
     ("close_full_screen()", "CLOSE_FULLSCREEN", 1)],
)
def test_exchange_writes_a_copy_of_the_frame_pauses_then_reads_what_waits(monkeypatch, call, name, length):
    # The constants are shared by every object, so every port gets a copy: a port that keeps or
    # changes the list it was given cannot reach the class's frame.
    device = stand_in(bytes(length))
    monkeypatch.setattr(kq5316, "time", SimpleNamespace(sleep=lambda s: device.ser.calls.append(("sleep", s))))
    perform(device, call)
    assert [c[0] for c in device.ser.calls] == ["write", "sleep", "inWaiting", "read"]
    written = device.ser.calls[0][1]
    assert type(written) is list and written == constant(name) and written is not constant(name)
    assert device.ser.calls[1][1] == 0.2 and device.ser.calls[3][1] == length


@pytest.mark.parametrize("meddles_at", [1, 4])
def test_code_run_while_the_checksum_is_summed_cannot_change_the_frame_sent(meddles_at):
    # An item whose addition rewrites the shared frame, as another thread patching it would.
    class Meddling(int):
        def __radd__(self, other):
            constant("READ_CURRENT_STATUS")[meddles_at] = 0x99
            return other + int(self)

    constant("READ_CURRENT_STATUS")[3] = Meddling(0x14)
    device = stand_in(by_command={})
    device.read_current_status(2)
    assert device.ser.written == [sent("READ_CURRENT_STATUS", {1: 2})]
    assert bytes(constant("READ_CURRENT_STATUS")) == device.ser.written[0]


@pytest.mark.parametrize("keeps_list", [True, False])
def test_each_write_gets_the_frame_of_its_own_call_whether_or_not_the_port_keeps_the_list(keeps_list):
    # A port that keeps the list it was given must never see it change.
    device = stand_in(by_command={})
    kept = []
    device.ser.write = lambda data: kept.append(data if keeps_list else bytes(data))
    channels = [2, 3, 3, 4]
    for ch in channels:
        device.clear_attenuation(ch)
    assert [bytes(data) for data in kept] == [
        sent("CLEAR_ATTENUATION", {1: ch}) for ch in channels]


@pytest.mark.parametrize("waiting, reads", [(0, []), (-1, []), (3, [3]), (7, [7])])
def test_read_queries_once_and_reads_at_most_once(waiting, reads):
    reply = b"\x7b\x01\x7d"  # whatever the port returns is the reply
    device = stand_in(in_waiting=waiting)
    device.ser.buffer += reply
    result = device._KQ5316__read()
    assert result == (reply if reads else None)
    assert device.ser.calls == [("inWaiting",)] + [("read", n) for n in reads]


def test_read_returns_exactly_the_bytes_waiting_or_none(kq, sim):
    assert kq._KQ5316__read() is None
    sim.control("inject 7B 01 02 03 04 05 7D")
    wait_waiting(kq.ser, 7)
    assert kq._KQ5316__read() == bytes.fromhex("7B 01 02 03 04 05 7D")
    assert kq.ser.in_waiting == 0


def test_write_and_read_causes_no_traffic(kq, sim):
    assert kq._KQ5316__write_and_read(b"\x7b\x01\x05\x00\x03\x7c\x7d") is None
    assert KQ5316("never-opened")._KQ5316__write_and_read(b"") is None
    with pytest.raises(TypeError):
        kq._KQ5316__write_and_read([0x7B, 0x7D])
    assert kq.close_full_screen() is True
    assert sim.frames() == [bytes.fromhex(STORED["CLOSE_FULLSCREEN"])]


@pytest.mark.parametrize(
    "call, missed",
    [("read_device_version()", None), ("set_optical_length(1310)", RuntimeError), ("set_attenuation(1100)", False)],
)
def test_late_reply_is_missed_then_read_in_front_of_the_next_reply(kq, sim, pause, monkeypatch, call, missed):
    sim.control("delay 500")
    monkeypatch.setattr(kq5316, "time", time)  # the real pause
    assert perform(kq, call) == missed
    late = bytes.fromhex(sim.wait_event(lambda e: e["event"] == "sent")["tx"])
    wait_waiting(kq.ser, len(late))
    monkeypatch.setattr(kq5316, "time", pause)
    pause.catch_up()
    decoded = kq.read_current_status(1)
    reply = late + bytes.fromhex([e for e in sim.events() if e["event"] == "frame"][-1]["tx"])
    assert decoded == status(reply[5], reply[7], (reply[8] | reply[9] << 8) * 10)
    assert kq.read_device_version() == VERSION


@pytest.mark.parametrize(
    "leftover, call, result",
    [("00", "clear_attenuation()", False), ("7B 7D", "read_device_version()", None),
     ("7B 01 02 03 04 09 08 07 00 7D", "read_current_status()", status(9, 7, 0x7D00 * 10))],
)
def test_bytes_left_waiting_are_not_discarded_before_the_next_frame(kq, sim, leftover, call, result):
    sim.control("inject " + leftover)
    wait_waiting(kq.ser, len(bytes.fromhex(leftover)))
    assert perform(kq, call) == result
    assert kq.read_device_version() == VERSION


def test_constants_are_shared_by_every_object_and_keep_the_last_frame(sim_factory, pause):
    first, second = opened(sim_factory(), pause), opened(sim_factory(), pause)
    assert first.read_current_status(3) is not None
    for device in (first, second, KQ5316("never-opened")):
        assert device._KQ5316__CMD_READ_CURRENT_STATUS is constant("READ_CURRENT_STATUS")
    assert constant("READ_CURRENT_STATUS") == frame("7B 03 05 14 36 33 7D")
    assert second.clear_attenuation(2) and second.dis_connection(2)
    assert constant("CLEAR_ATTENUATION") == frame("7B 02 07 14 34 00 00 34 7D")
    assert constant("DIS_CONNECT") == frame("7B 02 07 14 34 FF FF 36 7D")
    assert constant("READ_CURRENT_STATUS") == frame("7B 03 05 14 36 33 7D")


@pytest.mark.parametrize(
    "call, name, patched",
    [("read_device_version()", None, None), ("read_optical_length(2)", "READ_OPTICAL_LEN", "7B 02 05 07 2E 49 7D"),
     ("set_optical_length(1310, 2)", "READ_OPTICAL_LEN", "7B 02 05 07 2E 49 7D"),
     ("read_current_status(3)", "READ_CURRENT_STATUS", "7B 03 05 14 36 33 7D"),
     ("set_attenuation(5000, 2)", "SET_ATTENUATION", "7B 02 07 14 3C F4 01 37 7D"),
     ("clear_attenuation(2)", "CLEAR_ATTENUATION", "7B 02 07 14 34 00 00 34 7D"),
     ("dis_connection(3)", "DIS_CONNECT", "7B 03 07 14 34 FF FF 35 7D"),
     ("close_full_screen()", None, None), ("_KQ5316__read()", None, None)],
)
def test_before_open_the_missing_port_raises_attribute_error(call, name, patched):
    with pytest.raises(AttributeError, match="ser"):
        eval("device." + call, {"device": KQ5316("/dev/never-opened")})
    expected = {**STORED, **({name: patched} if name else {})}
    assert {n: constant(n) for n in STORED} == {n: frame(t) for n, t in expected.items()}


def replace_reply_read(monkeypatch, where, replacement):
    """A KQ5316 on a silent port whose reply read is `replacement` (a function of `self`),
    replaced `where`; returns it and a function that undoes the replacement."""
    if where == "in a subclass":
        device = type("Subclass", (KQ5316,), {"_KQ5316__read": replacement})("stand-in")
    elif where == "by __getattribute__":
        def __getattribute__(self, name):
            if name == "_KQ5316__read":
                return replacement.__get__(self)
            return object.__getattribute__(self, name)
        device = type("Hooked", (KQ5316,), {"__getattribute__": __getattribute__})("stand-in")
    else:
        device = KQ5316("stand-in")
    device.ser = StandInPort()
    if where == "on the object":
        device._KQ5316__read = replacement.__get__(device)
        return device, lambda: delattr(device, "_KQ5316__read")
    if where == "on the class":
        monkeypatch.setattr(KQ5316, "_KQ5316__read", replacement)
        return device, monkeypatch.undo
    return device, None


@pytest.mark.parametrize("where", ["on the object", "in a subclass", "on the class", "by __getattribute__"])
def test_the_reply_read_is_the_one_the_instance_gives(monkeypatch, where):
    def replacement(self):
        self.ser.calls.append(("replacement",))
        return b"\x7b\x7d"

    monkeypatch.setattr(kq5316, "time", SimpleNamespace(sleep=lambda s: None))
    device, undo = replace_reply_read(monkeypatch, where, replacement)
    assert device.close_full_screen() is True and device.read_device_version() is None
    assert [c[0] for c in device.ser.calls] == ["write", "replacement"] * 2
    if undo:  # the class's own reply read again, from the next call on
        undo()
        monkeypatch.setattr(kq5316, "time", SimpleNamespace(sleep=lambda s: None))
        assert device.close_full_screen() is False
        assert [c[0] for c in device.ser.calls[4:]] == ["write", "inWaiting"]


@pytest.mark.parametrize("when", ["write", "pause"])
@pytest.mark.parametrize("what, expected", [
    ("time", {"write": ["later sleep"], "pause": []}),
    ("reply read", {"write": ["later read"], "pause": ["later read"]}),
    ("port", {"write": ["later port"], "pause": ["later port"]}),
])
def test_a_name_rebound_during_the_exchange_counts_from_its_next_use(monkeypatch, when, what, expected):
    device, log = KQ5316("stand-in"), []

    class LaterPort(StandInPort):
        def inWaiting(self):
            log.append("later port")
            return super().inWaiting()

    later_port = LaterPort()
    later_port.buffer += b"\x7b\x7d"
    rebind = {
        "time": lambda: monkeypatch.setattr(kq5316, "time", SimpleNamespace(sleep=lambda s: log.append("later sleep"))),
        "reply read": lambda: setattr(device, "_KQ5316__read", lambda: log.append("later read") or b"\x7b\x7d"),
        "port": lambda: setattr(device, "ser", later_port),
    }[what]

    class FirstPort(StandInPort):
        def write(self, data):
            super().write(data)
            if when == "write":
                rebind()

    device.ser = FirstPort(b"\x7b\x7d")
    monkeypatch.setattr(kq5316, "time", SimpleNamespace(sleep=lambda s: rebind() if when == "pause" else None))
    assert device.close_full_screen() is True
    assert log == expected[when]


@pytest.mark.parametrize("where", ["on the object", "in a subclass", "as a subclass property"])
def test_the_command_constant_is_the_one_the_instance_gives(where):
    mine = frame("7B 01 05 00 05 00 7D")
    if where == "on the object":
        device = KQ5316("stand-in")
        device._KQ5316__CMD_CLOSE_FULLSCREEN = mine
    else:
        value = property(lambda self: mine) if where == "as a subclass property" else mine
        device = type("Subclass", (KQ5316,), {"_KQ5316__CMD_CLOSE_FULLSCREEN": value})("stand-in")
    device.ser = StandInPort(b"\x7b\x7d")
    assert device.close_full_screen() is True
    assert device.ser.written == [bytes(mine)] and constant("CLOSE_FULLSCREEN") == frame(STORED["CLOSE_FULLSCREEN"])


@pytest.mark.parametrize("failing", ["write", "inWaiting", "read"])
@pytest.mark.parametrize("call", ALL_CALLS)
def test_port_errors_reach_the_caller_unchanged_and_free_the_lock(pause, failing, call):
    device = stand_in(b"\x7b\x7d", fail=failing)
    with pytest.raises(serial.SerialException) as info:
        eval("device." + call, {"device": device})
    assert info.value is device.ser.error
    other, results = stand_in(b"\x7b\x7d"), []
    worker = threading.Thread(target=lambda: results.append(other.clear_attenuation(4)), daemon=True)
    worker.start()
    worker.join(10)
    assert results == [True]


OUT_OF_RANGE = [
    ("read_optical_length(256)", "ch", 256), ("read_current_status(-1)", "ch", -1),
    ("set_optical_length(1310, 2**100)", "ch", 2**100), ("clear_attenuation(-2**100)", "ch", -(2**100)),
    ("dis_connection(256)", "ch", 256), ("set_attenuation(1100, 256)", "ch", 256),
    ("set_attenuation(655360)", "attenuation", 655360), ("set_attenuation(-10, 2)", "attenuation", -10),
    ("set_attenuation(2**100)", "attenuation", 2**100), ("set_attenuation(-2**100, 300)", "attenuation", -(2**100)),
    ("set_attenuation(1100, 2**64)", "ch", 2**64), ("set_optical_length(1310, -2**63 - 1)", "ch", -(2**63) - 1),
    ("read_optical_length(10**30)", "ch", 10**30), ("read_current_status(-10**30)", "ch", -(10**30)),
    ("clear_attenuation(2**31)", "ch", 2**31), ("set_attenuation(10**100)", "attenuation", 10**100),
]


@pytest.mark.parametrize("call, parameter, value", OUT_OF_RANGE)
def test_out_of_range_value_is_refused_before_anything_is_touched(kq, sim, call, parameter, value):
    with pytest.raises(ValueError) as info:
        eval("device." + call, {"device": kq})
    message = str(info.value)
    assert re.search(rf"\b{parameter}\b", message) and str(value) in message
    assert ("-9" in message and "655359" in message) if parameter == "attenuation" else "255" in message
    assert {n: constant(n) for n in STORED} == {n: frame(t) for n, t in STORED.items()}
    assert kq.close_full_screen() is True
    assert sim.frames() == [bytes.fromhex(STORED["CLOSE_FULLSCREEN"])]


class YieldingPort:
    """Wraps a port and gives other threads the chance to run just before each write."""

    def __init__(self, port):
        self._port = port

    def write(self, data):
        time.sleep(0.0005)
        return self._port.write(data)

    def __getattr__(self, name):
        return getattr(self._port, name)


def test_threads_on_several_instruments_each_send_only_their_own_frames(sim_factory, pause):
    sims = [sim_factory() for _ in range(4)]
    devices = [KQ5316(s.port) for s in sims]
    rounds, failures = 8, []

    def drive(i):
        try:
            device, ch, mdb = devices[i], 10 + i, 1000 * (i + 1)
            assert device.open()
            device.ser = YieldingPort(device.ser)
            pause.bind(device, sims[i])
            for _ in range(rounds):
                assert device.set_attenuation(mdb, ch) is True
                assert device.read_current_status(ch)["attenuation"] == mdb
                assert device.set_optical_length(1535, ch) and device.clear_attenuation(ch)
                assert device.dis_connection(ch) is True
            device.close()
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=drive, args=(i,), daemon=True) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert failures == [] and not any(t.is_alive() for t in threads)
    for i, sim in enumerate(sims):
        ch, steps = 10 + i, 100 * (i + 1)
        one_round = [sent("SET_ATTENUATION", {1: ch, 5: steps & 0xFF, 6: steps >> 8}),
                     sent("READ_CURRENT_STATUS", {1: ch}), sent("READ_OPTICAL_LEN", {1: ch}),
                     sent("SET_OPTICAL_LEN", {1: ch, 5: 2}), sent("CLEAR_ATTENUATION", {1: ch}),
                     sent("DIS_CONNECT", {1: ch})]
        assert sim.frames() == one_round * rounds


def test_pause_of_one_instrument_does_not_hold_up_another(monkeypatch):
    first, second = stand_in(b"\x7b\x7d"), stand_in(b"\x7b\x7d")
    in_pause, second_done, overlapped = threading.Event(), threading.Event(), []

    class Pause:
        def sleep(self, seconds):
            if threading.current_thread() is worker:
                in_pause.set()
                overlapped.append(second_done.wait(10))

    monkeypatch.setattr(kq5316, "time", Pause())
    worker = threading.Thread(target=first.set_attenuation, args=(1100, 1), daemon=True)
    worker.start()
    assert in_pause.wait(10)
    assert second.set_attenuation(5000, 2) is True
    second_done.set()
    worker.join(10)
    assert overlapped == [True]
    assert first.ser.written == [sent("SET_ATTENUATION", {5: 0x6E, 6: 0})]
    assert second.ser.written == [sent("SET_ATTENUATION", {1: 2})]


def test_port_whose_write_calls_back_into_the_module_does_not_deadlock(sim_factory, pause):
    outer_sim, inner_sim = sim_factory(), sim_factory()
    outer, inner = KQ5316(outer_sim.port), KQ5316(inner_sim.port)
    assert outer.open() and inner.open()
    inner_results, outcome = [], []

    class CallingBackPort(YieldingPort):
        def write(self, data):
            inner_results.append(inner.read_current_status(2))
            inner_results.append(inner.set_optical_length(1550, 2))
            return self._port.write(data)

    def run():
        pause.bind(outer, outer_sim)
        pause.bind(inner, inner_sim)
        outcome.append(outer.set_attenuation(1100, 1))

    outer.ser = CallingBackPort(outer.ser)
    runner = threading.Thread(target=run, daemon=True)
    runner.start()
    runner.join(30)
    assert outcome == [True] and inner_results[1] is True
    assert outer_sim.frames() == [sent("SET_ATTENUATION", {5: 0x6E, 6: 0})]
    assert inner_sim.frames() == [sent("READ_CURRENT_STATUS", {1: 2}), sent("READ_OPTICAL_LEN", {1: 2}),
                                  sent("SET_OPTICAL_LEN", {1: 2, 5: 1})]
    outer.close()
    inner.close()
