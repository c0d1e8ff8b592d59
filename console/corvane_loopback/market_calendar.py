"""Trading calendar of the sample market: the exchanges' own days, sessions in New York time.

Days are numbered by their weekday count since ``EPOCH`` so that the price
generator can key its random draws on a stable integer; a holiday keeps its
number and simply has no session. Holidays and early closes come from a
maintained calendar library, built for fixed years (answers never depend on
the day the gateway was started) on the first request that needs them.
"""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass
from functools import cache, lru_cache
from zoneinfo import ZoneInfo

import numpy as np

EXCHANGE_TZ = ZoneInfo("America/New_York")
#: the zone name the gateway writes after intraday bar times and in contract details
TZ_LABEL = "US/Eastern"

#: first day with data; a Monday, so day index 0 is a trading day
EPOCH = dt.date(1990, 1, 1)

#: regular trading hours, minutes after local midnight
RTH_OPEN, RTH_CLOSE = 9 * 60 + 30, 16 * 60


@dataclass(frozen=True)
class Hours:
    """Session bounds in minutes after the trading day's local midnight.

    The extended session may start before midnight (negative minutes), as an
    overnight futures session does.
    """

    ext_open: int
    ext_close: int
    rth_open: int = RTH_OPEN
    rth_close: int = RTH_CLOSE

    def bounds(self, rth: bool) -> tuple[int, int]:
        return (self.rth_open, self.rth_close) if rth else (self.ext_open, self.ext_close)


STOCK_HOURS = Hours(ext_open=4 * 60, ext_close=20 * 60)
FUTURES_HOURS = Hours(ext_open=-6 * 60, ext_close=17 * 60)

#: the calendars of the sample venues: US stocks, and the CME group's Globex for every future
STOCK_CALENDAR, FUTURES_CALENDAR = "XNYS", "CMES"
#: the last year the calendars are built for; later weekdays all trade
LAST_DAY = dt.date(2060, 12, 31)
#: minutes a stock's extended session runs past an early close (its after-hours)
AFTER_HOURS = 4 * 60


@dataclass(frozen=True)
class _Closures:
    closed: np.ndarray  # day indices of weekdays without a session, sorted
    early: dict[int, int]  # day index -> minutes after local midnight the session ends early


@cache
def _closures(code: str) -> _Closures:
    import exchange_calendars

    cal = exchange_calendars.get_calendar(code, start=EPOCH.isoformat(), end=LAST_DAY.isoformat())
    weekdays = np.arange(day_index(EPOCH), day_index(LAST_DAY + dt.timedelta(days=1)), dtype=np.int64)
    sessions = np.array([day_index(d) for d in cal.sessions.date], dtype=np.int64)
    closes = cal.schedule["close"]
    early = {}
    for day in cal.early_closes:
        close = closes[day].to_pydatetime().astimezone(EXCHANGE_TZ)
        early[day_index(day.date())] = close.hour * 60 + close.minute
    return _Closures(np.setdiff1d(weekdays, sessions), early)


def warm() -> None:
    """Build the stock calendar now (about a second): a gateway does it before it listens, so no
    client's first request waits for it and times a started gateway answers are its steady ones."""
    _closures(STOCK_CALENDAR)


def session_closes(days: np.ndarray, hours: Hours, rth: bool, code: str) -> np.ndarray:
    """Unix time each trading day's session ends, early on a holiday's eve."""
    usual = hours.bounds(rth)[1]
    early = _closures(code).early
    minutes = np.array(
        [min(usual, early[k] + (0 if rth or code != STOCK_CALENDAR else AFTER_HOURS)) if k in early else usual
         for k in days.tolist()],
        dtype=np.int64,
    )  # fmt: skip
    return midnight_epochs(days) + minutes * 60


def day_index(day: dt.date) -> int:
    """Weekdays from EPOCH up to ``day`` (a weekend day maps to the next Monday)."""
    return int(np.busday_count(EPOCH, day))


def day_of(index: int) -> dt.date:
    return np.busday_offset(EPOCH, index, roll="forward").astype(dt.date)


def trading_days(first: dt.date, last: dt.date, code: str = STOCK_CALENDAR) -> np.ndarray:
    """Day indices of the days from ``first`` to ``last`` inclusive that the exchange ``code`` trades."""
    first = max(first, EPOCH)
    if last < first:
        return np.empty(0, dtype=np.int64)
    days = np.arange(day_index(first), day_index(last + dt.timedelta(days=1)), dtype=np.int64)
    return days[~np.isin(days, _closures(code).closed)]


@lru_cache(maxsize=65536)
def midnight_epoch(index: int) -> int:
    """Unix time of local midnight that starts trading day ``index``."""
    day = day_of(index)
    return int(dt.datetime(day.year, day.month, day.day, tzinfo=EXCHANGE_TZ).timestamp())


def midnight_epochs(days: np.ndarray) -> np.ndarray:
    return np.fromiter((midnight_epoch(int(k)) for k in days), dtype=np.int64, count=len(days))


def local(instant: dt.datetime) -> dt.datetime:
    return instant.astimezone(EXCHANGE_TZ)


def session_open(index: int, hours: Hours, rth: bool) -> int:
    """Unix time at which trading day ``index`` opens."""
    return midnight_epoch(index) + hours.bounds(rth)[0] * 60


def ib_datetime(instant: dt.datetime) -> str:
    """The gateway's text for an instant: local time followed by the zone name."""
    return local(instant).strftime("%Y%m%d %H:%M:%S ") + TZ_LABEL
