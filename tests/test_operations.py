"""Each device operation against the simulated instrument: the frame on the wire, the decoding of
the reply, and what faulty replies give."""

import pytest

from support import STATUS_IDLE, STORED, VERSION, constant, frame, perform, stand_in, status

# (method, args, kwargs, constant sent, frame on the wire, result with the simulator's defaults)
SINGLE_EXCHANGES = [
    ("read_device_version", (), {}, "READ_DEV_VER", "7B 01 05 00 03 7C 7D", VERSION),
    ("read_optical_length", (), {}, "READ_OPTICAL_LEN", "7B 01 05 07 2E 4A 7D", [1310, 1490, 1535]),
    ("read_optical_length", (2,), {}, "READ_OPTICAL_LEN", "7B 02 05 07 2E 49 7D", [1310, 1550]),
    ("read_optical_length", (75,), {}, "READ_OPTICAL_LEN", "7B 4B 05 07 2E 00 7D", [1310, 1490, 1535]),
    ("read_current_status", (), {}, "READ_CURRENT_STATUS", "7B 01 05 14 36 35 7D", STATUS_IDLE),
    ("read_current_status", (2,), {}, "READ_CURRENT_STATUS", "7B 02 05 14 36 34 7D", STATUS_IDLE),
    ("read_current_status", (0,), {}, "READ_CURRENT_STATUS", "7B 00 05 14 36 36 7D", STATUS_IDLE),
    ("read_current_status", (255,), {}, "READ_CURRENT_STATUS", "7B FF 05 14 36 37 7D", STATUS_IDLE),
    ("set_attenuation", (1100, 1), {}, "SET_ATTENUATION", "7B 01 07 14 3C 6E 00 BF 7D", True),
    ("set_attenuation", (), {"attenuation": 5000, "ch": 2}, "SET_ATTENUATION", "7B 02 07 14 3C F4 01 37 7D", True),
    ("set_attenuation", (1239,), {}, "SET_ATTENUATION", "7B 01 07 14 3C 7B 00 B2 7D", True),
    ("set_attenuation", (1234,), {}, "SET_ATTENUATION", "7B 01 07 14 3C 7B 00 B2 7D", True),
    ("set_attenuation", (2560,), {}, "SET_ATTENUATION", "7B 01 07 14 3C 00 01 2C 7D", True),
    ("set_attenuation", (0,), {}, "SET_ATTENUATION", "7B 01 07 14 3C 00 00 2D 7D", True),
    ("set_attenuation", (-9,), {}, "SET_ATTENUATION", "7B 01 07 14 3C 00 00 2D 7D", True),
    ("set_attenuation", (655350,), {}, "SET_ATTENUATION", "7B 01 07 14 3C FF FF 2F 7D", True),
    ("set_attenuation", (655359, 255), {}, "SET_ATTENUATION", "7B FF 07 14 3C FF FF 31 7D", True),
    ("clear_attenuation", (), {}, "CLEAR_ATTENUATION", "7B 01 07 14 34 00 00 35 7D", True),
    ("clear_attenuation", (2,), {}, "CLEAR_ATTENUATION", "7B 02 07 14 34 00 00 34 7D", True),
    ("dis_connection", (), {}, "DIS_CONNECT", "7B 01 07 14 34 FF FF 37 7D", True),
    ("dis_connection", (), {"ch": 3}, "DIS_CONNECT", "7B 03 07 14 34 FF FF 35 7D", True),
    ("close_full_screen", (), {}, "CLOSE_FULLSCREEN", "7B 01 05 00 05 7A 7D", True),
]


@pytest.mark.parametrize(
    "method, args, kwargs, name, sent, result",
    SINGLE_EXCHANGES,
    ids=[f"{m}{a or ''}{k or ''}" for m, a, k, *_ in SINGLE_EXCHANGES],
)
def test_operation_sends_its_frame_and_decodes_the_reply(kq, sim, method, args, kwargs, name, sent, result):
    got = getattr(kq, method)(*args, **kwargs)
    assert got == result
    if isinstance(result, dict):
        assert list(got) == list(result)  # key order
    assert sim.frames() == [bytes.fromhex(sent)]
    assert constant(name) == frame(sent)  # the constant keeps the frame last sent


