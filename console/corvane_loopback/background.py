"""Running a loopback gateway (or a proxy before one) on its own thread and event loop,
for code that owns another loop."""

from __future__ import annotations

import asyncio
import threading
from typing import Protocol, Self

from .server import LoopbackGateway


class _Server(Protocol):
    host: str

    @property
    def port(self) -> int: ...
    async def start(self) -> object: ...
    async def stop(self) -> None: ...


class ServerThread:
    """Runs ``server`` (anything with ``start``, ``stop``, ``host`` and ``port``) on a thread of its own."""

    def __init__(self, server: _Server):
        self.server = server
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._ready = threading.Event()
        self._stopping: asyncio.Event | None = None
        self._failure: BaseException | None = None

    @property
    def port(self) -> int:
        return self.server.port

    @property
    def host(self) -> str:
        return self.server.host

    def start(self, timeout: float = 60.0) -> Self:
        # A gateway builds its exchange calendar before it listens: about a second
        # alone, four under the sanitizers, and several times that when a test run's
        # workers share two cores. The deadline is for a gateway that never starts.
        self._thread = threading.Thread(target=self._run, name="loopback-gateway", daemon=True)
        self._thread.start()
        if not self._ready.wait(timeout):
            raise TimeoutError("the loopback gateway did not start in time")
        if self._failure is not None:
            raise self._failure
        return self

    def _run(self) -> None:
        asyncio.run(self._main())

    async def _main(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._stopping = asyncio.Event()
        try:
            await self.server.start()
        except BaseException as exc:
            self._failure = exc
            self._ready.set()
            return
        self._ready.set()
        try:
            await self._stopping.wait()
        finally:
            await self.server.stop()

    def _call(self, fn, timeout: float = 10.0):
        async def call():
            return fn()

        assert self._loop is not None, "the gateway thread is not started"
        return asyncio.run_coroutine_threadsafe(call(), self._loop).result(timeout)

    def stop(self, timeout: float = 10.0) -> None:
        if self._thread is None:
            return
        if self._loop is not None and self._stopping is not None and self._loop.is_running():
            self._loop.call_soon_threadsafe(self._stopping.set)
        self._thread.join(timeout)
        self._thread = None

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


class GatewayThread(ServerThread):
    """``with GatewayThread(now=..., refuse_symbols=[...]) as gw:`` then connect to ``gw.port``.

    Takes the keyword arguments of ``LoopbackGateway``. ``gateway`` is the
    running instance: read its request records or change ``gateway.behaviour``
    from the calling thread between requests.
    """

    def __init__(self, host: str = "127.0.0.1", port: int = 0, **options):
        self.gateway = LoopbackGateway(host, port, **options)
        super().__init__(self.gateway)

    def disconnect_all(self) -> int:
        """Drop every client connection; safe to call from any thread."""
        return self._call(self.gateway.disconnect_all)
