"""What the console knows of the sorvel command, read from the command module's own tables and
word classifiers, so the console and the command never disagree.

The command's word rules are fixed (period words are exact and case-sensitive,
any unrecognised word becomes the adjustment word, the request span follows
from the count). A user who typed ``MONTH`` or ``adjusted`` gets an answer
that looks right and is not what was meant, so after the result the console
says how such words were taken. Words that cannot give any answer (a count
below one, a date not on the calendar, no symbol at all) are refused before
the command runs, in one line.
"""

from __future__ import annotations

import datetime as dt
import math
import sys
from collections.abc import Iterable
from typing import Any

from corvane import clock
from corvane.command_table import COMMAND_TABLE
from corvane.profiles.base import Profile

MODULE = COMMAND_TABLE["sorvel"].module
_ADJUST_WORDS = ("adj", "forward", "none")
_PERIOD_LIST = "1m, 5m, 15m, 30m, 1h, day, week, month, year (aliases minute, hour, d, w, m, y, 1d, 1mo)"
#: Words after the symbol besides the periods.
_OTHER_WORDS = ("adj", "forward", "none", "intraday", "today", "yesterday")
CACHED_MARK = " (cached)"
YAHOO_MARK = " [yfinance]"
#: The sources a fetch names in its result; "cache" (an intraday cache answer) is none.
FETCH_SOURCES = ("ibkr", "yfinance")


def module() -> Any:
    """The command module (loaded by whoever asks: commands, or its cache, exist only after it)."""
    return sys.modules[MODULE]


def bar_seconds(period: str) -> int | None:
    """Seconds per bar of a period word as the command maps it, None for no period word.

    Only the command makes candle caches, so its module is loaded whenever one asks;
    importing it here would reach up from the profiles to the commands."""
    m = sys.modules.get(MODULE)
    if m is None or period not in m.PERIOD_MAP:
        return None
    return int(m.BAR_SECONDS.get(m.PERIOD_MAP[period], 86_400))


def live_cache() -> Any:
    """The candle cache the command of this process holds, if it made one."""
    return getattr(sys.modules.get(MODULE), "_sorvel_cache", None)


def _int(word: str) -> int | None:
    try:
        return int(word)
    except ValueError:
        return None


def _latest_words(rest: list[str], m: Any) -> tuple[str, int, bool]:
    """(period word, count asked, whether a count word was typed), read as the command reads them."""
    period, at = "day", 0
    if rest and m._is_period(rest[0]):
        period, at = rest[0], 1
    count = m.PERIOD_DEFAULT_COUNT.get(period, 100)
    typed = at < len(rest) and _int(rest[at]) is not None
    if typed:
        count = _int(rest[at])
    return period, count, typed


def _span(period: str, count: int, m: Any) -> str:
    """The request span the command sent for ``count`` bars of ``period``."""
    seconds = m.BAR_SECONDS.get(m.PERIOD_MAP[period], 86_400)
    try:
        days = math.ceil(count * seconds * m.DURATION_FACTOR.get(period, 1.0) / 86_400)
    except OverflowError:
        return "longest"
    return str(m._calc_duration(days))


def _adjust_note(word: str, date_range: bool, m: Any) -> str | None:
    if word in _ADJUST_WORDS:
        return None
    head = f"{word!r} was read as the adjustment word"
    if m._is_period(word.lower()):
        return f"{head}; period words are lower case ({word.lower()}): {_PERIOD_LIST}"
    if word.lower() in _ADJUST_WORDS or word.lower().startswith("adj"):
        return f"{head} and is not one, so prices are unadjusted; use adj or forward"
    if date_range and _int(word) is not None:
        return f"{head}; a date range takes no count"
    return f"{head}; periods are {_PERIOD_LIST}; adjustment words are adj, forward, none"


def _session_note(result: dict) -> str | None:
    """Which session intraday bars are of, when it is not today's.

    Before the open, on a weekend or a holiday the gateway answers with the
    last session's minutes, which look like today's under the same title.
    """
    bars = result.get("bars")
    if result.get("type") != "intraday" or not isinstance(bars, list) or not bars:
        return None
    import pandas as pd

    stamp = pd.Timestamp(bars[-1].get("date"))
    if pd.isna(stamp):
        return None
    day, today = stamp.date(), clock.today()
    if day >= today:
        return None
    return f"these intraday bars are {day:%A %Y-%m-%d}'s session, not today's ({today:%A %Y-%m-%d})"


