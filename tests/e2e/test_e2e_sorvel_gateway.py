"""Each mode of sorvel through the real client and the loopback gateway's sample data."""

from __future__ import annotations

import asyncio
import datetime as dt

import pandas as pd
import pytest


def test_latest_bars_then_the_same_query_from_the_cache(loopback_gateway, sorvel_over, printed):
    async def body(make):
        first = await make("AAPL", "day", "100").run()
        second = await make("AAPL", "day", "100").run()
        smaller = await make("AAPL", "day", "20").run()
        return first, second, smaller

    first, second, smaller = sorvel_over(loopback_gateway.port, body)

    # 140 calendar days back, as the command asks for 100 days: 94 sessions, six holidays among them.
    assert first["source"] == "ibkr" and first["count"] == 94 and "cached" not in first
    assert list(first["bars"][0]) == ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
    dates = [bar["date"] for bar in first["bars"]]
    assert all(type(d) is dt.date for d in dates) and dates == sorted(dates)
    assert all(d.weekday() < 5 for d in dates)
    assert [t for _, t in printed] == ["AAPL day (94 bars)"]

    requests = loopback_gateway.gateway.history_requests
    assert len(requests) == 1
    assert (requests[0].duration, requests[0].bar_size, requests[0].what_to_show, requests[0].end) == \
        ("140 D", "1 day", "TRADES", "")

    assert second["cached"] is True and second["source"] == "ibkr" and second["bars"] == first["bars"]
    assert smaller["cached"] is True and smaller["bars"] == first["bars"][-20:]
    assert len(loopback_gateway.gateway.history_requests) == 1


def test_date_range_and_intraday(loopback_gateway, sorvel_over, printed):
    async def body(make):
        history = await make("MSFT", "2025-01-02", "2025-03-03", "day").run()
        intraday = await make("MSFT", "intraday").run()
        return history, intraday

    history, intraday = sorvel_over(loopback_gateway.port, body)

    assert history["source"] == "ibkr"
    assert (history["start"], history["end"], history["period"]) == ("2025-01-02", "2025-03-03", "day")
    assert history["bars"] and all(bar["date"] <= dt.date(2025, 3, 3) for bar in history["bars"])
    request = loopback_gateway.gateway.history_requests[0]
    assert request.duration == "60 D" and request.end.startswith("20250303")

    assert intraday["type"] == "intraday" and intraday["source"] == "ibkr"
    stamps = [bar["date"] for bar in intraday["bars"]]
    assert stamps and all(isinstance(s, pd.Timestamp) and s.tzinfo is None for s in stamps)
    # Regular hours in the exchange's own wall-clock time, zone dropped.
    assert all(dt.time(9, 30) <= s.time() < dt.time(16, 0) for s in stamps)
    assert [t for _, t in printed][-1] == "MSFT Intraday"


def test_a_future_is_asked_for_as_its_continuous_series(loopback_gateway, sorvel_over, printed):
    async def body(make):
        op = make("/ES", "1h", "10")
        return await op.run(), op.symbol

    result, symbol = sorvel_over(loopback_gateway.port, body)

    # "1 D" of hourly bars: today's session so far, at most the ten asked for.
    assert result["source"] == "ibkr" and 0 < result["count"] <= 10
    assert symbol == result["symbol"]
    assert loopback_gateway.gateway.history_requests[0].contract.sec_type == "CONTFUT"


def test_unknown_symbol_and_refused_request_fall_back_to_yahoo(loopback_gateway_factory, sorvel_over, printed,
                                                              yahoo):
    gateway = loopback_gateway_factory(refuse_symbols=["MSFT"])

    async def body(make):
        unknown = await make("ZZZZ", "day", "2").run()
        refused = await make("MSFT", "day", "2").run()
        return unknown, refused

    unknown, refused = sorvel_over(gateway.port, body)

    assert unknown["source"] == "yfinance" and unknown["symbol"] == "ZZZZ" and unknown["count"] == 2
    assert refused["source"] == "yfinance" and refused["symbol"] == "MSFT"
    assert [symbol for symbol, _ in yahoo.downloads] == ["ZZZZ", "MSFT"]


def test_cancelling_the_command_cancels_the_pending_request(loopback_gateway_factory, sorvel_over, printed):
    gateway = loopback_gateway_factory(history_delay=5.0)

    async def body(make):
        op = make("AAPL", "day", "5")
        task = asyncio.create_task(op.run())
        while not gateway.gateway.history_requests:
            await asyncio.sleep(0.02)
        req_id = gateway.gateway.history_requests[0].req_id
        pending = op.ib.wrapper._futures[req_id]
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return pending

    pending = sorvel_over(gateway.port, body)

    # The client's own future for the request was cancelled, not left waiting
    # for an answer, and nothing was printed or returned.
    assert pending.cancelled()
    assert printed == []


def test_a_gateway_that_drops_mid_request_falls_back(loopback_gateway_factory, sorvel_over, printed, yahoo):
    gateway = loopback_gateway_factory(drop_after_history_requests=0)

    async def body(make):
        return await asyncio.wait_for(make("AAPL", "day", "3").run(), 20)

    result = sorvel_over(gateway.port, body)

    assert result["source"] == "yfinance" and result["count"] == 3
    assert yahoo.downloads and yahoo.downloads[0][0] == "AAPL"
