"""What every command shares: the port (or a simulator started for the command), the results
printed as text or as JSON, and the failures that end a command with a given exit status."""

from __future__ import annotations

import errno
import os
import sys
from contextlib import ExitStack, contextmanager

import serial

from .._attenuator import Attenuator
from .._errors import Kq5316Error, NoReply, PortBusy

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Iterator
    from typing import Any

# Exit statuses, as the help text documents them.
DONE = 0
INSTRUMENT = 1  # the instrument did not answer, answered wrongly, or a read-back differs
USAGE = 2
PORT = 3  # the port could not be opened or is busy
OUTPUT = 4  # an output could not be written once the command had begun
INTERRUPTED = 130  # Ctrl-C (128 + SIGINT)
CLOSED_PIPE = 141  # standard output's reader went away (128 + SIGPIPE), as the shell counts it
TERMINATED = 143  # SIGTERM (128 + SIGTERM)

# The environment variable that names the port when the command line does not.
PORT_VARIABLE = "KQ5316_PORT"


class Failure(Exception):
    """Ends the command: `message` is the one line printed, `status` the exit status."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class OutputFailed(Failure):
    """An output (`target`: the CSV file, standard output) could not be written."""

    def __init__(self, target: str, error: OSError) -> None:
        super().__init__(OUTPUT, f"could not write {target}: {error.strerror or error}")


class Output:
    """Prints each result as its text line, or with ``--json`` as one JSON object a line."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json

    def result(self, text: str, record: dict[str, Any]) -> None:
        if self.as_json:
            import json  # only here: the text output does without its import

            text = json.dumps(record)
        try:
            sys.stdout.write(text + "\n")
            sys.stdout.flush()
        except BrokenPipeError:
            raise  # the reader has gone: the command ends quietly
        except OSError as error:
            # A full disk or /dev/full: what is still buffered would fail again at exit.
            quiet_stdout()
            raise OutputFailed("standard output", error) from error


def quiet_stdout() -> None:
    """Points standard output at nothing: what is still buffered for a reader that has gone, or
    for a full disk, would otherwise fail again, with a traceback, when the interpreter exits."""
    try:
        sys.stdout = open(os.devnull, "w")  # noqa: SIM115 (left for the interpreter's exit)
    except OSError:
        pass


def for_command_line(message: str) -> str:
    """A message of the Python API in the command line's terms: its options instead of the
    Attenuator's keywords, and no advice about keywords the command line does not have."""
    for python, command_line in _TRANSLATIONS:
        message = message.replace(python, command_line)
    return message


# The Python API's advice, and what the command line says instead.
_TRANSLATIONS = (
    (" baud (identify=False skips", " baud, or give its rate with --baud (--no-identify skips"),
    ("; an instrument with more channels is opened with channels=(...)", ""),
)


def _one_client(port: str) -> str:
    """What else to consider on a serial-to-network server, which often serves one client."""
    if not port.startswith("socket://"):
        return ""
    return (
        f"; {port} is a network server: if it serves one client at a time, another program "
        "may be connected to it"
    )


def explain(error: Exception, args: argparse.Namespace, port: str | None = None) -> tuple[int, str]:
    """The exit status for an error that ends a command (one of the driver's on `port`, PORT by
    default, or a refused argument of the Python API) and the line that says what to try."""
    if isinstance(error, Failure):
        return error.status, str(error)
    if not isinstance(error, Kq5316Error):
        return USAGE, for_command_line(str(error))
    port = port or args.port or "the port"
    if isinstance(error, PortBusy):
        return PORT, f"{error}; close the program that holds it"
    if isinstance(error, NoReply) and args.identify:
        # The instrument answered at open (it is identified there), so it stopped answering.
        return INSTRUMENT, (
            f"{error}; the instrument on {port} stopped answering: check its power and cable, "
            "or give it longer with --timeout"
        )
    if isinstance(error, NoReply):
        # Opened with --no-identify: nothing shows that anything ever answered on this port.
        return INSTRUMENT, (
            f"{error}; nothing on {port} answered: check that it is the instrument's port, that "
            f"the instrument is on and its cable connected, and that it is set to {args.baud} "
            f"baud (--baud gives another rate), or give it longer with --timeout"
            f"{_one_client(port)}"
        )
    return INSTRUMENT, for_command_line(str(error))


def _open_failure(port: str, error: OSError) -> Failure:
    """Why the port could not be opened, and what to try."""
    reason = os.strerror(error.errno) if error.errno else str(error)
    if error.errno in (errno.EACCES, errno.EPERM) and "://" not in port:
        return Failure(PORT, f"could not open {port}: {reason}; {_permission_hint(port)}")
    if error.errno == errno.ENOENT or "://" not in port:
        hint = "'kq5316x ports' lists the serial ports"
    else:
        hint = "check the address, and that the server is running and accepts connections"
    return Failure(PORT, f"could not open {port}: {reason}; {hint}{_one_client(port)}")


def _permission_hint(device: str) -> str:
    """Serial devices belong to a group whose members may open them: name it and how to join."""
    group = "dialout (uucp on Arch and some others)"
    try:
        import grp

        group = grp.getgrgid(os.stat(device).st_gid).gr_name
    except (ImportError, OSError, KeyError):
        pass
    return (
        f"this user may not open it: join the group that owns it, {group}, with "
        "'sudo usermod -aG GROUP $USER', then log in again"
    )


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
            att = Attenuator(
                port, timeout=args.timeout, identify=args.identify, baudrate=args.baud
            )
        except NoReply as error:
            # Nothing answered the request made at open; the message says what to check, in the
            # command line's terms.
            hint = for_command_line(str(error))
            message = f"{hint}; a slow instrument may need a longer --timeout{_one_client(port)}"
            raise Failure(INSTRUMENT, message) from error
        except Kq5316Error as error:
            raise Failure(*explain(error, args)) from error
        except (serial.SerialException, OSError) as error:
            raise _open_failure(port, error) from error
        with att:
            yield att
