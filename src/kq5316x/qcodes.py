"""The instrument as a QCoDeS instrument.

    from kq5316x.qcodes import KQ5316

    att = KQ5316("att", "/dev/ttyUSB0")
    att.ch1.attenuation(3.5)            # dB
    att.ch2.wavelength(1550)            # nm, one of the channel's own
    print(att.ch1.attenuation(), att.ch1.mode(), att.get_idn())
    att.close()

One `InstrumentChannel` per channel (``att.ch1``, ``att.ch2``, and the list ``att.channels``),
each with the parameters ``attenuation`` (dB, 0 to 655.35), ``wavelength`` (nm) and ``mode``
(read-only). Every get and set is one checked exchange of a `kq5316x.Attenuator`; a failure
raises its `kq5316x` exception. Needs the ``qcodes`` extra.
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

__all__ = ["KQ5316", "KQ5316Channel"]


class KQ5316Channel(InstrumentChannel["KQ5316"]):
    """One channel of the instrument: ``attenuation``, ``wavelength``, ``mode``."""

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
            vals=Numbers(0, MAX_MDB / 1000),
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
