"""Step a channel's attenuation through a few values and read each one back.

    python examples/typed_usage.py /dev/ttyUSB0 --channel 1 --db 0 1.5 3 10
    python examples/typed_usage.py --simulate          # against kq5316-sim (from kq5316x)

Type-checks with ``mypy --strict``: the result dicts are TypedDicts, so a misspelt key such as
``status["optical_lenght_index"]`` is an error before the script ever runs.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING

from kq5316 import KQ5316

if TYPE_CHECKING:
    # Stub-only names: they describe the dicts the methods return and do not exist at run time.
    from kq5316 import ChannelStatus, VersionInfo

MDB_PER_DB = 1000


def describe_version(version: VersionInfo) -> str:
    return "module {module_version}, hardware {hard_version}, software {soft_version}".format(
        **version
    )


def describe_status(status: ChannelStatus, lengths: Sequence[int]) -> str:
    index = status["optical_length_index"]
    wavelength = f"{lengths[index]} nm" if index < len(lengths) else f"length #{index}"
    return f"{status['attenuation'] / MDB_PER_DB:.2f} dB at {wavelength}"


def step_attenuation(kq: KQ5316, channel: int, targets_db: Sequence[float]) -> bool:
    """Sets each target in turn and reads it back; False at the first mismatch or silence."""
    version = kq.read_device_version()
    if version is None:
        print("no answer to the version request", file=sys.stderr)
        return False
    print(f"KQ5316 {describe_version(version)}")
    lengths = kq.read_optical_length(channel) or []
    print(f"channel {channel} supports {lengths}")

    for target_db in targets_db:
        mdb = round(target_db * MDB_PER_DB)
        if not kq.set_attenuation(mdb, channel):
            print(f"no acknowledgement setting {target_db} dB", file=sys.stderr)
            return False
        status = kq.read_current_status(channel)
        if status is None:
            print("no answer to the status request", file=sys.stderr)
            return False
        print(f"set {target_db:.2f} dB -> reads {describe_status(status, lengths)}")
        # The device keeps 0.01 dB steps: anything finer is dropped on the way.
        if status["attenuation"] != int(mdb / 10) * 10:
            return False
    return kq.clear_attenuation(channel)


@contextmanager
def simulated_port() -> Iterator[str]:
    """Starts the bundled simulated instrument and yields the terminal it answers on."""
    # The simulator comes with the kq5316x distribution, which knows where it installed it
    # (whether or not its environment is activated).
    try:
        from kq5316x.testing import find_simulator

        program = find_simulator()
    except (ImportError, FileNotFoundError) as error:
        raise SystemExit(f"{error}: the simulator comes with kq5316x (pip install ./kq5316x-dist)")
    with subprocess.Popen([program], stdout=subprocess.PIPE, text=True) as sim:
        try:
            assert sim.stdout is not None
            ready: dict[str, str] = json.loads(sim.stdout.readline())
            yield ready["port"]
        finally:
            sim.terminate()


def run(port: str, channel: int, targets_db: Sequence[float]) -> int:
    kq = KQ5316(port)
    if not kq.open():
        return 2
    try:
        return 0 if step_attenuation(kq, channel, targets_db) else 1
    finally:
        kq.close()


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("port", nargs="?", help="serial port, e.g. /dev/ttyUSB0 or COM3")
    parser.add_argument("--channel", type=int, default=1)
    parser.add_argument("--db", type=float, nargs="+", default=[0.0, 1.1, 5.0, 12.34])
    parser.add_argument("--simulate", action="store_true", help="use kq5316-sim")
    args = parser.parse_args(argv)
    channel: int = args.channel
    targets: list[float] = args.db

    if args.simulate:
        with simulated_port() as port:
            return run(port, channel, targets)
    if args.port is None:
        parser.error("name a port or pass --simulate")
    return run(str(args.port), channel, targets)


if __name__ == "__main__":
    sys.exit(main())
