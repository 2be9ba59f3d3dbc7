"""Shared fixtures: the simulated instrument ``kq5316-sim`` driven from Python.

The simulator reports every event as one JSON object per line on its standard output; a
background thread collects them, and tests wait on that list for frames or for the answer to a
control line.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable

import pytest

import kq5316
import support

SIMULATOR_NAME = "kq5316-sim"
STARTUP_TIMEOUT = 5.0
CONTROL_TIMEOUT = 5.0


class SimulatorError(RuntimeError):
    """The simulator refused a control line, failed to start or stopped early."""


def find_simulator() -> str:
    """The simulator: $KQ5316_SIM, else beside the interpreter (the venv's bin), else on PATH.
    Where the system has no pseudo-terminals (Windows) it is not built: tests that need it skip.
    Elsewhere a missing simulator is an installation fault and fails the test."""
    if sys.platform == "win32":
        pytest.skip(f"{SIMULATOR_NAME} needs pseudo-terminals, which this system does not have")
    configured = os.environ.get("KQ5316_SIM")
    if configured:
        return configured
    beside = Path(sys.executable).with_name(SIMULATOR_NAME)
    if beside.exists():
        return str(beside)
    found = shutil.which(SIMULATOR_NAME)
    if found:
        return found
    raise FileNotFoundError(
        f"{SIMULATOR_NAME} not found: install the project (pip install .) or set KQ5316_SIM"
    )


class Simulator:
    """One running simulator process and the events it has reported so far."""

    port: str

    def __init__(self, *args: str) -> None:
        self._events: list[dict] = []
        self._changed = threading.Condition()
        self._control_lock = threading.Lock()  # one control line in flight at a time
        self._closed = False  # stdout reached end of file
        self._process = subprocess.Popen(
            [find_simulator(), *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        self._reader = threading.Thread(target=self._read_events, daemon=True)
        self._reader.start()
        try:
            ready = self.wait_event(lambda e: e["event"] == "ready", STARTUP_TIMEOUT)
        except BaseException:
            self.stop()
            raise
        self.port = ready["port"]

    @property
    def process(self) -> subprocess.Popen:
        return self._process

    def _read_events(self) -> None:
        for line in self._process.stdout:
            event = json.loads(line)
            with self._changed:
                self._events.append(event)
                self._changed.notify_all()
        with self._changed:
            self._closed = True
            self._changed.notify_all()

    def wait_event(self, predicate: Callable[[dict], bool], timeout: float = 5.0) -> dict:
        """The first event, reported or to come within `timeout`, for which `predicate` holds."""
        return self.wait_events(predicate, 1, timeout)[0]

    def wait_events(
        self, predicate: Callable[[dict], bool], n: int, timeout: float = 5.0
    ) -> list[dict]:
        """Blocks until at least `n` events satisfy `predicate`; returns all those reported."""

        def enough(events: list[dict]):
            matching = [e for e in events if predicate(e)]
            return matching if len(matching) >= n else None

        return self._wait(enough, timeout)

    def _wait(self, find: Callable[[list[dict]], object], timeout: float):
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = find(self._events)
                if found is not None:
                    return found
                if self._closed:
                    raise SimulatorError(f"simulator exited (status {self._process.wait()})")
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TimeoutError("simulator did not report the expected event in time")
                self._changed.wait(remaining)

    def events(self) -> list[dict]:
        """Every event reported so far, in order."""
        with self._changed:
            return list(self._events)

    def frames(self) -> list[bytes]:
        """The frames received so far, in order (answered or not)."""
        return [bytes.fromhex(e["rx"]) for e in self.events() if e["event"] == "frame"]

    def wait_frames(self, n: int, timeout: float = 5.0) -> list[bytes]:
        """Blocks until at least `n` frames have been received; returns all of them."""
        events = self.wait_events(lambda e: e["event"] == "frame", n, timeout)
        return [bytes.fromhex(e["rx"]) for e in events]

    def control(self, line: str) -> None:
        """Sends one control line and waits for its acknowledgement; raises if it was refused."""
        with self._control_lock:
            with self._changed:
                answered = sum(e["event"] in ("ok", "error") for e in self._events)
            self._process.stdin.write(line + "\n")
            self._process.stdin.flush()

            def answer(events: list[dict]):
                acks = [e for e in events if e["event"] in ("ok", "error")]
                return acks[answered] if len(acks) > answered else None

            ack = self._wait(answer, CONTROL_TIMEOUT)
        if ack["event"] == "error":
            raise SimulatorError(f"{line!r}: {ack['message']}")

    def stop(self) -> None:
        """Terminates the simulator and waits for it; safe to call more than once."""
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        if self._process.stdin and not self._process.stdin.closed:
            try:
                self._process.stdin.close()
            except BrokenPipeError:
                pass
        self._reader.join(timeout=5)
        self._process.stdout.close()


def start_simulator(*args: str) -> Simulator:
    """Starts `kq5316-sim` with extra options and waits until its terminal is ready."""
    return Simulator(*args)


@pytest.fixture
def sim_factory():
    """Starts simulators on demand (``sim_factory("--version", "1,2,3")``); stops them all after."""
    started: list[Simulator] = []

    def start(*args: str) -> Simulator:
        simulator = start_simulator(*args)
        started.append(simulator)
        return simulator

    yield start
    for simulator in started:
        simulator.stop()


@pytest.fixture
def sim(sim_factory) -> Simulator:
    """A simulator with the default instrument, stopped after the test."""
    return sim_factory()


@pytest.fixture(autouse=True)
def stored_constants():
    """Every test starts from the command frames as stored: operations patch them in place."""
    yield
    support.restore_constants()


@pytest.fixture
def pause(monkeypatch):
    """Rebinds the module's `time` to a pause that ends as soon as the simulator has answered."""
    fast = support.FastPause()
    monkeypatch.setattr(kq5316, "time", fast)
    return fast


@pytest.fixture
def kq(sim, pause):
    """A KQ5316 opened on the default simulator, with the fast pause."""
    device = support.opened(sim, pause)
    yield device
    device.close()


class Figures:
    """Counts of what the reliability tests tried, written as JSON to $KQ5316_FIGURES at the end
    of the session (bench/reliability_figures.py reads them); without the variable, nothing."""

    def __init__(self) -> None:
        self.counts: dict[str, int] = {}
        self._lock = threading.Lock()

    def add(self, name: str, count: int = 1) -> None:
        with self._lock:
            self.counts[name] = self.counts.get(name, 0) + count


@pytest.fixture(scope="session")
def figures():
    recorder = Figures()
    yield recorder
    target = os.environ.get("KQ5316_FIGURES")
    if target:
        Path(target).write_text(json.dumps(recorder.counts, indent=1, sort_keys=True))
