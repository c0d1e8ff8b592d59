"""The bars of the last command's result, as the console keeps them for charts and export.

Commands print their bars when they fetch them and print nothing when the
cache answers; the console then prints the same table itself, titled as the
fetch that stored them titled it and marked "(cached: from ibkr, fetched
14:02, 3 min ago)", so the user always sees what came back and how old it is.
"""

from __future__ import annotations

import datetime as dt
import sys
from dataclasses import dataclass
from typing import Any

from corvane import clock

CACHED_MARK = " (cached)"
YAHOO_MARK = " [yfinance]"


@dataclass
class LastResult:
    """One result's bars, where they came from, and the title of their table."""

    title: str
    symbol: str
    source: str  # ibkr, yfinance, or cache
    bars: list[dict]

    def frame(self):
        """Every bar, with the symbol and source columns, typed as well as pandas can."""
        import pandas as pd

        df = pd.DataFrame(self.bars).convert_dtypes()
        df["symbol"] = self.symbol
        df["source"] = self.source
        return df


def _adjust_words(op: Any) -> Any:
    module = sys.modules.get(type(op).__module__)
    return getattr(module, "ADJUST_KEYWORDS", ())


def _adjusted(result: dict, op: Any) -> bool:
    try:
        return result.get("adjust") in _adjust_words(op)
    except TypeError:  # an adjustment value that cannot be looked up
        return False


def fetch_title(result: dict, op: Any = None, source: Any = ...) -> str:
    """The title the command gives the table of a fetch with the same words from ``source``.

    Without ``source``, the result's: a cache answer from the Yahoo path
    carries none ("cache" for intraday); the gateway path's answers say
    "ibkr". A ``source`` of None (not known) marks neither.
    """
    symbol = str(result.get("symbol", ""))
    if source is ...:
        yahoo = result.get("source") in (None, "yfinance", "cache")
    else:
        yahoo = source == "yfinance"
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


def _when(fetched_at: float) -> str:
    """"fetched 14:02, 3 min ago" in the local zone, with the date when not today."""
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


#: The sources a fetch names in its result; "cache" (an intraday cache answer) is none.
FETCH_SOURCES = ("ibkr", "yfinance")


def settle_origin(op: Any, result: Any, printed_title: str | None) -> Any:
    """Tell the command's candle cache where a fetch's bars came from (the command
    stores them without saying); of a cache answer, the origin the cache knows.

    The cache holds the very list the result carries, which is how the two meet.
    """
    cache: Any = getattr(sys.modules.get(type(op).__module__), "_sorvel_cache", None)
    bars = result.get("bars") if isinstance(result, dict) and "error" not in result else None
    if cache is None or not hasattr(cache, "origin_of") or not isinstance(bars, list):
        return None
    if printed_title is None or result.get("cached"):
        return cache.origin_of(bars)
    if result.get("source") in FETCH_SOURCES:
        cache.note_source(bars, result["source"])
    return None


def capture(result: Any, op: Any, printed_title: str | None,
            origin: Any = None) -> LastResult | None:
    """What a command's result leaves for ``chart`` and ``export``; None without bars.

    ``printed_title`` is the title of the table the command printed for this
    result, None when it printed none (a cache answer), whose ``origin`` the
    cache told.
    """
    if not isinstance(result, dict) or "error" in result:
        return None
    bars = result.get("bars")
    if not isinstance(bars, list) or not all(isinstance(b, dict) for b in bars):
        return None
    cached = printed_title is None or bool(result.get("cached"))
    title = printed_title if printed_title is not None else cached_title(result, op, origin)
    source = "cache" if cached else str(result.get("source") or "")
    return LastResult(title=title, symbol=str(result.get("symbol", "")), source=source, bars=bars)
