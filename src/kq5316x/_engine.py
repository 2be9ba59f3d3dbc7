"""The exchange engine: one request and its checked reply at a time on a port's transport, with
stale input discarded, `settle` kept, replies to other requests passed over, resynchronisation
after a reply went unread, and what happened logged once the port is free again."""

from __future__ import annotations

import os
import sys
import time
from _thread import RLock, allocate_lock, get_ident

import serial

from . import _protocol
from ._protocol import Command
from ._errors import (
    EXCERPT_BYTES,
    BadReply,
    EchoingPort,
    Kq5316Error,
    NoReply,
    PortLost,
    hex_bytes,
    hex_excerpt,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    import logging

    from ._transports import Transport

LOGGER_NAME = "kq5316x"
# The logging module's levels (fixed numbers), without importing it.
_DEBUG, _WARNING = 10, 30
# Checks that a complete, well-framed frame fails when it answers some other request (a reply that
# came too late for an earlier call): such a frame is passed over and the reply read on.
_OTHER_REQUEST_CHECKS = frozenset({_protocol.CHECK_COMMAND_BYTES, _protocol.CHECK_CHANNEL})
_START_BYTE = 0x7B
_END_BYTE = 0x7D
_HEADER = 3
_NOT_SENT = "; the request could not be sent: the line takes no data (flow control, or no reader)"
# Unanswered requests remembered at most: beyond this many, the oldest is taken as lost, so that
# a line that never answers does not make the list grow without end.
_MAX_UNANSWERED = 256

# A log record kept while the exchange lock is held and emitted once it is released.
_Note = tuple[int, str, tuple[object, ...]]


def _kind(request: bytes) -> bytes:
    """What a strict check compares between a request and a reply: the channel and the command
    bytes. Two requests of one kind cannot be told apart by their replies."""
    return request[1:2] + request[3:5]


def _short(frame: bytes) -> bool:
    """Whether `frame` holds fewer bytes than its header (or, with one, its length byte) needs."""
    return len(frame) < max(_HEADER, _protocol.announced_length(frame[:_HEADER]))


class Engine:
    """The exchanges of one open port (`port` names it in messages), made through `transport`
    with the settings `timeout`, `settle`, `strict` and `channels` as they are at each call."""

    port: str
    timeout: float
    settle: float
    strict: bool
    channels: tuple[int, ...]

    def _start(self, transport: Transport) -> None:
        # Held for each exchange. Re-entrant only so that a call from inside an exchange on the
        # same thread (a signal handler) reaches the check on `_busy` and is refused there,
        # rather than waiting for ever on its own thread.
        self._lock = RLock()
        self._busy = 0  # the ident of the thread inside an exchange, 0 when none is
        self._pid = os.getpid()  # descriptors and locks belong to the process that opened them
        # Held while a wait is cancelled (which writes to the transport's abort pipe) and while
        # the transport is closed (which closes that pipe): a cancel never writes to a
        # descriptor number that a close in another thread has just freed, and that may already
        # name something else. Taken alone, or inside `_lock`, never the other way round.
        self._port_lock = allocate_lock()
        self._ready_at = 0.0  # monotonic time before which no request goes out (settle)
        # Kinds of the requests sent whose replies were never read, oldest first.
        self._unanswered: list[bytes] = []
        # What the exchange in progress logs once the port is free again.
        self._notes: list[_Note] = []
        # The queries a resynchronisation may send, in the order they are preferred.
        probes = [(Command.READ_DEVICE_VERSION, 1)]
        for channel in self.channels:
            probes += [(Command.READ_CURRENT_STATUS, channel), (Command.READ_WAVELENGTHS, channel)]
        self._probes = [(command, _protocol.request(command, ch, 0)) for command, ch in probes]
        self._closing = False
        self._closed_why = "it was closed"
        self._transport: Transport | None = transport

    @property
    def closed(self) -> bool:
        """True once `close` was called, the constructor failed after opening, or the port was
        lost (`PortLost`)."""
        return self._transport is None

    def close(self) -> None:
        """Closes the port; closing again does nothing. From another thread, it waits for the
        exchange in progress (its discarding of stale input is cut short) and then closes. In a
        process forked from the opener it only closes that process's copies of the descriptors,
        leaving the opener's port as it was."""
        if os.getpid() != self._pid:
            transport, self._transport = self._transport, None
            if transport is not None:
                transport.drop()
            return
        self._check_thread("close")
        self._closing = True
        with self._port_lock:
            if self._transport is not None:
                self._transport.cancel()  # ends a discard or a wait in progress early
        with self._lock, self._port_lock:
            transport, self._transport = self._transport, None
            if transport is not None:
                transport.close()

    def __del__(self) -> None:
        # In a process forked from the opener, the port object's own finaliser would close the
        # opener's port with it (a socket is shut down for both): this process's copies go first.
        if getattr(self, "_pid", None) not in (None, os.getpid()):
            self.close()

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

    def _check_not_closing(self, command: str) -> None:
        if self._closing:
            raise Kq5316Error(f"{self.port} was closed from another thread during {command}")

    def _warn(self, message: str, *args: object) -> None:
        self._notes.append((_WARNING, message, args))

    def _exchange(self, command: str, request: bytes, query: bool) -> bytes:
        self._check_thread(command)
        notes: list[_Note] = []
        try:
            with self._lock:
                transport = self._transport
                if transport is None:
                    raise Kq5316Error(f"{self.port} is closed: {self._closed_why}")
                self._busy = get_ident()
                try:
                    return self._transfer(transport, command, request, query)
                except Kq5316Error:
                    raise
                except (serial.SerialException, OSError) as error:
                    self._closed_why = f"the port was lost during {command} ({error})"
                    with self._port_lock:
                        self._transport = None
                        transport.close()
                    raise PortLost(self.port, command, request, error) from error
                finally:
                    self._busy = 0
                    notes, self._notes = self._notes, notes
        finally:
            if notes:
                _emit(notes)

    def _transfer(self, transport: Transport, command: str, request: bytes, query: bool) -> bytes:
        """Resynchronises first where a reply went unread; discards stale input (for at most
        `timeout`; after a resynchronisation, until the end of its window, so that the call keeps
        its bound), keeps `settle`, writes `request` and reads until the reply that answers it,
        passing over replies to other requests."""
        discard_until = self._resynchronise(transport, command) if self._unanswered else None
        # Counted before the write: an interruption anywhere after it leaves the reply unread.
        self._unanswered.append(_kind(request))
        try:
            now = time.monotonic()
            discard = self.timeout if discard_until is None else max(discard_until - now, 0.0)
            received, elapsed, excerpt, count = transport.exchange(
                request, self._ready_at - now, self.timeout, discard
            )
            start = time.monotonic() - elapsed
            deadline = start + self.timeout
            reply = self._reply(transport, command, request, received, excerpt, count, deadline)
        except BadReply as error:
            if query and error.reply == request:
                raise EchoingPort(self.port, request) from None
            raise
        finally:
            self._ready_at = time.monotonic() + self.settle
        # The instrument answers in order: with this reply, every earlier one is behind us.
        self._unanswered.clear()
        if _logger(_DEBUG) is not None:
            elapsed = (time.monotonic() - start) * 1000
            sent, received = hex_bytes(request), hex_bytes(reply)
            message = "%s: sent %s, received %s in %.3f ms"
            self._notes.append((_DEBUG, message, (command, sent, received, elapsed)))
        return reply

    def _reply(
        self,
        transport: Transport,
        command: str,
        request: bytes,
        received: bytes | str,
        excerpt: bytes,
        count: int,
        deadline: float,
    ) -> bytes:
        """The frame that answers `request`: what the transport's exchange read, then each next
        frame until `deadline`. Complete frames that answer another request are noted and read
        past, and so is stale input; a request that did not go out is reported. Raises NoReply
        or BadReply; the port's errors pass through."""
        # A str says why the request did not go out (whole): "flooded" and "cancelled" end the
        # discard, with nothing sent; "unsent" is a write the line did not take in time.
        if isinstance(received, str) and received != "unsent":
            self._unanswered.pop()
            self._check_not_closing(command)
            raise Kq5316Error(
                f"{self.port}: bytes nobody asked for kept arriving for {self.timeout:g} s"
                f" before {command}, which was not sent: {hex_excerpt(excerpt, count)}"
            )
        if count:
            stale = hex_excerpt(excerpt, count)
            self._warn("%s: discarded stale bytes before %s: %s", self.port, command, stale)
        if isinstance(received, str):  # maybe sent in part: its reply may still come
            raise NoReply(request, b"", self.timeout, _NOT_SENT)
        frame = received
        passed_over: BadReply | None = None
        while (check := _protocol.check(command, request, frame, self.strict)) is not None:
            if _short(frame):  # the time ran out, or close() cut the wait short
                if passed_over is not None:
                    raise passed_over
                self._check_not_closing(command)
                raise NoReply(request, frame, self.timeout)
            passed_over = BadReply(check, request, frame)
            if check not in _OTHER_REQUEST_CHECKS:
                raise passed_over
            message = "%s: passed over a reply to another request: %s"
            self._warn(message, self.port, hex_bytes(frame))
            frame = transport.read_frame(deadline)
        return frame

    def _pause(self) -> None:
        pause = self._ready_at - time.monotonic()
        if pause > 0:
            time.sleep(pause)

    def _resynchronise(self, transport: Transport, command: str) -> float:
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
            probe_command, probe = self._send_probe(transport, deadline)
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
                        probe_command, probe = self._send_probe(transport, deadline)
                    continue
                if time.monotonic() >= deadline:
                    hint = (
                        f"; this was {probe_command}, sent to resynchronise after a request went"
                        f" unanswered; {command} was not sent"
                    )
                    raise NoReply(probe, bytes(buffer), self.timeout, hint)
                buffer += transport.read_some(deadline)
        finally:
            self._ready_at = time.monotonic() + self.settle
            if count:
                self._warn(
                    "%s: passed over what came before the reply to %s (replies to earlier"
                    " requests, or bytes nobody asked for): %s",
                    self.port,
                    probe_command,
                    hex_excerpt(excerpt, count),
                )
        self._warn(
            "%s: resynchronised with %s before %s after an unanswered request",
            self.port,
            probe_command,
            command,
        )
        return deadline

    def _send_probe(self, transport: Transport, deadline: float) -> tuple[str, bytes]:
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
        if not transport.send(probe, deadline):
            raise NoReply(probe, b"", self.timeout, _NOT_SENT)
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



def _next_frame(buffer: bytearray) -> tuple[int, int]:
    """Where the first well-formed frame (start, length, end byte and checksum) lies in `buffer`:
    ``(start, end)``. While there is none (``start == end``), the bytes before ``start`` cannot
    begin one, and ``end`` is ``start``."""
    keep = len(buffer)
    start = buffer.find(_START_BYTE)
    while start >= 0:
        end = start + _protocol.announced_length(bytes(buffer[start : start + _HEADER]))
        if len(buffer) - start < _HEADER or end > len(buffer):
            keep = min(keep, start)  # may still become a frame
        elif end > start and buffer[end - 1] == _END_BYTE:
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
