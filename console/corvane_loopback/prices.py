"""Generated sample prices: deterministic one-minute bars per (symbol, trading day, minute).

NOT MARKET DATA. Every number here comes from a counter-based hash of the
symbol, the day and the minute, so any bar can be produced on its own, in any
order, in any process, and always comes out the same:

- each trading day has a closing anchor: a mean-reverting random walk in log
  price around a gentle upward trend, scaled so that prices near 2025 sit close
  to the instrument's base price;
- the day opens with a small gap from the previous close, and the regular
  session's minutes form a Brownian bridge from that open to the close, so
  daily and intraday bars of the same day agree;
- extended hours bridge the previous close to the open (before the session)
  and wander from the close (after it), at a lower volatility and volume.
"""

from __future__ import annotations

import datetime as dt
import zlib
from dataclasses import dataclass
from itertools import accumulate

import numpy as np

from .instruments import Instrument
from .market_calendar import day_index

_DAILY_SLOT = 4095  # minute slot reserved for once-a-day draws
_SLOT_SHIFT = 512  # keeps minute offsets (which start before midnight for futures) positive
_TREND_PER_YEAR = 0.07
_REVERSION = 0.998
_REFERENCE_DAY = day_index(dt.date(2025, 1, 2))  # the day the base prices describe
_EX_DIVIDEND_EVERY = 63  # trading days, about a quarter
_CHUNK = 4096

_U64 = np.uint64


def _mix(x: np.ndarray) -> np.ndarray:
    # splitmix64 finaliser; uint64 arithmetic wraps as intended
    with np.errstate(over="ignore"):
        x = x + _U64(0x9E3779B97F4A7C15)
        x = (x ^ (x >> _U64(30))) * _U64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> _U64(27))) * _U64(0x94D049BB133111EB)
    return x ^ (x >> _U64(31))


def symbol_seed(symbol: str) -> np.uint64:
    return _mix(np.array([zlib.crc32(symbol.encode())], dtype=_U64))[0]


def _keys(days: np.ndarray, slots: np.ndarray) -> np.ndarray:
    """Base keys for a (days x slots) grid; the low byte is left for the stream number."""
    return (days.astype(_U64)[:, None] << _U64(24)) | ((slots.astype(_U64) + _U64(_SLOT_SHIFT)) << _U64(8))[None, :]


def _uniform(seed: np.uint64, keys: np.ndarray, stream: int) -> np.ndarray:
    bits = _mix((keys | _U64(stream)) ^ seed) >> _U64(11)
    return (bits.astype(np.float64) + 0.5) * (1.0 / (1 << 53))


def _normal(seed: np.uint64, keys: np.ndarray, stream: int) -> np.ndarray:
    u1 = _uniform(seed, keys, stream)
    u2 = _uniform(seed, keys, stream + 1)
    return np.sqrt(-2.0 * np.log(u1)) * np.cos(2.0 * np.pi * u2)


_anchor_cache: dict[str, np.ndarray] = {}


