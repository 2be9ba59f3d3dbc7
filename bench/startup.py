"""Start-up of the command line `kq5316x` against `python -m serial.tools.list_ports`.

    python bench/startup.py [ROUNDS]

Each round runs, in a rotating order, `python -m serial.tools.list_ports`, `kq5316x ports`,
`kq5316x --version` and `kq5316x status PORT` on a simulated instrument started once for the
run (its port is a pseudo-terminal: the exchanges take microseconds). Prints the median wall
time of each over ROUNDS (default 21) rounds and its ratio to list_ports. The target: `ports` and
`status PORT` within 1.5 times list_ports; exits 1 when either is over. Run it with the
interpreter of the environment to measure.
"""

from __future__ import annotations

import statistics
import subprocess
import sys
import time
from pathlib import Path

from kq5316x.testing import simulated_instrument

TARGET = 1.5
CHECKED = ("kq5316x ports", "kq5316x status PORT")


def program() -> list[str]:
    """The console script beside this interpreter, as a user runs it; else `python -m`."""
    script = Path(sys.executable).with_name("kq5316x")
    return [str(script)] if script.exists() else [sys.executable, "-m", "kq5316x"]


def wall_seconds(argv: list[str]) -> float:
    began = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - began


def main() -> int:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 21
    with simulated_instrument() as sim:
        commands = {
            "python -m serial.tools.list_ports": [sys.executable, "-m", "serial.tools.list_ports"],
            "kq5316x ports": [*program(), "ports"],
            "kq5316x --version": [*program(), "--version"],
            "kq5316x status PORT": [*program(), "status", sim.port],
        }
        names = list(commands)
        for argv in commands.values():  # warm the file cache and the byte-code caches
            wall_seconds(argv)
        times: dict[str, list[float]] = {name: [] for name in names}
        for number in range(rounds):
            for name in names[number % len(names) :] + names[: number % len(names)]:
                times[name].append(wall_seconds(commands[name]))
    medians = {name: statistics.median(values) for name, values in times.items()}
    floor = medians[names[0]]
    for name, median in medians.items():
        print(f"{name:<36} median {median * 1000:6.1f} ms  {median / floor:.2f}x list_ports")
    over = [name for name in CHECKED if medians[name] / floor > TARGET]
    print(f"target: {' and '.join(CHECKED)} within {TARGET}x list_ports: "
          + ("met" if not over else f"OVER for {', '.join(over)}"))
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