@pytest.mark.parametrize(
    "length, ch, lengths, sent",
    [
        (1490, 1, None, ["7B 01 05 07 2E 4A 7D", "7B 01 06 14 3A 01 2F 7D"]),
        (1310, 1, None, ["7B 01 05 07 2E 4A 7D", "7B 01 06 14 3A 00 30 7D"]),
        (1535, 1, None, ["7B 01 05 07 2E 4A 7D", "7B 01 06 14 3A 02 2E 7D"]),
        (1550, 2, None, ["7B 02 05 07 2E 49 7D", "7B 02 06 14 3A 01 2E 7D"]),
        (1310, 3, "1550,1310,1310", ["7B 03 05 07 2E 48 7D", "7B 03 06 14 3A 01 2D 7D"]),
        (1310, 2, "1535,1310", ["7B 02 05 07 2E 49 7D", "7B 02 06 14 3A 01 2E 7D"]),  # ch 2's own list
    ],
)
def test_set_optical_length_reads_the_list_then_selects_the_first_position(kq, sim, length, ch, lengths, sent):
    if lengths:
        sim.control(f"lengths {ch} {lengths}")
    assert kq.set_optical_length(length, ch) is True
    assert sim.frames() == [bytes.fromhex(f) for f in sent]
    position = bytes.fromhex(sent[1])[5]
    assert kq.read_current_status(ch)["optical_length_index"] == position


@pytest.mark.parametrize("length, ch", [(1550, 1), (1490, 2), (2**70, 1), (-1310, 1)])
def test_unsupported_length_is_refused_before_the_select_frame(kq, sim, length, ch):
    with pytest.raises(ValueError) as info:
        kq.set_optical_length(length, ch)
    assert str(info.value) == f"the length: {length} no supported yet!"
    assert len(sim.frames()) == 1
    assert constant("SET_OPTICAL_LEN") == frame(STORED["SET_OPTICAL_LEN"])


@pytest.mark.parametrize("control", ["lengths 1", "silent", "raw 00 7D"])
def test_set_optical_length_without_a_list_raises_runtime_error(kq, sim, control):
    sim.control(control)
    with pytest.raises(RuntimeError) as info:
        kq.set_optical_length(1310)
    assert str(info.value) == "device read failed! Please check your connection!"
    assert len(sim.frames()) == 1


LIST_REPLY = "raw 7B 01 0C 07 2E 03 1E 05 D2 05 FF 05 00 7D"


@pytest.mark.parametrize(
    "select_fault, result",
    [("silent", False), ("truncate", False), ("raw 7B 01 06 14 3A 01 00 7D", True), ("raw 7B", False)],
)
def test_select_reply_is_judged_on_its_delimiters_only(kq, sim, select_fault, result):
    sim.control(LIST_REPLY)
    sim.control(select_fault)
    assert kq.set_optical_length(1535) is result
    assert sim.frames()[1] == bytes.fromhex("7B 01 06 14 3A 02 2E 7D")


FAULTS = ["silent", "truncate", "raw 7B 7D", "raw 7B 01 02", "double"]
ACK = [False, False, True, False, True]
FAULT_OUTCOMES = {
    "read_device_version()": [None, None, None, None, None],
    "read_optical_length()": [None, None, IndexError, None, [1310, 1490, 1535]],
    "set_optical_length(1490)": [RuntimeError, RuntimeError, IndexError, RuntimeError, True],
    "read_current_status()": [None, None, IndexError, None, STATUS_IDLE],
    "set_attenuation(1100)": ACK,
    "clear_attenuation()": ACK,
    "dis_connection()": ACK,
    "close_full_screen()": ACK,
}


