"""Testing without hardware: the simulated instrument ``kq5316-sim`` as a context manager::

    from kq5316x import Attenuator
    from kq5316x.testing import simulated_instrument

    with simulated_instrument("--lengths", "2=1310,1550") as sim:
        with Attenuator(sim.port) as att:       # asks the version: the first frame
            att.set_attenuation_mdb(1100, ch=1)
        sim.control("silent")              # the next reply is lost
        assert sim.wait_frames(2)[1] == bytes.fromhex("7B 01 07 14 3C 6E 00 BF 7D")

The simulator's options are its command-line options (``kq5316-sim --help``); ``--tcp
127.0.0.1:0`` serves it on a TCP port instead of a pseudo-terminal (``port`` is then a
``socket://`` URL).
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

__all__ = ["SimulatorError", "SimulatedInstrument", "find_simulator", "simulated_instrument"]

SIMULATOR = "kq5316-sim"
START_TIMEOUT = 5.0
CONTROL_TIMEOUT = 5.0
STOP_TIMEOUT = 5.0

Event = dict[str, Any]


class SimulatorError(RuntimeError):
    """The simulator could not start, refused a control line or stopped early."""


def find_simulator() -> str:
    """``kq5316-sim``: $KQ5316_SIM, else beside the running interpreter (a virtual environment's
    scripts, activated or not), else where the kq5316x distribution installed it (a user or
    system installation), else on PATH."""
    configured = os.environ.get("KQ5316_SIM")
    if configured:
        return configured
    for name in (SIMULATOR, SIMULATOR + ".exe"):
        beside = Path(sys.executable).with_name(name)
        if beside.exists():
            return str(beside)
    installed = _installed_simulator()
    if installed:
        return installed
    found = shutil.which(SIMULATOR)
    if found:
        return found
    raise FileNotFoundError(
        f"{SIMULATOR} not found beside {sys.executable}, among kq5316x's files or on PATH"
    )


def _installed_simulator() -> str | None:
    """The simulator among the files the installed kq5316x distribution recorded, if any."""
    from importlib import metadata

    try:
        files = metadata.distribution("kq5316x").files or []
    except metadata.PackageNotFoundError:
        return None
    for file in files:
        if file.name in (SIMULATOR, SIMULATOR + ".exe"):
            path = Path(str(file.locate()))
            if path.exists():
                return str(path)
    return None


class SimulatedInstrument:
    """A running simulator: ``port`` to open, ``control()`` to steer it, ``frames()`` and
    ``events()`` for what it saw. Its output is read on a thread, so it never waits for a reader."""

    port: str
    process: subprocess.Popen[str]

    def __init__(self, *options: str, exit_on_eof: bool = True) -> None:
        self._events: list[Event] = []
        self._changed = threading.Condition()
        self._control_lock = threading.Lock()
        self._ended = False
        self.process = subprocess.Popen(
            [find_simulator(), *(["--exit-on-eof"] if exit_on_eof else []), *options],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        self._reader = threading.Thread(target=self._read_output, daemon=True)
        self._reader.start()
        try:
            ready = self._wait(
                lambda events: next((e for e in events if e.get("event") == "ready"), None),
                START_TIMEOUT,
            )
        except BaseException:
            self.stop()
            raise
        self.port = ready["port"]

    def _read_output(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            try:
                event = json.loads(line)
            except ValueError:
                continue
            with self._changed:
                self._events.append(event)
                self._changed.notify_all()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def _wait(self, find: Callable[[list[Event]], Event | None], timeout: float) -> Event:
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = find(self._events)
                if found is not None:
                    return found
                if self._ended:
                    raise SimulatorError(f"{SIMULATOR} stopped: {self._error_output()}")
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TimeoutError(f"{SIMULATOR} did not report it within {timeout} s")
                self._changed.wait(remaining)

    def _error_output(self) -> str:
        try:
            self.process.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            return "still running"
        assert self.process.stderr is not None
        message = self.process.stderr.read().strip()
        return f"exit status {self.process.returncode}" + (f": {message}" if message else "")

    def wait_event(self, predicate: Callable[[Event], bool], timeout: float = 5.0) -> Event:
        """The first event, reported or to come within `timeout`, for which `predicate` holds."""
        return self.wait_events(predicate, 1, timeout)[0]

    def wait_events(
        self, predicate: Callable[[Event], bool], n: int, timeout: float = 5.0
    ) -> list[Event]:
        """Waits until at least `n` events satisfy `predicate`; returns all those reported."""
        found: list[Event] = []

        def enough(events: list[Event]) -> Event | None:
            found[:] = [e for e in events if predicate(e)]
            return found[0] if len(found) >= n else None

        self._wait(enough, timeout)
        return list(found)

    def wait_frames(self, n: int, timeout: float = 5.0) -> list[bytes]:
        """Waits until at least `n` request frames have arrived; returns all of them."""
        events = self.wait_events(lambda e: e.get("event") == "frame", n, timeout)
        return [bytes.fromhex(e["rx"]) for e in events]

    def events(self) -> list[Event]:
        """Every event reported so far (one JSON object each), in order."""
        with self._changed:
            return list(self._events)

    def frames(self) -> list[bytes]:
        """The request frames received so far, in order, answered or not."""
        return [bytes.fromhex(e["rx"]) for e in self.events() if e.get("event") == "frame"]

    def control(self, line: str) -> None:
        """Sends one control line (``silent``, ``delay 300``, ``attenuation 1 200``, ...) and
        waits until the simulator has carried it out; SimulatorError if it refused it."""
        with self._control_lock:
            with self._changed:
                answered = sum(e.get("event") in ("ok", "error") for e in self._events)
            assert self.process.stdin is not None
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()

            def answer(events: list[Event]) -> Event | None:
                acks = [e for e in events if e.get("event") in ("ok", "error")]
                return acks[answered] if len(acks) > answered else None

            ack = self._wait(answer, CONTROL_TIMEOUT)
        if ack["event"] == "error":
            raise SimulatorError(f"{line!r}: {ack.get('message')}")

    def stop(self) -> None:
        """Stops the simulator: end of input and SIGTERM, then SIGKILL if it hangs."""
        process = self.process
        if process.stdin is not None and not process.stdin.closed:
            try:
                process.stdin.close()
            except OSError:
                pass
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                process.kill()
        process.wait()
        self._reader.join(timeout=STOP_TIMEOUT)
        for stream in (process.stdout, process.stderr):
            if stream is not None:
                stream.close()


@contextmanager
def simulated_instrument(*options: str) -> Iterator[SimulatedInstrument]:
    """Starts ``kq5316-sim`` with `options`; stops it when the block is left, whatever happens."""
    simulator = SimulatedInstrument(*options)
    try:
        yield simulator
    finally:
        simulator.stop()
