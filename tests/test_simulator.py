"""The simulated instrument on its own, driven through pyserial as the driver drives a device."""

import os
import shutil
import subprocess
import time

import pytest
import serial

VERSION, LENGTHS, STATUS = (0x00, 0x03), (0x07, 0x2E), (0x14, 0x36)
SELECT, ATTENUATE, CLEAR_OR_DISCONNECT = (0x14, 0x3A), (0x14, 0x3C), (0x14, 0x34)


def frame(channel, command, *parameters):
    """A frame with its length byte and checksum, computed here independently of the simulator."""
    body = [0x7B, channel, 5 + len(parameters), *command, *parameters]
    return bytes(body + [-sum(body) & 0xFF, 0x7D])


REPLY = frame(1, VERSION, 2, 50, 32)  # the default instrument's version reply


def exchange(port, request, pause=0.2):
    """What the driver does: write, pause 0.2 s, take whatever is waiting."""
    port.write(request)
    time.sleep(pause)
    return port.read(port.in_waiting)


@pytest.fixture
def port(sim):
    with serial.Serial(sim.port, 115200, timeout=1) as opened:
        yield opened


@pytest.mark.parametrize(
    "args, versions", [((), (2, 50, 32)), (("--device-version", "7,8,9"), (7, 8, 9))]
)
def test_version_reply(sim_factory, args, versions):
    sim = sim_factory(*args)
    with serial.Serial(sim.port, 115200, timeout=1) as port:
        assert exchange(port, frame(1, VERSION)) == frame(1, VERSION, *versions)


@pytest.mark.parametrize(
    "args, channel, lengths",
    [
        ((), 1, [1310, 1490, 1535]),
        ((), 2, [1310, 1550]),
        ((), 3, [1310, 1490, 1535]),
        (("--lengths", "3=1550,65535"), 3, [1550, 65535]),
        (("--lengths", "3="), 3, []),
        (("--lengths", "1=1625"), 9, [1625]),  # unconfigured channels follow channel 1
    ],
)
def test_optical_length_reply(sim_factory, args, channel, lengths):
    sim = sim_factory(*args)
    values = [byte for value in lengths for byte in value.to_bytes(2, "little")]
    with serial.Serial(sim.port, 115200, timeout=1) as port:
        reply = exchange(port, frame(channel, LENGTHS))
    assert reply == frame(channel, LENGTHS, len(lengths), *values)


@pytest.mark.parametrize(
    "settings, index, steps",
    [
        ([], 0, 0),
        ([(ATTENUATE, 0x6E, 0x00)], 0, 110),
        ([(SELECT, 1), (ATTENUATE, 0xFF, 0xFF)], 1, 0xFFFF),
        ([(SELECT, 1), (SELECT, 2)], 1, 0),  # channel 2 has two lengths: position 2 is ignored
        ([(ATTENUATE, 0xF4, 0x01), (CLEAR_OR_DISCONNECT, 0x00, 0x00)], 0, 0),
        ([(ATTENUATE, 0xF4, 0x01), (CLEAR_OR_DISCONNECT, 0xFF, 0xFF)], 0, 0),
    ],
)
def test_status_follows_settings_on_its_channel_only(port, settings, index, steps):
    for command, *parameters in settings:
        request = frame(2, command, *parameters)
        assert exchange(port, request) == request  # acknowledged by an echo
    expected = frame(2, STATUS, 0, 0, index, *steps.to_bytes(2, "little"))
    assert exchange(port, frame(2, STATUS)) == expected
    assert exchange(port, frame(1, STATUS)) == frame(1, STATUS, 0, 0, 0, 0, 0)


@pytest.mark.parametrize(
    "request_bytes",
    [
        frame(1, VERSION)[:-2] + b"\x00\x7d",  # bad checksum
        frame(1, (0x07, 0x07)),  # unknown command bytes
        frame(1, CLEAR_OR_DISCONNECT, 0x01, 0x01),  # neither clear nor disconnect
        frame(1, VERSION, 0x00),  # known command, wrong length
    ],
)
def test_refused_frames_get_no_reply(sim, port, request_bytes):
    assert exchange(port, request_bytes) == b""
    (event,) = sim.wait_events(lambda e: e["event"] == "frame", 1)
    assert (event["ok"], event["tx"], bytes.fromhex(event["rx"])) == (False, "", request_bytes)


