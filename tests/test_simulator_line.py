"""The simulator as kq5316x uses it: line timing, TCP clients in turn, output nobody reads,
stopping at end of input or on SIGTERM; and the programs' conventional options."""

import json
import os
import signal
import socket
import subprocess
import time

import pytest
import serial

from kq5316x import Attenuator, NoReply
from kq5316x.testing import find_simulator, simulated_instrument
from test_launcher import find_launcher


def test_baud_holds_each_reply_for_its_line_time():
    with simulated_instrument("--baud", "1200", "--latency", "20") as sim, \
            Attenuator(sim.port, timeout=2) as att:
        start = time.monotonic()
        att.set_attenuation_mdb(1100)
        assert time.monotonic() - start >= (9 + 9) * 10 / 1200 + 0.020


def test_tcp_clients_are_served_in_turn():
    with simulated_instrument("--tcp", "127.0.0.1:0") as sim:
        first = Attenuator(sim.port)
        with Attenuator(sim.port, timeout=0.2, identify=False) as second:
            with pytest.raises(NoReply):
                second.version()  # waits behind the first client
            first.close()
            assert second.status(1).attenuation_mdb == 0


def tcp_address(sim):
    host, port = sim.port.removeprefix("socket://").rsplit(":", 1)
    return host, int(port)


@pytest.mark.parametrize("args", [(), ("--baud", "9600", "--latency", "100"),
                                  ("--fault", "delay 300")])
def test_tcp_client_that_shuts_down_its_sending_side_gets_its_reply(sim_factory, args):
    sim = sim_factory("--tcp", "127.0.0.1:0", *args)
    for _ in range(2):  # the second client is served once the first has its reply
        with socket.create_connection(tcp_address(sim), timeout=5) as client:
            client.sendall(VERSION_REQUEST)
            client.shutdown(socket.SHUT_WR)
            received = b""
            while chunk := client.recv(64):
                received += chunk
        assert received == VERSION_REPLY


