"""kq5316x at line speed: one instrument and many, against a plain pyserial driver and a plain
Python loop on the descriptor, on local ports and over socket://.

  python bench/line_speed.py [--rounds R] [--instruments N] [--exchanges K]
                             [--simulator-per-instrument] [--transport local|socket|both]

Every contender drives simulated instruments with set-attenuation exchanges (9-byte request,
9-byte echo), kq5316-sim --baud 115200 --latency 0: on local ports, one pseudo-terminal each, all
served by one simulator process (or one process each with --simulator-per-instrument); over
socket://, one kq5316-sim --tcp process each, on loopback.
  - kq5316x           the checked API as installed (the exchange in the extension, on the port's
                      descriptor: a terminal, or the socket of a socket:// URL);
  - kq5316x, pyserial the same Attenuator made to use pyserial's reads and writes, as it does on
                      other URLs and systems;
  - plain driver      bench/plain_driver.py: write, read the header, read the rest, check;
  - Python fd loop    os.write, poll, os.read on the descriptor (a terminal, or a socket with
                      TCP_NODELAY), no checks. Not a floor: each of its three system calls
                      releases the interpreter lock, where kq5316x's exchange releases it once.
The contenders take turns, round after round (default 5), and each figure is the median over the
rounds:
  - one exchange on one instrument: the median time, against the line limit (18 bytes at 10 bits
    a byte) and the target 1.1 x limit;
  - the driver's own CPU per exchange (process time, user and system, of this process), and the
    simulator's (its rusage at exit, less what starting and stopping it costs);
  - N instruments (default 64) on N threads, K exchanges each (default 600): exchanges per second
    against the ideal (every line busy all the time: N / line limit).
Exits 1 when kq5316x misses a target: one exchange above 1.1 x the line limit; on local ports,
own CPU per exchange above the plain driver's or many instruments below 0.5 of the ideal; over
socket://, many instruments below the plain driver's rate or below 0.8 of the Python loop's, or
own CPU per exchange above the plain driver's.
"""

from __future__ import annotations

import argparse
import os
import select
import socket
import statistics
import subprocess
import sys
import tempfile
import termios
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from plain_driver import PlainAttenuator  # noqa: E402

from kq5316x import Attenuator  # noqa: E402
from kq5316x.testing import find_simulator  # noqa: E402

BAUD = 115200
LINE_LIMIT = 18 * 10 / BAUD  # request and echo, 10 bits a byte
TARGET = 1.1 * LINE_LIMIT
SINGLE_EXCHANGES = 300
START_TIMEOUT = 10.0


def value(i: int) -> int:
    return (i * 10) % 655350


class Simulators:
    """N simulated instruments. Local: each on a pseudo-terminal reached through a symbolic link,
    all served by one simulator process (--instruments N), or with `separate` one process each.
    With `tcp`: one process each, on a loopback port of its own. Their event output goes to
    /dev/null, so that neither this process nor a file system spends anything on it; their CPU
    is taken from their rusage at exit."""

    def __init__(self, count: int, separate: bool = False, tcp: bool = False) -> None:
        self.directory = tempfile.TemporaryDirectory()
        prefix = str(Path(self.directory.name) / "sim")
        command = [find_simulator(), "--baud", str(BAUD), "--latency", "0"]
        if tcp:
            numbers = free_tcp_ports(count)
            self.ports = [f"socket://127.0.0.1:{number}" for number in numbers]
            commands = [command + ["--tcp", f"127.0.0.1:{number}"] for number in numbers]
        elif separate:
            self.ports = [f"{prefix}{i}" for i in range(count)]
            commands = [command + ["--link", port] for port in self.ports]
        else:
            self.ports = [f"{prefix}{i}" for i in range(count)] if count > 1 else [prefix]
            commands = [command + ["--instruments", str(count), "--link", prefix]]
        self.processes = [
            subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
            for arguments in commands
        ]
        deadline = time.monotonic() + START_TIMEOUT
        while not all(map(ready, self.ports)):
            if time.monotonic() > deadline:
                self.stop()
                raise TimeoutError("a simulator did not start")
            time.sleep(0.005)

    def stop(self) -> tuple[float, float]:
        """Stops them all; returns the CPU seconds they used together: in all, and in the
        system (their own code's share is the rest)."""
        cpu = system = 0.0
        for process in self.processes:
            process.terminate()
        for process in self.processes:
            _, _, usage = os.wait4(process.pid, 0)
            process.returncode = 0
            cpu += usage.ru_utime + usage.ru_stime
            system += usage.ru_stime
            assert process.stdin is not None
            process.stdin.close()
        self.directory.cleanup()
        return cpu, system


def free_tcp_ports(count: int) -> list[int]:
    """Loopback port numbers free now: each bound to port 0 and given back."""
    holders = [socket.create_server(("127.0.0.1", 0)) for _ in range(count)]
    numbers = [holder.getsockname()[1] for holder in holders]
    for holder in holders:
        holder.close()
    return numbers


