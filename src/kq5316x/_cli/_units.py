"""Quantities on the command line. An attenuation or a time carries its unit (``3.5dB``,
``3500mdB``, ``0.5s``, ``500ms``): a bare number is refused, since 3.5 could be dB or mdB and
nothing would show the slip."""

from __future__ import annotations

import argparse
import re
from decimal import Decimal

MDB_PER_STEP = 10  # the instrument's resolution: 0.01 dB
MAX_MDB = 0xFFFF * MDB_PER_STEP  # 655.35 dB, the largest value a frame carries

_QUANTITY = re.compile(r"\s*(?P<number>[+-]?(?:\d+(?:\.\d*)?|\.\d+))\s*(?P<unit>[a-zA-Z]*)\s*")
_ATTENUATION_UNITS = {"db": 1000, "mdb": 1}
_TIME_UNITS = {"s": Decimal(1), "ms": Decimal("0.001")}


def _split(text: str, what: str, example: str) -> tuple[Decimal, str]:
    match = _QUANTITY.fullmatch(text)
    if match is None:
        raise argparse.ArgumentTypeError(f"{text!r} is not {what}: write it as {example}")
    return Decimal(match["number"]), match["unit"].lower()


def db_text(mdb: int, sep: str = " ") -> str:
    """An mdB count as dB with the instrument's two decimals: ``3.50 dB`` (``3.50dB`` with
    `sep` empty, as it is typed)."""
    return f"{Decimal(mdb) / 1000:.2f}{sep}dB"


def attenuation_mdb(text: str) -> int:
    """``3.5dB`` or ``3500mdB`` as an integer count of mdB, a multiple of the 10 mdB step."""
    number, unit = _split(text, "an attenuation", "3.5dB or 3500mdB")
    if not unit:
        raise argparse.ArgumentTypeError(
            f"{text!r} has no unit: write {number}dB or {number}mdB (1 dB = 1000 mdB)"
        )
    if unit not in _ATTENUATION_UNITS:
        raise argparse.ArgumentTypeError(f"{text!r}: the unit must be dB or mdB")
    mdb = number * _ATTENUATION_UNITS[unit]
    if not 0 <= mdb <= MAX_MDB:
        raise argparse.ArgumentTypeError(
            f"{text!r} is out of range: 0dB to {db_text(MAX_MDB, '')} (0 to {MAX_MDB} mdB)"
        )
    below = int(mdb // MDB_PER_STEP) * MDB_PER_STEP
    if mdb != below:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a multiple of the instrument's 0.01 dB step; the nearest settable "
            f"values are {db_text(below, '')} and {db_text(below + MDB_PER_STEP, '')}"
        )
    return below


def seconds(text: str) -> float:
    """``0.5s`` or ``500ms`` as seconds, zero or more."""
    number, unit = _split(text, "a time", "0.5s or 500ms")
    if not unit:
        raise argparse.ArgumentTypeError(f"{text!r} has no unit: write {number}s or {number}ms")
    if unit not in _TIME_UNITS:
        raise argparse.ArgumentTypeError(f"{text!r}: the unit must be s or ms")
    if number < 0:
        raise argparse.ArgumentTypeError(f"{text!r}: a time cannot be negative")
    return float(number * _TIME_UNITS[unit])


def positive_seconds(text: str) -> float:
    value = seconds(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r}: must be more than 0s")
    return value


def nanometres(text: str) -> int:
    """``1550`` or ``1550nm``: a wavelength is a whole number of nm."""
    match = re.fullmatch(r"\s*(\d+)\s*(nm)?\s*", text, re.IGNORECASE)
    if match is None:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a wavelength: write it as 1550 or 1550nm"
        )
    return int(match[1])


def channel(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"{text!r} is not a channel number: write 1, 2, ...")
    return int(text)
