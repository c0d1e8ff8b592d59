"""The live quotes as text lines: one row per symbol, columns aligned."""

from __future__ import annotations

import datetime as dt
import math
from typing import Any
from zoneinfo import ZoneInfo

from corvane.clock import EXCHANGE_ZONE

HEADER = ("symbol", "last", "change", "change %", "bid", "ask", "volume", "time")
NO_CONNECTION = "(no connection)"
WAITING = "(waiting for a quote)"


def _value(ticker: Any, name: str) -> float | None:
    value = getattr(ticker, name, None)
    if not isinstance(value, (int, float)) or math.isnan(value) or value == -1:
        return None
    return float(value)


def _price(value: float | None) -> str:
    return "-" if value is None else f"{value:,.2f}"


def _time(ticker: Any) -> str:
    stamp = getattr(ticker, "lastTimestamp", None) or getattr(ticker, "time", None)
    if not isinstance(stamp, dt.datetime):
        return "-"
    # the exchange's clock, as the bar tables show it, whatever this machine's zone
    return stamp.astimezone(ZoneInfo(EXCHANGE_ZONE)).strftime("%H:%M:%S")


def row(symbol: str, ticker: Any) -> tuple[str, ...] | str:
    """The cells of one symbol, or the one text that stands for them."""
    if ticker is None:
        return NO_CONNECTION
    last, close = _value(ticker, "last"), _value(ticker, "close")
    bid, ask = _value(ticker, "bid"), _value(ticker, "ask")
    if last is None and bid is None and ask is None and close is None:
        return WAITING
    shown = last if last is not None else close
    change = shown - close if shown is not None and close else None
    volume = _value(ticker, "volume")
    return (
        _price(shown),
        "-" if change is None else f"{change:+,.2f}",
        "-" if change is None or not close else f"{100 * change / close:+.2f}%",
        _price(bid),
        _price(ask),
        "-" if volume is None else f"{int(volume):,}",
        _time(ticker),
    )


def render(rows: list[tuple[str, Any]]) -> list[str]:
    """Text lines for (symbol, ticker or None) pairs: a header, then one line per symbol."""
    cells = [(symbol, row(symbol, ticker)) for symbol, ticker in rows]
    width = [len(h) for h in HEADER]
    for symbol, values in cells:
        width[0] = max(width[0], len(symbol))
        if isinstance(values, tuple):
            for i, text in enumerate(values, 1):
                width[i] = max(width[i], len(text))

    def line(first: str, rest: tuple[str, ...]) -> str:
        return "  ".join([first.ljust(width[0]), *(t.rjust(w) for t, w in zip(rest, width[1:]))])

    lines = [line(HEADER[0], HEADER[1:])]
    for symbol, values in cells:
        lines.append(line(symbol, values) if isinstance(values, tuple) else f"{symbol.ljust(width[0])}  {values}")
    return lines
