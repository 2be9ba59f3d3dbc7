"""Hostile replies, hostile lists and hostile argument mixes, property-based.

Replies and argument mixes run in a child interpreter, a batch of calls per example, so that a
crash of the extension fails the test (and is shrunk to a small batch) instead of ending the run.
"""

import inspect
import pickle
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kq5316 import KQ5316

BATCHES = settings(max_examples=20, deadline=None, database=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def _child_main():
    """Reads a pickled list of calls on stdin and writes the outcome of each on stdout."""
    import pickle
    import sys
    import types

    import kq5316
    from kq5316 import KQ5316
    from support import StandInPort

    out, sys.stdout = sys.stdout.buffer, sys.stderr  # open() may print
    stored = {n: list(v) for n, v in vars(KQ5316).items() if n.startswith("_KQ5316__CMD_")}

    kq5316.time = types.SimpleNamespace(sleep=lambda seconds: None)
    kq5316.subprocess = types.SimpleNamespace(
        PIPE=-1, run=lambda *a, **k: types.SimpleNamespace(stdout=b""))
    kq5316.serial = types.SimpleNamespace(Serial=lambda *a, **k: StandInPort(), SerialException=OSError)
    types_by_tag = {"intsub": type("IntSub", (int,), {}), "strsub": type("StrSub", (str,), {}),
                    "listsub": type("ListSub", (list,), {}), "list": list}

    def run(call):
        for name, value in stored.items():
            vars(KQ5316)[name][:] = value
        kq = KQ5316("/dev/in-memory")
        kq.ser = port = StandInPort(*call.get("replies", ()))
        made = []  # every argument built, to see what __cal_crc stored into lists

        def value(tag, payload=None):
            made.append(kq if tag == "kq" else types_by_tag.get(tag, lambda v: v)(payload))
            return made[-1]

        target = getattr(kq if call.get("via") == "bound" else KQ5316, call["method"])
        try:
            result = ("ok", repr(target(*[value(*v) for v in call["args"]],
                                        **{k: value(*v) for k, v in call["kwargs"]})))
        except Exception as error:
            result = ("raise", type(error).__name__, str(error))
        lists = repr([m for m in made if type(m) in (list, types_by_tag["listsub"])])
        frames = [list(c[1]) if c[0] == "write" else c[0] for c in port.calls
                  if c[0] in ("write", "close")]
        return result, frames, vars(kq).get("port"), lists

    pickle.dump([run(call) for call in pickle.load(sys.stdin.buffer)], out)


CHILD = inspect.getsource(_child_main) + "\n_child_main()\n"
TESTS = Path(__file__).parent  # the child imports support from here


def run_in_child(calls):
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", CHILD],
                          input=pickle.dumps(calls), capture_output=True, timeout=120, cwd=TESTS)
    assert proc.returncode == 0, (
        f"child interpreter ended with status {proc.returncode}:\n{proc.stderr.decode()[-3000:]}")
    return pickle.loads(proc.stdout)


# ---------------------------------------------------------------- replies to every operation

def accepted(reply):
    return len(reply) > 0 and reply[0] == 0x7B and reply[-1] == 0x7D


def decode_lengths(reply):
    return [reply[6 + 2 * i] | reply[7 + 2 * i] << 8 for i in range(reply[5])]


def first_frame(method, args):
    """The frame an operation sends first, built from its arguments."""
    ch, steps = (args[-1] if args else 1), int(args[0] / 10) if len(args) == 2 else 0
    command, params = {
        "read_device_version": ((0x00, 0x03), ()), "close_full_screen": ((0x00, 0x05), ()),
        "read_optical_length": ((0x07, 0x2E), ()), "set_optical_length": ((0x07, 0x2E), ()),
        "read_current_status": ((0x14, 0x36), ()), "clear_attenuation": ((0x14, 0x34), (0, 0)),
        "dis_connection": ((0x14, 0x34), (255, 255)),
        "set_attenuation": ((0x14, 0x3C), (steps & 0xFF, steps >> 8))}[method]
    return request(command, ch, *params)


def request(command, ch, *params):
    body = [0x7B, ch, 5 + len(params), *command, *params]
    return body + [-sum(body) & 0xFF, 0x7D]


