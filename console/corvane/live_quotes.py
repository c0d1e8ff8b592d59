"""The console's live quotes: market-data streams kept in ``state.quoteState``.

Each entry sits under the name the console's symbol resolution gives
("AAPL", "/ES"), which is also what ``nameForContract`` says of its ticker's
contract, so the quote-group listing finds it. An entry outlives its
connection: when the gateway goes away its ticker is dropped (the entry is no
longer live), and when the same client connects again every entry is asked
for anew. Everything here runs on the session's event-loop thread.
"""

from __future__ import annotations

import asyncio
import math
from dataclasses import dataclass
from typing import Any

from loguru import logger

from corvane.helpers import nameForContract

#: How long a new subscription may take to show its first quote before we stop waiting.
FIRST_QUOTE_WAIT = 3.0
_POLL = 0.05

#: Gateway errors after which a market-data request delivers nothing.
DEAD_SUBSCRIPTION = frozenset({200, 300, 321, 322, 354, 10168, 10186})


@dataclass
class LiveQuote:
    """One subscribed symbol; ``ticker`` is None while it is not streaming."""

    symbol: str
    contract: Any
    ticker: Any = None


@dataclass
class Outcome:
    """What became of one symbol a user asked to subscribe."""

    symbol: str
    live: bool
    why: str = ""


def has_data(ticker: Any) -> bool:
    return any(not _unset(getattr(ticker, name, math.nan)) for name in ("last", "bid", "ask", "close"))


def _unset(value: Any) -> bool:
    return value is None or value != value or value == -1


class LiveQuotes:
    """Subscribing, cancelling, and carrying the subscriptions over reconnects."""

    def __init__(self, ib: Any, state: Any) -> None:
        self.ib = ib
        self.state = state
        self._refusals: dict[str, str] = {}
        self._awaited: set[str] = set()  # refusals of these are told by subscribe()
        ib.connectedEvent += self._resume
        ib.disconnectedEvent += self._suspend
        ib.errorEvent += self._on_error

    @property
    def entries(self) -> dict[str, Any]:
        return self.state.quoteState

    async def subscribe(self, wanted: list[Any]) -> list[Outcome]:
        """Stream each wanted symbol (text, or a contract) and wait briefly for its first quote."""
        outcomes: dict[str, Outcome] = {}
        fresh: list[LiveQuote] = []
        try:
            for item in wanted:
                if isinstance(item, str):
                    name, contract = await self.state.positionalQuoteRepopulate(item)
                    if not name:
                        label = item.strip().upper() or repr(item)
                        outcomes[label] = Outcome(label, False, "the gateway knows no such symbol")
                        continue
                else:
                    name, contract = nameForContract(item), item
                if name in outcomes:
                    continue
                entry = self.entries.get(name)
                if entry is not None and entry.ticker is not None:
                    outcomes[name] = Outcome(name, True, "already live")
                    continue
                entry = LiveQuote(name, contract)
                self._refusals.pop(name, None)
                self._awaited.add(name)
                self._start(entry)
                self.entries[name] = entry
                fresh.append(entry)
                outcomes[name] = Outcome(name, True)
            await self._first_quotes(fresh)
        finally:
            self._awaited.difference_update(e.symbol for e in fresh)
        for entry in fresh:
            why = self._refusals.pop(entry.symbol, "")
            if why:
                outcomes[entry.symbol] = Outcome(entry.symbol, False, why)
            elif entry.ticker is not None and not has_data(entry.ticker):
                outcomes[entry.symbol].why = "no quote yet"
        return list(outcomes.values())

    def unsubscribe(self, names: list[str]) -> tuple[list[str], list[str]]:
        """Cancel the named streams: (the names cancelled, the names that were not live)."""
        done, unknown = [], []
        for name in names:
            entry = self.entries.pop(name, None)
            if entry is None:
                unknown.append(name)
                continue
            self._stop(entry)
            done.append(name)
        return done, unknown

    def rows(self) -> list[tuple[str, Any]]:
        """(symbol, ticker or None) for every entry, in subscription order."""
        return [(name, entry.ticker) for name, entry in self.entries.items()]

    # -- the client's events ------------------------------------------------

    def _start(self, entry: LiveQuote) -> None:
        entry.ticker = self.ib.reqMktData(entry.contract)

    def _stop(self, entry: LiveQuote) -> None:
        ticker, entry.ticker = entry.ticker, None
        if ticker is None or not self.ib.isConnected():
            return
        try:
            self.ib.cancelMktData(entry.contract)
        except ConnectionError:
            pass  # the connection went away meanwhile: nothing left to cancel

    async def _first_quotes(self, entries: list[LiveQuote]) -> None:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + FIRST_QUOTE_WAIT
        while loop.time() < deadline and any(e.ticker is not None and not has_data(e.ticker) for e in entries):
            await asyncio.sleep(_POLL)

    def _on_error(self, req_id: int, code: int, text: str, contract: Any = None) -> None:
        if code not in DEAD_SUBSCRIPTION or contract is None:
            return
        for name, entry in list(self.entries.items()):
            if entry.ticker is not None and self._answers(entry, req_id, contract):
                why = f"refused by the gateway ({code}: {text})"
                if name in self._awaited:
                    self._refusals[name] = why
                else:
                    logger.warning("[{}] quote {}", name, why)
                # The gateway has already forgotten the request: only our side is left to clear.
                self.entries.pop(name, None)
                self._forget(entry)

    def _answers(self, entry: LiveQuote, req_id: int, contract: Any) -> bool:
        """Whether an error about ``req_id`` is about this entry's stream, not another request."""
        try:
            return self.ib.wrapper.ticker2ReqId["mktData"].get(entry.ticker) == req_id
        except (AttributeError, KeyError, TypeError):
            return _same(entry.contract, contract)

    def _forget(self, entry: LiveQuote) -> None:
        ticker, entry.ticker = entry.ticker, None
        try:
            self.ib.wrapper.endTicker(ticker, "mktData")
        except Exception as exc:
            logger.debug("[{}] could not drop the refused ticker: {}", entry.symbol, exc)

    def _suspend(self, *args: Any) -> None:
        for entry in self.entries.values():
            entry.ticker = None

    def _resume(self, *args: Any) -> None:
        resumed = []
        for entry in list(self.entries.values()):
            if entry.ticker is not None:
                continue
            try:
                self._start(entry)
            except ConnectionError:
                return  # lost again at once: the next connection resumes them
            resumed.append(entry.symbol)
        if resumed:
            logger.info("Quotes resumed: {}", " ".join(resumed))


def _same(a: Any, b: Any) -> bool:
    if a is b:
        return True
    con_a, con_b = getattr(a, "conId", 0), getattr(b, "conId", 0)
    return bool(con_a) and con_a == con_b
