"""Operations meeting other threads, signals, fork and interpreter exit: no lock of the module is
held while someone else's code runs, a wait for a busy object can be interrupted, a forked child
can use an object that another thread was using, and a thread caught in an operation at exit
does not crash the interpreter."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest

import kq5316
from kq5316 import KQ5316
from support import StandInPort, sent, stand_in

ACK = b"\x7b\x7d"
NO_PAUSE = types.SimpleNamespace(sleep=lambda seconds: None)
JOIN_TIMEOUT = 10.0


class HeldPause:
    """Stands in for the module's `time`: the thread named `holder` stays in its pause (holding its
    object's port) until released; every other thread does not pause at all."""

    def __init__(self):
        self.holder, self.entered, self.release = None, threading.Event(), threading.Event()

    def sleep(self, seconds):
        if threading.current_thread() is self.holder:
            self.entered.set()
            self.release.wait(JOIN_TIMEOUT)

    def hold(self, call, *args):
        """Starts `call(*args)` on a thread and returns once that thread is in its pause."""
        self.holder = threading.Thread(target=call, args=args, daemon=True)
        self.holder.start()
        assert self.entered.wait(JOIN_TIMEOUT)


@pytest.fixture
def held(monkeypatch):
    pause = HeldPause()
    monkeypatch.setattr(kq5316, "time", pause)
    yield pause
    pause.release.set()
    pause.holder.join(JOIN_TIMEOUT)


def finished_in_time(call):
    """Runs `call` on a thread; its result, or "deadlocked" when it has not returned in time."""
    results = []
    worker = threading.Thread(target=lambda: results.append(call()), daemon=True)
    worker.start()
    worker.join(JOIN_TIMEOUT)
    return results[0] if results else "deadlocked"


def test_a_stalled_write_on_one_instrument_holds_up_no_other(monkeypatch):
    monkeypatch.setattr(kq5316, "time", NO_PAUSE)
    in_write, unstall = threading.Event(), threading.Event()

    class StalledPort(StandInPort):
        def write(self, data):
            in_write.set()
            unstall.wait(JOIN_TIMEOUT)
            super().write(data)

    stalled, other = KQ5316("stalled"), stand_in(ACK, ACK, ACK)
    stalled.ser = StalledPort(ACK)
    stalled_call = threading.Thread(target=stalled.set_attenuation, args=(1100, 1), daemon=True)
    stalled_call.start()
    assert in_write.wait(JOIN_TIMEOUT)
    outcome = finished_in_time(
        lambda: [other.set_attenuation(5000, 2), other.clear_attenuation(3), other.dis_connection(4)])
    unstall.set()
    stalled_call.join(JOIN_TIMEOUT)
    assert outcome == [True, True, True]
    assert other.ser.written == [sent("SET_ATTENUATION", {1: 2}), sent("CLEAR_ATTENUATION", {1: 3}),
                                 sent("DIS_CONNECT", {1: 4})]
    # The stalled write got the frame its own call meant, whatever the constant held meanwhile.
    assert stalled.ser.written == [sent("SET_ATTENUATION", {5: 0x6E, 6: 0})]


def test_port_that_drives_a_second_instrument_from_its_write_deadlocks_nothing(monkeypatch):
    monkeypatch.setattr(kq5316, "time", NO_PAUSE)
    second, in_write, tee_results = stand_in(ACK, ACK), threading.Event(), []

    class TeePort(StandInPort):
        def write(self, data):
            in_write.set()
            time.sleep(0.2)  # lets the main thread start its operation on the second instrument
            tee_results.append(second.set_attenuation(5000, 2))
            super().write(data)

    first = KQ5316("tee")
    first.ser = TeePort(ACK)
    tee = threading.Thread(target=lambda: tee_results.append(first.set_attenuation(1100, 1)), daemon=True)
    tee.start()
    assert in_write.wait(JOIN_TIMEOUT)
    assert finished_in_time(lambda: second.clear_attenuation(3)) is True
    tee.join(JOIN_TIMEOUT)
    assert tee_results == [True, True]
    assert first.ser.written == [sent("SET_ATTENUATION", {5: 0x6E, 6: 0})]
    assert sorted(second.ser.written) == sorted([sent("CLEAR_ATTENUATION", {1: 3}),
                                                 sent("SET_ATTENUATION", {1: 2})])


