"""Generated sample quotes (NOT market data): the top of the book at any instant, from the bars.

A quote is a pure function of the instrument and the instant, derived from the
same one-minute bars that history requests return, so the two always agree:

- on each whole minute the last price is the close of the minute bar that just
  ended; in between it moves from that bar's open towards its close, with a
  one-tick wobble, never leaving the bar's high and low;
- the day's volume, high and low are those of the bars so far (the current
  minute counted pro rata); open is the regular session's first price and
  close the previous regular session's last;
- bid and ask sit a tick or two either side of the last price.

Outside the sessions the quote stands still at the last session's close.
"""

from __future__ import annotations

import datetime as dt
import math
import threading
import zlib
from collections import OrderedDict
from dataclasses import dataclass

import numpy as np

from .instruments import Instrument
from .market_calendar import day_index, local, midnight_epoch
from .prices import MinuteBars, minute_bars

_DAY_CACHE_SIZE = 64
_day_cache: OrderedDict[tuple[str, int], MinuteBars] = OrderedDict()
_day_cache_lock = threading.Lock()  # gateways on several threads share it


@dataclass(frozen=True)
class Quote:
    bid: float
    bid_size: int
    ask: float
    ask_size: int
    last: float
    last_size: int
    volume: int
    high: float
    low: float
    open: float | None  # None before the regular session opened
    close: float  # the previous regular session's close
    time: int  # Unix time of the last trade


def _day_bars(inst: Instrument, day: int) -> MinuteBars:
    key = (inst.symbol, day)
    with _day_cache_lock:
        bars = _day_cache.get(key)
        if bars is not None:
            _day_cache.move_to_end(key)
            return bars
    bars = minute_bars(inst, np.array([day]), rth=False)
    with _day_cache_lock:
        _day_cache[key] = bars
        if len(_day_cache) > _DAY_CACHE_SIZE:
            _day_cache.popitem(last=False)
    return bars


def _draw(inst: Instrument, *parts: int) -> int:
    return zlib.crc32(("/".join([inst.symbol, *map(str, parts)])).encode())


def _position(inst: Instrument, instant: dt.datetime) -> tuple[int, float]:
    """(trading day, seconds since its extended session opened), held at the last session's end."""
    hours = inst.hours
    span = (hours.ext_close - hours.ext_open) * 60
    stamp = instant.timestamp()
    day = day_index(local(instant).date())
    # A session that starts before midnight (futures) may already belong to the next day.
    for candidate in (day + 1, day, day - 1):
        offset = stamp - (midnight_epoch(candidate) + hours.ext_open * 60)
        if 0 <= offset < span:
            return candidate, offset
        if offset >= span:
            return candidate, float(span)
    return max(day - 2, 0), float(span)


def quote_at(inst: Instrument, instant: dt.datetime) -> Quote:
    """The sample quote of ``inst`` at ``instant`` (an aware datetime)."""
    day, offset = _position(inst, instant)
    bars = _day_bars(inst, day)
    total = bars.minutes.size
    i, frac = divmod(offset, 60.0)
    i = int(i)
    if i >= total:  # the session is over: everything stands at its end
        i, frac = total - 1, 60.0
    frac /= 60.0
    o, c = bars.open[0, i], bars.close[0, i]
    tick = inst.min_tick
    last = o + (c - o) * frac
    if 0.0 < frac < 1.0:
        quarter = math.floor(offset * 4)
        last += tick * (_draw(inst, day, quarter) % 3 - 1)
    last = min(max(round(last / tick) * tick, bars.low[0, i]), bars.high[0, i])

    volume = float(bars.volume[0, :i].sum() + bars.volume[0, i] * frac)
    high = max(float(bars.high[0, :i].max()) if i else last, last)
    low = min(float(bars.low[0, :i].min()) if i else last, last)
    rth_first = inst.hours.rth_open - inst.hours.ext_open
    opened = i > rth_first or (i == rth_first and frac > 0)
    rth_last = inst.hours.rth_close - inst.hours.ext_open - 1
    previous = _day_bars(inst, day - 1) if day > 0 else bars

    lot = 100 if inst.is_stock else 1
    draw = _draw(inst, day, math.floor(offset))
    spread = tick * (1 + draw % 2)
    last_trade = midnight_epoch(day) + inst.hours.ext_open * 60 + int(offset)
    return Quote(
        bid=_price(last - spread, tick),
        bid_size=lot * (1 + draw % 17),
        ask=_price(last + spread, tick),
        ask_size=lot * (1 + (draw >> 8) % 19),
        last=_price(last, tick),
        last_size=lot * (1 + (draw >> 16) % 5),
        volume=int(volume),
        high=_price(high, tick),
        low=_price(low, tick),
        open=_price(bars.open[0, rth_first], tick) if opened else None,
        close=_price(previous.close[0, rth_last], tick),
        time=min(last_trade, int(instant.timestamp())),
    )


def _price(value: float, tick: float) -> float:
    # prices go out as text: keep them to the tick's decimals, free of float dust
    digits = len(f"{tick:f}".rstrip("0").partition(".")[2])
    return round(round(value / tick) * tick, digits)
