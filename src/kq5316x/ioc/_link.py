"""The one `Attenuator` the server drives: opened when its port appears, opened again after it
was lost, and called on one worker thread so that a slow reply never stalls the event loop."""

from __future__ import annotations

import asyncio
import functools
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from .._attenuator import Attenuator, Version
from .._errors import Kq5316Error


class NotConnected(Kq5316Error):
    """The instrument is not connected: its port is missing or it does not answer."""


class InstrumentLink:
    def __init__(self, port: str, *, timeout: float, channels: tuple[int, ...], baud: int) -> None:
        self.port = port
        self.timeout = timeout
        self.channels = channels
        self.baud = baud
        self.att: Attenuator | None = None
        self.identity: Version | None = None
        self.wavelengths: dict[int, tuple[int, ...]] = {}
        # One thread: the calls reach the port in the order they were made, and no more than
        # one exchange is ever in progress or queued per caller.
        self._worker = ThreadPoolExecutor(max_workers=1, thread_name_prefix="kq5316x-ioc")

    @property
    def is_open(self) -> bool:
        return self.att is not None and not self.att.closed

    async def open(self) -> bool:
        """Opens the port and reads the instrument's version and wavelengths unless it is open
        already; True when it was opened now. Raises as opening does while it cannot."""
        if self.is_open:
            return False
        await self._run(self._open)
        return True

    def _open(self) -> None:
        att = Attenuator(
            self.port, timeout=self.timeout, channels=self.channels, baudrate=self.baud
        )
        try:
            wavelengths = {ch: att.wavelengths(ch) for ch in self.channels}
        except BaseException:
            att.close()
            raise
        self.att, self.identity, self.wavelengths = att, att.identity, wavelengths

    async def call(self, method: str, *args: Any) -> Any:
        """Calls the Attenuator's `method` on the worker thread."""
        if not self.is_open:
            raise NotConnected(f"the instrument on {self.port} is not connected")
        return await self._run(functools.partial(getattr(self.att, method), *args))

    async def _run(self, call: Any) -> Any:
        return await asyncio.get_running_loop().run_in_executor(self._worker, call)

    def close(self) -> None:
        """Drops every call not yet started, then closes the port (waiting at most for the
        exchange in progress)."""
        self._worker.shutdown(wait=False, cancel_futures=True)
        if self.att is not None:
            self.att.close()
