"""Drive the KQ5316 optical attenuator over a serial port.

Basic usage::

    from kq5316 import KQ5316

    kq = KQ5316("/dev/ttyUSB0")        # "COM3" on Windows
    if kq.open():
        print(kq.read_device_version())
        kq.set_attenuation(1100, 1)    # 1.1 dB on channel 1
        kq.close()

Units: attenuation is given and returned in mdB (1 dB = 1000 mdB). The instrument works in
steps of 0.01 dB, so values travel on the wire as a count of 10 mdB steps (0..65535, low byte
first); the remainder below 10 mdB is dropped.

Every operation is one command exchange: write one frame, pause 0.2 s, read whatever bytes are
waiting. A reply counts when it begins with 0x7B and ends with 0x7D (the version reply must
also be exactly 10 bytes); reply checksums are not verified and nothing is retried. Read
operations return ``None`` and command operations ``False`` when no such reply came back.

Arguments are checked before anything is sent: each must be exactly of the annotated type
(``str`` port name, ``int`` channel and values). ``bool`` and other ``int`` subclasses are
refused with ``TypeError`` at run time, although a type checker accepts ``True`` where an
``int`` is expected.

Thread safety: the command frames are shared class-wide; each call patches its frame and
writes a copy of it, so threads driving different instruments run at the same time without
waiting for each other. Threads sharing one ``KQ5316`` object (one port) take turns, each
holding the port from its write until its reply has been read; waiting for it can be
interrupted with Ctrl-C.
"""

# The module looks these up in its own namespace at every use, so replacing one (for example
# ``kq5316.serial`` with a stand-in serial package in tests) takes effect at the next call.
import platform as platform
import subprocess as subprocess
import time as time
from typing import Any, ClassVar, TypedDict, type_check_only

import serial as serial

__test__: dict[str, Any]

@type_check_only
class VersionInfo(TypedDict):
    """What ``KQ5316.read_device_version()`` returns: each version is one byte, 0..255.

    Exists for type checkers only; import it under ``if TYPE_CHECKING:``.
    """

    module_version: int
    hard_version: int
    soft_version: int

@type_check_only
class ChannelStatus(TypedDict):
    """What ``KQ5316.read_current_status()`` returns for one channel.

    Exists for type checkers only; import it under ``if TYPE_CHECKING:``.
    """

    dev_work_mode: int
    """The channel's work mode, passed through from the device; always 0 on the KQ5316."""
    optical_length_index: int
    """Position, counting from 0, of the optical length in use in the list that
    ``read_optical_length(ch)`` returns for the same channel."""
    attenuation: int
    """Attenuation in mdB: a multiple of 10, from 0 to 655350 (655.35 dB)."""

