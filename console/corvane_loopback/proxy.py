"""A counting proxy: sits between a client and a gateway, passes every byte through
unchanged, and notes when each historical-bars request arrived.

It answers what the client did, whatever the gateway made of it: how many bars requests
it sent, of which bar sizes, and how many of the small-bar ones (30 secs or less) broke
the broker's pacing rules as they arrived here. Windows are scaled like the gateway's
(``scale`` 0.01 turns 15 s into 0.15 s), on this process's monotonic clock.
"""

from __future__ import annotations

import asyncio
import contextlib
import struct
import time
from collections.abc import Callable
from dataclasses import dataclass

from loguru import logger

from .history_request import SECOND_BAR_SIZES, HistoryRequest, Refusal
from .pacing import Pacer
from .wire import HANDSHAKE_PREFIX, MAX_FRAME, Fields, split_fields

REQ_HISTORICAL_DATA = 20
_CHUNK = 1 << 16


@dataclass(frozen=True)
class Arrival:
    at: float  # seconds on the proxy's monotonic clock
    request: HistoryRequest


@dataclass(frozen=True)
class Tally:
    requests: int
    small_bar_requests: int
    violations: int  # small-bar requests the broker's pacing would refuse
    first: float | None
    last: float | None


def tally(arrivals: list[Arrival], scale: float = 1.0) -> Tally:
    """Count ``arrivals`` and the small-bar ones a pacing-enforcing gateway would refuse."""
    now = [0.0]
    pacer = Pacer(scale, clock=lambda: now[0])
    violations = small = 0
    for arrival in sorted(arrivals, key=lambda a: a.at):
        req = arrival.request
        if req.bar_size not in SECOND_BAR_SIZES:
            continue
        small += 1
        now[0] = arrival.at
        contract = (req.contract.con_id, req.contract.symbol.upper(), req.contract.sec_type.upper(),
                    req.contract.local_symbol)  # fmt: skip
        try:
            pacer.admit_request(req, contract, 0)
        except Refusal:
            violations += 1
    times = [a.at for a in arrivals]
    return Tally(len(arrivals), small, violations, min(times, default=None), max(times, default=None))


class _RequestReader:
    """Cuts the client's byte stream into messages and picks out the bars requests."""

    def __init__(self, seen: Callable[[HistoryRequest], None]):
        self._buffer = bytearray()
        self._prefix = True
        self._seen = seen
        self.broken = False

    def feed(self, data: bytes) -> None:
        if self.broken:
            return
        self._buffer += data
        if self._prefix:
            if len(self._buffer) < len(HANDSHAKE_PREFIX):
                return
            if self._buffer.startswith(HANDSHAKE_PREFIX):
                del self._buffer[: len(HANDSHAKE_PREFIX)]
            self._prefix = False
        while len(self._buffer) >= 4:
            size = struct.unpack(">I", self._buffer[:4])[0]
            if size > MAX_FRAME:
                self.broken = True  # not the broker's protocol: pass it on, count nothing more
                return
            if len(self._buffer) < 4 + size:
                return
            payload = bytes(self._buffer[4 : 4 + size])
            del self._buffer[: 4 + size]
            self._message(payload)

    def _message(self, payload: bytes) -> None:
        items = split_fields(payload)
        if not items or items[0] != str(REQ_HISTORICAL_DATA):
            return
        try:
            self._seen(HistoryRequest.read(Fields(items, 1)))
        except Exception as exc:  # a request the gateway will refuse; the proxy only counts
            logger.debug("counting proxy: unreadable bars request: {}", exc)


class CountingProxy:
    """Listens on ``host``:``port`` (0: a free one) and forwards each connection to ``upstream``."""

    def __init__(
        self,
        upstream_port: int,
        upstream_host: str = "127.0.0.1",
        host: str = "127.0.0.1",
        port: int = 0,
        scale: float = 1.0,
        clock: Callable[[], float] = time.monotonic,
    ):
        self.host = host
        self.upstream = (upstream_host, upstream_port)
        self.scale = scale
        self._requested_port = port
        self._clock = clock
        self.arrivals: list[Arrival] = []
        self._server: asyncio.Server | None = None
        self._tasks: set[asyncio.Task] = set()

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("the counting proxy is not started")
        return self._server.sockets[0].getsockname()[1]

    def tally(self, since: int = 0) -> Tally:
        """What arrived from the ``since``-th bars request on."""
        return tally(self.arrivals[since:], self.scale)

    async def start(self) -> CountingProxy:
        self._server = await asyncio.start_server(self._accept, self.host, self._requested_port)
        return self

    async def stop(self) -> None:
        if self._server is None:
            return
        self._server.close()
        for task in list(self._tasks):
            task.cancel()
        await self._server.wait_closed()
        self._server = None

    async def _accept(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        assert task is not None
        self._tasks.add(task)
        try:
            up_reader, up_writer = await asyncio.open_connection(*self.upstream)
        except OSError as exc:
            logger.warning("counting proxy: cannot reach {}:{}: {}", *self.upstream, exc)
            writer.close()
            self._tasks.discard(task)
            return
        requests = _RequestReader(lambda req: self.arrivals.append(Arrival(self._clock(), req)))
        try:
            await asyncio.gather(_pump(reader, up_writer, requests.feed), _pump(up_reader, writer, None))
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            for w in (writer, up_writer):
                w.close()
            self._tasks.discard(task)


async def _pump(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, watch) -> None:
    try:
        while data := await reader.read(_CHUNK):
            if watch is not None:
                watch(data)
            writer.write(data)
            await writer.drain()
    finally:
        # one side closed: close the other, so neither waits on a half-open connection
        with contextlib.suppress(Exception):
            writer.close()
