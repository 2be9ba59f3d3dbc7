"""CPU time of `import kq5316x` against `import serial` alone, each in a fresh interpreter.

    python bench/import_cost.py [PAIRS]

Runs PAIRS (default 15) pairs of processes, alternating which of the two goes first. Each
process measures its own import statement's CPU time (time.process_time() around it), so the
interpreter's start-up, the same on both sides, is left out. Prints the median of each and their
ratio; the target is a ratio of at most 1.3. Run it with the interpreter of the environment to
measure.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys

TARGET = 1.3
PROGRAMS = {"serial": "import serial", "kq5316x": "import kq5316x"}


def cpu_seconds(statement: str) -> float:
    """CPU time of `statement` alone, run first thing in a fresh interpreter."""
    code = (
        "import time\n"
        "began = time.process_time()\n"
        f"{statement}\n"
        "print(time.process_time() - began)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code],
        check=True,
        capture_output=True,
        text=True,
        cwd=os.path.dirname(__file__) or ".",
    )
    return float(done.stdout)


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
        print(f"import {name:<8} median CPU {median * 1000:6.2f} ms over {pairs} processes"
              " (the import alone)")
    verdict = "within" if ratio <= TARGET else "OVER"
    print(f"ratio {ratio:.2f} ({verdict} the target of {TARGET})")
    return 0 if ratio <= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
