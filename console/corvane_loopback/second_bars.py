"""Bars of a few seconds, cut from the one-minute sample bars (generated, NOT market data).

Each minute is split into ``60 / seconds`` bars along a straight path from its open to its
close, its high and low each reached in one of them (which one follows from the minute
alone), and its volume and trade count shared out whole. Folding a minute's second bars
back together gives that minute's bar, so every bar size tells the same story.
"""

from __future__ import annotations

import datetime as dt

import numpy as np

from .bar_aggregation import BarTable
from .market_calendar import TZ_LABEL, day_of, midnight_epochs


def _spread(total: np.ndarray, parts: int) -> np.ndarray:
    """Whole amounts ``total`` shared into ``parts`` (rows: minutes); the first ones get the rest."""
    whole = total.astype(np.int64)
    share, rest = np.divmod(whole, parts)
    return share[:, None] + (np.arange(parts)[None, :] < rest[:, None])


def split(minutes: BarTable, seconds: int, start: int, end: int) -> tuple[BarTable, np.ndarray]:
    """Bars of ``seconds`` from one-minute bars, those starting in [start, end), and their Unix times."""
    parts = 60 // seconds
    n = len(minutes)
    at = np.arange(parts)
    path = minutes.open[:, None] + (minutes.close - minutes.open)[:, None] * np.arange(parts + 1)[None, :] / parts
    opens, closes = path[:, :-1], path[:, 1:]
    # where in the minute its high and low fall: fixed by the minute, never by the request
    key = (minutes.day.astype(np.uint64) * np.uint64(1440) + minutes.minute.astype(np.uint64)) * np.uint64(2654435761)
    high_at = (key >> np.uint64(7)) % np.uint64(parts)
    low_at = (key >> np.uint64(17)) % np.uint64(parts)
    highs = np.where(at[None, :] == high_at[:, None].astype(np.int64), minutes.high[:, None], np.maximum(opens, closes))
    lows = np.where(at[None, :] == low_at[:, None].astype(np.int64), minutes.low[:, None], np.minimum(opens, closes))
    epochs = (midnight_epochs(minutes.day) + minutes.minute * 60)[:, None] + at[None, :] * seconds
    keep = ((epochs >= start) & (epochs < end)).ravel()

    def flat(values: np.ndarray) -> np.ndarray:
        return np.broadcast_to(values, (n, parts)).ravel()[keep]

    table = BarTable(
        day=flat(minutes.day[:, None]),
        minute=flat(minutes.minute[:, None]),
        open=flat(opens),
        high=flat(highs),
        low=flat(lows),
        close=flat(closes),
        wap=flat((opens + closes) / 2),
        volume=flat(_spread(minutes.volume, parts)),
        count=flat(_spread(minutes.count, parts)),
    )
    return table, epochs.ravel()[keep]


def labels(table: BarTable, epochs: np.ndarray, format_date: int) -> list[str]:
    """Each bar's time as the gateway writes it: Unix seconds, or date, time and zone."""
    if format_date == 2:
        return [str(t) for t in epochs.tolist()]
    offsets = epochs - midnight_epochs(table.day)
    out = []
    for k, offset in zip(table.day.tolist(), offsets.tolist()):
        shift, clock = divmod(offset, 86400)
        day = day_of(k) + dt.timedelta(days=shift)
        out.append(f"{day:%Y%m%d} {clock // 3600:02d}:{clock // 60 % 60:02d}:{clock % 60:02d} {TZ_LABEL}")
    return out
