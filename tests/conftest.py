"""Shared fixtures: the simulated instrument ``kq5316-sim`` driven from Python.

The simulator reports every event as one JSON object per line on its standard output;
kq5316x.testing collects them on a background thread, and tests wait on that list for frames or
for the answer to a control line.
"""

from __future__ import annotations

import json
import os
import sys
import threading
from pathlib import Path

import pytest

import kq5316
import support
from kq5316x.testing import SimulatedInstrument


class Simulator(SimulatedInstrument):
    """One running simulator process and the events it has reported so far. End of its input
    does not stop it, so that tests can close its input on purpose."""

    def __init__(self, *args: str) -> None:
        # The simulator is built only where pseudo-terminals exist; elsewhere a missing one is
        # an installation fault and fails the test.
        if sys.platform == "win32":
            pytest.skip("kq5316-sim needs pseudo-terminals, which this system does not have")
        super().__init__(*args, exit_on_eof=False)


def start_simulator(*args: str) -> Simulator:
    """Starts `kq5316-sim` with extra options and waits until its terminal is ready."""
    return Simulator(*args)


@pytest.fixture
def sim_factory():
    """Starts simulators on demand (``sim_factory("--device-version", "1,2,3")``); stops them all after."""
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
