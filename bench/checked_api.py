"""Measures kq5316x against the line's physical limit and against the class.

  python bench/checked_api.py [--class-steps N]

On the simulated instrument with --baud 115200 --latency 0 it prints two rows:
  - the median set_attenuation_mdb exchange over 200 exchanges, against the physical limit
    (request + reply bytes) x 10 / baud, and the target 1.2 x limit + 0.5 ms;
  - a 61-step sweep (0 to 60 dB, each step set and read back) through kq5316x and through the
    class KQ5316, and their ratio (target: at least 100). The class spends a fixed 0.2 s per
    exchange, so its full sweep takes about 25 s; --class-steps N sweeps N steps with the class
    and scales its time to 61 steps (said so in the row).
"""

from __future__ import annotations

import argparse
import statistics
import time

import kq5316
from kq5316x import Attenuator
from kq5316x.testing import simulated_instrument

BAUD = 115200
BITS_PER_BYTE = 10
EXCHANGES = 200
SWEEP_STEPS = 61
SET_ATTENUATION_BYTES = 9 + 9  # request and its echo


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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--class-steps", type=int, default=SWEEP_STEPS)
    args = parser.parse_args()
    class_steps = max(1, min(args.class_steps, SWEEP_STEPS))

    with simulated_instrument("--baud", str(BAUD), "--latency", "0") as sim:
        median = median_exchange_ms(sim.port)
        checked = sweep_checked(sim.port)
        by_class = sweep_class(sim.port, class_steps) * SWEEP_STEPS / class_steps

    limit = SET_ATTENUATION_BYTES * BITS_PER_BYTE / BAUD * 1000
    target = 1.2 * limit + 0.5
    scaled = "" if class_steps == SWEEP_STEPS else f" ({class_steps} steps, scaled to 61)"
    ratio = by_class / checked
    print(f"kq5316x on kq5316-sim --baud {BAUD} --latency 0")
    print(f"| measure | result | target | met |")
    print(f"|---|---|---|---|")
    print(f"| median set_attenuation_mdb exchange ({EXCHANGES}) | {median:.3f} ms "
          f"(limit {limit:.3f} ms) | <= {target:.3f} ms | {'yes' if median <= target else 'NO'} |")
    print(f"| 61-step sweep with read-back | kq5316x {checked * 1000:.1f} ms, class "
          f"{by_class:.1f} s{scaled}: {ratio:.0f}x | >= 100x | {'yes' if ratio >= 100 else 'NO'} |")


if __name__ == "__main__":
    main()
