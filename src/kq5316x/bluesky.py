"""The instrument as an ophyd-async device, for Bluesky plans.

    from bluesky import RunEngine
    from bluesky.plans import count, rel_scan
    from ophyd_async.core import init_devices
    from kq5316x.bluesky import KQ5316

    RE = RunEngine()
    with init_devices():
        att = KQ5316("/dev/ttyUSB0")
    RE(count([att]))                           # every channel's attenuation and wavelength
    RE(rel_scan([att], att.ch1, -1, 1, 5))     # channel 1 as the motor
    att.close()

Each channel (``att.ch1``, ...) is movable (its attenuation in dB), and so are its settings
``attenuation`` and ``wavelength``; docs/bluesky.rst describes the readings, the checks made before
anything is sent, failed moves and mock mode. Needs the ``bluesky`` extra (ophyd-async).
"""

# mypy: allow-subclassing-any, allow-untyped-decorators

from __future__ import annotations

import asyncio
import math
import numbers
import operator
from collections.abc import Awaitable, Callable, Sequence
from typing import Any, TypeVar

import numpy as np  # type: ignore[import-not-found, unused-ignore]
from bluesky.protocols import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    Location,
    Movable,
    Reading,
)
from event_model import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    DataKey,
)
from ophyd_async.core import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    DEFAULT_TIMEOUT,
    Array1D,
    AsyncStatus,
    DeviceMock,
    SignalBackend,
    SignalDatatypeT,
    SignalR,
    SignalRW,
    SoftSignalBackend,
    StandardReadable,
    StandardReadableFormat,
    set_mock_precision,
    set_mock_units,
    set_mock_value,
    soft_signal_r_and_setter,
)

from ._attenuator import MAX_MDB, Attenuator, Status
from ._errors import Kq5316Error

__all__ = ["AttenuatorChannel", "InstrumentBackend", "KQ5316", "Setting", "check_attenuation"]

T = TypeVar("T")
MAX_DB = MAX_MDB / 1000


class InstrumentBackend(SignalBackend[SignalDatatypeT]):
    """A signal's value as the instrument reports it at each read, or a setting the instrument
    is told (`options`: the soft backend's getter or setter, units, precision); the signal's
    source names the port. Not a soft backend, so that a device connected in mock mode gets a
    plain mock in its place and never calls the instrument."""

    def __init__(self, datatype: type[SignalDatatypeT], source: str, **options: Any) -> None:
        self._source = source
        # The soft backend keeps the value, its metadata and its subscribers.
        self._value = SoftSignalBackend(datatype, **options)
        super().__init__(datatype)

    def source(self, name: str, read: bool) -> str:
        return self._source

    async def connect(self, timeout: float) -> None:
        """Nothing to do: the device opens the port."""

    async def put(self, value: SignalDatatypeT | None) -> None:
        await self._value.put(value)

    async def get_datakey(self, source: str) -> DataKey:
        return await self._value.get_datakey(source)

    async def get_reading(self) -> Reading[SignalDatatypeT]:
        return await self._value.get_reading()

    async def get_value(self) -> SignalDatatypeT:
        return await self._value.get_value()

    async def get_setpoint(self) -> SignalDatatypeT:
        return await self._value.get_setpoint()

    def set_callback(self, callback: Callable[[Reading[SignalDatatypeT]], None] | None) -> None:
        self._value.set_callback(callback)


class Setting(StandardReadable, Movable[SignalDatatypeT]):
    """One setting of a channel (attenuation, wavelength): readable, its reading taken from the
    instrument under the setting's own name, and movable; ``setpoint`` holds the last value it
    was moved to. A value is checked before anything is sent; a set's status fails with the
    `kq5316x` exception itself when the instrument does not acknowledge it.

    A device rather than a signal: a signal's set replaces any TimeoutError, NoReply included,
    by a TimeoutError of its own that names only the signal."""

    def __init__(
        self,
        datatype: type[SignalDatatypeT],
        source: str,
        read: Callable[[], Awaitable[SignalDatatypeT]],
        write: Callable[[SignalDatatypeT], Awaitable[None]],
        check: Callable[[Any], Awaitable[None]],
        *,
        hinted: bool,
        **metadata: Any,
    ) -> None:
        self._check = check
        self._write = InstrumentBackend(datatype, source + "/setpoint", setter=write, **metadata)
        self.setpoint = SignalRW(self._write)
        reading = (
            StandardReadableFormat.HINTED_UNCACHED_SIGNAL
            if hinted
            else StandardReadableFormat.UNCACHED_SIGNAL
        )
        with self.add_children_as_readables(reading):
            self.readback = SignalR(InstrumentBackend(datatype, source, getter=read, **metadata))
        super().__init__(name="")

    def set_name(self, name: str, *, child_name_separator: str | None = None) -> None:
        super().set_name(name, child_name_separator=child_name_separator)
        # The reading carries the setting's name, as a motor's read-back does.
        self.readback.set_name(name)

    async def check_value(self, value: SignalDatatypeT) -> None:
        """Raises what a set of `value` would raise before sending anything."""
        await self._check(value)

    @AsyncStatus.wrap
    async def set(self, value: SignalDatatypeT) -> None:
        """Done when the instrument has acknowledged the new value."""
        await self._check(value)
        if self._mock is None:
            # The backend directly, not the signal's set (see the class's comment).
            await self._write.put(value)
            return
        # Mock mode: a put that a test can watch or answer (callback_on_mock_put), whose
        # result the reading then shows, as the instrument's would.
        await self.setpoint.set(value)
        set_mock_value(self.readback, await self.setpoint.get_value())

    async def locate(self) -> Location[SignalDatatypeT]:
        """The value the instrument holds, as both setpoint and read-back: it is what the last
        acknowledged set left (rounded to the instrument's step) unless changed at the
        instrument since, so a relative move starts from it."""
        readback = await self.readback.get_value()
        return Location(setpoint=readback, readback=readback)


