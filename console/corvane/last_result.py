"""The bars of the last command's result, as the console keeps them for charts and export.

Commands print their bars when they fetch them and print nothing when the
cache answers; the console then prints the same table itself, titled as the
fetch would have titled it and marked "(cached)", so the user always sees
what came back.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import Any

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


def fetch_title(result: dict, op: Any = None) -> str:
    """The title the command gives the table of a fetch with the same words.

    A cache answer from the Yahoo path carries no "source" ("cache" for
    intraday); the gateway path's answers say "ibkr".
    """
    symbol = str(result.get("symbol", ""))
    yahoo = result.get("source") in (None, "yfinance", "cache")
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


def capture(result: Any, op: Any, printed_title: str | None) -> LastResult | None:
    """What a command's result leaves for ``chart`` and ``export``; None without bars.

    ``printed_title`` is the title of the table the command printed for this
    result, None when it printed none (a cache answer).
    """
    if not isinstance(result, dict) or "error" in result:
        return None
    bars = result.get("bars")
    if not isinstance(bars, list) or not all(isinstance(b, dict) for b in bars):
        return None
    cached = printed_title is None or bool(result.get("cached"))
    title = printed_title if printed_title is not None else fetch_title(result, op) + CACHED_MARK
    source = "cache" if cached else str(result.get("source") or "")
    return LastResult(title=title, symbol=str(result.get("symbol", "")), source=source, bars=bars)
