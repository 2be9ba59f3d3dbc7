"""kq5316x-ioc against the simulated instrument, all on loopback: writes reach the instrument and
come back as read-backs, refusals, a front-panel change, the instrument falling silent and coming
back, two clients writing at once, and the docs page's command-line example."""

import os
import shlex
import socket
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("caproto")

from caproto import AlarmSeverity, ErrorResponseReceived  # noqa: E402
from caproto.sync.client import read, write  # noqa: E402
from caproto.threading.client import Context  # noqa: E402
from pages import CHECKER, FLAGS, page_blocks  # noqa: E402
from kq5316x.testing import simulated_instrument  # noqa: E402

PREFIX = "KQTEST"
SETTLE = 10.0  # generous bound for the server to start or a poll to show a change


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.bind(("127.0.0.1", 0))
        return udp.getsockname()[1]


@pytest.fixture(scope="module", autouse=True)
def loopback():
    """Server and clients on 127.0.0.1 only, on ports no other server here uses."""
    port = str(free_port())
    with pytest.MonkeyPatch.context() as patch:
        for name, value in {
            "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1", "EPICS_CA_ADDR_LIST": "127.0.0.1",
            "EPICS_CA_AUTO_ADDR_LIST": "NO", "EPICS_CA_SERVER_PORT": port,
            "EPICS_CAS_SERVER_PORT": port, "EPICS_CA_REPEATER_PORT": str(free_port()),
        }.items():
            patch.setenv(name, value)
        yield


def get(name, **options):
    return read(f"{PREFIX}:{name}", timeout=5, repeater=False, **options)


def put(name, value):
    write(f"{PREFIX}:{name}", value, notify=True, timeout=5, repeater=False)


def wait_for(name, expected):
    deadline = time.monotonic() + SETTLE
    while (value := get(name).data[0]) != expected and time.monotonic() < deadline:
        time.sleep(0.05)
    return value


def start_ioc(*arguments):
    return subprocess.Popen(
        [sys.executable, "-m", "kq5316x.ioc", *arguments],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
    )


def stop(process):
    process.terminate()
    try:
        return process.communicate(timeout=10)[1]
    except subprocess.TimeoutExpired:
        process.kill()
        raise


def wait_until_served(process, name):
    deadline = time.monotonic() + SETTLE * 3
    while True:
        try:
            return read(name, timeout=1, repeater=False)
        except Exception:
            if process.poll() is not None or time.monotonic() > deadline:
                raise


@pytest.fixture(scope="module")
def served():
    with simulated_instrument() as sim:
        # The default poll period, long beside an exchange: a read-back current right after a
        # write was refreshed by the write, not by the poll.
        ioc = start_ioc("--port", sim.port, "--prefix", PREFIX)
        try:
            wait_until_served(ioc, f"{PREFIX}:Connected_RBV")
            yield sim
        finally:
            stop(ioc)


@pytest.fixture
def sim(served):
    served.control("reset")
    wait_for("CH1:Atten_RBV", 0.0)
    return served


def last_state(sim, ch):
    frames = [e for e in sim.events() if e.get("event") == "frame" and e["channel"] == ch]
    return frames[-1]["state"]


def test_version_and_connected(sim):
    assert get("Version_RBV").data == [b"module 2 hardware 50 software 32"]
    assert get("Connected_RBV").data[0] == 1


@pytest.mark.parametrize("pv, value, rbv, rbv_value, state", [
    ("CH1:Atten", 3.5, "CH1:Atten_RBV", 3.5, ("steps", 350)),
    ("CH2:Wavelength", 1550, "CH2:Wavelength_RBV", 1550, ("length_index", 1)),
])
def test_write_reaches_the_instrument_and_reads_back(sim, pv, value, rbv, rbv_value, state):
    put(pv, value)
    assert get(rbv).data[0] == rbv_value  # refreshed right after the write
    ch = int(pv[2])
    assert last_state(sim, ch)[state[0]] == state[1]


