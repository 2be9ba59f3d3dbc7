"""The server's life: the poll that keeps the read-backs current and raises or clears their alarm,
the settings applied latest-first, and a stop within about one exchange."""

from __future__ import annotations

import asyncio
import contextlib
import logging
import signal
from collections.abc import Hashable
from typing import Any

from caproto import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    AlarmSeverity,
    AlarmStatus,
)

from .._attenuator import Status
from .._errors import Kq5316Error, NoReply
from ._access import Context, WritePolicy
from ._latest import Apply, LatestSettings
from ._link import InstrumentLink, NotConnected
from ._records import (
    CONNECTED_STATES,
    UNKNOWN,
    ChannelRecords,
    InstrumentRecords,
    describe,
    set_enum_strings,
    wavelength_states,
)

logger = logging.getLogger("kq5316x.ioc")

_LOST = {"status": AlarmStatus.COMM, "severity": AlarmSeverity.INVALID_ALARM}
_DISCONNECTED = {"status": AlarmStatus.COMM, "severity": AlarmSeverity.MAJOR_ALARM}
_CLEAR = {"status": AlarmStatus.NO_ALARM, "severity": AlarmSeverity.NO_ALARM}


class Server:
    def __init__(self, link: InstrumentLink, prefix: str, poll: float, policy: WritePolicy):
        self.link = link
        self.poll = poll
        self.policy = policy
        self.settings = LatestSettings()
        self.answering = False
        self.told_missing = False  # the wait for the instrument was logged
        self.instrument = InstrumentRecords(f"{prefix}:", self)
        self.channels = {ch: ChannelRecords(f"{prefix}:CH{ch}:", self, ch) for ch in link.channels}
        # The attenuation last applied through the server, by channel: what a channel should
        # hold when the instrument comes back.
        self.applied_db: dict[int, float] = {}
        self.pvdb: dict[str, Any] = dict(self.instrument.pvdb)
        for group in self.channels.values():
            self.pvdb.update(group.pvdb)

    @property
    def groups(self) -> list[Any]:
        return [self.instrument, *self.channels.values()]

    # -- puts ---------------------------------------------------------------------------------

    async def submit(self, key: Hashable, apply: Apply) -> Any:
        """Waits until `apply`, or a later submission for `key`, has been applied; returns what
        the applied one returned or raises what it raised."""
        done = asyncio.get_running_loop().create_future()
        if not self.offer(key, apply, done):
            raise NotConnected(
                f"the instrument on {self.link.port} does not answer; nothing was sent"
            )
        return await done

    def offer(self, key: Hashable, apply: Apply, done: asyncio.Future[Any] | None = None) -> bool:
        """Queues `apply` as the setting of `key` (`done`, if given, learns the outcome); False,
        and nothing queued, while the instrument does not answer."""
        if not self.answering:
            return False
        self.settings.offer(key, apply, done)
        return True

    async def set_steps(self, ch: int, steps: int) -> None:
        """Sets the attenuation; the setpoint then shows what the instrument was set to."""
        try:
            await self.link.call("set_attenuation_mdb", steps * 10, ch)
            self.applied_db[ch] = steps / 100
            await self.channels[ch].atten.write(steps / 100, verify_value=False)
        finally:
            await self.refresh(ch)

    async def select(self, ch: int, nm: int) -> None:
        try:
            await self.link.call("select_wavelength", nm, ch)
            await self.channels[ch].wavelength.write(str(nm), verify_value=False)
        finally:
            await self.refresh(ch)

    async def clear(self, ch: int) -> None:
        try:
            await self.link.call("clear", ch)
            self.applied_db[ch] = 0.0
            await self.channels[ch].atten.write(0.0, verify_value=False)
        finally:
            await self.refresh(ch)

    async def refresh(self, ch: int) -> None:
        """Reads the channel's status after a put; a failure is the poll's to report."""
        with contextlib.suppress(Kq5316Error, OSError):
            await self.show(ch, await self.link.call("status", ch))

    async def show(self, ch: int, status: Status) -> None:
        group = self.channels[ch]
        await _update(group.atten_rbv, status.attenuation_db)
        await _update(group.mode_rbv, status.mode)
        await _update(group.wavelength_rbv, self._wavelength(ch, status))

    def _wavelength(self, ch: int, status: Status) -> str:
        wavelengths = self.link.wavelengths.get(ch, ())
        index = status.wavelength_index
        return str(wavelengths[index]) if index < len(wavelengths) else UNKNOWN

    # -- the poll -----------------------------------------------------------------------------

    async def poll_once(self) -> None:
        try:
            opened = await self.link.open()
            statuses = {ch: await self.link.call("status", ch) for ch in self.channels}
        except (Kq5316Error, OSError) as error:
            await self._lost(error)
            return
        if opened or not self.answering:
            await self._found(opened, statuses)
        for ch, status in statuses.items():
            await self.show(ch, status)

    def _failure(self, error: BaseException) -> str:
        """What went wrong, in the server's terms (its options, not the Python API's)."""
        if isinstance(error, NoReply):
            return (
                f"no reply within {error.timeout:g} s on {self.link.port}: check that it is the"
                " instrument's port, that the instrument is on and its cable connected, and that"
                f" it is set to {self.link.baud} baud (--baud)"
            )
        return str(error)

    async def _lost(self, error: BaseException) -> None:
        if self.answering:
            logger.warning("the instrument stopped answering: %s", self._failure(error))
            gone = NotConnected(f"the instrument on {self.link.port} stopped answering")
            self.settings.drop(gone)
            self.answering = False
            await self.mark(lost=True)
        elif not self.told_missing:
            logger.warning("waiting for the instrument: %s", self._failure(error))
        self.told_missing = True

    async def _found(self, opened: bool, statuses: dict[int, Status]) -> None:
        """The instrument answers (again): its wavelengths and version when the port was opened
        now, and every setpoint as the instrument holds it."""
        logger.warning("the instrument on %s answers", self.link.port)
        if opened:
            identity = self.link.identity
            if identity is not None:
                await self.instrument.version_rbv.write(
                    f"module {identity.module} hardware {identity.hardware}"
                    f" software {identity.software}"
                )
            for ch, group in self.channels.items():
                states = wavelength_states(self.link.wavelengths[ch])
                await set_enum_strings(group.wavelength, states)
                await set_enum_strings(group.wavelength_rbv, states)
        for ch, status in statuses.items():
            await self._setpoints_from(ch, status)
        self.answering = True
        self.told_missing = False
        await self.mark(lost=False)

    async def _setpoints_from(self, ch: int, status: Status) -> None:
        group = self.channels[ch]
        held = status.attenuation_db
        applied = self.applied_db.get(ch)
        if applied is not None and applied != held:
            logger.warning(
                "channel %d holds %.2f dB, not the %.2f dB last set; its setpoint now shows %.2f",
                ch, held, applied, held,
            )
        self.applied_db[ch] = held
        await group.atten.write(held, verify_value=False)
        await group.wavelength.write(self._wavelength(ch, status), verify_value=False)

    async def mark(self, lost: bool) -> None:
        """Every read-back INVALID with a COMM alarm while the instrument is lost (values kept),
        and Connected_RBV Disconnected with a MAJOR one; both cleared when it answers."""
        for group in self.groups:
            await group.alarms["readback"].write(**(_LOST if lost else _CLEAR))
        connected = self.instrument.connected_rbv
        await connected.write(CONNECTED_STATES[not lost], **(_DISCONNECTED if lost else _CLEAR))

    async def _poll_forever(self) -> None:
        while True:
            await self.poll_once()
            await asyncio.sleep(self.poll)

    # -- running ------------------------------------------------------------------------------

    async def run(self) -> None:
        """Serves until SIGTERM or SIGINT, or until a part of the server fails."""
        for group in self.groups:
            await describe(group)
        await self.mark(lost=True)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signum in (signal.SIGTERM, signal.SIGINT):
            with contextlib.suppress(NotImplementedError):  # no signal handlers on Windows
                loop.add_signal_handler(signum, stop.set)
        tasks = [
            asyncio.create_task(Context(self.pvdb).run(log_pv_names=False)),
            asyncio.create_task(self._poll_forever()),
            asyncio.create_task(self.settings.run()),
            asyncio.create_task(stop.wait()),
        ]
        try:
            done, _ = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
        for task in done:
            if not task.cancelled() and task.exception() is not None:
                raise task.exception()  # type: ignore[misc]


async def _update(pv: Any, value: Any) -> None:
    """Publishes a read-back when it changed: monitors see changes only."""
    if pv.value != value:
        await pv.write(value, verify_value=False)
