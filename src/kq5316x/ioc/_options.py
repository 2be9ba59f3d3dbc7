"""The server's command line: every option checked before anything is opened, each mistake one
line on standard error and exit status 2."""

from __future__ import annotations

import argparse
import ipaddress
import math
import os
import re
from collections.abc import Sequence
from typing import NoReturn

from .._attenuator import BAUD_RATE
from .._cli._session import PORT_VARIABLE
from .._cli._units import baud_rate
# The longest name the server appends to the prefix (":CH255:Wavelength_RBV"), and the longest
# record name EPICS clients and gateways handle (60 characters).
_LONGEST_SUFFIX = 21
_MAX_NAME = 60
# Characters of an EPICS record name; "." starts a field name, so it may not appear in one.
_NAME_PART = re.compile(r"[A-Za-z0-9_\-+:\[\]<>;]+")

class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not the usage text above it: the message names the option.
        self.exit(2, f"{self.prog}: {message}\n")

def _number(text: str, what: str, low: float, high: float) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} is a number of seconds, not {text!r}") from None
    if not (math.isfinite(value) and low <= value <= high):
        raise argparse.ArgumentTypeError(f"{what} is from {low:g} to {high:g} s, not {text!r}")
    return value

def _poll(text: str) -> float:
    return _number(text, "the poll period", 0.01, 3600)

def _timeout(text: str) -> float:
    return _number(text, "the reply timeout", 0.01, 60)

def _channels(text: str) -> tuple[int, ...]:
    parts = text.split(",")
    if not all(part.strip().isdigit() for part in parts):
        raise argparse.ArgumentTypeError(f"channels are numbers separated by commas: {text!r}")
    channels = tuple(dict.fromkeys(int(part) for part in parts))
    if any(ch > 255 for ch in channels):
        raise argparse.ArgumentTypeError(f"channels are from 0 to 255: {text!r}")
    return channels

def _prefix(text: str) -> str:
    longest = _MAX_NAME - _LONGEST_SUFFIX
    if not _NAME_PART.fullmatch(text) or text.startswith(":") or text.endswith(":"):
        raise argparse.ArgumentTypeError(
            f"the prefix is letters, digits and _-+:[]<>; (not starting or ending with ':'),"
            f" not {text!r}"
        )
    if len(text) > longest:
        raise argparse.ArgumentTypeError(
            f"the prefix is at most {longest} characters (PV names are at most {_MAX_NAME}),"
            f" not {len(text)}"
        )
    return text

def _networks(text: str) -> list[ipaddress.IPv4Network | ipaddress.IPv6Network]:
    networks = []
    for part in filter(None, (p.strip() for p in text.split(","))):
        try:
            networks.append(ipaddress.ip_network(part, strict=False))
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"--allow-write takes addresses or networks (192.0.2.7, 192.0.2.0/24), not"
                f" {part!r}: a client is judged by the address it connects from"
            ) from None
    if not networks:
        raise argparse.ArgumentTypeError("--allow-write needs an address or a network")
    return networks

def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = _Parser(
        prog="kq5316x-ioc",
        description="Serve a KQ5316 over EPICS Channel Access. Interfaces and port come from"
        " EPICS_CAS_INTF_ADDR_LIST and EPICS_CA_SERVER_PORT. Every client may read; only this"
        " machine may write unless --allow-write names who may, or --read-only refuses all.",
    )
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--port", help=f"the instrument's serial port or pyserial URL (default: ${PORT_VARIABLE})"
    )
    where.add_argument(
        "--simulate", action="store_true", help="serve a simulated instrument (kq5316-sim)"
    )
    parser.add_argument("--prefix", required=True, type=_prefix, help="e.g. LAB:ATT1")
    parser.add_argument("--channels", type=_channels, default=(1, 2), help="default: 1,2")
    parser.add_argument("--poll", type=_poll, default=1.0, help="read-back period in s (1.0)")
    parser.add_argument("--timeout", type=_timeout, default=0.5, help="reply timeout in s (0.5)")
    parser.add_argument(
        "--baud", type=baud_rate, default=BAUD_RATE, help=f"line speed ({BAUD_RATE})"
    )
    access = parser.add_mutually_exclusive_group()
    access.add_argument(
        "--read-only", action="store_true", help="refuse every write, from everywhere"
    )
    access.add_argument(
        "--allow-write", type=_networks, action="append", default=[], metavar="NETWORKS",
        help="addresses or networks (comma-separated, repeatable) that may write, instead of"
        " this machine alone (add 127.0.0.1 to keep it)",
    )
    parser.add_argument("--list-pvs", action="store_true", help="print the PV names at start")
    arguments = parser.parse_args(argv)
    arguments.allow_write = [net for nets in arguments.allow_write for net in nets]
    if not arguments.simulate and not arguments.port:
        arguments.port = os.environ.get(PORT_VARIABLE) or None
        if arguments.port is None:
            parser.error(f"give --port PORT or --simulate, or set {PORT_VARIABLE}")
    return arguments

