"""`Attenuator`: one instrument on one port, every reply checked, every failure an exception."""

from __future__ import annotations

import decimal
import errno
import logging
import math
import numbers
import operator
import threading
import time
from types import TracebackType
from typing import Any, NamedTuple, SupportsIndex

import serial

from . import _protocol
from ._errors import BadReply, Kq5316Error, NoReply, PortBusy, hex_bytes

logger = logging.getLogger("kq5316x")

BAUD_RATE = 115200
MAX_MDB = _protocol.MAX_STEPS * _protocol.MDB_PER_STEP
# Checks that a complete, well-framed frame fails when it answers some other request (a reply that
# came too late for an earlier call): such a frame is passed over and the reply read on.
_OTHER_REQUEST_CHECKS = frozenset({"command bytes", "channel"})


# How far an exchange may outlast its timeout rather than reconfigure the port for a read.
_TIMEOUT_SLACK = 0.01


class Version(NamedTuple):
    module: int
    hardware: int
    software: int


class Status(NamedTuple):
    mode: int
    wavelength_index: int
    attenuation_mdb: int

    @property
    def attenuation_db(self) -> float:
        return self.attenuation_mdb / 1000


def _integer(value: SupportsIndex, name: str, low: int, high: int) -> int:
    number = operator.index(value)
    if not low <= number <= high:
        raise ValueError(f"{name} must be from {low} to {high}, not {number}")
    return number


def _channel(ch: SupportsIndex) -> int:
    return _integer(ch, "ch", 0, _protocol.MAX_CHANNEL)


def _is_local_device(port: str) -> bool:
    """A device path, or a spy on one: the ports an exclusive lock applies to."""
    return "://" not in port or port.startswith("spy://")


