"""Measures what kq5316 costs on top of the serial line.

  python bench/benchmark.py [--instruments N] [--rounds R]

Prints one table:
  - the CPU overhead of each operation per call, with an in-memory port and a no-op pause, with
    the port stand-in's own Python cost subtracted (median of repeats);
  - what `import kq5316` adds once its four dependencies are imported: time, and the resident
    memory (VmRSS) it adds, medians over fresh interpreters;
  - one real exchange on the simulated instrument's pseudo-terminal with the real 0.2 s pause;
  - the time the frames themselves take on the wire at 115200 baud (10 bits per byte, 8N1),
    the physical floor every operation's overhead is compared with;
  - many instruments at once: N simulated instruments (default 64) driven from N threads of one
    process, R rounds (default 5) of set_attenuation + read_current_status each with the real
    pause, against one instrument doing the same rounds alone; three tries, as other work on the
    machine can stretch one. Exits 1 when the N take more than 1.05 times as long as the one in
    every try, or when any read-back differs from the value set.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

BAUD = 115200
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit

VERSION_REPLY = bytes.fromhex("7B 01 08 00 03 02 32 20 25 7D")
LENGTHS_REPLY = bytes.fromhex("7B 01 0C 07 2E 03 1E 05 D2 05 FF 05 42 7D")
STATUS_REPLY = bytes.fromhex("7B 01 0A 14 36 00 00 00 6E 00 C2 7D")
ACK_REPLY = bytes.fromhex("7B 01 07 14 3C 6E 00 BF 7D")


class MemoryPort:
    """A port whose every read returns the reply it was given."""

    def __init__(self) -> None:
        self.reply = ACK_REPLY

    def write(self, data):
        return None

    def inWaiting(self):
        return len(self.reply)

    def read(self, n):
        return self.reply

    def close(self):
        pass


class NoPause:
    @staticmethod
    def sleep(seconds):
        pass


def median_ns(call, repeats: int = 7, number: int = 20000) -> float:
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(number):
            call()
        samples.append((time.perf_counter_ns() - start) / number)
    return statistics.median(samples)


def operation_overheads():
    import kq5316

    kq5316.time = NoPause
    kq = kq5316.KQ5316("memory")
    port = MemoryPort()
    kq.ser = port

    # What one exchange costs in the stand-in itself: write, inWaiting, read.
    def port_only():
        port.write(None)
        port.read(port.inWaiting())

    port_cost = median_ns(port_only)
    cases = [
        ("read_device_version", VERSION_REPLY, kq.read_device_version, 7),
        ("read_optical_length", LENGTHS_REPLY, lambda: kq.read_optical_length(1), 7),
        ("read_current_status", STATUS_REPLY, lambda: kq.read_current_status(2), 7),
        ("set_attenuation", ACK_REPLY, lambda: kq.set_attenuation(1100, 1), 9),
        ("clear_attenuation", ACK_REPLY, lambda: kq.clear_attenuation(1), 9),
        ("dis_connection", ACK_REPLY, lambda: kq.dis_connection(1), 9),
        ("close_full_screen", ACK_REPLY, kq.close_full_screen, 7),
    ]
    rows = []
    for name, reply, call, frame_length in cases:
        port.reply = reply
        total = median_ns(call)
        rows.append((name, total, max(total - port_cost, 0.0), frame_length))
    # set_optical_length runs two exchanges: the list read, then the select.
    replies = [LENGTHS_REPLY, ACK_REPLY]
    port.read = lambda n: replies.reverse() or replies[1]
    port.inWaiting = lambda: 14
    total = median_ns(lambda: kq.set_optical_length(1490, 1), number=10000)
    rows.append(("set_optical_length", total, max(total - 2 * port_cost, 0.0), 7 + 8))
    return port_cost, rows


# Run in a fresh interpreter: the dependencies first, then the module's own import alone.
IMPORT_COST = """
import time, platform, serial, subprocess

def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

