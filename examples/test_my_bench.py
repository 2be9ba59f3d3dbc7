"""A user's own tests, written against the simulated instrument with the kq5316_sim fixture that
installing kq5316x[testing] adds to pytest:

    python -m pytest examples/test_my_bench.py
"""

from __future__ import annotations

import pytest

from kq5316x import Attenuator, NoReply
from kq5316x.testing import SimulatedInstrument


def sweep(port: str, channel: int, dbs: list[float]) -> list[float]:
    """The code under test: sets each attenuation and returns what the instrument reads back."""
    with Attenuator(port, timeout=0.2) as att:
        readings = []
        for db in dbs:
            att.set_attenuation_db(db, ch=channel)
            readings.append(att.status(channel).attenuation_db)
        return readings


def test_sweep_reads_back_every_step(kq5316_sim: SimulatedInstrument) -> None:
    assert sweep(kq5316_sim.port, 2, [0, 1.5, 3.25]) == [0, 1.5, 3.25]
    # The open asks the version first; then the first setting of the sweep.
    assert kq5316_sim.wait_frames(2)[1] == bytes.fromhex("7B 02 07 14 3C 00 00 2C 7D")


def test_sweep_reports_a_silent_instrument(kq5316_sim: SimulatedInstrument) -> None:
    kq5316_sim.control("silent")
    with pytest.raises(NoReply, match="answered the version request"):
        sweep(kq5316_sim.port, 1, [1.0])


@pytest.mark.kq5316_sim("--lengths", "1=1550")
def test_single_wavelength_instrument(kq5316_sim: SimulatedInstrument) -> None:
    with Attenuator(kq5316_sim.port) as att:
        assert att.wavelengths(1) == (1550,)