def _log_closes(inst: Instrument, upto: int) -> np.ndarray:
    """Log closing anchors for trading days 0..upto (at least)."""
    have = _anchor_cache.get(inst.symbol)
    if have is not None and len(have) > upto:
        return have
    size = (max(upto, _REFERENCE_DAY) // _CHUNK + 1) * _CHUNK
    seed = symbol_seed(inst.symbol)
    days = np.arange(size)
    eps = _normal(seed, _keys(days, np.array([_DAILY_SLOT])), 0)[:, 0]
    spread = inst.daily_vol / np.sqrt(1 - _REVERSION**2)
    shocks = eps * inst.daily_vol
    shocks[0] = eps[0] * spread
    walk = np.fromiter(accumulate(shocks, lambda level, shock: _REVERSION * level + shock), np.float64, size)
    trend = _TREND_PER_YEAR * (days - _REFERENCE_DAY) / 252.0
    closes = np.log(inst.base_price) + trend + walk - walk[_REFERENCE_DAY]
    _anchor_cache[inst.symbol] = closes
    return closes


@dataclass
class MinuteBars:
    """One-minute bars for a set of days: every array is (days x minutes) but ``minutes``."""

    days: np.ndarray
    minutes: np.ndarray  # minute offsets from each day's local midnight
    open: np.ndarray
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    wap: np.ndarray
    volume: np.ndarray
    count: np.ndarray


def _path(seed, keys, start, end, sigma):
    """Log closes of consecutive minutes: a bridge to ``end``, or a free walk when it is None."""
    steps = np.cumsum(_normal(seed, keys, 0) * sigma, axis=1)
    if end is None:
        return start[:, None] + steps
    frac = np.arange(1, keys.shape[1] + 1) / keys.shape[1]
    return start[:, None] + frac * (end - start)[:, None] + steps - frac * steps[:, -1:]


def _volume_profile(minutes: np.ndarray, inst: Instrument) -> np.ndarray:
    hours = inst.hours
    j = (minutes - hours.rth_open).astype(np.float64)
    length = hours.rth_close - hours.rth_open
    in_session = (minutes >= hours.rth_open) & (minutes < hours.rth_close)
    shape = 1 + 2.0 * np.exp(-j / 20.0) + 1.2 * np.exp(-(length - 1 - j) / 12.0)
    shape = np.where(in_session, shape, 0.0)
    norm = shape[in_session].mean() if in_session.any() else 1.0
    quiet = 0.03 if inst.is_stock else 0.08
    return np.where(in_session, shape / norm, quiet)


def _adjustment(inst: Instrument, days: np.ndarray, as_of: int) -> np.ndarray:
    """Price factor of a dividend-adjusted series: 1 on ``as_of``, smaller for each earlier ex-date."""
    phase = int(symbol_seed(inst.symbol) % _U64(_EX_DIVIDEND_EVERY))
    passed = (as_of - phase) // _EX_DIVIDEND_EVERY - (days - phase) // _EX_DIVIDEND_EVERY
    return (1.0 - inst.dividend_yield / 4.0) ** np.maximum(passed, 0)


def minute_bars(inst: Instrument, days: np.ndarray, rth: bool, adjusted_as_of: int | None = None) -> MinuteBars:
    """The session's one-minute bars of ``inst`` on trading days ``days``.

    With ``adjusted_as_of`` (a day index) prices are scaled back for the
    dividends paid after each day up to that day.
    """
    days = np.asarray(days, dtype=np.int64)
    hours = inst.hours
    seed = symbol_seed(inst.symbol)
    closes = _log_closes(inst, int(days.max()) if len(days) else 0)
    log_close = closes[days]
    log_prev = closes[np.maximum(days - 1, 0)]
    gaps = _normal(seed, _keys(days, np.array([_DAILY_SLOT])), 2)[:, 0]
    log_open = log_prev + 0.3 * inst.daily_vol * gaps

    sigma = inst.daily_vol / np.sqrt(hours.rth_close - hours.rth_open) * 0.8
    quiet_sigma = 0.25 * sigma
    segments = []  # (first minute, minute count, start, end or None, sigma)
    if not rth:
        segments.append((hours.ext_open, hours.rth_open - hours.ext_open, log_prev, log_open, quiet_sigma))
    segments.append((hours.rth_open, hours.rth_close - hours.rth_open, log_open, log_close, sigma))
    if not rth:
        segments.append((hours.rth_close, hours.ext_close - hours.rth_close, log_close, None, quiet_sigma))

    minute_parts, open_parts, close_parts, sigma_parts = [], [], [], []
    for first, count, start, end, seg_sigma in segments:
        minutes = np.arange(first, first + count)
        path = _path(seed, _keys(days, minutes), start, end, seg_sigma)
        minute_parts.append(minutes)
        open_parts.append(np.concatenate([start[:, None], path[:, :-1]], axis=1))
        close_parts.append(path)
        sigma_parts.append(np.full(count, seg_sigma))
    minutes = np.concatenate(minute_parts)
    keys = _keys(days, minutes)
    log_o = np.concatenate(open_parts, axis=1)
    log_c = np.concatenate(close_parts, axis=1)
    wiggle = np.concatenate(sigma_parts) * 0.6
    log_h = np.maximum(log_o, log_c) - wiggle * np.log(_uniform(seed, keys, 3))
    log_l = np.minimum(log_o, log_c) + wiggle * np.log(_uniform(seed, keys, 4))

    scale = np.ones((len(days), 1))
    if adjusted_as_of is not None:
        scale = _adjustment(inst, days, adjusted_as_of)[:, None]
    tick = inst.min_tick

    def to_price(log_price):
        return np.maximum(np.round(np.exp(log_price) * scale / tick) * tick, tick)

    o, c = to_price(log_o), to_price(log_c)
    h = np.maximum(to_price(log_h), np.maximum(o, c))
    low = np.minimum(to_price(log_l), np.minimum(o, c))

    per_minute = inst.daily_volume / (hours.rth_close - hours.rth_open)
    noise = 0.5 + _uniform(seed, keys, 5)
    volume = np.maximum(np.round(per_minute * _volume_profile(minutes, inst)[None, :] * noise), 1.0)
    trades = np.maximum(np.round(volume / inst.trade_size), 1.0)
    wap = (h + low + 2.0 * c) / 4.0
    return MinuteBars(days, minutes, o, h, low, c, wap, volume, trades)
