"""``kq5316x-ioc``: the instrument as EPICS Channel Access process variables (caproto's server).

    kq5316x-ioc --port /dev/ttyUSB0 --prefix LAB:ATT1 [--channels 1,2] [--poll 1.0]

For each channel N: ``PREFIX:CHN:Atten`` (setpoint, dB), ``:Atten_RBV``, ``:Wavelength`` (nm, one
of the channel's own), ``:Wavelength_RBV``, ``:Mode_RBV`` and ``:Clear`` (write 1); for the
instrument: ``PREFIX:Version_RBV`` and ``PREFIX:Connected_RBV`` (0 with a MAJOR COMM alarm while
the instrument does not answer). Read-backs are refreshed every ``--poll`` seconds and after each
write. Every exchange goes through one `Attenuator`, whose lock serialises the clients' writes.
Needs the ``epics`` extra (caproto).
"""

# mypy: allow-subclassing-any, allow-untyped-decorators

from __future__ import annotations

import argparse
import asyncio
import contextlib
import functools
import logging
import signal
import sys
from collections.abc import Awaitable, Callable, Iterator, Sequence
from typing import Any, TypeVar

from caproto import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    AlarmSeverity,
    AlarmStatus,
    ChannelDouble,
    ChannelInteger,
    ChannelString,
)
from caproto.asyncio import server  # type: ignore[import-not-found, import-untyped, unused-ignore]

from ._attenuator import MAX_MDB, Attenuator, Status
from ._errors import Kq5316Error

logger = logging.getLogger("kq5316x.ioc")

MAX_DB = MAX_MDB / 1000
T = TypeVar("T")


class Instrument:
    """The one `Attenuator` the server drives, called from the event loop on worker threads so
    that a slow reply never stalls the other clients; the Attenuator's lock orders the calls."""

    def __init__(self, att: Attenuator) -> None:
        self.att = att
        self.channels = att.channels
        self.wavelengths = {ch: att.wavelengths(ch) for ch in self.channels}

    def reopen_if_lost(self) -> None:
        """Opens the port again after the Attenuator closed it on an I/O error (a cable pulled
        out and plugged back in); raises as the open does while the port is still gone."""
        if self.att.closed:
            lost = self.att
            self.att = Attenuator(lost.port, timeout=lost.timeout, channels=lost.channels)

    async def call(self, method: Callable[..., T], *args: Any) -> T:
        return await asyncio.get_running_loop().run_in_executor(
            None, functools.partial(method, *args)
        )


class _Writable:
    """A process variable whose write is carried out on the instrument before it is accepted:
    `apply` raises to refuse the value (the client's put then fails) and the channel's
    read-backs are refreshed afterwards, whatever happened."""

    apply: Callable[[Any], Awaitable[None]]
    refresh: Callable[[], Awaitable[None]]

    async def verify_value(self, data: Any) -> Any:
        value = await super().verify_value(data)  # type: ignore[misc]
        try:
            await self.apply(value)
        finally:
            await self.refresh()
        return value


class _WritableDouble(_Writable, ChannelDouble):
    pass


class _WritableInteger(_Writable, ChannelInteger):
    pass


def _writable(
    kind: type[_Writable],
    apply: Callable[[Any], Awaitable[None]],
    refresh: Callable[[], Awaitable[None]],
    **options: Any,
) -> Any:
    pv = kind(**options)
    pv.apply = apply
    pv.refresh = refresh
    return pv


class ChannelPVs:
    """The process variables of one channel and how each is applied and read back."""

    def __init__(self, instrument: Instrument, ch: int) -> None:
        self.instrument = instrument
        self.ch = ch
        wavelengths = instrument.wavelengths[ch]
        first = wavelengths[0] if wavelengths else 0
        self.atten = _writable(
            _WritableDouble, self._set_attenuation, self.refresh, value=0.0, units="dB",
            precision=2, lower_ctrl_limit=0.0, upper_ctrl_limit=MAX_DB,
        )
        self.atten_rbv = ChannelDouble(value=0.0, units="dB", precision=2)
        self.wavelength = _writable(
            _WritableInteger, self._select_wavelength, self.refresh, value=first, units="nm",
            lower_ctrl_limit=min(wavelengths, default=0),
            upper_ctrl_limit=max(wavelengths, default=0),
        )
        self.wavelength_rbv = ChannelInteger(value=first, units="nm")
        self.mode_rbv = ChannelInteger(value=0)
        self.clear = _writable(_WritableInteger, self._clear, self.refresh, value=0)

    def pvdb(self, prefix: str) -> dict[str, Any]:
        base = f"{prefix}:CH{self.ch}"
        return {
            f"{base}:Atten": self.atten,
            f"{base}:Atten_RBV": self.atten_rbv,
            f"{base}:Wavelength": self.wavelength,
            f"{base}:Wavelength_RBV": self.wavelength_rbv,
            f"{base}:Mode_RBV": self.mode_rbv,
            f"{base}:Clear": self.clear,
        }

    async def _set_attenuation(self, db: float) -> None:
        await self.instrument.call(self.instrument.att.set_attenuation_db, db, self.ch)

    async def _select_wavelength(self, nm: int) -> None:
        await self.instrument.call(self.instrument.att.select_wavelength, nm, self.ch)

    async def _clear(self, value: int) -> None:
        if value == 1:
            await self.instrument.call(self.instrument.att.clear, self.ch)
        elif value != 0:
            raise ValueError(f"write 1 to clear channel {self.ch}, not {value}")

    async def refresh(self) -> None:
        """Reads the channel's status; a failure is left to the poll, which reports it."""
        with contextlib.suppress(Kq5316Error, OSError):
            await self.show(await self.instrument.call(self.instrument.att.status, self.ch))

    async def show(self, status: Status) -> None:
        wavelengths = self.instrument.wavelengths[self.ch]
        await _update(self.atten_rbv, status.attenuation_db)
        await _update(self.mode_rbv, status.mode)
        if status.wavelength_index < len(wavelengths):
            await _update(self.wavelength_rbv, wavelengths[status.wavelength_index])


