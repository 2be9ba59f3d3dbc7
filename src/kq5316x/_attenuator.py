"""`Attenuator`: one instrument on one port, every reply checked, every failure an exception."""

from __future__ import annotations

import errno
import operator
import os
import select
import sys
import time
from _thread import RLock, allocate_lock, get_ident
from collections import namedtuple

import serial

from . import _protocol
from ._errors import (
    EXCERPT_BYTES,
    BadReply,
    EchoingPort,
    Kq5316Error,
    NoReply,
    PortBusy,
    PortLost,
    hex_bytes,
    hex_excerpt,
)

if sys.platform != "win32":
    import fcntl
    import termios

# Only what serial has not imported already is imported here, and only what every program needs:
# typing, logging and decimal (with re, enum and traceback behind them) would cost more than the
# rest of the package together. Type checkers see the annotations' names and the typed records.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import logging
    from collections.abc import Callable, Iterable
    from types import TracebackType
    from typing import Any, NamedTuple, NoReturn, SupportsIndex

    class _VersionFields(NamedTuple):
        module: int
        hardware: int
        software: int

    class _StatusFields(NamedTuple):
        mode: int
        wavelength_index: int
        attenuation_mdb: int

else:
    _VersionFields = namedtuple("Version", ["module", "hardware", "software"])
    _StatusFields = namedtuple("Status", ["mode", "wavelength_index", "attenuation_mdb"])

LOGGER_NAME = "kq5316x"
# The logging module's levels (fixed numbers), without importing it.
_DEBUG, _WARNING = 10, 30
# The USB vendor ID of the instrument's USB-to-serial bridge (Prolific, the PL2303G family).
PL2303_VENDOR_ID = 0x067B

BAUD_RATE = 115200
# The rates a serial port is commonly set to; the instrument's own default is BAUD_RATE.
BAUD_RATES = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600)
MAX_MDB = _protocol.MAX_STEPS * _protocol.MDB_PER_STEP
# The longest `timeout` or `settle` accepted: beyond it the waits of the system calls overflow.
MAX_SECONDS = 86400.0
# Checks that a complete, well-framed frame fails when it answers some other request (a reply that
# came too late for an earlier call): such a frame is passed over and the reply read on.
_OTHER_REQUEST_CHECKS = frozenset({_protocol.CHECK_COMMAND_BYTES, _protocol.CHECK_CHANNEL})
# How far an exchange may outlast its timeout rather than reconfigure the port for a read.
_TIMEOUT_SLACK = 0.01
# Bytes asked for by one read of whatever is waiting: stale input goes in few, large reads.
_READ_CHUNK = 1 << 16
_START_BYTE = 0x7B
_END_BYTE = 0x7D
_HEADER = 3
_NOT_SENT = "; the request could not be sent: the line takes no data (flow control, or no reader)"
# Unanswered requests remembered at most: beyond this many, the oldest is taken as lost, so that
# a line that never answers does not make the list grow without end.
_MAX_UNANSWERED = 256
# Where the holder of a port is named without a process to show.
_UNSEEN_HOLDER = "another process (one this user may not inspect: only root sees every process)"

# A log record kept while the exchange lock is held and emitted once it is released.
_Note = tuple[int, str, tuple[object, ...]]


class Version(_VersionFields):
    __slots__ = ()


class Status(_StatusFields):
    __slots__ = ()

    @property
    def attenuation_db(self) -> float:
        return self.attenuation_mdb / 1000


