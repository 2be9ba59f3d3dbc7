"""The exceptions of kq5316x.

After an `Attenuator` has opened, every failure it raises is a `Kq5316Error` (arguments aside:
those are `ValueError` or `TypeError`, raised before anything is sent).
"""

from __future__ import annotations

# How many bytes of an unexpected stretch of input a message shows; the rest is counted.
EXCERPT_BYTES = 32


def hex_bytes(data: bytes) -> str:
    """Bytes as the instrument's frames are usually written: ``7B 01 05 00 03 7C 7D``."""
    return data.hex(" ").upper() if data else "(nothing)"


def hex_excerpt(data: bytes | bytearray, total: int) -> str:
    """The first bytes of `total` in hex (`data` holds at least those), with the count of the
    rest: a bounded picture of a stretch of input of any length."""
    shown = hex_bytes(bytes(data[:EXCERPT_BYTES]))
    return shown if total <= EXCERPT_BYTES else f"{shown} ... ({total} bytes)"


def exchange_text(request: bytes, label: str, answer: bytes) -> str:
    """The request and what came back, for an error message."""
    return f"request {hex_bytes(request)}, {label} {hex_bytes(answer)}"


class Kq5316Error(Exception):
    """Base class of every error kq5316x raises about the instrument or its port.

    Raised as itself for an operation on a closed `Attenuator` (the message says why it closed
    when it closed itself), for a line that kept sending bytes that no request asked for, and for
    a port that could not be opened for a reason other than those below."""


class NoReply(Kq5316Error, TimeoutError):
    """No complete reply arrived within the timeout.

    ``request`` is the frame sent, ``received`` whatever part of a reply did arrive. The reply
    may still come later: the next exchange makes sure it is not taken for its own.
    """

    def __init__(self, request: bytes, received: bytes, timeout: float, hint: str = "") -> None:
        self.request = request
        self.received = received
        self.timeout = timeout
        exchange = exchange_text(request, "received", received)
        super().__init__(f"no complete reply within {timeout:g} s; {exchange}{hint}")


class BadReply(Kq5316Error):
    """A reply failed a check: ``check`` names it (``"start byte"``, ``"length byte"``, ``"end
    byte"``, ``"checksum"``, ``"command bytes"``, ``"channel"``, ``"layout"``)."""

    def __init__(self, check: str, request: bytes, reply: bytes) -> None:
        self.check = check
        self.request = request
        self.reply = reply
        exchange = exchange_text(request, "reply", reply)
        super().__init__(f"reply failed the {check} check; {exchange}")


class EchoingPort(Kq5316Error):
    """What was sent came back unchanged where the instrument answers with something else: a
    loop-back plug, an adapter or terminal server with local echo, or ``loop://``. On such a line
    every setter would seem acknowledged, so it is refused. ``request`` is the echoed frame."""

    def __init__(self, port: str, request: bytes) -> None:
        self.port = port
        self.request = request
        super().__init__(
            f"{port} echoes what is sent ({hex_bytes(request)} came back unchanged): a loop-back"
            " plug, an adapter with local echo, or not the instrument's port"
        )


class PortBusy(Kq5316Error):
    """The local port is open elsewhere: ``holder`` says by whom (``"process 4242 (minicom)"``,
    ``"this process"``), ``pid`` is that process's id where known.

    On Linux, every process whose open files this user may inspect is looked at, whatever it
    opened the port with; processes of other users are visible only to root."""

    def __init__(self, port: str, holder: str, pid: int | None = None) -> None:
        self.port = port
        self.holder = holder
        self.pid = pid
        super().__init__(f"{port} is in use by {holder}")


class PortLost(Kq5316Error, ConnectionError):
    """The port failed during an exchange (cable unplugged, adapter gone, connection closed).
    The message names the port and the request in flight; the cause is chained. The `Attenuator`
    is closed when this is raised: open a new one once the port is back."""

    def __init__(self, port: str, command: str, request: bytes, cause: BaseException) -> None:
        self.port = port
        self.command = command
        self.request = request
        sent = hex_bytes(request)
        super().__init__(f"{port} was lost during {command} (request {sent}): {cause}")