def test_sigint_interrupts_a_wait_for_a_busy_object(held):
    device = stand_in(ACK, ACK)
    held.hold(device.set_attenuation, 1100, 1)
    main = threading.main_thread().ident
    timer = threading.Timer(0.5, signal.pthread_kill, (main, signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            device.clear_attenuation(2)  # waits for the holder's reply read
    finally:
        timer.cancel()
    assert held.holder.is_alive(), "the wait ended only when the holder let go"
    held.release.set()
    held.holder.join(JOIN_TIMEOUT)
    assert device.ser.written == [sent("SET_ATTENUATION", {5: 0x6E, 6: 0})]
    assert finished_in_time(lambda: device.clear_attenuation(2)) is True  # no lock left held


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this system")
def test_child_forked_while_an_object_is_busy_can_use_it(held):
    device = stand_in(ACK, ACK)
    held.hold(device.set_attenuation, 1100, 1)
    pid = os.fork()
    if pid == 0:  # the child: the holder thread does not exist here
        try:
            os._exit(0 if device.clear_attenuation(2) is True else 1)
        finally:
            os._exit(2)
    deadline = time.monotonic() + JOIN_TIMEOUT
    while (waited := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if waited[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the forked child hung on the object")
    assert os.waitstatus_to_exitcode(waited[1]) == 0


# A daemon thread loops on an operation; the main thread returns while it is in the pause after
# the select frame, and a finaliser that sleeps lets it wake while the interpreter shuts down.
EXIT_PROGRAM = textwrap.dedent("""
    import sys, threading, time
    from kq5316 import KQ5316

    LENGTHS = bytes([0x7B, 1, 11, 0x07, 0x2E, 3, 0x1E, 5, 0xD2, 5, 0xFF, 5, 0, 0x7D])
    selected = threading.Event()

    class Port:
        waiting = b""
        def write(self, frame):
            self.waiting = LENGTHS if frame[4] == 0x2E else b"\\x7b\\x7d"
            if frame[4] == 0x3A:
                selected.set()
        def inWaiting(self):
            return len(self.waiting)
        def read(self, n):
            data, self.waiting = self.waiting, b""
            return data

    class SleepsWhenFinalised:
        def __del__(self):
            time.sleep(0.5)

    def loop(kq):
        while True:
            kq.set_optical_length(1490, 1)

    kq = KQ5316("in-memory")
    kq.ser = Port()
    sys.modules["sleeps_when_finalised"] = SleepsWhenFinalised()
    threading.Thread(target=loop, args=(kq,), daemon=True).start()
    selected.wait(10)
""")


def test_thread_caught_in_an_operation_at_exit_does_not_crash_the_interpreter():
    for _ in range(4):
        run = subprocess.run([sys.executable, "-c", EXIT_PROGRAM], capture_output=True, text=True,
                             timeout=60)
        assert "Fatal Python error" not in run.stderr
        assert run.returncode == 0, run.stderr[-2000:]


def test_close_from_another_thread_waits_for_the_exchange_in_progress(sim):
    device = KQ5316(sim.port)  # the real 0.2 s pause
    assert device.open() is True
    results = []
    reader = threading.Thread(target=lambda: results.append(device.read_current_status(1)), daemon=True)
    reader.start()
    time.sleep(0.05)
    device.close()
    closed_at_end = reader.is_alive()
    reader.join(JOIN_TIMEOUT)
    assert not closed_at_end and results == [
        {"dev_work_mode": 0, "optical_length_index": 0, "attenuation": 0}]
    assert not device.ser.is_open
    assert set(vars(device)) == {"port", "ser"}  # the lock is kept outside the object


# Three threads make the first lock of the process for one object while every import yields to
# the others; the port notes whether two exchanges were ever in progress at once.
FIRST_LOCK_PROGRAM = textwrap.dedent("""
    import builtins, threading, time, types
    import kq5316
    from kq5316 import KQ5316

    class Port:
        active = 0
        overlapped = False
        def write(self, frame):
            Port.active += 1
            Port.overlapped |= Port.active > 1
            time.sleep(0.05)
        def inWaiting(self):
            return 2
        def read(self, n):
            Port.active -= 1
            return b"\\x7b\\x7d"

    real_import = builtins.__import__
    def yielding_import(*args, **kwargs):
        time.sleep(0.05)
        return real_import(*args, **kwargs)

    kq5316.time = types.SimpleNamespace(sleep=lambda seconds: None)
    kq = KQ5316("in-memory")
    kq.ser = Port()
    builtins.__import__ = yielding_import
    threads = [threading.Thread(target=kq.close_full_screen) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    builtins.__import__ = real_import
    print("overlapped" if Port.overlapped else "in turn")
""")


def test_the_first_lock_of_an_object_is_made_once_while_imports_yield():
    run = subprocess.run([sys.executable, "-c", FIRST_LOCK_PROGRAM], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout == "in turn\n"