class KQ5316:
    port: str
    """Name of the serial port: "COM3" on Windows, "/dev/ttyUSB0" on Linux and macOS. The next
    ``open()`` checks and opens whatever name it holds then."""
    ser: serial.Serial
    """The port object that ``open()`` creates (115200 baud, 8N1, 50 s read timeout). Absent
    until the first successful ``open()``: every device operation and ``close()`` raise
    ``AttributeError`` before that. ``close()`` closes it but does not remove it."""

    # Frames of the commands, one list of byte values each, shared by every object and
    # patched in place by the operations. Class-private: the runtime stores them (and the
    # private methods below) under their mangled names, which is how they are written here.
    _KQ5316__CMD_READ_DEV_VER: ClassVar[list[int]]
    _KQ5316__CMD_READ_OPTICAL_LEN: ClassVar[list[int]]
    _KQ5316__CMD_READ_CURRENT_STATUS: ClassVar[list[int]]
    _KQ5316__CMD_CLOSE_FULLSCREEN: ClassVar[list[int]]
    _KQ5316__CMD_SET_OPTICAL_LEN: ClassVar[list[int]]
    _KQ5316__CMD_SET_ATTENUATION: ClassVar[list[int]]
    _KQ5316__CMD_CLEAR_ATTENUATION: ClassVar[list[int]]
    _KQ5316__CMD_DIS_CONNECT: ClassVar[list[int]]

    def __init__(self, serial_port: str) -> None:
        """Store the port name in ``port``. Opens nothing and sends nothing.

        :param serial_port: "COM3", "COM4", ... on Windows; "/dev/ttyUSB0", ... on Linux and
            macOS. Must be exactly a ``str``, else ``TypeError``.
        """

    def _KQ5316__check_crc(self, data: list[int]) -> bool:
        """True when the checksum byte (second to last) of the frame ``data`` matches the
        two's complement of the sum of the bytes before it."""

    def _KQ5316__cal_crc(self, data: list[int]) -> None:
        """Store the checksum of the frame ``data`` in its second-to-last item, in place."""

    def _KQ5316__read(self) -> bytes | None:
        """The bytes waiting in the port's input buffer, or ``None`` when none are waiting."""

    def _KQ5316__write_and_read(self, cmd: bytes) -> None:
        """Unused by the operations: sends nothing and returns ``None``."""

    def read_device_version(self) -> VersionInfo | None:
        """Read the device's module, hardware and software versions.

        :return: ``{'module_version': 2, 'hard_version': 50, 'soft_version': 32}``, or
            ``None`` when no acceptable reply (exactly 10 bytes, 0x7B ... 0x7D) came back.
        :raises AttributeError: the port has not been opened.
        """

    def read_optical_length(self, ch: int = 1) -> list[int] | None:
        """Read the optical lengths (wavelengths) that channel ``ch`` supports.

        :param ch: the channel, 0..255, default 1.
        :return: the lengths in the device's order, e.g. ``[1310, 1490, 1535]`` (possibly
            empty), or ``None`` when no acceptable reply came back. A value's position in this
            list is what ``set_optical_length`` sends and ``optical_length_index`` reports.
        :raises ValueError: ``ch`` outside 0..255; nothing is sent.
        :raises IndexError: the reply is shorter than the count it declares.
        :raises AttributeError: the port has not been opened.
        """

    def set_optical_length(self, length: int, ch: int = 1) -> bool:
        """Select the optical length ``length`` on channel ``ch``.

        Reads channel ``ch``'s list of supported lengths first (one exchange), then sends the
        position of ``length`` in that list (a second exchange): at least 0.4 s in all.

        :param length: the optical length to select, e.g. 1310; must be in the channel's list.
        :param ch: the channel, 0..255, default 1.
        :return: True if the device acknowledged the selection, else False.
        :raises RuntimeError: "device read failed! Please check your connection!" when the
            list could not be read or is empty.
        :raises ValueError: "the length: <length> no supported yet!" when ``length`` is not
            in the list, or ``ch`` outside 0..255; the selection is not sent.
        :raises AttributeError: the port has not been opened.
        """

    def read_current_status(self, ch: int = 1) -> ChannelStatus | None:
        """Read channel ``ch``'s work mode, optical length in use and attenuation.

        :param ch: the channel, 0..255, default 1.
        :return: ``{'dev_work_mode': 0, 'optical_length_index': 1, 'attenuation': 1100}``
            with the attenuation in mdB, or ``None`` when no acceptable reply came back.
        :raises ValueError: ``ch`` outside 0..255; nothing is sent.
        :raises IndexError: an acceptable reply shorter than 10 bytes.
        :raises AttributeError: the port has not been opened.
        """

    def close_full_screen(self) -> bool:
        """Close the device's full-screen display.

        :return: True if the device answered, else False.
        :raises AttributeError: the port has not been opened.
        """

    def set_attenuation(self, attenuation: int, ch: int = 1) -> bool:
        """Set channel ``ch``'s attenuation.

        The device works in 0.01 dB steps: ``attenuation / 10``, truncated toward zero, is
        sent, so 1234 and 1239 both set 1.23 dB, and -9..9 set 0 dB.

        :param attenuation: in mdB (1 dB = 1000 mdB), -9..655359 (up to 655.35 dB).
        :param ch: the channel, 0..255, default 1.
        :return: True if the device answered, else False.
        :raises ValueError: ``attenuation`` or ``ch`` out of range; nothing is sent.
        :raises AttributeError: the port has not been opened.
        """

    def clear_attenuation(self, ch: int = 1) -> bool:
        """Clear channel ``ch``'s attenuation (back to 0 dB).

        :param ch: the channel, 0..255, default 1.
        :return: True if the device answered, else False.
        :raises ValueError: ``ch`` outside 0..255; nothing is sent.
        :raises AttributeError: the port has not been opened.
        """

    def dis_connection(self, ch: int = 1) -> bool:
        """Put channel ``ch`` into its disconnected state.

        :param ch: the channel, 0..255, default 1.
        :return: True if the device answered, else False.
        :raises ValueError: ``ch`` outside 0..255; nothing is sent.
        :raises AttributeError: the port has not been opened.
        """

    def check_port_available(self) -> bool:
        """Whether the port can be taken: on Windows by opening and closing it once, elsewhere
        by running ``lsof`` on it (True when ``lsof`` lists no process).

        A failure to run ``lsof`` (not installed) is printed and gives False. ``open()`` calls
        this through the instance, so a subclass may override it.
        """

    def open(self) -> bool:
        """Check that the port is free, then open it (115200 baud, 8 data bits, no parity,
        1 stop bit, 50 s read timeout) and store the port object in ``ser``.

        :return: True if the port was opened, else False: every failure derived from
            ``Exception`` is turned into False, with a message printed when the port is held
            ("serial port already opened!...") or cannot be opened ("Cannot open serial
            port...").
        """

    def close(self) -> None:
        """Close the port object in ``ser``.

        :raises AttributeError: the port has never been opened.
        """
