"""The instrument as an ophyd-async device, for Bluesky plans.

    from bluesky import RunEngine
    from bluesky.plans import scan
    from ophyd_async.core import init_devices
    from kq5316x.bluesky import KQ5316

    RE = RunEngine()
    with init_devices():
        att = KQ5316("/dev/ttyUSB0")
    RE(scan([att.ch1], att.ch1.attenuation, 0, 10, 11))
    att.close()

Each channel (``att.ch1``, ``att.ch2``, ...) is readable (attenuation, wavelength, mode, each
read from the instrument) and movable (its attenuation in dB); its settings ``attenuation`` and
``wavelength`` are movable too. A set completes when the instrument has acknowledged it and fails
with the `kq5316x` exception when it has not. Needs the ``bluesky`` extra (ophyd-async).
"""

# mypy: allow-subclassing-any, allow-untyped-decorators

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable, Sequence
from typing import Any, TypeVar

from bluesky.protocols import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    Location,
    Movable,
)
from ophyd_async.core import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    DEFAULT_TIMEOUT,
    AsyncStatus,
    DeviceMock,
    StandardReadable,
    StandardReadableFormat,
    soft_signal_r_and_setter,
)

from ._attenuator import Attenuator, Status
from ._errors import Kq5316Error

__all__ = ["AttenuatorChannel", "KQ5316", "Setting"]

T = TypeVar("T")


class Setting(StandardReadable, Movable[T]):
    """One setting of a channel (attenuation, wavelength): readable, its reading taken from the
    instrument under the setting's own name, and movable. A set's status fails with the
    `kq5316x` exception itself when the instrument does not acknowledge it.

    A device rather than a signal: a signal's set replaces any TimeoutError, NoReply included,
    by a TimeoutError of its own that names only the signal."""

    def __init__(
        self,
        datatype: type[T],
        read: Callable[[], Awaitable[T]],
        write: Callable[[T], Awaitable[None]],
        units: str,
        precision: int | None = None,
    ) -> None:
        self._write = write
        self._setpoint: T | None = None
        with self.add_children_as_readables(StandardReadableFormat.HINTED_UNCACHED_SIGNAL):
            self.readback, _ = soft_signal_r_and_setter(
                datatype, units=units, precision=precision, getter=read
            )
        super().__init__(name="")

    def set_name(self, name: str, *, child_name_separator: str | None = None) -> None:
        super().set_name(name, child_name_separator=child_name_separator)
        # The reading carries the setting's name, as a motor's read-back does.
        self.readback.set_name(name)

    @AsyncStatus.wrap
    async def set(self, value: T) -> None:
        """Done when the instrument has acknowledged the new value."""
        await self._write(value)
        self._setpoint = value

    async def locate(self) -> Location[T]:
        readback = await self.readback.get_value()
        setpoint = readback if self._setpoint is None else self._setpoint
        return Location(setpoint=setpoint, readback=readback)


class AttenuatorChannel(StandardReadable, Movable[float]):
    """One channel: ``attenuation`` (dB) and ``wavelength`` (nm, one of the channel's own) are
    movable settings, ``mode`` is read-only; moving the channel sets its attenuation."""

    def __init__(self, instrument: KQ5316, ch: int, name: str = "") -> None:
        # The instrument's methods, not the instrument: a Device attribute would be a child.
        self._call = instrument.call
        self._wavelengths = instrument.wavelengths
        self.ch = ch
        self._pending: asyncio.Future[Status] | None = None
        with self.add_children_as_readables():
            self.attenuation = Setting(
                float, self._attenuation, self._set_attenuation, units="dB", precision=2
            )
            self.wavelength = Setting(
                int, self._wavelength, self._select_wavelength, units="nm"
            )
        with self.add_children_as_readables(StandardReadableFormat.UNCACHED_SIGNAL):
            self.mode, _ = soft_signal_r_and_setter(int, getter=self._mode)
        super().__init__(name=name)

    def set(self, value: float) -> AsyncStatus:
        """Sets the attenuation in dB; done when the instrument has acknowledged it."""
        return self.attenuation.set(value)

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
        wavelengths = self._wavelengths(self.ch)
        if index >= len(wavelengths):
            raise Kq5316Error(
                f"channel {self.ch} reports wavelength index {index}; it has {len(wavelengths)}"
            )
        return wavelengths[index]

    async def _select_wavelength(self, nm: int) -> None:
        await self._call(Attenuator.select_wavelength, nm, self.ch)

    async def _mode(self) -> int:
        return (await self._status()).mode


class KQ5316(StandardReadable):
    """The instrument on `port` (a device path or pyserial URL), opened when the device is
    connected (``init_devices()`` or ``await att.connect()``), closed by `close()`."""

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
        for ch in self.channels:
            setattr(self, f"ch{ch}", AttenuatorChannel(self, ch))
        super().__init__(name=name)

    async def connect(
        self,
        mock: bool | DeviceMock = False,
        timeout: float = DEFAULT_TIMEOUT,
        force_reconnect: bool = False,
    ) -> None:
        if not mock and (self._attenuator is None or self._attenuator.closed):
            self._attenuator, self._wavelengths = await asyncio.to_thread(self._open)
        await super().connect(mock=mock, timeout=timeout, force_reconnect=force_reconnect)

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
