"""Trading calendar of the sample market: weekdays only, sessions in New York time.

Days are numbered by their weekday count since ``EPOCH`` so that the price
generator can key its random draws on a stable integer; no holidays exist here.
"""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass
from functools import lru_cache
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


def day_index(day: dt.date) -> int:
    """Weekdays from EPOCH up to ``day`` (a weekend day maps to the next Monday)."""
    return int(np.busday_count(EPOCH, day))


def day_of(index: int) -> dt.date:
    return np.busday_offset(EPOCH, index, roll="forward").astype(dt.date)


def trading_days(first: dt.date, last: dt.date) -> np.ndarray:
    """Day indices of the weekdays from ``first`` to ``last`` inclusive."""
    first = max(first, EPOCH)
    if last < first:
        return np.empty(0, dtype=np.int64)
    return np.arange(day_index(first), day_index(last + dt.timedelta(days=1)), dtype=np.int64)


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
