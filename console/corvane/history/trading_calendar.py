"""The days an exchange trades and the days it closes early, from a maintained calendar library.

The library and its tables take about a second to load, so a calendar is built on the
first plan that needs it and kept for the process; nothing here runs on import. The
calendar spans fixed years (never "from today"), so a plan does not depend on the wall
clock; beyond them every weekday counts as a trading day.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Mapping
from dataclasses import dataclass
from functools import lru_cache

#: the calendar of US stocks
NYSE = "XNYS"
#: venue names the library's own aliases do not know -> its calendar codes
_VENUES = {"GLOBEX": "CMES", "ECBOT": "CMES", "NYBOT": "IEPA", "SMART": NYSE, "ISLAND": NYSE}
#: the years the calendars are built for
FIRST = dt.date(1990, 1, 1)
LAST = dt.date(2060, 12, 31)


@dataclass(frozen=True)
class TradingCalendar:
    """Closed weekdays and early closes (aware instants) of one exchange."""

    code: str
    closed: frozenset[dt.date]
    early: Mapping[dt.date, dt.datetime]

    def trades(self, day: dt.date) -> bool:
        return day.weekday() < 5 and day not in self.closed

    def days(self, first: dt.date, last: dt.date) -> list[dt.date]:
        """The trading days from ``first`` to ``last``, both included."""
        out, day = [], first
        while day <= last:
            if self.trades(day):
                out.append(day)
            day += dt.timedelta(days=1)
        return out

    def early_close(self, day: dt.date) -> dt.datetime | None:
        """The instant ``day``'s session ends when it ends early, else None."""
        return self.early.get(day)


def code_for(exchange: str) -> str:
    """The calendar code for a venue's name (``CME`` -> the CME Globex calendar); NYSE's when unknown."""
    import exchange_calendars

    name = exchange.strip().upper()
    name = _VENUES.get(name, name)
    names = set(exchange_calendars.get_calendar_names(include_aliases=True))
    if name not in names:
        return NYSE
    return str(exchange_calendars.resolve_alias(name))


@lru_cache(maxsize=8)
def calendar(code: str = NYSE) -> TradingCalendar:
    import exchange_calendars

    cal = exchange_calendars.get_calendar(code, start=FIRST.isoformat(), end=LAST.isoformat())
    sessions = set(cal.sessions.date)
    closed = frozenset(
        day
        for n in range((LAST - FIRST).days + 1)
        if (day := FIRST + dt.timedelta(days=n)).weekday() < 5 and day not in sessions
    )
    closes = cal.schedule["close"]
    early = {day.date(): closes[day].to_pydatetime() for day in cal.early_closes}
    return TradingCalendar(code, closed, early)


__all__ = ["NYSE", "TradingCalendar", "calendar", "code_for"]
