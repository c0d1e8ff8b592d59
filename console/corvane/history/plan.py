"""The request planner: a range of days, or a count of bars, as legal historical-bar requests.

The gateway refuses a request longer than its step table allows for the bar size ("Time
length exceed max."), an end date with adjusted bars, and counts every request against
its pacing rules (see :mod:`corvane.history.pacing`). So a range is cut into the fewest
requests the table allows, each ending on a trading day, none for a day the exchange is
closed or has not opened yet, none before the first data point (the head timestamp).
Pure: the caller passes ``now`` and does the requests; each chunk says which span and
which trading days it covers so the caller can trim, store and resume.
"""

from __future__ import annotations

import collections
import dataclasses
import datetime as dt
import math
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

from .pacing import DEFAULT_RULES, PacingRules, floor_seconds
from .trading_calendar import NYSE, calendar

#: the download word's intervals -> the gateway's bar size text
BAR_SIZES: Mapping[str, str] = {
    "1s": "1 secs",
    "5s": "5 secs",
    "10s": "10 secs",
    "15s": "15 secs",
    "30s": "30 secs",
    "1m": "1 min",
    "2m": "2 mins",
    "5m": "5 mins",
    "15m": "15 mins",
    "30m": "30 mins",
    "1h": "1 hour",
    "4h": "4 hours",
    "1d": "1 day",
    "1wk": "1 week",
    "1mo": "1 month",
}

#: every bar size the gateway knows, in seconds (a month counted as 30 days, for ordering only)
BAR_SECONDS: Mapping[str, int] = {
    "1 secs": 1,
    "5 secs": 5,
    "10 secs": 10,
    "15 secs": 15,
    "30 secs": 30,
    "1 min": 60,
    "2 mins": 120,
    "3 mins": 180,
    "5 mins": 300,
    "10 mins": 600,
    "15 mins": 900,
    "20 mins": 1200,
    "30 mins": 1800,
    "1 hour": 3600,
    "2 hours": 7200,
    "3 hours": 10800,
    "4 hours": 14400,
    "8 hours": 28800,
    "1 day": 86400,
    "1 week": 604800,
    "1 month": 2592000,
}

#: The gateway's step sizes: each duration with the smallest and largest bar size it allows.
#: Beyond 365 days only whole years ("N Y"), and only for the bar sizes "1 Y" allows.
STEP_TABLE: tuple[tuple[str, str, str], ...] = (
    ("60 S", "1 secs", "1 min"),
    ("120 S", "1 secs", "2 mins"),
    ("1800 S", "1 secs", "30 mins"),
    ("3600 S", "5 secs", "1 hour"),
    ("14400 S", "10 secs", "3 hours"),
    ("28800 S", "30 secs", "8 hours"),
    ("1 D", "1 min", "1 day"),
    ("2 D", "2 mins", "1 day"),
    ("1 W", "3 mins", "1 week"),
    ("1 M", "30 mins", "1 month"),
    ("1 Y", "1 day", "1 month"),
)


class PlanError(ValueError):
    """A history request that cannot be planned, with the reason in words."""


@dataclass(frozen=True)
class Session:
    """Session bounds in minutes after the trading day's local midnight (negative: the evening before)."""

    rth_open: int = 9 * 60 + 30
    rth_close: int = 16 * 60
    ext_open: int = 4 * 60
    ext_close: int = 20 * 60

    def bounds(self, outside_rth: bool) -> tuple[int, int]:
        return (self.ext_open, self.ext_close) if outside_rth else (self.rth_open, self.rth_close)


STOCK_SESSION = Session()
#: A US index future's day in New York time, for contract details that do not tell.
FUTURES_SESSION = Session(ext_open=-6 * 60, ext_close=17 * 60)
NEW_YORK = "America/New_York"
#: The gateway's names of the US zones, as the zone database names them now.
_IB_ZONES = {"US/Eastern": NEW_YORK, "US/Central": "America/Chicago", "US/Mountain": "America/Denver",
             "US/Pacific": "America/Los_Angeles"}  # fmt: skip


