"""Constructing, checking, opening and closing the port: end to end on the simulator's
pseudo-terminal with real pyserial and real lsof, and through the module's global seams
(`platform`, `subprocess`, `serial`) for the paths a Linux machine cannot take by itself."""

import os
import subprocess
import types

import pytest
import serial

import kq5316
from kq5316 import KQ5316

ALREADY_OPENED = "serial port already opened!, Please close and try" + " " * 23 + "again!\n"
CHECK_FAILED = "检查端口时出错: "


@pytest.fixture
def ports():
    """Port objects to close after the test, whatever happened."""
    opened = []
    yield opened
    for port in opened:
        port.close()


@pytest.fixture
def kq(sim, ports):
    obj = KQ5316(sim.port)
    yield obj
    if "ser" in vars(obj):
        ports.append(obj.ser)


def hold_with_pyserial(path, ports):
    ports.append(serial.Serial(path))


def hold_with_descriptor(path, ports):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    ports.append(types.SimpleNamespace(close=lambda: os.close(fd)))


class FakeSerialModule:
    """Stands in for `serial`: records every port it is asked for, or raises `error`."""
    SerialException = serial.SerialException

    def __init__(self, error=None):
        self.calls, self.error = [], error

    def Serial(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error:
            raise self.error
        return types.SimpleNamespace(close=lambda: None)


class FakeSubprocessModule:
    """Stands in for `subprocess`: records each run, answers with `stdout` or raises `error`."""
    PIPE = subprocess.PIPE

    def __init__(self, stdout=b"", error=None):
        self.calls, self.stdout, self.error = [], stdout, error

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error:
            raise self.error
        return types.SimpleNamespace(stdout=self.stdout, stderr=b"lsof: noise", returncode=1)


def platform_answering(name):
    return types.SimpleNamespace(system=lambda: name)


def test_constructing_stores_the_name_and_touches_nothing(monkeypatch):
    for seam in ("platform", "subprocess", "serial"):
        monkeypatch.setattr(kq5316, seam, None)
    kq = KQ5316("/dev/ttyUSB0")
    assert vars(kq) == {"port": "/dev/ttyUSB0"}


def test_open_uses_the_instrument_line_settings(kq, sim, capsys):
    assert kq.check_port_available() is True
    assert kq.open() is True
    port = kq.ser
    assert type(port) is serial.Serial and port.is_open and port.port == sim.port
    assert (port.baudrate, port.bytesize, port.parity, port.stopbits, port.timeout) == (115200, 8, "N", 1, 50)
    assert (port.xonxoff, port.rtscts, port.dsrdtr, port.write_timeout) == (False, False, False, None)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("hold", [hold_with_pyserial, hold_with_descriptor])
def test_a_port_held_by_another_descriptor_is_refused(kq, sim, ports, capsys, hold):
    assert kq.open() is True
    first = kq.ser
    kq.close()
    hold(sim.port, ports)
    assert kq.check_port_available() is False
    assert kq.open() is False
    assert kq.ser is first and not first.is_open
    stranger = KQ5316(sim.port)
    assert stranger.open() is False and "ser" not in vars(stranger)
    assert capsys.readouterr().out == ALREADY_OPENED * 2


def test_second_open_sees_our_own_descriptor(kq, capsys):
    assert kq.open() is True
    first = kq.ser
    assert kq.open() is False
    assert kq.ser is first and first.is_open
    assert capsys.readouterr().out == ALREADY_OPENED


def test_open_close_open_gives_a_new_port_object(kq, ports, capsys):
    assert kq.open() is True
    first = kq.ser
    kq.close()
    kq.close()
    assert kq.open() is True
    assert kq.ser is not first and kq.ser.is_open and not first.is_open
    assert capsys.readouterr().out == ""


def test_a_new_port_name_is_used_by_the_next_open(kq, sim, sim_factory, ports):
    assert kq.open() is True
    kq.close()
    hold_with_pyserial(sim.port, ports)
    other = sim_factory()
    kq.port = other.port
    assert kq.open() is True
    assert kq.ser.port == other.port


def test_close_before_open_raises_attribute_error():
    with pytest.raises(AttributeError, match="ser"):
        KQ5316("/dev/ttyUSB0").close()


def test_a_missing_device_cannot_be_opened(tmp_path, capsys):
    path = str(tmp_path / "ttyMISSING")
    with pytest.raises(serial.SerialException) as error:
        serial.Serial(path, 115200, 8, "N", timeout=50, stopbits=1)
    kq = KQ5316(path)
    assert kq.open() is False and "ser" not in vars(kq)
    assert capsys.readouterr().out == f"Cannot open serial port{error.value}\n"


@pytest.mark.parametrize("system, windows", [
    ("Windows", True), ("WINDOWS", True), ("Linux", False), ("Darwin", False), ("", False)])
def test_only_windows_probes_by_opening_the_port(monkeypatch, system, windows):
    fake_serial, fake_subprocess = FakeSerialModule(), FakeSubprocessModule()
    monkeypatch.setattr(kq5316, "platform", platform_answering(system))
    monkeypatch.setattr(kq5316, "serial", fake_serial)
    monkeypatch.setattr(kq5316, "subprocess", fake_subprocess)
    assert KQ5316("COM3").check_port_available() is True
    probe = [(("COM3",), {})]
    lsof = [((["lsof", "COM3"],), {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE})]
    assert (fake_serial.calls, fake_subprocess.calls) == ((probe, []) if windows else ([], lsof))


@pytest.mark.parametrize("stdout, available", [(b"", True), (b"COMMAND PID\n", False), (b"\n", False)])
def test_lsof_output_alone_decides(monkeypatch, stdout, available):
    monkeypatch.setattr(kq5316, "subprocess", FakeSubprocessModule(stdout=stdout))
    assert KQ5316("/dev/ttyUSB0").check_port_available() is available


@pytest.mark.parametrize("name", ["-p1", "-r1"])
def test_a_name_lsof_would_read_as_an_option_is_checked_as_that_file(monkeypatch, tmp_path, name):
    # Neither file exists: free. As options, "-p1" would list process 1's files (busy) and
    # "-r1" would repeat for ever; the stand-in's time limit turns such a hang into a failure.
    monkeypatch.chdir(tmp_path)
    runs = []

    def run(args, **kwargs):
        runs.append(args)
        return subprocess.run(args, timeout=60, **kwargs)

    monkeypatch.setattr(kq5316, "subprocess", types.SimpleNamespace(run=run, PIPE=subprocess.PIPE))
    assert KQ5316(name).check_port_available() is True
    assert runs == [["lsof", "./" + name]]


def test_windows_probe_then_open_on_a_real_port(kq, monkeypatch, capsys):
    monkeypatch.setattr(kq5316, "platform", platform_answering("Windows"))
    assert kq.open() is True and kq.ser.is_open
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("error, available, output", [
    (serial.SerialException("could not open port 'COM9'"), False, ALREADY_OPENED),
    (ValueError("odd port"), ValueError, ""),
])
def test_windows_probe_failures(monkeypatch, capsys, error, available, output):
    monkeypatch.setattr(kq5316, "platform", platform_answering("Windows"))
    monkeypatch.setattr(kq5316, "serial", FakeSerialModule(error))
    kq = KQ5316("COM9")
    if available is False:
        assert kq.check_port_available() is False
    else:
        with pytest.raises(available):
            kq.check_port_available()
    assert capsys.readouterr().out == ""
    assert kq.open() is False and "ser" not in vars(kq)
    assert capsys.readouterr().out == output


def test_lsof_that_cannot_start_is_reported(monkeypatch, capsys):
    error = FileNotFoundError(2, "No such file or directory", "lsof")
    monkeypatch.setattr(kq5316, "subprocess", FakeSubprocessModule(error=error))
    kq = KQ5316("/dev/ttyUSB0")
    assert kq.check_port_available() is False
    assert capsys.readouterr().out == f"{CHECK_FAILED}{error}\n"
    assert kq.open() is False and "ser" not in vars(kq)
    assert capsys.readouterr().out == f"{CHECK_FAILED}{error}\n{ALREADY_OPENED}"


def test_a_port_name_that_is_no_longer_a_string_fails_the_check(kq, capsys):
    kq.port = 5
    assert kq.open() is False
    out = capsys.readouterr().out
    assert out.startswith(CHECK_FAILED) and out.endswith(ALREADY_OPENED)


@pytest.mark.parametrize("error, output", [
    (serial.SerialException("device refused"), "Cannot open serial portdevice refused\n"),
    (serial.PortNotOpenError(), "Cannot open serial portAttempting to use a port that is not open\n"),
    (OSError("not a port"), ""),
])
def test_failures_creating_the_port_object(kq, monkeypatch, capsys, error, output):
    monkeypatch.setattr(kq5316, "serial", FakeSerialModule(error))
    assert kq.open() is False and "ser" not in vars(kq)
    assert capsys.readouterr().out == output


@pytest.mark.parametrize("fake_serial", [types.SimpleNamespace(), None])
def test_a_serial_global_without_serial_raises_or_refuses(kq, monkeypatch, fake_serial):
    monkeypatch.setattr(kq5316, "serial", fake_serial)
    try:
        result = kq.open()
    except Exception:
        result = False
    assert result is False and "ser" not in vars(kq)


@pytest.mark.parametrize("name", [None, 5])
def test_a_platform_name_that_is_not_a_string(kq, monkeypatch, capsys, name):
    monkeypatch.setattr(kq5316, "platform", platform_answering(name))
    with pytest.raises(AttributeError):
        kq.check_port_available()
    assert kq.open() is False and "ser" not in vars(kq)
    assert capsys.readouterr().out == ""


def test_keyboard_interrupt_in_the_check_reaches_the_caller(kq, monkeypatch):
    monkeypatch.setattr(kq5316, "subprocess", FakeSubprocessModule(error=KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        kq.open()
    assert "ser" not in vars(kq)


@pytest.mark.parametrize("answer, opened", [(False, False), (0, False), ("", False), (True, True), ([1], True)])
def test_open_uses_the_check_of_a_subclass(sim, ports, monkeypatch, capsys, answer, opened):
    class Checked(KQ5316):
        def check_port_available(self):
            return answer

    monkeypatch.setattr(kq5316, "subprocess", None)
    kq = Checked(sim.port)
    assert kq.open() is opened
    if opened:
        ports.append(kq.ser)
    assert capsys.readouterr().out == ("" if opened else ALREADY_OPENED)
