"""What every command shares: the port (or a simulator started for the command), the results
printed as text or as JSON, and the failures that end a command with a given exit status."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from typing import Any

import serial

from .._attenuator import Attenuator
from .._errors import Kq5316Error, NoReply, PortBusy

# Exit statuses, as the help text documents them.
DONE = 0
INSTRUMENT = 1  # the instrument did not answer, answered wrongly, or a read-back differs
USAGE = 2
PORT = 3  # the port could not be opened or is busy
INTERRUPTED = 130


class Failure(Exception):
    """Ends the command: `message` is the one line printed, `status` the exit status."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class Output:
    """Prints each result as its text line, or with ``--json`` as one JSON object a line."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json

    def result(self, text: str, record: dict[str, Any]) -> None:
        line = json.dumps(record) if self.as_json else text
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def explain(error: Kq5316Error, port: str) -> tuple[int, str]:
    """The exit status for an error of the driver and the line that says what to try."""
    if isinstance(error, PortBusy):
        return PORT, f"{error}; close the program that holds it"
    if isinstance(error, NoReply):
        # The instrument answered at open (it is identified there), so it stopped answering.
        return INSTRUMENT, (
            f"{error}; the instrument on {port} stopped answering: check its power and cable, "
            "or give it longer with --timeout"
        )
    return INSTRUMENT, str(error)


@contextmanager
def port_name(args: argparse.Namespace) -> Iterator[str]:
    """The port the command works on: PORT, or that of a simulator started for the command."""
    if not args.simulate:
        yield args.port
        return
    from ..testing import SimulatorError, simulated_instrument

    with ExitStack() as stack:
        try:
            simulator = stack.enter_context(simulated_instrument())
        except (OSError, SimulatorError) as error:
            raise Failure(PORT, f"--simulate: could not start the simulator: {error}") from error
        yield simulator.port


@contextmanager
def attenuator(args: argparse.Namespace) -> Iterator[Attenuator]:
    """The instrument on the command's port, open for the command and closed after it."""
    with port_name(args) as port:
        try:
            att = Attenuator(port, timeout=args.timeout, identify=args.identify)
        except NoReply as error:
            # Nothing answered the request made at open; the message says what to check, in the
            # command line's terms.
            hint = str(error).replace("identify=False", "--no-identify")
            message = f"{hint}; a slow instrument may need a longer --timeout"
            raise Failure(INSTRUMENT, message) from error
        except Kq5316Error as error:
            raise Failure(*explain(error, port)) from error
        except (serial.SerialException, OSError) as error:
            reason = os.strerror(error.errno) if error.errno else str(error)
            raise Failure(
                PORT, f"could not open {port}: {reason}; 'kq5316x ports' lists the serial ports"
            ) from error
        with att:
            yield att
