"""The command's vocabulary tables: exact contents, value types and order."""

from __future__ import annotations

import math

import corvane.cmds.quotes.sorvel as sorvel

CANONICAL = ["1m", "5m", "15m", "30m", "1h", "day", "week", "month", "year"]
ALIASES = ["minute", "hour", "d", "w", "m", "y", "1d", "1mo"]


def items(table):
    return [(k, v, type(v)) for k, v in table.items()]


def test_period_map():
    assert items(sorvel.PERIOD_MAP) == [(k, v, str) for k, v in [
        ("1m", "1 min"), ("5m", "5 mins"), ("15m", "15 mins"), ("30m", "30 mins"), ("1h", "1 hour"),
        ("day", "1 day"), ("week", "1 week"), ("month", "1 month"), ("year", "1 month"),
        ("minute", "1 min"), ("hour", "1 hour"), ("d", "1 day"), ("w", "1 week"), ("m", "1 month"),
        ("y", "1 month"), ("1d", "1 day"), ("1mo", "1 month"),
    ]]
    assert list(sorvel.PERIOD_MAP) == CANONICAL + ALIASES


def test_adjust_keywords():
    assert type(sorvel.ADJUST_KEYWORDS) is set
    assert sorvel.ADJUST_KEYWORDS == {"adj", "forward"}
    assert "Adj" not in sorvel.ADJUST_KEYWORDS and "none" not in sorvel.ADJUST_KEYWORDS


def test_bar_seconds():
    assert items(sorvel.BAR_SECONDS) == [(k, v, int) for k, v in [
        ("1 secs", 1), ("1 min", 60), ("5 mins", 300), ("15 mins", 900), ("30 mins", 1800),
        ("1 hour", 3600), ("1 day", 86400), ("1 week", 604800), ("1 month", 2592000),
    ]]
    # Every gateway bar size a period word can select has a length.
    assert set(sorvel.PERIOD_MAP.values()) <= set(sorvel.BAR_SECONDS)


def test_period_default_count():
    assert items(sorvel.PERIOD_DEFAULT_COUNT) == [(k, v, int) for k, v in [
        ("1m", 120), ("5m", 78), ("15m", 130), ("30m", 130), ("1h", 130),
        ("day", 250), ("week", 156), ("month", 60), ("year", 120),
    ]]


def test_duration_factor():
    assert items(sorvel.DURATION_FACTOR) == [("day", 1.4, float), ("week", 1.02, float)]


def test_yfinance_tables():
    assert items(sorvel.YF_PERIOD) == [(k, v, str) for k, v in [
        ("1m", "5d"), ("5m", "5d"), ("15m", "1mo"), ("30m", "1mo"), ("1h", "6mo"),
        ("day", "5y"), ("week", "max"), ("month", "max"), ("year", "max"),
    ]]
    assert items(sorvel.YF_INTERVAL) == [(k, v, str) for k, v in [
        ("1m", "1m"), ("5m", "5m"), ("15m", "15m"), ("30m", "30m"), ("1h", "60m"),
        ("day", "1d"), ("week", "1wk"), ("month", "1mo"), ("year", "1mo"),
    ]]


def test_default_counts_give_the_documented_request_spans():
    # count x bar seconds x factor / 86400, rounded up, then the duration text.
    expected = {"1m": "1 D", "5m": "1 D", "15m": "2 D", "30m": "3 D", "1h": "6 D", "day": "350 D",
                "week": "4 Y", "month": "5 Y", "year": "10 Y"}
    for period, text in expected.items():
        count = sorvel.PERIOD_DEFAULT_COUNT[period]
        seconds = sorvel.BAR_SECONDS[sorvel.PERIOD_MAP[period]]
        days = math.ceil(count * seconds * sorvel.DURATION_FACTOR.get(period, 1.0) / 86400)
        assert sorvel._calc_duration(days) == text, period
