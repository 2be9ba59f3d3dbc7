"""The command line kq5316x against the simulated instrument, on a pseudo-terminal and over TCP:
each command's text and JSON, units, sweeps (CSV, read-back mismatch, Ctrl-C, progress bar,
plot), exit statuses, and the console examples of docs/cli.rst."""

import csv
import doctest
import errno
import importlib.util
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import pytest
import serial

from kq5316x import Attenuator
from kq5316x._cli import main

from conftest import TRANSPORTS

DOCS_PAGE = Path(__file__).resolve().parent.parent / "docs" / "cli.rst"
PROGRAM = [sys.executable, "-m", "kq5316x"]


@pytest.fixture
def sim(instrument):
    instrument.control("reset")
    return instrument


def run(capsys, *argv):
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def checksum(frame):
    return -sum(frame) & 0xFF


def status_reply(ch, steps):
    """A well-formed status reply saying channel `ch` holds `steps` of 0.01 dB."""
    body = [0x7B, ch, 0x0A, 0x14, 0x36, 0, 0, 0, steps & 0xFF, steps >> 8]
    return " ".join(f"{b:02X}" for b in [*body, checksum(body), 0x7D])


COMMANDS = [
    (["status", "--ch", "2"], [], "channel 2: 0.00 dB at 1310 nm, mode 0",
     {"channel": 2, "attenuation_mdb": 0, "wavelength_nm": 1310, "wavelengths_nm": [1310, 1550]}),
    (["set", "3.5dB"], [], "channel 1: set 3.50 dB, read back 3.50 dB at 1310 nm, mode 0",
     {"requested_mdb": 3500, "attenuation_mdb": 3500, "attenuation_db": 3.5, "match": True}),
    (["set", "12510mdB", "--ch", "2"], [],
     "channel 2: set 12.51 dB, read back 12.51 dB at 1310 nm, mode 0",
     {"channel": 2, "requested_mdb": 12510, "attenuation_mdb": 12510, "match": True}),
    (["wavelength", "1550nm", "--ch", "2"], [],
     "channel 2: selected 1550 nm, read back 0.00 dB at 1550 nm, mode 0",
     {"requested_nm": 1550, "wavelength_nm": 1550, "wavelength_index": 1, "match": True}),
    (["wavelength"], ["mode 1 3"],
     "channel 1: 0.00 dB at 1310 nm, mode 3; wavelengths 1310, 1490, 1535 nm",
     {"mode": 3, "wavelengths_nm": [1310, 1490, 1535]}),
    (["clear", "--ch", "2"], ["attenuation 2 250"],
     "channel 2: cleared, read back 0.00 dB at 1310 nm, mode 0",
     {"channel": 2, "attenuation_mdb": 0, "match": True}),
    (["disconnect"], ["attenuation 1 250"],
     "channel 1: disconnected, read back 0.00 dB at 1310 nm, mode 0", {"attenuation_mdb": 0}),
    (["close-display"], [], "PORT: display closed", {"display": "closed"}),
    (["info"], ["attenuation 2 1234", "version 7,8,9"],
     ("PORT: module version 7, hardware 8, software 9\n"
     "channel 1: 0.00 dB at 1310 nm, mode 0; wavelengths 1310, 1490, 1535 nm\n"
     "channel 2: 12.34 dB at 1310 nm, mode 0; wavelengths 1310, 1550 nm"),
     {"version": {"module": 7, "hardware": 8, "software": 9}}),
]


@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
@pytest.mark.parametrize("argv, controls, text, record", COMMANDS, ids=lambda v: None)
def test_command_reads_back_and_prints(sim, capsys, argv, controls, text, record, as_json):
    for line in controls:
        sim.control(line)
    command, *rest = argv
    status, out, err = run(capsys, command, sim.port, *rest, *(["--json"] if as_json else []))
    assert (status, err) == (0, "")
    if not as_json:
        assert out == text.replace("PORT", sim.port) + "\n"
        return
    [result] = [json.loads(line) for line in out.splitlines()]
    assert result["port"] == sim.port
    assert result.items() >= record.items()
    if command == "info":
        assert [c["attenuation_mdb"] for c in result["channels"]] == [0, 12340]


