"""kq5316x, the checked API: frames and results of every operation, every simulator fault ending
in the right exception (or in stale bytes passed over), argument rules, threads, exclusive ports,
on a pseudo-terminal and over TCP."""

import logging
import threading
import time

import pytest

from kq5316x import Attenuator, BadReply, Kq5316Error, NoReply, PortBusy, Status, Version, _protocol
from kq5316x.testing import simulated_instrument

TRANSPORTS = {"pty": (), "tcp": ("--tcp", "127.0.0.1:0")}
H = bytes.fromhex


@pytest.fixture(scope="module", params=sorted(TRANSPORTS))
def instrument(request):
    with simulated_instrument(*TRANSPORTS[request.param]) as sim:
        yield sim


@pytest.fixture
def sim(instrument):
    instrument.control("reset")
    return instrument


@pytest.fixture
def att(sim):
    with Attenuator(sim.port, timeout=0.3) as device:
        yield device


def new_frames(sim, since, count):
    return sim.wait_frames(since + count)[since:]


OPERATIONS = [
    (lambda a: a.version(), ["7B 01 05 00 03 7C 7D"], Version(2, 50, 32)),
    (lambda a: a.wavelengths(2), ["7B 02 05 07 2E 49 7D"], (1310, 1550)),
    (lambda a: a.select_wavelength(1550, ch=2),
     ["7B 02 05 07 2E 49 7D", "7B 02 06 14 3A 01 2E 7D"], None),
    (lambda a: a.set_attenuation_db(1.1, ch=1), ["7B 01 07 14 3C 6E 00 BF 7D"], None),
    (lambda a: a.set_attenuation(4995, ch=2), ["7B 02 07 14 3C F4 01 37 7D"], None),
    (lambda a: a.set_attenuation(655350), ["7B 01 07 14 3C FF FF 2F 7D"], None),
    (lambda a: a.status(2), ["7B 02 05 14 36 34 7D"], Status(0, 0, 0)),
    (lambda a: a.clear(2), ["7B 02 07 14 34 00 00 34 7D"], None),
    (lambda a: a.disconnect(3), ["7B 03 07 14 34 FF FF 35 7D"], None),
    (lambda a: a.close_display(), ["7B 01 05 00 05 7A 7D"], None),
]


@pytest.mark.parametrize("call, frames, result", OPERATIONS)
def test_operation_frames_and_result(sim, att, call, frames, result):
    before = len(sim.frames())
    assert call(att) == result
    assert new_frames(sim, before, len(frames)) == [H(f) for f in frames]


def test_settings_are_read_back(sim, att):
    sim.control("mode 1 7")
    att.select_wavelength(1535)
    att.set_attenuation_db(12.345)
    status = att.status(1)
    assert status == Status(mode=7, wavelength_index=2, attenuation_mdb=12350)
    assert status.attenuation_db == 12.35


def echo_with(command_bytes):
    frame = bytearray(H("7B 01 07 14 3C C8 00 00 7D"))
    frame[3:5] = H(command_bytes)
    frame[-2] = _protocol.checksum(bytes(frame))
    return frame.hex(" ")


# Control line spoiling the reply to status(1), what that call raises and the failed check.
FAULTS = [
    ("silent", NoReply, None),
    ("truncate", NoReply, None),
    ("delay 450", NoReply, None),
    ("raw 01 02 03 04 05 06 07", BadReply, "start byte"),
    ("raw 7B 01 02 7D", BadReply, "length byte"),
    ("raw 7B 01 0A 14 36 00 00 00 C8 00 00 7E", BadReply, "end byte"),
    ("raw 7B 01 0A 14 36 00 00 00 C8 00 00 7D", BadReply, "checksum"),
    ("raw 7B 01 07 14 36 00 00 33 7D", BadReply, "layout"),
    (f"raw {echo_with('14 3C')}", BadReply, "command bytes"),
    ("double", None, None),
    ("inject 7B 01 07 14 3C", None, None),
]


@pytest.mark.parametrize("control, error, check", FAULTS)
def test_fault_ends_in_its_exception_and_the_next_result_is_true(sim, att, control, error, check):
    att.set_attenuation(2000)
    sim.control(control)
    if control.startswith("inject"):
        # The pty hands bytes written to its master to the reader asynchronously: let the
        # unasked bytes arrive, so that they are stale by the time the next request is made.
        time.sleep(0.05)
    start = time.monotonic()
    if error is None:
        assert att.status(1).attenuation_mdb == 2000
    else:
        with pytest.raises(error) as raised:
            att.status(1)
        if error is NoReply:
            assert raised.value.request == H("7B 01 05 14 36 35 7D")
            assert 0.3 <= time.monotonic() - start <= 0.35
        else:
            assert raised.value.check == check and check in str(raised.value)
    assert att.status(1).attenuation_mdb == 2000