@pytest.mark.parametrize(
    "chunks",
    [
        [b"\x00\x7b\x7d\xff" + frame(1, VERSION)],  # garbage first, with stray delimiters
        [frame(1, VERSION) + frame(1, VERSION)],  # two frames in one write
        [frame(1, VERSION)[:3], frame(1, VERSION)[3:]],  # one frame in two writes
    ],
)
def test_stream_is_split_into_frames(sim, port, chunks):
    for chunk in chunks:
        port.write(chunk)
        time.sleep(0.02)
    count = b"".join(chunks).count(frame(1, VERSION))
    assert sim.wait_frames(count) == [frame(1, VERSION)] * count
    time.sleep(0.1)
    assert port.read(port.in_waiting) == REPLY * count


@pytest.mark.parametrize(
    "control, spoil",
    [
        ("silent 2", lambda r: [b"", b"", r[2]]),
        ("truncate", lambda r: [r[0][:-1], r[1], r[2]]),
        ("raw 7B 7D x2", lambda r: [b"\x7b\x7d", b"\x7b\x7d", r[2]]),
        ("double", lambda r: [r[0] * 2, r[1], r[2]]),
        # The late reply arrives before the next exchange's read, and in front of its reply.
        ("delay 300", lambda r: [b"", r[0] + r[1], r[2]]),
    ],
)
def test_faults_spoil_the_next_replies(sim, port, control, spoil):
    sim.control(control)
    channels = (1, 2, 3)
    replies = [frame(channel, STATUS, 0, 0, 0, 0, 0) for channel in channels]
    assert [exchange(port, frame(channel, STATUS)) for channel in channels] == spoil(replies)


@pytest.mark.parametrize(
    "line",
    ["bogus", "silent 0", "delay", "raw 7", "lengths 1=70000", "attenuation 1", "version 1,2",
     "inject" + " 00" * 30_000],  # longer than a line may be
)
def test_bad_control_line_is_refused(sim, port, line):
    with pytest.raises(RuntimeError, match="bogus|count|MS|hex|65535|STEPS|M,H,S|longer"):
        sim.control(line)
    assert exchange(port, frame(1, VERSION)) == REPLY


def test_replies_held_back_are_bounded(sim, port):
    sim.control("delay 600000 always")
    port.write(frame(1, VERSION) * 4097)
    events = sim.wait_events(lambda e: e["event"] == "frame", 4097, timeout=30)
    assert ["write_error" in event for event in events[-2:]] == [False, True]


@pytest.mark.skipif(shutil.which("lsof") is None, reason="lsof is not installed")
def test_lsof_lists_only_clients(sim):
    def holders():
        return subprocess.run(["lsof", sim.port], capture_output=True).stdout

    assert holders() == b""
    with serial.Serial(sim.port, 115200, timeout=1):
        assert str(os.getpid()).encode() in holders()
    assert holders() == b""


def test_survives_end_of_input_and_clients_coming_and_going(sim):
    def hung_up(event):
        return event["event"] == "hangup"

    sim.process.stdin.close()
    serial.Serial(sim.port).close()  # a client that sends nothing
    sim.wait_events(hung_up, 1)
    for hangups in (2, 3):
        with serial.Serial(sim.port, 115200, timeout=1) as port:
            assert exchange(port, frame(1, VERSION)) == REPLY
        sim.wait_events(hung_up, hangups)
    assert sim.process.poll() is None


def test_link_is_made_and_removed(sim_factory, tmp_path):
    link = tmp_path / "port"
    sim = sim_factory("--link", str(link))
    assert os.readlink(link) == sim.port
    sim.stop()
    assert not os.path.lexists(link)
    link.write_text("keep")
    with pytest.raises(RuntimeError, match="status 1"):
        sim_factory("--link", str(link))
    assert link.read_text() == "keep"


def _commands():
    from kq5316x import _protocol
    return [value for key, value in vars(_protocol.Command).items() if key.isupper()]


@pytest.mark.parametrize("command", _commands())
def test_every_command_is_answered_in_its_reply_layout(sim, port, command):
    """The simulator answers each row of the protocol's table (a new one included) with a reply
    that echoes the request and carries every field of the row's reply layout."""
    from kq5316x import _protocol
    request = _protocol.request(command, 2, 0)
    reply = exchange(port, request, pause=0.1)
    assert _protocol.check(command, request, reply, True) is None
