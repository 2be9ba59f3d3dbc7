"""Ports: the USB serial ports the instrument may be on; a port opened by pyserial, exclusively
where it is a local device, with whoever holds it elsewhere named; and its release, by the opener
or by a forked child."""

from __future__ import annotations

import errno
import operator
import os
import sys

import serial

from ._errors import PortBusy

if sys.platform != "win32":
    import fcntl
    import termios

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, SupportsIndex

# The USB vendor ID of the instrument's USB-to-serial bridge (Prolific, the PL2303G family).
PL2303_VENDOR_ID = 0x067B
# Where the holder of a port is named without a process to show.
_UNSEEN_HOLDER = "another process (one this user may not inspect: only root sees every process)"


def find_ports(
    vid: SupportsIndex | None = PL2303_VENDOR_ID, pid: SupportsIndex | None = None
) -> list[str]:
    """The USB serial ports whose bridge has these USB vendor and product IDs, in the order the
    system lists them; None matches any ID.

    With no arguments: the ports of the USB-to-serial bridge the instrument ships with, the
    PL2303G family (vendor 0x067B, any product). For an instrument behind another bridge, pass its
    IDs, as ``lsusb`` or the system's device manager shows them: ``find_ports(0x0403, 0x6001)``
    for an FTDI FT232R; ``find_ports(vid=None)`` lists every USB serial port.
    """
    from serial.tools import list_ports

    want_vid = None if vid is None else operator.index(vid)
    want_pid = None if pid is None else operator.index(pid)
    return [
        info.device
        for info in list_ports.comports()
        if info.vid is not None
        and (want_vid is None or info.vid == want_vid)
        and (want_pid is None or info.pid == want_pid)
    ]


def _local_device(port: str) -> str | None:
    """The device path of a local port (or of a spy on one), None for other pyserial URLs."""
    if port.startswith("spy://"):
        return port[len("spy://") :].split("?", 1)[0]
    return None if "://" in port else port


def open_port(port: str, timeout: float, baudrate: int) -> serial.Serial:
    """Opens `port` (a device path or a pyserial URL); a local device exclusively, refused with
    PortBusy while it is open elsewhere. The holders are looked for before the port is opened
    (an open reconfigures the terminal, which a holder would feel) and again once it is held
    exclusively, so that a program opening it in between is found too."""
    device = _local_device(port)
    options: dict[str, Any] = {"baudrate": baudrate, "timeout": timeout, "write_timeout": timeout}
    if device is not None:
        holder = _port_holder(device)
        if holder is not None:
            raise PortBusy(port, *holder)
        options["exclusive"] = True
    try:
        opened = serial.serial_for_url(port, **options)
    except serial.SerialException as error:
        # pyserial reports a lock held elsewhere with the errno of the failed flock(); a
        # terminal opened in exclusive mode (TIOCEXCL) refuses with EBUSY.
        if device is not None and error.errno in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EBUSY):
            raise PortBusy(port, *(_port_holder(device) or (_UNSEEN_HOLDER, None))) from error
        raise
    if device is not None:
        # Exclusive from here on; a holder that opened the port while it was being opened is
        # still found, and the port given back to it.
        _set_exclusive(opened, True)
        holder = _port_holder(device, own=opened.fileno())
        if holder is not None:
            release(opened)
            raise PortBusy(port, *holder)
    return opened


def release(port: serial.Serial) -> None:
    """Closes a port, first lifting its exclusive mode (which would otherwise outlive this
    open on a terminal that stays open elsewhere, such as a pseudo-terminal's)."""
    _set_exclusive(port, False)
    try:
        port.close()
    except (serial.SerialException, OSError):
        pass  # a port already gone: closing it has nothing left to do


def drop_descriptors(port: serial.Serial) -> None:
    """Closes this process's copies of a port's descriptors, inherited from the process that
    opened it, and nothing more: no change to the terminal's flags, no byte to its pipes, no
    shutdown of its socket, all of which the opener still uses. The port object's own close (and
    its finaliser) then does nothing."""
    names = ("fd", "pipe_abort_read_r", "pipe_abort_read_w", "pipe_abort_write_r")
    for name in (*names, "pipe_abort_write_w"):
        descriptor = getattr(port, name, None)
        if isinstance(descriptor, int):
            try:
                os.close(descriptor)
            except OSError:
                pass  # not open in this process
    connection = getattr(port, "_socket", None)  # socket:// and rfc2217:// ports
    if connection is not None:
        connection.close()  # this process's descriptor only, unlike shutdown()
    port.is_open = False


def _set_exclusive(port: serial.Serial, on: bool) -> None:
    """Terminal exclusive mode, where the system has it and the port is a terminal."""
    if sys.platform == "win32":
        return  # Windows opens serial ports exclusively already
    fileno = getattr(port, "fileno", None)
    if fileno is None:
        return
    try:
        fcntl.ioctl(fileno(), termios.TIOCEXCL if on else termios.TIOCNXCL)
    except (OSError, ValueError, serial.SerialException):
        pass  # not a terminal (a socket, a closed port): nothing to keep out


def _port_holder(device: str, own: int | None = None) -> tuple[str, int | None] | None:
    """Who has `device` open, as far as this user can see: on Linux, any process whose open
    files it may inspect under /proc, leaving out this process's descriptor `own`; elsewhere
    nobody is seen (pyserial's lock still applies)."""
    if not sys.platform.startswith("linux"):
        return None
    target = os.path.realpath(device)
    try:
        pids = [name for name in os.listdir("/proc") if name.isdigit()]
    except OSError:
        return None
    this = os.getpid()
    for name in pids:
        folder = f"/proc/{name}/fd"
        try:
            descriptors = os.listdir(folder)
        except OSError:
            continue  # ended meanwhile, or another user's process
        for descriptor in descriptors:
            if int(name) == this and descriptor == str(own):
                continue
            try:
                opened = os.readlink(f"{folder}/{descriptor}")
            except OSError:
                continue
            if opened == target:
                pid = int(name)
                if pid == this:
                    return "this process", pid
                return f"process {pid} ({_program_name(pid)})", pid
    return None


def _program_name(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/comm", encoding="utf-8", errors="replace") as comm:
            return comm.read().strip() or "unnamed program"
    except OSError:
        return "program not visible"
