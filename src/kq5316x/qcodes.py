"""The instrument as a QCoDeS instrument.

    from kq5316x.qcodes import KQ5316

    att = KQ5316("att", "/dev/ttyUSB0")
    att.ch1.attenuation(3.5)            # dB
    att.ch2.wavelength(1550)            # nm, one of the channel's own
    print(att.ch1.attenuation(), att.ch1.mode(), att.get_idn())
    att.close()

One `InstrumentChannel` per channel (``att.ch1``, ``att.ch2``, and the list ``att.channels``),
each with the parameters ``attenuation`` (dB, 0 to 655.35, rounded to the instrument's 0.01 dB
step as `kq5316x.Attenuator.set_attenuation_db` rounds), ``attenuation_readback`` (read-only: what
the instrument holds, the measured side of a sweep of ``attenuation``), ``wavelength`` (nm) and
``mode`` (read-only), and the functions ``clear`` and ``disconnect``; the instrument has the
function ``close_display``. Every get, set and call is one checked exchange of a
`kq5316x.Attenuator`; a failure raises its `kq5316x` exception. Needs the ``qcodes`` extra.
"""

# mypy: allow-subclassing-any, allow-untyped-decorators

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from qcodes.instrument import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    ChannelList,
    Instrument,
    InstrumentChannel,
)
from qcodes.parameters import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    Parameter,
)
from qcodes.validators import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    Enum,
    Numbers,
)

from ._attenuator import MAX_MDB, Attenuator

__all__ = ["AttenuationDb", "KQ5316", "KQ5316Channel"]


class AttenuationDb(Numbers):
    """An attenuation in dB from 0 to 655.35. A value between the instrument's 0.01 dB steps is
    accepted and rounded as written when set (3.505 sets 3.51), as
    `kq5316x.Attenuator.set_attenuation_db` rounds, so that a sweep's evenly spaced points are
    all settable; the channel's ``attenuation_readback`` records the value the instrument holds.
    A ``bool`` is refused: an int to Python, it is never meant as 0 or 1 dB."""

    STEP_DB = 0.01

    def __init__(self) -> None:
        super().__init__(0, MAX_MDB / 1000)

    def validate(self, value: Any, context: str = "") -> None:
        if isinstance(value, bool):
            raise TypeError(f"{value!r} is a bool, not an attenuation in dB; {context}")
        super().validate(value, context)

    def __repr__(self) -> str:
        return f"<AttenuationDb 0<=v<={MAX_MDB / 1000}, rounded to {self.STEP_DB} dB steps>"


class KQ5316Channel(InstrumentChannel["KQ5316"]):
    """One channel of the instrument: the parameters ``attenuation``, ``attenuation_readback``,
    ``wavelength``, ``mode``; the functions ``clear``, ``disconnect``."""

    def __init__(self, parent: KQ5316, name: str, ch: int, **kwargs: Any) -> None:
        super().__init__(parent, name, **kwargs)
        self.ch = ch
        att = parent.attenuator
        self.wavelengths = att.wavelengths(ch)
        self.attenuation: Parameter = self.add_parameter(
            "attenuation",
            label=f"Channel {ch} attenuation",
            unit="dB",
            get_cmd=lambda: att.status(ch).attenuation_db,
            set_cmd=lambda db: att.set_attenuation_db(db, ch),
            vals=AttenuationDb(),
        )
        # A parameter of its own, read-only, so that a sweep of `attenuation` can record it as
        # what was measured beside the requested setpoints.
        self.attenuation_readback: Parameter = self.add_parameter(
            "attenuation_readback",
            label=f"Channel {ch} attenuation held",
            unit="dB",
            get_cmd=lambda: att.status(ch).attenuation_db,
            set_cmd=False,
        )
        self.wavelength: Parameter = self.add_parameter(
            "wavelength",
            label=f"Channel {ch} wavelength",
            unit="nm",
            get_cmd=self._wavelength,
            set_cmd=lambda nm: att.select_wavelength(nm, ch),
            vals=Enum(*self.wavelengths),
        )
        self.mode: Parameter = self.add_parameter(
            "mode",
            label=f"Channel {ch} work mode",
            get_cmd=lambda: att.status(ch).mode,
            set_cmd=False,
        )
        self.add_function("clear", call_cmd=lambda: att.clear(ch))
        self.add_function("disconnect", call_cmd=lambda: att.disconnect(ch))

    def _wavelength(self) -> int | None:
        """The selected wavelength; None when the instrument reports an index past its list."""
        index = self.parent.attenuator.status(self.ch).wavelength_index
        return self.wavelengths[index] if index < len(self.wavelengths) else None


class KQ5316(Instrument):
    """The instrument at `address` (a device path or pyserial URL), opened at once."""

    def __init__(
        self,
        name: str,
        address: str,
        *,
        channels: Sequence[int] = (1, 2),
        timeout: float = 0.5,
        **kwargs: Any,
    ) -> None:
        # The open asks the instrument's version: a silent or echoing port fails here.
        self.attenuator = Attenuator(address, timeout=timeout, channels=channels)
        try:
            super().__init__(name, **kwargs)
            self.address = address
            self._version = self.attenuator.identity or self.attenuator.version()
            channel_list = ChannelList(self, "channels", KQ5316Channel)
            for ch in self.attenuator.channels:
                channel = KQ5316Channel(self, f"ch{ch}", ch)
                self.add_submodule(f"ch{ch}", channel)
                channel_list.append(channel)
            self.channels = self.add_submodule("channels", channel_list.to_channel_tuple())
            self.add_function("close_display", call_cmd=self.attenuator.close_display)
        except BaseException:
            self.attenuator.close()
            raise

    def get_idn(self) -> dict[str, str | None]:
        version = self._version
        return {
            "vendor": None,
            "model": "KQ5316",
            "serial": None,
            "firmware": f"module {version.module} hardware {version.hardware} "
            f"software {version.software}",
        }

    def close(self) -> None:
        """Closes the port and unregisters the instrument."""
        attenuator = getattr(self, "attenuator", None)
        if attenuator is not None:
            attenuator.close()
        super().close()