def expected(method, args, replies):
    """The result (value, or exception name and message) and the frames the operation writes."""
    reply, frames = replies[0], [first_frame(method, args)]
    ok = accepted(reply)
    if method == "read_device_version":
        keys = ["module_version", "hard_version", "soft_version"]
        return ("ok", dict(zip(keys, reply[5:8])) if ok and len(reply) == 10 else None), frames
    if method == "read_current_status":
        if ok and len(reply) < 10:
            return ("raise", "IndexError"), frames
        return ("ok", {"dev_work_mode": reply[5], "optical_length_index": reply[7],
                       "attenuation": (reply[8] | reply[9] << 8) * 10} if ok else None), frames
    if method not in ("read_optical_length", "set_optical_length"):
        return ("ok", ok), frames  # an acknowledgement
    try:
        lengths = decode_lengths(reply) if ok else None
    except IndexError:
        return ("raise", "IndexError"), frames
    if method == "read_optical_length":
        return ("ok", lengths), frames
    if not lengths:
        return ("raise", "RuntimeError",
                "device read failed! Please check your connection!"), frames
    if args[0] not in lengths:
        return ("raise", "ValueError", f"the length: {args[0]} no supported yet!"), frames
    select = request((0x14, 0x3A), args[1], lengths.index(args[0]))
    return ("ok", accepted(replies[1])), frames + [select]


DELIMITED = st.binary(max_size=62).map(lambda body: b"\x7b" + body + b"\x7d")
REPLIES = st.one_of(
    st.binary(max_size=64), DELIMITED, st.binary(min_size=8, max_size=8).map(
        lambda body: b"\x7b" + body + b"\x7d"),  # a version reply's length
    st.builds(lambda head, values, tail, cut: (b"\x7b" + head + bytes([len(values)]) + b"".join(
        v.to_bytes(2, "little") for v in values) + tail)[:-cut or None] + b"\x7d",
        st.binary(min_size=4, max_size=4), st.lists(st.integers(0, 65535), max_size=28),
        st.binary(max_size=3), st.integers(0, 3)))  # a length list, its end cut off or not
CH = st.integers(0, 255)
ARGUMENTS = {"read_device_version": st.just(()), "close_full_screen": st.just(()),
             **{m: st.tuples(CH) for m in ("read_optical_length", "read_current_status",
                                           "clear_attenuation", "dis_connection")},
             "set_attenuation": st.tuples(st.integers(-9, 655359), CH)}


@st.composite
def reply_cases(draw):
    method = draw(st.sampled_from([*ARGUMENTS, "set_optical_length"]))
    replies = [draw(REPLIES), draw(REPLIES)]
    if method != "set_optical_length":
        return method, draw(ARGUMENTS[method]), replies
    try:
        lengths = decode_lengths(replies[0]) or [1310]
    except IndexError:
        lengths = [1310]
    return method, (draw(st.one_of(st.sampled_from(lengths), st.integers(0, 65535))),
                    draw(CH)), replies


@BATCHES
@given(st.lists(reply_cases(), min_size=30, max_size=80))
def test_every_reply_gives_the_decoded_value_or_the_same_exception(figures, cases):
    figures.add("hostile replies", len(cases))
    calls = [{"method": m, "via": "bound", "args": [("int", a) for a in args], "kwargs": [],
              "replies": replies} for m, args, replies in cases]
    for case, (result, frames, *_) in zip(cases, run_in_child(calls), strict=True):
        want, want_frames = expected(*case)
        if want[0] == "ok":
            want = ("ok", repr(want[1]))
        assert result[:len(want)] == want, case
        assert frames == want_frames, case


# ---------------------------------------------------------------- the checksum methods

def model_checksum(items):
    return (~sum(items[:-2]) + 1) & 0xFF


@settings(max_examples=300, deadline=None, database=None)
@given(st.lists(st.one_of(st.integers(0, 255), st.integers()), max_size=300),
       st.lists(st.tuples(st.integers(0, 299),
                          st.one_of(st.floats(), st.text(max_size=2), st.none(), st.booleans())),
                max_size=2))
def test_checksum_methods_agree_with_the_additive_model(figures, items, odd):
    figures.add("random checksum lists")
    for index, element in odd:
        if index < len(items):
            items[index] = element
    kq = KQ5316("/dev/unused")
    for method in ("_KQ5316__cal_crc", "_KQ5316__check_crc"):
        data = list(items)
        try:
            want = list(items)
            want[-2] = model_checksum(items)
        except (IndexError, TypeError) as error:
            with pytest.raises(type(error)):
                getattr(kq, method)(data)
            assert data == items
            continue
        result = getattr(kq, method)(data)
        if method == "_KQ5316__cal_crc":
            assert result is None and data == want
        else:
            assert result is (items[-2] == want[-2]) and data == items


# ---------------------------------------------------------------- argument binding

