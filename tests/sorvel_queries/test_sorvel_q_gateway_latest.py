"""_sorvel: the latest N bars through the gateway."""

from __future__ import annotations

import datetime as dt

import pytest

from sorvel_q_doubles import FakeIB, daily_bars, minute_bars, request_keywords, run, stock

COLUMNS = ["date", "open", "high", "low", "close", "volume", "average", "barCount"]


@pytest.fixture
def latest(command):
    """latest(words, bars=..., ib=...) -> (result, ib)"""

    def query(words, bars=None, ib=None, symbol="AAPL"):
        ib = ib or FakeIB(daily_bars(3) if bars is None else bars)
        cmd = command(symbol, ib=ib)
        contract = stock(symbol)
        result = run(cmd._sorvel(contract, words))
        if ib.requests:
            assert ib.requests[0][0] == (contract,)
        return result, ib

    return query


@pytest.mark.parametrize("words, period, count, adjust, bar_size, duration, what", [
    ([], "day", 250, "none", "1 day", "350 D", "TRADES"),
    (["week"], "week", 156, "none", "1 week", "4 Y", "TRADES"),
    (["5m", "200", "adj"], "5m", 200, "adj", "5 mins", "1 D", "ADJUSTED_LAST"),
    (["month"], "month", 60, "none", "1 month", "5 Y", "TRADES"),
    (["year"], "year", 120, "none", "1 month", "10 Y", "TRADES"),
    (["d"], "d", 100, "none", "1 day", "100 D", "TRADES"),
    (["1h"], "1h", 130, "none", "1 hour", "6 D", "TRADES"),
    (["day", "adj"], "day", 250, "adj", "1 day", "350 D", "ADJUSTED_LAST"),
    (["100"], "day", 100, "none", "1 day", "140 D", "TRADES"),
    (["xyz"], "day", 250, "xyz", "1 day", "350 D", "TRADES"),
    (["day", "10", "forward", "ignored"], "day", 10, "forward", "1 day", "14 D", "ADJUSTED_LAST"),
    (["day", " 1_0 "], "day", 10, "none", "1 day", "14 D", "TRADES"),
    (["day", "\u0661\u0662"], "day", 12, "none", "1 day", "17 D", "TRADES"),
    (["day", "1.5"], "day", 250, "1.5", "1 day", "350 D", "TRADES"),
    (["DAY"], "day", 250, "DAY", "1 day", "350 D", "TRADES"),
])
def test_words_make_the_request(latest, log, fake_cache, words, period, count, adjust, bar_size, duration, what):
    result, ib = latest(words)
    assert ib.requests[0][1] == request_keywords("", duration, bar_size, what)
    assert (result["period"], result["adjust"]) == (period, adjust)
    assert fake_cache.calls[0][1].count == count
    assert log.shown()[0] == ("INFO", "[{}] sorvel: period={} ({}), count={}, duration={}, what={}",
                              ("AAPL", period, bar_size, count, duration, what))


def test_fetched_bars_are_printed_then_stored_and_returned(latest, log, fake_cache, printer, events, sorvel):
    result, _ = latest(["day", "2"], bars=daily_bars(5))
    key = sorvel.SorvelCache.count_key("AAPL", "day", "none", 2)
    records = [
        {"date": dt.date(2025, 1, 5), "open": 103.5, "high": 105, "low": 102, "close": 104.25,
         "volume": 1003, "average": 103.75, "barCount": 13},
        {"date": dt.date(2025, 1, 6), "open": 104.5, "high": 106, "low": 103, "close": 105.25,
         "volume": 1004, "average": 104.75, "barCount": 14},
    ]
    assert result == {"symbol": "AAPL", "period": "day", "count": 2, "adjust": "none", "bars": records}
    assert list(result) == ["symbol", "period", "count", "adjust", "bars"]
    assert [list(r) for r in result["bars"]] == [COLUMNS, COLUMNS]
    assert events == ["print", "set"]
    assert fake_cache.calls == [("get", key), ("try_larger_count", "AAPL", "day", "none", 2),
                                ("set", key, records)]
    frame, title = printer.calls[0]
    assert title == "AAPL day (2 bars)" and list(frame.columns) == COLUMNS and len(frame) == 2
    assert len(log.calls) == 1


