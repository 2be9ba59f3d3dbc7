"""kq5316x: the KQ5316 optical attenuator with checked replies, exceptions and exchanges as fast
as the line allows::

    from kq5316x import Attenuator

    with Attenuator("/dev/ttyUSB0", timeout=0.5) as att:   # asks the instrument's version
        att.set_attenuation_db(1.1, ch=1)                    # or set_attenuation_mdb(1100, ch=1)
        print(att.status(1))

After a successful open, every failure is a `Kq5316Error`; a result is never the answer to an
earlier request.
"""

from ._attenuator import Attenuator, Status, Version, find_ports
from ._errors import BadReply, EchoingPort, Kq5316Error, NoReply, PortBusy, PortLost

__all__ = [
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
