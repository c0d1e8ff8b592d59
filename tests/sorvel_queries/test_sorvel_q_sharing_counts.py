"""What crosses between the two sources: cache entries stored by one path
answer the other; and counts that cannot be served, on both paths."""

from __future__ import annotations

import asyncio
import datetime as dt

import pytest

from sorvel_q_doubles import FakeIB, FakeState, daily_bars, minute_bars, run, stock, yf_daily_frame, yf_minute_frame


@pytest.fixture
def gateway(command):
    def query(method, *words, bars=None):
        ib = FakeIB(bars if bars is not None else daily_bars(4))
        cmd = command("AAPL", ib=ib)
        coro = getattr(cmd, method)(stock(), *words)
        return run(coro), ib

    return query


@pytest.fixture
def yahoo(command, yf):
    def query(method, *words, frame=None):
        yf.answer = frame if frame is not None else yf_daily_frame(4)
        before = len(yf.calls)
        result = run(getattr(command("AAPL"), method)(*words))
        return result, len(yf.calls) - before

    return query


class TestSharedCache:
    @pytest.mark.parametrize("gw, yfq, words", [
        ("_sorvel", "_sorvel_yfinance", ["day", "3", "adj"]),
        ("_history", "_history_yfinance", ["2025-01-01", "2025-02-01", "week"]),
    ])
    def test_gateway_entry_answers_yfinance(self, gateway, yahoo, real_cache, gw, yfq, words):
        fetched, _ = gateway(gw, words)
        cached, downloads = yahoo(yfq, words)
        assert downloads == 0 and cached["cached"] is True and cached["bars"] == fetched["bars"]

    @pytest.mark.parametrize("gw, yfq, words", [
        ("_sorvel", "_sorvel_yfinance", ["week", "2"]),
        ("_history", "_history_yfinance", ["2025-01-01", "2025-02-01", "adj"]),
    ])
    def test_yfinance_entry_answers_the_gateway(self, gateway, yahoo, real_cache, printer, gw, yfq, words):
        fetched, downloads = yahoo(yfq, words)
        cached, ib = gateway(gw, words)
        assert downloads == 1 and ib.requests == [] and len(printer.calls) == 1
        assert cached["cached"] is True and cached["bars"] == fetched["bars"]

    def test_larger_yfinance_entry_answers_a_smaller_gateway_query(self, gateway, yahoo, real_cache):
        fetched, _ = yahoo("_sorvel_yfinance", ["day", "4"])
        cached, ib = gateway("_sorvel", ["day", "2"])
        assert ib.requests == [] and cached["bars"] == fetched["bars"][-2:]

    def test_intraday_both_ways(self, command, yahoo, real_cache, log, yf):
        ib = FakeIB(minute_bars(2))
        fetched = run(command("AAPL", ib=ib)._intraday(stock()))
        cached, downloads = yahoo("_intraday_yfinance")
        assert downloads == 0 and cached == {**fetched, "source": "cache"}

        real_cache().clear()
        fetched, _ = yahoo("_intraday_yfinance", frame=yf_minute_frame(3))
        ib = FakeIB(minute_bars(2))
        cached = run(command("AAPL", ib=ib)._intraday(stock()))
        assert ib.requests == [] and cached == {**fetched, "source": "cache"}

    def test_resolved_symbol_keys_the_fallback(self, command, real_cache, yf, sorvel):
        # The gateway resolved "aapl.x" to AAPL and then failed: the fallback
        # stores under AAPL, so the next disconnected AAPL query is a hit.
        yf.answer = yf_daily_frame(3)
        ib = FakeIB(raises=ConnectionError("lost"))
        cmd = command("aapl.x", ["day", "3"], state=FakeState(("AAPL", stock())), ib=ib)
        first = run(cmd.run())
        again = run(command("AAPL", ["day", "3"], state=FakeState(connected=False)).run())
        assert first["symbol"] == "AAPL" and again["cached"] is True and len(yf.calls) == 1


