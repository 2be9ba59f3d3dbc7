"""kq5316x.bluesky against the simulated instrument: the docs page's scan, documents carrying
the instrument's read-backs, a set that the instrument does not acknowledge failing the plan."""

import pytest

pytest.importorskip("ophyd_async")

from bluesky import RunEngine  # noqa: E402
from bluesky.plan_stubs import mv  # noqa: E402
from bluesky.plans import count, scan  # noqa: E402
from bluesky.utils import FailedStatus  # noqa: E402
from ophyd_async.core import init_devices  # noqa: E402
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
    documents = []
    RE(plan, lambda name, doc: documents.append(doc["data"]) if name == "event" else None)
    return documents


def test_docs_page_scan(sim):
    assert run_page_examples("bluesky.rst", {"PORT": sim.port, "SIM": sim}) == 1


def test_documents_carry_the_instruments_values(sim, RE, att):
    sim.control("mode 2 3")  # changes made at the instrument show in the readings
    sim.control("attenuation 2 1234")
    [data] = events(RE, count([att.ch2]))
    assert data == {"att-ch2-attenuation": 12.34, "att-ch2-wavelength": 1310, "att-ch2-mode": 3}
    RE(mv(att.ch2.wavelength, 1550, att.ch1, 2.5))
    [data] = events(RE, count([att.ch1, att.ch2]))
    assert (data["att-ch1-attenuation"], data["att-ch2-wavelength"]) == (2.5, 1550)


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
