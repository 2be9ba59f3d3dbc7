"""docs/protocol.rst against the simulated instrument: every exchange the page shows is sent as
written and must get the reply it shows, every frame on it must follow the page's own framing and
checksum rules, and the page must show as many requests as the simulator knows."""

import re
import subprocess
import time
from pathlib import Path

import pytest
import serial

from kq5316x.testing import find_simulator, simulated_instrument

PAGE = Path(__file__).resolve().parent.parent / "docs" / "protocol.rst"
EXCHANGE = re.compile(r"^   (?P<what>\S.*?)\s{2,}(?P<request>(?:[0-9A-F]{2} )+)\s*-> (?P<reply>.+)$")


def exchanges():
    """(what, request, reply) for each line of the page's exchanges."""
    found = []
    for line in PAGE.read_text().splitlines():
        match = EXCHANGE.match(line)
        if match:
            found.append((match["what"], bytes.fromhex(match["request"]),
                          bytes.fromhex(match["reply"])))
    return found


def simulator_commands():
    """The requests the simulator knows, as its help lists them (one name a line)."""
    help_text = subprocess.run([find_simulator(), "--help"], capture_output=True, text=True,
                               timeout=10, check=True).stdout
    listing = help_text.split("\nCommands", 1)[1].split("\n", 1)[1]
    return re.findall(r"^  (\w+)$", listing, re.MULTILINE)


def test_page_shows_every_request_once():
    shown = exchanges()
    distinct = {request[3:5] + (request[5:7] if request[3:5] == b"\x14\x34" else b"")
                for _, request, _ in shown}
    assert len(distinct) == len(simulator_commands()) == 8


@pytest.mark.parametrize("frame", [f for _, *pair in exchanges() for f in pair],
                         ids=lambda f: f.hex(" ").upper())
def test_frames_follow_the_page_rules(frame):
    assert frame[0] == 0x7B and frame[-1] == 0x7D
    assert frame[2] == len(frame) - 2
    assert sum(frame[:-1]) % 256 == 0  # the checksum makes the sum through it 0


def test_simulator_answers_as_the_page_shows():
    with simulated_instrument() as sim:
        port = serial.serial_for_url(sim.port, timeout=1.0)
        with port:
            for what, request, reply in exchanges():
                port.write(request)
                assert port.read(len(reply)) == reply, what
                time.sleep(0.01)
                assert port.read(port.in_waiting) == b"", what  # nothing more than the reply
        sim.control("nofaults")  # answered after every frame event before it
        received = [bytes.fromhex(e["rx"]) for e in sim.events() if e.get("event") == "frame"]
        assert received == [request for _, request, _ in exchanges()]
