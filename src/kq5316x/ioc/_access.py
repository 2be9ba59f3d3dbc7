"""Who may write: decided by the address a client connects from, as this server sees it (the
host name a client reports is its own claim and is not used), and the client connections'
socket options."""

# mypy: allow-subclassing-any

from __future__ import annotations

import asyncio
import ipaddress
import logging
import socket
import time
from collections.abc import Sequence
from typing import Any

import caproto as ca  # type: ignore[import-not-found, import-untyped, unused-ignore]
from caproto import AccessRights  # type: ignore[import-not-found, import-untyped, unused-ignore]
from caproto.asyncio import server  # type: ignore[import-not-found, import-untyped, unused-ignore]

# Commands of one client parsed and waiting, and the bytes its socket holds unread: what a
# client that floods the server can make it hold (caproto's defaults: 10,000 commands, and the
# system's receive buffer, which grows to megabytes).
COMMAND_BACKLOG = 64
RECEIVE_BUFFER = 1 << 15
# The longest a client's commands hold the event loop before others get their turn, s.
TURN = 0.002

Network = ipaddress.IPv4Network | ipaddress.IPv6Network


class ClientAddress(str):
    """A client's address as text (what access checks and log lines see), and whether the client
    runs on this machine: over loopback, or from the very address it connected to (a connection
    from one of this machine's own addresses to itself)."""

    same_machine: bool

    def __new__(cls, peer: str, local: str) -> ClientAddress:
        address = super().__new__(cls, peer)
        try:
            address.same_machine = ipaddress.ip_address(peer).is_loopback or peer == local
        except ValueError:
            address.same_machine = False
        return address


class WritePolicy:
    """Every client may read. Writes come from `networks` when given, else from this machine
    only; from nowhere when `read_only`."""

    def __init__(self, networks: Sequence[Network] = (), read_only: bool = False) -> None:
        self.networks = tuple(networks)
        self.read_only = read_only

    def may_write(self, client: str | None) -> bool:
        if self.read_only or not isinstance(client, ClientAddress):
            return False
        if not self.networks:
            return client.same_machine
        try:
            address = ipaddress.ip_address(client)
        except ValueError:
            return False
        return any(address in network for network in self.networks)

    def access(self, client: str | None) -> Any:
        if self.may_write(client):
            return AccessRights.READ | AccessRights.WRITE
        return AccessRights.READ

    def describe(self) -> str:
        if self.read_only:
            return "read-only: every client may read, none may write"
        writers = ", ".join(map(str, self.networks)) or "this machine"
        return f"every client may read; writes from {writers} only"


class _Circuit(server.VirtualCircuit):
    """A client connection: Nagle's delay off, so a reply is sent as soon as it is ready, and the
    client judged by its address."""

    def __init__(self, circuit: Any, client: Any, context: Any, **options: Any) -> None:
        super().__init__(circuit, client, context, **options)
        # A short queue of the client's commands: when the server falls behind a client that
        # floods it, that client's socket stops being read and TCP makes the client wait,
        # instead of its commands piling up here and running long after it has stopped.
        self.command_queue: asyncio.Queue[Any] = asyncio.Queue(COMMAND_BACKLOG)
        self._turn_started = time.monotonic()
        sock = client.writer.get_extra_info("socket")
        if sock is not None:
            # asyncio's transports set TCP_NODELAY already; set here so that it holds whatever
            # the event loop: a reply is never held back waiting for the client's acknowledgement.
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)

    async def _wake_new_command(self) -> None:
        # After a turn of this client's commands, let the event loop run everything else that
        # is ready: a client flooding puts otherwise holds the loop for whole buffers of them,
        # and the instrument's replies, the poll and other clients wait behind.
        await super()._wake_new_command()
        now = time.monotonic()
        if now - self._turn_started > TURN:
            await asyncio.sleep(0)
            self._turn_started = time.monotonic()

    async def _process_command(self, command: Any) -> Any:
        # A put whose client waits for nothing may be taken by its PV without caproto's task per
        # put (see take_unwatched_put); anything else goes caproto's way.
        if type(command) is ca.WriteRequest:
            _, entry = self._get_db_entry_from_command(command)
            take = getattr(entry, "take_unwatched_put", None)
            if take is not None and take(self.client_hostname, command):
                return None
        return await super()._process_command(command)

    # caproto passes `client_hostname` to every access check: it is the client's address here,
    # and the name the client reports is kept apart.
    @property
    def client_hostname(self) -> ClientAddress:
        address = getattr(self, "_client_address", None)
        if address is None:
            address = ClientAddress(self.circuit.address[0], self.circuit.our_address[0])
            self._client_address = address
        return address

    @client_hostname.setter
    def client_hostname(self, reported: str | None) -> None:
        self.reported_hostname = reported


class Context(server.Context):
    CircuitClass = _Circuit


class RefusedPutFilter(logging.Filter):
    """Drops caproto's report of a failed put (a traceback each): the server logs one line of its
    own for every refusal, naming the PV, the client and the reason."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not str(record.msg).startswith("Invalid write request")
