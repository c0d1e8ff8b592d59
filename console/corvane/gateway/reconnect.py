"""Getting the gateway back after a lost connection, while the prompt stays open.

The same client object reconnects, so every handler anything registered on
its events (``connectedEvent``, error and ticker events) keeps working.
Attempts back off (1 s, 2 s, 4 s, ... up to a minute) so a gateway that is
down for the night is not hammered.
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable

from loguru import logger

BACKOFF = (1.0, 2.0, 4.0, 8.0, 15.0, 30.0, 60.0)


class Reconnector:
    """Runs ``attempt()`` after each delay of ``backoff`` (the last repeating) until it succeeds."""

    def __init__(self, attempt: Callable[[], Awaitable[bool]], backoff: tuple[float, ...] = BACKOFF) -> None:
        self.attempt = attempt
        self.backoff = backoff
        self.enabled = False
        self._task: asyncio.Task | None = None

    @property
    def running(self) -> bool:
        return self._task is not None and not self._task.done()

    def start(self) -> None:
        """Begin trying; called on the event loop's thread (from the client's disconnect event)."""
        if not self.enabled or self.running:
            return
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:  # no loop to run on: nothing to keep alive either
            return
        self._task = loop.create_task(self._run())

    def stop(self) -> None:
        if self._task is not None and not self._task.done():
            self._task.cancel()
        self._task = None

    async def _run(self) -> None:
        tries = 0
        while True:
            delay = self.backoff[min(tries, len(self.backoff) - 1)]
            tries += 1
            await asyncio.sleep(delay)
            try:
                if await self.attempt():
                    return
            except asyncio.CancelledError:
                raise
            except Exception as exc:  # a failed attempt only means: wait and try again
                logger.debug("Reconnect attempt {} failed: {}", tries, exc)
            if tries == 3:
                logger.info("Still no gateway; trying every {:g} s at most", self.backoff[-1])