@pytest.mark.parametrize("argv, frame", [
    (["disconnect", "--ch", "2"], "7B 02 07 14 34 FF FF 36 7D"),
    (["close-display"], "7B 01 05 00 05 7A 7D"),
])
def test_command_reaches_the_instrument(sim, capsys, argv, frame):
    command, *rest = argv
    assert run(capsys, command, sim.port, *rest)[0] == 0
    sim.control("nofaults")  # answered after every event before it has been reported
    sent = [e for e in sim.events() if e.get("event") == "frame"]
    assert bytes.fromhex(frame) in [bytes.fromhex(e["rx"]) for e in sent]
    if command == "disconnect":
        assert sent[-2]["state"]["disconnected"]  # before the status read back


@pytest.mark.parametrize("value, message", [
    ("3.5", "'3.5' has no unit: write 3.5dB or 3.5mdB"),
    ("3500", "write 3500dB or 3500mdB"),
    ("3.505dB", "the nearest settable values are 3.50dB and 3.51dB"),
    ("3505mdB", "the nearest settable values are 3.50dB and 3.51dB"),
    ("655.36dB", "out of range: 0dB to 655.35dB"),
    ("3.5dBm", "the unit must be dB or mdB"),
])
def test_set_refuses_a_value_without_a_settable_unit(capsys, value, message):
    # Refused before the port is opened: the port does not exist, and the status is not 3.
    status, out, err = run(capsys, "set", "/nonexistent/port", value)
    assert (status, out) == (2, "")
    assert message in err and err.count("\n") == 1


HUGE = "9" * 5000
HOSTILE = [
    # refused before the port (which does not exist) is opened: one line, status 2
    (["set", "PORT", "-1dB"], "'-1dB' is out of range"),
    (["sweep", "PORT", "--from", "0dB", "--to", "1dB", "--step", "-0.5dB"], "out of range"),
    (["sweep", "PORT", "--from", "0dB", "--to", "1dB", "--step", "1dB", "--dwell", "86401s"],
     "at most 86400s"),
    (["status", "PORT", "--timeout", f"{HUGE}ms"], "is not a time"),
    (["wavelength", "PORT", HUGE], "is not a wavelength"),
    (["wavelength", "PORT", "65536nm"], "is not a wavelength"),
    (["status", "PORT", "--ch", HUGE], "is not a channel number"),
    (["status", "PORT", "--ch", "\u00b2"], "is not a channel number"),
    (["status", "PORT", "--baud", "9601"], "not one of the rates 1200, 2400"),
    (["set", "PORT", "--", "--"], "VALUE is missing"),
    (["sweep", "PORT", "--from", "0dB", "--to", "1dB", "--step", "1dB", "--csv", "/dev/full"],
     "--csv: cannot write /dev/full: No space left on device"),
    (["sweep", "PORT", "--from", "0dB", "--to", "1dB", "--step", "1dB", "--plot", "x.jpgg"],
     "x.jpgg has no image format matplotlib writes: "),
    (["sweep", "PORT", "--from", "0dB", "--to", "1dB", "--step", "1dB", "--plot",
      "/nonexistent/dir/x.png"], "no directory /nonexistent/dir"),
    (["ports", "x["], "'x[' is not a regular expression"),
]


@pytest.mark.parametrize("argv, message", HOSTILE, ids=lambda v: None)
def test_hostile_command_line_is_one_line_and_status_2(capsys, argv, message):
    if "--plot" in argv:
        pytest.importorskip("matplotlib", reason="--plot checks its file with matplotlib")
    argv = [word.replace("PORT", "/nonexistent/port") for word in argv]
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert message in err and err.count("\n") == 1 and len(err) < 400


