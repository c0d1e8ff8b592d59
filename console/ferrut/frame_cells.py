"""How each column of a bar table is written: one format per column, so digits line up."""

from __future__ import annotations

import datetime as dt
import math
import numbers
from collections.abc import Callable
from decimal import Decimal

import pandas as pd

#: Columns holding prices: never fewer than two decimals, as prices are quoted.
PRICE_COLUMNS = frozenset({"open", "high", "low", "close", "average", "adj close", "price"})
#: Columns holding counts: thousands separators, so 55,095,810 reads at a glance.
COUNT_COLUMNS = frozenset({"volume", "barcount", "count", "trades"})
#: More decimals than this are rounded: past it the digits are noise of the float, not data.
MAX_DECIMALS = 8
#: Wider text cells are cut, so one long text does not push every column off screen.
MAX_TEXT = 40
NA_TEXT = "NA"


def is_missing(value) -> bool:
    kind = type(value)
    if kind is float:  # the cells of most tables: answered without pandas, which costs more than the format
        return value != value
    if kind is int or kind is str or kind is pd.Timestamp:  # a Timestamp is never NaT
        return False
    try:
        return value is None or value is pd.NA or value is pd.NaT or bool(pd.isna(value))
    except (TypeError, ValueError):  # array-like cells
        return False


def _decimals(value: float) -> int:
    """The fewest decimals that write ``value`` exactly (its shortest round-trip form)."""
    if not math.isfinite(value):
        return 0
    text = repr(float(value))
    if "e" not in text:  # "223.1234": the digits after the point, less trailing zeros ("2.0": none)
        return len(text.partition(".")[2].rstrip("0"))
    exponent = Decimal(text).normalize().as_tuple().exponent
    return max(0, -exponent) if isinstance(exponent, int) else 0


def _is_number(value) -> bool:
    kind = type(value)
    return kind is float or kind is int or (isinstance(value, numbers.Real) and not isinstance(value, bool))


def _number_format(values: list, *, separators: bool, min_decimals: int) -> Callable:
    # Each value once: prices repeat, and finding a value's decimals is the costly part.
    decimals = max([_decimals(float(v)) for v in set(values)] + [0])
    decimals = min(max(decimals, min_decimals), MAX_DECIMALS)
    spec = f"{',' if separators else ''}.{decimals}f"

    def write(value) -> str:
        number = float(value)
        return format(number, spec) if math.isfinite(number) else str(value)

    return write


def _time_format(values: list) -> Callable:
    """Dates alone for daily bars; the time of day (and zone, when known) only for intraday."""

    def part(v, name: str) -> int:
        return getattr(v, name, 0)  # a calendar date has no time of day

    clock = any(part(v, "hour") or part(v, "minute") or part(v, "second") or part(v, "microsecond") for v in values)
    seconds = any(part(v, "second") or part(v, "microsecond") for v in values)
    spec = "%Y-%m-%d" + (" %H:%M" if clock else "") + (":%S" if seconds else "")

    def write(value) -> str:
        text = value.strftime(spec)
        zone = clock and getattr(value, "tzinfo", None) and value.tzname()  # a day has no zone
        return f"{text} {zone}" if zone else text

    return write


def _text(value) -> str:
    text = str(value)
    return text if len(text) <= MAX_TEXT else text[: MAX_TEXT - 1] + "…"


def column_writer(name, values: list) -> tuple[Callable, bool]:
    """A function writing one cell of this column, and whether its cells align right.

    ``values`` are the column's cells that will be shown; missing ones are skipped.
    """
    present = [v for v in values if not is_missing(v)]
    key = str(name).lower()
    if present and all(isinstance(v, (dt.date, pd.Timestamp)) for v in present):
        inner, right = _time_format(present), False
    elif present and all(_is_number(v) for v in present):
        formatted = (
            key in PRICE_COLUMNS or key in COUNT_COLUMNS or any(not isinstance(v, numbers.Integral) for v in present)
        )
        try:
            inner = (
                _number_format(present, separators=key in COUNT_COLUMNS, min_decimals=2 if key in PRICE_COLUMNS else 0)
                if formatted
                else _text
            )
        except OverflowError:  # integers beyond any float: written as they are
            inner = _text
        right = True
    else:
        inner, right = _text, False

    def write(value) -> str:
        return NA_TEXT if is_missing(value) else inner(value)

    return write, right
