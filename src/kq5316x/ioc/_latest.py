"""Settings for the instrument, latest wins: at most one value waits per setting beyond the one
being applied, so a flood of puts costs the instrument no more time than one put."""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable, Hashable
from typing import Any

Apply = Callable[[], Awaitable[Any]]


class LatestSettings:
    """Pending settings by key (a channel's attenuation, its wavelength, its clear), applied one
    after another in the order of their latest puts. A put for a key that already waits replaces
    its value and joins its waiters: a replaced put completes with the outcome of the put that
    replaced it, so its client learns when the value that won was applied (or why it failed)."""

    def __init__(self) -> None:
        self._pending: dict[Hashable, tuple[Apply, list[asyncio.Future[Any]]]] = {}
        self._ready = asyncio.Event()

    def offer(self, key: Hashable, apply: Apply, done: asyncio.Future[Any] | None = None) -> None:
        """Makes `apply` the pending setting of `key`; `done`, if given, learns the outcome."""
        waiters = self._pending.pop(key, (None, []))[1]
        if done is not None:
            waiters.append(done)
        self._pending[key] = (apply, waiters)  # to the end: after every put made before it
        self._ready.set()

    def drop(self, error: BaseException) -> None:
        """Fails every waiting setting with `error` (the instrument was lost)."""
        pending, self._pending = self._pending, {}
        for _, waiters in pending.values():
            _settle(waiters, error=error)

    async def run(self) -> None:
        """Applies the settings as they come, for as long as the server runs."""
        while True:
            await self._ready.wait()
            self._ready.clear()
            while self._pending:
                key = next(iter(self._pending))
                apply, waiters = self._pending.pop(key)
                try:
                    result = await apply()
                except Exception as error:
                    _settle(waiters, error=error)
                else:
                    _settle(waiters, result=result)


def _settle(
    waiters: list[asyncio.Future[Any]], result: Any = None, error: BaseException | None = None
) -> None:
    for waiter in waiters:
        if waiter.done():  # its put was cancelled (the client went away)
            continue
        if error is None:
            waiter.set_result(result)
        else:
            waiter.set_exception(error)
