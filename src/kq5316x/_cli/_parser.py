"""The command line: commands, options and the help texts that explain them."""

from __future__ import annotations

import argparse
import re

from . import _units

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import NoReturn

PROG = "kq5316x"

DESCRIPTION = """\
Read and set a KQ5316 optical attenuator on a serial port: check a channel, set an
attenuation, select a wavelength, or sweep a channel and record what it reads back.
Every command that sets something reads the channel back and prints what it holds."""

UNITS = """\
values carry their unit:
  attenuation  3.5dB or 3500mdB (1 dB = 1000 mdB; 0dB to 655.35dB in 0.01 dB steps).
               A bare number such as 3.5 is refused, since it could mean either.
  time         0.5s or 500ms (--dwell, --timeout)
  wavelength   1550 or 1550nm, one of the channel's own (kq5316x wavelength PORT lists them)"""

EXIT_STATUSES = """\
exit status:
  0    done
  1    the instrument did not answer, answered wrongly, or a read-back differs from the request
  2    usage: a bad command line or value (the message says what to write instead)
  3    the port could not be opened, or another program holds it (the message names it)
  4    an output (--csv, --plot, standard output) could not be written once the command
       had begun; a sweep says where it stopped
  130  interrupted (Ctrl-C)
  141  standard output was closed by its reader (| head): the command stopped quietly
  143  terminated (SIGTERM)"""

EPILOG = f"""\
examples:
  kq5316x ports                              list serial ports, the instrument's USB bridge first
  kq5316x info /dev/ttyUSB0                  versions, and each channel's state and wavelengths
  kq5316x set /dev/ttyUSB0 3.5dB --ch 2      set channel 2 to 3.5 dB and read it back
  kq5316x sweep COM3 --from 0dB --to 10dB --step 0.5dB --dwell 0.5s --csv run.csv --plot run.png
  kq5316x status --simulate --json           try any command on a simulated instrument

PORT is a device (/dev/ttyUSB0, COM3) or a pyserial URL (socket://HOST:PORT for a serial-to-network
server in raw mode); without PORT, the environment variable KQ5316_PORT names it. --simulate runs
the command against a simulated instrument, started for the command and stopped after it, instead
of PORT. --baud gives the line's rate when the instrument is set to another than 115200.

errors are one line on standard error: what happened and what to try; --debug adds the traceback
and the driver's log (each frame sent and received). --json prints JSON Lines: one JSON object
per line (a sweep prints one per step; 'jq -s' or 'json.tool --json-lines' reads them all).

{UNITS}

{EXIT_STATUSES}

'kq5316x COMMAND --help' explains each command."""

SWEEP_DESCRIPTION = """\
Set channel --ch to each step from --from to --to (--to included when the steps reach it
exactly; a sweep goes down when --to is below --from), wait --dwell, read the channel's status
back, and record the time since the start, the requested and the read-back attenuation.

Output: one line per step (with --json one object per step: step, time_s, channel,
requested_mdb, read_back_mdb, requested_db, read_back_db, match), then a summary line.
A read-back that differs from the request is marked MISMATCH and makes the exit status 1;
the sweep goes on to the end.

--csv FILE gets the header 'step,time_s,channel,requested_db,read_back_db,match' and one row per
step, written as each is taken, so an interrupted sweep keeps every row it reached.
--plot FILE.png draws read-back against requested attenuation, mismatches marked (.svg, .pdf
and matplotlib's other formats too); it needs matplotlib (pip install matplotlib, or the
package's 'plot' extra). Both files are checked before anything is set: a file that cannot be
written, a missing matplotlib or an unknown image format is a usage error (status 2).

A progress bar is drawn on standard error when it is a terminal, never into a pipe or file.
Ctrl-C stops the sweep at once: the rows so far stay in the CSV file (and the plot), the
channel is left where the sweep had put it (not restored), a line on standard error says
so, and the exit status is 130; SIGTERM does the same with exit status 143. An instrument
that stops answering ends the sweep the same way, with the error on that line and exit
status 1; a file that cannot be written during the sweep (a full disk), with exit status 4."""