class Attenuator:
    """The instrument on `port`: a device path or any pyserial URL (``socket://HOST:PORT``,
    ``spy:///dev/ttyUSB0``, ``loop://``). The port is opened at once, 115200 8N1, exclusively
    where it is a local device.

    `timeout` bounds each exchange, from the request to the last byte of its reply; `settle` is a
    minimum pause between a reply and the next request; `strict` also requires a reply's command
    bytes and channel to echo the request. Threads may share one Attenuator: exchanges take turns.
    """

    def __init__(
        self, port: str, *, timeout: float = 0.5, settle: float = 0.0, strict: bool = True
    ) -> None:
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, not {timeout!r}")
        if not settle >= 0:
            raise ValueError(f"settle must be zero or positive, not {settle!r}")
        self.port = port
        self.timeout = float(timeout)
        self.settle = float(settle)
        self.strict = bool(strict)
        self._lock = threading.Lock()
        self._ready_at = 0.0  # monotonic time before which no request goes out (settle)
        self._serial: serial.Serial | None = self._open(port)

    def _open(self, port: str) -> serial.Serial:
        options: dict[str, Any] = {"baudrate": BAUD_RATE, "timeout": self.timeout}
        if _is_local_device(port):
            options["exclusive"] = True
        try:
            return serial.serial_for_url(port, **options)
        except serial.SerialException as error:
            # pyserial reports a lock held elsewhere with the errno of the failed flock(); a
            # terminal another process opened in exclusive mode (TIOCEXCL) refuses with EBUSY.
            if error.errno in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EBUSY):
                raise PortBusy(port) from error
            raise

    # -- life cycle ---------------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._serial is None

    def close(self) -> None:
        """Closes the port; closing again does nothing."""
        with self._lock:
            port, self._serial = self._serial, None
        if port is not None:
            port.close()

    def __enter__(self) -> Attenuator:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<Attenuator {self.port!r} {state}>"

    # -- operations ---------------------------------------------------------------------------

    def version(self) -> Version:
        return Version(*self._query("read_device_version", 1))

    def wavelengths(self, ch: SupportsIndex = 1) -> tuple[int, ...]:
        """The wavelengths (nm) channel `ch` supports, in the instrument's order."""
        return self._query("read_optical_length", _channel(ch))

    def select_wavelength(self, nm: SupportsIndex, ch: SupportsIndex = 1) -> None:
        """Selects one of the channel's own wavelengths; ValueError names them otherwise."""
        wanted = operator.index(nm)
        channel = _channel(ch)
        supported = self.wavelengths(channel)
        if wanted not in supported:
            names = ", ".join(map(str, supported)) or "none"
            raise ValueError(
                f"{wanted} nm is not supported on channel {channel}; supported: {names}"
            )
        self._command("set_optical_length", channel, supported.index(wanted))

    def status(self, ch: SupportsIndex = 1) -> Status:
        return Status(*self._query("read_current_status", _channel(ch)))

    def set_attenuation(self, mdb: SupportsIndex, ch: SupportsIndex = 1) -> None:
        """Sets the attenuation in mdB (0 to 655350), rounded to the instrument's 10 mdB step."""
        value = _integer(mdb, "attenuation", 0, MAX_MDB)
        steps = (value + _protocol.MDB_PER_STEP // 2) // _protocol.MDB_PER_STEP
        self._command("set_attenuation", _channel(ch), steps)

    def set_attenuation_db(self, db: float, ch: SupportsIndex = 1) -> None:
        """Sets the attenuation in dB (0 to 655.35), rounded to the nearest 0.01 dB."""
        if not isinstance(db, numbers.Real):
            raise TypeError(f"db must be a real number, not {type(db).__name__}")
        if not math.isfinite(db):
            raise ValueError(f"attenuation must be a finite number of dB, not {db!r}")
        # Rounded as written (12.345 is 12.35), not as the nearest binary float is.
        steps = int(decimal.Decimal(repr(float(db))).scaleb(2).quantize(1, decimal.ROUND_HALF_UP))
        if not 0 <= steps <= _protocol.MAX_STEPS:
            raise ValueError(f"attenuation must be from 0 to {MAX_MDB / 1000} dB, not {db!r}")
        self._command("set_attenuation", _channel(ch), steps)

    def clear(self, ch: SupportsIndex = 1) -> None:
        """Clears the channel's attenuation."""
        self._command("clear_attenuation", _channel(ch))

    def disconnect(self, ch: SupportsIndex = 1) -> None:
        """Puts the channel into its disconnected state."""
        self._command("dis_connection", _channel(ch))

    def close_display(self) -> None:
        """Closes the instrument's full-screen display."""
        self._command("close_full_screen", 1)

    # -- the exchange -------------------------------------------------------------------------

    def _query(self, command: str, ch: int) -> tuple[int, ...]:
        request = _protocol.request(command, ch, 0)
        fields = _protocol.decode(command, self._exchange(command, request))
        assert fields is not None, "queries have a reply layout with fields"
        return fields

    def _command(self, command: str, ch: int, value: int = 0) -> None:
        self._exchange(command, _protocol.request(command, ch, value))

    def _exchange(self, command: str, request: bytes) -> bytes:
        with self._lock:
            port = self._serial
            if port is None:
                raise Kq5316Error(f"{self.port} is closed")
            self._discard_waiting(port)
            pause = self._ready_at - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            start = time.monotonic()
            port.write(request)
            try:
                reply = self._read_reply(port, command, request, start + self.timeout)
            finally:
                self._ready_at = time.monotonic() + self.settle
            if logger.isEnabledFor(logging.DEBUG):
                logger.debug(
                    "%s: sent %s, received %s in %.3f ms",
                    command,
                    hex_bytes(request),
                    hex_bytes(reply),
                    (time.monotonic() - start) * 1000,
                )
            return reply

    def _discard_waiting(self, port: serial.Serial) -> None:
        stale = b""
        while port.in_waiting:
            chunk = port.read(port.in_waiting)
            if not chunk:
                break
            stale += chunk
        if stale:
            logger.warning("%s: discarded stale bytes %s", self.port, hex_bytes(stale))

    def _read_reply(
        self, port: serial.Serial, command: str, request: bytes, deadline: float
    ) -> bytes:
        passed_over: BadReply | None = None
        while True:
            reply = self._read_frame(port, command, request, deadline, passed_over)
            check = _protocol.check(command, request, reply, self.strict)
            if check is None:
                return reply
            passed_over = BadReply(check, request, reply)
            if check not in _OTHER_REQUEST_CHECKS:
                raise passed_over
            logger.warning(
                "%s: passed over a reply to another request: %s", self.port, hex_bytes(reply)
            )

    def _read_frame(
        self,
        port: serial.Serial,
        command: str,
        request: bytes,
        deadline: float,
        passed_over: BadReply | None,
    ) -> bytes:
        """One frame: its first three bytes, then the rest its length byte announces."""
        header = _read_exactly(port, 3, deadline, waiting=0)
        length = _protocol.announced_length(header) if len(header) == 3 else 0
        if len(header) == 3 and length == 0:
            check = _protocol.check(command, request, header, False)
            raise BadReply(check or "length byte", request, header)
        rest = _read_exactly(port, length - 3, deadline, port.in_waiting) if length else b""
        if len(header) < 3 or len(rest) < length - 3:
            if passed_over is not None:
                raise passed_over
            raise NoReply(request, header + rest, self.timeout)
        return header + rest


def _read_exactly(port: serial.Serial, size: int, deadline: float, waiting: int) -> bytes:
    """Up to `size` bytes, waiting no later than `deadline` for them; `waiting` is what the port
    is known to hold already (0 right after a request: nothing can have come yet)."""
    if waiting >= size:
        return bytes(port.read(size))
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        return bytes(port.read(min(size, port.in_waiting)))
    # Changing pyserial's timeout reconfigures the port (several system calls), so the one in
    # force is kept while it is close enough to what is left.
    current = port.timeout
    if current is None or abs(current - remaining) > _TIMEOUT_SLACK:
        port.timeout = remaining
    return bytes(port.read(size))


def find_ports(vid: SupportsIndex | None = None, pid: SupportsIndex | None = None) -> list[str]:
    """The USB serial ports whose vendor and product IDs match (None matches any)."""
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
