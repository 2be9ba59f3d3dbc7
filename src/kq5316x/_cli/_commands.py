"""The commands that read or set one thing: ports, info, status, set, wavelength, clear,
disconnect. Each setter reads the channel back and prints what the instrument holds."""

from __future__ import annotations

from contextlib import nullcontext

from .._attenuator import Attenuator
from .._discovery import PL2303_VENDOR_ID
from ._session import DONE, INSTRUMENT, USAGE, Failure, Output, attenuator, port_name
from ._units import db_text

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Any


def channel_record(att: Attenuator, ch: int) -> dict[str, Any]:
    """The channel's status and wavelengths, as one JSON-ready record."""
    status = att.status(ch)
    lengths = att.wavelengths(ch)
    index = status.wavelength_index
    return {
        "port": att.port,
        "channel": ch,
        "attenuation_mdb": status.attenuation_mdb,
        "attenuation_db": status.attenuation_db,
        "wavelength_nm": lengths[index] if index < len(lengths) else None,
        "wavelength_index": index,
        "wavelengths_nm": list(lengths),
        "mode": status.mode,
    }


def channel_text(record: dict[str, Any], listed: bool = False) -> str:
    """The channel's state in words; `listed` adds the channel's wavelengths."""
    nm = record["wavelength_nm"]
    wavelength = f"{nm} nm" if nm is not None else f"wavelength #{record['wavelength_index']}"
    text = f"{db_text(record['attenuation_mdb'])} at {wavelength}, mode {record['mode']}"
    if not listed:
        return text
    return f"{text}; wavelengths {', '.join(map(str, record['wavelengths_nm'])) or 'none'} nm"


def _checked(output: Output, text: str, record: dict[str, Any], match: bool) -> int:
    """Prints a setter's read-back; a read-back that differs is marked and fails the command."""
    record["match"] = match
    output.result(text if match else f"{text}  MISMATCH", record)
    if not match:
        raise Failure(INSTRUMENT, "the read-back differs from the request")
    return DONE


def run_status(args: argparse.Namespace, output: Output) -> int:
    with attenuator(args) as att:
        record = channel_record(att, args.ch)
    output.result(f"channel {args.ch}: {channel_text(record)}", record)
    return DONE


def run_info(args: argparse.Namespace, output: Output) -> int:
    with attenuator(args) as att:
        version = att.identity or att.version()
        channels = [channel_record(att, ch) for ch in att.channels]
    record = {"port": att.port, "version": version._asdict(), "channels": channels}
    lines = [
        (
            f"{att.port}: module version {version.module}, hardware {version.hardware}, "
            f"software {version.software}"
        )
    ]
    for channel in channels:
        lines.append(f"channel {channel['channel']}: {channel_text(channel, listed=True)}")
    output.result("\n".join(lines), record)
    return DONE


def run_set(args: argparse.Namespace, output: Output) -> int:
    with attenuator(args) as att:
        att.set_attenuation_mdb(args.value, ch=args.ch)
        record = channel_record(att, args.ch)
    record["requested_mdb"] = args.value
    text = f"channel {args.ch}: set {db_text(args.value)}, read back {channel_text(record)}"
    return _checked(output, text, record, record["attenuation_mdb"] == args.value)


def run_wavelength(args: argparse.Namespace, output: Output) -> int:
    with attenuator(args) as att:
        if args.nm is not None:
            att.select_wavelength(args.nm, ch=args.ch)
        record = channel_record(att, args.ch)
    if args.nm is None:
        output.result(f"channel {args.ch}: {channel_text(record, listed=True)}", record)
        return DONE
    record["requested_nm"] = args.nm
    text = f"channel {args.ch}: selected {args.nm} nm, read back {channel_text(record)}"
    return _checked(output, text, record, record["wavelength_nm"] == args.nm)


def run_clear(args: argparse.Namespace, output: Output) -> int:
    with attenuator(args) as att:
        att.clear(args.ch)
        record = channel_record(att, args.ch)
    text = f"channel {args.ch}: cleared, read back {channel_text(record)}"
    return _checked(output, text, record, record["attenuation_mdb"] == 0)


def run_disconnect(args: argparse.Namespace, output: Output) -> int:
    # The status reply does not show a disconnection, so there is nothing to compare.
    with attenuator(args) as att:
        att.disconnect(args.ch)
        record = channel_record(att, args.ch)
    output.result(f"channel {args.ch}: disconnected, read back {channel_text(record)}", record)
    return DONE


def run_close_display(args: argparse.Namespace, output: Output) -> int:
    # Acknowledged by the instrument; nothing in a reply shows the display's state.
    with attenuator(args) as att:
        att.close_display()
    output.result(f"{att.port}: display closed", {"port": att.port, "display": "closed"})
    return DONE


def _port_record(
    port: str, description: str, hwid: str | None, vid: int | None, pid: int | None
) -> dict[str, Any]:
    bridge = vid == PL2303_VENDOR_ID  # the instrument's USB serial bridge
    return dict(port=port, description=description, hwid=hwid, vid=vid, pid=pid, bridge=bridge)


def _matcher(pattern: str | None) -> Any:
    """Whether a port's record matches REGEXP (name, description or hardware id)."""
    if pattern is None:
        return lambda port: True
    import re

    try:
        search = re.compile(pattern, re.IGNORECASE).search
    except re.error as error:
        raise Failure(USAGE, f"REGEXP {pattern!r} is not a regular expression: {error}") from None
    fields = ("port", "description", "hwid")
    return lambda port: any(search(str(port[field] or "")) for field in fields)


def _port_text(port: dict[str, Any], verbose: bool) -> str:
    mark = "  <- the instrument's USB bridge" if port["bridge"] else ""
    text = f"{port['port']}  {port['description']}{mark}"
    return f"{text}\n    hwid: {port['hwid'] or 'n/a'}" if verbose else text


def run_ports(args: argparse.Namespace, output: Output) -> int:
    from serial.tools import list_ports

    matches = _matcher(args.pattern)
    found = [
        _port_record(info.device, info.description, info.hwid, info.vid, info.pid)
        for info in list_ports.comports()
    ]
    # The instrument's bridge first, then other USB ports, then the rest, each by name.
    found.sort(key=lambda p: (not p["bridge"], p["vid"] is None, p["port"]))
    with port_name(args) if args.simulate else nullcontext(None) as simulated:
        if simulated is not None:
            description = "kq5316-sim, the simulated instrument (stopped when this command ends)"
            found.insert(0, _port_record(simulated, description, None, None, None))
        found = [port for port in found if matches(port)]
        for port in found:
            output.result(_port_text(port, args.verbose), port)
    if not found and not output.as_json:
        which = "" if args.pattern is None else f" matching {args.pattern!r}"
        output.result(f"no serial ports found{which}", {})
    return DONE
