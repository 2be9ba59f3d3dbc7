"""kq5316x, the checked API: frames and results of every operation, every simulator fault ending
in the right exception (or in stale bytes passed over), argument rules, threads, exclusive ports,
on a pseudo-terminal (exchanges made by the extension) and over TCP (by pyserial)."""

import logging
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from contextlib import contextmanager

import pytest

from kq5316x import (Attenuator, BadReply, EchoingPort, Kq5316Error, NoReply, PortBusy, PortLost,
                     Status, Version, _protocol)
from kq5316x.testing import simulated_instrument

from conftest import TRANSPORTS

H = bytes.fromhex


@pytest.fixture
def sim(exchange_instrument):
    exchange_instrument.control("reset")
    return exchange_instrument


@pytest.fixture
def att(sim):
    with Attenuator(sim.port, timeout=0.3) as device:
        sim.control("nofaults")  # the version frame of the open is reported before this answer
        # Each test runs on every path of the exchange: the extension's on a local device (on
        # Linux) and on a plain socket:// URL, the port's own I/O on a URL with options.
        native = "?" not in sim.port and (sys.platform.startswith("linux") or "://" in sim.port)
        assert (device._transport.fd is not None) == native
        yield device


def new_frames(sim, since, count):
    return sim.wait_frames(since + count)[since:]


OPERATIONS = [
    (lambda a: a.version(), ["7B 01 05 00 03 7C 7D"], Version(2, 50, 32)),
    (lambda a: a.wavelengths(2), ["7B 02 05 07 2E 49 7D"], (1310, 1550)),
    (lambda a: a.select_wavelength(1550, ch=2),
     ["7B 02 05 07 2E 49 7D", "7B 02 06 14 3A 01 2E 7D"], None),
    (lambda a: a.set_attenuation_db(1.1, ch=1), ["7B 01 07 14 3C 6E 00 BF 7D"], None),
    (lambda a: a.set_attenuation_mdb(5000, ch=2), ["7B 02 07 14 3C F4 01 37 7D"], None),
    (lambda a: a.set_attenuation_mdb(655350), ["7B 01 07 14 3C FF FF 2F 7D"], None),
    (lambda a: a.status(2), ["7B 02 05 14 36 34 7D"], Status(0, 0, 0)),
    (lambda a: a.clear(2), ["7B 02 07 14 34 00 00 34 7D"], None),
    (lambda a: a.disconnect(2), ["7B 02 07 14 34 FF FF 36 7D"], None),
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
    att.set_attenuation_mdb(2000)
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
            assert 0.3 <= time.monotonic() - start < 3  # a hang, not scheduling jitter
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
        att.set_attenuation_mdb(2000)
    assert att.status(1).attenuation_mdb == 2000  # the late echo arrives meanwhile
    assert "resynchronised with read_device_version before read_current_status" in caplog.text
    assert "read_current_status: sent 7B 01 05 14 36 35 7D" in caplog.text


@pytest.mark.parametrize("strict", [True, False])
def test_strict_requires_the_command_bytes_echoed(sim, strict):
    with Attenuator(sim.port, timeout=0.2, strict=strict) as att:
        sim.control(f"raw {echo_with('14 3A')}")
        if strict:
            with pytest.raises(BadReply, match="command bytes"):
                att.set_attenuation_mdb(2000)
        else:
            assert att.set_attenuation_mdb(2000) is None


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


CHANNELS = r"channel 3 is not one of this instrument's channels \(1, 2\)"


@pytest.mark.parametrize("call, error, match", [
    (lambda a: a.status(3), ValueError, CHANNELS),
    (lambda a: a.set_attenuation_mdb(1000, ch=3), ValueError, CHANNELS),
    (lambda a: a.clear(-1), ValueError, "channel -1"),
    (lambda a: a.set_attenuation_mdb(3), ValueError,
     r"nearest settable values are 0 and 10 mdB \(set_attenuation_db"),
    (lambda a: a.set_attenuation_mdb(4995, ch=2), ValueError, "4990 and 5000 mdB"),
    (lambda a: a.set_attenuation_mdb(655360), ValueError, "0 to 655350 mdB"),
    (lambda a: a.set_attenuation_mdb(-10), ValueError, "0 to 655350 mdB"),
    (lambda a: a.set_attenuation_mdb(3.5), TypeError, r"use set_attenuation_db\(3.5\)"),
    (lambda a: a.set_attenuation_mdb(1100.0), TypeError, "set_attenuation_db"),
    (lambda a: a.set_attenuation_db(1100), ValueError, "mdB use set_attenuation_mdb"),
    (lambda a: a.set_attenuation_db(-0.01), ValueError, "0 to 655.35 dB"),
    (lambda a: a.set_attenuation_db(float("nan")), ValueError, "finite"),
    (lambda a: a.status(1.0), TypeError, None),
    (lambda a: a.set_attenuation_db("1"), TypeError, "real number"),
    (lambda a: a.set_attenuation_db(True), TypeError, "real number, not bool"),
    (lambda a: a.set_attenuation_mdb(True), TypeError, "mdb must be a whole number, not bool"),
    (lambda a: a.status(True), TypeError, "ch must be a whole number, not bool"),
    (lambda a: a.select_wavelength(True), TypeError, "nm must be"),
])
def test_bad_arguments_send_nothing(sim, att, call, error, match):
    before = len(sim.frames())
    with pytest.raises(error, match=match):
        call(att)
    att.close_display()
    assert new_frames(sim, before, 1) == [H("7B 01 05 00 05 7A 7D")]


def test_integer_like_arguments_and_unsupported_wavelength(sim, att):
    att.set_attenuation_mdb(Index(1100), ch=Index(2))
    assert att.status(Index(1)).attenuation_mdb == 0 and att.status(2).attenuation_mdb == 1100
    with pytest.raises(ValueError, match="supported: 1310, 1550"):
        att.select_wavelength(1490, ch=2)


def test_a_line_that_takes_no_data_ends_in_no_reply(sim, att):
    if sim.port.startswith("socket://"):
        pytest.skip("output is held by terminal flow control")
    import termios

    termios.tcflow(att._transport.fd, termios.TCOOFF)  # as a peer holding flow control would
    start = time.monotonic()
    with pytest.raises(NoReply, match="could not be sent"):
        att.status(1)
    assert 0.3 <= time.monotonic() - start < 3
    termios.tcflow(att._transport.fd, termios.TCOON)
    assert att.status(2) == Status(0, 0, 0)


def test_closed_attenuator(sim):
    att = Attenuator(sim.port)
    att.close()
    att.close()
    assert att.closed
    with pytest.raises(Kq5316Error, match="closed"):
        att.version()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="cancels on local devices")
