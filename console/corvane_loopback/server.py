"""The loopback gateway's asyncio server, and its command line (``corvane-gateway``).

It serves generated sample data, NOT market data, to broker API clients on
this machine, so the console and its tests can run without a real gateway.
"""

from __future__ import annotations

import argparse
import asyncio
import datetime as dt
import signal
import sys
from collections import deque
from collections.abc import Iterable

from loguru import logger

from . import market_calendar
from .behaviour import DEFAULT_ACCOUNT, Behaviour
from .client_limits import DEFAULT_IDLE_TIMEOUT, DEFAULT_WRITE_BUFFER_LIMIT, ClientLimits
from .farm import DEFAULT_BASE, DEFAULT_PER_BAR, DEFAULT_SLOTS, LOG_LIMIT, FarmLine, FarmModel, Service, parse_latency
from .history import HistoryPolicy
from .history_request import HistoryRequest
from .market_data import MarketDataRequest, QuotePolicy
from .pacing import Pacer
from .session import ClientSession

DEFAULT_PORT = 4002


class LoopbackGateway:
    """A gateway on ``host``:``port`` (port 0 picks a free one); use ``async with``.

    ``history_requests``, ``cancelled_requests`` and ``market_data_requests``
    record what clients asked for, so tests can check the exact request a
    command sent.

    ``rules=True`` enforces the broker's limits on historical requests: the
    step sizes, whole years beyond 365 days, six months of bars of 30 secs or
    less, pacing of small bars and at most 50 open requests; and it models the
    historical farm: each bars answer takes ``farm_latency`` = (A, B) seconds,
    A + B x bars, with at most ``farm_slots`` answers worked on at once per
    connection (``farm_log`` records each one's wait and service time).
    ``pace_scale`` multiplies the pacing windows and the farm's times (0.01
    turns 15 s into 0.15 s; 0 turns both off).
    """

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        account: str = DEFAULT_ACCOUNT,
        now: dt.datetime | None = None,
        refuse_symbols: Iterable[str] = (),
        refuse_bar_sizes: Iterable[str] = (),
        history_delay: float = 0.0,
        drop_after_history_requests: int | None = None,
        allow_adjusted_end: bool = False,
        max_bars: int = 1_000_000,
        tick_interval: float = 0.25,
        refuse_quotes: Iterable[str] = (),
        idle_timeout: float = DEFAULT_IDLE_TIMEOUT,
        write_buffer_limit: int = DEFAULT_WRITE_BUFFER_LIMIT,
        rules: bool = False,
        pace_scale: float = 1.0,
        farm_slots: int = DEFAULT_SLOTS,
        farm_latency: tuple[float, float] = (DEFAULT_BASE, DEFAULT_PER_BAR),
    ):
        self.host = host
        self._requested_port = port
        self.behaviour = Behaviour(
            account=account,
            history_delay=history_delay,
            drop_after_history_requests=drop_after_history_requests,
            fixed_now=now,
            policy=HistoryPolicy(
                refuse_symbols={s.upper() for s in refuse_symbols},
                refuse_bar_sizes=set(refuse_bar_sizes),
                allow_adjusted_end=allow_adjusted_end,
                max_bars=max_bars,
                rules=rules,
            ),
            quotes=QuotePolicy(interval=tick_interval, refuse_symbols=set(refuse_quotes)),
        )
        self.limits = ClientLimits(idle_timeout, write_buffer_limit)
        pacer = Pacer(pace_scale)  # checks the scale whether or not the rules are on
        self.pacer: Pacer | None = pacer if rules else None
        farm = FarmModel(farm_slots, *farm_latency)  # checked whether or not the rules are on
        self.farm: FarmModel | None = farm if rules else None
        self.farm_log: deque[Service] = deque(maxlen=LOG_LIMIT)
        self.history_requests: list[HistoryRequest] = []
        self.cancelled_requests: list[int] = []
        self.market_data_requests: list[MarketDataRequest] = []
        self._sessions: set[ClientSession] = set()
        self._client_ids: dict[int, ClientSession] = {}
        self._server: asyncio.Server | None = None

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("the loopback gateway is not started")
        return self._server.sockets[0].getsockname()[1]

    @property
    def connections(self) -> int:
        return len(self._sessions)

    async def start(self) -> LoopbackGateway:
        market_calendar.warm()
        self._server = await asyncio.start_server(self._accept, self.host, self._requested_port)
        logger.info("loopback gateway listening on {}:{}", self.host, self.port)
        return self

    async def stop(self) -> None:
        if self._server is None:
            return
        self._server.close()
        self.disconnect_all()
        await self._server.wait_closed()
        self._server = None

    async def __aenter__(self) -> LoopbackGateway:
        return await self.start()

    async def __aexit__(self, *exc) -> None:
        await self.stop()

    async def serve_forever(self) -> None:
        if self._server is None:
            await self.start()
        assert self._server is not None
        await self._server.serve_forever()

    def disconnect_all(self) -> int:
        """Drop every client connection now; returns how many there were. Call on the server's loop."""
        sessions = list(self._sessions)
        for session in sessions:
            session.drop()
        return len(sessions)

    async def _accept(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        session = ClientSession(self, reader, writer)
        self._sessions.add(session)
        await session.serve()

    # -- what sessions report back -------------------------------------------------------

    def claim_client_id(self, client_id: int, session: ClientSession) -> bool:
        owner = self._client_ids.get(client_id)
        if owner is not None and owner is not session:
            return False
        self._client_ids[client_id] = session
        return True

    def release(self, session: ClientSession) -> None:
        self._sessions.discard(session)
        if session.client_id is not None and self._client_ids.get(session.client_id) is session:
            del self._client_ids[session.client_id]

    def farm_line(self) -> FarmLine | None:
        """A new connection's own place at the farm, or None when answers take no server time."""
        if self.farm is None or self.pacer is None:
            return None
        return FarmLine(self.farm, self.pacer.scale, self.farm_log)

    def open_history_requests(self) -> int:
        """Bars requests not yet answered, on all connections together."""
        return sum(session.open_history for session in self._sessions)

    def record_history(self, request: HistoryRequest) -> int:
        self.history_requests.append(request)
        return len(self.history_requests)

    def record_cancel(self, req_id: int) -> None:
        self.cancelled_requests.append(req_id)

    def record_market_data(self, request: MarketDataRequest) -> None:
        self.market_data_requests.append(request)

    def quote_streams(self) -> int:
        """How many market-data streams are open on all connections together."""
        return sum(session.market_data.streams for session in self._sessions)


def _port(text: str) -> int:
    port = int(text)
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"port must be between 0 and 65535, not {port}")
    return port


