"""``kq5316x-ioc``: the instrument as EPICS Channel Access process variables (caproto's server).

    kq5316x-ioc --port /dev/ttyUSB0 --prefix LAB:ATT1 [--channels 1,2] [--poll 1.0]

For each channel N: ``PREFIX:CHN:Atten`` (ao, dB), ``:Atten_RBV`` (ai), ``:Wavelength`` (mbbo, the
channel's own wavelengths), ``:Wavelength_RBV`` (mbbi), ``:Mode_RBV`` (longin) and ``:Clear`` (bo);
for the instrument ``PREFIX:Version_RBV`` (stringin) and ``PREFIX:Connected_RBV`` (bi). The server
starts with or without the instrument and connects when it answers; while it does not, every
read-back is INVALID with a COMM alarm. A setpoint keeps at most one pending value (latest wins).
Every client may read; only this machine writes unless ``--allow-write`` names others.
Needs the ``epics`` extra (caproto).
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import sys
from collections.abc import Sequence

from .._cli._session import Failure, port_name
from ._access import RefusedPutFilter, WritePolicy
from ._link import InstrumentLink
from ._options import parse_arguments
from ._server import Server

__all__ = ["main"]


def _log_to_stderr() -> None:
    handler = logging.StreamHandler()
    handler.setFormatter(logging.Formatter("kq5316x-ioc: %(message)s"))
    handler.addFilter(RefusedPutFilter())
    logging.basicConfig(level=logging.WARNING, handlers=[handler])


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    _log_to_stderr()
    policy = WritePolicy(arguments.allow_write, arguments.read_only)
    with contextlib.ExitStack() as stack:
        try:
            port = stack.enter_context(port_name(arguments))
        except Failure as failure:  # the simulator could not start
            print(f"kq5316x-ioc: {failure}", file=sys.stderr)
            return failure.status
        link = InstrumentLink(
            port, timeout=arguments.timeout, channels=arguments.channels, baud=arguments.baud
        )
        server = Server(link, arguments.prefix, arguments.poll, policy)
        print(f"kq5316x-ioc: {policy.describe()}", file=sys.stderr, flush=True)
        if arguments.list_pvs:
            print("\n".join(server.pvdb), flush=True)
        try:
            asyncio.run(server.run())
        except OSError as error:  # the Channel Access ports could not be bound
            print(f"kq5316x-ioc: cannot serve: {error}", file=sys.stderr)
            return 1
        finally:
            link.close()
    return 0
