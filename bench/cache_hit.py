"""What a cache-hit `sorvel AAPL day 100` costs: the sorvel module's run()
against a pure-Python twin of the same path, side by side.

The twin below is the hit path written as plain Python from the command's
behaviour (run(), the latest-bars query, the helpers it calls), reading the
module's own tables. Both are driven the same way, with the same console
doubles: a connected state that resolves the symbol at once, the process's
real candle cache holding the entry, loguru's logger without sinks. Neither
suspends, so each run() is one send(None). Rounds are interleaved and the
minimum per call is reported, since the machine is shared.

Run (after scripts/dev-build.sh):
    PYTHONPATH=console .venv/bin/python bench/cache_hit.py
"""

from __future__ import annotations

import copy
import dataclasses
import datetime
import math
import re
import sys
import time

from ib_async import Stock
from loguru import logger

import corvane.cmds.quotes.sorvel as sorvel
from corvane.candles.cache import SorvelCache
from corvane.helpers import Future

CALLS = 300
ROUNDS = 300
WORDS = ["day", "100"]


# ---- the twin --------------------------------------------------------------

PERIOD_MAP = sorvel.PERIOD_MAP
PERIOD_DEFAULT_COUNT = sorvel.PERIOD_DEFAULT_COUNT
ADJUST_KEYWORDS = sorvel.ADJUST_KEYWORDS
BAR_SECONDS = sorvel.BAR_SECONDS
DURATION_FACTOR = sorvel.DURATION_FACTOR
_sorvel_cache = None


def _get_cache():
    global _sorvel_cache
    if _sorvel_cache is None:
        _sorvel_cache = SorvelCache()
    return _sorvel_cache


def _is_date(s: str) -> bool:
    if type(s) is not str:
        raise TypeError(f"Argument 's' has incorrect type (expected str, got {type(s).__name__})")
    if s == "today" or s == "yesterday":
        return True
    return re.match(r"^\d{4}-\d{2}-\d{2}$", s) is not None


def _is_period(s: str) -> bool:
    if type(s) is not str:
        raise TypeError(f"Argument 's' has incorrect type (expected str, got {type(s).__name__})")
    return s in PERIOD_MAP


def _calc_duration(back_days: int) -> str:
    if type(back_days) is not int:
        raise TypeError(f"Argument 'back_days' has incorrect type (expected int, got {type(back_days).__name__})")
    if back_days <= 365:
        return f"{back_days} D"
    return f"{math.ceil(back_days / 365)} Y"


