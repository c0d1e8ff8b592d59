"""What one client may cost the gateway: how long it may stay silent, and how much may wait unsent for it."""

from __future__ import annotations

import asyncio
import math
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass

from loguru import logger

#: Seconds without a word from a client (and nothing being prepared for it) before it is dropped.
DEFAULT_IDLE_TIMEOUT = 3600.0
#: Bytes queued for a client beyond which its further requests are not read until it catches up.
DEFAULT_WRITE_BUFFER_LIMIT = 1 << 20
#: Answers one client may have in preparation or unsent at once; more requests wait unread.
MAX_ANSWERS_IN_FLIGHT = 8


@dataclass(frozen=True)
class ClientLimits:
    idle_timeout: float = DEFAULT_IDLE_TIMEOUT  # 0: never
    write_buffer_limit: int = DEFAULT_WRITE_BUFFER_LIMIT

    def __post_init__(self):
        if not (math.isfinite(self.idle_timeout) and self.idle_timeout >= 0):
            raise ValueError(f"idle_timeout must be a number of seconds, 0 or more, not {self.idle_timeout}")
        if self.write_buffer_limit < 1:
            raise ValueError(f"write_buffer_limit must be positive, not {self.write_buffer_limit}")


class IdleWatch:
    """Calls ``close`` once nothing has happened on a connection for ``timeout`` seconds.

    A client that went away without closing (or never reads what it asked for)
    would otherwise hold its connection, and everything queued for it, forever.
    An answer still being prepared, or a stream still being sent (``busy``), is
    not idleness: the client is waiting on us.
    """

    def __init__(self, timeout: float, close: Callable[[], None], busy: Callable[[], bool] = lambda: False):
        self._timeout = timeout
        self._close = close
        self._busy = busy
        self._loop = asyncio.get_running_loop()
        self._last = self._loop.time()
        self._preparing = 0
        self._task: asyncio.Task | None = None

    def start(self) -> None:
        if self._timeout > 0:
            self._task = self._loop.create_task(self._watch())

    def stop(self) -> None:
        if self._task is not None:
            self._task.cancel()

    def activity(self) -> None:
        self._last = self._loop.time()

    @contextmanager
    def preparing(self) -> Iterator[None]:
        self._preparing += 1
        try:
            yield
        finally:
            self._preparing -= 1
            self.activity()

    async def _watch(self) -> None:
        while True:
            left = self._last + self._timeout - self._loop.time()
            if left <= 0 and not self._preparing and not self._busy():
                logger.info("loopback gateway: closing a connection idle for {:g} s", self._timeout)
                self._close()
                return
            await asyncio.sleep(left if left > 0 else self._timeout)


async def wait_for_room(
    writer: asyncio.StreamWriter, in_flight: dict[int, asyncio.Task], limit: int = MAX_ANSWERS_IN_FLIGHT
) -> None:
    """Return once the client has taken enough of what it was sent to be read from again."""
    await writer.drain()  # waits only while more than the limit is queued
    while len(in_flight) >= limit:
        await asyncio.wait(list(in_flight.values()), return_when=asyncio.FIRST_COMPLETED)