@pytest.mark.parametrize("given, variable", [(None, "SIM"), ("SIM", "/nonexistent/port")],
                         ids=["from KQ5316_PORT", "PORT wins"])
def test_port_from_the_environment(sim, capsys, monkeypatch, given, variable):
    monkeypatch.setenv("KQ5316_PORT", variable.replace("SIM", sim.port))
    status, out, err = run(capsys, "status", *([sim.port] if given else []), "--json")
    assert (status, err) == (0, "")
    assert json.loads(out)["port"] == sim.port


def test_without_a_port_says_where_one_comes_from(capsys, monkeypatch):
    monkeypatch.delenv("KQ5316_PORT", raising=False)
    status, _, err = run(capsys, "status")
    assert status == 2 and "KQ5316_PORT" in err and "--simulate" in err


HINTS = [
    # extra arguments, simulator control, what the line says, what it must not say
    (["--baud", "9600"], "silent always",
     ["set to 9600 baud, or give its rate with --baud", "--no-identify skips"], ["identify="]),
    (["--no-identify"], "silent always",
     ["nothing on PORT answered", "--baud"], ["stopped answering"]),
    (["--ch", "3"], None, ["channel 3 is not one of this instrument's channels (1, 2)"],
     ["channels=("]),
]


@pytest.mark.parametrize("extra, control, said, unsaid", HINTS, ids=lambda v: None)
def test_hints_in_the_command_line_terms(instrument, capsys, extra, control, said, unsaid):
    sim = instrument
    sim.control("reset")
    if control:
        sim.control(control)
    status, _, err = run(capsys, "status", sim.port, "--timeout", "200ms", *extra)
    sim.control("nofaults")
    assert status == (2 if "--ch" in extra else 1) and err.count("\n") == 1
    for text in said:
        assert text.replace("PORT", sim.port) in err
    for text in unsaid:
        assert text not in err
    one_client = "serves one client at a time, another program may be connected"
    assert (one_client in err) == (control is not None and sim.port.startswith("socket://"))


def test_permission_denied_names_the_group(capsys, monkeypatch):
    def refuse(port, **options):
        raise serial.SerialException(errno.EACCES, f"could not open port {port}")

    monkeypatch.setattr("serial.serial_for_url", refuse)
    status, _, err = run(capsys, "status", "/nonexistent/ttyUSB0")
    assert status == 3 and "Permission denied" in err
    assert "dialout" in err and "uucp" in err and "kq5316x ports" not in err


def queue_after_open(sim, faults, replies_before):
    """Queues `faults` so that they hit the sweep's reply number `replies_before` + 1, counting
    whatever the Attenuator exchanges while it opens."""
    # A control line is answered after every frame event before it, so counting after one
    # counts every frame the simulator has received.
    sim.control("nofaults")
    before = len(sim.frames())
    with Attenuator(sim.port):
        pass
    sim.control("nofaults")
    opening = len(sim.frames()) - before
    sim.control(f"delay 0 x{opening + replies_before}")
    for fault in faults:
        sim.control(fault)


SWEEP_FAULTS = {
    # fault on the second step's status reply: rows (requested, read back, match), exit status
    "clean": (None, [("0.00", "0.00", "true"), ("0.50", "0.50", "true"),
                     ("1.00", "1.00", "true")], 0),
    "mismatch": (f"raw {status_reply(1, 7)}",  # says 0.07 dB instead of 0.50 dB
                 [("0.00", "0.00", "true"), ("0.50", "0.07", "false"),
                  ("1.00", "1.00", "true")], 1),
    "silent": ("silent always", [("0.00", "0.00", "true")], 1),
}