ONE = ("int", 1)  # the default of ch, tagged like every drawn value
# Python functions with the same parameters as each method; they return what they bound.
REFERENCE = {
    "__init__": (lambda self, serial_port: locals(), {"serial_port": "str"}),
    "_KQ5316__check_crc": (lambda self, data: locals(), {"data": "list"}),
    "_KQ5316__cal_crc": (lambda self, data: locals(), {"data": "list"}),
    "_KQ5316__write_and_read": (lambda self, cmd: locals(), {"cmd": "bytes"}),
    **{m: (lambda self: locals(), {}) for m in (
        "_KQ5316__read", "read_device_version", "close_full_screen", "check_port_available",
        "open", "close")},
    **{m: (lambda self, ch=ONE: locals(), {"ch": "int"}) for m in (
        "read_optical_length", "read_current_status", "clear_attenuation", "dis_connection")},
    "set_optical_length": (lambda self, length, ch=ONE: locals(), {"length": "int", "ch": "int"}),
    "set_attenuation": (lambda self, attenuation, ch=ONE: locals(),
                        {"attenuation": "int", "ch": "int"}),
}
TYPE_NAMES = {"kq": "KQ5316", "intsub": "IntSub", "strsub": "StrSub", "listsub": "ListSub"}
FRAME = (0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x7D)
ANY_VALUE = st.one_of(
    st.tuples(st.just("int"), st.integers(-300, 70000) | st.sampled_from([2**64, -2**70])),
    st.sampled_from([("kq",), ("bool", True), ("float", 1.5), ("str", "/dev/other"),
                     ("strsub", "/dev/other"), ("intsub", 3), ("bytes", b"\x7b\x7d"),
                     ("NoneType", None), ("listsub", FRAME)]),
    st.tuples(st.just("list"), st.lists(st.integers(0, 255), max_size=9).map(tuple)))
GOOD_VALUE = {
    "self": st.just(("kq",)), "ch": st.tuples(st.just("int"), CH),
    "length": st.tuples(st.just("int"), st.sampled_from([1310, 1490, 1535, 1550])),
    "attenuation": st.tuples(st.just("int"), st.integers(-9, 655359)),
    "serial_port": st.just(("str", "/dev/other")), "cmd": st.just(("bytes", b"\x01")),
    "data": st.just(("list", FRAME))}


@st.composite
def argument_mixes(draw):
    method = draw(st.sampled_from(sorted(REFERENCE)))
    via = draw(st.sampled_from(["bound", "class"]))  # kq.method(...) or KQ5316.method(kq, ...)
    params = list(inspect.signature(REFERENCE[method][0]).parameters)[via == "bound":]
    given = [p for p in params if p != "ch" or draw(st.booleans())]
    split = draw(st.integers(0, len(given)))
    # about half the calls are well formed; the others get up to two of these faults
    faults = set() if draw(st.booleans()) else draw(st.sets(st.sampled_from(
        ["wrong value", "extra positional", "extra keyword", "missing"]), min_size=1, max_size=2))
    wrong = draw(st.sampled_from(given)) if given and "wrong value" in faults else None
    values = {p: draw(ANY_VALUE if p == wrong else GOOD_VALUE[p]) for p in given}
    args, kwargs = [values[p] for p in given[:split]], {p: values[p] for p in given[split:]}
    if "extra positional" in faults:
        args.append(draw(ANY_VALUE))
    if "extra keyword" in faults:  # unknown, given twice, "self" again or not a string
        kwargs[draw(st.sampled_from([*params, "self", "chan", "timeout", 7]))] = draw(ANY_VALUE)
    if "missing" in faults and kwargs:
        kwargs.popitem()
    return {"method": method, "via": via, "args": args, "kwargs": list(kwargs.items())}


def binding_expectation(call):
    """None when Python refuses the binding, else (positional arguments, type refusal or None)."""
    reference, annotations = REFERENCE[call["method"]]
    try:
        bound = reference(*([("kq",)] if call["via"] == "bound" else []), *call["args"],
                          **dict(call["kwargs"]))
    except TypeError:
        return None
    for name, want in annotations.items():
        got = TYPE_NAMES.get(bound[name][0], bound[name][0])
        if got != want:
            return list(bound.values()), (
                f"Argument '{name}' has incorrect type (expected {want}, got {got})")
    return list(bound.values()), None


@BATCHES
@given(st.lists(argument_mixes(), min_size=40, max_size=100))
def test_arguments_bind_as_python_binds_them_or_raise_type_error(figures, calls):
    figures.add("random argument mixes", len(calls))
    # each call is followed by the same method called with Python's binding, all positional
    plain = [{"method": c["method"], "args": e[0] if e else [], "kwargs": []}
             for c, e in ((c, binding_expectation(c)) for c in calls)]
    outcomes = run_in_child([c for pair in zip(calls, plain) for c in pair])
    for call, outcome, reference in zip(calls, outcomes[::2], outcomes[1::2], strict=True):
        expectation, result = binding_expectation(call), outcome[0]
        if expectation is None:
            assert result[:2] == ("raise", "TypeError"), call
        elif expectation[1] is not None:
            assert result == ("raise", "TypeError", expectation[1]), call
            assert outcome[1] == [], call  # refused before anything reached the port
        else:
            assert outcome == reference, call
            assert result[:2] != ("raise", "TypeError"), call
