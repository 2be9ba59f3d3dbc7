"""kq5316x-ioc against the simulated instrument, all on loopback: writes reach the instrument and
come back as read-backs, refusals, records and enumerations as EPICS clients see them, who may
write, the instrument lost and found again, a flood of puts, and the docs page's example."""

import contextlib
import json
import os
import shlex
import shutil
import socket
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("caproto")

from caproto import AlarmSeverity, AlarmStatus, ChannelType, ErrorResponseReceived  # noqa: E402
from caproto.sync.client import read, write  # noqa: E402
from caproto.threading.client import Context  # noqa: E402
from pages import CHECKER, FLAGS, page_blocks  # noqa: E402
from kq5316x.testing import simulated_instrument  # noqa: E402

PREFIX = "KQTEST"
SETTLE = 10.0  # generous bound for the server to start or a poll to show a change
CHANNELS = (1, 2)
READBACKS = ["Version_RBV"] + [
    f"CH{ch}:{name}" for ch in CHANNELS for name in ("Atten_RBV", "Wavelength_RBV", "Mode_RBV")
]


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
            "EPICS_CA_REPEATER_PORT": str(free_port()),
        }.items():
            patch.setenv(name, value)
        patch.delenv("KQ5316_PORT", raising=False)
        yield


def get(name, prefix=PREFIX, **options):
    return read(f"{prefix}:{name}", timeout=5, repeater=False, **options)


def put(name, value, prefix=PREFIX):
    write(f"{prefix}:{name}", value, notify=True, timeout=5, repeater=False)


def alarm(name, prefix=PREFIX):
    metadata = get(name, prefix, data_type="time").metadata
    return AlarmStatus(metadata.status), AlarmSeverity(metadata.severity)