@dataclasses.dataclass
class TwinSorvel:
    state: object = None
    ib: object = None
    cache: object = None
    symbol: str = dataclasses.field(init=False)
    rest: list = dataclasses.field(init=False)

    async def run(self) -> dict:
        if not self.symbol:
            logger.error("No symbol provided")
            return {"error": "No symbol provided"}
        rest = self.rest if self.rest else []
        if not self.state.connected:
            logger.info("[{}] No gateway, using yfinance fallback", self.symbol)
            return await self._run_yfinance(rest)
        try:
            resolved, contract = await self.state.positionalQuoteRepopulate(self.symbol)
            if not resolved:
                logger.error("Symbol not found: {}", self.symbol)
                return await self._run_yfinance(rest)
            self.symbol = resolved
            assert contract
            if isinstance(contract, Future):
                contract = copy.copy(contract)
                contract.secType = "CONTFUT"
            if rest and rest[0] == "intraday":
                result = await self._intraday(contract)
            elif rest and _is_date(rest[0]):
                result = await self._history(contract, rest)
            else:
                result = await self._sorvel(contract, rest)
            if result and "error" not in result:
                result["source"] = "ibkr"
                return result
            logger.warning("[{}] IBKR returned error ({}), falling back to yfinance", self.symbol, result.get("error"))
        except Exception as exc:
            logger.warning("[{}] IBKR failed ({}), falling back to yfinance", self.symbol, exc)
        return await self._run_yfinance(rest)

    async def _sorvel(self, contract, rest: list[str]) -> dict:
        if type(rest) is not list:
            raise TypeError(f"Argument 'rest' has incorrect type (expected list, got {type(rest).__name__})")
        period, count, adjust = "day", PERIOD_DEFAULT_COUNT.get("day", 100), "none"
        i = 0
        if i < len(rest) and _is_period(rest[i]):
            period = rest[i]
            count = PERIOD_DEFAULT_COUNT.get(period, 100)
            i += 1
        if i < len(rest):
            try:
                count = int(rest[i])
                i += 1
            except ValueError:
                pass
        if i < len(rest):
            adjust = rest[i]
        if count <= 0:
            raise AssertionError("the benchmark asks for a positive count")
        what = "ADJUSTED_LAST" if adjust in ADJUST_KEYWORDS else "TRADES"
        bar_size = PERIOD_MAP[period]
        seconds = BAR_SECONDS.get(bar_size, 86400)
        factor = DURATION_FACTOR.get(period, 1.0)
        duration = _calc_duration(math.ceil(count * seconds * factor / 86400))
        cache = _get_cache()
        key = SorvelCache.count_key(self.symbol, period, adjust, count)
        cached = cache.get(key)
        if cached is not None:
            logger.info("[{}] sorvel exact cache hit: {} {} {}", self.symbol, period, count, adjust)
            return {"symbol": self.symbol, "period": period, "count": len(cached), "adjust": adjust,
                    "bars": cached, "cached": True}
        raise AssertionError(f"the benchmark's entry is missing ({what}, {duration})")

    async def _run_yfinance(self, rest):
        raise AssertionError("the benchmark stays on the gateway path")

    _intraday = _history = _run_yfinance


# ---- shared doubles ---------------------------------------------------------

class Connected:
    connected = True

    def __init__(self):
        self.contract = Stock("AAPL", "SMART", "USD")

    async def positionalQuoteRepopulate(self, symbol):
        return symbol, self.contract


def bar_records(n):
    first = datetime.datetime(2025, 1, 2)
    return [{"date": first + datetime.timedelta(days=i), "open": 1.0, "high": 2.0, "low": 0.5, "close": 1.5,
             "volume": 100.0, "average": 1.2, "barCount": 7} for i in range(n)]


def make(cls, state):
    op = cls(state=state)
    op.symbol = "AAPL"
    op.rest = list(WORDS)
    return op


def drive(op):
    op.symbol = "AAPL"
    try:
        op.run().send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("a cache hit never suspends")


def per_call(op):
    started = time.perf_counter()
    for _ in range(CALLS):
        drive(op)
    return (time.perf_counter() - started) / CALLS


def main():
    logger.remove()
    cache = sorvel._get_cache()
    global _sorvel_cache
    _sorvel_cache = cache
    cache.set(SorvelCache.count_key("AAPL", "day", "none", 100), bar_records(100))

    state = Connected()
    ours, twin = make(sorvel.IOpSorvel, state), make(TwinSorvel, state)
    a, b = drive(ours), drive(twin)
    if a != b or list(a) != list(b) or a["bars"] is not b["bars"]:
        sys.exit(f"the two paths disagree:\n{a}\n{b}")

    best = {"ours": math.inf, "twin": math.inf}
    for _ in range(ROUNDS):
        best["ours"] = min(best["ours"], per_call(ours))
        best["twin"] = min(best["twin"], per_call(twin))
    print(f"cache-hit run(), sorvel AAPL {' '.join(WORDS)}: best of {ROUNDS} x {CALLS} calls")
    print(f"  sorvel module   {best['ours'] * 1e6:7.2f} us")
    print(f"  Python twin     {best['twin'] * 1e6:7.2f} us")
    print(f"  ratio           {best['ours'] / best['twin']:7.2f}x  (target <= 0.75x)")


if __name__ == "__main__":
    main()