# Each command's texts: its line in the program's list of commands, its own --help, and its
# examples.
COMMANDS = {
    "ports": (
        "list the serial ports, the instrument's USB bridge first",
        """\
List the serial ports this system has, with their descriptions: the instrument's USB serial
bridge (Prolific, VID 067B) first, then other USB ports, then the rest. -v adds each port's
hardware id (USB vendor and product id, serial number, location); REGEXP lists only the ports
whose name, description or hardware id it matches (case ignored). With --json, one object
per port: port, description, hwid, vid, pid, bridge. With --simulate, the simulated
instrument's port comes first (it stops when the command ends).""",
        "kq5316x ports\n  kq5316x ports -v 067B\n  kq5316x ports --json",
    ),
    "info": (
        "versions, and each channel's state and wavelengths",
        """\
Print the instrument's module, hardware and software versions, and for each channel its
attenuation, selected wavelength, mode and supported wavelengths. With --json, one object:
port, version {module, hardware, software}, channels [...].""",
        "kq5316x info /dev/ttyUSB0\n  kq5316x info --simulate --json",
    ),
    "status": (
        "one channel's attenuation, wavelength and mode",
        """\
Print channel --ch's attenuation, selected wavelength and work mode. With --json, one object:
port, channel, attenuation_mdb, attenuation_db, wavelength_nm, wavelength_index,
wavelengths_nm, mode.""",
        "kq5316x status /dev/ttyUSB0 --ch 2\n  kq5316x status --simulate --json",
    ),
    "set": (
        "set a channel's attenuation (3.5dB or 3500mdB) and read it back",
        """\
Set channel --ch's attenuation to VALUE, read the channel back and print both. VALUE carries
its unit, 3.5dB or 3500mdB, in the instrument's 0.01 dB steps; a bare number is refused. A
read-back that differs is marked MISMATCH and the exit status is 1. With --json, the status
object plus requested_mdb and match.""",
        "kq5316x set /dev/ttyUSB0 3.5dB\n  kq5316x set COM3 12500mdB --ch 2",
    ),
    "wavelength": (
        "select a channel's wavelength, or list them",
        """\
Select the wavelength NM (one of the channel's own) on channel --ch and read it back; without
NM, print the channel's wavelengths and the one selected. A read-back that differs is marked
MISMATCH and the exit status is 1. With --json, the status object (plus requested_nm and match
when NM is given).""",
        "kq5316x wavelength /dev/ttyUSB0 1550 --ch 2\n  kq5316x wavelength --simulate",
    ),
    "clear": (
        "clear a channel's attenuation and read it back",
        """\
Clear channel --ch's attenuation (0 dB) and read the channel back; any other read-back is
marked MISMATCH and the exit status is 1. With --json, the status object plus match.""",
        "kq5316x clear /dev/ttyUSB0 --ch 2",
    ),
    "disconnect": (
        "put a channel into its disconnected state",
        """\
Put channel --ch into its disconnected state (until its attenuation is next set) and print the
channel's status read back afterwards. With --json, the status object.""",
        "kq5316x disconnect /dev/ttyUSB0 --ch 1",
    ),
    "close-display": (
        "close the instrument's full-screen display",
        """\
Close the instrument's full-screen display (the front panel goes back to its usual view). The
instrument acknowledges the request; there is nothing to read back. With --json, one object:
port, display.""",
        "kq5316x close-display /dev/ttyUSB0",
    ),
    "sweep": (
        "step a channel through a range, record read-backs (CSV, plot)",
        SWEEP_DESCRIPTION,
        "kq5316x sweep /dev/ttyUSB0 --from 0dB --to 10dB --step 0.5dB --dwell 0.5s\n"
        "  kq5316x sweep --simulate --from 0dB --to 3dB --step 500mdB --csv run.csv --plot run.png",
    ),
}


class Parser(argparse.ArgumentParser):
    """Usage errors as one line that says where to look. `commands` holds each command's own
    parser (on the program's parser)."""

    commands: dict[str, Parser]

    def __init__(self, *args: object, **kwargs: object) -> None:
        super().__init__(*args, **kwargs)  # type: ignore[arg-type]
        # A value such as -1dB or -0.5dB is read as a value (and refused by its check) rather
        # than as an unknown option: no option of this program starts with '-' and a digit.
        self._negative_number_matcher = re.compile(r"^-\.?[0-9]")

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _add_common(parser: argparse.ArgumentParser, for_command: bool) -> None:
    """Options every command takes, before or after the command's name. On the commands their
    default is left out, so that one given before the name is not overwritten."""

    def default(value: object) -> object:
        return argparse.SUPPRESS if for_command else value

    group = parser.add_argument_group("options of every command")
    group.add_argument(
        "--simulate",
        action="store_true",
        default=default(False),
        help="run against a simulated instrument started for this command and "
        "stopped after it; give no PORT",
    )
    group.add_argument(
        "--json",
        action="store_true",
        default=default(False),
        help="print JSON Lines instead of text: one JSON object per line, one per result",
    )
    group.add_argument(
        "--timeout",
        type=_units.positive_seconds,
        default=default(0.5),
        metavar="TIME",
        help="how long to wait for each reply: 0.5s (default), 2s, 800ms",
    )
    group.add_argument(
        "--baud",
        type=_units.baud_rate,
        default=default(115200),
        metavar="RATE",
        help="the line's rate, as the instrument is set: 115200 (default), 9600, ...",
    )
    group.add_argument(
        "--no-identify",
        dest="identify",
        action="store_false",
        default=default(True),
        help="open the port without first asking the instrument for its version",
    )
    group.add_argument(
        "--debug",
        action="store_true",
        default=default(False),
        help="on an error, print the traceback too; log each exchange (the "
        "kq5316x logger at DEBUG) on standard error",
    )


