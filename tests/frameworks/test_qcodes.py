"""kq5316x.qcodes against the simulated instrument: the docs page's dataset sweep, validators,
read-backs of the instrument's own state, snapshot, close."""

import pytest

pytest.importorskip("qcodes")

from pages import run_page_examples  # noqa: E402
from kq5316x import Attenuator, NoReply  # noqa: E402
from kq5316x.qcodes import KQ5316  # noqa: E402
from kq5316x.testing import simulated_instrument  # noqa: E402


@pytest.fixture(scope="module")
def instrument():
    with simulated_instrument() as sim:
        yield sim


@pytest.fixture
def att(instrument):
    instrument.control("reset")
    device = KQ5316("att", instrument.port)
    yield device
    device.close()


def test_docs_page_sweep_runs_and_reads_back(instrument, tmp_path, monkeypatch):
    instrument.control("reset")
    before = len(instrument.events())
    monkeypatch.chdir(tmp_path)
    assert run_page_examples("qcodes.rst", {"PORT": instrument.port, "SIM": instrument}) == 1
    sets = [e["state"]["steps"] for e in instrument.events()[before:]
            if e.get("command") == "set_attenuation"]
    assert sets == [db * 100 for db in range(11)]  # what the instrument was told, in order


def test_parameters_follow_the_instrument(instrument, att):
    assert att.get_idn() == {"vendor": None, "model": "KQ5316", "serial": None,
                             "firmware": "module 2 hardware 50 software 32"}
    assert [c.short_name for c in att.channels] == ["ch1", "ch2"]
    instrument.control("attenuation 2 1234")  # a change at the front panel
    instrument.control("mode 2 3")
    assert (att.ch2.attenuation(), att.ch2.mode()) == (12.34, 3)
    att.ch2.wavelength(1550)
    assert att.ch2.wavelength() == 1550
    snapshot = att.snapshot(update=True)["submodules"]["ch2"]["parameters"]
    assert (snapshot["attenuation"]["value"], snapshot["attenuation"]["unit"]) == (12.34, "dB")
    assert snapshot["wavelength"]["value"] == 1550


@pytest.mark.parametrize("parameter, value", [
    ("attenuation", 655.36), ("attenuation", -0.01), ("wavelength", 1490), ("mode", 1),
])
def test_refused_before_anything_is_sent(instrument, att, parameter, value):
    before = len(instrument.frames())
    with pytest.raises((ValueError, NotImplementedError, TypeError)):
        getattr(att.ch2, parameter)(value)
    assert len(instrument.frames()) == before


def test_silent_instrument_raises_kq5316x_exception(instrument, att):
    instrument.control("silent")
    with pytest.raises(NoReply):
        att.ch1.attenuation()


def test_close_releases_the_port(instrument, att):
    att.close()
    with Attenuator(instrument.port) as again:  # the port is exclusive while open
        assert again.status(1).attenuation_mdb == 0
