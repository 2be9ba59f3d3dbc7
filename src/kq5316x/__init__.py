"""kq5316x: the KQ5316 optical attenuator with checked replies, exceptions and exchanges as fast
as the line allows::

    from kq5316x import Attenuator

    with Attenuator("/dev/ttyUSB0", timeout=0.5) as att:   # asks the instrument's version
        att.set_attenuation_db(1.1, ch=1)                    # or set_attenuation_mdb(1100, ch=1)
        print(att.status(1))

After a successful open, every failure is a `Kq5316Error`; a result is never the answer to an
earlier request.
"""

from ._attenuator import BAUD_RATES, Attenuator, Status, Version
from ._errors import BadReply, EchoingPort, Kq5316Error, NoReply, PortBusy, PortLost
from ._ports import find_ports

__all__ = [
    "BAUD_RATES",
    "Attenuator",
    "BadReply",
    "EchoingPort",
    "Kq5316Error",
    "NoReply",
    "PortBusy",
    "PortLost",
    "Status",
    "Version",
    "find_ports",
]

TYPE_CHECKING = False
if TYPE_CHECKING:
    __version__: str
else:

    def __getattr__(name):
        # The version is the installed distribution's, read from its metadata when first asked
        # for: importlib.metadata costs about as much as the rest of the package, and few
        # programs ask.
        if name == "__version__":
            from importlib.metadata import version

            globals()["__version__"] = found = version("kq5316x")
            return found
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