def test_truncated_reply_is_reported_with_what_arrived(sim, att):
    sim.control("truncate")
    with pytest.raises(NoReply) as raised:
        att.version()
    assert raised.value.received == H("7B 01 08 00 03 02 32 20 25")  # all but the end byte


def test_late_echo_is_passed_over_and_logged(sim, att, caplog):
    caplog.set_level(logging.DEBUG, logger="kq5316x")
    sim.control("delay 450")
    with pytest.raises(NoReply):
        att.set_attenuation(2000)
    assert att.status(1).attenuation_mdb == 2000  # the late echo arrives meanwhile
    assert "passed over" in caplog.text or "discarded stale bytes" in caplog.text
    assert "read_current_status: sent 7B 01 05 14 36 35 7D" in caplog.text


@pytest.mark.parametrize("strict", [True, False])
def test_strict_requires_the_command_bytes_echoed(sim, strict):
    with Attenuator(sim.port, timeout=0.2, strict=strict) as att:
        sim.control(f"raw {echo_with('14 3A')}")
        if strict:
            with pytest.raises(BadReply, match="command bytes"):
                att.set_attenuation(2000)
        else:
            assert att.set_attenuation(2000) is None


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("call, error", [
    (lambda a: a.status(256), ValueError),
    (lambda a: a.clear(-1), ValueError),
    (lambda a: a.set_attenuation(655360), ValueError),
    (lambda a: a.set_attenuation(-1), ValueError),
    (lambda a: a.set_attenuation_db(655.36), ValueError),
    (lambda a: a.set_attenuation_db(float("nan")), ValueError),
    (lambda a: a.set_attenuation(1100.0), TypeError),
    (lambda a: a.status(1.0), TypeError),
    (lambda a: a.set_attenuation_db("1"), TypeError),
])
def test_bad_arguments_send_nothing(sim, att, call, error):
    before = len(sim.frames())
    with pytest.raises(error):
        call(att)
    att.close_display()
    assert new_frames(sim, before, 1) == [H("7B 01 05 00 05 7A 7D")]


def test_integer_like_arguments_and_unsupported_wavelength(sim, att):
    att.set_attenuation(Index(1100), ch=Index(2))
    assert att.status(True).attenuation_mdb == 0 and att.status(2).attenuation_mdb == 1100
    with pytest.raises(ValueError, match="supported: 1310, 1550"):
        att.select_wavelength(1490, ch=2)


def test_closed_attenuator(sim):
    att = Attenuator(sim.port)
    att.close()
    att.close()
    assert att.closed
    with pytest.raises(Kq5316Error, match="closed"):
        att.version()


def test_threads_share_one_attenuator_and_instruments_run_in_parallel(sim):
    with simulated_instrument() as other, \
            Attenuator(sim.port) as first, Attenuator(other.port) as second:
        failures = []

        def work(att, ch):
            try:
                for step in range(20):
                    att.set_attenuation(ch * 1000 + step * 10, ch=ch)
                    assert att.status(ch).attenuation_mdb == ch * 1000 + step * 10
            except Exception as error:  # reported below, with the thread's channel
                failures.append((ch, error))

        threads = [threading.Thread(target=work, args=(att, ch))
                   for att in (first, second) for ch in (1, 2, 3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert failures == []


def test_second_open_of_a_local_port_is_busy(instrument):
    if instrument.port.startswith("socket://"):
        pytest.skip("exclusive access applies to local ports")
    with Attenuator(instrument.port):
        with pytest.raises(PortBusy):
            Attenuator(instrument.port)


@pytest.mark.kq5316_sim("--device-version", "4,5,6")
def test_plugin_fixture(kq5316_sim):
    with Attenuator(kq5316_sim.port) as att:
        assert att.version() == Version(4, 5, 6)
    assert kq5316_sim.wait_frames(1) == [H("7B 01 05 00 03 7C 7D")]


def test_settle_spaces_requests(sim):
    with Attenuator(sim.port, settle=0.1) as att:
        start = time.monotonic()
        att.clear()
        att.clear()
        assert time.monotonic() - start >= 0.1


def test_find_ports_matches_usb_ids(monkeypatch):
    from types import SimpleNamespace

    from serial.tools import list_ports

    ports = [SimpleNamespace(device="/dev/ttyUSB0", vid=0x067B, pid=0x23A3),
             SimpleNamespace(device="/dev/ttyUSB1", vid=0x0403, pid=0x6001),
             SimpleNamespace(device="/dev/ttyS0", vid=None, pid=None)]
    monkeypatch.setattr(list_ports, "comports", lambda: ports)
    from kq5316x import find_ports

    assert find_ports(0x067B) == ["/dev/ttyUSB0"]
    assert find_ports(pid=Index(0x6001)) == ["/dev/ttyUSB1"]
    assert find_ports() == ["/dev/ttyUSB0", "/dev/ttyUSB1"]
