"""The KQ5316 class as a Python program sees it: signatures, docstrings, attributes of the
method objects, the class namespace and every way an argument is refused."""

import ctypes
import inspect
import subprocess
import sys
import textwrap
import types

import pytest

import kq5316
from kq5316 import KQ5316
from support import STORED as STORED_FRAMES, StandInPort

# stored name, signature as inspect renders it, annotations in order
METHODS = [
    ("__init__", "(self, serial_port: 'str')", [("serial_port", "str")]),
    ("_KQ5316__check_crc", "(self, data: 'list') -> 'bool'", [("data", "list"), ("return", "bool")]),
    ("_KQ5316__cal_crc", "(self, data: 'list') -> 'None'", [("data", "list"), ("return", "None")]),
    ("_KQ5316__read", "(self)", []),
    ("_KQ5316__write_and_read", "(self, cmd: 'bytes')", [("cmd", "bytes")]),
    ("read_device_version", "(self)", []),
    ("read_optical_length", "(self, ch: 'int' = 1)", [("ch", "int")]),
    ("set_optical_length", "(self, length: 'int', ch: 'int' = 1)", [("length", "int"), ("ch", "int")]),
    ("read_current_status", "(self, ch: 'int' = 1)", [("ch", "int")]),
    ("close_full_screen", "(self) -> 'bool'", [("return", "bool")]),
    ("set_attenuation", "(self, attenuation: 'int', ch: 'int' = 1) -> 'bool'",
     [("attenuation", "int"), ("ch", "int"), ("return", "bool")]),
    ("clear_attenuation", "(self, ch: 'int' = 1) -> 'bool'", [("ch", "int"), ("return", "bool")]),
    ("dis_connection", "(self, ch: 'int' = 1)", [("ch", "int")]),
    ("check_port_available", "(self) -> 'bool'", [("return", "bool")]),
    ("open", "(self) -> 'bool'", [("return", "bool")]),
    ("close", "(self)", []),
]
STORED = [row[0] for row in METHODS]
CONSTANTS = ["_KQ5316__CMD_" + name for name in STORED_FRAMES]


def plain_name(stored):
    return stored.removeprefix("_KQ5316")


@pytest.fixture
def kq(monkeypatch):
    monkeypatch.setattr(kq5316, "time", types.SimpleNamespace(sleep=lambda seconds: None))
    obj = KQ5316("/dev/null-port")
    obj.ser = StandInPort()  # never answers
    return obj


def snapshot_constants():
    return {name: list(vars(KQ5316)[name]) for name in CONSTANTS}


@pytest.mark.parametrize("stored, signature, annotations", METHODS, ids=STORED)
def test_method_objects_look_like_python_functions(stored, signature, annotations):
    func = vars(KQ5316)[stored]
    params = [name for name, _ in annotations if name != "return"]
    assert str(inspect.signature(func)) == signature
    assert list(func.__annotations__.items()) == annotations
    assert func.__defaults__ == ((1,) if "ch" in params else None)
    assert func.__kwdefaults__ is None
    assert func.__name__ == plain_name(stored)
    assert func.__qualname__ == "KQ5316." + plain_name(stored)
    assert func.__module__ == "kq5316"
    code = func.__code__
    assert code.co_name == plain_name(stored)
    assert code.co_varnames[:code.co_argcount] == ("self", *params)
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0


@pytest.mark.parametrize("stored", STORED)
def test_methods_bind_to_instances_and_stay_plain_on_the_class(stored):
    func = vars(KQ5316)[stored]
    obj = KQ5316("COM3")
    assert getattr(KQ5316, stored) is func
    bound = getattr(obj, stored)
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is func and bound.__self__ is obj


DOCSTRINGS = {
    "__init__": "initialize serial port\n"
                "        :param serial_port:\n"
                "        For Windows, 'COM3', 'COM4' ...\n"
                "        For Linux/MacOS, '/dev/ttyUSB0', '/dev/ttyUSB1'...\n"
                "        ",
    "_KQ5316__check_crc": "\n"
                          "        Verify the CRC of the received message.\n"
                          "\n"
                          "        :param data: List of bytes representing the message received \n"
                          "                     from the device.\n"
                          "        :return: True if the CRC is valid, False otherwise.\n"
                          "        ",
    "clear_attenuation": " Set the attenuation of the channel\n"
                         "        The KQ5316 device precision is 0.01db\n"
                         "        :param attenuation: unit is mdb, 1 db = 1000 mdb\n"
                         "        :param ch:the channel to set, default 1\n"
                         "        ",
    "open": " open the serial port\n"
            "        :return bool: True if open sucess, else False\n"
            "        ",
    "close": None,
}


