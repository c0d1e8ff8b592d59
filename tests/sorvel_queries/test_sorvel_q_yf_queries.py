"""The yfinance path: _run_yfinance and its three queries."""

from __future__ import annotations

import datetime as dt

import pandas as pd
import pytest

from sorvel_q_doubles import run, yf_daily_frame, yf_minute_frame
from frozen_now import TODAY

D = dt.date
COLUMNS = ["date", "open", "high", "low", "close", "volume", "average", "barCount"]


@pytest.fixture
def query(command, yf):
    """query(method, words=None, frame=...) -> result; yf.calls holds the download."""

    def call(method, words=None, frame=None, symbol="AAPL"):
        yf.answer = yf_daily_frame(3) if frame is None else frame
        cmd = command(symbol)
        coro = getattr(cmd, method)() if words is None else getattr(cmd, method)(words)
        return run(coro)

    return call


class TestDispatch:
    @pytest.mark.parametrize("words, method", [
        (["intraday", "5m"], "_intraday_yfinance"),
        (["Intraday"], "_sorvel_yfinance"),
        (["2025-01-01", "2025-06-01", "day"], "_history_yfinance"),
        (["yesterday"], "_history_yfinance"),
        ([], "_sorvel_yfinance"),
        (["week", "10"], "_sorvel_yfinance"),
    ])
    def test_first_word_picks_the_query(self, command, log, words, method):
        cmd = command("AAPL", words)
        seen = []
        for name in ("_intraday_yfinance", "_history_yfinance", "_sorvel_yfinance"):
            async def answer(*args, name=name):
                seen.append((name, args))
                log.calls.append(("INFO", name, ()))
                return {"from": name}
            setattr(cmd, name, answer)
        assert run(cmd._run_yfinance(words)) == {"from": method}
        assert seen == [(method, () if method == "_intraday_yfinance" else (words,))]
        assert seen[0][1] == () or seen[0][1][0] is words
        assert log.shown() == [("INFO", "[{}] yfinance fallback: rest={}", ("AAPL", words)), ("INFO", method, ())]

    def test_rest_is_shown_as_a_list(self, command, log, yf):
        run(command("AAPL")._run_yfinance(["2025-01-01", "day"]))
        assert log.lines[0] == ("INFO", "[AAPL] yfinance fallback: rest=['2025-01-01', 'day']")

    @pytest.mark.parametrize("answer", [[], "text"])
    def test_only_dict_or_none_results(self, command, answer):
        cmd = command("AAPL")

        async def odd(rest):
            return answer

        cmd._sorvel_yfinance = odd
        with pytest.raises(TypeError):
            run(cmd._run_yfinance([]))

    def test_rest_must_be_a_list(self, command):
        with pytest.raises(TypeError, match="rest"):
            command()._run_yfinance(None)


