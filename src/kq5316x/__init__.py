"""kq5316x: the KQ5316 optical attenuator with checked replies, exceptions and exchanges as fast
as the line allows.

    from kq5316x import Attenuator

    with Attenuator("/dev/ttyUSB0", timeout=0.5) as att:
        att.set_attenuation_db(1.1, ch=1)
        print(att.status(1))
"""

from ._attenuator import Attenuator, Status, Version, find_ports
from ._errors import BadReply, Kq5316Error, NoReply, PortBusy

__all__ = [
    "Attenuator",
    "BadReply",
    "Kq5316Error",
    "NoReply",
    "PortBusy",
    "Status",
    "Version",
    "find_ports",
]