@pytest.mark.parametrize("stored", STORED)
def test_docstrings_are_verbatim_and_end_with_a_line_of_eight_blanks(stored):
    doc = vars(KQ5316)[stored].__doc__
    if stored in DOCSTRINGS:
        assert doc == DOCSTRINGS[stored]
    else:
        assert doc.endswith("\n" + " " * 8)


def test_class_is_a_plain_type_with_namespace_in_definition_order():
    assert type(KQ5316) is type and KQ5316.__bases__ == (object,)
    assert (KQ5316.__name__, KQ5316.__qualname__, KQ5316.__module__) == ("KQ5316", "KQ5316", "kq5316")
    assert KQ5316.__doc__ is None
    keys, defined = list(vars(KQ5316)), ["__module__", *CONSTANTS, *STORED]
    assert keys[:len(defined)] == defined
    assert set(keys[len(defined):]) <= {"__dict__", "__weakref__", "__doc__"}
    for absent in ("__slots__", "__del__", "__enter__", "__exit__"):
        assert absent not in vars(KQ5316)
    assert vars(KQ5316("COM3")) == {"port": "COM3"}


def test_private_names_exist_only_in_their_class_mangled_form():
    for key in vars(KQ5316):
        assert not key.startswith("__") or key.endswith("__"), key
    obj = KQ5316("COM3")
    with pytest.raises(AttributeError):
        getattr(obj, "__cal_crc")
    with pytest.raises(AttributeError):
        getattr(KQ5316, "__CMD_READ_DEV_VER")
    assert obj._KQ5316__cal_crc.__func__ is vars(KQ5316)["_KQ5316__cal_crc"]
    assert all(type(vars(KQ5316)[name]) is list for name in CONSTANTS)


def test_assigning_defaults_does_not_change_the_channel_calls_use(kq, monkeypatch):
    func = KQ5316.read_optical_length
    monkeypatch.setattr(func, "__defaults__", (7,))
    assert func.__defaults__ == (7,)
    kq.read_optical_length()
    assert kq.ser.written[-1][1] == 1


def test_every_parameter_may_be_given_by_keyword_self_included(kq):
    assert KQ5316(serial_port="COM4").port == "COM4"
    KQ5316.set_attenuation(ch=2, attenuation=1100, self=kq)
    frame = kq.ser.written[-1]
    assert (frame[1], frame[5], frame[6]) == (2, 0x6E, 0x00)