def test_concurrent_closes_never_cancel_on_a_port_closed_meanwhile(monkeypatch):
    import serial

    inside, seen = threading.Event(), []
    original = serial.Serial.cancel_read

    def slow_cancel(port):  # the first close's cancel: a close elsewhere must wait for it
        if not inside.is_set():
            inside.set()
            was_open = port.is_open
            time.sleep(0.2)
            seen.append((was_open, port.is_open))
        original(port)

    with simulated_instrument() as sim:
        att = Attenuator(sim.port)
        monkeypatch.setattr(serial.Serial, "cancel_read", slow_cancel)
        first = threading.Thread(target=att.close)
        first.start()
        assert inside.wait(5)
        att.close()
        first.join(5)
    assert seen == [(True, True)] and att.closed


def test_threads_share_one_attenuator_and_instruments_run_in_parallel(sim):
    with simulated_instrument() as other, \
            Attenuator(sim.port, channels=(1, 2, 3)) as first, \
            Attenuator(other.port, channels=(1, 2, 3)) as second:
        failures = []

        def work(att, ch):
            try:
                for step in range(20):
                    att.set_attenuation_mdb(ch * 1000 + step * 10, ch=ch)
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


def test_second_open_of_a_local_port_is_busy(sim):
    if sim.port.startswith("socket://"):
        pytest.skip("exclusive access applies to local ports")
    with Attenuator(sim.port):
        with pytest.raises(PortBusy, match="in use by this process"):
            Attenuator(sim.port)


@pytest.mark.kq5316_sim("--device-version", "4,5,6")
def test_plugin_fixture(kq5316_sim):
    with Attenuator(kq5316_sim.port) as att:
        assert att.identity == att.version() == Version(4, 5, 6)
    assert kq5316_sim.wait_frames(2) == [H("7B 01 05 00 03 7C 7D")] * 2


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

    assert find_ports() == ["/dev/ttyUSB0"]  # the PL2303G family's vendor
    assert find_ports(0x067B, 0x2303) == []
    assert find_ports(vid=None, pid=Index(0x6001)) == ["/dev/ttyUSB1"]
    assert find_ports(vid=None) == ["/dev/ttyUSB0", "/dev/ttyUSB1"]


# -- a result is never the answer to an earlier request -----------------------------------------

