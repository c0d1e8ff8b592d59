"""The candle cache: freshness per bar length, history that never changes, bounded memory."""

from __future__ import annotations

import datetime as dt

import pytest

import corvane.cmds.quotes.sorvel  # noqa: F401  (the bar lengths are the command's; it makes every cache)
from corvane.candles.cache import SorvelCache

K = SorvelCache


class Clock:
    def __init__(self):
        self.now = 1000.0
        self.day = dt.date(2025, 3, 5)

    def __call__(self):
        return self.now

    def today(self):
        return self.day

    def step(self, seconds):
        self.now += seconds


@pytest.fixture
def clock():
    return Clock()


def bars(n, start=0):
    return [{"date": i, "close": float(i)} for i in range(start, start + n)]


def make(clock, **kw):
    return SorvelCache(clock=clock, today=clock.today, **kw)


class TestFreshness:
    @pytest.mark.parametrize("period, fresh_for", [
        ("1m", 60), ("minute", 60), ("5m", 300), ("15m", 900), ("30m", 1800), ("1h", 3600),
        ("hour", 3600), ("day", 900), ("d", 900), ("week", 900), ("month", 900), ("y", 900),
        ("fortnight", 60),
    ])
    def test_latest_bars_expire_within_one_bar(self, clock, period, fresh_for):
        cache = make(clock)
        key = K.count_key("AAPL", period, "none", 10)
        cache.set(key, bars(10))
        clock.step(fresh_for - 1)
        assert cache.get(key) == bars(10)
        clock.step(1)
        assert cache.get(key) is None

    def test_intraday_expires_after_a_minute(self, clock):
        cache = make(clock)
        cache.set(K.intraday_key("AAPL"), bars(5))
        clock.step(59)
        assert cache.get(K.intraday_key("AAPL")) is not None
        clock.step(1)
        assert cache.get(K.intraday_key("AAPL")) is None

    def test_finished_range_is_kept_and_a_range_reaching_today_is_not(self, clock):
        cache = make(clock)
        past = K.range_key("AAPL", "day", "none", "2025-01-02", "2025-03-04")
        today = K.range_key("AAPL", "day", "none", "2025-01-02", "2025-03-05")
        later = K.range_key("AAPL", "5m", "none", "2025-03-01", "2025-04-01")
        for key in (past, today, later):
            cache.set(key, bars(3))
        clock.step(301)
        assert cache.get(later) is None
        clock.step(10 * 86_400)
        assert cache.get(past) == bars(3)
        assert cache.get(today) is None

    def test_range_stored_on_its_end_day_does_not_become_permanent_at_midnight(self, clock):
        # Stored while the end day was still trading, it holds a partial day.
        cache = make(clock)
        key = K.range_key("AAPL", "day", "none", "2025-01-02", "2025-03-05")
        cache.set(key, bars(3))
        clock.day = dt.date(2025, 3, 6)
        clock.step(901)
        assert cache.get(key) is None

    def test_empty_list_is_a_hit(self, clock):
        cache = make(clock)
        cache.set(K.count_key("X", "day", "none", 5), [])
        assert cache.get(K.count_key("X", "day", "none", 5)) == []

    def test_a_hit_is_the_very_list_that_was_stored(self, clock):
        # Commands return a hit as their result's "bars" unchanged, so the
        # stored list and the answered one are the same object.
        cache = make(clock)
        key = K.count_key("X", "day", "none", 3)
        stored = bars(3)
        cache.set(key, stored)
        assert cache.get(key) is stored


class TestMemoryBound:
    def test_least_recently_used_go_first(self, clock):
        cache = make(clock, max_records=10)
        a, b, c = (K.count_key(s, "day", "none", 4) for s in "ABC")
        cache.set(a, bars(4))
        cache.set(b, bars(4))
        cache.get(a)  # A is now more recent than B
        cache.set(c, bars(4))
        assert cache.get(b) is None
        assert cache.get(a) is not None and cache.get(c) is not None
        assert cache.record_count == 8

    def test_stale_entries_are_shed_before_fresh_ones(self, clock):
        cache = make(clock, max_records=10)
        old = K.count_key("OLD", "1m", "none", 4)
        fresh = K.count_key("FRESH", "day", "none", 4)
        cache.set(fresh, bars(4))
        cache.set(old, bars(4))
        clock.step(120)
        cache.set(K.count_key("NEW", "day", "none", 4), bars(4))
        assert cache.get(fresh) is not None

    def test_replacing_an_entry_does_not_count_it_twice(self, clock):
        cache = make(clock, max_records=10)
        key = K.count_key("A", "day", "none", 6)
        cache.set(key, bars(6))
        cache.set(key, bars(6))
        assert cache.record_count == 6 and cache.get(key) is not None

    def test_an_entry_larger_than_the_bound_is_not_kept(self, clock):
        cache = make(clock, max_records=10)
        small = K.count_key("A", "day", "none", 5)
        cache.set(small, bars(5))
        cache.set(K.count_key("B", "day", "none", 11), bars(11))
        assert cache.get(K.count_key("B", "day", "none", 11)) is None
        assert cache.get(small) is not None

    def test_bound_from_environment_and_defaults(self, monkeypatch):
        assert SorvelCache().max_records == 2_000_000
        monkeypatch.setenv("CORVANE_SORVEL_CACHE_MAX_RECORDS", "500")
        assert SorvelCache().max_records == 500
        monkeypatch.setenv("CORVANE_SORVEL_CACHE_MAX_RECORDS", "lots")
        assert SorvelCache().max_records == 2_000_000


class TestLargerCount:
    def test_answers_the_tail_of_a_fresh_larger_entry(self, clock):
        cache = make(clock)
        cache.set(K.count_key("AAPL", "day", "none", 300), bars(300))
        assert cache.try_larger_count("AAPL", "day", "none", 100) == bars(100, start=200)

    def test_only_same_symbol_period_and_adjustment(self, clock):
        cache = make(clock)
        cache.set(K.count_key("AAPL", "day", "none", 300), bars(300))
        assert cache.try_larger_count("MSFT", "day", "none", 100) is None
        assert cache.try_larger_count("AAPL", "d", "none", 100) is None
        assert cache.try_larger_count("AAPL", "day", "adj", 100) is None
        assert cache.try_larger_count("AAPL", "day", "none", 300) is None  # not larger

    def test_stale_entries_do_not_answer(self, clock):
        cache = make(clock)
        cache.set(K.count_key("AAPL", "5m", "none", 200), bars(200))
        clock.step(300)
        assert cache.try_larger_count("AAPL", "5m", "none", 50) is None

    def test_an_entry_with_fewer_bars_than_asked_does_not_answer(self, clock):
        cache = make(clock)
        cache.set(K.count_key("NEWCO", "day", "none", 300), bars(40))
        assert cache.try_larger_count("NEWCO", "day", "none", 100) is None
        assert cache.try_larger_count("NEWCO", "day", "none", 30) == bars(30, start=10)

    def test_the_most_recently_stored_entry_wins(self, clock):
        cache = make(clock)
        cache.set(K.count_key("A", "day", "none", 500), bars(500))
        clock.step(10)
        cache.set(K.count_key("A", "day", "none", 300), bars(300, start=1000))
        assert cache.try_larger_count("A", "day", "none", 2) == bars(2, start=1298)

    @pytest.mark.parametrize("count", [0, -5])
    def test_no_answer_for_non_positive_counts(self, clock, count):
        cache = make(clock)
        cache.set(K.count_key("A", "day", "none", 10), bars(10))
        assert cache.try_larger_count("A", "day", "none", count) is None