async def check_attenuation(db: Any) -> None:
    """A finite number of dB from 0 to 655.35; a bool is no attenuation."""
    if isinstance(db, bool) or not isinstance(db, numbers.Real):
        raise TypeError(f"attenuation must be a real number of dB, not {type(db).__name__}")
    if not (math.isfinite(db) and 0 <= float(db) <= MAX_DB):
        raise ValueError(f"attenuation must be a finite number from 0 to {MAX_DB} dB, not {db!r}")


class AttenuatorChannel(StandardReadable, Movable[float]):
    """One channel: ``attenuation`` (dB, hinted) and ``wavelength`` (nm, one of the channel's
    own) are movable settings, ``mode`` is read-only, ``wavelengths`` (configuration) lists the
    channel's wavelengths; moving the channel sets its attenuation."""

    def __init__(self, instrument: KQ5316, ch: int, name: str = "") -> None:
        # The instrument's method, not the instrument: a Device attribute would be a child.
        self._call = instrument.call
        self.ch = ch
        self._pending: asyncio.Future[Status] | None = None
        source = f"kq5316:{instrument.port}#ch{ch}"
        # Readables added in order (a `with add_children_as_readables()` block adds them in no
        # fixed order): the documents list the attenuation first.
        self.attenuation = Setting(
            float,
            f"{source}/attenuation",
            self._attenuation,
            self._set_attenuation,
            check_attenuation,
            hinted=True,
            units="dB",
            precision=2,
        )
        self.wavelength = Setting(
            int,
            f"{source}/wavelength",
            self._wavelength,
            self._select_wavelength,
            self._check_wavelength,
            hinted=False,
            units="nm",
        )
        self.mode = SignalR(InstrumentBackend(int, f"{source}/mode", getter=self._mode))
        self.wavelengths, self._set_wavelengths = soft_signal_r_and_setter(
            Array1D[np.int32], units="nm"
        )
        self.add_readables([self.attenuation, self.wavelength])
        self.add_readables([self.mode], StandardReadableFormat.UNCACHED_SIGNAL)
        self.add_readables([self.wavelengths], StandardReadableFormat.CONFIG_SIGNAL)
        super().__init__(name=name)

    def set(self, value: float) -> AsyncStatus[None]:
        """Sets the attenuation in dB; done when the instrument has acknowledged it."""
        return self.attenuation.set(value)

    async def check_value(self, value: float) -> None:
        await self.attenuation.check_value(value)

    async def locate(self) -> Location[float]:
        return await self.attenuation.locate()

    async def _status(self) -> Status:
        """The channel's status; the readings of one `read()` share one exchange."""
        if self._pending is None:
            self._pending = asyncio.ensure_future(self._call(Attenuator.status, self.ch))
            self._pending.add_done_callback(self._forget)
        return await asyncio.shield(self._pending)

    def _forget(self, done: asyncio.Future[Status]) -> None:
        if self._pending is done:
            self._pending = None

    async def _attenuation(self) -> float:
        return (await self._status()).attenuation_db

    async def _set_attenuation(self, db: float) -> None:
        await self._call(Attenuator.set_attenuation_db, db, self.ch)

    async def _wavelength(self) -> int:
        index = (await self._status()).wavelength_index
        wavelengths = await self.wavelengths.get_value()
        if index >= len(wavelengths):
            raise Kq5316Error(
                f"channel {self.ch} reports wavelength index {index}; it has {len(wavelengths)}"
            )
        return int(wavelengths[index])

    async def _check_wavelength(self, nm: Any) -> None:
        if isinstance(nm, bool):
            raise TypeError("wavelength must be a whole number of nm, not bool")
        nm = operator.index(nm)
        own = [int(n) for n in await self.wavelengths.get_value()]
        # In mock mode the list is empty until a test sets it: any wavelength goes then.
        if own and nm not in own:
            raise ValueError(
                f"channel {self.ch} has no {nm} nm; supported: {', '.join(map(str, own))}"
            )

    async def _select_wavelength(self, nm: int) -> None:
        await self._call(Attenuator.select_wavelength, nm, self.ch)

    async def _mode(self) -> int:
        return (await self._status()).mode