class TestLatest:
    @pytest.mark.parametrize("words, period, interval, count, adjust, flag", [
        ([], "5y", "1d", 250, "none", False),
        (["5m", "200", "adj"], "5d", "5m", 200, "adj", True),
        (["1h"], "6mo", "60m", 130, "none", False),
        (["week"], "max", "1wk", 156, "none", False),
        (["year"], "max", "1mo", 120, "none", False),
        (["d"], "1y", "1d", 100, "none", False),
        (["minute"], "1y", "1d", 100, "none", False),
        (["DAY"], "5y", "1d", 250, "DAY", False),
        (["day", "forward"], "5y", "1d", 250, "forward", True),
        (["1.5"], "5y", "1d", 250, "1.5", False),
        (["100"], "5y", "1d", 100, "none", False),
    ])
    def test_words_make_the_download(self, query, yf, log, fake_cache, words, period, interval, count, adjust, flag):
        result = query("_sorvel_yfinance", words)
        assert yf.calls[0].kwargs == [("period", period), ("interval", interval), ("auto_adjust", flag)]
        assert fake_cache.calls[0][1].count == count and result["adjust"] == adjust
        assert log.shown() == [("INFO", "[{}] yfinance sorvel: period={}, interval={}, count={}, adjust={}",
                                ("AAPL", period, interval, count, flag))]
        assert log.lines[0][1].endswith(f"adjust={flag}")

    def test_last_rows_kept_printed_then_stored(self, query, fake_cache, printer, events, sorvel):
        result = query("_sorvel_yfinance", ["day", "2", "adj"], frame=yf_daily_frame(5))
        key = sorvel.SorvelCache.count_key("AAPL", "day", "adj", 2)
        assert list(result) == ["symbol", "period", "count", "adjust", "bars", "source"]
        assert (result["count"], result["source"]) == (2, "yfinance")
        assert result["bars"][0] == {"date": dt.datetime(2025, 1, 5), "open": 13.5, "high": 14.5, "low": 12.5,
                                     "close": 13.25, "volume": 503, "average": 13.25, "barCount": 1}
        assert [list(bar) for bar in result["bars"]] == [COLUMNS] * 2
        assert events == ["print", "set"] and fake_cache.calls[-1] == ("set", key, result["bars"])
        frame, title = printer.calls[0]
        assert title == "AAPL day (2 bars) [yfinance]"
        assert list(frame.columns) == COLUMNS
        assert list(frame["date"]) == [pd.Timestamp("2025-01-05"), pd.Timestamp("2025-01-06")]

    def test_fewer_rows_than_asked_are_kept_whole(self, query, fake_cache, printer):
        result = query("_sorvel_yfinance", ["day", "10"], frame=yf_daily_frame(3))
        assert result["count"] == 3 and printer.titles == ["AAPL day (3 bars) [yfinance]"]

    @pytest.mark.parametrize("answer", [RuntimeError("HTTP 404"), pd.DataFrame(), pd.DataFrame(index=[1, 2])],
                             ids=["failed", "no-rows", "no-columns"])
    def test_no_data(self, query, log, fake_cache, printer, answer):
        assert query("_sorvel_yfinance", [], frame=answer) == {"error": "No data returned", "symbol": "AAPL"}
        assert printer.calls == [] and "set" not in [c[0] for c in fake_cache.calls]
        assert log.shown()[-1] == ("ERROR", "[{}] yfinance returned no data", ("AAPL",))

    def test_exact_hit_is_silent(self, query, yf, log, fake_cache, printer, sorvel):
        key = sorvel.SorvelCache.count_key("AAPL", "d", "none", 100)
        fake_cache.entries[key] = [{"close": 1}]
        result = query("_sorvel_yfinance", ["d"])
        assert result == {"symbol": "AAPL", "period": "d", "count": 1, "adjust": "none",
                          "bars": [{"close": 1}], "cached": True}
        assert yf.calls == [] and printer.calls == [] and log.calls == []

    def test_larger_hit_is_stored_and_silent(self, query, yf, log, fake_cache, printer, sorvel):
        fake_cache.larger = [{"close": 5}]
        result = query("_sorvel_yfinance", ["week", "1"])
        key = sorvel.SorvelCache.count_key("AAPL", "week", "none", 1)
        assert fake_cache.calls == [("get", key), ("try_larger_count", "AAPL", "week", "none", 1),
                                    ("set", key, [{"close": 5}])]
        assert result == {"symbol": "AAPL", "period": "week", "count": 1, "adjust": "none",
                          "bars": [{"close": 5}], "cached": True}
        assert yf.calls == [] and printer.calls == [] and log.calls == []

    def test_printing_failure_stores_nothing(self, query, fake_cache, printer, events):
        printer.fail = RuntimeError("no terminal")
        with pytest.raises(RuntimeError):
            query("_sorvel_yfinance", [])
        assert events == ["print"]

    def test_frame_without_close_propagates(self, query, fake_cache):
        with pytest.raises(KeyError):
            query("_sorvel_yfinance", [], frame=yf_daily_frame(2).drop(columns=["Close"]))
        assert "set" not in [c[0] for c in fake_cache.calls]


