"""download from Yahoo Finance (no gateway, or --source yahoo), against a stand-in for yfinance's Ticker:
the windows Yahoo serves, its frame brought to the download's columns and zone, and failures named."""

from __future__ import annotations

import asyncio
import datetime as dt
import logging
from zoneinfo import ZoneInfo

import pandas as pd
import pytest
import yfinance

from corvane.history.download import Request, download

NY = ZoneInfo("America/New_York")
TODAY = dt.date(2025, 3, 5)  # the tests' frozen instant is that evening in New York


class FakeTicker:
    """Yahoo's answer shape: capitalised columns plus dividends, an exchange-zone index, end exclusive."""

    calls: list[tuple[str, str, str, str]] = []
    fails: Exception | None = None
    #: What yfinance logs instead of raising, answering an empty frame
    says: str | None = None

    def __init__(self, symbol: str) -> None:
        self.symbol = symbol

    def history(self, *, start: str, end: str, interval: str, auto_adjust: bool, prepost: bool) -> pd.DataFrame:
        FakeTicker.calls.append((self.symbol, start, end, interval))
        if FakeTicker.fails is not None:
            raise FakeTicker.fails
        if FakeTicker.says is not None:
            logging.getLogger("yfinance").error(FakeTicker.says)
            return pd.DataFrame()
        if interval == "1d":
            index = pd.bdate_range(start, end, inclusive="left", tz=NY, name="Date")
        else:
            days = pd.bdate_range(start, end, inclusive="left")
            index = pd.DatetimeIndex(
                [d + pd.Timedelta(hours=9, minutes=30 + m) for d in days for m in range(390)], name="Datetime"
            ).tz_localize(NY)
        n = len(index)
        return pd.DataFrame({"Open": [1.0] * n, "High": [2.0] * n, "Low": [0.5] * n, "Close": [1.5] * n,
                             "Volume": [100] * n, "Dividends": [0.0] * n, "Stock Splits": [0.0] * n}, index=index)


@pytest.fixture
def yahoo(monkeypatch):
    FakeTicker.calls, FakeTicker.fails, FakeTicker.says = [], None, None
    monkeypatch.setattr(yfinance, "Ticker", FakeTicker)
    return FakeTicker


def fetch(gateway_down=None, **asked):
    return asyncio.run(download(None, None, Request(**asked), connected=False, gateway_down=gateway_down))


def test_minutes_come_in_yahoo_sized_windows_and_exactly_the_days_asked(yahoo):
    result = fetch(symbols=("AAPL",), interval="1m", start=dt.date(2025, 2, 10), end=dt.date(2025, 2, 28))
    [one] = result.symbols
    assert one.failure is None and one.source == "yahoo"
    # Yahoo serves a week of minutes a request, its end day excluded.
    assert [c[1:3] for c in yahoo.calls] == [("2025-02-10", "2025-02-17"), ("2025-02-17", "2025-02-24"),
                                             ("2025-02-24", "2025-03-01")]
    assert one.requests == 3
    bars = one.bars
    assert list(bars.columns[:5]) == ["open", "high", "low", "close", "volume"]
    assert str(bars.index.tz) == "America/New_York" and bars.index.name == "date"
    assert bars.index[0] == pd.Timestamp("2025-02-10 09:30", tz=NY)
    assert bars.index[-1] == pd.Timestamp("2025-02-28 15:59", tz=NY)
    assert len(bars) == 15 * 390 and bars.index.is_unique  # the stand-in knows no holidays


def test_the_last_days_and_what_yahoo_cannot_give(yahoo):
    [daily] = fetch(symbols=("MSFT",), interval="1d", last=5).symbols
    assert daily.failure is None and len(daily.bars) == 5
    assert daily.bars.index[-1] == pd.Timestamp("2025-03-05", tz=NY)
    # Minutes are kept for the last 30 days only: said before anything is asked.
    calls = len(yahoo.calls)
    [old] = fetch(symbols=("MSFT",), interval="1m", start=dt.date(2024, 12, 2), end=dt.date(2024, 12, 6)).symbols
    assert old.bars is None and "last 30 days only" in old.failure and len(yahoo.calls) == calls
    # A network failure is named, never "no data".
    yahoo.fails = ConnectionError("Could not resolve host: query2.finance.yahoo.com")
    [down] = fetch(symbols=("MSFT",), interval="1d", last=5).symbols
    assert down.failure == "Yahoo Finance: unreachable (DNS)"
    # Without a gateway both sources are named, in the words sorvel's closing line uses; and
    # what yfinance only logs (answering nothing) is named as well as what it raises.
    yahoo.fails, yahoo.says = None, "AAPL: Failed to get ticker 'AAPL' reason: curl: (6) Could not resolve host"
    [both] = fetch(symbols=("AAPL",), interval="1d", last=5, gateway_down="connection refused at 127.0.0.1:7497").symbols
    assert both.failure == "no gateway: connection refused at 127.0.0.1:7497; Yahoo Finance: unreachable (DNS)"
