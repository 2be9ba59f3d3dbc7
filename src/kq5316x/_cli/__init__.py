"""The command line ``kq5316x`` (also ``python -m kq5316x``). Imported only by the script, so
that ``import kq5316x`` stays as light as it was."""

from __future__ import annotations

import argparse
import logging
import os
import sys
import traceback
from collections.abc import Callable, Sequence

from .._errors import Kq5316Error
from . import _commands, _parser, _sweep, _units
from ._session import INTERRUPTED, USAGE, Failure, Output, explain

__all__ = ["main"]

RUNNERS: dict[str, Callable[[argparse.Namespace, Output], int]] = {
    "ports": _commands.run_ports,
    "info": _commands.run_info,
    "status": _commands.run_status,
    "set": _commands.run_set,
    "wavelength": _commands.run_wavelength,
    "clear": _commands.run_clear,
    "disconnect": _commands.run_disconnect,
    "sweep": _sweep.run_sweep,
}


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command; returns the exit status."""
    parser = _parser.build()
    try:
        args = parser.parse_args(argv)
        _check_port(args, parser.commands[args.command])
    except SystemExit as stop:  # --help, or a usage error already printed
        return stop.code if isinstance(stop.code, int) else USAGE
    prog = f"{_parser.PROG} {args.command}"
    logger = logging.getLogger("kq5316x")
    level = logger.level
    handler = _log_to_stderr(logger, args.debug)
    try:
        return RUNNERS[args.command](args, Output(args.json))
    except KeyboardInterrupt:
        _say(prog, "interrupted")
        return INTERRUPTED
    except BrokenPipeError:
        # The reader of standard output has gone (| head): stop quietly, as on Ctrl-C.
        sys.stdout = open(os.devnull, "w")  # noqa: SIM115 (left for the interpreter's exit)
        return INTERRUPTED
    except (Failure, Kq5316Error, ValueError, TypeError) as error:
        if args.debug:
            traceback.print_exc()
        status, message = _explain(error, args)
        _say(prog, message)
        return status
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)


def _check_port(args: argparse.Namespace, command: _parser.Parser) -> None:
    """PORT or --simulate, one of them."""
    if args.command == "ports":
        return
    if args.command == "wavelength" and args.simulate and args.nm is None and args.port:
        # 'wavelength --simulate 1550': the one value given is the wavelength, not a port.
        try:
            args.port, args.nm = None, _units.nanometres(args.port)
        except argparse.ArgumentTypeError as error:
            command.error(str(error))
    if args.simulate and args.port is not None:
        command.error(f"give PORT or --simulate, not both (PORT was {args.port!r})")
    if not args.simulate and args.port is None:
        command.error("PORT is missing (or --simulate to try a simulated instrument)")


def _explain(error: Exception, args: argparse.Namespace) -> tuple[int, str]:
    """The exit status and the line that says what happened and what to try."""
    if isinstance(error, Failure):
        return error.status, str(error)
    if isinstance(error, Kq5316Error):
        return explain(error, args.port or "the port")
    return USAGE, str(error)


def _say(prog: str, message: str) -> None:
    line = " ".join(message.split())  # one line, whatever the message holds
    sys.stderr.write(f"{prog}: {line}\n")
    sys.stderr.flush()


def _log_to_stderr(logger: logging.Logger, debug: bool) -> logging.Handler:
    """The driver's warnings on standard error; with --debug, every exchange as well."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(
        logging.Formatter(
            "%(asctime)s %(name)s %(levelname)s: %(message)s"
            if debug
            else "kq5316x: warning: %(message)s"
        )
    )
    logger.setLevel(logging.DEBUG if debug else logging.WARNING)
    logger.addHandler(handler)
    return handler
