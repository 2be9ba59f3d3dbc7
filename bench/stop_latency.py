"""Measures how long kq5316-sim takes to stop on SIGTERM and SIGINT in the states that used to
hold it up.

  python bench/stop_latency.py [--tries N] [--flood-seconds S]

States: idle; after 2,000 exchanges with --log on a FIFO whose reader never reads; under a TCP
client sending requests without pause (and reading no reply) for S seconds (default 5), the
signal sent while it still sends; under a terminal client doing the same while nobody reads
standard output. For each state and signal, N tries (default 5): the time from the signal to
the process's exit, median and worst. Exits 1 when a worst time exceeds 100 ms or an exit
status is not 0.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import socket
import statistics
import subprocess
import tempfile
import threading
import time

import serial

from kq5316x.testing import find_simulator

TARGET = 0.100
REQUEST = bytes.fromhex("7B 01 05 00 03 7C 7D")


def start(*options: str, read_output: bool = True) -> tuple[subprocess.Popen[bytes], str]:
    process = subprocess.Popen([find_simulator(), *options], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE)
    assert process.stdout is not None
    port = json.loads(process.stdout.readline())["port"]
    if read_output:
        threading.Thread(target=process.stdout.read, daemon=True).start()
    return process, port


def flood(send, seconds: float) -> threading.Event:
    """Sends requests without pause on a thread; returns once `seconds` of it have passed, while
    it goes on until the event it returns is set or the line fails."""
    done = threading.Event()
    burst = REQUEST * 10_000

    def run() -> None:
        while not done.is_set():
            try:
                send(burst)
            except (OSError, serial.SerialException):
                return

    threading.Thread(target=run, daemon=True).start()
    time.sleep(seconds)
    return done


def stop_time(process: subprocess.Popen[bytes], signum: int) -> float:
    start_time = time.perf_counter()
    process.send_signal(signum)
    status = process.wait()
    elapsed = time.perf_counter() - start_time
    if status != 0:
        raise SystemExit(f"exit status {status} after {signal.Signals(signum).name}")
    return elapsed


def idle(signum: int, _seconds: float) -> float:
    process, _ = start()
    return stop_time(process, signum)


def unread_log_fifo(signum: int, _seconds: float) -> float:
    with tempfile.TemporaryDirectory() as folder:
        fifo = os.path.join(folder, "log")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            process, port = start("--log", fifo)
            with serial.Serial(port, 115200, timeout=2) as line:
                for _ in range(2000):
                    line.write(REQUEST)
                    if len(line.read(9)) != 9:
                        raise SystemExit("a reply went missing with the log FIFO unread")
            return stop_time(process, signum)
        finally:
            os.close(reader)


def tcp_flood(signum: int, seconds: float) -> float:
    process, url = start("--tcp", "127.0.0.1:0")
    host, port = url.removeprefix("socket://").rsplit(":", 1)
    with socket.create_connection((host, int(port))) as client:
        done = flood(client.sendall, seconds)
        try:
            return stop_time(process, signum)
        finally:
            done.set()


def terminal_flood_output_unread(signum: int, seconds: float) -> float:
    process, port = start(read_output=False)
    with serial.Serial(port, 115200, write_timeout=0.5) as line:
        done = flood(line.write, seconds)
        try:
            return stop_time(process, signum)
        finally:
            done.set()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tries", type=int, default=5)
    parser.add_argument("--flood-seconds", type=float, default=5.0)
    args = parser.parse_args()
    worst_overall = 0.0
    print(f"{'state':38} {'signal':8} {'median ms':>10} {'worst ms':>9}")
    for state in (idle, unread_log_fifo, tcp_flood, terminal_flood_output_unread):
        for signum in (signal.SIGTERM, signal.SIGINT):
            times = [state(signum, args.flood_seconds) for _ in range(args.tries)]
            worst_overall = max(worst_overall, max(times))
            print(f"{state.__name__:38} {signal.Signals(signum).name:8} "
                  f"{statistics.median(times) * 1000:10.1f} {max(times) * 1000:9.1f}")
    return 0 if worst_overall <= TARGET else 1


if __name__ == "__main__":
    raise SystemExit(main())