class TestCounts:
    @pytest.mark.parametrize("words, count", [(["day", "0"], 0), (["-5"], -5), (["5m", "-0", "adj"], 0)])
    @pytest.mark.parametrize("path", ["gateway", "yfinance"])
    def test_count_not_positive_is_refused_before_cache_and_request(
            self, command, yf, fake_cache, log, printer, words, count, path):
        ib = FakeIB(daily_bars(2))
        cmd = command("AAPL", ib=ib)
        coro = cmd._sorvel(stock(), words) if path == "gateway" else cmd._sorvel_yfinance(words)
        assert run(coro) == {"error": "Count must be positive", "symbol": "AAPL"}
        assert fake_cache.calls == [] and ib.requests == [] and yf.calls == [] and printer.calls == []
        assert log.shown() == [("ERROR", "[{}] Count must be positive: {}", ("AAPL", count))]

    def test_count_not_positive_through_run(self, command, yf, fake_cache, log):
        cmd = command("AAPL", ["day", "0"], state=FakeState(("AAPL", stock())), ib=FakeIB(daily_bars(2)))
        assert run(cmd.run()) == {"error": "Count must be positive", "symbol": "AAPL"}
        assert log.shown() == [
            ("ERROR", "[{}] Count must be positive: {}", ("AAPL", 0)),
            ("WARNING", "[{}] IBKR returned error ({}), falling back to yfinance", ("AAPL", "Count must be positive")),
            ("INFO", "[{}] yfinance fallback: rest={}", ("AAPL", ["day", "0"])),
            ("ERROR", "[{}] Count must be positive: {}", ("AAPL", 0)),
        ]

    @pytest.mark.parametrize("path", ["gateway", "yfinance"])
    def test_count_beyond_the_digit_limit_is_the_adjustment_word(self, command, yf, fake_cache, printer, path):
        huge = "9" * 5000
        ib = FakeIB(daily_bars(2))
        yf.answer = yf_daily_frame(2)
        cmd = command("AAPL", ib=ib)
        result = run(cmd._sorvel(stock(), ["day", huge]) if path == "gateway" else cmd._sorvel_yfinance(["day", huge]))
        assert result["adjust"] == huge and fake_cache.calls[0][1].count == 250
        assert printer.titles[0] in ("AAPL day (2 bars)", "AAPL day (2 bars) [yfinance]")
        if path == "gateway":
            assert ib.requests[0][1][3] == ("whatToShow", "TRADES")

    def test_long_count_overflows_the_gateway_arithmetic_and_falls_back(self, command, yf, real_cache, log, printer):
        long_count = "9" * 400
        yf.answer = yf_daily_frame(3)
        ib = FakeIB(daily_bars(2))
        cmd = command("AAPL", ["day", long_count], state=FakeState(("AAPL", stock())), ib=ib)
        result = run(cmd.run())
        assert ib.requests == []
        assert ("WARNING", "[{}] IBKR failed ({}), falling back to yfinance",
                ("AAPL", "int too large to convert to float")) in log.shown()
        # yfinance has no arithmetic on the count: every fetched row is kept
        assert result["source"] == "yfinance" and result["count"] == 3 and result["bars"]
        assert printer.titles == ["AAPL day (3 bars) [yfinance]"]


def test_overlapping_identical_queries_both_fetch_and_the_later_store_stays(command, real_cache, sorvel):
    gates: list[asyncio.Event] = []

    class GatedIB:
        async def reqHistoricalDataAsync(self, contract, **kwargs):
            gate = asyncio.Event()
            gates.append(gate)
            answer = daily_bars(1, start=dt.date(2025, 1, len(gates)))
            await gate.wait()
            return answer

    async def main():
        cmd = command("AAPL", ib=GatedIB())
        first = asyncio.create_task(cmd._sorvel(stock(), ["day", "1"]))
        second = asyncio.create_task(cmd._sorvel(stock(), ["day", "1"]))
        while len(gates) < 2:
            await asyncio.sleep(0)
        gates[1].set()
        await second
        gates[0].set()
        return await first

    result = run(main())
    stored = real_cache().get(sorvel.SorvelCache.count_key("AAPL", "day", "none", 1))
    assert len(gates) == 2 and stored == result["bars"] and stored[0]["date"] == dt.date(2025, 1, 1)