def test_clear(sim):
    put("CH2:Atten", 7.25)
    put("CH2:Clear", 1)
    assert get("CH2:Atten_RBV").data[0] == 0.0
    assert last_state(sim, 2)["steps"] == 0


@pytest.mark.parametrize("pv, value", [
    ("CH1:Atten", 655.36), ("CH1:Atten", -0.5), ("CH2:Wavelength", 1490), ("CH1:Clear", 2),
])
def test_refused_writes_send_nothing(sim, pv, value):
    before = len(sim.events())
    with pytest.raises(ErrorResponseReceived):
        put(pv, value)
    commands = {e["command"] for e in sim.events()[before:] if e.get("event") == "frame"}
    assert commands <= {"read_current_status", "read_wavelengths"}


def test_front_panel_change_appears_in_the_readback(sim):
    sim.control("attenuation 1 250")
    assert wait_for("CH1:Atten_RBV", 2.5) == 2.5
    sim.control("mode 2 3")
    assert wait_for("CH2:Mode_RBV", 3) == 3


def test_connected_falls_with_an_alarm_and_recovers(sim):
    sim.control("silent always")
    assert wait_for("Connected_RBV", 0) == 0
    assert get("Connected_RBV", data_type="time").metadata.severity == AlarmSeverity.MAJOR_ALARM
    sim.control("nofaults")
    assert wait_for("Connected_RBV", 1) == 1
    assert get("Connected_RBV", data_type="time").metadata.severity == AlarmSeverity.NO_ALARM


def test_two_clients_writing_at_once_take_turns(sim):
    before = len(sim.events())
    values = {1: [i * 0.25 for i in range(1, 11)], 2: [i * 0.5 for i in range(1, 11)]}
    failures = []

    def client(ch):
        # Each its own client context, hence its own connection to the server.
        context = Context()
        try:
            [pv] = context.get_pvs(f"{PREFIX}:CH{ch}:Atten", timeout=5)
            pv.wait_for_connection(timeout=5)
            for value in values[ch]:
                pv.write(value, wait=True, timeout=5)
        except Exception as error:  # reported below, with the other client's outcome
            failures.append(error)
        finally:
            context.disconnect()

    threads = [threading.Thread(target=client, args=(ch,)) for ch in values]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert failures == []
    frames = [e for e in sim.events()[before:] if e.get("event") == "frame"]
    assert all(e["ok"] and e["tx"] for e in frames)  # every request whole, every one answered
    sets = [(e["channel"], e["state"]["steps"]) for e in frames if e["command"] == "set_attenuation"]
    for ch, written in values.items():
        assert [steps for channel, steps in sets if channel == ch] == [round(v * 100) for v in written]
        assert get(f"CH{ch}:Atten_RBV").data[0] == written[-1]


def test_docs_page_command_line_example(monkeypatch):
    port = str(free_port())  # not the port of the server the other tests use
    monkeypatch.setenv("EPICS_CA_SERVER_PORT", port)
    monkeypatch.setenv("EPICS_CAS_SERVER_PORT", port)
    [(_, console)] = page_blocks("epics.rst", ("code-block",))[-1:]
    steps = []  # (command, expected output)
    for line in console.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            steps[-1][1].append(line)
    (server, _), *commands = steps
    assert server.endswith("&") and commands
    ioc = subprocess.Popen(
        [os.path.join(os.path.dirname(sys.executable), shlex.split(server)[0]),
         *shlex.split(server)[1:-1]],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
    )
    try:
        wait_until_served(ioc, "LAB:ATT1:Connected_RBV")
        for command, expected in commands:
            program, *arguments = shlex.split(command)
            # No repeater: a spawned caproto-repeater would outlive the test on all interfaces.
            run = subprocess.run(
                [os.path.join(os.path.dirname(sys.executable), program), "--no-repeater",
                 *arguments], capture_output=True, text=True, timeout=60,
            )
            want = "\n".join(expected) + "\n"
            assert CHECKER.check_output(want, run.stdout, FLAGS), (command, run.stdout, want)
    finally:
        stop(ioc)