def _whole(value: SupportsIndex, name: str) -> int:
    """`value` as an int; a bool is refused, since True would otherwise pass as 1."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a whole number, not bool")
    return operator.index(value)


def _integer(value: SupportsIndex, name: str, low: int, high: int) -> int:
    number = _whole(value, name)
    if not low <= number <= high:
        raise ValueError(f"{name} must be from {low} to {high}, not {number}")
    return number


def _seconds(value: float, name: str, allow_zero: bool) -> float:
    import math
    import numbers

    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    seconds = float(value)
    low_ok = seconds >= 0 if allow_zero else seconds > 0
    if not (math.isfinite(seconds) and low_ok and seconds <= MAX_SECONDS):
        low = "zero or more" if allow_zero else "more than zero"
        raise ValueError(
            f"{name} must be finite, {low} and at most {MAX_SECONDS:g} s, not {value!r}"
        )
    return seconds


def _channel_list(channels: Iterable[SupportsIndex]) -> tuple[int, ...]:
    found = tuple(_integer(ch, "a channel", 0, _protocol.MAX_CHANNEL) for ch in channels)
    if not found:
        raise ValueError("channels must name at least one channel")
    return tuple(dict.fromkeys(found))


def _kind(request: bytes) -> bytes:
    """What a strict check compares between a request and a reply: the channel and the command
    bytes. Two requests of one kind cannot be told apart by their replies."""
    return request[1:2] + request[3:5]


def _probe(command: str, ch: int) -> tuple[str, bytes]:
    return command, _protocol.request(command, ch, 0)


class Attenuator:
    """The instrument on `port`: a device path or any pyserial URL (``socket://HOST:PORT``,
    ``spy:///dev/ttyUSB0``, ``loop://``), opened at once at `baudrate` (115200 by default), 8N1.

    A local port is opened exclusively. It is refused with `PortBusy` when it is open elsewhere:
    on Linux, by any process whose open files this user may inspect (its own processes; root sees
    all), whatever that process opened it with; everywhere, by a holder of pyserial's lock. The
    holders are looked for before the port is opened and again once it is held exclusively, so
    that a program opening it in between is found too. While held, later opens of the terminal
    are refused by the system (``TIOCEXCL``; root is exempt). Errors that keep the port from
    opening otherwise are pyserial's, unchanged.

    With `identify` (the default) the instrument's version is asked for before the constructor
    returns, and kept as `identity`: a port where nothing answers raises `NoReply` with what to
    check, one that echoes what it is sent raises `EchoingPort`. ``identify=False`` sends nothing
    at open (for an instrument slow to wake); `identity` is then None.

    `baudrate` must match the instrument's setting: one of `BAUD_RATES` (1200 to 921600).
    `timeout` bounds each exchange, from the request to the last byte of its reply; `settle` is a
    minimum pause between a reply and the next request; both are finite (``ValueError`` at
    construction otherwise). `strict` also requires a reply's command bytes and channel to echo
    the request (resynchronising relies on that echo whatever `strict` says). `channels` are the
    instrument's channels: any other ``ch`` is a ``ValueError`` before anything is sent.

    Attributes: `port`, `baudrate`, `timeout`, `settle`, `strict`, `channels` (a tuple), `identity`, `closed`.

    Guarantees, once open:

    - A result is never an answer to an earlier request. The instrument answers requests in
      their order, each at most once; every request whose reply was not read (a timeout, an
      interruption such as ``KeyboardInterrupt``, a bad reply, a read error) is remembered by its
      kind (channel and command bytes). The next call first resynchronises: it sends a query and
      reads until that query's own reply, counting each reply that comes as the answer to the
      earliest unanswered request of its kind, which settles that request and every earlier one.
      The query is of a kind no unanswered request has when there is one; otherwise its reply
      is only taken once the replies of its kind still owed have come (another query follows
      when one of them may have been its own). Whatever is passed over is logged as a warning.
    - Every call returns or raises within ``2 × (timeout + settle)`` once it holds the port: one
      window for discarding stale input or resynchronising (discarding after a
      resynchronisation ends with its window), one for the exchange, whatever arrives; usually
      within ``timeout``. Threads take turns, so a call may first wait for another thread's.
      `close` from another thread waits at most for the exchange in progress.
    - A call never waits for itself: one made from inside an exchange on the same thread (a
      signal handler that runs while the call waits) raises `Kq5316Error` at once, saying the
      instrument is busy in this thread. In a process forked from the one that opened the port,
      every call raises `Kq5316Error` at once (open the port again there), and `close` only
      closes that process's copies of the descriptors: the opener's port stays as it was.
    - Every failure is a `Kq5316Error`: `NoReply`, `BadReply`, `EchoingPort`, `PortLost` (the
      port failed; the Attenuator is then closed), or `Kq5316Error` itself (closed; a line that
      kept sending bytes nobody asked for). Bad arguments are ``ValueError`` or ``TypeError``,
      raised before anything is sent.
    - Log records (logger ``kq5316x``: warnings for stale input, resynchronisation and replies
      passed over; every exchange at DEBUG) are emitted after the port is released, so a handler
      may use the Attenuator; a handler that raises is reported by the logging module's error
      handling and does not change the call's outcome.
    """

    def __init__(
        self,
        port: str,
        *,
        baudrate: int = BAUD_RATE,
        timeout: float = 0.5,
        settle: float = 0.0,
        strict: bool = True,
        channels: Iterable[SupportsIndex] = (1, 2),
        identify: bool = True,
    ) -> None:
        self.baudrate = _baud_rate(baudrate)
        self.timeout = _seconds(timeout, "timeout", allow_zero=False)
        self.settle = _seconds(settle, "settle", allow_zero=True)
        self.channels = _channel_list(channels)
        self.port = port
        self.strict = bool(strict)
        self.identity: Version | None = None
        # Held for each exchange. Re-entrant only so that a call from inside an exchange on the
        # same thread (a signal handler) reaches the check on `_busy` and is refused there,
        # rather than waiting for ever on its own thread.
        self._lock = RLock()
        self._busy = 0  # the ident of the thread inside an exchange, 0 when none is
        self._pid = os.getpid()  # descriptors and locks belong to the process that opened them
        # Held while the port's abort pipe is written to (a cancel) and while the port is closed
        # (which closes that pipe): a cancel never writes to a descriptor number that a close in
        # another thread has just freed, and that may already name something else. Taken alone,
        # or inside `_lock`, never the other way round.
        self._port_lock = allocate_lock()
        self._ready_at = 0.0  # monotonic time before which no request goes out (settle)
        # Kinds of the requests sent whose replies were never read, oldest first.
        self._unanswered: list[bytes] = []
        # The queries a resynchronisation may send, in the order they are preferred.
        self._probes = [_probe(_protocol.READ_DEVICE_VERSION, 1)]
        for channel in self.channels:
            self._probes.append(_probe(_protocol.READ_CURRENT_STATUS, channel))
            self._probes.append(_probe(_protocol.READ_OPTICAL_LENGTH, channel))
        self._closing = False
        self._closed_why = "it was closed"
        self._serial: serial.Serial | None = _open_port(port, self.timeout, self.baudrate)
        # On a local device the extension makes the exchange on the port's descriptor (and its
        # pipe that cancels a read); None where the port's own I/O serves.
        self._fd, self._abort_fd = _local_descriptors(self._serial)
        if identify:
            try:
                self.identity = self._identify()
            except BaseException:
                self.close()
                raise

    def _identify(self) -> Version:
        try:
            return self.version()
        except NoReply as error:
            hint = (
                f"; nothing on {self.port} answered the version request: check that it is the"
                " instrument's port, that the instrument is on and its cable connected, and that"
                f" it is set to {self.baudrate} baud (identify=False skips this check)"
            )
            raise NoReply(error.request, error.received, error.timeout, hint) from None

    # -- life cycle ---------------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once `close` was called, the constructor failed after opening, or the port was
        lost (`PortLost`)."""
        return self._serial is None

    def close(self) -> None:
        """Closes the port; closing again does nothing. From another thread, it waits for the
        exchange in progress (its discarding of stale input is cut short) and then closes. In a
        process forked from the opener it only closes that process's copies of the descriptors,
        leaving the opener's port as it was."""
        if os.getpid() != self._pid:
            port, self._serial = self._serial, None
            if port is not None:
                _drop_descriptors(port)
            return
        self._check_thread("close")
        self._closing = True
        if self._fd is not None:
            with self._port_lock:
                _cancel_read(self._serial)  # ends the extension's discarding or waiting early
        with self._lock, self._port_lock:
            port, self._serial = self._serial, None
            if port is not None:
                _release(port)

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
        """The instrument's versions, asked now (`identity` holds those read at open)."""
        return Version(*self._query(_protocol.READ_DEVICE_VERSION, 1))

    def wavelengths(self, ch: SupportsIndex = 1) -> tuple[int, ...]:
        """The wavelengths (nm) channel `ch` supports, in the instrument's order."""
        return self._query(_protocol.READ_OPTICAL_LENGTH, self._channel(ch))

    def select_wavelength(self, nm: SupportsIndex, ch: SupportsIndex = 1) -> None:
        """Selects one of the channel's own wavelengths; ValueError names them otherwise."""
        wanted = _whole(nm, "nm")
        channel = self._channel(ch)
        supported = self.wavelengths(channel)
        if wanted not in supported:
            names = ", ".join(map(str, supported)) or "none"
            raise ValueError(
                f"{wanted} nm is not supported on channel {channel}; supported: {names}"
            )
        self._command(_protocol.SET_OPTICAL_LENGTH, channel, supported.index(wanted))

    def status(self, ch: SupportsIndex = 1) -> Status:
        """The channel's mode, wavelength index and attenuation (in mdB, also `.attenuation_db`)."""
        return Status(*self._query(_protocol.READ_CURRENT_STATUS, self._channel(ch)))

    def set_attenuation_mdb(self, mdb: SupportsIndex, ch: SupportsIndex = 1) -> None:
        """Sets the attenuation to `mdb` millidecibels: a whole number from 0 to 655350 that is a
        multiple of the instrument's 10 mdB step. Anything else is refused before anything is
        sent: a float (``TypeError``, pointing to `set_attenuation_db`), a value between steps
        (``ValueError`` naming the two nearest settable values) or out of range."""
        try:
            value = _whole(mdb, "mdb")
        except TypeError:
            import numbers

            if isinstance(mdb, numbers.Real) and not isinstance(mdb, bool):
                raise TypeError(
                    f"mdb must be a whole number of mdB, not {mdb!r}; for an attenuation in dB"
                    f" use set_attenuation_db({mdb!r})"
                ) from None
            raise
        if not 0 <= value <= MAX_MDB:
            raise ValueError(
                f"mdb must be from 0 to {MAX_MDB} mdB, not {value}"
                f" (set_attenuation_db takes dB: 0 to {MAX_MDB / 1000} dB)"
            )
        steps, off = divmod(value, _protocol.MDB_PER_STEP)
        if off:
            low = steps * _protocol.MDB_PER_STEP
            raise ValueError(
                f"{value} mdB is between the instrument's {_protocol.MDB_PER_STEP} mdB steps:"
                f" the nearest settable values are {low} and {low + _protocol.MDB_PER_STEP} mdB"
                " (set_attenuation_db rounds to the nearest step)"
            )
        self._command(_protocol.SET_ATTENUATION, self._channel(ch), steps)

    def set_attenuation_db(self, db: float, ch: SupportsIndex = 1) -> None:
        """Sets the attenuation in dB (0 to 655.35), rounded to the nearest 0.01 dB as written
        (12.345 sets 12.35). A value outside the range is a ``ValueError`` (one over 655.35
        points to `set_attenuation_mdb`, in case it was meant in mdB)."""
        import decimal
        import math
        import numbers

        if isinstance(db, bool) or not isinstance(db, numbers.Real):
            raise TypeError(f"db must be a real number, not {type(db).__name__}")
        if not math.isfinite(db):
            raise ValueError(f"attenuation must be a finite number of dB, not {db!r}")
        # Rounded as written (12.345 is 12.35), not as the nearest binary float is.
        steps = int(decimal.Decimal(repr(float(db))).scaleb(2).quantize(1, decimal.ROUND_HALF_UP))
        if steps < 0:
            raise ValueError(f"attenuation must be from 0 to {MAX_MDB / 1000} dB, not {db!r}")
        if steps > _protocol.MAX_STEPS:
            raise ValueError(
                f"attenuation must be from 0 to {MAX_MDB / 1000} dB, not {db!r}; for a value in"
                " mdB use set_attenuation_mdb"
            )
        self._command(_protocol.SET_ATTENUATION, self._channel(ch), steps)

    def clear(self, ch: SupportsIndex = 1) -> None:
        """Clears the channel's attenuation."""
        self._command(_protocol.CLEAR_ATTENUATION, self._channel(ch))

    def disconnect(self, ch: SupportsIndex = 1) -> None:
        """Puts the channel into its disconnected state."""
        self._command(_protocol.DIS_CONNECTION, self._channel(ch))

    def close_display(self) -> None:
        """Closes the instrument's full-screen display."""
        self._command(_protocol.CLOSE_FULL_SCREEN, 1)

    def _channel(self, ch: SupportsIndex) -> int:
        number = _whole(ch, "ch")
        if number not in self.channels:
            names = ", ".join(map(str, self.channels))
            raise ValueError(
                f"channel {number} is not one of this instrument's channels ({names}); an"
                " instrument with more channels is opened with channels=(...)"
            )
        return number

    # -- the exchange -------------------------------------------------------------------------

    def _query(self, command: str, ch: int) -> tuple[int, ...]:
        request = _protocol.request(command, ch, 0)
        fields = _protocol.decode(command, self._exchange(command, request, query=True))
        assert fields is not None, "queries have a reply layout with fields"
        return fields

    def _command(self, command: str, ch: int, value: int = 0) -> None:
        self._exchange(command, _protocol.request(command, ch, value), query=False)

    def _check_thread(self, command: str) -> None:
        """Refuses a call from a process other than the opener (a forked child, which shares
        the port's descriptors and inherited its locks in whatever state they were), and a call
        from inside an exchange on the same thread (a signal handler), which could only wait
        for itself."""
        if os.getpid() != self._pid:
            raise Kq5316Error(
                f"{self.port} was opened in process {self._pid}, and this is process"
                f" {os.getpid()}: open the port again in this process ({command} was not sent)"
            )
        if self._busy == get_ident():
            raise Kq5316Error(
                f"{self.port}: the instrument is busy in this thread: {command} was called from"
                " inside one of its own exchanges (a signal handler, say) and was not sent"
            )

    def _exchange(self, command: str, request: bytes, query: bool) -> bytes:
        self._check_thread(command)
        notes: list[_Note] = []
        try:
            with self._lock:
                port = self._serial
                if port is None:
                    raise Kq5316Error(f"{self.port} is closed: {self._closed_why}")
                self._busy = get_ident()
                try:
                    discard_until = None
                    if self._unanswered:
                        discard_until = self._resynchronise(port, command, notes)
                    elif self._fd is None:  # on a local device, the extension discards
                        self._discard_stale(port, command, notes)
                    return self._transfer(port, command, request, query, notes, discard_until)
                except Kq5316Error:
                    raise
                except (serial.SerialException, OSError) as error:
                    self._lose(port, command, request, error)
                finally:
                    self._busy = 0
        finally:
            if notes:
                _emit(notes)

    def _transfer(
        self,
        port: serial.Serial,
        command: str,
        request: bytes,
        query: bool,
        notes: list[_Note],
        discard_until: float | None,
    ) -> bytes:
        if self._fd is None:
            self._pause()
        start = time.monotonic()
        passed: list[bytes] = []
        # Counted before the write: an interruption anywhere after it leaves the reply unread.
        self._unanswered.append(_kind(request))
        try:
            if self._fd is None:
                reply = _write_and_read(port, command, request, self.strict, self.timeout, passed)
            else:
                start, reply = self._write_and_read_fd(
                    command, request, notes, passed, discard_until
                )
        except BadReply as error:
            if query and error.reply == request:
                raise EchoingPort(self.port, request) from None
            raise
        finally:
            self._ready_at = time.monotonic() + self.settle
            for frame in passed:
                notes.append(
                    (
                        _WARNING,
                        "%s: passed over a reply to another request: %s",
                        (self.port, hex_bytes(frame)),
                    )
                )
        # The instrument answers in order: with this reply, every earlier one is behind us.
        self._unanswered.clear()
        if _logger(_DEBUG) is not None:
            elapsed = (time.monotonic() - start) * 1000
            sent, received = hex_bytes(request), hex_bytes(reply)
            message = "%s: sent %s, received %s in %.3f ms"
            notes.append((_DEBUG, message, (command, sent, received, elapsed)))
        return reply

    def _write_and_read_fd(
        self,
        command: str,
        request: bytes,
        notes: list[_Note],
        passed: list[bytes],
        discard_until: float | None,
    ) -> tuple[float, bytes]:
        """`_discard_stale`, `_pause` and `_write_and_read` on a local device: the extension
        discards, pauses, writes and reads the first frame in one call, without the interpreter's
        lock. The discarding ends by `discard_until` (after a resynchronisation: the end of its
        window, so that the call keeps its bound), else within `timeout`. Returns when the request
        went out, and the reply."""
        fd = self._fd
        assert fd is not None  # this path is taken for a local device only
        now = time.monotonic()
        discard = self.timeout if discard_until is None else max(discard_until - now, 0.0)
        received, elapsed, excerpt, count = _protocol.exchange_fd(
            fd, self._abort_fd, request, self._ready_at - now, self.timeout, discard
        )
        # The usual case, a whole reply that answers the request with nothing stale before it, is
        # decided by one check; anything else goes the long way.
        if not count and type(received) is bytes:
            if _protocol.check(command, request, received, self.strict) is None:
                return time.monotonic() - elapsed, received
        # A str says why the request did not go out (whole): "flooded" and "cancelled" end the
        # discard, with nothing sent; "unsent" is a write the line did not take in time.
        if isinstance(received, str) and received != "unsent":
            self._unanswered.pop()
            self._check_not_closing(command)
            raise self._flooded(command, excerpt, count)
        if count:
            self._note_stale(command, excerpt, count, notes)
        if isinstance(received, str):  # maybe sent in part: its reply may still come
            raise NoReply(request, b"", self.timeout, _NOT_SENT)
        start = time.monotonic() - elapsed
        deadline = start + self.timeout

        def next_frame() -> bytes:
            return _protocol.read_frame_fd(fd, self._abort_fd, deadline - time.monotonic())

        if self._closing and not _complete(received):  # close() cut the wait short
            self._check_not_closing(command)
        return start, _read_reply(
            received, next_frame, command, request, self.strict, self.timeout, passed
        )

    def _pause(self) -> None:
        pause = self._ready_at - time.monotonic()
        if pause > 0:
            time.sleep(pause)

    def _discard_stale(self, port: serial.Serial, command: str, notes: list[_Note]) -> None:
        """Reads and drops what is waiting before a request, in large reads, for at most
        `timeout`: a line that keeps sending for that long is reported and nothing is sent."""
        if not port.in_waiting:
            return
        deadline = time.monotonic() + self.timeout
        excerpt = bytearray()
        count = 0
        while True:
            chunk = _read_waiting(port)
            if not chunk:
                break
            count += len(chunk)
            excerpt += chunk[: EXCERPT_BYTES - len(excerpt)]
            self._check_not_closing(command)
            if time.monotonic() >= deadline:
                raise self._flooded(command, excerpt, count)
        self._note_stale(command, excerpt, count, notes)

    def _flooded(self, command: str, excerpt: bytes | bytearray, count: int) -> Kq5316Error:
        return Kq5316Error(
            f"{self.port}: bytes nobody asked for kept arriving for {self.timeout:g} s"
            f" before {command}, which was not sent: {hex_excerpt(excerpt, count)}"
        )

    def _note_stale(
        self, command: str, excerpt: bytes | bytearray, count: int, notes: list[_Note]
    ) -> None:
        notes.append(
            (
                _WARNING,
                "%s: discarded stale bytes before %s: %s",
                (self.port, command, hex_excerpt(excerpt, count)),
            )
        )

    def _resynchronise(self, port: serial.Serial, command: str, notes: list[_Note]) -> float:
        """Makes sure that no reply to an unanswered request is still to come, within one window
        (`settle` and `timeout`), and returns the window's end; NoReply (with `command` not
        sent) when it cannot.

        The instrument answers in the order of the requests, each at most once. A reply of some
        kind is therefore counted as the answer to the earliest unanswered request of its kind,
        which settles that request and every earlier one. A query (a probe) is sent and the line
        read until a reply settles the probe itself: every reply before it is passed over. The
        probe is of a kind no unanswered request has where there is one, so that its first reply
        settles it; otherwise of the kind whose earliest unanswered request is the newest, and
        when a reply of its kind settles an earlier request instead, another probe follows."""
        self._pause()
        deadline = time.monotonic() + self.timeout
        buffer = bytearray()
        excerpt = bytearray()
        count = 0
        try:
            probe_command, probe = self._send_probe(port, deadline)
            while True:
                start, end = _next_frame(buffer)
                frame = bytes(buffer[start:end])
                settled = bool(frame) and self._settles(frame, probe_command, probe)
                dropped = buffer[:start] if settled else buffer[:end]
                excerpt += dropped[: EXCERPT_BYTES - len(excerpt)]
                count += len(dropped)
                del buffer[:end]
                if settled:
                    count += len(buffer)  # read with the reply, after it: nobody asked for it
                    excerpt += buffer[: EXCERPT_BYTES - len(excerpt)]
                    break
                self._check_not_closing(command)
                if frame:
                    self._ready_at = time.monotonic() + self.settle
                    # Perhaps the probe's own reply, counted against an earlier request of its
                    # kind: a new probe settles what that reply did not.
                    if _kind(frame) == _kind(probe) and self._ready_at < deadline:
                        probe_command, probe = self._send_probe(port, deadline)
                    continue
                if time.monotonic() >= deadline:
                    raise self._not_resynchronised(probe_command, probe, command, bytes(buffer))
                buffer += _read_some(port, deadline)
        finally:
            self._ready_at = time.monotonic() + self.settle
            if count:
                notes.append(
                    (
                        _WARNING,
                        "%s: passed over what came before the reply to %s (replies to earlier"
                        " requests, or bytes nobody asked for): %s",
                        (self.port, probe_command, hex_excerpt(excerpt, count)),
                    )
                )
        notes.append(
            (
                _WARNING,
                "%s: resynchronised with %s before %s after an unanswered request",
                (self.port, probe_command, command),
            )
        )
        return deadline

    def _not_resynchronised(
        self, probe_command: str, probe: bytes, command: str, received: bytes
    ) -> NoReply:
        hint = (
            f"; this was {probe_command}, sent to resynchronise after a request went unanswered;"
            f" {command} was not sent"
        )
        return NoReply(probe, received, self.timeout, hint)

    def _send_probe(self, port: serial.Serial, deadline: float) -> tuple[str, bytes]:
        """Sends the query that resynchronises best now: one of a kind no unanswered request has,
        else the kind whose earliest unanswered request is the newest."""
        unanswered = self._unanswered

        def earliest(probe: tuple[str, bytes]) -> int:
            kind = _kind(probe[1])
            return unanswered.index(kind) if kind in unanswered else len(unanswered)

        probe_command, probe = max(self._probes, key=earliest)
        self._pause()
        if len(unanswered) >= _MAX_UNANSWERED:
            del unanswered[0]  # a reply held back this long is taken as lost
        unanswered.append(_kind(probe))  # before the write: an interruption leaves it unread
        _send(port, probe, deadline, self.timeout)
        return probe_command, probe

    def _settles(self, frame: bytes, probe_command: str, probe: bytes) -> bool:
        """Counts `frame` as the reply to the earliest unanswered request of its kind, and takes
        that request and every earlier one as settled. True when it settles the last request,
        the probe, with a reply that passes every check: nothing is left to come."""
        kind = _kind(frame)
        if kind not in self._unanswered:
            return False  # no request of its kind is unanswered: a duplicate, or unasked
        index = self._unanswered.index(kind)
        last = index == len(self._unanswered) - 1
        if last and _protocol.check(probe_command, probe, frame, True) is not None:
            return False  # of the probe's kind but malformed: not taken as its reply
        del self._unanswered[: index + 1]
        return last

    def _check_not_closing(self, command: str) -> None:
        if self._closing:
            raise Kq5316Error(f"{self.port} was closed from another thread during {command}")

    def _lose(
        self, port: serial.Serial, command: str, request: bytes, error: BaseException
    ) -> NoReturn:
        self._closed_why = f"the port was lost during {command} ({error})"
        with self._port_lock:
            self._serial = None
            _release(port)
        raise PortLost(self.port, command, request, error) from error


def _write_and_read(
    port: serial.Serial,
    command: str,
    request: bytes,
    strict: bool,
    timeout: float,
    passed: list[bytes],
) -> bytes:
    """The I/O step of an exchange through the port's own writes and reads: writes `request`,
    then reads frames until one answers it, within `timeout` of the write (`_read_reply`)."""
    deadline = time.monotonic() + timeout
    _send(port, request, deadline, timeout)
    return _read_reply(
        None, lambda: _read_frame(port, deadline), command, request, strict, timeout, passed
    )


def _read_frame(port: serial.Serial, deadline: float) -> bytes:
    """The next frame as far as it arrives by `deadline`: its first three bytes, then the rest
    their length byte announces."""
    header = _read_exactly(port, _HEADER, deadline, waiting=0)
    length = _protocol.announced_length(header) if len(header) == _HEADER else 0
    if not length:
        return header
    return header + _read_exactly(port, length - _HEADER, deadline, port.in_waiting)


def _read_reply(
    first: bytes | None,
    next_frame: Callable[[], bytes],
    command: str,
    request: bytes,
    strict: bool,
    timeout: float,
    passed: list[bytes],
) -> bytes:
    """The frame that answers `request`: `first` (when it was read with the request), then each
    `next_frame()`. Complete frames that answer another request are appended to `passed` and read
    past. Raises NoReply or BadReply; the port's errors pass through."""
    frame = first if first is not None else next_frame()
    passed_over: BadReply | None = None
    while True:
        length = _protocol.announced_length(frame[:_HEADER]) if len(frame) >= _HEADER else 0
        if len(frame) >= _HEADER and length == 0:
            header = frame[:_HEADER]
            check = _protocol.check(command, request, header, False)
            raise BadReply(check or "length byte", request, header)
        if len(frame) < _HEADER or len(frame) < length:
            if passed_over is not None:
                raise passed_over
            raise NoReply(request, frame, timeout)
        check = _protocol.check(command, request, frame, strict)
        if check is None:
            return frame
        passed_over = BadReply(check, request, frame)
        if check not in _OTHER_REQUEST_CHECKS:
            raise passed_over
        passed.append(frame)
        frame = next_frame()


def _complete(frame: bytes) -> bool:
    """Whether `frame` holds as many bytes as its header announces."""
    return len(frame) >= _HEADER and len(frame) >= _protocol.announced_length(frame[:_HEADER])


def _send(port: serial.Serial, request: bytes, deadline: float, timeout: float) -> None:
    """Writes `request`, by `deadline`: a line that takes no data (flow control held, nothing
    reading at the other end) is a NoReply rather than a wait without end."""
    fd = port.fd if type(port) is serial.Serial and hasattr(port, "fd") else None
    if fd is None:
        try:
            port.write(request)  # bounded by the port's write timeout, where it has one
        except serial.SerialTimeoutException:
            raise NoReply(request, b"", timeout, _NOT_SENT) from None
        return
    # A local terminal is written here rather than by pyserial, whose write waits for the line
    # without a bound when the first attempt finds the output buffer full.
    data = memoryview(request)
    while True:
        try:
            data = data[os.write(fd, data) :]
        except BlockingIOError:
            pass
        if not data:
            return
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise NoReply(request, b"", timeout, _NOT_SENT)
        select.select([], [fd], [], remaining)


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


def _read_waiting(port: serial.Serial) -> bytes:
    """What the port holds now, up to a large chunk, without waiting. (Over ``socket://``,
    pyserial counts at most one byte as waiting, so the count is not asked.)"""
    if port.timeout != 0:
        port.timeout = 0
    return bytes(port.read(_READ_CHUNK))


def _read_some(port: serial.Serial, deadline: float) -> bytes:
    """What is waiting, or else the first byte to come by `deadline`."""
    if port.in_waiting:
        return _read_waiting(port)
    return _read_exactly(port, 1, deadline, waiting=0)


def _next_frame(buffer: bytearray) -> tuple[int, int]:
    """Where the first well-formed frame (start, length, end byte and checksum) lies in `buffer`:
    ``(start, end)``. While there is none (``start == end``), the bytes before ``start`` cannot
    begin one, and ``end`` is ``start``."""
    keep = len(buffer)
    start = buffer.find(_START_BYTE)
    while start >= 0:
        if len(buffer) - start < _HEADER:
            keep = min(keep, start)  # may still become a frame
            return keep, keep
        length = _protocol.announced_length(bytes(buffer[start : start + _HEADER]))
        end = start + length
        if length and end > len(buffer):
            keep = min(keep, start)  # may still become a frame
        elif length and buffer[end - 1] == _END_BYTE:
            frame = bytes(buffer[start:end])
            if frame[-2] == _protocol.checksum(frame):
                return start, end
        start = buffer.find(_START_BYTE, start + 1)
    return keep, keep


def _emit(notes: list[_Note]) -> None:
    """Logs what an exchange noted, with no lock held; a handler's failure is reported by the
    logging module's error handling, never raised into the caller."""
    for level, message, args in notes:
        logger = _logger(level)
        if logger is None:
            continue
        try:
            logger.log(level, message, *args)
        except Exception:
            import logging

            # Reported the way the logging module reports its own handlers' failures.
            record = logger.makeRecord(logger.name, level, __file__, 0, message, args, None)
            logging.Handler().handleError(record)


def _logger(level: int) -> logging.Logger | None:
    """The logger ``kq5316x`` if it handles records of `level`, else None. logging is imported
    at the first warning: until something imports it, nothing can have configured it, and its
    defaults drop every record below a warning."""
    if not _LOGGER:
        if level < _WARNING and "logging" not in sys.modules:
            return None
        import logging

        # Kept: getLogger takes the logging module's lock, which every exchange of every thread
        # would otherwise contend for.
        _LOGGER.append(logging.getLogger(LOGGER_NAME))
    logger = _LOGGER[0]
    return logger if logger.isEnabledFor(level) else None


_LOGGER: list[logging.Logger] = []  # the logger kq5316x, once logging is imported


# -- ports --------------------------------------------------------------------------------------


def _local_device(port: str) -> str | None:
    """The device path of a local port (or of a spy on one), None for other pyserial URLs."""
    if port.startswith("spy://"):
        return port[len("spy://") :].split("?", 1)[0]
    return None if "://" in port else port


def _baud_rate(value: int) -> int:
    rate = _whole(value, "baudrate")
    if rate not in BAUD_RATES:
        rates = ", ".join(map(str, BAUD_RATES))
        raise ValueError(f"baudrate must be one of {rates}; not {rate}")
    return rate


def _open_port(port: str, timeout: float, baudrate: int) -> serial.Serial:
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
            _release(opened)
            raise PortBusy(port, *holder)
    return opened


def _local_descriptors(port: serial.Serial) -> tuple[int | None, int]:
    """The descriptor of a local device the extension can make exchanges on, and the pipe that
    cancels the port's reads (-1 if none); (None, -1) where the port's own I/O serves: URLs (a spy
    logs what passes, a socket is no terminal), Windows, and systems other than Linux, where
    poll() may not take terminals (macOS answers POLLNVAL for devices)."""
    if not sys.platform.startswith("linux") or not hasattr(_protocol, "exchange_fd"):
        return None, -1
    if type(port) is not getattr(serial, "Serial", None):
        return None, -1
    fd, abort = getattr(port, "fd", None), getattr(port, "pipe_abort_read_r", None)
    if not isinstance(fd, int):
        return None, -1
    return fd, abort if isinstance(abort, int) else -1


def _cancel_read(port: serial.Serial | None) -> None:
    """Wakes a wait on the port's descriptor (the port's own read, or the extension's)."""
    try:
        if port is not None:
            port.cancel_read()
    except (OSError, TypeError, serial.SerialException):
        pass  # closed meanwhile (its pipe already gone): there is no wait left to end


def _release(port: serial.Serial) -> None:
    """Closes a port, first lifting its exclusive mode (which would otherwise outlive this
    open on a terminal that stays open elsewhere, such as a pseudo-terminal's)."""
    _set_exclusive(port, False)
    try:
        port.close()
    except (serial.SerialException, OSError):
        pass  # a port already gone: closing it has nothing left to do


def _drop_descriptors(port: serial.Serial) -> None:
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
