"""Market-data requests (snapshots and streams of sample quotes) on one client connection.

The messages are those the real gateway sends at our protocol level: the
request's tick parameters and data type, then one price message per price
(carrying its size, which the client splits off itself), size, and the
last-trade time as a string tick. A stream then sends, at the configured
cadence, only what changed since the previous quote. The k-th update of a
stream shows the instant ``start + k * interval``, so a frozen clock still
gives a moving, reproducible stream.
"""

from __future__ import annotations

import asyncio
import datetime as dt
from collections.abc import Callable
from dataclasses import dataclass, field

from loguru import logger

from .contracts import ContractQuery, resolve
from .history import NO_DEFINITION
from .instruments import Instrument
from .market_calendar import local
from .quotes import Quote, quote_at
from .wire import Fields

# outgoing message ids
TICK_PRICE, TICK_SIZE, TICK_STRING, TICK_SNAPSHOT_END, MARKET_DATA_TYPE, TICK_REQ_PARAMS = 1, 2, 46, 57, 58, 81

# tick types
BID_SIZE, BID, ASK, ASK_SIZE, LAST, LAST_SIZE, HIGH, LOW, VOLUME, CLOSE, OPEN = 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 14
LAST_TIMESTAMP = 45

REALTIME = 1
#: bit 0 of a price message's attributes: the quote can be executed automatically
CAN_AUTO_EXECUTE = 1

NOT_SUBSCRIBED = 354
NOT_SUBSCRIBED_TEXT = "Requested market data is not subscribed. Delayed market data is not available."
DUPLICATE_TICKER = 322
NO_SUCH_TICKER = 300


@dataclass
class QuotePolicy:
    """How market data is served; tests change it between requests.

    ``interval`` is the time between two updates of a stream, in seconds;
    ``refuse_symbols`` are answered with error 354 as a missing market-data
    subscription would be.
    """

    interval: float = 0.25
    refuse_symbols: set[str] = field(default_factory=set)

    def __post_init__(self):
        if not self.interval > 0:
            raise ValueError(f"the tick interval must be positive, not {self.interval}")
        self.refuse_symbols = {s.upper() for s in self.refuse_symbols}


@dataclass(frozen=True)
class MarketDataRequest:
    req_id: int
    contract: ContractQuery
    generic_ticks: str
    snapshot: bool
    regulatory_snapshot: bool

    @classmethod
    def read(cls, fields: Fields) -> MarketDataRequest:
        fields.skip()  # version
        req_id = fields.next_int()
        contract = ContractQuery.read(fields)
        if contract.sec_type.upper() == "BAG":
            fields.skip(4 * fields.next_int())  # combo legs: none of them can be quoted here
        if fields.next_bool():  # delta-neutral contract
            fields.skip(3)
        generic_ticks = fields.next_text()
        snapshot = fields.next_bool()
        regulatory = fields.next_bool()
        return cls(req_id, contract, generic_ticks, snapshot, regulatory)


def _price_fields(req_id: int, tick_type: int, price: float, size: int = 0, attributes: int = 0) -> tuple:
    return (TICK_PRICE, 6, req_id, tick_type, price, size, attributes)


def quote_messages(req_id: int, quote: Quote, before: Quote | None = None) -> list[tuple]:
    """The tick messages that bring a client from ``before`` (nothing: a first answer) to ``quote``."""
    out: list[tuple] = []

    def changed(name: str) -> bool:
        return before is None or getattr(before, name) != getattr(quote, name)

    for price_type, size_type, price, size in ((BID, BID_SIZE, "bid", "bid_size"), (ASK, ASK_SIZE, "ask", "ask_size")):
        if changed(price):
            out.append(_price_fields(req_id, price_type, getattr(quote, price), getattr(quote, size), CAN_AUTO_EXECUTE))
        elif changed(size):
            out.append((TICK_SIZE, 6, req_id, size_type, getattr(quote, size)))
    if changed("last") or changed("time"):
        out.append(_price_fields(req_id, LAST, quote.last, quote.last_size))
        out.append((TICK_STRING, 6, req_id, LAST_TIMESTAMP, quote.time))
    if changed("volume"):
        out.append((TICK_SIZE, 6, req_id, VOLUME, quote.volume))
    for tick_type, name in ((HIGH, "high"), (LOW, "low"), (CLOSE, "close"), (OPEN, "open")):
        if changed(name) and getattr(quote, name) is not None:
            out.append(_price_fields(req_id, tick_type, getattr(quote, name)))
    return out


class MarketDataFeed:
    """The market-data subscriptions of one connection; ``stop()`` ends them all."""

    def __init__(
        self,
        send: Callable[..., None],
        error: Callable[[int, int, str], None],
        now: Callable[[], dt.datetime],
        policy: QuotePolicy,
        record: Callable[[MarketDataRequest], None] = lambda request: None,
    ):
        self._send = send
        self._error = error
        self._now = now
        self._policy = policy
        self._record = record
        self._streams: dict[int, asyncio.Task] = {}

    @property
    def streams(self) -> int:
        return len(self._streams)

    def request(self, fields: Fields) -> None:
        request = MarketDataRequest.read(fields)
        self._record(request)
        if request.req_id in self._streams:
            self._error(
                request.req_id,
                DUPLICATE_TICKER,
                f"Error processing request.-'bW' : cause - Duplicate ticker id:{request.req_id}",
            )
            return
        now = self._now()
        found = resolve(request.contract, local(now).date())
        if len(found) != 1:
            text = (
                NO_DEFINITION
                if not found
                else f"The contract description given for {request.contract.describe()} is ambiguous."
            )
            self._error(request.req_id, 200, text)
            return
        inst = found[0]
        if inst.symbol in self._policy.refuse_symbols:
            self._error(
                request.req_id, NOT_SUBSCRIBED, f"{NOT_SUBSCRIBED_TEXT}{inst.local_symbol} {inst.exchange}/TOP/ALL"
            )
            return
        quote = quote_at(inst, now)
        self._send(TICK_REQ_PARAMS, request.req_id, inst.min_tick, "9c0001" if inst.is_stock else "a60001", 3)
        self._send(MARKET_DATA_TYPE, 1, request.req_id, REALTIME)
        for message in quote_messages(request.req_id, quote):
            self._send(*message)
        if request.snapshot or request.regulatory_snapshot:
            self._send(TICK_SNAPSHOT_END, 1, request.req_id)
            return
        self._streams[request.req_id] = asyncio.create_task(self._stream(request.req_id, inst, now, quote))

    def cancel(self, fields: Fields) -> None:
        fields.skip()  # version
        req_id = fields.next_int()
        task = self._streams.pop(req_id, None)
        if task is None:
            self._error(req_id, NO_SUCH_TICKER, f"Can't find EId with tickerId:{req_id}")
            return
        task.cancel()

    def stop(self) -> None:
        for task in self._streams.values():
            task.cancel()
        self._streams.clear()

    async def _stream(self, req_id: int, inst: Instrument, start: dt.datetime, quote: Quote) -> None:
        elapsed = 0.0
        try:
            while True:
                interval = self._policy.interval
                await asyncio.sleep(interval)
                elapsed += interval
                latest = quote_at(inst, start + dt.timedelta(seconds=elapsed))
                for message in quote_messages(req_id, latest, quote):
                    self._send(*message)
                quote = latest
        except asyncio.CancelledError:
            raise
        except Exception:
            logger.exception("loopback gateway: the quote stream of {} failed", inst.symbol)
            self._streams.pop(req_id, None)
