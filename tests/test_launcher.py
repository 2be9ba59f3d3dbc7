"""The demonstration launcher kq5316-demo, run as a program: its output, its exit status and what
it sends to the instrument at its fixed port, with nothing there, with the simulated instrument
linked there, and when the module cannot be initialised; run from a moved environment, and where
it finds no usable Python library."""

import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import pytest
import serial

fcntl = pytest.importorskip("fcntl", reason="the launcher's fixed port is a POSIX device path")

PORT = "/dev/cu.PL2303G-USBtoUART2110"
LOCK_PATH = Path(tempfile.gettempdir()) / "kq5316-demo-port.lock"
RUN_TIMEOUT = 60  # a full run takes about 12 s (two pauses of 5 s)

SEQUENCE = [bytes.fromhex(frame) for frame in (
    "7B 01 05 00 03 7C 7D",        # read the version
    "7B 01 05 07 2E 4A 7D",        # optical lengths, channel 1
    "7B 02 05 07 2E 49 7D",        # optical lengths, channel 2
    "7B 01 05 14 36 35 7D",        # status, channel 1
    "7B 02 05 14 36 34 7D",        # status, channel 2
    "7B 01 07 14 3C 6E 00 BF 7D",  # 1100 mdB on channel 1
    "7B 02 07 14 3C 6E 00 BE 7D",  # 1100 mdB on channel 2
    "7B 01 07 14 34 00 00 35 7D",  # clear channel 1
    "7B 02 07 14 34 00 00 34 7D",  # clear channel 2
    "7B 01 05 00 05 7A 7D",        # close the full-screen display
)]
ANSWERED_READINGS = [
    "{'module_version': 2, 'hard_version': 50, 'soft_version': 32}",
    "[1310, 1490, 1535]",
    "[1310, 1550]",
    "{'dev_work_mode': 0, 'optical_length_index': 0, 'attenuation': 2500}",
    "{'dev_work_mode': 1, 'optical_length_index': 0, 'attenuation': 0}",
]


def find_launcher():
    configured = os.environ.get("KQ5316_DEMO")
    if configured:
        return configured
    beside = Path(sys.executable).parent / "kq5316-demo"
    if beside.exists():
        return str(beside)
    return shutil.which("kq5316-demo")


@pytest.fixture(scope="module")
def launcher():
    found = find_launcher()
    if not found:
        pytest.skip("kq5316-demo not found: install the project (pip install .) or set KQ5316_DEMO")
    return found


def launcher_files(launcher):
    """The launcher and the shared library it loads from beside itself."""
    return [Path(launcher)] + sorted(Path(launcher).parent.glob("kq5316-demo-core.*"))


def skip_without_python_library(status, stderr):
    """An interpreter built without its shared library (manylinux's, for one) cannot be embedded:
    the launcher says so, and a test of the demonstration has nothing more to check. Where the
    interpreter reports a shared build, the same message is a fault and the test goes on to fail."""
    if (status == 1 and "has no shared library" in stderr
            and not sysconfig.get_config_var("Py_ENABLE_SHARED")):
        pytest.skip(stderr.strip())


def run_launcher(launcher, cwd, **env_changes):
    result = subprocess.run([launcher], cwd=cwd, env={**os.environ, **env_changes},
                            capture_output=True, text=True, timeout=RUN_TIMEOUT)
    skip_without_python_library(result.returncode, result.stderr)
    return result


@pytest.fixture(scope="module")
def fixed_port():
    """The launcher's fixed port, held by this module alone (also against other test runs)."""
    lock = os.open(LOCK_PATH, os.O_RDONLY | os.O_CREAT, 0o644)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield PORT
    finally:
        os.close(lock)


@pytest.fixture
def linked_sim(fixed_port, sim_factory):
    """Starts simulators linked at the fixed port; stops them and removes the link afterwards."""
    if os.geteuid() != 0:
        pytest.skip(f"linking the simulator at {PORT} needs root")
    if os.path.lexists(PORT) and not os.path.islink(PORT):
        pytest.skip(f"{PORT} exists and is not a link (a real instrument?): left alone")
    started = []

    def start(*args):
        sim = sim_factory("--link", PORT, *args)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()
        if os.path.islink(PORT) and os.readlink(PORT) == sim.port:  # left behind by a killed one
            os.unlink(PORT)


def test_nothing_at_the_port_reports_the_failed_open_and_exits_2(launcher, fixed_port, tmp_path):
    if os.path.lexists(PORT):
        pytest.skip(f"{PORT} exists here; this test needs nothing at that path")
    with pytest.raises(serial.SerialException) as refused:
        serial.Serial(PORT)
    result = run_launcher(launcher, tmp_path)
    assert result.stdout.splitlines() == [
        f"Cannot open serial port{refused.value}",
        f"open serial port:{PORT} failed!",
    ]
    assert result.returncode == 2
    assert "could not be opened" in result.stderr


@pytest.mark.parametrize("faults, readings, status, last_line", [
    ((), ANSWERED_READINGS, 0, ["succ close full screen!"]),
    # The replies to both channel-1 readings are lost; channel 2 and the rest are answered.
    (("--fault", "delay 0", "--fault", "silent", "--fault", "delay 0", "--fault", "silent"),
     [ANSWERED_READINGS[0], "None", ANSWERED_READINGS[2], "None", ANSWERED_READINGS[4]], 3,
     ["succ close full screen!"]),
], ids=["instrument-answers", "channel-1-readings-unanswered"])
def test_demonstration_sends_the_whole_sequence(launcher, linked_sim, tmp_path,
                                                faults, readings, status, last_line):
    sim = linked_sim(*faults)
    sim.control("attenuation 1 250")  # channel 1 starts at 2.5 dB
    sim.control("mode 2 1")           # so that the two status readings differ
    result = run_launcher(launcher, tmp_path)

    assert result.stdout.splitlines() == readings + last_line
    assert result.returncode == status, result.stderr
    if status:
        assert "did not answer" in result.stderr
    assert sim.wait_frames(len(SEQUENCE)) == SEQUENCE
    attenuation = [(e["command"], e["channel"], e["state"]["steps"]) for e in sim.events()
                   if e["event"] == "frame" and e["command"].endswith("_attenuation")]
    assert attenuation == [("set_attenuation", 1, 110), ("set_attenuation", 2, 110),
                           ("clear_attenuation", 1, 0), ("clear_attenuation", 2, 0)]