@pytest.mark.parametrize("case", SWEEP_FAULTS)
def test_sweep_rows_in_csv_and_exit_status(sim, capsys, tmp_path, case):
    fault, expected, expected_status = SWEEP_FAULTS[case]
    if fault:
        queue_after_open(sim, [fault], replies_before=3)
    table = tmp_path / "rows.csv"
    status, out, err = run(capsys, "sweep", sim.port, "--from", "0dB", "--to", "1dB",
                           "--step", "500mdB", "--csv", table, "--timeout", "200ms")
    rows = list(csv.reader(table.open(newline="")))
    assert rows[0] == ["step", "time_s", "channel", "requested_db", "read_back_db", "match"]
    assert [(r[0], r[2]) for r in rows[1:]] == [(str(n), "1") for n in range(1, len(expected) + 1)]
    assert [(r[3], r[4], r[5]) for r in rows[1:]] == expected
    times = [float(r[1]) for r in rows[1:]]
    assert times == sorted(times)
    assert status == expected_status
    marked = [line for line in out.splitlines() if "MISMATCH" in line]
    if case == "mismatch":
        assert len(marked) == 2 and "0.07 dB  MISMATCH" in marked[0]  # the row and the summary
        assert "1 of 3 read-backs differ" in err
    elif case == "silent":
        assert "no complete reply" in err and "the sweep stopped after 1 of 3 steps" in err
        assert "stopped answering" in err and "--timeout" in err
        assert "1 row kept in" in err and err.count("\n") == 1
    else:
        assert (err, marked) == ("", [])


def test_sweep_json_and_downward_steps(sim, capsys):
    status, out, _ = run(capsys, "sweep", sim.port, "--from", "1dB", "--to", "0.1dB",
                         "--step", "0.4dB", "--ch", "2", "--json")
    records = [json.loads(line) for line in out.splitlines()]
    assert status == 0
    assert [(r["requested_mdb"], r["read_back_mdb"], r["match"]) for r in records] == [
        (1000, 1000, True), (600, 600, True), (200, 200, True)
    ]
    assert {r["channel"] for r in records} == {2}


