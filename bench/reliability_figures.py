"""Runs the reliability tests and prints what they tried: hostile inputs, faults injected and
survived, the stress run's threads and frames, and, with --sanitizer, whether the suite runs clean
under AddressSanitizer and UndefinedBehaviorSanitizer.

  python bench/reliability_figures.py [--sanitizer]

The counts come from the tests themselves (they record them when KQ5316_FIGURES names a file).
"""

import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TESTS = ["tests/test_hostile_inputs.py", "tests/test_faults.py", "tests/test_leaks.py",
         "tests/test_stress.py"]

LINES = [
    ("hostile replies", "random replies decoded or refused like the model, no crash"),
    ("random argument mixes", "random argument mixes bound as Python binds them or refused"),
    ("random checksum lists", "random lists through both checksum methods, matching the model"),
    ("port faults injected", "port faults injected (odd inWaiting/read results, raising write/read), all survived"),
    ("device vanishings", "instruments vanishing mid-session, each ending in a Python exception"),
    ("device restarts", "instruments restarted and reopened, working again"),
    ("calls checked for leaks", "calls checked for reference and memory leaks, none found"),
    ("stress threads", "threads in the stress run"),
    ("stress instruments", "simulated instruments in the stress run"),
    ("stress frames checked", "frames checked in the stress run, every one valid and as its sender meant"),
]


def run_tests() -> dict:
    with tempfile.TemporaryDirectory() as scratch:
        target = Path(scratch) / "figures.json"
        env = {**os.environ, "KQ5316_FIGURES": str(target)}
        result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *TESTS],
                                cwd=ROOT, env=env, capture_output=True, text=True)
        summary = result.stdout.strip().splitlines()[-1] if result.stdout.strip() else "no output"
        if result.returncode != 0:
            sys.exit(f"the reliability tests failed: {summary}\n{result.stdout[-3000:]}")
        return {"summary": summary, **json.loads(target.read_text())}


def sanitizer_clean() -> str:
    result = subprocess.run(["bash", ".ci/sanitize"], cwd=ROOT, capture_output=True, text=True)
    last = result.stdout.strip().splitlines()[-1] if result.stdout.strip() else ""
    if result.returncode == 0 and "clean" in last:
        return "clean: the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, no report"
    return f"NOT clean (exit {result.returncode}): {last}"


def main() -> None:
    figures = run_tests()
    print(f"reliability tests: {figures['summary']}")
    for key, text in LINES:
        print(f"{figures.get(key, 0):>8}  {text}")
    if "--sanitizer" in sys.argv:
        print(f"sanitizer run: {sanitizer_clean()}")


if __name__ == "__main__":
    main()
