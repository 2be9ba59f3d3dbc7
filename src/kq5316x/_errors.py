"""The exceptions of kq5316x."""

from __future__ import annotations


def hex_bytes(data: bytes) -> str:
    """Bytes as the instrument's frames are usually written: ``7B 01 05 00 03 7C 7D``."""
    return data.hex(" ").upper() if data else "(nothing)"


def exchange_text(request: bytes, label: str, answer: bytes) -> str:
    """The request and what came back, for an error message."""
    return f"request {hex_bytes(request)}, {label} {hex_bytes(answer)}"


class Kq5316Error(Exception):
    """Base class of every error kq5316x raises about the instrument or its port."""


class NoReply(Kq5316Error, TimeoutError):
    """No complete reply arrived within the timeout.

    ``request`` is the frame sent, ``received`` whatever part of a reply did arrive.
    """

    def __init__(self, request: bytes, received: bytes, timeout: float) -> None:
        self.request = request
        self.received = received
        self.timeout = timeout
        exchange = exchange_text(request, "received", received)
        super().__init__(f"no complete reply within {timeout:g} s; {exchange}")


class BadReply(Kq5316Error):
    """A reply failed a check: ``check`` names it (``"checksum"``, ``"end byte"``, ...)."""

    def __init__(self, check: str, request: bytes, reply: bytes) -> None:
        self.check = check
        self.request = request
        self.reply = reply
        exchange = exchange_text(request, "reply", reply)
        super().__init__(f"reply failed the {check} check; {exchange}")


class PortBusy(Kq5316Error):
    """Another process (or another Attenuator) holds the port."""

    def __init__(self, port: str) -> None:
        self.port = port
        super().__init__(f"{port} is in use by another process")
