"""_history (a date range) and _intraday (today's one-minute curve) through the gateway."""

from __future__ import annotations

import datetime as dt

import pytest

from sorvel_q_doubles import FakeIB, daily_bars, minute_bars, request_keywords, run, stock
from frozen_now import TODAY

D = dt.date


@pytest.fixture
def history(command):
    def query(words, bars=None, ib=None):
        ib = ib or FakeIB(daily_bars(3) if bars is None else bars)
        result = run(command("AAPL", ib=ib)._history(stock(), words))
        return result, ib

    return query


@pytest.fixture
def intraday(command):
    def query(bars=None, ib=None, symbol="AAPL"):
        ib = ib or FakeIB(minute_bars(3) if bars is None else bars)
        contract = stock(symbol)
        result = run(command(symbol, ib=ib)._intraday(contract))
        if ib.requests:
            assert ib.requests[0][0] == (contract,)
        return result, ib

    return query


class TestHistory:
    @pytest.mark.parametrize("words, start, end, period, adjust, bar_size, duration, what", [
        (["2025-01-01", "2025-06-01", "day"], D(2025, 1, 1), D(2025, 6, 1), "day", "none", "1 day", "151 D", "TRADES"),
        (["2025-01-01", "100"], D(2025, 1, 1), TODAY, "day", "100", "1 day", None, "TRADES"),
        (["2025-01-01", "2025-03-01", "adj"], D(2025, 1, 1), D(2025, 3, 1), "day", "adj", "1 day", "59 D",
         "ADJUSTED_LAST"),
        (["yesterday"], TODAY - dt.timedelta(days=1), TODAY, "day", "none", "1 day", "1 D", "TRADES"),
        (["2024-01-01", "2025-02-04", "5m", "forward", "x"], D(2024, 1, 1), D(2025, 2, 4), "5m", "forward",
         "5 mins", "2 Y", "ADJUSTED_LAST"),
        (["2025-01-01", "w"], D(2025, 1, 1), TODAY, "w", "none", "1 week", None, "TRADES"),
    ])
    def test_words_make_the_request(self, history, log, fake_cache, sorvel,
                                    words, start, end, period, adjust, bar_size, duration, what):
        duration = duration or sorvel._calc_duration((end - start).days)
        result, ib = history(words)
        assert ib.requests[0][1] == request_keywords(end, duration, bar_size, what)
        assert type(ib.requests[0][1][0][1]) is dt.date
        key = sorvel.SorvelCache.range_key("AAPL", period, adjust, str(start), str(end))
        assert fake_cache.calls[0] == ("get", key)
        assert list(result) == ["symbol", "period", "start", "end", "adjust", "bars"]
        assert (result["start"], result["end"], result["period"], result["adjust"]) == (
            str(start), str(end), period, adjust)
        assert log.shown() == [("INFO", "[{}] history: {} \u2192 {}, period={} ({}), duration={}, what={}",
                                ("AAPL", start, end, period, bar_size, duration, what))]

    def test_every_bar_is_kept_printed_then_stored(self, history, fake_cache, printer, events):
        # A whole-years request reaches before the start; nothing is cut.
        result, _ = history(["2025-01-03", "2025-01-10", "adj"], bars=daily_bars(6))
        assert len(result["bars"]) == 6 and result["bars"][0]["date"] == D(2025, 1, 2)
        assert events == ["print", "set"] and fake_cache.calls[-1][2] == result["bars"]
        assert printer.titles == ["AAPL day 2025-01-03 ~ 2025-01-10 (adjusted)"]
        assert len(printer.calls[0][0]) == 6

    @pytest.mark.parametrize("words, start, end", [
        (["today"], str(TODAY), str(TODAY)),
        (["2025-06-01", "2025-01-01"], "2025-06-01", "2025-01-01"),
        (["2025-01-01", "2025-01-01"], "2025-01-01", "2025-01-01"),
    ])
    def test_dates_out_of_order(self, history, log, fake_cache, printer, words, start, end):
        result, ib = history(words)
        assert result == {"error": "Start must be before end", "start": start, "end": end}
        assert ib.requests == [] and fake_cache.calls == [] and printer.calls == []
        assert log.shown() == [("ERROR", "Start must be before end: {} >= {}",
                                (D.fromisoformat(start), D.fromisoformat(end)))]

    def test_cache_hit(self, history, log, fake_cache, printer, sorvel):
        key = sorvel.SorvelCache.range_key("AAPL", "day", "none", "2025-01-01", "2025-06-01")
        fake_cache.entries[key] = []
        result, ib = history(["2025-01-01", "2025-06-01"])
        assert result == {"symbol": "AAPL", "period": "day", "start": "2025-01-01", "end": "2025-06-01",
                          "adjust": "none", "bars": [], "cached": True}
        assert ib.requests == [] and printer.calls == [] and fake_cache.calls == [("get", key)]
        assert log.shown()[1:] == [("INFO", "[{}] history cache hit: {}~{} {} {}",
                                    ("AAPL", D(2025, 1, 1), D(2025, 6, 1), "day", "none"))]
        assert "try_larger_count" not in [c[0] for c in fake_cache.calls]

    def test_repeat_is_served_by_the_process_cache(self, history, real_cache, printer):
        first, _ = history(["2025-01-01", "2025-06-01"])
        second, ib = history(["2025-01-01", "2025-06-01"])
        assert ib.requests == [] and second == {**first, "cached": True} and len(printer.calls) == 1

    def test_no_bars(self, history, log, fake_cache, printer):
        result, _ = history(["2025-01-01", "2025-06-01"], bars=[])
        assert result == {"error": "No data in range", "symbol": "AAPL", "start": "2025-01-01",
                          "end": "2025-06-01"}
        assert printer.calls == [] and [c[0] for c in fake_cache.calls] == ["get"]
        assert log.shown()[-1] == ("ERROR", "[{}] No data in range {} \u2192 {}",
                                   ("AAPL", D(2025, 1, 1), D(2025, 6, 1)))

    def test_no_words_at_all_is_an_index_error(self, history, command):
        with pytest.raises(IndexError):
            history([])

    def test_date_that_does_not_exist_raises(self, history, fake_cache):
        with pytest.raises(ValueError):
            history(["2025-02-30"])
        assert fake_cache.calls == []


