"""The limits a download's arguments must keep, checked before any connection is made.

The planner walks the calendar day by day and counts bars back in sessions, so a count or a
day far outside what any exchange's history holds would overflow the date arithmetic or
plan millions of requests; and each symbol costs a contract lookup and a head-timestamp
request before its first bar, so a list of many thousands would keep the gateway busy for
long with nothing shown. Both are refused here with the limit named.
"""

from __future__ import annotations

import datetime as dt
import math
from collections.abc import Sequence
from typing import Any

from .plan import BAR_SIZES, HistoryQuery, bars_per_session

#: symbols one download may name (groups expanded)
MAX_SYMBOLS = 1000
#: no exchange's bars reach further back than this; nor may a range or a count of last bars
EARLIEST = dt.date(1900, 1, 1)
#: a range may name days up to this (days after today are simply not there yet)
LATEST = dt.date(2999, 12, 31)


def check_symbols(symbols: Sequence[str]) -> None:
    if len(symbols) > MAX_SYMBOLS:
        raise ValueError(f"tickers: {len(symbols):,} symbols in one download; at most {MAX_SYMBOLS:,}, split the list")


def check_day(name: str, day: dt.date | None) -> None:
    if day is not None and not EARLIEST <= day <= LATEST:
        raise ValueError(f"{name} must be a day from {EARLIEST} to {LATEST}, not {day}")


def most_last(interval: str, today: dt.date) -> int:
    """The largest count of last bars of ``interval`` whose sessions fit between :data:`EARLIEST` and ``today``."""
    per_session = bars_per_session(HistoryQuery(interval, last=1))
    # The planner reaches back sessions × 7/5 calendar days plus a margin; keep that after EARLIEST.
    sessions = ((today - EARLIEST).days - 40) * 5 // 7 - 2
    return max(1, math.floor(sessions * per_session))


def check_last(last: Any, interval: str, today: dt.date) -> None:
    if last is None or interval not in BAR_SIZES:
        return  # an unknown interval is named by the planner
    most = most_last(interval, today)
    if last > most:
        raise ValueError(f"last: {last:,} bars of {interval} reach back before {EARLIEST}; at most {most:,}")


def typed(
    tickers: Any, start: Any, end: Any, interval: Any, last: Any, adjusted: Any, outside_rth: Any, source: Any
) -> None:
    """TypeError naming the first argument of a script's download that has the wrong type."""
    if isinstance(tickers, (bytes, bytearray)) or not isinstance(tickers, (str, Sequence)):
        raise TypeError(f"tickers must be a str or a list of str, not {type(tickers).__name__}")
    if not isinstance(tickers, str):
        wrong = next((t for t in tickers if not isinstance(t, str)), None)
        if wrong is not None:
            raise TypeError(f"tickers must be a str or a list of str; it holds a {type(wrong).__name__}: {wrong!r}")
    for name, value in (("start", start), ("end", end)):
        if value is not None and not isinstance(value, (str, dt.date)):
            raise TypeError(f"{name} must be a day as 'YYYY-MM-DD' or a date, not {type(value).__name__}")
    for name, value in (("interval", interval), ("source", source)):
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if last is not None and (isinstance(last, bool) or not isinstance(last, int)):
        raise TypeError(f"last must be a whole number, not {type(last).__name__}")
    for name, value in (("adjusted", adjusted), ("outside_rth", outside_rth)):
        if not isinstance(value, bool):
            raise TypeError(f"{name} must be True or False, not {value!r}")


def check_limits(symbols: Sequence[str], start: dt.date | None, end: dt.date | None, interval: str, last: Any) -> None:
    """ValueError naming the argument beyond what a download can hold."""
    from corvane import clock

    check_symbols(symbols)
    check_day("start", start)
    check_day("end", end)
    check_last(last, interval, clock.now(dt.UTC).date())