class KQ5316(StandardReadable):
    """The instrument on `port` (a device path or pyserial URL), opened when the device is
    connected (``init_devices()`` or ``await att.connect()``), closed by `close()`. Its
    configuration: ``identity`` (the instrument's versions), the port (the signal
    ``port_signal``, read as ``<name>-port``) and each channel's ``wavelengths``."""

    def __init__(
        self,
        port: str,
        *,
        channels: Sequence[int] = (1, 2),
        timeout: float = 0.5,
        name: str = "",
    ) -> None:
        self.port = port
        self.timeout = timeout
        self.channels = tuple(channels)
        self._attenuator: Attenuator | None = None
        self._wavelengths: dict[int, tuple[int, ...]] = {}
        self.identity, self._set_identity = soft_signal_r_and_setter(str)
        # `port` is the string; the signal is named for it in `set_name`.
        self.port_signal, _ = soft_signal_r_and_setter(str, initial_value=port)
        self.add_readables([self.identity, self.port_signal], StandardReadableFormat.CONFIG_SIGNAL)
        for ch in self.channels:
            setattr(self, f"ch{ch}", AttenuatorChannel(self, ch))
        # In order: channel 1's readings first.
        self.add_readables([self._channel(ch) for ch in self.channels])
        super().__init__(name=name)

    def set_name(self, name: str, *, child_name_separator: str | None = None) -> None:
        super().set_name(name, child_name_separator=child_name_separator)
        self.port_signal.set_name(f"{name}-port" if name else "")

    async def connect(
        self,
        mock: bool | DeviceMock[Any] = False,
        timeout: float = DEFAULT_TIMEOUT,
        force_reconnect: bool = False,
    ) -> None:
        if not mock and (self._attenuator is None or self._attenuator.closed):
            attenuator, self._wavelengths = await asyncio.to_thread(self._open)
            self._attenuator = attenuator
            version = attenuator.identity
            if version is not None:
                self._set_identity(
                    f"module {version.module} hardware {version.hardware}"
                    f" software {version.software}"
                )
            for ch in self.channels:
                wavelengths = np.array(self._wavelengths[ch], dtype=np.int32)
                self._channel(ch)._set_wavelengths(wavelengths)
        await super().connect(mock=mock, timeout=timeout, force_reconnect=force_reconnect)
        if mock:
            # A mock takes the signal's type only; its readings keep the instrument's units.
            for ch in self.channels:
                channel = self._channel(ch)
                set_mock_units(channel.attenuation.readback, "dB")
                set_mock_precision(channel.attenuation.readback, 2)
                set_mock_units(channel.wavelength.readback, "nm")

    def _channel(self, ch: int) -> AttenuatorChannel:
        channel: AttenuatorChannel = getattr(self, f"ch{ch}")
        return channel

    def _open(self) -> tuple[Attenuator, dict[int, tuple[int, ...]]]:
        att = Attenuator(self.port, timeout=self.timeout, channels=self.channels)
        try:
            return att, {ch: att.wavelengths(ch) for ch in self.channels}
        except BaseException:
            att.close()
            raise

    @property
    def attenuator(self) -> Attenuator:
        """The open `Attenuator`; Kq5316Error before `connect()` and after `close()`."""
        if self._attenuator is None:
            raise Kq5316Error(f"{self.port} is not connected: connect the device first")
        return self._attenuator

    def wavelengths(self, ch: int) -> tuple[int, ...]:
        """Channel `ch`'s wavelengths (nm), read when the device was connected."""
        return self._wavelengths[ch]

    async def call(self, method: Callable[..., T], *args: Any) -> T:
        """`method` of the Attenuator on a worker thread, so that the event loop never waits on
        the serial line; the Attenuator's lock keeps concurrent calls apart."""
        return await asyncio.to_thread(method, self.attenuator, *args)

    def close(self) -> None:
        """Closes the port; connecting again reopens it."""
        att, self._attenuator = self._attenuator, None
        if att is not None:
            att.close()