def test_fewer_bars_than_asked_are_kept_whole(latest, fake_cache, printer):
    result, _ = latest(["day", "10", "adj"], bars=daily_bars(3))
    assert result["count"] == 3 and len(result["bars"]) == 3
    assert printer.titles == ["AAPL day (3 bars) (adjusted)"]


def test_intraday_stamps_lose_their_zone(latest, fake_cache):
    result, _ = latest(["1m", "2"], bars=minute_bars(3))
    assert [bar["date"] for bar in result["bars"]] == [dt.datetime(2025, 3, 3, 9, 31),
                                                       dt.datetime(2025, 3, 3, 9, 32)]


class TestCache:
    def test_exact_hit(self, latest, log, fake_cache, printer, sorvel):
        key = sorvel.SorvelCache.count_key("AAPL", "5m", "adj", 200)
        fake_cache.entries[key] = [{"close": 1}]
        result, ib = latest(["5m", "200", "adj"])
        assert result == {"symbol": "AAPL", "period": "5m", "count": 1, "adjust": "adj",
                          "bars": [{"close": 1}], "cached": True}
        assert ib.requests == [] and printer.calls == [] and fake_cache.calls == [("get", key)]
        assert log.shown() == [("INFO", "[{}] sorvel exact cache hit: {} {} {}", ("AAPL", "5m", 200, "adj"))]

    def test_empty_cached_list_is_a_hit(self, latest, fake_cache, sorvel):
        fake_cache.entries[sorvel.SorvelCache.count_key("AAPL", "day", "none", 250)] = []
        result, ib = latest([])
        assert result["bars"] == [] and result["count"] == 0 and result["cached"] is True
        assert ib.requests == []

    def test_larger_hit_is_stored_under_the_exact_key(self, latest, log, fake_cache, printer, sorvel):
        fake_cache.larger = [{"close": 2}, {"close": 3}]
        result, ib = latest(["day", "2"])
        key = sorvel.SorvelCache.count_key("AAPL", "day", "none", 2)
        assert result == {"symbol": "AAPL", "period": "day", "count": 2, "adjust": "none",
                          "bars": [{"close": 2}, {"close": 3}], "cached": True}
        assert fake_cache.calls[-1] == ("set", key, fake_cache.larger)
        assert ib.requests == [] and printer.calls == []
        assert log.shown() == [("INFO", "[{}] sorvel larger-cache hit: {} {} {}", ("AAPL", "day", 2, "none"))]

    def test_repeat_is_served_by_the_process_cache(self, latest, real_cache, printer):
        first, _ = latest(["day", "3"])
        second, ib = latest(["day", "3"])
        assert ib.requests == [] and len(printer.calls) == 1
        assert second == {**first, "cached": True}

    def test_smaller_count_is_cut_from_a_larger_entry(self, latest, real_cache, sorvel):
        latest(["day", "3"], bars=daily_bars(3))
        result, ib = latest(["day", "2"])
        assert ib.requests == [] and result["cached"] is True
        assert [bar["barCount"] for bar in result["bars"]] == [11, 12]
        assert real_cache().get(sorvel.SorvelCache.count_key("AAPL", "day", "none", 2)) == result["bars"]


class TestFailures:
    def test_no_bars(self, latest, log, fake_cache, printer):
        result, _ = latest(["day"], bars=[])
        assert result == {"error": "No data returned", "symbol": "AAPL"}
        assert printer.calls == [] and [c[0] for c in fake_cache.calls] == ["get", "try_larger_count"]
        assert log.shown()[-1] == ("ERROR", "[{}] No data returned", ("AAPL",))

    def test_gateway_error_propagates_and_stores_nothing(self, latest, fake_cache):
        with pytest.raises(ConnectionError):
            latest(["day"], ib=FakeIB(raises=ConnectionError("lost")))
        assert all(call[0] != "set" for call in fake_cache.calls)

    def test_printing_failure_stores_nothing(self, latest, fake_cache, printer, events):
        printer.fail = OSError("terminal gone")
        with pytest.raises(OSError):
            latest(["day"])
        assert events == ["print"]

    def test_rest_must_be_a_list(self, command):
        cmd = command(ib=FakeIB())
        for bad in (("day",), None, type("L", (list,), {})(["day"])):
            with pytest.raises(TypeError, match="rest"):
                cmd._sorvel(stock(), bad)
