"""Measures kq5316x against the line's physical limit, with the class beside it.

  python bench/checked_api.py [--class-steps N]

On the simulated instrument with --latency 0 (and the line's time held by --baud) it prints:
  - the median set_attenuation_mdb exchange over 200 exchanges at 115200 baud, against the
    physical limit (request + reply bytes) x 10 / baud, and the target 1.2 x limit + 0.5 ms;
  - a 61-step sweep (0 to 60 dB, each step set and read back) at 9600 and at 115200 baud:
    kq5316x's time against the sweep's line limit (61 x the bytes of both exchanges x 10 / baud),
    the figure that says what kq5316x costs; beside it, the class KQ5316 on the same sweep. The
    class pauses 0.2 s after every request by contract, so its time is that required pause
    (61 x 2 x 0.2 s = 24.4 s) plus a little, whatever the line: a ratio to it measures the pause,
    not kq5316x. --class-steps N (default 10) sweeps N steps with the class and scales its time
    to 61 steps (said so in the row).
"""

from __future__ import annotations

import argparse
import statistics
import time

import kq5316
from kq5316x import Attenuator
from kq5316x.testing import simulated_instrument

BAUD = 115200
SWEEP_BAUDS = (9600, 115200)
BITS_PER_BYTE = 10
EXCHANGES = 200
SWEEP_STEPS = 61
SET_ATTENUATION_BYTES = 9 + 9  # request and its echo
READ_STATUS_BYTES = 7 + 12  # request and the status reply
CLASS_PAUSE_S = 0.2  # the class's required pause after every request


def median_exchange_ms(port: str) -> float:
    times = []
    with Attenuator(port) as att:
        for i in range(EXCHANGES):
            start = time.perf_counter()
            att.set_attenuation_mdb(i * 10 % 655350)
            times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def sweep_checked(port: str) -> float:
    with Attenuator(port) as att:
        start = time.perf_counter()
        for step in range(SWEEP_STEPS):
            att.set_attenuation_mdb(step * 1000)
            assert att.status(1).attenuation_mdb == step * 1000
        return time.perf_counter() - start


def sweep_class(port: str, steps: int) -> float:
    kq = kq5316.KQ5316(port)
    assert kq.open()
    try:
        start = time.perf_counter()
        for step in range(steps):
            assert kq.set_attenuation(step * 1000, 1)
            status = kq.read_current_status(1)
            assert status is not None and status["attenuation"] == step * 1000
        return time.perf_counter() - start
    finally:
        kq.close()


def line_ms(size: int, baud: int) -> float:
    return size * BITS_PER_BYTE / baud * 1000


def sweep_row(baud: int, class_steps: int) -> str:
    with simulated_instrument("--baud", str(baud), "--latency", "0") as sim:
        checked = sweep_checked(sim.port) * 1000
        by_class = sweep_class(sim.port, class_steps) * SWEEP_STEPS / class_steps
    limit = SWEEP_STEPS * line_ms(SET_ATTENUATION_BYTES + READ_STATUS_BYTES, baud)
    pause = SWEEP_STEPS * 2 * CLASS_PAUSE_S
    scaled = "" if class_steps == SWEEP_STEPS else f", {class_steps} steps scaled to 61"
    return (
        f"| 61-step sweep with read-back, {baud} baud | kq5316x {checked:.1f} ms, line limit "
        f"{limit:.1f} ms: {checked / limit:.3f}x the limit | the class {by_class:.1f} s"
        f"{scaled} (its required pause alone: {pause:.1f} s) |"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--class-steps", type=int, default=10)
    args = parser.parse_args()
    class_steps = max(1, min(args.class_steps, SWEEP_STEPS))

    with simulated_instrument("--baud", str(BAUD), "--latency", "0") as sim:
        median = median_exchange_ms(sim.port)
    limit = line_ms(SET_ATTENUATION_BYTES, BAUD)
    target = 1.2 * limit + 0.5
    print("kq5316x on kq5316-sim --latency 0, the line's time held by --baud")
    print("| measure | result | beside it |")
    print("|---|---|---|")
    met = "met" if median <= target else "NOT met"
    print(f"| median set_attenuation_mdb exchange ({EXCHANGES}), {BAUD} baud | {median:.3f} ms "
          f"(limit {limit:.3f} ms) | target <= {target:.3f} ms: {met} |")
    for baud in SWEEP_BAUDS:
        print(sweep_row(baud, class_steps))


if __name__ == "__main__":
    main()
