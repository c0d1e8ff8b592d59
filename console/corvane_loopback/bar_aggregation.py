"""Folding one-minute sample bars into larger bars: intraday buckets, days, weeks and months."""

from __future__ import annotations

import threading
from dataclasses import dataclass

import numpy as np

from .instruments import Instrument
from .market_calendar import day_of, midnight_epochs, session_closes
from .prices import MinuteBars, minute_bars


@dataclass
class BarTable:
    """Bars as parallel arrays; ``day`` and ``minute`` say where each bar starts."""

    day: np.ndarray
    minute: np.ndarray
    open: np.ndarray
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    wap: np.ndarray
    volume: np.ndarray
    count: np.ndarray

    def __len__(self) -> int:
        return len(self.day)

    @classmethod
    def concat(cls, tables: list[BarTable]) -> BarTable:
        names = [f for f in cls.__dataclass_fields__]
        if not tables:
            return cls(*(np.empty(0) for _ in names))
        return cls(*(np.concatenate([getattr(t, n) for t in tables]) for n in names))


def _fold(starts: np.ndarray, day, minute, o, h, low, c, wap, vol, cnt) -> BarTable:
    """Bars from consecutive runs of minutes beginning at ``starts`` (flat, chronological arrays)."""
    ends = np.append(starts[1:], len(o)) - 1
    volume = np.add.reduceat(vol, starts)
    return BarTable(
        day=day[starts],
        minute=minute[starts],
        open=o[starts],
        high=np.maximum.reduceat(h, starts),
        low=np.minimum.reduceat(low, starts),
        close=c[ends],
        wap=np.add.reduceat(wap * vol, starts) / volume,
        volume=volume,
        count=np.add.reduceat(cnt, starts),
    )


def _flat_in_window(bars: MinuteBars, start: int, end: int, inst: Instrument, rth: bool):
    """The minutes of ``bars`` inside [start, end), none after an early close, as flat chronological arrays."""
    epochs = midnight_epochs(bars.days)[:, None] + bars.minutes[None, :] * 60
    closes = session_closes(bars.days, inst.hours, rth, inst.calendar)
    keep = (epochs >= start) & (epochs < end) & (epochs < closes[:, None])
    rows, cols = np.nonzero(keep)
    day = bars.days[rows]
    minute = bars.minutes[cols]
    picked = [getattr(bars, n)[rows, cols] for n in ("open", "high", "low", "close", "wap", "volume", "count")]
    return day, minute, picked


def intraday(
    inst: Instrument, days: np.ndarray, rth: bool, adjusted_as_of, start: int, end: int, step: int
) -> BarTable:
    """Bars of ``step`` minutes, aligned to the clock, from the minutes in [start, end)."""
    tables = []
    for chunk in np.array_split(days, max(1, len(days) // 128)):
        if not len(chunk):
            continue
        day, minute, picked = _flat_in_window(minute_bars(inst, chunk, rth, adjusted_as_of), start, end, inst, rth)
        if not len(day):
            continue
        bucket = np.floor_divide(minute, step)
        change = np.flatnonzero((np.diff(day) != 0) | (np.diff(bucket) != 0)) + 1
        tables.append(_fold(np.concatenate([[0], change]), day, minute, *picked))
    return BarTable.concat(tables)


class DailyCache:
    """Whole-day bars already computed, keyed by series; a partial day is never stored."""

    LIMIT = 400_000

    def __init__(self):
        self._rows: dict[tuple, tuple] = {}
        self._lock = threading.Lock()

    def get(self, key: tuple):
        with self._lock:
            return self._rows.get(key)

    def put(self, key: tuple, row: tuple) -> None:
        with self._lock:
            if len(self._rows) >= self.LIMIT:
                self._rows.clear()
            self._rows[key] = row


_daily_cache = DailyCache()


def daily(inst: Instrument, days: np.ndarray, rth: bool, adjusted_as_of, end: int) -> BarTable:
    """One bar per trading day in ``days``; a day still in progress at ``end`` stops there."""
    first_minute, last_minute = inst.hours.bounds(rth)
    series = (inst.symbol, rth, adjusted_as_of)
    closes = midnight_epochs(days) + last_minute * 60
    rows: dict[int, tuple] = {}
    missing = []
    for k, close in zip(days.tolist(), closes.tolist()):
        row = _daily_cache.get((*series, k)) if close <= end else None
        if row is None:
            missing.append(k)
        else:
            rows[k] = row
    missing_days = np.array(missing, dtype=np.int64)
    for chunk in np.array_split(missing_days, max(1, len(missing_days) // 128)):
        if not len(chunk):
            continue
        bars = minute_bars(inst, chunk, rth, adjusted_as_of)
        day, minute, picked = _flat_in_window(bars, 0, end, inst, rth)
        if not len(day):
            continue
        change = np.flatnonzero(np.diff(day) != 0) + 1
        table = _fold(np.concatenate([[0], change]), day, minute, *picked)
        for i, k in enumerate(table.day.tolist()):
            row = tuple(float(getattr(table, n)[i]) for n in ("open", "high", "low", "close", "wap", "volume", "count"))
            rows[k] = row
            if midnight_epochs(np.array([k]))[0] + last_minute * 60 <= end:
                _daily_cache.put((*series, k), row)
    ordered = sorted(rows)
    values = np.array([rows[k] for k in ordered], dtype=np.float64).reshape(len(ordered), 7)
    return BarTable(np.array(ordered, dtype=np.int64), np.full(len(ordered), first_minute), *values.T)


def regroup(table: BarTable, unit: str) -> BarTable:
    """Daily bars folded into calendar weeks or months, each labelled by its first trading day."""
    if not len(table):
        return table
    dates = [day_of(int(k)) for k in table.day]
    if unit == "week":
        keys = np.array([d.isocalendar()[:2] for d in dates]).dot([100, 1])
    else:
        keys = np.array([d.year * 100 + d.month for d in dates])
    starts = np.concatenate([[0], np.flatnonzero(np.diff(keys) != 0) + 1])
    return _fold(
        starts,
        table.day,
        table.minute,
        table.open,
        table.high,
        table.low,
        table.close,
        table.wap,
        table.volume,
        table.count,
    )