def _add_arguments(name: str, command: argparse.ArgumentParser) -> None:
    if name == "ports":
        command.add_argument(
            "-v", "--verbose", action="store_true", help="show each port's hardware id too"
        )
        command.add_argument(
            "pattern",
            nargs="?",
            metavar="REGEXP",
            help="only the ports whose name, description or hardware id this matches",
        )
        return
    command.add_argument(
        "port",
        nargs="?",
        metavar="PORT",
        help="/dev/ttyUSB0, COM3, socket://HOST:PORT, ...; default: $KQ5316_PORT "
        "(not with --simulate)",
    )
    if name == "set":
        command.add_argument(
            "value",
            type=_units.attenuation_mdb,
            metavar="VALUE",
            help="the attenuation with its unit: 3.5dB or 3500mdB",
        )
    if name == "wavelength":
        command.add_argument(
            "nm",
            type=_units.nanometres,
            nargs="?",
            metavar="NM",
            help="the wavelength in nm: 1550 or 1550nm; none: list them",
        )
    if name == "sweep":
        _add_sweep(command)
    if name not in ("info", "close-display"):
        command.add_argument(
            "--ch", type=_units.channel, default=1, metavar="N", help="the channel (default 1)"
        )


# The sweep's settings: option, destination and help.
SWEEP_SETTINGS = (
    ("--from", "start", "first setting: 0dB, 1500mdB, ..."),
    ("--to", "stop", "last setting, included when the steps reach it exactly"),
    ("--step", "step", "distance between settings, more than 0dB: 0.5dB, 10mdB, ..."),
)


def _add_sweep(command: argparse.ArgumentParser) -> None:
    for option, dest, text in SWEEP_SETTINGS:
        command.add_argument(
            option,
            dest=dest,
            type=_units.attenuation_mdb,
            required=True,
            metavar="VALUE",
            help=text,
        )
    command.add_argument(
        "--dwell",
        type=_units.seconds,
        default=0.0,
        metavar="TIME",
        help="wait after each setting before reading back: 0.5s, 200ms (default 0s)",
    )
    command.add_argument(
        "--csv", metavar="FILE", help="write the rows to FILE as they are taken"
    )
    command.add_argument(
        "--plot",
        metavar="FILE.png",
        help="draw read-back against requested into FILE.png, or .svg, .pdf, ... (needs "
        "matplotlib)",
    )


class _Version(argparse.Action):
    """--version: the installed distribution's version, read only when asked for (reading
    package metadata costs more than the rest of the program's start-up)."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: object) -> None:
        kwargs.update(nargs=0, default=argparse.SUPPRESS)
        super().__init__(option_strings, dest, **kwargs)  # type: ignore[arg-type]

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        from importlib import metadata

        for distribution in ("kq5316x", "kq5316"):
            try:
                version = metadata.version(distribution)
                break
            except metadata.PackageNotFoundError:
                version = "(version unknown)"
        print(f"{parser.prog} {version}")
        parser.exit()


def build(argv: Sequence[str]) -> Parser:
    """The parser for `argv`. Only the command that `argv` names is built; without one, every
    command is listed (for the help and the usage error), none with its options: building
    every command's parser would cost a quick command a good share of its start-up."""
    formatter = argparse.RawDescriptionHelpFormatter
    parser = Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG, formatter_class=formatter)
    _add_common(parser, for_command=False)
    parser.add_argument("--version", action=_Version, help="show the version and exit")
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", required=True, title="commands"
    )
    parser.commands = {}
    named = set(argv) & COMMANDS.keys()
    for name, (summary, description, examples) in COMMANDS.items():
        if named and name not in named:
            continue
        if name not in named:
            parser.commands[name] = commands.add_parser(name, help=summary, add_help=False)
            continue
        command = parser.commands[name] = commands.add_parser(
            name,
            help=summary,
            description=description,
            formatter_class=formatter,
            epilog=f"examples:\n  {examples}\n\n{UNITS}\n\n{EXIT_STATUSES}",
        )
        _add_common(command, for_command=True)
        _add_arguments(name, command)
    return parser
