"""kq5316x.qcodes against the simulated instrument: the docs page's dataset sweep, a dond that
records requested and held values, validators, read-backs of the instrument's own state,
functions, snapshot, close."""

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


def test_docs_page_sweeps_run_and_read_back(instrument, tmp_path, monkeypatch):
    instrument.control("reset")
    before = len(instrument.events())
    monkeypatch.chdir(tmp_path)
    assert run_page_examples("qcodes.rst", {"PORT": instrument.port, "SIM": instrument}) == 2
    instrument.control("nofaults")  # answered after every earlier frame's event
    sets = [e["state"]["steps"] for e in instrument.events()[before:]
            if e.get("command") == "set_attenuation"]
    # what the instrument was told, in order: the sweep, then the dond to 0.05 dB in 4 points
    assert sets == [db * 100 for db in range(11)] + [0, 2, 3, 5]


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


def test_dond_records_requested_and_held_attenuation(instrument, att, tmp_path):
    from qcodes.dataset import LinSweep, dond, initialise_or_create_database_at
    from qcodes.dataset import load_or_create_experiment

    initialise_or_create_database_at(tmp_path / "sweep.db")
    experiment = load_or_create_experiment("read-back", sample_name="fibre")
    dataset, _, _ = dond(LinSweep(att.ch1.attenuation, 0, 0.1, 7), att.ch1.attenuation_readback,
                         exp=experiment, do_plot=False, show_progress=False)
    data = dataset.get_parameter_data()["att_ch1_attenuation_readback"]
    requested, held = data["att_ch1_attenuation"], data["att_ch1_attenuation_readback"]
    assert requested.tolist() == pytest.approx([n / 60 for n in range(7)])
    # the instrument takes each value to its nearest 0.01 dB step
    assert held.tolist() == [0.0, 0.02, 0.03, 0.05, 0.07, 0.08, 0.1]


@pytest.mark.parametrize("call, channel, state", [
    (lambda a: a.ch2.clear(), 2, {"steps": 0, "disconnected": False}),
    (lambda a: a.ch2.disconnect(), 2, {"steps": 0, "disconnected": True}),
    (lambda a: a.close_display(), 1, None),  # the display's request; no channel state
])
def test_functions_reach_the_instrument(instrument, att, call, channel, state):
    att.ch2.attenuation(4.5)
    instrument.control("nofaults")  # answered after every earlier frame's event
    before = len(instrument.events())
    call(att)
    instrument.control("nofaults")
    [event] = [e for e in instrument.events()[before:] if e["event"] == "frame"]
    assert event["ok"] and event["channel"] == channel
    got = event.get("state")
    assert (got and {k: got[k] for k in state}) == state
    assert att.ch2.attenuation_readback() == (4.5 if state is None else 0.0)


@pytest.mark.parametrize("parameter, value", [
    ("attenuation", 655.36), ("attenuation", -0.01), ("attenuation", float("nan")),
    ("attenuation", True), ("attenuation", False), ("attenuation_readback", 1.0),
    ("wavelength", 1490), ("wavelength", True), ("mode", 1),
])
def test_refused_before_anything_is_sent(instrument, att, parameter, value):
    instrument.control("nofaults")  # answered after every earlier frame's event
    before = len(instrument.frames())
    with pytest.raises((ValueError, NotImplementedError, TypeError)):
        getattr(att.ch2, parameter)(value)
    instrument.control("nofaults")
    assert len(instrument.frames()) == before


def test_silent_instrument_raises_kq5316x_exception(instrument, att):
    instrument.control("silent")
    with pytest.raises(NoReply):
        att.ch1.attenuation()


def test_close_releases_the_port(instrument, att):
    att.close()
    with Attenuator(instrument.port) as again:  # the port is exclusive while open
        assert again.status(1).attenuation_mdb == 0
