"""The limits a download's arguments must keep, checked before any connection is made.

The planner walks the calendar day by day and counts bars back in sessions, so a count or a
day far outside what any exchange's history holds would overflow the date arithmetic or
plan millions of requests; and each symbol costs a contract lookup and a head-timestamp
request before its first bar, so a list of many thousands would keep the gateway busy for
long with nothing shown. Both are refused here with the limit named.
"""

from __future__ import annotations

import calendar
import datetime as dt
import math
import re
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


#: yfinance's period words: a count of days, weeks, months or years back from today.
_PERIOD = re.compile(r"([1-9][0-9]{0,3})(d|wk|mo|y)")
GROUPINGS = ("column", "ticker")


def period_start(period: Any, today: dt.date) -> dt.date:
    """The first day of yfinance's ``period`` ending ``today``: "5d" is the last five trading days
    (as Yahoo counts them), "1mo" "1y" calendar months and years back, "ytd" from New Year, "max"
    from :data:`EARLIEST` (the gateway starts at the symbol's first bar)."""
    from .plan import trading_days

    if not isinstance(period, str):
        raise TypeError(f"period must be a str such as '5d', '1mo', '1y', 'ytd' or 'max', not {type(period).__name__}")
    if period == "ytd":
        return dt.date(today.year, 1, 1)
    if period == "max":
        return EARLIEST
    found = _PERIOD.fullmatch(period)
    if found is None:
        raise ValueError(
            f"period must be a count of d, wk, mo or y ('5d', '1mo', '1y'), 'ytd' or 'max', not {period!r}"
        )
    count, unit = int(found[1]), found[2]
    if unit == "d":  # half as many days again holds that many sessions, holidays and all
        return trading_days(today - dt.timedelta(days=count * 3 // 2 + 20), today)[-count]
    if unit == "wk":
        start = today - dt.timedelta(weeks=count)
    else:
        start = _months_back(today, count if unit == "mo" else 12 * count)
    check_day("period", start)
    return start


def _months_back(day: dt.date, months: int) -> dt.date:
    index = day.year * 12 + day.month - 1 - months
    year, month = divmod(index, 12)
    if year < EARLIEST.year:
        return dt.date(EARLIEST.year - 1, 12, 31)  # named by the check that follows
    last_day = calendar.monthrange(year, month + 1)[1]
    return dt.date(year, month + 1, min(day.day, last_day))


def same_meaning(name: str, value: Any, alias: str, given: Any, default: bool) -> Any:
    """One flag given by either name (ours or yfinance's); both given must agree."""
    if given is None:
        return value  # its type is checked with the others
    if not isinstance(given, bool):
        raise TypeError(f"{alias} must be True or False, not {given!r}")
    if value != default and value != given:
        raise ValueError(f"{alias}={given} and {name}={value} disagree; give one of them")
    return given