def ready(port: str) -> bool:
    """Whether a simulator serves `port`: its link exists, or its TCP port takes a connection
    (which the simulator serves and lets go again)."""
    if not port.startswith("socket://"):
        return os.path.islink(port)
    host, number = port[len("socket://"):].rsplit(":", 1)
    try:
        socket.create_connection((host, int(number)), timeout=1).close()
    except OSError:
        return False
    return True


class PythonFdLoop:
    """The request written, the reply polled for and read, nothing checked: three system calls,
    each releasing the interpreter lock. On a terminal set raw, or a socket with TCP_NODELAY."""

    def __init__(self, port: str) -> None:
        if port.startswith("socket://"):
            host, number = port[len("socket://"):].rsplit(":", 1)
            self.socket = socket.create_connection((host, int(number)))
            self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.socket.setblocking(False)
            self.fd = self.socket.fileno()
        else:
            self.socket = None
            self.fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            attributes = termios.tcgetattr(self.fd)
            attributes[0] = attributes[1] = attributes[3] = 0  # raw: no translation, no echo
            attributes[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
            attributes[4] = attributes[5] = termios.B115200
            termios.tcsetattr(self.fd, termios.TCSANOW, attributes)
        self.poll = select.poll()
        self.poll.register(self.fd, select.POLLIN)

    def set_attenuation_mdb(self, mdb: int, ch: int = 1) -> None:
        steps = mdb // 10
        frame = bytearray([0x7B, ch, 0x07, 0x14, 0x3C, steps & 0xFF, steps >> 8, 0, 0x7D])
        frame[7] = -sum(frame[:7]) & 0xFF
        os.write(self.fd, frame)
        received = 0
        while received < 9:
            if not self.poll.poll(500):
                raise TimeoutError("no reply")
            received += len(os.read(self.fd, 64))

    def close(self) -> None:
        if self.socket is not None:
            self.socket.close()
        else:
            os.close(self.fd)


def kq5316x_checked(port: str):
    att = Attenuator(port)
    return att, att.set_attenuation_mdb


def kq5316x_pyserial(port: str):
    att, setter = kq5316x_checked(port)
    try:  # the path other URLs take: pyserial's own reads and writes
        from kq5316x._transports import SerialTransport

        att._transport = SerialTransport(att._transport.port)
    except ImportError:  # kq5316x before its transports: a local port's descriptor unset
        att._fd = None
    return att, setter


def plain(port: str):
    driver = PlainAttenuator(port)
    return driver, driver.set_attenuation_mdb


def python_loop(port: str):
    driver = PythonFdLoop(port)
    return driver, driver.set_attenuation_mdb


CONTENDERS = {
    "kq5316x": kq5316x_checked,
    "kq5316x, pyserial": kq5316x_pyserial,
    "plain driver": plain,
    "Python fd loop": python_loop,
}


def run_phase(open_driver, instruments: int, exchanges: int, separate: bool, tcp: bool):
    """(wall seconds, own CPU seconds, simulator CPU seconds (all, system), per-exchange times)
    for `instruments` instruments on as many threads, `exchanges` each."""
    sims = Simulators(instruments, separate, tcp)
    try:
        drivers = [open_driver(port) for port in sims.ports]
        for _, setter in drivers:
            setter(value(1))  # warm up: the port opened, the simulator past its first frame
        times: list[float] = []
        barrier = threading.Barrier(instruments + 1)

        def drive(setter, record: bool) -> None:
            barrier.wait()
            for i in range(exchanges):
                start = time.perf_counter()
                setter(value(i))
                if record:
                    times.append(time.perf_counter() - start)

        threads = [threading.Thread(target=drive, args=(setter, instruments == 1))
                   for _, setter in drivers]
        for thread in threads:
            thread.start()
        cpu = time.process_time()
        barrier.wait()
        wall = time.perf_counter()
        for thread in threads:
            thread.join()
        wall = time.perf_counter() - wall
        cpu = time.process_time() - cpu
        for driver, _ in drivers:
            driver.close()
    finally:
        sim_cpu = sims.stop()
    return wall, cpu, sim_cpu, times


def idle_simulator_cpu(instruments: int, separate: bool, tcp: bool) -> tuple[float, float]:
    """CPU seconds (all, system) N simulated instruments take to start, serve one client's
    opening and stop."""
    sims = Simulators(instruments, separate, tcp)
    for port in sims.ports:
        if not tcp:  # a TCP simulator has served a connection already, to show it was ready
            os.close(os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
    return sims.stop()


def per_exchange(used: tuple[float, float], idle: tuple[float, float], exchanges: int):
    """The simulators' CPU per exchange, less what they use without exchanges, and the share of
    it spent in the system (taken over the whole run: the system accounts it by sampling)."""
    return max(used[0] - idle[0], 0.0) / exchanges, used[1] / used[0] if used[0] else 0.0


def measure(args: argparse.Namespace, tcp: bool) -> dict[str, dict[str, list]]:
    """Every contender's figures over the rounds, on local ports or over socket://."""
    n, k, separate = args.instruments, args.exchanges, args.simulator_per_instrument
    results: dict[str, dict[str, list]] = {name: {} for name in CONTENDERS}
    names = list(CONTENDERS)
    for round_number in range(args.rounds):
        idle_one = idle_simulator_cpu(1, separate, tcp)
        idle_many = idle_simulator_cpu(n, separate, tcp)
        order = names[round_number % len(names):] + names[:round_number % len(names)]
        for name in order:
            figures = results[name]
            wall, cpu, sim_cpu, times = run_phase(CONTENDERS[name], 1, SINGLE_EXCHANGES,
                                                  separate, tcp)
            figures.setdefault("median", []).append(statistics.median(times))
            figures.setdefault("cpu", []).append(cpu / SINGLE_EXCHANGES)
            figures.setdefault("sim_cpu", []).append(
                per_exchange(sim_cpu, idle_one, SINGLE_EXCHANGES))
            wall, cpu, sim_cpu, _ = run_phase(CONTENDERS[name], n, k, separate, tcp)
            figures.setdefault("rate", []).append(n * k / wall)
            figures.setdefault("cpu_many", []).append(cpu / (n * k))
            figures.setdefault("sim_cpu_many", []).append(per_exchange(sim_cpu, idle_many, n * k))
    return results


def report(args: argparse.Namespace, tcp: bool, results: dict[str, dict[str, list]]) -> bool:
    """Prints the table and the targets; True when kq5316x meets them all."""
    n = args.instruments
    names = list(CONTENDERS)
    us = 1e6

    def median(name: str, key: str, part: int | None = None) -> float:
        values = results[name][key]
        return statistics.median(v[part] for v in values) if part is not None else \
            statistics.median(values)

    def sim_cell(name: str, key: str) -> str:
        return f"{median(name, key, 0) * us:.1f} µs ({median(name, key, 1):.0%} system)"

    ideal = n / LINE_LIMIT
    if tcp:
        setup = "--tcp on loopback, one process each; over socket://"
    else:
        setup = "one process each" if args.simulator_per_instrument else "one process for all"
        setup += "; local pseudo-terminals"
    print(f"kq5316-sim --baud {BAUD} --latency 0 ({setup}); {args.rounds} rounds, contenders "
          "alternating; "
          f"medians over rounds; {os.cpu_count()} CPUs, load average "
          f"{os.getloadavg()[0]:.1f} at the end")
    print(f"| | {' | '.join(names)} |")
    print(f"|---|{'---|' * len(names)}")
    rows = [
        ("one exchange, / line limit", lambda m: f"{median(m, 'median') / LINE_LIMIT:.2f}"),
        ("one exchange, ms", lambda m: f"{median(m, 'median') * 1e3:.3f}"),
        ("own CPU per exchange, one instrument",
         lambda m: f"{median(m, 'cpu') * us:.1f} µs"),
        ("simulator CPU per exchange, one instrument", lambda m: sim_cell(m, "sim_cpu")),
        (f"{n} instruments on {n} threads, / ideal rate",
         lambda m: f"{median(m, 'rate') / ideal:.2f}"),
        (f"{n} instruments, exchanges per second",
         lambda m: f"{median(m, 'rate'):.0f}"),
        (f"own CPU per exchange, {n} instruments",
         lambda m: f"{median(m, 'cpu_many') * us:.1f} µs"),
        (f"simulator CPU per exchange, {n} instruments", lambda m: sim_cell(m, "sim_cpu_many")),
    ]
    for label, cell in rows:
        print(f"| {label} | {' | '.join(cell(name) for name in names)} |")
    print(f"(line limit {LINE_LIMIT * 1e3:.4f} ms; ideal rate for {n} instruments {ideal:.0f}/s)")

    rate = median("kq5316x", "rate")
    checks = [("one exchange <= 1.1 x line limit", median("kq5316x", "median") <= TARGET)]
    if tcp:
        checks += [
            (f"{n} instruments >= the plain driver's rate", rate >= median("plain driver", "rate")),
            (f"{n} instruments >= 0.8 of the Python fd loop's rate",
             rate >= 0.8 * median("Python fd loop", "rate")),
            (f"own CPU per exchange, {n} instruments <= the plain driver's",
             median("kq5316x", "cpu_many") <= median("plain driver", "cpu_many")),
        ]
    else:
        checks += [
            ("own CPU per exchange <= the plain driver's",
             median("kq5316x", "cpu") <= median("plain driver", "cpu")),
            (f"{n} instruments >= 0.5 of the ideal rate", rate >= 0.5 * ideal),
        ]
    for label, met in checks:
        print(f"{'met' if met else 'MISSED'}: {label}")
    print()
    return all(met for _, met in checks)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--instruments", type=int, default=64)
    parser.add_argument("--exchanges", type=int, default=600)
    parser.add_argument("--simulator-per-instrument", action="store_true",
                        help="one simulator process for each local instrument, rather than one"
                             " for all (over socket:// there is always one each)")
    parser.add_argument("--transport", choices=("local", "socket", "both"), default="both")
    args = parser.parse_args()
    met = True
    for tcp in {"local": [False], "socket": [True], "both": [False, True]}[args.transport]:
        met = report(args, tcp, measure(args, tcp)) and met
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