def test_failed_initialisation_prints_the_traceback_and_exits_1(launcher, linked_sim, tmp_path):
    sim = linked_sim()
    shadow = tmp_path / "shadow"
    shadow.mkdir()
    (shadow / "serial.py").write_text('raise ImportError("pyserial is missing here")\n')
    pythonpath = os.pathsep.join(filter(None, [str(shadow), os.environ.get("PYTHONPATH")]))
    result = run_launcher(launcher, tmp_path, PYTHONPATH=pythonpath)

    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith("Traceback (most recent call last):")
    assert "ImportError: pyserial is missing here\n" in result.stderr
    assert result.stderr.rstrip().endswith("stopped with the error above")
    sim.control("nofaults")  # every event the launcher could have caused is reported by now
    assert [e for e in sim.events() if e["event"] in ("frame", "garbage", "hangup")] == []


def test_instrument_vanishing_mid_run_ends_the_launcher_with_an_error(launcher, linked_sim,
                                                                     tmp_path):
    sim = linked_sim()
    demo = subprocess.Popen([launcher], cwd=tmp_path, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        sim.wait_frames(7, timeout=RUN_TIMEOUT)  # both channels set: the first pause has begun
        sim.process.kill()
        out, err = demo.communicate(timeout=RUN_TIMEOUT)
    finally:
        if demo.poll() is None:
            demo.kill()
            demo.communicate()
    skip_without_python_library(demo.returncode, err)
    assert demo.returncode > 0, f"status {demo.returncode}\n{err}"  # negative: died of a signal
    assert "Traceback (most recent call last):" in err
    assert out.splitlines() == ANSWERED_READINGS[:3] + [
        "{'dev_work_mode': 0, 'optical_length_index': 0, 'attenuation': 0}"] * 2


def test_plain_import_does_not_run_the_demonstration(tmp_path):
    code = ("import kq5316\n"
            "print(kq5316.__name__, sorted({'opat_port', 'kq', 'dev_ver', 'len_list',"
            " 'dev_status'} & set(vars(kq5316))))\n")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                            text=True, timeout=RUN_TIMEOUT)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "kq5316 []\n"


def test_launcher_runs_from_a_moved_environment(tmp_path):
    """The environment's launcher, pyvenv.cfg and interpreter links moved elsewhere: it still
    finds its Python and imports from the moved environment's packages (a serial module there
    that fails on import proves it)."""
    original = Path(sys.prefix)
    if original == Path(sys.base_prefix) or not (original / "bin" / "kq5316-demo").exists():
        pytest.skip("the tests do not run in a virtual environment that holds kq5316-demo")
    moved = tmp_path / "moved-env"
    (moved / "bin").mkdir(parents=True)
    shutil.copy2(original / "pyvenv.cfg", moved)
    for item in launcher_files(original / "bin" / "kq5316-demo") + list(
            (original / "bin").glob("python*")):
        shutil.copy2(item, moved / "bin", follow_symlinks=False)
    site = moved / "lib" / "python3.11" / "site-packages"
    site.mkdir(parents=True)
    (site / "serial.py").write_text('raise ImportError("serial of the moved environment")\n')
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "KQ5316_PYTHON_LIBRARY")}
    result = subprocess.run([moved / "bin" / "kq5316-demo"], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=RUN_TIMEOUT)
    skip_without_python_library(result.returncode, result.stderr)
    assert result.returncode == 1, result.stderr
    assert f'File "{site / "serial.py"}"' in result.stderr
    assert "ImportError: serial of the moved environment" in result.stderr


@pytest.mark.parametrize("case", ["wrong-library-variable", "static-interpreter"])
def test_launcher_without_a_python_library_explains_itself(launcher, tmp_path, case):
    env = {**os.environ}
    if case == "wrong-library-variable":
        program = launcher
        wrong = tmp_path / "nowhere" / "libpython3.11.so.1.0"
        env["KQ5316_PYTHON_LIBRARY"] = str(wrong)
        expected = [f"cannot load the Python library named by KQ5316_PYTHON_LIBRARY, {wrong}: "]
    else:  # an environment whose base interpreter has no shared library beside it
        (tmp_path / "static" / "bin").mkdir(parents=True)
        (tmp_path / "env" / "bin").mkdir(parents=True)
        (tmp_path / "env" / "pyvenv.cfg").write_text(f"home = {tmp_path / 'static' / 'bin'}\n")
        for item in launcher_files(launcher):
            shutil.copy2(item, tmp_path / "env" / "bin")
        program = tmp_path / "env" / "bin" / "kq5316-demo"
        env.pop("KQ5316_PYTHON_LIBRARY", None)
        expected = [f"the Python interpreter in {tmp_path / 'static' / 'bin'} has no shared library",
                    "it is linked statically", "set KQ5316_PYTHON_LIBRARY to the library's path"]
    result = subprocess.run([program], cwd=tmp_path, env=env, capture_output=True, text=True,
                            timeout=RUN_TIMEOUT)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith("kq5316-demo: ")
    for fragment in expected:
        assert fragment in result.stderr
