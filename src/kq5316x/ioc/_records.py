"""The process variables, as caproto `PVGroup`s of EPICS record types: one group per channel and
one for the instrument. Puts are checked here and handed to the server, which applies them."""

# mypy: allow-subclassing-any, allow-untyped-decorators

from __future__ import annotations

import logging
import time
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any

from caproto import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    ChannelType,
    SkipWrite,
)
from caproto.server import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    PVGroup,
    pvproperty,
)
from caproto.server.server import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    PvpropertyDouble,
    PvpropertyEnum,
)

from .._attenuator import MAX_MDB, db_to_steps

if TYPE_CHECKING:
    from ._server import Server

logger = logging.getLogger("kq5316x.ioc")

MAX_DB = MAX_MDB / 1000
UNKNOWN = "unknown"  # a wavelength not yet read from the instrument
CLEAR_STATES = ("Idle", "Clear")
CONNECTED_STATES = ("Disconnected", "Connected")
# Channel Access carries at most 16 states of an enumeration.
MAX_ENUM_STATES = 16
_FLOATS = (ChannelType.DOUBLE, ChannelType.FLOAT)


class RefusalLog:
    """One log line per refused put, at most `burst` in `window` seconds: a client that floods
    refused puts would otherwise flood the log. The lines left out are counted in the next
    line written."""

    def __init__(self, burst: int = 20, window: float = 10.0) -> None:
        self.burst = burst
        self.window = window
        self.window_start = -window
        self.written = 0
        self.left_out = 0

    def log(self, pvname: str, client: str, reason: str) -> None:
        now = time.monotonic()
        if now - self.window_start >= self.window:
            self.window_start, self.written = now, 0
        if self.written >= self.burst:
            self.left_out += 1
            return
        self.written += 1
        more = f" ({self.left_out} more refused puts not shown)" if self.left_out else ""
        self.left_out = 0
        logger.warning("refused a put to %s from %s: %s%s", pvname, client, reason, more)


refusals = RefusalLog()


class _Guarded:
    """A PV clients write: who may write is the server's policy, and a refused put is logged as
    one line naming the PV, the client's address and the reason."""

    pvname: str
    group: Any

    def check_access(self, hostname: str, username: str) -> Any:
        return self.group.server.policy.access(hostname)

    async def auth_write(
        self, hostname: str, username: str, data: Any, data_type: Any, metadata: Any, **options: Any
    ) -> Any:
        policy = self.group.server.policy
        try:
            if not policy.may_write(hostname):
                raise PermissionError(f"{hostname} may not write ({policy.describe()})")
            return await super().auth_write(  # type: ignore[misc]
                hostname, username, data, data_type, metadata, **options
            )
        except Exception as error:
            refusals.log(self.pvname, hostname, str(error) or type(error).__name__)
            raise


class GuardedDouble(_Guarded, PvpropertyDouble):
    def take_unwatched_put(self, hostname: str, command: Any) -> bool:
        """Takes a put whose client waits for no completion, of one number in range from a
        client that may write, straight to the pending setting: no task, no completion, which
        under a flood of such puts is most of the server's work. False leaves the put to
        caproto's usual path, which also reports a refusal."""
        if command.data_type not in _FLOATS or command.data_count != 1:
            return False
        value = float(command.data[0])
        if not (0.0 <= value <= MAX_DB and self.group.server.policy.may_write(hostname)):
            return False
        return bool(self.group.offer_attenuation(value))


class GuardedEnum(_Guarded, PvpropertyEnum):
    pass


async def set_enum_strings(pv: Any, strings: tuple[str, ...]) -> None:
    """Replaces an enumeration's states and tells the clients that watch its properties: the
    channel's wavelengths are known once the instrument has answered."""
    await pv.write_metadata(enum_strings=strings[:MAX_ENUM_STATES])


def wavelength_states(wavelengths: tuple[int, ...]) -> tuple[str, ...]:
    return tuple(map(str, wavelengths[:MAX_ENUM_STATES])) or (UNKNOWN,)


def _readback(name: str, doc: str, record: str, **options: Any) -> Any:
    return pvproperty(
        name=name, doc=doc, record=record, read_only=True, alarm_group="readback", **options
    )


