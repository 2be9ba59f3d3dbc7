"""Start-up of the command line `kq5316x` against `python -m serial.tools.list_ports`.

    python bench/startup.py [ROUNDS]

Each round runs, in a rotating order, `python -m serial.tools.list_ports`, `kq5316x ports`,
`kq5316x --version` and `kq5316x status PORT` on a simulated instrument started once for the
run (its port is a pseudo-terminal with no line time). Prints the median wall time of each over
ROUNDS (default 21) rounds and its ratio to list_ports, and the same for CPU time (user + system),
which a loaded machine disturbs less. The target: `ports` and `status PORT` within 1.5 times
list_ports in wall time; exits 1 when either is over. Run it with the interpreter of the
environment to measure.
"""

from __future__ import annotations

import resource
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


def seconds(argv: list[str]) -> tuple[float, float]:
    """Wall and CPU time of one run of `argv`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - began
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


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
            seconds(argv)
        times: dict[str, list[tuple[float, float]]] = {name: [] for name in names}
        for number in range(rounds):
            for name in names[number % len(names) :] + names[: number % len(names)]:
                times[name].append(seconds(commands[name]))
    wall = {name: statistics.median(t[0] for t in values) for name, values in times.items()}
    cpu = {name: statistics.median(t[1] for t in values) for name, values in times.items()}
    heading = f"median of {rounds} runs"
    print(f"{heading:<36} {'wall':>8} {'ratio':>6} {'CPU':>8} {'ratio':>6}")
    for name in names:
        print(f"{name:<36} {wall[name] * 1000:5.1f} ms {wall[name] / wall[names[0]]:5.2f}x"
              f" {cpu[name] * 1000:5.1f} ms {cpu[name] / cpu[names[0]]:5.2f}x")
    over = [name for name in CHECKED if wall[name] / wall[names[0]] > TARGET]
    verdict = "met" if not over else f"OVER for {', '.join(over)}"
    print(f"target: {' and '.join(CHECKED)} within {TARGET}x list_ports (wall): {verdict}")
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