def exchange_hours(details: Any) -> tuple[str, Session]:
    """The exchange's zone and session bounds from contract details (``timeZoneId``,
    ``tradingHours``, ``liquidHours``): a future of the CME trades on Chicago's clock.
    New York and :data:`FUTURES_SESSION` when the details do not say."""
    try:
        zone = _IB_ZONES.get(details.timeZoneId, details.timeZoneId)
        ZoneInfo(zone)
        ext_open, ext_close = _usual_day(details.tradingSessions())
        rth_open, rth_close = _usual_day(details.liquidSessions())
    except Exception:  # details missing, or hours in a shape not known here
        return NEW_YORK, FUTURES_SESSION
    return zone, Session(rth_open, rth_close, ext_open, ext_close)


def _usual_day(sessions: Sequence[Any]) -> tuple[int, int]:
    """The bounds most of the listed trading days have, in minutes after the local midnight
    of the day a session ends: its first open, its last close. Not simply the first day's,
    which may be a holiday's early close."""
    days: dict[dt.date, tuple[int, int]] = {}
    for one in sessions:
        day = one.end.date()
        midnight = dt.datetime.combine(day, dt.time(), one.end.tzinfo)
        opens, closes = (round((t - midnight).total_seconds() / 60) for t in (one.start, one.end))
        days[day] = (days[day][0], closes) if day in days else (opens, closes)
    return collections.Counter(days.values()).most_common(1)[0][0]


@dataclass(frozen=True)
class HistoryQuery:
    """One symbol's bars as asked: exchange-zone days ``start`` to ``end`` (both included) or the ``last`` N bars."""

    interval: str
    start: dt.date | None = None
    end: dt.date | None = None  # None: up to now
    last: int | None = None
    adjusted: bool = False
    outside_rth: bool = False
    head: dt.datetime | None = None  # the first data point the gateway has (reqHeadTimeStamp)
    zone: str = NEW_YORK
    exchange: str = NYSE  # the code of the exchange's trading calendar
    session: Session = STOCK_SESSION

    def __post_init__(self) -> None:
        if self.interval not in BAR_SIZES:
            raise PlanError(f"unknown interval {self.interval!r}; use one of {' '.join(BAR_SIZES)}")
        if self.last is not None:
            if self.start is not None or self.end is not None:
                raise PlanError("give either a range of days or a count of last bars, not both")
            if isinstance(self.last, bool) or not isinstance(self.last, int) or self.last < 1:
                raise PlanError(f"the count of last bars must be a positive whole number, not {self.last!r}")
        elif self.start is None:
            raise PlanError("a range needs a start day (or ask for the last N bars)")
        if self.start is not None and self.end is not None and self.end < self.start:
            raise PlanError(f"the range ends ({self.end}) before it starts ({self.start})")
        if self.head is not None and self.head.tzinfo is None:
            raise PlanError("the head timestamp must carry a time zone")
        try:
            ZoneInfo(self.zone)
        except (ZoneInfoNotFoundError, ValueError):
            raise PlanError(f"unknown time zone {self.zone!r}") from None

    @property
    def bar_size(self) -> str:
        return BAR_SIZES[self.interval]

    @property
    def what_to_show(self) -> str:
        return "ADJUSTED_LAST" if self.adjusted else "TRADES"

    @property
    def tz(self) -> ZoneInfo:
        return ZoneInfo(self.zone)


@dataclass(frozen=True)
class HistoryChunk:
    """One request: the gateway's arguments, and the span and trading days its bars cover."""

    end_datetime: str  # empty for adjusted bars, which end now
    duration: str
    bar_size: str
    what_to_show: str
    use_rth: bool
    start: dt.datetime  # bars stamped from here ...
    end: dt.datetime  # ... to here (the instant the request ends at), both aware
    first_day: dt.date
    last_day: dt.date


