"""The bars of the last command's result, as the console keeps them for charts and export.

Commands print their bars when they fetch them and print nothing when the
cache answers; the console then prints the same table itself, under the title
the command's profile gives a cache answer, so the user always sees what came
back and how old it is.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any


@dataclass
class LastResult:
    """One result's bars, where they came from, and the title of their table."""

    title: str
    symbol: str
    source: str  # ibkr, yfinance, or cache
    bars: list[dict]

    def frame(self) -> Any:
        """Every bar, with the symbol and source columns, typed as well as pandas can."""
        import pandas as pd

        df = pd.DataFrame(self.bars).convert_dtypes()
        df["symbol"] = self.symbol
        df["source"] = self.source
        return df


def capture(result: Any, title: str | None, cached: bool) -> LastResult | None:
    """What a command's result leaves for ``chart`` and ``export``; None without bars.

    ``title`` is that of the table printed for the result (by the command, or
    by the console for a cache answer).
    """
    if not isinstance(result, dict) or "error" in result:
        return None
    bars = result.get("bars")
    if not isinstance(bars, list) or not all(isinstance(b, dict) for b in bars):
        return None
    symbol = str(result.get("symbol", ""))
    if title is None:
        title = f"{symbol} ({len(bars)} bars)".strip()
    source = "cache" if cached else str(result.get("source") or "")
    return LastResult(title=title, symbol=symbol, source=source, bars=bars)
