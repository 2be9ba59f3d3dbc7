"""Quantities on the command line. An attenuation or a time carries its unit (``3.5dB``,
``3500mdB``, ``0.5s``, ``500ms``): a bare number is refused, since 3.5 could be dB or mdB and
nothing would show the slip."""

from __future__ import annotations

import argparse
import re
from collections import namedtuple

from .._attenuator import BAUD_RATES, MAX_SECONDS

MDB_PER_STEP = 10  # the instrument's resolution: 0.01 dB
MAX_MDB = 0xFFFF * MDB_PER_STEP  # 655.35 dB, the largest value a frame carries
MAX_NM = 0xFFFF  # a wavelength travels in two bytes
# The longest text read as a quantity: enough for any value in range, and a message that quotes
# it stays one readable line.
MAX_CHARS = 40

_QUANTITY = re.compile(
    r"\s*(?P<number>[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+))\s*(?P<unit>[a-zA-Z]*)\s*"
)


# A kind of quantity: what it is, an example, its units' sizes in the smallest one (by the unit's
# name in lower case), its large and small unit as written, and a note for a number given without
# a unit. (collections' namedtuple rather than typing's: the command line starts without typing.)
_Kind = namedtuple("_Kind", "what example sizes large small note")


_ATTENUATION = _Kind(
    "an attenuation", "3.5dB or 3500mdB", {"db": 1000, "mdb": 1}, "dB", "mdB", " (1 dB = 1000 mdB)"
)
_TIME = _Kind("a time", "0.5s or 500ms", {"s": 1000, "ms": 1}, "s", "ms", "")


def _quantity(text: str, kind: _Kind) -> tuple[int, int]:
    """The quantity in `kind`'s smallest unit, exactly, as numerator and denominator (no float
    and no decimal module: 0.01 dB steps are checked exactly, and the command starts without
    importing decimal)."""
    match = _QUANTITY.fullmatch(text) if len(text) <= MAX_CHARS else None
    if match is None:
        raise argparse.ArgumentTypeError(
            f"{_shown(text)} is not {kind.what}: write it as {kind.example}"
        )
    number, unit = match["number"], match["unit"].lower()
    if not unit:
        raise argparse.ArgumentTypeError(
            f"{_shown(text)} has no unit: write {number}{kind.large} or {number}{kind.small}"
            f"{kind.note}"
        )
    if unit not in kind.sizes:
        raise argparse.ArgumentTypeError(
            f"{_shown(text)}: the unit must be {kind.large} or {kind.small}"
        )
    whole, _, fraction = number.lstrip("+-").partition(".")
    sign = -1 if number.startswith("-") else 1
    return sign * int((whole or "0") + fraction) * kind.sizes[unit], 10 ** len(fraction)


def db_text(mdb: int, sep: str = " ") -> str:
    """An mdB count as dB with the instrument's two decimals: ``3.50 dB`` (``3.50dB`` with
    `sep` empty, as it is typed)."""
    hundredths = (mdb + 5) // 10
    return f"{hundredths // 100}.{hundredths % 100:02d}{sep}dB"


def attenuation_mdb(text: str) -> int:
    """``3.5dB`` or ``3500mdB`` as an integer count of mdB, a multiple of the 10 mdB step."""
    mdb, denominator = _quantity(text, _ATTENUATION)
    if not 0 <= mdb <= MAX_MDB * denominator:
        raise argparse.ArgumentTypeError(
            f"{_shown(text)} is out of range: 0dB to {db_text(MAX_MDB, '')} (0 to {MAX_MDB} mdB)"
        )
    below = mdb // (denominator * MDB_PER_STEP) * MDB_PER_STEP
    if mdb != below * denominator:
        raise argparse.ArgumentTypeError(
            f"{_shown(text)} is not a multiple of the instrument's 0.01 dB step; the nearest "
            f"settable values are {db_text(below, '')} and {db_text(below + MDB_PER_STEP, '')}"
        )
    return below


def seconds(text: str) -> float:
    """``0.5s`` or ``500ms`` as seconds, zero or more, at most a day."""
    ms, denominator = _quantity(text, _TIME)
    if ms < 0:
        raise argparse.ArgumentTypeError(f"{_shown(text)}: a time cannot be negative")
    if ms > MAX_SECONDS * 1000 * denominator:
        raise argparse.ArgumentTypeError(
            f"{_shown(text)} is too long: at most {MAX_SECONDS:g}s (a day)"
        )
    return ms / (1000 * denominator)


def positive_seconds(text: str) -> float:
    value = seconds(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{_shown(text)}: must be more than 0s")
    return value


def nanometres(text: str) -> int:
    """``1550`` or ``1550nm``: a wavelength is a whole number of nm."""
    # At most six digits are read as a number: the rest could only be out of range, and a
    # number of thousands of digits is refused by int() itself.
    match = re.fullmatch(r"\s*([0-9]{1,6})\s*(nm)?\s*", text, re.IGNORECASE)
    if match is None or int(match[1]) > MAX_NM:
        raise argparse.ArgumentTypeError(
            f"{_shown(text)} is not a wavelength: write it as 1550 or 1550nm (at most {MAX_NM})"
        )
    return int(match[1])


def channel(text: str) -> int:
    if re.fullmatch(r"[0-9]{1,3}", text) is None:
        raise argparse.ArgumentTypeError(
            f"{_shown(text)} is not a channel number: write 1, 2, ..."
        )
    return int(text)


def baud_rate(text: str) -> int:
    """One of the usual rates, as digits: ``9600``, ``115200``."""
    if text not in map(str, BAUD_RATES):
        rates = ", ".join(map(str, BAUD_RATES))
        raise argparse.ArgumentTypeError(f"{_shown(text)} is not one of the rates {rates}")
    return int(text)


def _shown(text: str) -> str:
    """The value as the message quotes it, cut short: a message stays one readable line."""
    return repr(text) if len(text) <= MAX_CHARS else repr(text[:MAX_CHARS]) + "..."
