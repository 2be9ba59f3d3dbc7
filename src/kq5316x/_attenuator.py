"""`Attenuator`: one instrument on one port, every reply checked, every failure an exception.
The public face: arguments checked, requests built, replies decoded; the exchanges themselves
are the engine's (`_engine`), over a transport (`_transports`) on a port (`_ports`)."""

from __future__ import annotations

import operator
from collections import namedtuple

from . import _protocol
from ._engine import Engine
from ._protocol import Command
from ._errors import NoReply
from ._ports import open_port
from ._transports import open_transport

# Only what serial has not imported already is imported here, and only what every program needs:
# typing, logging and decimal (with re, enum and traceback behind them) would cost more than the
# rest of the package together. Type checkers see the annotations' names and the typed records.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable
    from types import TracebackType
    from typing import Any, NamedTuple, SupportsIndex

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

BAUD_RATE = 115200
# The rates a serial port is commonly set to; the instrument's own default is BAUD_RATE.
BAUD_RATES = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600)
MAX_MDB = _protocol.MAX_STEPS * _protocol.MDB_PER_STEP
# The longest `timeout` or `settle` accepted: beyond it the waits of the system calls overflow.
MAX_SECONDS = 86400.0


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


def db_to_steps(db: float) -> int:
    """The instrument's steps for an attenuation in dB, rounded to the nearest 0.01 dB as written
    (12.345 is 12.35), not as the nearest binary float is; ``ValueError`` outside 0 to 655.35 dB
    and ``TypeError`` for anything but a real number. Shared by every face that takes dB."""
    import decimal
    import math
    import numbers

    if isinstance(db, bool) or not isinstance(db, numbers.Real):
        raise TypeError(f"db must be a real number, not {type(db).__name__}")
    if not math.isfinite(db):
        raise ValueError(f"attenuation must be a finite number of dB, not {db!r}")
    steps = int(decimal.Decimal(repr(float(db))).scaleb(2).quantize(1, decimal.ROUND_HALF_UP))
    if steps < 0:
        raise ValueError(f"attenuation must be from 0 to {MAX_MDB / 1000} dB, not {db!r}")
    if steps > _protocol.MAX_STEPS:
        raise ValueError(
            f"attenuation must be from 0 to {MAX_MDB / 1000} dB, not {db!r}; for a value in"
            " mdB use set_attenuation_mdb"
        )
    return steps


def _channel_list(channels: Iterable[SupportsIndex]) -> tuple[int, ...]:
    found = tuple(_integer(ch, "a channel", 0, _protocol.MAX_CHANNEL) for ch in channels)
    if not found:
        raise ValueError("channels must name at least one channel")
    return tuple(dict.fromkeys(found))


class Attenuator(Engine):
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
      every call raises `Kq5316Error` at once (open the port again there), and `close`, or
      letting the object go, only closes that process's copies of the descriptors: the opener's
      port stays as it was.
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
        self._start(open_transport(open_port(port, self.timeout, self.baudrate), port))
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
        return Version(*self._query(Command.READ_DEVICE_VERSION, 1))

    def wavelengths(self, ch: SupportsIndex = 1) -> tuple[int, ...]:
        """The wavelengths (nm) channel `ch` supports, in the instrument's order."""
        wavelengths: tuple[int, ...] = self._query(Command.READ_WAVELENGTHS, self._channel(ch))[0]
        return wavelengths

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
        self._command(Command.SELECT_WAVELENGTH, channel, supported.index(wanted))

    def status(self, ch: SupportsIndex = 1) -> Status:
        """The channel's mode, wavelength index and attenuation (in mdB, also `.attenuation_db`)."""
        return Status(*self._query(Command.READ_CURRENT_STATUS, self._channel(ch)))

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
        self._command(Command.SET_ATTENUATION, self._channel(ch), steps)

    def set_attenuation_db(self, db: float, ch: SupportsIndex = 1) -> None:
        """Sets the attenuation in dB (0 to 655.35), rounded to the nearest 0.01 dB as written
        (12.345 sets 12.35). A value outside the range is a ``ValueError`` (one over 655.35
        points to `set_attenuation_mdb`, in case it was meant in mdB)."""
        self._command(Command.SET_ATTENUATION, self._channel(ch), db_to_steps(db))

    def clear(self, ch: SupportsIndex = 1) -> None:
        """Clears the channel's attenuation."""
        self._command(Command.CLEAR_ATTENUATION, self._channel(ch))

    def disconnect(self, ch: SupportsIndex = 1) -> None:
        """Puts the channel into its disconnected state."""
        self._command(Command.DISCONNECT, self._channel(ch))

    def close_display(self) -> None:
        """Closes the instrument's full-screen display."""
        self._command(Command.CLOSE_FULL_SCREEN, 1)

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

    def _query(self, command: str, ch: int) -> tuple[Any, ...]:
        request = _protocol.request(command, ch, 0)
        fields = _protocol.decode(command, self._exchange(command, request, query=True))
        assert fields is not None, "queries have a reply layout with fields"
        return fields

    def _command(self, command: str, ch: int, value: int = 0) -> None:
        self._exchange(command, _protocol.request(command, ch, value), query=False)


def _baud_rate(value: int) -> int:
    rate = _whole(value, "baudrate")
    if rate not in BAUD_RATES:
        rates = ", ".join(map(str, BAUD_RATES))
        raise ValueError(f"baudrate must be one of {rates}; not {rate}")
    return rate