def wait_for(check, timeout=SETTLE):
    """The last value of `check()`, once true or when `timeout` ran out."""
    deadline = time.monotonic() + timeout
    while not (result := check()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return result


def start_ioc(*arguments):
    return subprocess.Popen(
        [sys.executable, "-m", "kq5316x.ioc", *arguments],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
    )


def stop(process):
    """Stops a server with SIGTERM; its standard error."""
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


def sets(sim):
    return [e for e in sim.events() if e.get("command") == "set_attenuation"]


@pytest.fixture(scope="module")
def served():
    with simulated_instrument() as sim:
        # The default poll period, long beside an exchange: a read-back current right after a
        # write was refreshed by the write, not by the poll.
        ioc = start_ioc("--port", sim.port, "--prefix", PREFIX)
        try:
            wait_until_served(ioc, f"{PREFIX}:Connected_RBV")
            assert wait_for(lambda: get("Connected_RBV").data[0] == b"Connected")
            yield sim
        finally:
            stop(ioc)


@pytest.fixture
def sim(served):
    served.control("reset")
    assert wait_for(lambda: get("CH1:Atten_RBV").data[0] == 0.0)
    return served


def last_state(sim, ch):
    frames = [e for e in sim.events() if e.get("event") == "frame" and e["channel"] == ch]
    return frames[-1]["state"]


def test_version_and_connected(sim):
    assert get("Version_RBV").data == [b"module 2 hardware 50 software 32"]
    assert get("Connected_RBV").data == [b"Connected"]


@pytest.mark.parametrize("pv, value, rbv, rbv_value, state", [
    ("CH1:Atten", 3.5, "CH1:Atten_RBV", 3.5, ("steps", 350)),
    ("CH2:Wavelength", "1550", "CH2:Wavelength_RBV", b"1550", ("length_index", 1)),
])
def test_write_reaches_the_instrument_and_reads_back(sim, pv, value, rbv, rbv_value, state):
    put(pv, value)
    assert get(rbv).data[0] == rbv_value  # refreshed right after the write
    assert last_state(sim, int(pv[2]))[state[0]] == state[1]


@pytest.mark.parametrize("written, shown, steps", [(3.505, 3.51, 351), (5e-324, 0.0, 0)])
def test_setpoint_shows_what_the_instrument_was_set_to(sim, written, shown, steps):
    put("CH1:Atten", 7.0)
    put("CH1:Atten", written)
    assert get("CH1:Atten").data[0] == shown
    assert last_state(sim, 1)["steps"] == steps


def test_clear_sets_zero_and_returns_to_idle(sim):
    put("CH2:Atten", 7.25)
    put("CH2:Clear", "Clear")
    assert get("CH2:Atten_RBV").data[0] == 0.0
    assert get("CH2:Atten").data[0] == 0.0
    assert get("CH2:Clear").data == [b"Idle"]
    assert last_state(sim, 2)["steps"] == 0


@pytest.mark.parametrize("pv, value", [
    ("CH1:Atten", 655.36), ("CH1:Atten", -0.5), ("CH2:Wavelength", "1490"), ("CH1:Clear", 2),
])
def test_refused_writes_send_nothing(sim, pv, value):
    before = len(sim.events())
    with pytest.raises(ErrorResponseReceived):
        put(pv, value)
    commands = {e["command"] for e in sim.events()[before:] if e.get("event") == "frame"}
    assert commands <= {"read_current_status"}


@pytest.mark.parametrize("name, expected", [
    ("CH1:Atten.RTYP", "ao"), ("CH1:Atten_RBV.RTYP", "ai"), ("CH1:Wavelength.RTYP", "mbbo"),
    ("CH1:Wavelength_RBV.RTYP", "mbbi"), ("CH1:Mode_RBV.RTYP", "longin"),
    ("CH1:Clear.RTYP", "bo"), ("Connected_RBV.RTYP", "bi"), ("Version_RBV.RTYP", "stringin"),
    ("CH1:Atten.DESC", "attenuation setpoint"), ("CH2:Atten_RBV.DESC", "attenuation read back"),
    ("CH1:Atten.EGU", "dB"), ("CH1:Atten_RBV.EGU", "dB"), ("CH1:Atten.PREC", 2),
    ("CH1:Atten.HOPR", 655.35), ("CH1:Atten.LOPR", 0.0), ("CH2:Atten_RBV.HOPR", 655.35),
    ("CH1:Atten.DRVH", 655.35), ("CH1:Atten.DRVL", 0.0), ("CH1:Atten_RBV.SEVR", "NO_ALARM"),
])
def test_record_fields(sim, name, expected):
    data = get(name, data_type=ChannelType.STRING if isinstance(expected, str) else None).data
    assert (data[0].decode() if isinstance(expected, str) else data[0]) == expected


@pytest.mark.parametrize("name, states", [
    ("CH1:Wavelength", ["1310", "1490", "1535"]), ("CH2:Wavelength_RBV", ["1310", "1550"]),
    ("CH1:Clear", ["Idle", "Clear"]), ("Connected_RBV", ["Disconnected", "Connected"]),
])
def test_enumerations(sim, name, states):
    assert [s.decode() for s in get(name, data_type="control").metadata.enum_strings] == states


def test_display_limits(sim):
    metadata = get("CH1:Atten", data_type="control").metadata
    assert (metadata.lower_disp_limit, metadata.upper_disp_limit) == (0.0, 655.35)
    assert (metadata.lower_ctrl_limit, metadata.upper_ctrl_limit) == (0.0, 655.35)


def test_front_panel_change_appears_in_the_readback(sim):
    sim.control("attenuation 1 250")
    assert wait_for(lambda: get("CH1:Atten_RBV").data[0] == 2.5)
    sim.control("mode 2 3")
    assert wait_for(lambda: get("CH2:Mode_RBV").data[0] == 3)


def test_silent_instrument_shows_on_every_readback(sim):
    sim.control("silent always")
    two_polls = 2 * (1.0 + 2 * 0.5) + 1  # each: the period, and a reply timeout twice
    assert wait_for(lambda: get("Connected_RBV").data[0] == b"Disconnected", timeout=two_polls)
    assert {name: alarm(name) for name in READBACKS} == dict.fromkeys(
        READBACKS, (AlarmStatus.COMM, AlarmSeverity.INVALID_ALARM)
    )
    assert alarm("Connected_RBV") == (AlarmStatus.COMM, AlarmSeverity.MAJOR_ALARM)
    with pytest.raises(ErrorResponseReceived, match="does not answer"):
        put("CH1:Atten", 1.0)
    sim.control("nofaults")
    assert wait_for(lambda: get("Connected_RBV").data[0] == b"Connected")
    assert {alarm(name)[1] for name in [*READBACKS, "Connected_RBV"]} == {AlarmSeverity.NO_ALARM}


@contextlib.contextmanager
def own_client(name):
    """A PV of a client context of its own, hence on a connection of its own to the server."""
    context = Context()
    try:
        [pv] = context.get_pvs(name, timeout=5)
        pv.wait_for_connection(timeout=5)
        yield pv
    finally:
        context.disconnect()


def test_two_clients_writing_at_once_take_turns(sim):
    before = len(sim.events())
    values = {1: [i * 0.25 for i in range(1, 11)], 2: [i * 0.5 for i in range(1, 11)]}
    failures = []

    def client(ch):
        try:
            with own_client(f"{PREFIX}:CH{ch}:Atten") as pv:
                for value in values[ch]:
                    pv.write(value, wait=True, timeout=5)
        except Exception as error:  # reported below, with the other client's outcome
            failures.append(error)

    threads = [threading.Thread(target=client, args=(ch,)) for ch in values]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert failures == []
    frames = [e for e in sim.events()[before:] if e.get("event") == "frame"]
    assert all(e["ok"] and e["tx"] for e in frames)  # every request whole, every one answered
    written = [
        (e["channel"], e["state"]["steps"]) for e in frames if e["command"] == "set_attenuation"
    ]
    for ch, wanted in values.items():
        steps = [steps for channel, steps in written if channel == ch]
        assert steps == [round(v * 100) for v in wanted]
        assert get(f"CH{ch}:Atten_RBV").data[0] == wanted[-1]


def rss(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS"))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_put_flood_is_bounded(sim_and_ioc):
    """A few clients flood both setpoints with puts nobody waits for, then leave: memory stays
    near idle, a new client is answered meanwhile, the instrument ends with the last value and
    receives nothing more, and SIGTERM stops the server at once."""
    sim, ioc = sim_and_ioc()
    idle = rss(ioc.pid)
    final = {1: 12.34, 2: 6.5}
    puts = []

    def flood(ch):
        with own_client(f"SOLO:CH{ch}:Atten") as pv:
            count, end = 0, time.monotonic() + 3
            while time.monotonic() < end:
                pv.write((count % 1000) / 100, wait=False)
                count += 1
            pv.write(final[ch], wait=False)
            puts.append(count + 1)

    threads = [threading.Thread(target=flood, args=(1 + i % 2,)) for i in range(4)]
    for thread in threads:
        thread.start()
    time.sleep(1.5)
    start = time.monotonic()
    get("Connected_RBV", "SOLO")  # a new client, mid-flood
    answered = time.monotonic() - start
    for thread in threads:
        thread.join(timeout=60)
    ended = time.monotonic()
    growth = rss(ioc.pid) - idle
    time.sleep(max(0.0, ended + 1 - time.monotonic()))
    at_one_second = len(sets(sim))
    time.sleep(2)
    start = time.monotonic()
    log = stop(ioc)
    stopped = time.monotonic() - start
    print(f"flood: {sum(puts)} puts, {len(sets(sim))} sets, a new client answered in"
          f" {answered:.2f} s, RSS +{growth / 2**20:.1f} MiB, SIGTERM took {stopped:.2f} s")
    assert sum(puts) > 1000  # a flood, not a trickle
    assert len(sets(sim)) == at_one_second  # nothing reached the instrument after end + 1 s
    assert {ch: last_state(sim, ch)["steps"] for ch in final} == {1: 1234, 2: 650}
    assert growth < 64 * 2**20 and answered < 5 and stopped < 5, log


@pytest.fixture
def sim_and_ioc(monkeypatch):
    """Starts a simulator and a server on it, with the prefix SOLO, extra options and a port of
    its own (two servers on one port would split the searches between them)."""
    monkeypatch.setenv("EPICS_CA_SERVER_PORT", str(free_port()))
    with simulated_instrument() as sim:
        started = []

        def start(*options):
            ioc = start_ioc("--port", sim.port, "--prefix", "SOLO", *options)
            started.append(ioc)
            wait_until_served(ioc, "SOLO:Connected_RBV")
            assert wait_for(lambda: get("Connected_RBV", "SOLO").data[0] == b"Connected")
            return sim, ioc

        try:
            yield start
        finally:
            for ioc in started:
                if ioc.poll() is None:
                    stop(ioc)


@pytest.mark.parametrize("options, allowed", [
    ((), True), (("--read-only",), False), (("--allow-write", "192.0.2.0/24"), False),
    (("--allow-write", "192.0.2.7,127.0.0.0/8"), True),
])
def test_who_may_write(sim_and_ioc, options, allowed):
    sim, ioc = sim_and_ioc(*options)
    before = len(sets(sim))
    if allowed:
        put("CH1:Atten", 4.5, "SOLO")
        with pytest.raises(ErrorResponseReceived):
            put("CH1:Atten", 700, "SOLO")
    else:
        with pytest.raises(Exception, match="(?i)write|access|permission"):
            put("CH1:Atten", 4.5, "SOLO")
    assert len(sets(sim)) - before == allowed
    lines = stop(ioc).splitlines()
    # The rule in the first line; a refused put in one line of its own, with no traceback.
    assert ("none may write" in lines[0]) == ("--read-only" in options)
    refused = [line for line in lines if "refused a put to SOLO:CH1:Atten from 127.0.0.1" in line]
    assert len(refused) == 1 and not any("Traceback" in line for line in lines), lines


def test_a_flood_of_refused_puts_is_logged_in_a_few_lines(sim_and_ioc):
    sim, ioc = sim_and_ioc()
    with own_client("SOLO:CH1:Atten") as pv:
        for _ in range(300):
            pv.write(700.0, wait=False)
        pv.write(1.0, wait=True, timeout=10)  # handled after the refused ones
    refused = [line for line in stop(ioc).splitlines() if "refused a put" in line]
    assert 1 <= len(refused) <= 20, refused


def test_started_before_the_instrument_exists_and_lost_again(tmp_path, monkeypatch):
    monkeypatch.setenv("EPICS_CA_SERVER_PORT", str(free_port()))  # a server of its own
    link = str(tmp_path / "kq5316")
    ioc = start_ioc("--port", link, "--prefix", "LATE", "--poll", "0.3")
    try:
        wait_until_served(ioc, "LATE:Connected_RBV")
        assert get("Connected_RBV", "LATE").data[0] == b"Disconnected"
        assert alarm("CH1:Atten_RBV", "LATE") == (AlarmStatus.COMM, AlarmSeverity.INVALID_ALARM)
        with pytest.raises(ErrorResponseReceived, match="does not answer"):
            put("CH1:Atten", 1.0, "LATE")
        with simulated_instrument("--link", link):
            assert wait_for(lambda: get("Connected_RBV", "LATE").data[0] == b"Connected")
            assert alarm("CH1:Atten_RBV", "LATE")[1] == AlarmSeverity.NO_ALARM
            assert [s.decode() for s in get("CH2:Wavelength", "LATE", data_type="control")
                    .metadata.enum_strings] == ["1310", "1550"]
            put("CH1:Atten", 5.0, "LATE")
        # The simulator is gone, and its terminal with it.
        assert wait_for(
            lambda: get("Connected_RBV", "LATE").data[0] == b"Disconnected", timeout=2 * 0.3 + 2
        )
        assert {alarm(name, "LATE") for name in READBACKS} == {
            (AlarmStatus.COMM, AlarmSeverity.INVALID_ALARM)
        }
        with simulated_instrument("--link", link):  # back, holding 0 dB
            assert wait_for(lambda: get("Connected_RBV", "LATE").data[0] == b"Connected")
            assert {alarm(name, "LATE")[1] for name in READBACKS} == {AlarmSeverity.NO_ALARM}
            assert get("CH1:Atten", "LATE").data[0] == 0.0  # re-read from the instrument
    finally:
        log = stop(ioc)
    assert "channel 1 holds 0.00 dB, not the 5.00 dB last set" in log, log


def test_silent_port_at_start_is_reported_in_the_servers_terms(tmp_path, monkeypatch):
    monkeypatch.setenv("EPICS_CA_SERVER_PORT", str(free_port()))
    with simulated_instrument("--fault", "silent always") as sim:
        monkeypatch.setenv("KQ5316_PORT", sim.port)  # the port when --port is not given
        ioc = start_ioc("--prefix", "MUTE", "--baud", "9600", "--timeout", "0.1")
        try:
            wait_until_served(ioc, "MUTE:Connected_RBV")
            assert wait_for(lambda: sim.frames())  # it was asked
        finally:
            log = stop(ioc)
    assert f"waiting for the instrument: no reply within 0.1 s on {sim.port}" in log, log
    assert "9600 baud (--baud)" in log and "identify" not in log, log


def test_operator_panel_shows_both_channels(sim_and_ioc, tmp_path):
    pytest.importorskip("pydm")
    xvfb = [] if os.environ.get("DISPLAY") else [shutil.which("xvfb-run") or "", "-a"]
    if xvfb and not xvfb[0]:
        pytest.skip("no X server and no xvfb-run")
    sim_and_ioc()
    for name, value in [("CH1:Atten", 3.5), ("CH2:Atten", 7.25), ("CH2:Wavelength", "1550")]:
        put(name, value, "SOLO")
    shot = tmp_path / "panel.png"
    run = subprocess.run(
        [*xvfb, sys.executable, os.path.join(os.path.dirname(__file__), "panel_shot.py"), "SOLO",
         str(shot)], capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0, run.stderr
    seen = json.loads(run.stdout.splitlines()[-1])
    assert seen["texts"] == {
        "ch1_atten_rbv": "3.50", "ch2_atten_rbv": "7.25", "ch1_wavelength_rbv": "1310",
        "ch2_wavelength_rbv": "1550", "connected": "Connected",
        "version": "module 2 hardware 50 software 32",
    }
    assert all(seen["held"].values()), seen  # each value as drawn, in the screenshot
    assert shot.stat().st_size > 0


@pytest.mark.parametrize("arguments, message", [
    (["--simulate", "--prefix", ""], "prefix"),
    (["--simulate", "--prefix", "LAB.ATT"], "prefix"),
    (["--simulate", "--prefix", "LAB:"], "prefix"),
    (["--simulate", "--prefix", "X" * 40], "prefix"),
    (["--simulate", "--prefix", "P", "--timeout", "nan"], "timeout"),
    (["--simulate", "--prefix", "P", "--poll", "0"], "poll"),
    (["--simulate", "--prefix", "P", "--baud", "12345"], "baud"),
    (["--simulate", "--prefix", "P", "--channels", "1,256"], "channels"),
    (["--simulate", "--prefix", "P", "--allow-write", "lab-pc.example"], "address"),
    (["--prefix", "P"], "KQ5316_PORT"),
])
def test_bad_options_are_one_line_and_exit_2(arguments, message):
    run = subprocess.run(
        [sys.executable, "-m", "kq5316x.ioc", *arguments], capture_output=True, text=True,
        timeout=60,
    )
    assert run.returncode == 2
    assert len(run.stderr.splitlines()) == 1 and message in run.stderr, run.stderr


def test_simulator_that_cannot_start_is_one_line_and_exit_3():
    run = subprocess.run(
        [sys.executable, "-m", "kq5316x.ioc", "--simulate", "--prefix", "P"],
        capture_output=True, text=True, timeout=60, env={**os.environ, "KQ5316_SIM": "false"},
    )
    assert run.returncode == 3
    assert run.stderr.startswith("kq5316x-ioc: --simulate: could not start the simulator: ")
    assert len(run.stderr.splitlines()) == 1, run.stderr


def test_docs_page_command_line_example(monkeypatch):
    monkeypatch.setenv("EPICS_CA_SERVER_PORT", str(free_port()))  # not the other tests' server's
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
        assert wait_for(lambda: get("Connected_RBV", "LAB:ATT1").data[0] == b"Connected")
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
