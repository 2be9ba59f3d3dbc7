"""The kq5316x example from the README, run against the simulated instrument.

    python examples/checked_quickstart.py                 # starts kq5316-sim for it
    python examples/checked_quickstart.py /dev/ttyUSB0    # the real instrument
"""

from __future__ import annotations

import sys

from kq5316x import Attenuator, Kq5316Error
from kq5316x.testing import simulated_instrument


def run(port: str) -> None:
    try:
        with Attenuator(port, timeout=0.5) as att:  # asks the instrument's version first
            print(att.version())  # Version(module=2, hardware=50, software=32)
            print(att.wavelengths(2))  # (1310, 1550)
            att.select_wavelength(1550, ch=2)
            att.set_attenuation_db(1.1, ch=1)  # or att.set_attenuation_mdb(1100, ch=1)
            print(att.status(1))  # Status(mode=0, wavelength_index=0, attenuation_mdb=1100)
    except Kq5316Error as error:  # after the open, every failure is one
        sys.exit(f"the instrument did not answer properly: {error}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        run(sys.argv[1])
    else:
        with simulated_instrument() as sim:
            run(sim.port)
