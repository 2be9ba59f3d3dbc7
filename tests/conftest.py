"""Shared fixtures: the simulated instrument ``kq5316-sim`` driven from Python.

The simulator reports every event as one JSON object per line on its standard output;
kq5316x.testing collects them on a background thread, and tests wait on that list for frames or
for the answer to a control line.
"""

from __future__ import annotations

import ast
import json
import os
import sys
import threading
from pathlib import Path

import pytest

from kq5316x.testing import SimulatedInstrument, simulated_instrument

# kq5316x is tested on its own too, where the class (the distribution kq5316, CPython 3.11 only)
# is not installed: the test modules that import the class, directly or through support, are
# then left out, and the header says so.
try:
    import kq5316
except ImportError:
    kq5316 = None
else:
    import support

CLASS_MODULES = {"kq5316", "support"}
# Tests of the class's distribution that start the class in a program of their own.
CLASS_TEST_MODULES = {"test_launcher.py"}


def needs_the_class(path: Path) -> bool:
    """Whether a test module tests the class's distribution: it imports the class or support
    at its top level, or it tests the launcher."""
    if path.name in CLASS_TEST_MODULES:
        return True
    for node in ast.parse(path.read_bytes()).body:
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and not node.level and node.module:
            names = [node.module]
        else:
            continue
        if any(name.partition(".")[0] in CLASS_MODULES for name in names):
            return True
    return False


def pytest_ignore_collect(collection_path: Path, config: pytest.Config) -> bool | None:
    if kq5316 is None and collection_path.name.startswith("test_") and collection_path.suffix == ".py":
        return needs_the_class(collection_path) or None
    return None


def pytest_report_header(config: pytest.Config) -> str | None:
    if kq5316 is None:
        return "kq5316 (the class) is not installed: only the tests of kq5316x and the simulator run"
    return None


class Simulator(SimulatedInstrument):
    """One running simulator process and the events it has reported so far. End of its input
    does not stop it, so that tests can close its input on purpose."""

    def __init__(self, *args: str) -> None:
        # The simulator is built on Linux only; there a missing one is an installation fault and
        # fails the test.
        if not sys.platform.startswith("linux"):
            pytest.skip("kq5316-sim runs on Linux only")
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


# Simulator options per transport: a pseudo-terminal, and TCP on loopback (a socket:// URL).
TRANSPORTS = {"pty": (), "tcp": ("--tcp", "127.0.0.1:0")}


@pytest.fixture(scope="module", params=sorted(TRANSPORTS))
def instrument(request):
    """One simulator per test module and transport, shared by the module's tests (each resets it)."""
    with simulated_instrument(*TRANSPORTS[request.param]) as simulator:
        yield simulator


# The paths of kq5316x's exchange: the extension's on a pseudo-terminal and on a TCP socket;
# pyserial's own I/O on TCP, through a socket:// URL with an option (pyserial's logging), which
# kq5316x leaves to pyserial.
EXCHANGE_PATHS = {"pty": ("", ()), "tcp": ("", TRANSPORTS["tcp"]),
                  "tcp-pyserial": ("?logging=warning", TRANSPORTS["tcp"])}


@pytest.fixture(scope="module", params=sorted(EXCHANGE_PATHS))
def exchange_instrument(request):
    """One simulator per test module and exchange path; its `port` is the URL for that path."""
    suffix, options = EXCHANGE_PATHS[request.param]
    with simulated_instrument(*options) as simulator:
        simulator.port += suffix
        yield simulator


@pytest.fixture
def sim(sim_factory) -> Simulator:
    """A simulator with the default instrument, stopped after the test."""
    return sim_factory()


@pytest.fixture(autouse=True)
def stored_constants():
    """Every test starts from the command frames as stored: operations patch them in place."""
    yield
    if kq5316 is not None:
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