def interrupt_main_thread_after(seconds):
    timer = threading.Timer(seconds, signal.pthread_kill,
                            (threading.main_thread().ident, signal.SIGINT))
    timer.start()
    return timer


@pytest.mark.parametrize("ending", [NoReply, KeyboardInterrupt])
def test_a_late_reply_never_answers_the_next_identical_request(sim, ending, caplog):
    with Attenuator(sim.port, timeout=0.5) as att:
        att.set_attenuation_mdb(1100)
        sim.control("delay 700")  # the reply to the next request, reading 1100 mdB, comes late
        if ending is KeyboardInterrupt:
            interrupt_main_thread_after(0.4)
        with pytest.raises(ending):
            att.status(1)
        sim.control("attenuation 1 50")  # 500 mdB, set at the front panel meanwhile
        assert [att.status(1).attenuation_mdb for _ in range(2)] == [500, 500]
    assert "resynchronised with read_device_version before read_current_status" in caplog.text


# -- every call ends within its bound, whatever the line sends ----------------------------------

MEGABYTE = 1 << 20


@contextmanager
def garbage_line(transport, total):
    """A port (a bare pseudo-terminal or a TCP server) that sends only 0x55 bytes: `total` of
    them, or without end until the block is left; yields the port and an event set once the
    first bytes are out."""
    stop, started = threading.Event(), threading.Event()
    if transport == "pty":
        master, slave = os.openpty()
        port = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(master, False)
        connect, send, finish = (lambda: None), (lambda data: os.write(master, data)), \
            (lambda: os.close(master))
    else:
        server = socket.create_server(("127.0.0.1", 0))
        server.settimeout(5)
        port = f"socket://127.0.0.1:{server.getsockname()[1]}"
        client = []
        connect = lambda: client.append(server.accept()[0])  # noqa: E731
        send = lambda data: client[0].send(data)  # noqa: E731
        finish = lambda: [s.close() for s in [*client, server]]  # noqa: E731

    def run():
        connect()
        left = total if total is not None else float("inf")
        while left > 0 and not stop.is_set():
            try:
                left -= send(b"\x55" * int(min(left, 4096)))
                started.set()
            except OSError:  # full (non-blocking), or no reader yet: try again shortly
                time.sleep(0.001)

    writer = threading.Thread(target=run, daemon=True)
    writer.start()
    try:
        yield port, started
    finally:
        stop.set()
        writer.join(5)
        finish()


@pytest.mark.parametrize("transport", sorted(TRANSPORTS))
@pytest.mark.parametrize("total", [MEGABYTE, None], ids=["megabyte", "endless"])
def test_garbage_on_the_line_ends_every_call_within_its_bound(transport, total):
    # Only an upper bound: how a call ends (stream never quiet, garbage for a reply, no reply)
    # depends on where the stream's gaps fall, and each ends early or at the timeout.
    with garbage_line(transport, total) as (port, started), \
            Attenuator(port, timeout=0.3, identify=False) as att:
        assert started.wait(5)
        for _ in range(3):  # a first call, then calls that resynchronise or discard again
            start = time.monotonic()
            with pytest.raises(Kq5316Error, match="55 55 55|no complete reply"):
                att.status(1)
            assert time.monotonic() - start < 3  # where it took 30 s, or for ever


@pytest.mark.parametrize("transport", sorted(TRANSPORTS))
def test_close_from_another_thread_returns_while_garbage_streams(transport):
    with garbage_line(transport, None) as (port, started):
        att = Attenuator(port, timeout=0.3, identify=False)
        assert started.wait(5)

        def call_until_closed():
            while not att.closed:
                with pytest.raises(Kq5316Error):
                    att.status(1)

        worker = threading.Thread(target=call_until_closed)
        worker.start()
        time.sleep(0.2)
        start = time.monotonic()
        att.close()
        assert time.monotonic() - start < 3
        worker.join(5)
        assert not worker.is_alive()
        with pytest.raises(Kq5316Error, match="is closed: it was closed"):
            att.status(1)


# -- the instrument is checked at open ----------------------------------------------------------

def test_open_asks_the_instrument_and_a_silent_port_says_what_to_check(sim):
    sim.control("silent")
    with pytest.raises(NoReply, match=rf"nothing on {re.escape(sim.port)} answered the version"
                                      r" request: .* 9600 baud \(identify=False skips"):
        Attenuator(sim.port, timeout=0.2, baudrate=9600)
    with Attenuator(sim.port, identify=False, baudrate=9600) as att:  # the failed open closed it
        assert att.identity is None and att.status(1) == Status(0, 0, 0)
        if "://" not in sim.port:  # the rate asked for is the line's own
            import termios
            assert termios.tcgetattr(att._transport.fd)[4] == termios.B9600


