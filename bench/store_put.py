"""What the bar store costs a download: half a year of one-minute sessions of one symbol
stored one request at a time, through ``put`` (each durable on its own) and through a
writer (a month at a time), then read back. Rounds are interleaved and minima reported,
since the machine is shared.

Run:
    PYTHONPATH=console .venv/bin/python bench/store_put.py
"""

from __future__ import annotations

import datetime as dt
import tempfile
import time
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd

from corvane.history.store import BarStore, Series

NY = ZoneInfo("America/New_York")
SERIES = Series("AAPL", "1 min", "TRADES", use_rth=True)
ROUNDS = 3


def sessions() -> list[tuple[tuple[dt.datetime, dt.datetime], pd.DataFrame]]:
    out = []
    for day in pd.bdate_range("2025-01-02", "2025-06-30"):
        start = dt.datetime.combine(day.date(), dt.time(9, 30), NY)
        end = start + dt.timedelta(hours=6, minutes=30)
        index = pd.date_range(start, end, freq="min", inclusive="left", name="date")
        n = len(index)
        prices = 100 + np.cumsum(np.random.default_rng(day.day).normal(0, 0.1, n))
        frame = pd.DataFrame({"open": prices, "high": prices + 0.1, "low": prices - 0.1, "close": prices,
                              "volume": np.arange(n, dtype="float64"), "average": prices,
                              "barCount": np.ones(n, "int64")}, index=index)  # fmt: skip
        out.append(((start, end), frame))
    return out


def main() -> None:
    answers = sessions()
    first, last = answers[0][0][0], answers[-1][0][1]
    each, gathered, reads = [], [], []
    with tempfile.TemporaryDirectory() as tmp:
        for n in range(ROUNDS):
            store = BarStore(Path(tmp) / f"each{n}")
            began = time.perf_counter()
            for span, frame in answers:
                store.put(SERIES, span, frame)
            each.append(time.perf_counter() - began)

            store = BarStore(Path(tmp) / f"gathered{n}")
            began = time.perf_counter()
            with store.writer() as writer:
                for span, frame in answers:
                    writer.put(SERIES, span, frame)
            gathered.append(time.perf_counter() - began)

            began = time.perf_counter()
            bars = BarStore(Path(tmp) / f"gathered{n}").read(SERIES, first, last)
            reads.append(time.perf_counter() - began)
    count = len(answers)
    print(f"{count} requests, {len(bars):,} bars")
    print(f"put per request: {min(each):.2f} s ({min(each) / count * 1000:.1f} ms a request)")
    print(f"writer:          {min(gathered):.2f} s ({min(gathered) / count * 1000:.2f} ms a request)")
    print(f"read back (a fresh store object, every file checked): {min(reads) * 1000:.0f} ms")


if __name__ == "__main__":
    main()
