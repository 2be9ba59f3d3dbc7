from typing import Final

MDB_PER_STEP: Final[int]
MAX_STEPS: Final[int]
MAX_CHANNEL: Final[int]
# The names check() returns for a failed check.
CHECK_START_BYTE: Final[str]
CHECK_LENGTH_BYTE: Final[str]
CHECK_END_BYTE: Final[str]
CHECK_CHECKSUM: Final[str]
CHECK_COMMAND_BYTES: Final[str]
CHECK_CHANNEL: Final[str]
CHECK_LAYOUT: Final[str]

class Command:
    """The commands, in the protocol's order; each value is the command's name."""

    READ_DEVICE_VERSION: Final[str]
    READ_WAVELENGTHS: Final[str]
    READ_CURRENT_STATUS: Final[str]
    CLOSE_FULL_SCREEN: Final[str]
    SELECT_WAVELENGTH: Final[str]
    SET_ATTENUATION: Final[str]
    CLEAR_ATTENUATION: Final[str]
    DISCONNECT: Final[str]

def request(command: str, ch: int, value: int, /) -> bytes: ...
def announced_length(header: bytes, /) -> int: ...
def check(command: str, request: bytes, reply: bytes, strict: bool, /) -> str | None: ...
def decode(command: str, reply: bytes, /) -> tuple[int | tuple[int, ...], ...] | None: ...
def checksum(frame: bytes, /) -> int: ...
# The exchange on a port's descriptor, a terminal or a socket (POSIX; see exchange_fd's docstring).
def exchange_fd(
    fd: int, abort_fd: int, request: bytes, pause: float, timeout: float, discard: float, /
) -> tuple[bytes | str, float, bytes, int]: ...
def read_frame_fd(fd: int, abort_fd: int, timeout: float, /) -> bytes: ...