async def _update(pv: Any, value: Any, **alarm: Any) -> None:
    """Publishes a read-back when it changed (or its alarm did): monitors see changes only."""
    if pv.value != value or (alarm and pv.severity != alarm.get("severity")):
        await pv.write(value, **alarm)


class Server:
    """The process variables of the whole instrument and the poll that keeps them current."""

    def __init__(self, instrument: Instrument, prefix: str, poll: float) -> None:
        self.instrument = instrument
        self.poll = poll
        self.channels = [ChannelPVs(instrument, ch) for ch in instrument.channels]
        self.version_rbv = ChannelString(value=_version_text(instrument.att), max_length=40)
        self.connected_rbv = ChannelInteger(value=1)
        self.pvdb: dict[str, Any] = {
            f"{prefix}:Version_RBV": self.version_rbv,
            f"{prefix}:Connected_RBV": self.connected_rbv,
        }
        for channel in self.channels:
            self.pvdb.update(channel.pvdb(prefix))

    async def poll_once(self) -> None:
        instrument = self.instrument
        try:
            await instrument.call(instrument.reopen_if_lost)
            statuses = [await instrument.call(instrument.att.status, c.ch) for c in self.channels]
        except (Kq5316Error, OSError) as error:
            if self.connected_rbv.value:
                logger.warning("the instrument stopped answering: %s", error)
            await _update(
                self.connected_rbv, 0,
                status=AlarmStatus.COMM, severity=AlarmSeverity.MAJOR_ALARM,
            )
            return
        if not self.connected_rbv.value:
            logger.warning("the instrument answers again")
        await _update(
            self.connected_rbv, 1, status=AlarmStatus.NO_ALARM, severity=AlarmSeverity.NO_ALARM
        )
        for channel, status in zip(self.channels, statuses):
            await channel.show(status)

    async def run(self) -> None:
        await self.poll_once()
        for channel in self.channels:
            # The setpoints start from what the instrument holds, not from zero.
            await channel.atten.write(channel.atten_rbv.value, verify_value=False)
            await channel.wavelength.write(channel.wavelength_rbv.value, verify_value=False)
        context = server.Context(self.pvdb)
        serving = asyncio.ensure_future(context.run(log_pv_names=False))
        with contextlib.suppress(NotImplementedError):  # no signal handlers on Windows
            asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, serving.cancel)
        try:
            while not serving.done():
                await self.poll_once()
                await asyncio.wait([serving], timeout=self.poll)
        finally:
            serving.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await serving


def _version_text(att: Attenuator) -> str:
    version = att.identity or att.version()
    return f"module {version.module} hardware {version.hardware} software {version.software}"


def _channels(text: str) -> tuple[int, ...]:
    try:
        channels = tuple(int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"channels are numbers separated by commas: {text!r}")
    if not channels or any(not 0 <= ch <= 255 for ch in channels):
        raise argparse.ArgumentTypeError(f"channels are from 0 to 255: {text!r}")
    return channels


def _poll(text: str) -> float:
    value = float(text)
    if not 0.01 <= value <= 3600:
        raise argparse.ArgumentTypeError(f"the poll period is from 0.01 to 3600 s: {text!r}")
    return value


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="kq5316x-ioc",
        description="Serve a KQ5316 over EPICS Channel Access (interfaces and ports from the "
        "EPICS_CAS_* environment variables).",
    )
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--port", help="the instrument's serial port or pyserial URL")
    where.add_argument(
        "--simulate", action="store_true", help="serve a simulated instrument (kq5316-sim)"
    )
    parser.add_argument("--prefix", required=True, help="prefix of every PV name, e.g. LAB:ATT1")
    parser.add_argument("--channels", type=_channels, default=(1, 2), help="default: 1,2")
    parser.add_argument("--poll", type=_poll, default=1.0, help="read-back period in s (1.0)")
    parser.add_argument("--timeout", type=float, default=0.5, help="reply timeout in s (0.5)")
    parser.add_argument("--list-pvs", action="store_true", help="print the PV names at start")
    return parser.parse_args(argv)


@contextlib.contextmanager
def _port(arguments: argparse.Namespace) -> Iterator[str]:
    if not arguments.simulate:
        yield arguments.port
        return
    from .testing import simulated_instrument

    with simulated_instrument() as simulator:
        yield simulator.port


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    logging.basicConfig(level=logging.WARNING, format="kq5316x-ioc: %(message)s")
    with _port(arguments) as port:
        try:
            att = Attenuator(port, timeout=arguments.timeout, channels=arguments.channels)
        except (Kq5316Error, OSError) as error:
            print(f"kq5316x-ioc: cannot open {port}: {error}", file=sys.stderr)
            return 1
        try:
            instrument = Instrument(att)
            server = Server(instrument, arguments.prefix, arguments.poll)
        except Kq5316Error as error:
            att.close()
            print(f"kq5316x-ioc: the instrument on {port} did not answer: {error}", file=sys.stderr)
            return 1
        try:
            if arguments.list_pvs:
                print("\n".join(server.pvdb), flush=True)
            with contextlib.suppress(KeyboardInterrupt):
                asyncio.run(server.run())
        finally:
            instrument.att.close()  # the Attenuator in use now, reopened or not
    return 0


if __name__ == "__main__":
    sys.exit(main())
