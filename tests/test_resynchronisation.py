"""kq5316x never returns the answer to an earlier request and never waits on itself: abandoned
requests whose replies come late, a fault fuzz with front-panel changes, a signal handler that
calls back in, and a process forked mid-exchange; on every exchange path (the extension's on a
pseudo-terminal and on TCP, pyserial's own I/O on TCP)."""

import fcntl
import gc
import os
import random
import signal
import struct
import sys
import threading
import time

import pytest

from kq5316x import Attenuator, Kq5316Error

# Reads a terminal's exclusive flag (Linux); the termios module does not name it.
TIOCGEXCL = 0x80045440


@pytest.fixture
def sim(exchange_instrument):
    exchange_instrument.control("reset")
    yield exchange_instrument
    exchange_instrument.control("nofaults")


def local(sim):
    return not sim.port.startswith("socket://")


def test_abandoned_requests_never_answer_a_later_call(sim):
    with Attenuator(sim.port, timeout=0.5) as att:
        att.set_attenuation_mdb(1110)
        # Reply 1 is held for 3.3 s and the next four queue behind it; the sixth request's reply
        # comes 0.1 s after them, once the front panel has changed the channel.
        for line in ("delay 3300", "delay 0 x4", "delay 900"):
            sim.control(line)
        for _ in range(6):
            with pytest.raises(Kq5316Error):
                att.status(1)
        sim.control("attenuation 1 999")
        try:
            assert att.status(1).attenuation_mdb == 9990
        except Kq5316Error:
            pass  # refusing is sound; only an answer from before the change is wrong
        deadline = time.monotonic() + 5
        while True:  # and the instrument is reachable again once the late replies are in
            try:
                assert att.status(1).attenuation_mdb == 9990
                break
            except Kq5316Error:
                assert time.monotonic() < deadline


# One fault for the next reply, or none; delays reach past the timeout so that unanswered
# requests pile up until every kind of resynchronising query is in use at once.
FUZZ_FAULTS = ["delay 150", "delay 350", "delay 550", "silent", "truncate", "double",
               "raw 01 02 03"] + [None] * 7


@pytest.mark.parametrize("seed", [2, 5])
def test_fault_fuzz_every_answered_status_is_the_state_at_its_call(sim, seed):
    rng = random.Random(seed)
    steps = answered = 0
    timeout = 0.1
    with Attenuator(sim.port, timeout=timeout, identify=False) as att:
        for _ in range(150):
            if rng.random() < 0.5:
                steps = rng.randrange(0, 65536)
                sim.control(f"attenuation 1 {steps}")  # a front-panel change between calls
            fault = rng.choice(FUZZ_FAULTS)
            if fault:
                sim.control(fault)
            call = rng.choice(["status", "status", "status", "version", "wavelengths", "other"])
            start = time.monotonic()
            try:
                if call == "status":
                    assert att.status(1).attenuation_mdb == steps * 10
                    answered += 1
                elif call == "version":
                    att.version()
                elif call == "wavelengths":
                    att.wavelengths(1)
                else:
                    att.status(2)
            except Kq5316Error:
                pass
            assert time.monotonic() - start < 2 * timeout + 1  # the bound, with slack for load
    assert answered > 10  # answers were checked, not only failures


def test_a_signal_handler_calling_in_is_refused_and_the_call_goes_on(sim):
    outcome = []

    def go_to_a_safe_value(signum, frame):
        start = time.monotonic()
        try:
            att.set_attenuation_mdb(0)
        except Kq5316Error as error:
            outcome.append((str(error), time.monotonic() - start))
        except KeyboardInterrupt:  # from the watchdog: the call waited on its own thread
            outcome.append(("waited on itself", time.monotonic() - start))

    with Attenuator(sim.port, timeout=1) as att:
        att.set_attenuation_mdb(2000)
        sim.control("delay 400")
        previous = signal.signal(signal.SIGALRM, go_to_a_safe_value)
        # A handler that waits on itself is ended by Ctrl-C after 3 s, and fails the test.
        watchdog = threading.Timer(3, signal.pthread_kill,
                                   (threading.main_thread().ident, signal.SIGINT))
        watchdog.start()
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            assert att.status(1).attenuation_mdb == 2000
        finally:
            watchdog.cancel()
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        [(message, elapsed)] = outcome
        assert "busy in this thread" in message and elapsed < 1
        assert att.status(1).attenuation_mdb == 2000


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
# Threads left by earlier tests do not matter: the child only drops its copy and exits.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_letting_go_of_the_port_without_close_leaves_the_parent_connected(sim):
    att = Attenuator(sim.port)
    try:
        att.set_attenuation_mdb(1000)
        pid = os.fork()
        if pid == 0:  # the child drops its copy as a program's end would, never closing it
            try:
                del att
                gc.collect()
            finally:
                os._exit(0)
        assert os.waitpid(pid, 0)[1] == 0
        assert att.status(1).attenuation_mdb == 1000
    finally:
        att.close()


def exclusive(att):
    return struct.unpack("i", fcntl.ioctl(att._transport.fd, TIOCGEXCL, b"\0" * 4))[0] == 1


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
# A fork while another thread is mid-exchange is the very case under test.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_child_forked_mid_exchange_refuses_at_once_and_leaves_the_parent_alone(sim):
    with Attenuator(sim.port, timeout=3) as att:
        att.set_attenuation_mdb(3000)
        sim.control("delay 1500")
        results = []
        worker = threading.Thread(target=lambda: results.append(att.status(1)))
        worker.start()
        time.sleep(0.3)
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: report what its calls did, never return into pytest
            report = "unexpected"
            try:
                start = time.monotonic()
                try:
                    att.status(1)
                    report = "answered"
                except Kq5316Error as error:
                    report = f"refused: {error}"
                att.close()
                report += f" | {time.monotonic() - start:.3f}"
            finally:
                os.write(write_end, report.encode())
                os._exit(0)
        os.close(write_end)
        deadline = time.monotonic() + 5
        while os.waitpid(pid, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                pytest.fail("the child's call or close() waited on the parent's exchange")
            time.sleep(0.01)
        with os.fdopen(read_end) as child:
            message, elapsed = child.read().split(" | ")
        assert f"opened in process {os.getpid()}" in message and float(elapsed) < 1
        worker.join(5)
        assert [status.attenuation_mdb for status in results] == [3000]
        if local(sim) and sys.platform.startswith("linux"):
            assert exclusive(att)
        assert att.status(1).attenuation_mdb == 3000


def test_a_holder_that_opens_the_port_during_the_scan_is_found(sim, monkeypatch):
    if not local(sim) or not sys.platform.startswith("linux"):
        pytest.skip("exclusive access applies to local ports (the holder scan to Linux)")
    from kq5316x import PortBusy, _ports

    scan, competitor = _ports._port_holder, []

    def scan_then_another_program_opens(*args, **kwargs):
        found = scan(*args, **kwargs)
        if not competitor:  # it opens just after the scan looked at its process
            competitor.append(os.open(sim.port, os.O_RDWR | os.O_NOCTTY))
        return found

    monkeypatch.setattr(_ports, "_port_holder", scan_then_another_program_opens)
    try:
        with pytest.raises(PortBusy, match="in use by this process"):
            Attenuator(sim.port)
    finally:
        os.close(competitor[0])
    Attenuator(sim.port).close()  # free again once the competitor is gone
