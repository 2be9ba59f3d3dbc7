"""CPU time of `import kq5316x` against `import serial` alone, each in a fresh interpreter.

    python bench/import_cost.py [PAIRS]

Runs PAIRS (default 15) pairs of processes, alternating which of the two goes first, and prints
the median CPU time (user + system, interpreter start-up included) of each and their ratio. The
target is a ratio of at most 1.3. Run it with the interpreter of the environment to measure.
"""

from __future__ import annotations

import os
import resource
import statistics
import subprocess
import sys

TARGET = 1.3
PROGRAMS = {"serial": "import serial", "kq5316x": "import kq5316x"}


def cpu_seconds(code: str) -> float:
    """CPU time of one fresh interpreter running `code`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([sys.executable, "-c", code], check=True, cwd=os.path.dirname(__file__) or ".")
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main() -> int:
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    for code in PROGRAMS.values():  # warm the file cache and the byte-code caches
        cpu_seconds(code)
    times: dict[str, list[float]] = {name: [] for name in PROGRAMS}
    for pair in range(pairs):
        order = list(PROGRAMS) if pair % 2 == 0 else list(reversed(PROGRAMS))
        for name in order:
            times[name].append(cpu_seconds(PROGRAMS[name]))
    medians = {name: statistics.median(values) for name, values in times.items()}
    ratio = medians["kq5316x"] / medians["serial"]
    for name, median in medians.items():
        print(f"import {name:<8} median CPU {median * 1000:6.1f} ms over {pairs} processes")
    verdict = "within" if ratio <= TARGET else "OVER"
    print(f"ratio {ratio:.2f} ({verdict} the target of {TARGET})")
    return 0 if ratio <= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
