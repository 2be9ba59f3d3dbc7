"""Port discovery: the USB serial ports the instrument may be on."""

from __future__ import annotations

import operator

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import SupportsIndex

# The USB vendor ID of the instrument's USB-to-serial bridge (Prolific, the PL2303G family).
PL2303_VENDOR_ID = 0x067B


def find_ports(
    vid: SupportsIndex | None = PL2303_VENDOR_ID, pid: SupportsIndex | None = None
) -> list[str]:
    """The USB serial ports whose bridge has these USB vendor and product IDs, in the order the
    system lists them; None matches any ID.

    With no arguments: the ports of the USB-to-serial bridge the instrument ships with, the
    PL2303G family (vendor 0x067B, any product). For an instrument behind another bridge, pass its
    IDs, as ``lsusb`` or the system's device manager shows them: ``find_ports(0x0403, 0x6001)``
    for an FTDI FT232R; ``find_ports(vid=None)`` lists every USB serial port.
    """
    from serial.tools import list_ports

    want_vid = None if vid is None else operator.index(vid)
    want_pid = None if pid is None else operator.index(pid)
    return [
        info.device
        for info in list_ports.comports()
        if info.vid is not None
        and (want_vid is None or info.vid == want_vid)
        and (want_pid is None or info.pid == want_pid)
    ]