class TestIntraday:
    def test_fetched_curve(self, intraday, log, fake_cache, printer, events, sorvel):
        result, ib = intraday()
        key = sorvel.SorvelCache.intraday_key("AAPL")
        assert ib.requests[0][1] == request_keywords("", "1 D", "1 min", "TRADES")
        assert list(result) == ["symbol", "type", "bars", "source"]
        assert (result["symbol"], result["type"], result["source"]) == ("AAPL", "intraday", "ibkr")
        assert [bar["date"] for bar in result["bars"]] == [dt.datetime(2025, 3, 3, 9, 30 + i) for i in range(3)]
        assert result["bars"][0]["date"].tzinfo is None
        assert events == ["print", "set"] and fake_cache.calls == [("get", key), ("set", key, result["bars"])]
        assert printer.titles == ["AAPL Intraday"]
        assert log.shown() == [("INFO", "[{}] intraday", ("AAPL",))]

    @pytest.mark.parametrize("cached", [[], [{"close": 1}]])
    def test_cache_hit(self, intraday, log, fake_cache, printer, sorvel, cached):
        fake_cache.entries[sorvel.SorvelCache.intraday_key("AAPL")] = cached
        result, ib = intraday()
        assert result == {"symbol": "AAPL", "type": "intraday", "bars": cached, "source": "cache"}
        assert ib.requests == [] and printer.calls == []
        assert log.shown() == [("INFO", "[{}] intraday", ("AAPL",)), ("INFO", "[{}] intraday cache hit", ("AAPL",))]

    def test_no_bars(self, intraday, log, fake_cache, printer):
        result, _ = intraday(bars=[])
        assert result == {"error": "No intraday data", "symbol": "AAPL"}
        assert printer.calls == [] and [c[0] for c in fake_cache.calls] == ["get"]
        assert log.shown()[-1] == ("ERROR", "[{}] No intraday data", ("AAPL",))

    def test_printing_failure_leaves_the_cache_unwritten(self, intraday, fake_cache, printer, events):
        printer.fail = RuntimeError("no terminal")
        with pytest.raises(RuntimeError):
            intraday()
        assert events == ["print"]

    def test_through_run_a_cached_curve_is_reported_as_ibkr(self, command, fake_cache, sorvel):
        from sorvel_q_doubles import FakeState
        fake_cache.entries[sorvel.SorvelCache.intraday_key("AAPL")] = [{"close": 1}]
        cmd = command("AAPL", ["intraday", "5m"], state=FakeState(("AAPL", stock())), ib=FakeIB())
        assert run(cmd.run()) == {"symbol": "AAPL", "type": "intraday", "bars": [{"close": 1}], "source": "ibkr"}