#: The download interval that asks for the bars of a sorvel period word (year bars have none).
_DOWNLOAD_INTERVALS = {
    "1m": "1m",
    "minute": "1m",
    "5m": "5m",
    "15m": "15m",
    "30m": "30m",
    "1h": "1h",
    "hour": "1h",
    "day": "1d",
    "d": "1d",
    "1d": "1d",
    "week": "1wk",
    "w": "1wk",
    "month": "1mo",
    "m": "1mo",
    "1mo": "1mo",
}


def _first_weekday(day: dt.date) -> dt.date:
    return day + dt.timedelta(days=7 - day.weekday() if day.weekday() >= 5 else 0)  # Saturday, Sunday: Monday


def _range_note(result: dict, rest: list[str], m: Any) -> str | None:
    """One line when a date-range answer does not hold the days asked, naming the download that does.

    The command keeps its own rule (the span is counted back from the end, whole years past a
    year), so its bars can start a day late or early, or the gateway can refuse the span; the
    trader asked for those days and should hear how to get exactly them.
    """
    at = 2 if len(rest) > 1 and m._is_date(rest[1]) else 1
    try:
        start = m._parse_date(rest[0])
        end = m._parse_date(rest[1]) if at == 2 else clock.today()
    except ValueError:
        return None
    period = rest[at] if at < len(rest) and m._is_period(rest[at]) else "day"
    interval = _DOWNLOAD_INTERVALS.get(period)
    symbol = result.get("symbol")
    if interval is None or not isinstance(symbol, str) or not symbol:
        return None
    line = f"corvane download {symbol} --start {start} --end {end} --interval {interval}"
    bars = result.get("bars")
    if "error" in result:
        return f"no bars for {start} to {end} this way; {line} asks for exactly those days"
    if not isinstance(bars, list) or not bars:
        return None
    import pandas as pd

    days = [pd.Timestamp(b.get("date")).date() for b in (bars[0], bars[-1]) if isinstance(b, dict)]
    if len(days) < 2 or (start <= days[0] <= _first_weekday(start) and days[1] <= end):
        return None
    return (
        f"these bars run from {days[0]} to {days[1]}, not the days asked ({start} to {end}); {line} gives exactly those"
    )


def fetch_title(result: dict, op: Any = None, source: Any = ...) -> str:
    """The title the command gives the table of a fetch with the same words from ``source``.

    Without ``source``, the result's: a cache answer from the Yahoo path
    carries none ("cache" for intraday); the gateway path's answers say
    "ibkr". A ``source`` of None (not known) marks neither.
    """
    symbol = str(result.get("symbol", ""))
    yahoo = result.get("source") in (None, "yfinance", "cache") if source is ... else source == "yfinance"
    if result.get("type") == "intraday":
        return f"{symbol} Intraday" + (YAHOO_MARK if yahoo else "")
    period = result.get("period")
    if "start" in result and "end" in result:
        title = f"{symbol} {period} {result['start']} ~ {result['end']}"
    elif period is not None and "count" in result:
        title = f"{symbol} {period} ({result['count']} bars)"
    else:
        bars = result.get("bars") or []
        return f"{symbol} ({len(bars)} bars)".strip()
    if yahoo:
        return title + YAHOO_MARK
    return title + (" (adjusted)" if _adjusted(result, op) else "")


def _adjusted(result: dict, op: Any) -> bool:
    try:
        return result.get("adjust") in getattr(sys.modules.get(MODULE), "ADJUST_KEYWORDS", ())
    except TypeError:  # an adjustment value that cannot be looked up
        return False