def _non_negative(kind):
    def parse(text: str):
        value = kind(text)
        if value < 0:
            raise argparse.ArgumentTypeError(f"must not be negative: {text}")
        return value

    return parse


def _positive(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


def _whole_positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number: {text}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {text}")
    return value


def _latency(text: str) -> tuple[float, float]:
    try:
        return parse_latency(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _instant(text: str) -> dt.datetime:
    try:
        return dt.datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO date and time: {text!r}") from None


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane-gateway",
        description="Loopback broker gateway serving deterministic generated sample data (not market data).",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument(
        "--port",
        type=_port,
        default=DEFAULT_PORT,
        help=f"port to listen on, 0 for any free one (default {DEFAULT_PORT})",
    )
    parser.add_argument("--account", default=DEFAULT_ACCOUNT, help="the account name clients see")
    parser.add_argument("--now", type=_instant, help="freeze the clock at this ISO time (exchange time if no offset)")
    parser.add_argument(
        "--refuse-symbol",
        action="append",
        default=[],
        metavar="SYMBOL",
        help="answer bars requests for SYMBOL with error 162 (repeatable)",
    )
    parser.add_argument(
        "--refuse-bar-size",
        action="append",
        default=[],
        metavar="SIZE",
        help='answer bars requests of this bar size, e.g. "1 min", with error 162 (repeatable)',
    )
    parser.add_argument(
        "--delay",
        type=_non_negative(float),
        default=0.0,
        metavar="SECONDS",
        help="hold every bars answer back this long",
    )
    parser.add_argument(
        "--drop-after",
        type=_non_negative(int),
        metavar="N",
        help="answer N bars requests, then drop every connection on the next",
    )
    parser.add_argument(
        "--allow-adjusted-end",
        action="store_true",
        help="accept an end date with ADJUSTED_LAST (the real gateway refuses it)",
    )
    parser.add_argument(
        "--max-bars", type=_non_negative(int), default=1_000_000, help="refuse requests for more bars than this"
    )
    parser.add_argument(
        "--tick-interval",
        type=_positive,
        default=0.25,
        metavar="SECONDS",
        help="time between two updates of a quote stream (default 0.25)",
    )
    parser.add_argument(
        "--refuse-quotes",
        action="append",
        default=[],
        metavar="SYMBOL",
        help="answer market-data requests for SYMBOL with error 354, not subscribed (repeatable)",
    )
    parser.add_argument(
        "--idle-timeout",
        type=_non_negative(float),
        default=DEFAULT_IDLE_TIMEOUT,
        metavar="SECONDS",
        help=f"close a connection silent this long, 0 for never (default {DEFAULT_IDLE_TIMEOUT:g})",
    )
    parser.add_argument(
        "--rules",
        choices=["on", "off"],
        default="on",
        help="enforce the broker's limits on bars requests: step sizes, pacing, 50 open, the farm's time (default on)",
    )
    parser.add_argument(
        "--pace-scale",
        type=_non_negative(float),
        default=1.0,
        metavar="SCALE",
        help="multiply the pacing windows (15 s, 2 s, 10 min) and the farm's times by SCALE, "
        "e.g. 0.01 for tests; 0 for neither (default 1)",
    )
    parser.add_argument(
        "--farm-slots",
        type=_whole_positive,
        default=DEFAULT_SLOTS,
        metavar="K",
        help=f"bars requests the farm works on at once per connection; the rest wait in line (default {DEFAULT_SLOTS})",
    )
    parser.add_argument(
        "--farm-latency",
        type=_latency,
        default=(DEFAULT_BASE, DEFAULT_PER_BAR),
        metavar="A,B",
        help=f"server time of one bars answer: A seconds plus B per bar (default {DEFAULT_BASE:g},{DEFAULT_PER_BAR:g})",
    )
    parser.add_argument("--log-level", default="INFO", choices=["DEBUG", "INFO", "WARNING", "ERROR"])
    return parser


async def _serve(gateway: LoopbackGateway) -> None:
    await gateway.start()
    print(f"corvane-gateway listening on {gateway.host}:{gateway.port} (sample data, not market data)", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    try:
        await stop.wait()
    finally:
        await gateway.stop()


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    logger.remove()
    logger.add(sys.stderr, level=args.log_level)
    try:
        gateway = LoopbackGateway(
            args.host,
            args.port,
            account=args.account,
            now=args.now,
            refuse_symbols=args.refuse_symbol,
            refuse_bar_sizes=args.refuse_bar_size,
            history_delay=args.delay,
            drop_after_history_requests=args.drop_after,
            allow_adjusted_end=args.allow_adjusted_end,
            max_bars=args.max_bars,
            tick_interval=args.tick_interval,
            refuse_quotes=args.refuse_quotes,
            idle_timeout=args.idle_timeout,
            rules=args.rules == "on",
            pace_scale=args.pace_scale,
            farm_slots=args.farm_slots,
            farm_latency=args.farm_latency,
        )
    except ValueError as exc:
        print(f"corvane-gateway: {exc}", file=sys.stderr)
        return 2
    try:
        asyncio.run(_serve(gateway))
    except OSError as exc:
        print(f"corvane-gateway: cannot listen on {args.host}:{args.port}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        pass
    return 0
