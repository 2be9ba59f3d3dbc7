"""What importing kq5316 does: the module namespace, the usage text, re-import, and the imports
that must fail (second interpreter, second module object, pyserial missing)."""

import builtins
import importlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import kq5316

USAGE = (
    "\n"
    "Basic Usage:\n"
    "from kq5316 import KQ5316\n"
    "\n"
    'kq = KQ5316("/dev/cu.PL2303G-USBtoUART2110")\n'
    "if kq.open():\n"
    "    dev_ver = kq.read_device_version()\n"
    "    print(dev_ver)\n"
    "\n"
    "    # set chnnel 1 to 1.1db\n"
    "    kq.set_attenuation(1100, 1)\n"
)
IMPORT_ATTRIBUTES = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__"}


def run_python(code, tmp_path):
    """Runs `code` in a fresh interpreter with the test runner's environment (PYTHONPATH included)."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_module_binds_its_names_in_import_order():
    names = [name for name in vars(kq5316) if name not in IMPORT_ATTRIBUTES]
    assert names == ["__builtins__", "platform", "serial", "time", "subprocess", "KQ5316", "__test__"]
    assert kq5316.__builtins__ is builtins
    for module in ("platform", "serial", "time", "subprocess"):
        assert getattr(kq5316, module) is sys.modules[module]
    assert kq5316.__test__ == {} and type(kq5316.__test__) is dict
    assert kq5316.__name__ == "kq5316"


def test_import_attributes_name_the_loaded_file():
    spec = kq5316.__spec__
    assert spec.name == kq5316.__name__
    assert (kq5316.__file__, kq5316.__loader__, kq5316.__package__) == (
        spec.origin, spec.loader, spec.parent)


def test_module_doc_is_the_usage_text():
    assert kq5316.__doc__ == USAGE


def test_reimport_after_removal_from_sys_modules_returns_the_same_module(monkeypatch):
    cls, constant = kq5316.KQ5316, kq5316.KQ5316._KQ5316__CMD_READ_DEV_VER
    monkeypatch.setattr(kq5316, "reimport_marker", "kept", raising=False)
    monkeypatch.delitem(sys.modules, "kq5316")
    again = importlib.import_module("kq5316")
    assert again is kq5316 and again.reimport_marker == "kept"
    assert again.KQ5316 is cls and again.KQ5316._KQ5316__CMD_READ_DEV_VER is constant
    assert importlib.reload(kq5316) is kq5316 and kq5316.KQ5316 is cls


def test_import_in_a_second_interpreter_is_refused(tmp_path):
    lines = run_python("""
        import _xxsubinterpreters as interpreters
        import kq5316
        interp = interpreters.create()
        interpreters.run_string(interp, '''if True:
            try:
                import kq5316
            except ImportError as error:
                print(type(error).__name__, error)
            else:
                print("imported")
        ''')
        interpreters.destroy(interp)
        print(kq5316.KQ5316.__name__)
    """, tmp_path)
    assert lines == [
        "ImportError Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.",
        "KQ5316",
    ]


def test_executing_the_module_for_another_module_object_is_refused(tmp_path):
    lines = run_python("""
        import ctypes, types
        import kq5316
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(kq5316)
        print(api.PyModule_ExecDef(kq5316, definition))
        other = types.ModuleType("kq5316")
        try:
            api.PyModule_ExecDef(other, definition)
        except RuntimeError as error:
            print(error)
        print(hasattr(other, "KQ5316"))
    """, tmp_path)
    assert lines == [
        "0",
        "Module 'kq5316' has already been imported. Re-initialisation is not supported.",
        "False",
    ]


def test_import_without_pyserial_fails_and_a_later_import_starts_again(tmp_path):
    lines = run_python("""
        import sys
        for name in ("platform", "subprocess"):
            sys.modules.pop(name, None)
        sys.modules["serial"] = None
        try:
            import kq5316
        except ImportError as error:
            print(type(error).__name__)
        print("platform" in sys.modules, "subprocess" in sys.modules, "kq5316" in sys.modules)
        del sys.modules["serial"]
        import kq5316
        print(list(vars(kq5316))[-7:])
    """, tmp_path)
    assert lines == [
        "ModuleNotFoundError",
        "True False False",
        "['__builtins__', 'platform', 'serial', 'time', 'subprocess', 'KQ5316', '__test__']",
    ]


# What compiled C++ needs to throw, catch or run cleanups while a thread unwinds: none of it may be
# in the module, so that no C++ exception can reach the interpreter and a thread that the
# interpreter ends at exit runs no destructor of the module's without the GIL.
UNWINDING = re.compile(r"^(__gxx_personality|_Unwind_Resume|__cxa_throw|__cxa_begin_catch|_Zn[wa]|_ZSt.*__throw_)")


@pytest.mark.skipif(not sys.platform.startswith("linux") or not shutil.which("nm"),
                    reason="reads ELF symbols with nm")
def test_module_needs_no_cxx_exception_or_unwinding_support():
    listed = subprocess.run(["nm", "-D", "--undefined-only", kq5316.__file__], capture_output=True,
                            text=True, check=True).stdout.split()
    assert [symbol for symbol in listed if UNWINDING.match(symbol)] == []