def _when(fetched_at: float) -> str:
    """ "fetched 14:02, 3 min ago" in the local zone, with the date when not today."""
    at = dt.datetime.fromtimestamp(fetched_at, dt.UTC).astimezone()
    now = clock.now(dt.UTC).astimezone()
    shown = at.strftime("%H:%M" if at.date() == now.date() else "%Y-%m-%d %H:%M")
    minutes = int((now - at).total_seconds() // 60)
    if minutes < 1:
        ago = "just now"
    elif minutes < 120:
        ago = f"{minutes} min ago"
    elif minutes < 48 * 60:
        ago = f"{minutes // 60} h ago"
    else:
        ago = f"{minutes // (24 * 60)} days ago"
    return f"fetched {shown}, {ago}"


def cached_title(result: dict, op: Any, origin: Any) -> str:
    """The title of a cache answer's table: the stored fetch's title, where from and when.

    ``origin`` has ``source`` (None: not known) and ``fetched_at`` (seconds
    since the epoch); an origin of None (an entry kept before origins were)
    says nothing of either.
    """
    if origin is None:
        return fetch_title(result, op, None) + CACHED_MARK
    where = f"from {origin.source}, " if origin.source else ""
    return f"{fetch_title(result, op, origin.source)} (cached: {where}{_when(origin.fetched_at)})"


class SorvelProfile(Profile):
    help_notes = """

Console:
  sorvel /ES day 20   a leading / names a future (ES, NQ, YM, CL, GC, ...): its front
                      month, asked for as the continuous series; the summary line
                      names the contract month
  Tab completes symbols used before, period words, adj / forward / none.
  Period words are lower case; the console says when a word was read otherwise."""

    def refusal(self, op: Any) -> str | None:
        # A missing symbol word reaches the command as "", which it answers with an error
        # result (exit 1); it is words the console cannot use.
        if not str(getattr(op, "symbol", "") or "").strip():
            return (
                "a symbol is needed; usage: sorvel SYMBOL [period] [count] [adj] (help sorvel for dates and intraday)"
            )
        m = module()
        rest = list(getattr(op, "rest", None) or [])
        if not rest or rest[0] == "intraday":
            return None
        if m._is_date(rest[0]):
            words = rest[:2] if len(rest) > 1 and m._is_date(rest[1]) else rest[:1]
            days = []
            for word in words:
                try:
                    days.append(m._parse_date(word))
                except ValueError:
                    return f"{word!r} is not a date on the calendar (dates are YYYY-MM-DD)"
            start, end = days[0], days[1] if len(days) > 1 else m._parse_date("today")
            if start >= end:
                return f"the start date must be before the end date, and {start} is not before {end}"
            return None
        _, count, typed = _latest_words(rest, m)
        if typed and count < 1:
            return f"the count must be 1 or more, not {count}"
        return None

    def notes(self, op: Any, result: dict) -> list[str]:
        m = module()
        rest = list(getattr(op, "rest", None) or [])
        date_range = bool(rest) and bool(m._is_date(rest[0]))
        notes = []
        session = _session_note(result)
        if session:
            notes.append(session)
        adjust = result.get("adjust")
        if isinstance(adjust, str):
            note = _adjust_note(adjust, date_range, m)
            if note:
                notes.append(note)
        if date_range:
            note = _range_note(result, rest, m)
            if note:
                notes.append(note)
        bars = result.get("bars")
        if "count" in result and isinstance(bars, list) and not date_range:
            period, asked, _ = _latest_words(rest, m)
            if 0 < len(bars) < asked:
                if result.get("source") == "yfinance":
                    notes.append(f"asked {asked}, Yahoo Finance gave {len(bars)}")
                else:
                    notes.append(f"asked {asked}, the gateway's {_span(period, asked, m)} span gave {len(bars)}")
        return notes

    def label(self, state: Any, result: Any) -> str:
        """ " (ESZ5, contract month 2025-12)" when the result's symbol was resolved as a future.

        The month is the contract details' delivery month: the last trading day can fall in
        the month before (crude oil), and the local symbol's month code follows delivery.
        """
        symbol = result.get("symbol") if isinstance(result, dict) else None
        if not isinstance(symbol, str) or not symbol.startswith("/"):
            return ""
        month = str(getattr(state, "contract_months", {}).get(symbol, "") or "")
        if len(month) < 6 or not month[:6].isdigit():
            return ""
        contract = getattr(state, "resolved", {}).get(symbol)
        local = getattr(contract, "localSymbol", "") or ""
        return f" ({local + ', ' if local else ''}contract month {month[:4]}-{month[4:6]})"

    def completions(self, before: list[str], symbols: list[str], groups: list[str]) -> Iterable[str]:
        if len(before) == 1:
            return symbols
        m = sys.modules.get(MODULE)
        return (*(m.PERIOD_MAP if m is not None else ()), *_OTHER_WORDS)

    def symbols_typed(self, words: list[str]) -> list[str]:
        return words[1:2]

    def cached_origin(self, result: dict) -> Any:
        cache = live_cache()
        bars = result.get("bars")
        return cache.origin_of(bars) if hasattr(cache, "origin_of") and isinstance(bars, list) else None

    def cached_title(self, result: dict, op: Any, origin: Any) -> str | None:
        return cached_title(result, op, origin)

    def note_source(self, op: Any, result: dict) -> None:
        # The command stores its bars without saying where they came from; the cache holds
        # the very list the result carries, which is how the two meet.
        cache = live_cache()
        bars = result.get("bars")
        if hasattr(cache, "note_source") and isinstance(bars, list) and result.get("source") in FETCH_SOURCES:
            cache.note_source(bars, result["source"])


PROFILE = SorvelProfile()