@pytest.mark.parametrize("call", FAULT_OUTCOMES)
@pytest.mark.parametrize("fault", FAULTS)
def test_faulty_reply_gives_the_documented_result(kq, sim, call, fault, capsys):
    sim.control(fault)
    assert perform(kq, call) == FAULT_OUTCOMES[call][FAULTS.index(fault)]
    assert kq.read_device_version() == VERSION  # nothing of the faulty reply is left behind
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "reply, call, result",
    [
        ("7B AA AA AA AA 02 32 20 00 7D", "read_device_version()", VERSION),
        ("7B AA AA AA AA 02 32 20 00 00 7D", "read_device_version()", None),
        ("7A AA AA AA AA 02 32 20 00 7D", "read_device_version()", None),
        ("7B AA AA AA AA 02 32 20 00 7C", "read_device_version()", None),
        ("7B 01 0C 07 2E 03 1E 05 D2 05 FF 05 00 7D", "read_optical_length()", [1310, 1490, 1535]),
        ("7B 01 0A 07 2E 04 00 00 FF 00 00 01 FF FF 00 7D", "read_optical_length()", [0, 255, 256, 65535]),
        ("7B 01 06 07 2E 00 00 7D", "read_optical_length()", []),
        ("7B 01 00 07 2E 01 1E 7D", "read_optical_length()", [0x7D1E]),  # values run into the end byte
        ("7B 01 08 07 2E 03 1E 05 D2 7D", "read_optical_length()", IndexError),
        ("7B 01 02 03 7D", "read_optical_length()", IndexError),
        ("7B AA AA AA AA 00 AA 02 F4 01 AA 7D", "read_current_status()", status(0, 2, 5000)),
        ("7B 01 0A 14 36 05 00 01 6E 00 7D", "read_current_status()", status(5, 1, 1100)),
        ("7B 01 02 03 04 05 06 07 7D", "read_current_status()", IndexError),
        ("7B 01 02 7D", "read_current_status()", IndexError),
        ("7B 01 02 7D", "set_attenuation(1100)", True),
        ("7D 7B", "clear_attenuation()", False),
        ("7B 01 07 14 3C 6E 00 00 7D", "set_attenuation(1100)", True),  # wrong checksum
    ],
)
def test_reply_bytes_are_decoded_by_position(kq, sim, reply, call, result):
    sim.control("raw " + reply)
    assert perform(kq, call) == result


def test_status_reports_the_state_the_operations_left(kq, sim):
    sim.control("mode 3 7")
    assert kq.set_attenuation(1239, 3) is True
    assert kq.set_optical_length(1535, 3) is True
    assert kq.read_current_status(3) == status(7, 2, 1230)
    assert kq.clear_attenuation(3) is True
    assert kq.read_current_status(3)["attenuation"] == 0
    assert kq.set_attenuation(655359, 3) is True
    assert kq.read_current_status(3)["attenuation"] == 655350


def test_close_full_screen_always_sends_the_stored_frame(kq, sim):
    assert kq.clear_attenuation(7) and kq.dis_connection(9) and kq.read_optical_length(4)
    assert kq.close_full_screen() is True
    assert sim.frames()[-1] == bytes.fromhex(STORED["CLOSE_FULLSCREEN"])


@pytest.mark.parametrize(
    "call, replies, results",
    [("read_device_version()",
      ["7B AA AA AA AA 02 32 20 00 7D", "7B AA AA AA AA 02 32 20 00 7D", "7B AA AA AA AA 03 32 20 00 7D"],
      [VERSION, VERSION, dict(VERSION, module_version=3)]),
     ("read_current_status()",
      ["7B AA AA AA AA 00 AA 02 F4 01 AA 7D", "7B AA AA AA AA 00 AA 02 F4 01 AA 7D", "7B AA AA AA AA 00 AA 02 F5 01 AA 7D"],
      [status(0, 2, 5000), status(0, 2, 5000), status(0, 2, 5010)])],
)
def test_each_result_dict_is_new_and_untouched_by_what_callers_did_to_earlier_ones(call, replies, results):
    device = stand_in(*(bytes.fromhex(reply) for reply in replies))
    seen = []
    for expected in results:
        result = perform(device, call)
        assert result == expected and list(result) == list(expected)
        assert all(result is not earlier for earlier in seen)
        seen.append(result)
        result.clear()
        result["added"] = 1