def test_a_port_that_echoes_is_refused_at_open():
    with pytest.raises(EchoingPort, match="loop:// echoes what is sent"):
        Attenuator("loop://")


# -- a port in use elsewhere is refused, naming the holder --------------------------------------

HOLD_PORT = "import sys, kq5316; kq = kq5316.KQ5316(sys.argv[1]); assert kq.open(); " \
            "print('holding', flush=True); sys.stdin.read()"


def test_a_port_held_by_a_kq5316_object_is_refused(sim):
    if sim.port.startswith("socket://"):
        pytest.skip("exclusive access applies to local ports")
    # The class is another distribution, not installed where kq5316x is tested on its own.
    kq5316 = pytest.importorskip("kq5316")
    kq = kq5316.KQ5316(sim.port)
    assert kq.open()
    try:
        with pytest.raises(PortBusy, match="in use by this process"):
            Attenuator(sim.port)
    finally:
        kq.close()
    holder = subprocess.Popen([sys.executable, "-c", HOLD_PORT, sim.port],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert "holding" in holder.stdout.read(len("holding"))
        with pytest.raises(PortBusy) as raised:
            Attenuator(sim.port)
        assert raised.value.pid == holder.pid
        assert f"in use by process {holder.pid} (python" in str(raised.value)
    finally:
        holder.communicate("")
    Attenuator(sim.port).close()  # free once the holder is gone


# -- an unplugged cable ends in PortLost --------------------------------------------------------

@pytest.mark.parametrize("transport", sorted(TRANSPORTS))
def test_a_simulator_killed_mid_sweep_ends_in_port_lost(transport):
    with simulated_instrument(*TRANSPORTS[transport]) as sim:
        att = Attenuator(sim.port)
        threading.Timer(0.2, sim.process.kill).start()
        end = time.monotonic() + 10
        with pytest.raises(PortLost, match=rf"{re.escape(sim.port)} was lost during") as raised:
            while time.monotonic() < end:
                att.set_attenuation_mdb(1000)
                att.status(1)
        assert isinstance(raised.value, ConnectionError) and att.closed
        with pytest.raises(Kq5316Error, match="is closed: the port was lost during"):
            att.status(1)


# -- log handlers run with the port released ----------------------------------------------------

class CallingHandler(logging.Handler):
    def __init__(self, call):
        super().__init__()
        self.call = call

    def emit(self, record):
        self.call(record)


@contextmanager
def handler_on_kq5316x(call):
    handler = CallingHandler(call)
    logger = logging.getLogger("kq5316x")
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)


def test_a_warning_handler_may_use_the_same_attenuator(sim, att):
    results = []
    with handler_on_kq5316x(lambda record: results or results.append(att.status(2))):
        sim.control("inject 01 02 03")  # stale bytes: a warning from the next call
        time.sleep(0.05)
        worker = threading.Thread(target=att.status, args=(1,), daemon=True)
        worker.start()
        worker.join(5)
        assert not worker.is_alive() and results == [Status(0, 0, 0)]


def test_a_raising_debug_handler_leaves_an_applied_setting_a_success(sim, att, caplog, capsys):
    caplog.set_level(logging.DEBUG, logger="kq5316x")

    def fail(record):
        raise RuntimeError("handler failed")

    with handler_on_kq5316x(fail):
        assert att.set_attenuation_mdb(2000) is None
    assert att.status(1).attenuation_mdb == 2000
    assert "--- Logging error ---" in capsys.readouterr().err


# -- construction refuses what it cannot honour -------------------------------------------------

@pytest.mark.parametrize("options, message", [
    ({"timeout": float("inf")}, "timeout must be finite"),
    ({"timeout": 1e300}, "timeout must be finite"),
    ({"timeout": 0}, "timeout must be finite, more than zero"),
    ({"settle": float("inf")}, "settle must be finite"),
    ({"settle": float("nan")}, "settle must be finite"),
    ({"channels": ()}, "at least one channel"),
    ({"baudrate": 115201}, "baudrate must be one of 1200, 2400"),
    ({"baudrate": True}, "baudrate must be a whole number, not bool"),
])
def test_construction_refuses_what_it_cannot_honour_before_opening(options, message):
    with pytest.raises((ValueError, TypeError), match=message):
        Attenuator("/nonexistent/port", **options)