def wait_for(predicate, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def csv_rows(path):
    return path.read_text().splitlines() if path.exists() else []


@pytest.mark.parametrize("signal_number, status, word", [
    (signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated"),
], ids=["ctrl-c", "sigterm"])
def test_stop_keeps_rows_and_leaves_the_channel(sim, tmp_path, signal_number, status, word):
    table = tmp_path / "rows.csv"
    child = subprocess.Popen(
        [*PROGRAM, "sweep", sim.port, "--from", "0dB", "--to", "10dB", "--step", "0.5dB",
         "--dwell", "150ms", "--csv", str(table)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        wait_for(lambda: len(csv_rows(table)) >= 3)
        child.send_signal(signal_number)
        _, err = child.communicate(timeout=20)
    finally:
        child.kill()
    rows = list(csv.reader(table.open(newline="")))[1:]
    assert child.returncode == status
    assert 2 <= len(rows) < 21 and all(len(row) == 6 for row in rows)
    assert [row[3] for row in rows] == [f"{0.5 * i:.2f}" for i in range(len(rows))]
    assert f"{word} after {len(rows)} of 21 steps" in err and err.count("\n") == 1
    assert "left where it was" in err and "Traceback" not in err
    # Nothing was sent to put the channel back: the last request was a step of the sweep.
    sim.control("nofaults")  # answered after every event before it has been reported
    frames = [e for e in sim.events() if e.get("event") == "frame"]
    assert frames[-1]["command"] in ("set_attenuation", "read_current_status")
    assert frames[-1]["state"]["steps"] >= 50 * (len(rows) - 1)


def limit_file_size(size):
    """In the child: files may not grow beyond `size` bytes, and a write beyond fails (EFBIG)
    instead of killing the process, as on a full disk."""
    def apply():
        import resource

        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return apply


def test_full_standard_output_is_status_4(sim):
    with open("/dev/full", "w") as full:
        result = subprocess.run([*PROGRAM, "status", sim.port], stdout=full,
                                stderr=subprocess.PIPE, text=True, timeout=60)
    assert result.returncode == 4
    assert result.stderr == ("kq5316x status: could not write standard output: "
                             "No space left on device\n")


@pytest.mark.parametrize("target", ["csv", "stdout"])
def test_write_error_mid_sweep_says_where_it_stopped(sim, tmp_path, target):
    table = tmp_path / "rows.csv"
    argv = [*PROGRAM, "sweep", sim.port, "--from", "0dB", "--to", "10dB", "--step", "0.5dB"]
    before = len(sim.events())
    if target == "csv":
        # The header and about five rows fit.
        result = subprocess.run([*argv, "--csv", str(table)], capture_output=True, text=True,
                                timeout=60, preexec_fn=limit_file_size(180))
    else:
        with open("/dev/full", "w") as full:
            result = subprocess.run(argv, stdout=full, stderr=subprocess.PIPE, text=True,
                                    timeout=60)
    err = result.stderr
    assert result.returncode == 4 and err.count("\n") == 1, err
    assert err.startswith("kq5316x sweep: could not write ") and "Traceback" not in err
    done = int(re.search(r"the sweep stopped after (\d+) of 21 steps", err)[1])
    if target == "stdout":
        assert done == 0 and "left where it was (unchanged)" in err
        sim.control("nofaults")  # answered after every event before it has been reported
        assert not any(e.get("command") == "set_attenuation" for e in sim.events()[before:])
        return
    rows = table.read_text().splitlines()[1:]
    assert 1 <= done < 21 and rows[done - 1].startswith(f"{done},")
    assert f"left where it was (last set to {db(done - 1)}, read back {db(done - 1)})" in err


def db(step):
    return f"{0.5 * step:.2f} dB"


def test_closed_pipe_ends_quietly(sim):
    child = subprocess.Popen(
        [*PROGRAM, "sweep", sim.port, "--from", "0dB", "--to", "20dB", "--step", "0.01dB"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        child.stdout.readline()  # | head -1
        child.stdout.close()
        err = child.stderr.read()
        child.wait(timeout=30)
    finally:
        child.kill()
    assert (child.returncode, err) == (141, "")


def read_all(terminal):
    """What a pseudo-terminal's other side wrote until it closed (Linux then reports EIO)."""
    chunks = []
    while True:
        try:
            chunk = terminal.read(65536)
        except OSError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "pipe"])
def test_progress_bar_only_on_a_terminal(sim, terminal):
    argv = [*PROGRAM, "sweep", sim.port, "--from", "0dB", "--to", "1dB", "--step", "0.5dB"]
    if not terminal:
        result = subprocess.run(argv, capture_output=True, text=True, timeout=30)
        assert (result.returncode, result.stderr) == (0, "")
        assert "[" not in result.stdout
        return
    master, slave = os.openpty()
    with os.fdopen(master, "rb", buffering=0) as reader:
        result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=slave, timeout=30)
        os.close(slave)
        shown = read_all(reader).decode()
    assert result.returncode == 0
    assert "\r[####################..........] 2/3" in shown and "3/3" in shown
    assert "[" not in result.stdout.decode()  # the bar never goes to standard output


def test_plot_draws_a_png(sim, capsys, tmp_path):
    pytest.importorskip("matplotlib", reason="--plot needs matplotlib (the plot extra)")
    image = tmp_path / "sweep.png"
    status, _, err = run(capsys, "sweep", sim.port, "--from", "0dB", "--to", "2dB",
                         "--step", "1dB", "--plot", image)
    assert (status, err) == (0, "")
    assert image.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_without_matplotlib_says_so_before_setting_anything(sim, capsys, monkeypatch,
                                                                  tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    before = len(sim.frames())
    status, out, err = run(capsys, "sweep", sim.port, "--from", "0dB", "--to", "2dB",
                           "--step", "1dB", "--plot", tmp_path / "x.png")
    assert (status, out) == (2, "")
    assert "--plot needs matplotlib" in err and "pip install" in err
    assert len(sim.frames()) == before


@pytest.mark.parametrize("debug", [False, True], ids=["plain", "debug"])
def test_silent_instrument_is_status_1_with_a_hint(sim, capsys, debug):
    sim.control("silent always")
    status, out, err = run(capsys, "status", sim.port, "--timeout", "200ms",
                           *(["--debug"] if debug else []))
    last = err.splitlines()[-1]
    assert (status, out) == (1, "")
    assert last.startswith("kq5316x status: ") and "no complete reply within 0.2 s" in last
    assert sim.port in last and "--timeout" in last and "--no-identify skips" in last
    assert ("Traceback" in err) == debug
    if not debug:
        assert err.count("\n") == 1


def test_no_identify_opens_without_asking_the_version(sim, capsys):
    sim.control("nofaults")  # answered after every earlier frame event
    before = len(sim.frames())
    status, out, _ = run(capsys, "status", sim.port, "--no-identify", "--json")
    sim.control("nofaults")
    commands = [frame[3:5] for frame in sim.frames()[before:]]
    assert status == 0 and "attenuation_mdb" in json.loads(out)
    assert bytes([0x14, 0x36]) in commands and bytes([0x00, 0x03]) not in commands


def test_debug_logs_each_exchange(sim, capsys):
    status, _, err = run(capsys, "status", sim.port, "--debug")
    assert status == 0
    assert re.search(r"kq5316x DEBUG: read_current_status: sent 7B 01 05 14 36 35 7D", err)


@pytest.mark.parametrize("case", ["busy", "missing"])
def test_port_that_cannot_be_opened_is_status_3(sim_factory, capsys, tmp_path, case):
    if case == "missing":
        port = str(tmp_path / "ttyUSB9")
        status, out, err = run(capsys, "status", port)
        assert "No such file or directory" in err
    else:
        port = sim_factory().port
        with Attenuator(port):
            status, out, err = run(capsys, "status", port)
        assert "in use" in err
    assert (status, out) == (3, "")
    assert err.startswith("kq5316x status: ") and port in err and err.count("\n") == 1


def test_ports_lists_the_bridge_first(capsys, monkeypatch):
    def port(device, vid, description):
        return SimpleNamespace(device=device, vid=vid, pid=vid and 0x23A3, description=description,
                               hwid=f"USB VID:PID={vid:04X}:23A3" if vid else "n/a")

    found = [port("/dev/ttyS0", None, "n/a"), port("/dev/ttyUSB1", 0x0403, "FT232R"),
             port("/dev/ttyUSB0", 0x067B, "USB-Serial Controller")]
    monkeypatch.setattr("serial.tools.list_ports.comports", lambda: found)
    status, out, _ = run(capsys, "ports")
    assert status == 0
    assert out.splitlines() == [
        "/dev/ttyUSB0  USB-Serial Controller  <- the instrument's USB bridge",
        "/dev/ttyUSB1  FT232R",
        "/dev/ttyS0  n/a",
    ]
    records = [json.loads(line) for line in run(capsys, "ports", "--json")[1].splitlines()]
    assert [(r["port"], r["bridge"]) for r in records] == [
        ("/dev/ttyUSB0", True), ("/dev/ttyUSB1", False), ("/dev/ttyS0", False)
    ]
    # -v adds the hardware id; REGEXP keeps the ports whose name, description or id it matches
    assert run(capsys, "ports", "-v", "ft232|067b")[1].splitlines() == [
        "/dev/ttyUSB0  USB-Serial Controller  <- the instrument's USB bridge",
        "    hwid: USB VID:PID=067B:23A3",
        "/dev/ttyUSB1  FT232R",
        "    hwid: USB VID:PID=0403:23A3",
    ]
    assert run(capsys, "ports", "ttyS")[1] == "/dev/ttyS0  n/a\n"
    assert run(capsys, "ports", "nothing-like-this")[1] == (
        "no serial ports found matching 'nothing-like-this'\n"
    )


def test_console_script_is_python_m():
    script = Path(sys.executable).with_name("kq5316x")
    by_script = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=30)
    by_module = subprocess.run([*PROGRAM, "--help"], capture_output=True, text=True, timeout=30)
    assert by_script.returncode == by_module.returncode == 0
    assert by_script.stdout == by_module.stdout and "exit status" in by_module.stdout


# -- the console examples of docs/cli.rst, run as written ------------------------------------

# What differs from run to run, made equal on both sides: terminal numbers and times.
VARYING = [
    (re.compile(r"/dev/pts/\d+"), "/dev/pts/N"),
    (re.compile(r"\b\d+\.\d{3} s\b"), "#.### s"),
    (re.compile(r'"time_s": [\d.]+'), '"time_s": #'),
    (re.compile(r"(?m)^(\d+),\d+\.\d{3},"), r"\1,#.###,"),
]


def console_examples(page):
    """(command, expected output) for each '$ ' line of the page's console blocks."""
    examples, block, current = [], False, None
    for line in page.read_text().splitlines():
        if line.startswith(".. code-block:: console"):
            block = True
        elif block and line.startswith("   $ "):
            current = [line[5:], []]
            examples.append(current)
        elif block and current and (line.startswith("   ") or not line):
            current[1].append(line[3:])
        elif line and not line.startswith(" "):
            block, current = False, None
    return [(command, "\n".join(output).strip("\n")) for command, output in examples]


def normalised(text):
    for pattern, replacement in VARYING:
        text = pattern.sub(replacement, text)
    return text.rstrip() + "\n"


def without_plot(words):
    """The command without '--plot FILE': the picture adds nothing to what it prints."""
    at = words.index("--plot")
    return words[:at] + words[at + 2:]


def test_docs_console_examples(tmp_path):
    examples = console_examples(DOCS_PAGE)
    assert len(examples) >= 10
    status, checker = 0, doctest.OutputChecker()
    for command, expected in examples:
        words = shlex.split(command)
        if "|" in words:
            # A pipe into another tool, run by the shell with this environment's programs.
            path = os.pathsep.join([str(Path(sys.executable).parent), os.environ["PATH"]])
            if shutil.which(words[words.index("|") + 1], path=path) is None:
                continue  # jq is not installed here
            result = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=tmp_path,
                                    env={**os.environ, "PATH": path}, timeout=60,
                                    capture_output=True, text=True)
            shown, status = result.stdout + result.stderr, result.returncode
        elif words[0] == "cat":
            shown = (tmp_path / words[1]).read_text()
        elif words == ["echo", "$?"]:
            shown = str(status)
        else:
            assert words[0] == "kq5316x", command
            if "--plot" in words and importlib.util.find_spec("matplotlib") is None:
                words = without_plot(words)
            result = subprocess.run([*PROGRAM, *words[1:]], cwd=tmp_path, timeout=60,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            shown, status = result.stdout, result.returncode
        want, got = normalised(expected), normalised(shown)
        assert checker.check_output(want, got, doctest.ELLIPSIS), f"$ {command}\n{got}"


@pytest.mark.parametrize("address", [":99999", "127.0.0.1:65536", ":-1", ":http"])
def test_simulator_refuses_a_tcp_port_out_of_range(address):
    from kq5316x.testing import find_simulator

    result = subprocess.run([find_simulator(), "--tcp", address], capture_output=True, text=True,
                            timeout=10)
    assert result.returncode == 2 and result.stdout == ""
    assert "PORT must be a number from 1 to 65535, or 0 for any free port" in result.stderr