before = resident_kib()
start = time.perf_counter_ns()
import kq5316
elapsed = time.perf_counter_ns() - start
print(elapsed, resident_kib() - before)
"""


def import_cost(runs: int = 21):
    """Time (ns) and resident memory (KiB) `import kq5316` adds once its dependencies are
    imported: medians over fresh interpreters."""
    samples = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", IMPORT_COST], capture_output=True, text=True,
                             check=True)
        elapsed, kib = out.stdout.split()
        samples.append((int(elapsed), int(kib)))
    return statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples)


def find_simulator():
    if os.environ.get("KQ5316_SIM"):
        return os.environ["KQ5316_SIM"]
    beside = Path(sys.executable).parent / "kq5316-sim"
    return str(beside) if beside.exists() else shutil.which("kq5316-sim")


class Simulators:
    """Simulated instruments, each its own kq5316-sim process on its own pseudo-terminal."""

    def __init__(self, simulator: str, count: int) -> None:
        self.processes = []
        self.ports = []
        try:
            for _ in range(count):
                sim = subprocess.Popen([simulator], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       text=True)
                self.processes.append(sim)
            for sim in self.processes:
                self.ports.append(json.loads(sim.stdout.readline())["port"])
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        for sim in self.processes:
            sim.terminate()
        for sim in self.processes:
            sim.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def real_exchange(simulator: str):
    import kq5316

    kq5316.time = time
    with Simulators(simulator, 1) as sims:
        kq = kq5316.KQ5316(sims.ports[0])
        kq.open()
        samples = []
        for _ in range(5):
            start = time.perf_counter_ns()
            kq.set_attenuation(1100, 1)
            samples.append(time.perf_counter_ns() - start)
        kq.close()
    return statistics.median(samples)


def attenuation_for(instrument: int, round_number: int) -> int:
    """A distinct value per instrument and round, in whole 0.01 dB steps so that it reads back
    exactly."""
    return 10 * (100 + 7 * instrument + round_number)


def drive_rounds(device, instrument: int, rounds: int, mismatches: list) -> None:
    for round_number in range(rounds):
        value = attenuation_for(instrument, round_number)
        ok = device.set_attenuation(value, 1)
        status = device.read_current_status(1)
        if not ok or status is None or status["attenuation"] != value:
            mismatches.append((instrument, round_number, value, status))


def timed_rounds(devices, rounds: int):
    """Drives every device from its own thread; returns seconds taken and the mismatches."""
    mismatches: list = []
    threads = [threading.Thread(target=drive_rounds, args=(device, index, rounds, mismatches))
               for index, device in enumerate(devices)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start, mismatches


def many_instruments(simulator: str, count: int, rounds: int, tries: int = 3):
    """([(one instrument's seconds, all instruments' seconds)] per try, read-backs checked,
    mismatches)."""
    import kq5316

    kq5316.time = time
    times, mismatches = [], []
    with Simulators(simulator, count) as sims:
        devices = [kq5316.KQ5316(port) for port in sims.ports]
        if not all(device.open() for device in devices):
            raise RuntimeError("a simulated instrument's port did not open")
        try:
            for _ in range(tries):
                alone, wrong = timed_rounds(devices[:1], rounds)
                together, more = timed_rounds(devices, rounds)
                times.append((alone, together))
                mismatches += wrong + more
        finally:
            for device in devices:
                device.close()
    return times, tries * rounds * (count + 1), mismatches


def wire_ns(frame_bytes: int) -> float:
    return frame_bytes * BITS_PER_BYTE / BAUD * 1e9


def main() -> int:
    parser = argparse.ArgumentParser(description="What kq5316 costs on top of the serial line.")
    parser.add_argument("--instruments", type=int, default=64,
                        help="simulated instruments driven at once (default 64)")
    parser.add_argument("--rounds", type=int, default=5,
                        help="set_attenuation + read_current_status rounds each (default 5)")
    args = parser.parse_args()

    import_ns, import_kib = import_cost()
    port_cost, rows = operation_overheads()
    simulator = find_simulator()
    exchange = real_exchange(simulator) if simulator else None
    many = many_instruments(simulator, args.instruments, args.rounds) if simulator else None

    print(f"{'operation':<22}{'total ns':>10}{'module ns':>11}{'frame on wire ns':>18}{'share':>8}")
    for name, total, own, frame_length in rows:
        wire = wire_ns(frame_length)
        print(f"{name:<22}{total:>10.0f}{own:>11.0f}{wire:>18.0f}{own / wire:>8.1%}")
    print(f"(port stand-in's own cost per exchange, subtracted: {port_cost:.0f} ns)")
    print(f"import kq5316 beyond its dependencies: {import_ns / 1e3:.0f} us, "
          f"{import_kib:.0f} KiB resident")
    if simulator is None:
        print("real exchange and many instruments: kq5316-sim not found")
        return 0
    print(
        f"real set_attenuation on the simulator's pty: {exchange / 1e6:.1f} ms "
        f"(0.2 s pause + {(exchange - 2e8) / 1e6:.2f} ms), frame on the wire {wire_ns(9) / 1e6:.2f} ms"
    )
    times, checked, mismatches = many
    alone, together = min(times, key=lambda pair: pair[1] / pair[0])
    ratio = together / alone
    tries = ", ".join(f"{t:.2f}/{a:.2f} s" for a, t in times)
    print(
        f"{args.instruments} instruments from {args.instruments} threads, {args.rounds} rounds of "
        f"set_attenuation + read_current_status: {together:.2f} s against {alone:.2f} s for one "
        f"({ratio:.3f}x, limit 1.05x; best of tries {tries}); {checked - len(mismatches)} of "
        f"{checked} read-backs equal to the value set"
    )
    for mismatch in mismatches[:5]:
        print(f"  instrument {mismatch[0]} round {mismatch[1]}: set {mismatch[2]}, read {mismatch[3]}")
    return 0 if ratio <= 1.05 and not mismatches else 1


if __name__ == "__main__":
    sys.exit(main())