def format_end(instant: dt.datetime) -> str:
    """The end date text ib_async sends for an aware datetime."""
    return instant.astimezone(dt.UTC).strftime("%Y%m%d %H:%M:%S UTC")


def legal_durations(bar_size: str) -> tuple[str, ...]:
    """The durations of the step table that allow ``bar_size``, shortest first."""
    if bar_size not in BAR_SECONDS:
        raise PlanError(f"unknown bar size {bar_size!r}")
    size = BAR_SECONDS[bar_size]
    return tuple(d for d, low, high in STEP_TABLE if BAR_SECONDS[low] <= size <= BAR_SECONDS[high])


def largest_step(bar_size: str) -> str:
    """The longest duration one request may cover for ``bar_size``."""
    return legal_durations(bar_size)[-1]


def trading_days(first: dt.date, last: dt.date, exchange: str = NYSE) -> list[dt.date]:
    return calendar(exchange).days(first, last)


def _split(duration: str) -> tuple[int, str]:
    count, unit = duration.split()
    return int(count), unit


def _minus_months(instant: dt.datetime, months: int) -> dt.datetime:
    year, month = divmod(instant.year * 12 + instant.month - 1 - months, 12)
    month += 1
    last_day = ((dt.date(year + month // 12, month % 12 + 1, 1)) - dt.timedelta(days=1)).day
    return instant.replace(year=year, month=month, day=min(instant.day, last_day))


def span_back(end: dt.datetime, duration: str) -> dt.datetime:
    """Where a calendar duration reaching back from ``end`` starts (wall-clock arithmetic, as the gateway counts)."""
    count, unit = _split(duration)
    if unit in "SDW":
        seconds = {"S": 1, "D": 86400, "W": 7 * 86400}[unit] * count
        return (end.replace(tzinfo=None) - dt.timedelta(seconds=seconds)).replace(tzinfo=end.tzinfo)
    return _minus_months(end, count * (12 if unit == "Y" else 1))


def _intraday(query: HistoryQuery) -> bool:
    return BAR_SECONDS[query.bar_size] < 86400


def _periods(query: HistoryQuery) -> bool:
    return query.bar_size in ("1 week", "1 month")


def period_start(query: HistoryQuery, day: dt.date) -> dt.date:
    """The first calendar day of the week (Monday) or month ``day`` is in."""
    if query.bar_size == "1 week":
        return day - dt.timedelta(days=day.weekday())
    return day.replace(day=1)


def _period_end(query: HistoryQuery, day: dt.date) -> dt.date:
    if query.bar_size == "1 week":
        return period_start(query, day) + dt.timedelta(days=6)
    return (period_start(query, day) + dt.timedelta(days=31)).replace(day=1) - dt.timedelta(days=1)


def session_close(query: HistoryQuery, day: dt.date) -> dt.datetime:
    """The instant ``day``'s session ends: the usual close, or the exchange's early close.

    After an early close a stock's extended session runs on as long after it as usual (its
    after-hours), never past the usual extended close; an overnight session ends there.
    """
    midnight = dt.datetime(day.year, day.month, day.day, tzinfo=query.tz)
    usual = midnight + dt.timedelta(minutes=query.session.bounds(query.outside_rth)[1])
    early = calendar(query.exchange).early_close(day)
    if early is None:
        return usual
    if query.outside_rth and query.session.ext_open >= 0:  # not an overnight session: it stops at the early close
        early += dt.timedelta(minutes=max(0, query.session.ext_close - query.session.rth_close))
    return min(usual, early.astimezone(query.tz))


class _Calendar:
    """The query's trading days and session instants, in its zone, as of ``now``."""

    def __init__(self, query: HistoryQuery, now: dt.datetime):
        if now.tzinfo is None:
            raise PlanError("now must carry a time zone")
        self.query = query
        self.tz = query.tz
        self.now = now.astimezone(self.tz).replace(microsecond=0)
        self.trading = calendar(query.exchange)
        self.open_minutes, self.close_minutes = query.session.bounds(query.outside_rth)
        #: A session that opens the evening before (a future's overnight one): the evening of a
        #: calendar day is the next trading day's, and the gateway counts sessions back from a
        #: request's end, so a day's request ends at its close, not at midnight.
        self.overnight = self.open_minutes < 0

    def midnight(self, day: dt.date) -> dt.datetime:
        return dt.datetime(day.year, day.month, day.day, tzinfo=self.tz)

    def opens(self, day: dt.date) -> dt.datetime:
        return self.midnight(day) + dt.timedelta(minutes=self.open_minutes)

    def day_end(self, day: dt.date) -> dt.datetime:
        """The instant a request for ``day`` ends at: the day's last second (an overnight
        session's close), or now for today."""
        if self.overnight:
            return min(session_close(self.query, day), self.now)
        return min(dt.datetime(day.year, day.month, day.day, 23, 59, 59, tzinfo=self.tz), self.now)

    def days(self, first: dt.date, last: dt.date) -> list[dt.date]:
        """Trading days from ``first`` to ``last`` whose session has opened by now, none before the head."""
        head = self.query.head
        if head is not None:
            first = max(first, head.astimezone(self.tz).date())
        last = min(last, self.now.date() + dt.timedelta(days=1 if self.overnight else 0))
        return [d for d in self.trading.days(first, last) if self.opens(d) <= self.now]

    def days_back(self, last: dt.date, count: int) -> list[dt.date]:
        """The last ``count`` trading days up to ``last`` (fewer where the head stops them)."""
        reach = count * 7 // 5 + count // 10 + 10  # weekends, and room for holidays
        return self.days(last - dt.timedelta(days=reach), last)[-count:]

    def whole_periods(self, days: list[dt.date], up_to: dt.date | None = None) -> list[dt.date]:
        """``days`` widened to whole weeks or months (to ``up_to`` at most): the gateway builds a
        week's or month's bar from the days inside a request only, so a request that begins or
        ends inside one would answer a part of it under the whole one's name."""
        if not days or not _periods(self.query):
            return days
        last = _period_end(self.query, days[-1]) if up_to is None else min(up_to, _period_end(self.query, days[-1]))
        return self.days(period_start(self.query, days[0]), max(last, days[-1]))

    def whole_bar_start(self, start: dt.datetime) -> dt.datetime:
        """Where the first whole bar of a request reaching back to ``start`` begins: ``start`` itself
        before its day's session opens, else the next bar boundary (the gateway cuts the bar it
        starts inside, and stamps the cut part as if it were whole)."""
        seconds = BAR_SECONDS[self.query.bar_size]
        start = start.astimezone(self.tz)
        day = start.date()
        if seconds >= 86400 or start <= self.opens(day):
            return start
        into = (start.replace(tzinfo=None) - dt.datetime(day.year, day.month, day.day)).total_seconds()
        return self.midnight(day) + dt.timedelta(seconds=math.ceil(into / seconds) * seconds)


def _fit(cal: _Calendar, end: dt.datetime, days: Sequence[dt.date]) -> str | None:
    """The shortest legal duration ending at ``end`` that reaches back over all of ``days``."""
    query = cal.query
    reach = cal.opens(days[0])
    for duration in legal_durations(query.bar_size):
        count, unit = _split(duration)
        if unit == "S":
            continue  # never a whole session
        if unit == "D" and _intraday(query):
            # Intraday days count sessions back from the end, not calendar days.
            if count == len(days) and (count == 1 or _adjacent(days[0], days[1])):
                return duration
            continue
        if span_back(end, duration) <= reach:
            return duration
    if "1 Y" in legal_durations(query.bar_size):
        years = 2
        while span_back(end, f"{years} Y") > reach:
            years += 1
        return f"{years} Y"
    return None


def _fit_start(cal: _Calendar, end: dt.datetime, fit: str, days: Sequence[dt.date]) -> dt.datetime:
    if _split(fit)[1] == "D" and _intraday(cal.query):
        return cal.opens(days[0])
    return cal.whole_bar_start(min(span_back(end, fit), cal.opens(days[0])))


def _adjacent(day: dt.date, next_day: dt.date) -> bool:
    """No weekday between: a session count of two reaches both on any gateway's calendar."""
    step = 3 if day.weekday() == 4 else 1
    return day + dt.timedelta(days=step) == next_day


def _chunk(
    cal: _Calendar, end: dt.datetime, duration: str, days: Sequence[dt.date], start: dt.datetime
) -> HistoryChunk:
    query = cal.query
    return HistoryChunk(
        end_datetime="" if query.adjusted else format_end(end),
        duration=duration,
        bar_size=query.bar_size,
        what_to_show=query.what_to_show,
        use_rth=not query.outside_rth,
        start=start,
        end=end,
        first_day=days[0],
        last_day=days[-1],
    )


def _by_sessions(cal: _Calendar, days: list[dt.date], per_request: int) -> list[HistoryChunk]:
    chunks, i = [], len(days) - 1
    while i >= 0:
        take = 2 if per_request == 2 and i >= 1 and _adjacent(days[i - 1], days[i]) else 1
        group = days[i - take + 1 : i + 1]
        chunks.append(_chunk(cal, cal.day_end(group[-1]), f"{take} D", group, cal.opens(group[0])))
        i -= take
    return chunks[::-1]


def _by_calendar(cal: _Calendar, days: list[dt.date], step: str) -> list[HistoryChunk]:
    chunks, remaining = [], days
    while remaining:
        end = cal.day_end(remaining[-1])
        fit = _fit(cal, end, remaining)
        if fit is not None:
            chunks.append(_chunk(cal, end, fit, remaining, _fit_start(cal, end, fit, remaining)))
            break
        start = span_back(end, step)
        # Days whose session opens after the start are this request's; the rest go on to the next.
        split = sum(1 for d in remaining if cal.opens(d) <= start)
        chunks.append(_chunk(cal, end, step, remaining[split:], cal.whole_bar_start(start)))
        remaining = remaining[:split]
    return chunks[::-1]


#: how far back the gateway keeps bars of 30 seconds or less
SMALL_BAR_REACH_MONTHS = 6


def _small(query: HistoryQuery) -> bool:
    return BAR_SECONDS[query.bar_size] <= 30


def _within_reach(cal: _Calendar, days: list[dt.date]) -> list[dt.date]:
    """Refuse a range of small bars older than the gateway keeps; a count of last bars stops there."""
    if not _small(cal.query) or not days:
        return days
    earliest = _minus_months(cal.now, SMALL_BAR_REACH_MONTHS).date()
    if cal.query.last is None and days[0] < earliest:
        raise PlanError(
            f"bars of {cal.query.bar_size} go back {SMALL_BAR_REACH_MONTHS} months at most (to {earliest}), "
            f"not to {days[0]}"
        )
    return [d for d in days if d >= earliest]


def check_reach(query: HistoryQuery, now: dt.datetime) -> None:
    """Raise PlanError for a range of small bars older than the gateway keeps."""
    if _small(query) and query.last is None:
        cal = _Calendar(query, now)
        _within_reach(cal, _range_days(cal))


def _by_seconds(cal: _Calendar, days: list[dt.date], step: str) -> list[HistoryChunk]:
    """Each session cut back from its close into requests of ``step`` seconds, the first reaching its open."""
    chunks = []
    for day in days:
        # From the early close on a half day: the hours after it hold no bars to ask for.
        chunks += _cut_back(cal, cal.opens(day), min(session_close(cal.query, day), cal.now), step, [day])
    return chunks


def _cut_back(
    cal: _Calendar, first: dt.datetime, last: dt.datetime, step: str, days: list[dt.date]
) -> list[HistoryChunk]:
    """Requests of ``step`` seconds from ``last`` back to ``first`` (the oldest one shorter), oldest first."""
    seconds = dt.timedelta(seconds=_split(step)[0])
    pieces, end = [], last
    while end > first:
        pieces.append(_chunk(cal, end, step, days, max(first, end - seconds)))
        end -= seconds
    return pieces[::-1]


def split(query: HistoryQuery, chunk: HistoryChunk, now: dt.datetime) -> list[HistoryChunk]:
    """A request that took too long as smaller ones covering the same bars: one per session, or
    a session's span in two or more pieces of seconds; empty when it cannot be cut further."""
    if query.adjusted or not _intraday(query) or _split(chunk.duration)[1] == "S":
        return []  # pieces of seconds are cut no further: a timeout of theirs is named
    cal = _Calendar(query, now)
    days = cal.days(chunk.first_day, chunk.last_day)
    if len(days) > 1:
        return _by_sessions(cal, days, 1)
    if not days:
        return []
    # Only the session has bars: the pieces cut it alone, the outer ones stretched to the whole span.
    first = max(chunk.start, cal.opens(days[0]))
    last = min(chunk.end, cal.midnight(days[0]) + dt.timedelta(minutes=cal.close_minutes))
    span = (last - first).total_seconds()
    halves = [d for d in legal_durations(query.bar_size) if _split(d)[1] == "S" and _split(d)[0] < span]
    if not halves:
        return []
    step = next((d for d in halves if 2 * _split(d)[0] >= span), halves[-1])
    pieces = _cut_back(cal, first, last, step, days)
    pieces[0] = dataclasses.replace(pieces[0], start=chunk.start)
    pieces[-1] = dataclasses.replace(pieces[-1], end=chunk.end)
    return pieces


def _plan_days(cal: _Calendar, days: list[dt.date]) -> list[HistoryChunk]:
    days = _within_reach(cal, days)
    if not days:
        return []
    if cal.query.adjusted:
        return [_adjusted(cal, cal.days(days[0], cal.now.date()))]
    step = largest_step(cal.query.bar_size)
    count, unit = _split(step)
    if unit == "D" and _intraday(cal.query):
        return _by_sessions(cal, days, count)
    if unit == "S":
        return _by_seconds(cal, days, step)
    return _by_calendar(cal, days, step)


def _adjusted(cal: _Calendar, days: list[dt.date]) -> HistoryChunk:
    # The gateway takes no end date with adjusted bars: one request back from now, trimmed afterwards.
    fit = _fit(cal, cal.now, days)
    if fit is None:
        step = largest_step(cal.query.bar_size)
        raise PlanError(
            f"adjusted {cal.query.bar_size} bars can only be asked back from now, at most {step}; "
            f"{days[0]} is further back than that"
        )
    return _chunk(cal, cal.now, fit, days, _fit_start(cal, cal.now, fit, days))


def _range_days(cal: _Calendar) -> list[dt.date]:
    query = cal.query
    assert query.start is not None
    end = query.end or cal.now.date()
    if cal.overnight and _intraday(query):  # the last evening is the next trading day's
        end += dt.timedelta(days=1)
    return cal.days(query.start, end)


def bars_per_session(query: HistoryQuery) -> float:
    """Bars of the query's size in one session (a fraction for weeks and months)."""
    seconds = BAR_SECONDS[query.bar_size]
    if seconds < 86400:
        low, high = query.session.bounds(query.outside_rth)
        return math.ceil((high - low) * 60 / seconds)
    return {"1 day": 1.0, "1 week": 1 / 5, "1 month": 1 / 23}[query.bar_size]


def _sessions_for(query: HistoryQuery, bars: int) -> int:
    # One more than needed: the latest session may be partial.
    return math.ceil(bars / bars_per_session(query)) + 1


def plan(query: HistoryQuery, now: dt.datetime) -> list[HistoryChunk]:
    """The requests for ``query`` as of ``now`` (aware), oldest first; empty when no session falls in range."""
    cal = _Calendar(query, now)
    return _plan_days(cal, _asked_days(cal))


def _asked_days(cal: _Calendar) -> list[dt.date]:
    query = cal.query
    days = cal.days_back(cal.now.date(), _sessions_for(query, query.last)) if query.last else _range_days(cal)
    return cal.whole_periods(days)


def more(query: HistoryQuery, chunks: Sequence[HistoryChunk], bars: int) -> list[HistoryChunk]:
    """For ``last=N``: further requests when ``chunks`` gave only ``bars`` bars; empty when done or no data is older.

    Adjusted bars take no end date, so for them the one request returned reaches back over
    the earlier ones too and replaces them.
    """
    if query.last is None or bars >= query.last or not chunks:
        return []
    first = min(c.first_day for c in chunks)
    if query.head is not None and query.head.astimezone(query.tz).date() >= first:
        return []
    cal = _Calendar(query, max(c.end for c in chunks))
    missing = query.last - bars
    earlier = cal.days_back(first - dt.timedelta(days=1), _sessions_for(query, missing))
    earlier = cal.whole_periods(earlier, up_to=first - dt.timedelta(days=1))
    if not earlier:
        return []
    if query.adjusted:
        return [_adjusted(cal, cal.days(earlier[0], cal.now.date()))]
    return _plan_days(cal, earlier)


def minimum_requests(query: HistoryQuery, now: dt.datetime) -> int:
    """The fewest requests the step table allows for the query's sessions (the planner's yardstick)."""
    cal = _Calendar(query, now)
    days = _asked_days(cal)
    if not days:
        return 0
    if query.adjusted:
        return 1
    count, unit = _split(largest_step(query.bar_size))
    if unit == "D" and _intraday(query):
        return math.ceil(len(days) / count)
    if unit == "S":
        return len(_by_seconds(cal, _within_reach(cal, days), largest_step(query.bar_size)))
    end, reach = cal.day_end(days[-1]), cal.opens(days[0])
    if unit == "Y":
        return 1
    requests = 1
    while span_back(end, f"{requests * count} {unit}") > reach:
        requests += 1
    return requests


def estimate(
    chunks: Sequence[HistoryChunk] | Mapping[Hashable, Sequence[HistoryChunk]],
    scale: float = 1.0,
    rules: PacingRules = DEFAULT_RULES,
) -> float:
    """Seconds the pacing rules need at least to send ``chunks`` (per contract key when a mapping), at ``scale``."""
    plans = chunks if isinstance(chunks, Mapping) else {"": chunks}
    queues = [[(key, c) for c in plan_] for key, plan_ in plans.items()]
    # Interleaved across contracts, as the pacer serves waiters of several symbols.
    order = [q[i] for i in range(max(map(len, queues), default=0)) for q in queues if i < len(q)]
    requests = [
        ((key, c.what_to_show), (key, c.end_datetime, c.duration, c.bar_size, c.what_to_show, c.use_rth))
        for key, c in order
    ]
    return floor_seconds(requests, scale, rules)


__all__ = [
    "BAR_SIZES",
    "FUTURES_SESSION",
    "STEP_TABLE",
    "STOCK_SESSION",
    "HistoryChunk",
    "HistoryQuery",
    "PlanError",
    "Session",
    "bars_per_session",
    "check_reach",
    "estimate",
    "format_end",
    "largest_step",
    "legal_durations",
    "minimum_requests",
    "more",
    "period_start",
    "plan",
    "session_close",
    "span_back",
    "split",
    "trading_days",
]