class TestRange:
    @pytest.mark.parametrize("words, start, end, period, interval, adjust, flag", [
        (["2025-01-01", "day"], D(2025, 1, 1), TODAY, "day", "1d", "none", False),
        (["2025-01-01", "2025-06-01", "day", "adj"], D(2025, 1, 1), D(2025, 6, 1), "day", "1d", "adj", True),
        (["2025-01-01", "2025-06-01", "5m"], D(2025, 1, 1), D(2025, 6, 1), "5m", "5m", "none", False),
        (["2025-01-01", "week"], D(2025, 1, 1), TODAY, "week", "1wk", "none", False),
        (["2025-01-01", "1h"], D(2025, 1, 1), TODAY, "1h", "60m", "none", False),
        (["2025-01-01", "w"], D(2025, 1, 1), TODAY, "w", "1d", "none", False),
        (["2025-01-01", "adj"], D(2025, 1, 1), TODAY, "day", "1d", "adj", True),
        (["2025-01-01", "xyz", "day"], D(2025, 1, 1), TODAY, "day", "1d", "xyz", False),
        (["yesterday"], TODAY - dt.timedelta(days=1), TODAY, "day", "1d", "none", False),
    ])
    def test_words_make_the_download(self, query, yf, log, fake_cache, sorvel,
                                     words, start, end, period, interval, adjust, flag):
        result = query("_history_yfinance", words)
        kwargs = yf.calls[0].kwargs
        assert kwargs == [("start", start), ("end", end), ("interval", interval), ("auto_adjust", flag)]
        assert all(type(value) is dt.date for _, value in kwargs[:2])
        key = sorvel.SorvelCache.range_key("AAPL", period, adjust, str(start), str(end))
        assert fake_cache.calls[0] == ("get", key)
        assert list(result) == ["symbol", "period", "start", "end", "adjust", "bars", "source"]
        assert (result["period"], result["start"], result["end"], result["adjust"]) == (
            period, str(start), str(end), adjust)
        assert log.shown() == [("INFO", "[{}] yfinance history: {} \u2192 {}, interval={}, adjust={}",
                                ("AAPL", start, end, interval, flag))]

    def test_every_row_is_printed_then_stored(self, query, fake_cache, printer, events):
        result = query("_history_yfinance", ["2025-01-03", "2025-01-04"], frame=yf_daily_frame(4))
        assert len(result["bars"]) == 4 and result["bars"][0]["date"] == dt.datetime(2025, 1, 2)
        assert events == ["print", "set"] and fake_cache.calls[-1][2] == result["bars"]
        assert printer.titles == ["AAPL day 2025-01-03 ~ 2025-01-04 [yfinance]"]
        assert len(printer.calls[0][0]) == 4

    @pytest.mark.parametrize("words, start, end", [
        (["today"], str(TODAY), str(TODAY)),
        (["2025-06-01", "2025-01-01"], "2025-06-01", "2025-01-01"),
    ])
    def test_dates_out_of_order_are_refused_silently(self, query, yf, log, fake_cache, words, start, end):
        assert query("_history_yfinance", words) == {"error": "Start must be before end", "start": start, "end": end}
        assert yf.calls == [] and fake_cache.calls == [] and log.calls == []

    def test_cache_hit_is_silent(self, query, yf, log, fake_cache, printer, sorvel):
        fake_cache.entries[sorvel.SorvelCache.range_key("AAPL", "day", "none", "2025-01-01", "2025-06-01")] = []
        result = query("_history_yfinance", ["2025-01-01", "2025-06-01"])
        assert result == {"symbol": "AAPL", "period": "day", "start": "2025-01-01", "end": "2025-06-01",
                          "adjust": "none", "bars": [], "cached": True}
        assert yf.calls == [] and printer.calls == [] and log.calls == []

    @pytest.mark.parametrize("failed", [True, False])
    def test_no_data_is_not_logged_here(self, query, yf, log, fake_cache, printer, failed):
        result = query("_history_yfinance", ["2025-01-01", "2025-06-01"],
                       frame=RuntimeError("down") if failed else yf_daily_frame(0))
        assert result == {"error": "No data in range", "symbol": "AAPL", "start": "2025-01-01", "end": "2025-06-01"}
        errors = [t for level, t, _ in log.calls if level == "ERROR"]
        assert errors == (["[{}] yfinance fetch failed: {}"] if failed else [])
        assert printer.calls == [] and [c[0] for c in fake_cache.calls] == ["get"]

    def test_date_that_does_not_exist_raises(self, query):
        with pytest.raises(ValueError):
            query("_history_yfinance", ["2025-13-45"])


class TestIntraday:
    def test_fetched_curve_is_stored_then_printed(self, query, yf, log, fake_cache, printer, events, sorvel):
        result = query("_intraday_yfinance", frame=yf_minute_frame(3))
        key = sorvel.SorvelCache.intraday_key("AAPL")
        assert yf.calls[0].kwargs == [("period", "1d"), ("interval", "1m"), ("auto_adjust", False)]
        assert list(result) == ["symbol", "type", "bars", "source"]
        assert (result["symbol"], result["type"], result["source"]) == ("AAPL", "intraday", "yfinance")
        assert [bar["date"] for bar in result["bars"]] == [dt.datetime(2025, 3, 3, 9, 30 + i) for i in range(3)]
        assert list(result["bars"][0]) == COLUMNS
        assert events == ["set", "print"] and fake_cache.calls == [("get", key), ("set", key, result["bars"])]
        assert printer.titles == ["AAPL Intraday [yfinance]"]
        assert log.shown() == [("INFO", "[{}] yfinance intraday", ("AAPL",))]

    @pytest.mark.parametrize("cached", [[], [{"close": 1}]])
    def test_cache_hit(self, query, yf, log, fake_cache, printer, sorvel, cached):
        fake_cache.entries[sorvel.SorvelCache.intraday_key("AAPL")] = cached
        result = query("_intraday_yfinance")
        assert result == {"symbol": "AAPL", "type": "intraday", "bars": cached, "source": "cache"}
        assert yf.calls == [] and printer.calls == []
        assert log.shown() == [("INFO", "[{}] yfinance intraday", ("AAPL",)),
                               ("INFO", "[{}] intraday cache hit (yfinance path)", ("AAPL",))]

    @pytest.mark.parametrize("failed", [True, False])
    def test_no_data(self, query, log, fake_cache, printer, failed):
        result = query("_intraday_yfinance", frame=RuntimeError("down") if failed else yf_minute_frame(0))
        assert result == {"error": "No intraday data", "symbol": "AAPL"}
        errors = [t for level, t, _ in log.calls if level == "ERROR"]
        assert errors == (["[{}] yfinance fetch failed: {}"] if failed else [])
        assert printer.calls == [] and [c[0] for c in fake_cache.calls] == ["get"]

    def test_printing_failure_leaves_the_curve_cached(self, query, real_cache, printer, sorvel):
        printer.fail = RuntimeError("no terminal")
        with pytest.raises(RuntimeError):
            query("_intraday_yfinance", frame=yf_minute_frame(2))
        assert len(real_cache().get(sorvel.SorvelCache.intraday_key("AAPL"))) == 2