def simulator_end_timer(port):
    """The timer of the simulator's end of an established connection on `port` (local port ours,
    state 01): "kind:ticks", where kind 02 is the keepalive timer."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    (timer,) = [row[5] for row in rows if row[1].endswith(f":{port:04X}") and row[3] == "01"]
    return timer.split(":")


@pytest.mark.skipif(not os.path.exists("/proc/net/tcp"), reason="Linux's socket table only")
def test_tcp_client_connection_is_probed_when_idle(sim_factory):
    sim = sim_factory("--tcp", "127.0.0.1:0")
    host, port = tcp_address(sim)
    with socket.create_connection((host, port), timeout=5) as client:
        client.sendall(VERSION_REQUEST)
        assert client.recv(64) == VERSION_REPLY  # taken in by now
        deadline = time.monotonic() + 5  # until the reply is acknowledged (a delayed ACK)
        while (timer := simulator_end_timer(port))[0] == "01" and time.monotonic() < deadline:
            time.sleep(0.05)
    # Due well before the system's default of two hours.
    assert timer[0] == "02" and int(timer[1], 16) <= 60 * os.sysconf("SC_CLK_TCK")


def test_one_process_serves_several_instruments_each_its_own(tmp_path):
    link = str(tmp_path / "att")
    with simulated_instrument("--instruments", "3", "--baud", "115200", "--link", link) as sim:
        ready = sim.wait_events(lambda e: e["event"] == "ready", 3)
        assert [(e["instrument"], e["link"]) for e in ready] == [(i, f"{link}{i}") for i in range(3)]
        with Attenuator(f"{link}0") as first, Attenuator(f"{link}2") as third:
            first.set_attenuation_mdb(1000)
            assert (first.status(1).attenuation_mdb, third.status(1).attenuation_mdb) == (1000, 0)
            sim.control("attenuation 1 50")  # control lines reach every instrument
            assert first.status(1).attenuation_mdb == third.status(1).attenuation_mdb == 500
        frames = [e["instrument"] for e in sim.events() if e["event"] == "frame"]
        assert sorted(set(frames)) == [0, 2] and len(frames) == 7


@pytest.fixture
def raw_simulator():
    process = subprocess.Popen([find_simulator(), "--exit-on-eof"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE)
    yield process
    if process.poll() is None:
        process.kill()
    process.wait()
    process.stdin.close()
    process.stdout.close()


def test_unread_output_never_stalls_it_and_sigterm_stops_it(raw_simulator):
    port = json.loads(raw_simulator.stdout.readline())["port"]
    with Attenuator(port) as att:
        for step in range(1500):  # several times what the pipe holds in log lines
            att.set_attenuation_mdb(step * 10)
    raw_simulator.send_signal(signal.SIGTERM)
    assert raw_simulator.wait(timeout=2) == 0


# A stop is due within 100 ms (bench/stop_latency.py measures it); the tests allow for a loaded
# machine and catch a simulator that does not stop.
STOP_BOUND = 0.5
VERSION_REQUEST = bytes.fromhex("7B 01 05 00 03 7C 7D")
VERSION_REPLY = bytes.fromhex("7B 01 08 00 03 02 32 20 25 7D")


def stop_by_sigterm(process):
    process.send_signal(signal.SIGTERM)
    return process.wait(timeout=STOP_BOUND)


def test_log_fifo_nobody_reads_never_stalls_it(sim_factory, tmp_path):
    fifo = tmp_path / "log"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # opened, never read
    try:
        sim = sim_factory("--log", str(fifo))
        with serial.Serial(sim.port, 115200, timeout=2) as port:
            for _ in range(2000):  # many times what the FIFO holds in log lines
                port.write(VERSION_REQUEST)
                assert len(port.read(9)) == 9
        assert stop_by_sigterm(sim.process) == 0
    finally:
        os.close(reader)


def test_log_write_error_is_reported_and_fails_the_exit_status():
    result = subprocess.run([find_simulator(), "--log", "/dev/full", "--exit-on-eof"],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    assert result.returncode == 1
    assert result.stderr.count("/dev/full: No space left on device") == 1


def test_stopped_terminal_on_standard_output_never_stalls_it():
    termios = pytest.importorskip("termios")
    master, terminal = os.openpty()
    process = subprocess.Popen([find_simulator()], stdin=subprocess.PIPE, stdout=terminal)
    try:
        port = json.loads(os.read(master, 4096).splitlines()[0])["port"]
        termios.tcflow(terminal, termios.TCOOFF)  # as Ctrl-S stops it
        with serial.Serial(port, 115200, write_timeout=2) as line:
            line.write(VERSION_REQUEST * 2000)  # far more log lines than the terminal holds
            time.sleep(0.3)
        assert stop_by_sigterm(process) == 0
    finally:
        process.kill()
        process.wait()
        process.stdin.close()
        os.close(master)
        os.close(terminal)


def test_sigterm_stops_it_under_a_request_flood(sim_factory):
    sim = sim_factory("--tcp", "127.0.0.1:0")
    flood = VERSION_REQUEST * 10_000
    with socket.create_connection(tcp_address(sim)) as client:
        client.settimeout(0.05)
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:  # a second of requests, replies left unread
            try:
                client.send(flood)
            except TimeoutError:
                pass
        assert stop_by_sigterm(sim.process) == 0


def test_end_of_input_stops_it_when_asked(raw_simulator):
    raw_simulator.stdout.readline()
    raw_simulator.stdin.close()
    assert raw_simulator.wait(timeout=2) == 0
    assert json.loads(raw_simulator.stdout.read().splitlines()[-1]) == {
        "event": "stop", "reason": "end of input"}


@pytest.mark.parametrize("program, arguments, status, text", [
    (find_simulator, ["--version"], 0, "kq5316-sim 0."),
    (find_simulator, ["--instruments", "2", "--tcp", ":0"], 2, "cannot go with --tcp"),
    (find_launcher, ["--help"], 0, "demonstration"),
    (find_launcher, ["--port"], 64, "unexpected argument --port"),
    (find_launcher, ["--help", "extra"], 64, "unexpected argument extra"),
])
def test_program_options(program, arguments, status, text):
    found = program()
    if not found:
        pytest.skip("program not installed")
    result = subprocess.run([found, *arguments], capture_output=True, text=True, timeout=30)
    assert result.returncode == status
    assert text in result.stdout + result.stderr


def test_command_names_everywhere_come_from_the_command_table():
    from kq5316x import _protocol
    help_text = subprocess.run([find_simulator(), "--help"], capture_output=True, text=True,
                               timeout=30).stdout
    commands = {key: value for key, value in vars(_protocol.Command).items() if key.isupper()}
    assert help_text.split("from the driver's command table:\n")[1].split() == list(commands.values())
    assert all(key == value.upper() for key, value in commands.items())
