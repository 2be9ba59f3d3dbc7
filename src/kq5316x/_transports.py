"""Transports: the I/O an exchange needs from an open port, in two kinds. `FdTransport` works on a
file descriptor (a local serial device on Linux, or the socket of a ``socket://HOST:PORT`` URL on
any POSIX system): the extension discards stale input, pauses, writes and reads a reply's frame
with the interpreter's lock released once. `SerialTransport` uses pyserial's own I/O, for every
other URL and system. The engine (`_engine`) decides what the bytes mean."""

from __future__ import annotations

import os
import select
import socket
import sys
import time

import serial

from . import _protocol
from ._errors import EXCERPT_BYTES
from ._ports import drop_descriptors, release

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Protocol

    class Transport(Protocol):
        """What the engine asks of a port. Errors of the port itself are OSError or
        serial.SerialException; nothing else is raised. Deadlines are monotonic."""

        @property
        def fd(self) -> int | None:
            """The descriptor exchanges are made on, where there is one."""

        def exchange(
            self, request: bytes, pause: float, timeout: float, discard: float
        ) -> tuple[bytes | str, float, bytes, int]:
            """Discards what is waiting (for at most `discard` s), waits `pause` s, writes
            `request` and reads the frame that follows within `timeout` s of the write:
            ``(received, elapsed, stale, stale_count)`` as `_protocol.exchange_fd` gives it."""

        def read_frame(self, deadline: float) -> bytes:
            """The next frame, as far as it arrives by `deadline`."""

        def send(self, data: bytes, deadline: float) -> bool:
            """Writes `data`; False when the line did not take it all by `deadline`."""

        def read_some(self, deadline: float) -> bytes:
            """What is waiting, or else the first bytes to come by `deadline`; empty when none
            came or `cancel` was called."""

        def cancel(self) -> None:
            """Ends a wait in another thread early (close)."""

        def close(self) -> None: ...

        def drop(self) -> None:
            """Closes this process's copies of the descriptors only (a forked child)."""


# Bytes asked for by one read of whatever is waiting: stale input goes in few, large reads.
_READ_CHUNK = 1 << 16
_HEADER = 3
# How far a read may outlast its deadline rather than reconfigure the port for it.
_TIMEOUT_SLACK = 0.01


def open_transport(port: serial.Serial, url: str) -> Transport:
    """The fastest transport that serves `port` (opened from `url`) faithfully: the descriptor of
    a local device on Linux (elsewhere poll() may refuse terminals: macOS answers POLLNVAL) or of
    a plain ``socket://HOST:PORT`` (a URL with options asks for pyserial's own handling, such as
    its logging); pyserial's I/O for everything else: spies, RFC 2217, loop, Windows."""
    if not hasattr(_protocol, "exchange_fd"):
        return SerialTransport(port)
    if type(port) is serial.Serial and sys.platform.startswith("linux") and port.fd is not None:
        return FdTransport(port, port.fd, port.pipe_abort_read_r)
    if url.startswith("socket://") and "?" not in url:
        connection = getattr(port, "_socket", None)
        if connection is not None:
            # Each request is one small write answered by the instrument: sent at once, not
            # held back to be joined with a next write that only comes after the reply.
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            return FdTransport(port, connection.fileno(), None)
    return SerialTransport(port)


class FdTransport:
    """Exchanges on a descriptor. A terminal's own abort pipe (pyserial's, which its
    ``cancel_read`` writes to) ends waits early; a socket gets a pipe of its own for that."""

    def __init__(self, port: serial.Serial, fd: int, abort: int | None) -> None:
        self.port = port
        self.fd = fd
        self._own_pipe = abort is None
        if abort is None:
            abort, self._wake = os.pipe()
            os.set_blocking(abort, False)
            os.set_blocking(self._wake, False)
        self._abort = abort
        self._poll = select.poll()
        self._poll.register(fd, select.POLLIN)
        self._poll.register(abort, select.POLLIN)

    def exchange(
        self, request: bytes, pause: float, timeout: float, discard: float
    ) -> tuple[bytes | str, float, bytes, int]:
        return _protocol.exchange_fd(self.fd, self._abort, request, pause, timeout, discard)

    def read_frame(self, deadline: float) -> bytes:
        return _protocol.read_frame_fd(self.fd, self._abort, deadline - time.monotonic())

    def send(self, data: bytes, deadline: float) -> bool:
        return _write(self.fd, data, deadline)

    def read_some(self, deadline: float) -> bytes:
        while True:
            remaining = deadline - time.monotonic()
            ready = dict(self._poll.poll(max(remaining, 0) * 1000))
            if ready.get(self._abort):
                _drain(self._abort)
                return b""
            if not ready:
                if remaining <= 0:
                    return b""
                continue  # poll() counts whole milliseconds: it may wake just before the end
            try:
                data = os.read(self.fd, _READ_CHUNK)
            except BlockingIOError:
                continue
            if not data:  # readable, yet nothing to read: the other end is gone
                raise OSError("the port reads as ended (device disconnected or closed)")
            return data

    def cancel(self) -> None:
        if self._own_pipe:
            try:
                os.write(self._wake, b"x")
            except OSError:
                pass  # full (a cancel is waiting already), or closed meanwhile
        else:
            _cancel_read(self.port)

    def close(self) -> None:
        release(self.port)
        self._close_pipe()

    def drop(self) -> None:
        drop_descriptors(self.port)
        self._close_pipe()

    def _close_pipe(self) -> None:
        if self._own_pipe:
            for descriptor in (self._abort, self._wake):
                try:
                    os.close(descriptor)
                except OSError:
                    pass  # already closed


