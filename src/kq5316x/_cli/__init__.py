"""The command line ``kq5316x`` (also ``python -m kq5316x``). Imported only by the script, so
that ``import kq5316x`` stays as light as it was. A command's own module is imported when that
command runs, so that a quick command starts quickly."""

from __future__ import annotations

import argparse
import os
import sys
from contextlib import contextmanager

from .._errors import Kq5316Error
from . import _parser
from ._session import (
    CLOSED_PIPE,
    INTERRUPTED,
    PORT_VARIABLE,
    USAGE,
    Failure,
    Output,
    explain,
    quiet_stdout,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator, Sequence

__all__ = ["main"]

# The commands' positional arguments. argparse leaves a list, not a value, in one that a '--'
# left empty ('set PORT -- --'); it is a missing argument.
POSITIONALS = {"port": "PORT", "value": "VALUE", "nm": "NM", "pattern": "REGEXP"}


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command; returns the exit status."""
    argv = sys.argv[1:] if argv is None else argv
    parser = _parser.build(argv)
    try:
        args = parser.parse_args(argv)
        _check_arguments(args, parser.commands[args.command])
    except SystemExit as stop:  # --help, or a usage error already printed
        return stop.code if isinstance(stop.code, int) else USAGE
    prog = f"{_parser.PROG} {args.command}"
    with _debug_log(args.debug):
        try:
            # 'close-display' runs run_close_display; the sweep has a module of its own.
            module = "_sweep" if args.command == "sweep" else "_commands"
            name = "run_" + args.command.replace("-", "_")
            runner = getattr(__import__(f"{__name__}.{module}", fromlist=[name]), name)
            status: int = runner(args, Output(args.json))
            return status
        except KeyboardInterrupt:
            _say(prog, "interrupted")
            return INTERRUPTED
        except BrokenPipeError:
            # The reader of standard output has gone (| head): stop quietly, as a program killed
            # by SIGPIPE would, rather than report an interruption nobody asked for.
            quiet_stdout()
            return CLOSED_PIPE
        except (Failure, Kq5316Error, ValueError, TypeError) as error:
            if args.debug:
                import traceback

                traceback.print_exc()
            status, message = explain(error, args)
            _say(prog, message)
            return status


def _check_arguments(args: argparse.Namespace, command: _parser.Parser) -> None:
    """What the parser itself cannot see: PORT or --simulate (PORT from the environment when
    neither is given), and a positional argument that '--' left without a value."""
    for dest, metavar in POSITIONALS.items():
        if isinstance(getattr(args, dest, None), list):
            command.error(f"{metavar} is missing")
    if args.command == "ports":
        return
    if args.command == "wavelength" and args.simulate and args.nm is None and args.port:
        # 'wavelength --simulate 1550': the one value given is the wavelength, not a port.
        from . import _units

        try:
            args.port, args.nm = None, _units.nanometres(args.port)
        except argparse.ArgumentTypeError as error:
            command.error(str(error))
    if args.simulate and args.port is not None:
        command.error(f"give PORT or --simulate, not both (PORT was {args.port!r})")
    if not args.simulate and args.port is None:
        args.port = os.environ.get(PORT_VARIABLE) or None
        if args.port is None:
            command.error(
                f"PORT is missing: give it, set {PORT_VARIABLE}, or use --simulate to try a "
                "simulated instrument"
            )


def _say(prog: str, message: str) -> None:
    line = " ".join(message.split())  # one line, whatever the message holds
    sys.stderr.write(f"{prog}: {line}\n")
    sys.stderr.flush()


@contextmanager
def _debug_log(debug: bool) -> Iterator[None]:
    """With --debug, every exchange on standard error. Otherwise the driver's warnings reach
    standard error through the logging module's last resort, which is there whenever a warning
    imports it: importing it up front would cost every command's start-up."""
    if not debug:
        yield
        return
    import logging

    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(name)s %(levelname)s: %(message)s"))
    logger = logging.getLogger("kq5316x")
    previous_level = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(previous_level)
