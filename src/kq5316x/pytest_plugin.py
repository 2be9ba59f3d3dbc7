"""pytest plugin of kq5316x: the fixture ``kq5316_sim``, a running simulated instrument.

Options for the simulator come from the marker ``@pytest.mark.kq5316_sim("--lengths", "2=1550")``.
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest

# The plugin is loaded into every pytest run in an environment with kq5316x: what starts the
# simulator is imported only when a test asks for the fixture.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from .testing import SimulatedInstrument


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "kq5316_sim(*options): options for the kq5316_sim fixture's simulator"
    )


@pytest.fixture
def kq5316_sim(request: pytest.FixtureRequest) -> Iterator[SimulatedInstrument]:
    """A simulated KQ5316 (``kq5316-sim``) for one test; ``.port`` is what to open."""
    from .testing import simulated_instrument

    marker = request.node.get_closest_marker("kq5316_sim")
    options = tuple(str(option) for option in marker.args) if marker else ()
    with simulated_instrument(*options) as simulator:
        yield simulator
