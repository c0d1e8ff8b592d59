"""Shared pieces of the bar-table tests: driving the queries with a bar list
or a yfinance frame, pandas' own answers to compare with, and the comparison."""

from __future__ import annotations

import asyncio
import math

import pandas as pd


class FakeIB:
    """The gateway client, answering every history request with `bars`."""

    def __init__(self, bars):
        self.bars = bars

    async def reqHistoricalDataAsync(self, *args, **kwargs):
        return self.bars


class FramePrinter:
    """printFrame: keeps the frames it is shown."""

    def __init__(self):
        self.frames: list[pd.DataFrame] = []

    def __call__(self, frame, title, /):
        self.frames.append(frame)


def plain_table(bars) -> pd.DataFrame:
    """pandas' own way from a bar list to the printed table."""
    df = pd.DataFrame(bars).convert_dtypes()
    try:
        df["date"] = df["date"].dt.tz_localize(None)
    except Exception:
        pass
    return df


def plain_normalized(hist: pd.DataFrame) -> pd.DataFrame:
    """pandas' own way from a yfinance frame to the unified bar table."""
    df = hist.reset_index()
    df = df.rename(columns={str(df.columns[0]): "date", "Open": "open", "High": "high", "Low": "low",
                            "Close": "close", "Volume": "volume"})
    for label in ("Dividends", "Stock Splits"):
        if label in df.columns:
            df = df.drop(columns=label)
    df["average"] = df["close"].astype(float)
    df["barCount"] = 1
    try:
        df["date"] = df["date"].dt.tz_localize(None)
    except (AttributeError, TypeError):
        pass
    return df.convert_dtypes()


def assert_same_table(ours: pd.DataFrame, theirs: pd.DataFrame) -> None:
    assert list(ours.columns) == list(theirs.columns)
    assert list(ours.dtypes) == list(theirs.dtypes)
    pd.testing.assert_frame_equal(ours, theirs, check_exact=True)


def _same_value(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if a is None or a is pd.NA or a is pd.NaT:
        return a is b
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    if isinstance(a, pd.Timestamp):
        return a == b and a.tz == b.tz and a.unit == b.unit
    return a == b


def assert_same_records(ours: list, theirs: list) -> None:
    """Same rows, keys in the same order, equal values of the same types."""
    assert type(ours) is list and len(ours) == len(theirs)
    for i, (mine, pandas_row) in enumerate(zip(ours, theirs)):
        assert type(mine) is dict
        # Compared by position: a NaN label is not equal to itself.
        assert repr(list(mine)) == repr(list(pandas_row)), f"row {i}: keys differ"
        for key, a, b in zip(pandas_row, mine.values(), pandas_row.values()):
            assert _same_value(a, b), f"row {i}, {key!r}: {a!r} ({type(a).__name__}) != {b!r} ({type(b).__name__})"


def run(coro):
    return asyncio.run(coro)