def incorrect(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


IntSub, StrSub, ListSub, BytesSub = (type(base.__name__.title() + "Sub", (base,), {})
                                     for base in (int, str, list, bytes))
# Type names the message must show as the formatter does: non-ASCII, and cut at 200 bytes.
Wide = type("Größe", (), {})
Long = type("L" * 250, (), {})


REFUSALS = [
    (lambda k: k.open(1), "open() takes exactly 1 positional argument (2 given)"),
    (lambda k: KQ5316.open(), "open() takes exactly 1 positional argument (0 given)"),
    (lambda k: KQ5316.__init__(k), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda k: KQ5316.__init__(k, "a", "b"), "__init__() takes exactly 2 positional arguments (3 given)"),
    (lambda k: k._KQ5316__cal_crc(), "__cal_crc() takes exactly 2 positional arguments (1 given)"),
    (lambda k: k._KQ5316__read(b""), "__read() takes exactly 1 positional argument (2 given)"),
    (lambda k: k.set_attenuation(), "set_attenuation() takes at least 2 positional arguments (1 given)"),
    (lambda k: k.set_attenuation(ch=2), "set_attenuation() takes at least 2 positional arguments (1 given)"),
    (lambda k: k.read_optical_length(1, 2), "read_optical_length() takes at most 2 positional arguments (3 given)"),
    (lambda k: k.set_optical_length(1310, 1, 2), "set_optical_length() takes at most 3 positional arguments (4 given)"),
    (lambda k: k.set_attenuation(1100, channel=2), "set_attenuation() got an unexpected keyword argument 'channel'"),
    (lambda k: k.open(x=1), "open() got an unexpected keyword argument 'x'"),
    (lambda k: KQ5316.__init__(k, "COM3", port="COM3"), "__init__() got an unexpected keyword argument 'port'"),
    (lambda k: k.set_attenuation(1100, attenuation=1), "set_attenuation() got multiple values for keyword argument 'attenuation'"),
    (lambda k: KQ5316.open(k, self=k), "open() got multiple values for keyword argument 'self'"),
    (lambda k: KQ5316.__init__(k, None), incorrect("serial_port", "str", "NoneType")),
    (lambda k: KQ5316.__init__(k, b"COM3"), incorrect("serial_port", "str", "bytes")),
    (lambda k: KQ5316.__init__(k, StrSub("COM3")), incorrect("serial_port", "str", "StrSub")),
    (lambda k: k.set_attenuation(1100.0), incorrect("attenuation", "int", "float")),
    (lambda k: k.set_attenuation(True), incorrect("attenuation", "int", "bool")),
    (lambda k: k.set_attenuation(IntSub(1100)), incorrect("attenuation", "int", "IntSub")),
    (lambda k: k.set_attenuation(1100, True), incorrect("ch", "int", "bool")),
    (lambda k: k.set_attenuation(1100, None), incorrect("ch", "int", "NoneType")),
    (lambda k: k.set_attenuation(ch=None, attenuation="1"), incorrect("attenuation", "int", "str")),
    (lambda k: k.set_optical_length(None, 1.0), incorrect("length", "int", "NoneType")),
    (lambda k: k.read_optical_length(False), incorrect("ch", "int", "bool")),
    (lambda k: k.read_current_status("1"), incorrect("ch", "int", "str")),
    (lambda k: k.clear_attenuation(IntSub(1)), incorrect("ch", "int", "IntSub")),
    (lambda k: k.dis_connection(1.0), incorrect("ch", "int", "float")),
    (lambda k: k.dis_connection(Wide()), incorrect("ch", "int", "Größe")),
    (lambda k: k.dis_connection(Long()), incorrect("ch", "int", "L" * 200)),
    (lambda k: k._KQ5316__check_crc((0x7B, 0x7D)), incorrect("data", "list", "tuple")),
    (lambda k: k._KQ5316__cal_crc(ListSub([0x7B, 0, 0x7D])), incorrect("data", "list", "ListSub")),
    (lambda k: k._KQ5316__write_and_read(bytearray(b"{")), incorrect("cmd", "bytes", "bytearray")),
    (lambda k: k._KQ5316__write_and_read(BytesSub(b"{")), incorrect("cmd", "bytes", "BytesSub")),
]


@pytest.mark.parametrize("call, message", REFUSALS, ids=[m for _, m in REFUSALS])
def test_refusals_raise_exact_type_errors_before_any_effect(kq, call, message):
    constants = snapshot_constants()
    state = dict(vars(kq))
    with pytest.raises(TypeError) as info:
        call(kq)
    assert str(info.value) == message
    assert snapshot_constants() == constants
    assert vars(kq) == state and kq.ser.written == []


def vectorcall(func, positional, keywords):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    values = [*positional, *keywords.values()]
    return call(func, (ctypes.py_object * len(values))(*values), len(positional), tuple(keywords))


@pytest.mark.parametrize("stored, positional", [("open", 0), ("set_attenuation", 1), ("read_optical_length", 0)])
def test_a_keyword_that_is_not_a_string_is_refused(kq, stored, positional):
    func = vars(KQ5316)[stored]
    with pytest.raises(TypeError) as info:
        vectorcall(func, [kq, *[1100] * positional], {7: 1})
    assert str(info.value) == f"{plain_name(stored)}() keywords must be strings"
    assert kq.ser.written == []


def test_method_attributes_are_fixed_at_class_creation():
    # In a fresh interpreter, so that nothing has changed these attributes before.
    script = textwrap.dedent("""
        from kq5316 import KQ5316
        func = KQ5316.set_attenuation
        assert func.__annotations__ is func.__annotations__
        del func.__doc__
        assert func.__doc__ is None
        func.__qualname__ = "renamed"
        assert repr(func).startswith("<function renamed at ")
        code = func.__code__
        assert code.co_qualname == "KQ5316.set_attenuation", code.co_qualname
        assert func.__code__ is code
        try:
            func.__code__ = code
        except AttributeError as error:
            print(error)
        """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "readonly attribute\n"


# Clears a method object as the cycle collector would, then reads every attribute it has.
CLEARED_METHOD = """
import ctypes
from kq5316 import KQ5316

method = KQ5316.set_attenuation
get_slot = ctypes.pythonapi.PyType_GetSlot
get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(method), 51))  # tp_clear
assert clear(method) == 0
values = {name: getattr(method, name) for name in dir(method)}
repr(method), str(values)
assert values["__defaults__"] is None and values["__annotations__"] == {}
"""


def test_method_objects_stay_readable_after_the_collector_clears_them():
    result = subprocess.run([sys.executable, "-c", CLEARED_METHOD], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
