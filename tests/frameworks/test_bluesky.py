"""kq5316x.bluesky against the simulated instrument: the docs page's examples, the whole device
read with its configuration, a channel as a relative scan's motor, documents carrying the
instrument's read-backs, values refused before anything is sent, a set that the instrument does
not acknowledge failing the plan; and a plan run in mock mode with no instrument at all."""

import pytest

pytest.importorskip("ophyd_async")

from bluesky import RunEngine  # noqa: E402
from bluesky.plan_stubs import mv  # noqa: E402
from bluesky.plans import count, rel_scan, scan  # noqa: E402
from bluesky.simulators import check_limits  # noqa: E402
from bluesky.utils import FailedStatus  # noqa: E402
from ophyd_async.core import callback_on_mock_put, get_mock_put, init_devices  # noqa: E402
from ophyd_async.core import set_mock_value  # noqa: E402
from pages import run_page_examples  # noqa: E402
from kq5316x import BadReply, NoReply  # noqa: E402
from kq5316x.bluesky import KQ5316  # noqa: E402
from kq5316x.testing import simulated_instrument  # noqa: E402


@pytest.fixture(scope="module")
def instrument():
    with simulated_instrument() as sim:
        yield sim


@pytest.fixture
def sim(instrument):
    instrument.control("reset")
    return instrument


@pytest.fixture
def RE():
    engine = RunEngine(call_returns_result=False)
    yield engine


@pytest.fixture
def att(sim, RE):
    with init_devices(set_name=False):
        device = KQ5316(sim.port, name="att")
    yield device
    device.close()


def events(RE, plan):
    return [doc["data"] for name, doc in documents(RE, plan) if name == "event"]


def documents(RE, plan):
    found = []
    RE(plan, lambda name, doc: found.append((name, doc)))
    return found


def test_docs_page_examples(sim):
    assert run_page_examples("bluesky.rst", {"PORT": sim.port, "SIM": sim}) == 3


def test_count_of_the_device_records_every_channel_and_the_configuration(sim, RE, att):
    sim.control("attenuation 2 1234")
    found = documents(RE, count([att], num=2))
    [descriptor] = [doc for name, doc in found if name == "descriptor"]
    data = [doc["data"] for name, doc in found if name == "event"]
    assert len(data) == 2 and data[0] == {
        "att-ch1-attenuation": 0.0, "att-ch1-wavelength": 1310, "att-ch1-mode": 0,
        "att-ch2-attenuation": 12.34, "att-ch2-wavelength": 1310, "att-ch2-mode": 0,
    }
    assert descriptor["hints"]["att"]["fields"] == ["att-ch1-attenuation", "att-ch2-attenuation"]
    keys = descriptor["data_keys"]
    assert sim.port in keys["att-ch2-attenuation"]["source"]
    assert (keys["att-ch2-attenuation"]["units"], keys["att-ch1-wavelength"]["units"]) == (
        "dB", "nm")
    config = descriptor["configuration"]["att"]["data"]
    assert {k: v for k, v in config.items() if not k.endswith("wavelengths")} == {
        "att-identity": "module 2 hardware 50 software 32", "att-port": sim.port}
    assert (config["att-ch1-wavelengths"].tolist(), config["att-ch2-wavelengths"].tolist()) == (
        [1310, 1490, 1535], [1310, 1550])


def test_channel_is_the_motor_of_a_relative_scan(sim, RE, att):
    RE(mv(att.ch1, 3))
    sim.control("attenuation 1 350")  # changed at the instrument: the scan starts from it
    data = events(RE, rel_scan([att], att.ch1, -1, 1, 3))
    assert [d["att-ch1-attenuation"] for d in data] == [2.5, 3.5, 4.5]
    assert [d["att-ch2-attenuation"] for d in data] == [0.0] * 3
    [after] = events(RE, count([att.ch1]))
    assert after["att-ch1-attenuation"] == 3.5  # moved back where it started


def test_documents_carry_the_instruments_values(sim, RE, att):
    sim.control("mode 2 3")  # changes made at the instrument show in the readings
    sim.control("attenuation 2 1234")
    [data] = events(RE, count([att.ch2]))
    assert data == {"att-ch2-attenuation": 12.34, "att-ch2-wavelength": 1310, "att-ch2-mode": 3}
    RE(mv(att.ch2.wavelength, 1550, att.ch1, 2.5))
    [data] = events(RE, count([att.ch1, att.ch2]))
    assert (data["att-ch1-attenuation"], data["att-ch2-wavelength"]) == (2.5, 1550)


@pytest.mark.parametrize("value, error", [
    (float("nan"), ValueError), (float("inf"), ValueError), (655.36, ValueError),
    (-0.01, ValueError), (True, TypeError),
])
def test_value_refused_before_the_instrument_moves(sim, RE, att, value, error):
    sim.control("nofaults")  # answered after every earlier frame's event
    before = len(sim.frames())
    with pytest.raises(error):  # the whole plan, its valid first move included, checked first
        check_limits(mv(att.ch1, 1, att.ch2, value))
    with pytest.raises(FailedStatus) as failed:
        RE(mv(att.ch2, value))
    assert isinstance(failed.value.__cause__, error)
    sim.control("nofaults")
    assert len(sim.frames()) == before


def test_plan_in_mock_mode_without_an_instrument(RE):
    with init_devices(mock=True):
        mock = KQ5316("/dev/no-such-port")
    data = events(RE, scan([mock], mock.ch1, 0, 2, 3))
    assert [d["mock-ch1-attenuation"] for d in data] == [0.0, 1.0, 2.0]
    get_mock_put(mock.ch1.attenuation.setpoint).assert_called_with(2.0)
    # What the instrument would do, played by the test: it takes the nearest 0.01 dB.
    callback_on_mock_put(mock.ch1.attenuation.setpoint, lambda db: round(db, 2))
    set_mock_value(mock.ch2.wavelengths, [1310, 1550])
    RE(mv(mock.ch1, 1.234, mock.ch2.wavelength, 1550))
    [data] = events(RE, count([mock]))
    assert (data["mock-ch1-attenuation"], data["mock-ch2-wavelength"]) == (1.23, 1550)
    with pytest.raises(FailedStatus) as failed:  # not one of the channel's wavelengths
        RE(mv(mock.ch2.wavelength, 1490))
    assert isinstance(failed.value.__cause__, ValueError)


@pytest.mark.parametrize("fault, target, error", [
    ("silent always", 5, NoReply),
    ("raw 7B 01 07 14 3C F4 01 00 7D", 5, BadReply),  # a checksum that does not match
    (None, 700, ValueError),
])
def test_unacknowledged_set_fails_the_plan(sim, RE, att, fault, target, error):
    if fault:
        sim.control(fault)
    with pytest.raises(FailedStatus) as failed:
        RE(scan([att.ch1], att.ch1.attenuation, 0, target, 2) if fault is None
           else mv(att.ch1.attenuation, target))
    assert isinstance(failed.value.__cause__, error)