class SerialTransport:
    """Exchanges through pyserial's own reads and writes, for ports that are no descriptor the
    extension can use. A wait in progress ends at the latest at its deadline; `cancel` ends a
    discard early and, on a local device, the port's own read."""

    fd: None = None

    def __init__(self, port: serial.Serial) -> None:
        self.port = port
        self._cancelled = False

    def exchange(
        self, request: bytes, pause: float, timeout: float, discard: float
    ) -> tuple[bytes | str, float, bytes, int]:
        now = time.monotonic()
        outcome, excerpt, count = self._discard(now + discard)
        if outcome:
            return outcome, 0.0, excerpt, count
        pause = now + pause - time.monotonic()
        if pause > 0:
            time.sleep(pause)
        start = time.monotonic()
        if not self.send(request, start + timeout):
            return "unsent", 0.0, excerpt, count
        frame = self.read_frame(start + timeout)
        return frame, time.monotonic() - start, excerpt, count

    def _discard(self, deadline: float) -> tuple[str, bytes, int]:
        """Reads and drops what is waiting, in large reads: "flooded" when bytes still come at
        `deadline`, "cancelled" after `cancel`; the excerpt kept and the count."""
        excerpt = bytearray()
        count = 0
        if not self.port.in_waiting:
            return "", b"", 0
        while True:
            chunk = _read_waiting(self.port)
            if not chunk:
                return "", bytes(excerpt), count
            count += len(chunk)
            excerpt += chunk[: EXCERPT_BYTES - len(excerpt)]
            if self._cancelled:
                return "cancelled", bytes(excerpt), count
            if time.monotonic() >= deadline:
                return "flooded", bytes(excerpt), count

    def read_frame(self, deadline: float) -> bytes:
        """Its first three bytes, then the rest their length byte announces."""
        header = _read_exactly(self.port, _HEADER, deadline, waiting=0)
        length = _protocol.announced_length(header) if len(header) == _HEADER else 0
        if not length:
            return header
        rest = _read_exactly(self.port, length - _HEADER, deadline, self.port.in_waiting)
        return header + rest

    def send(self, data: bytes, deadline: float) -> bool:
        fd = getattr(self.port, "fd", None) if type(self.port) is serial.Serial else None
        if isinstance(fd, int):
            # A local terminal is written here rather than by pyserial, whose write waits for
            # the line without a bound when the first attempt finds the output buffer full.
            return _write(fd, data, deadline)
        try:
            self.port.write(data)  # bounded by the port's write timeout, where it has one
        except serial.SerialTimeoutException:
            return False
        return True

    def read_some(self, deadline: float) -> bytes:
        if self._cancelled:
            return b""
        if self.port.in_waiting:
            return _read_waiting(self.port)
        return _read_exactly(self.port, 1, deadline, waiting=0)

    def cancel(self) -> None:
        self._cancelled = True
        _cancel_read(self.port)

    def close(self) -> None:
        release(self.port)

    def drop(self) -> None:
        drop_descriptors(self.port)


def _write(fd: int, data: bytes, deadline: float) -> bool:
    """Writes `data` to a non-blocking descriptor; False when the line (flow control held,
    nothing reading at the other end) did not take it all by `deadline`."""
    view = memoryview(data)
    while True:
        try:
            view = view[os.write(fd, view) :]
        except BlockingIOError:
            pass
        if not view:
            return True
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return False
        writable = select.poll()
        writable.register(fd, select.POLLOUT)
        writable.poll(remaining * 1000)


def _drain(fd: int) -> None:
    try:
        while os.read(fd, 64):
            pass
    except OSError:
        pass  # empty (non-blocking), or closed


def _cancel_read(port: serial.Serial) -> None:
    """Wakes a wait in the port's own read (or the extension's, on the same pipe)."""
    try:
        port.cancel_read()
    except (OSError, TypeError, AttributeError, NotImplementedError, serial.SerialException):
        pass  # closed meanwhile (its pipe already gone), or a port with nothing to wake


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