class ChannelRecords(PVGroup):
    """``PREFIX:CHn:…``: the setpoints and read-backs of one channel."""

    atten = pvproperty(
        name="Atten", dtype=GuardedDouble, value=0.0, record="ao", doc="attenuation setpoint",
        units="dB", precision=2, lower_ctrl_limit=0.0, upper_ctrl_limit=MAX_DB,
        lower_disp_limit=0.0, upper_disp_limit=MAX_DB,
    )
    atten_rbv = _readback(
        "Atten_RBV", "attenuation read back", "ai", value=0.0, units="dB", precision=2,
        lower_disp_limit=0.0, upper_disp_limit=MAX_DB,
    )
    wavelength = pvproperty(
        name="Wavelength", dtype=GuardedEnum, enum_strings=(UNKNOWN,), value=UNKNOWN,
        record="mbbo", doc="wavelength setpoint, nm",
    )
    wavelength_rbv = _readback(
        "Wavelength_RBV", "wavelength read back, nm", "mbbi", dtype=ChannelType.ENUM,
        enum_strings=(UNKNOWN,), value=UNKNOWN,
    )
    mode_rbv = _readback("Mode_RBV", "work mode read back", "longin", value=0)
    clear = pvproperty(
        name="Clear", dtype=GuardedEnum, enum_strings=CLEAR_STATES, value=CLEAR_STATES[0],
        record="bo", doc="write Clear to clear the attenuation",
    )

    def __init__(self, prefix: str, server: Server, ch: int) -> None:
        self.server = server
        self.ch = ch
        super().__init__(prefix)

    async def _submit(self, what: str, apply: Callable[[], Awaitable[Any]]) -> Any:
        return await self.server.submit((self.ch, what), apply)

    def offer_attenuation(self, db: float) -> bool:
        """Queues a setting nobody waits for; False while the instrument does not answer."""
        steps = db_to_steps(db)
        return self.server.offer((self.ch, "atten"), lambda: self.server.set_steps(self.ch, steps))

    @atten.putter  # type: ignore[no-redef, unused-ignore]
    async def atten(self, instance: Any, value: float) -> None:
        try:
            steps = db_to_steps(value)  # rounds or refuses as the Python API does
        except ValueError:
            raise ValueError(f"{value} dB is outside 0 to {MAX_DB} dB once rounded") from None
        await self._submit("atten", lambda: self.server.set_steps(self.ch, steps))
        # The setting, once applied, wrote what the instrument was set to; a put replaced by a
        # newer one completes with it and shows nothing of its own.
        raise SkipWrite()

    @wavelength.putter  # type: ignore[no-redef, unused-ignore]
    async def wavelength(self, instance: Any, value: str) -> None:
        states = instance.enum_strings
        if value not in states or value == UNKNOWN:
            raise ValueError(
                f"{value} nm is not one of channel {self.ch}'s wavelengths: {', '.join(states)}"
            )
        await self._submit("wavelength", lambda: self.server.select(self.ch, int(value)))
        raise SkipWrite()  # as for the attenuation

    @clear.putter  # type: ignore[no-redef, unused-ignore]
    async def clear(self, instance: Any, value: str) -> str:
        if value == CLEAR_STATES[1]:
            await self._submit("clear", lambda: self.server.clear(self.ch))
        return CLEAR_STATES[0]  # back to Idle once done


class InstrumentRecords(PVGroup):
    """``PREFIX:…``: the instrument's version and whether it answers."""

    version_rbv = pvproperty(
        name="Version_RBV", value="", record="stringin", read_only=True,
        alarm_group="readback", doc="module, hardware and software versions",
        dtype=ChannelType.STRING,
    )
    connected_rbv = pvproperty(
        name="Connected_RBV", dtype=ChannelType.ENUM, enum_strings=CONNECTED_STATES,
        value=CONNECTED_STATES[0], record="bi", read_only=True, alarm_group="link",
        doc="whether the instrument answers",
    )

    def __init__(self, prefix: str, server: Server) -> None:
        self.server = server
        super().__init__(prefix)


# Record fields set at start, by PV attribute. The description is the PV's doc and the setpoint's
# operating range its control limits, both read by caproto itself.
FIELDS: dict[str, dict[str, Any]] = {
    "atten": {"engineering_units": "dB", "drive_high_limit": MAX_DB, "drive_low_limit": 0.0},
    "atten_rbv": {
        "engineering_units": "dB", "high_operating_range": MAX_DB, "low_operating_range": 0.0,
    },
}


async def describe(group: PVGroup) -> None:
    """Writes the fields above."""
    for attr, pv in group.attr_pvdb.items():
        for name, value in FIELDS.get(attr, {}).items():
            await getattr(pv.field_inst, name).write(value)
