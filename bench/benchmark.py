"""Measures what kq5316 costs on top of the serial line.

  python bench/benchmark.py

Prints one table:
  - the CPU overhead of each operation per call, with an in-memory port and a no-op pause, with
    the port stand-in's own Python cost subtracted (median of repeats);
  - what `import kq5316` adds beyond importing its four dependencies, in time and memory;
  - one real exchange on the simulated instrument's pseudo-terminal with the real 0.2 s pause;
  - the time the frames themselves take on the wire at 115200 baud (10 bits per byte, 8N1),
    the physical floor every operation's overhead is compared with.
"""

from __future__ import annotations

import json
import os
import shutil
import statistics
import subprocess
import sys
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


IMPORT_TIME = """
import time, platform, serial, subprocess
start = time.perf_counter_ns()
import kq5316
print(time.perf_counter_ns() - start)
"""

IMPORT_MEMORY = """
import tracemalloc, time, platform, serial, subprocess
tracemalloc.start()
import kq5316
print(tracemalloc.get_traced_memory()[0])
"""


def run_child(script: str) -> int:
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return int(out.stdout)


def import_cost():
    """Time and memory `import kq5316` adds once its dependencies are imported (medians of 15
    fresh interpreters; memory is measured in separate runs, as tracing slows the import)."""
    elapsed = statistics.median(run_child(IMPORT_TIME) for _ in range(15))
    memory = statistics.median(run_child(IMPORT_MEMORY) for _ in range(5))
    return elapsed, memory


def find_simulator():
    if os.environ.get("KQ5316_SIM"):
        return os.environ["KQ5316_SIM"]
    beside = Path(sys.executable).parent / "kq5316-sim"
    return str(beside) if beside.exists() else shutil.which("kq5316-sim")


def real_exchange():
    import kq5316

    simulator = find_simulator()
    if not simulator:
        return None
    sim = subprocess.Popen([simulator], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        port = json.loads(sim.stdout.readline())["port"]
        kq5316.time = time
        kq = kq5316.KQ5316(port)
        kq.open()
        samples = []
        for _ in range(5):
            start = time.perf_counter_ns()
            kq.set_attenuation(1100, 1)
            samples.append(time.perf_counter_ns() - start)
        kq.close()
        return statistics.median(samples)
    finally:
        sim.terminate()
        sim.wait()


def wire_ns(frame_bytes: int) -> float:
    return frame_bytes * BITS_PER_BYTE / BAUD * 1e9


def main() -> None:
    import_ns, import_bytes = import_cost()
    port_cost, rows = operation_overheads()
    exchange = real_exchange()

    print(f"{'operation':<22}{'total ns':>10}{'module ns':>11}{'frame on wire ns':>18}{'share':>8}")
    for name, total, own, frame_length in rows:
        wire = wire_ns(frame_length)
        print(f"{name:<22}{total:>10.0f}{own:>11.0f}{wire:>18.0f}{own / wire:>8.1%}")
    print(f"(port stand-in's own cost per exchange, subtracted: {port_cost:.0f} ns)")
    print(f"import kq5316 beyond its dependencies: {import_ns / 1e6:.2f} ms, {import_bytes / 1024:.0f} KiB")
    if exchange is None:
        print("real exchange on the simulator: kq5316-sim not found")
    else:
        print(
            f"real set_attenuation on the simulator's pty: {exchange / 1e6:.1f} ms "
            f"(0.2 s pause + {(exchange - 2e8) / 1e6:.2f} ms), frame on the wire {wire_ns(9) / 1e6:.2f} ms"
        )


if __name__ == "__main__":
    main()
