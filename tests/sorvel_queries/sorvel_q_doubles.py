"""Stand-ins for what the sorvel queries talk to: the console's state, the
gateway client, yfinance, the table printer, the candle cache and the logger."""

from __future__ import annotations

import asyncio
import datetime as dt
import threading
import types
from dataclasses import dataclass
from types import SimpleNamespace
from zoneinfo import ZoneInfo

import pandas as pd
from ib_async import BarData, BarDataList, Future, Stock

NEW_YORK = ZoneInfo("America/New_York")


def run(coro):
    return asyncio.run(coro)


def stock(symbol: str = "AAPL") -> Stock:
    return Stock(symbol, "SMART", "USD")


def future(symbol: str = "ES") -> Future:
    return Future(symbol, "202503", "CME")


# -- gateway ---------------------------------------------------------------

def daily_bars(n: int, start: dt.date = dt.date(2025, 1, 2)) -> BarDataList:
    """Daily bars as the gateway gives them: plain calendar dates."""
    return BarDataList(
        BarData(date=start + dt.timedelta(days=i), open=100.5 + i, high=102.0 + i, low=99.0 + i,
                close=101.25 + i, volume=1000.0 + i, average=100.75 + i, barCount=10 + i)
        for i in range(n))


def minute_bars(n: int) -> BarDataList:
    """One-minute bars stamped in the exchange's zone."""
    first = dt.datetime(2025, 3, 3, 9, 30, tzinfo=NEW_YORK)
    return BarDataList(
        BarData(date=first + dt.timedelta(minutes=i), open=50.5, high=51.0, low=50.0, close=50.75,
                volume=300.0, average=50.6, barCount=7)
        for i in range(n))


class FakeState:
    """The console's state: a connection flag and the symbol resolver."""

    def __init__(self, answer=None, *, connected=True, raises: BaseException | None = None, hang=False):
        self.connected = connected
        self.answer = answer
        self.raises = raises
        self.hang = hang
        self.asked: list[str] = []

    async def positionalQuoteRepopulate(self, symbol):
        self.asked.append(symbol)
        if self.hang:
            await asyncio.Event().wait()
        if self.raises is not None:
            raise self.raises
        return self.answer


class FakeIB:
    """The gateway client: records each request (positional args, keywords in order)."""

    def __init__(self, bars=None, *, raises: BaseException | None = None, hang=False):
        self.bars = bars if bars is not None else []
        self.raises = raises
        self.hang = hang
        self.requests: list[tuple[tuple, list]] = []

    async def reqHistoricalDataAsync(self, *args, **kwargs):
        self.requests.append((args, list(kwargs.items())))
        if self.hang:
            await asyncio.Event().wait()
        if self.raises is not None:
            raise self.raises
        return self.bars


def request_keywords(end, duration, bar_size, what):
    return [("endDateTime", end), ("durationStr", duration), ("barSizeSetting", bar_size),
            ("whatToShow", what), ("useRTH", True), ("keepUpToDate", False), ("timeout", 60)]


# -- yfinance --------------------------------------------------------------

def yf_daily_frame(n: int, start: str = "2025-01-02") -> pd.DataFrame:
    index = pd.date_range(start, periods=n, freq="D", tz=NEW_YORK, name="Date")
    return pd.DataFrame({
        "Open": [10.5 + i for i in range(n)],
        "High": [11.5 + i for i in range(n)],
        "Low": [9.5 + i for i in range(n)],
        "Close": [10.25 + i for i in range(n)],
        "Volume": [500 + i for i in range(n)],
        "Dividends": [0.0] * n,
        "Stock Splits": [0.0] * n,
    }, index=index)


def yf_minute_frame(n: int) -> pd.DataFrame:
    index = pd.date_range("2025-03-03 09:30", periods=n, freq="min", tz=NEW_YORK, name="Datetime")
    return pd.DataFrame({
        "Open": [20.5] * n, "High": [21.5] * n, "Low": [19.5] * n, "Close": [20.25] * n,
        "Volume": [40] * n, "Dividends": [0.0] * n, "Stock Splits": [0.0] * n,
    }, index=index)


@dataclass
class YFCall:
    symbol: str
    kwargs: list
    thread: int
    proxy_at_ticker: object


class FakeYFinance:
    """A yfinance module: Ticker(symbol).history(**kw) answers `answer`
    (a frame, None, or an exception to raise) and records the call."""

    def __init__(self):
        self.module = types.ModuleType("yfinance")
        self.module.config = SimpleNamespace(network=SimpleNamespace(proxy=None))
        self.module.Ticker = self._ticker
        self.calls: list[YFCall] = []
        self.answer = None

    def _ticker(self, symbol):
        fake = self
        proxy = self.module.config.network.proxy

        class Ticker:
            def history(self, **kwargs):
                fake.calls.append(YFCall(symbol, list(kwargs.items()), threading.get_ident(), proxy))
                if isinstance(fake.answer, BaseException):
                    raise fake.answer
                return fake.answer

        return Ticker()


# -- console ---------------------------------------------------------------

class Printer:
    """printFrame: keeps (frame, title); `fail` makes it raise."""

    def __init__(self, events: list):
        self.calls: list[tuple[pd.DataFrame, str]] = []
        self.events = events
        self.fail: BaseException | None = None

    def __call__(self, frame, title, /):
        self.events.append("print")
        if self.fail is not None:
            raise self.fail
        self.calls.append((frame.copy(), title))

    @property
    def titles(self):
        return [title for _, title in self.calls]


class FakeCache:
    """A SorvelCache instance that records its calls; keys come from the real class."""

    def __init__(self, events: list, entries: dict | None = None, larger=None):
        self.events = events
        self.entries = dict(entries or {})
        self.larger = larger
        self.calls: list[tuple] = []

    def get(self, key, /):
        self.calls.append(("get", key))
        return self.entries.get(key)

    def set(self, key, records, /):
        self.events.append("set")
        self.calls.append(("set", key, records))
        self.entries[key] = records

    def try_larger_count(self, symbol, period, adjust, count, /):
        self.calls.append(("try_larger_count", symbol, period, adjust, count))
        return self.larger


class LoggerSpy:
    """Stands in for the module's logger: records (LEVEL, template, args)
    and hands the call on to loguru, where a sink records the text."""

    def __init__(self, real, calls: list):
        self._real = real
        self._calls = calls

    def __getattr__(self, level):
        forward = getattr(self._real, level)

        def log(template, *args):
            self._calls.append((level.upper(), template, args))
            forward(template, *args)

        return log


class LogCapture:
    def __init__(self):
        self.calls: list[tuple[str, str, tuple]] = []
        self.lines: list[tuple[str, str]] = []

    def sink(self, message):
        self.lines.append((message.record["level"].name, message.record["message"]))

    def shown(self):
        """(LEVEL, template, args with exceptions as their text)."""
        return [(level, template, tuple(str(a) if isinstance(a, BaseException) else a for a in args))
                for level, template, args in self.calls]

    def templates(self):
        return [template for _, template, _ in self.calls]
