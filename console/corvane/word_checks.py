"""What the console tells about a command's words: the ones it refuses, and how the rest were read.

The sorvel command's word rules are fixed (period words are exact and
case-sensitive, any unrecognised word becomes the adjustment word, the
request span follows from the count). A user who typed ``MONTH`` or
``adjusted`` gets an answer that looks right and is not what was meant, so
after the result the console says how such words were taken. Words that
cannot give any answer (a count below one, a date that is not on the
calendar, no symbol at all) are refused before the command runs, in one line.
"""

from __future__ import annotations

import math
import sys
from typing import Any, Callable


_ADJUST_WORDS = ("adj", "forward", "none")
_PERIOD_LIST = "1m, 5m, 15m, 30m, 1h, day, week, month, year (aliases minute, hour, d, w, m, y, 1d, 1mo)"


def _module(op: Any) -> Any:
    """The command's own module: its word classifiers and tables are the ones read here."""
    return sys.modules[type(op).__module__]


def _int(word: str) -> int | None:
    try:
        return int(word)
    except ValueError:
        return None


def _latest_words(rest: list[str], module: Any) -> tuple[str, int, bool]:
    """(period word, count asked, whether a count word was typed), read as the command reads them."""
    period, at = "day", 0
    if rest and module._is_period(rest[0]):
        period, at = rest[0], 1
    count = module.PERIOD_DEFAULT_COUNT.get(period, 100)
    typed = at < len(rest) and _int(rest[at]) is not None
    if typed:
        count = _int(rest[at])
    return period, count, typed


def _span(period: str, count: int, module: Any) -> str:
    """The request span the command sent for ``count`` bars of ``period``."""
    seconds = module.BAR_SECONDS.get(module.PERIOD_MAP[period], 86_400)
    try:
        days = math.ceil(count * seconds * module.DURATION_FACTOR.get(period, 1.0) / 86_400)
    except OverflowError:
        return "longest"
    return module._calc_duration(days)


def sorvel_refusal(op: Any) -> str | None:
    # A missing symbol word reaches the command as "", which it answers with an error
    # result (exit 1); it is words the console cannot use.
    if not str(getattr(op, "symbol", "") or "").strip():
        return ("a symbol is needed; usage: sorvel SYMBOL [period] [count] [adj] "
                "(help sorvel for dates and intraday)")
    module = _module(op)
    rest = list(getattr(op, "rest", None) or [])
    if not rest or rest[0] == "intraday":
        return None
    if module._is_date(rest[0]):
        words = rest[:2] if len(rest) > 1 and module._is_date(rest[1]) else rest[:1]
        days = []
        for word in words:
            try:
                days.append(module._parse_date(word))
            except ValueError:
                return f"{word!r} is not a date on the calendar (dates are YYYY-MM-DD)"
        start, end = days[0], days[1] if len(days) > 1 else module._parse_date("today")
        if start >= end:
            return (f"the start date must be before the end date, and {start} is not before "
                    f"{end}")
        return None
    _, count, typed = _latest_words(rest, module)
    if typed and count < 1:
        return f"the count must be 1 or more, not {count}"
    return None


def _adjust_note(word: str, date_range: bool, module: Any) -> str | None:
    if word in _ADJUST_WORDS:
        return None
    head = f"{word!r} was read as the adjustment word"
    if module._is_period(word.lower()):
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

    from corvane import clock
    stamp = pd.Timestamp(bars[-1].get("date"))
    if pd.isna(stamp):
        return None
    day, today = stamp.date(), clock.today()
    if day >= today:
        return None
    return f"these intraday bars are {day:%A %Y-%m-%d}'s session, not today's ({today:%A %Y-%m-%d})"


def sorvel_notes(op: Any, result: dict) -> list[str]:
    module = _module(op)
    rest = list(getattr(op, "rest", None) or [])
    date_range = bool(rest) and module._is_date(rest[0])
    notes = []
    session = _session_note(result)
    if session:
        notes.append(session)
    adjust = result.get("adjust")
    if isinstance(adjust, str):
        note = _adjust_note(adjust, date_range, module)
        if note:
            notes.append(note)
    bars = result.get("bars")
    if "count" in result and isinstance(bars, list) and not date_range:
        period, asked, _ = _latest_words(rest, module)
        if 0 < len(bars) < asked:
            if result.get("source") == "yfinance":
                notes.append(f"asked {asked}, Yahoo Finance gave {len(bars)}")
            else:
                notes.append(f"asked {asked}, the gateway's {_span(period, asked, module)} span "
                             f"gave {len(bars)}")
    return notes


def contract_month(state: Any, result: Any) -> str:
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


_REFUSALS: dict[str, Callable[[Any], str | None]] = {"sorvel": sorvel_refusal}
_NOTES: dict[str, Callable[[Any, dict], list[str]]] = {"sorvel": sorvel_notes}


def refusal(word: str, op: Any) -> str | None:
    """Why the command's words cannot give an answer, or None."""
    check = _REFUSALS.get(word.lower())
    try:
        return check(op) if check else None
    except Exception:  # when in doubt the command itself decides
        return None


def notes(word: str, op: Any, result: Any) -> list[str]:
    """Lines saying how words of a successful result were read, or what the result is of."""
    tell = _NOTES.get(word.lower())
    if tell is None or not isinstance(result, dict) or "error" in result:
        return []
    try:
        return tell(op, result)
    except Exception:  # a remark about the words must never cost the user the answer
        return []
