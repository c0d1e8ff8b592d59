"""The console's reading of bar dates gives exactly what the client library's own parser gives."""

from __future__ import annotations

import asyncio
import datetime as dt
import random

import pytest
from ib_async import IB, ContFuture, Stock, util, wrapper

from corvane.gateway import bar_dates
from corvane.gateway.connection import GatewayLink, GatewaySettings
from corvane_loopback.market_calendar import EXCHANGE_TZ

ORIGINAL = util.parseIBDatetime
FAST = bar_dates.make_fast_parser(ORIGINAL, util.ZoneInfo)


def outcome(parse, text):
    try:
        value = parse(text)
    except Exception as exc:
        return ("raised", type(exc), str(exc))
    return ("value", type(value), value, getattr(value, "tzinfo", None))


def differences(texts):
    return [t for t in texts if outcome(FAST, t) != outcome(ORIGINAL, t)]


@pytest.fixture
def served_dates(monkeypatch):
    """Every date text the client parses while a test runs."""
    seen: list = []
    monkeypatch.setattr(wrapper, "parseIBDatetime", lambda s: seen.append(s) or ORIGINAL(s))
    return seen


def test_every_bar_date_the_loopback_serves_reads_the_same(loopback_gateway_factory, run_ib,
                                                           served_dates):
    gateway = loopback_gateway_factory(now=dt.datetime(2025, 3, 5, 12, tzinfo=EXCHANGE_TZ))
    # Every bar size at both session choices, and the epoch-seconds form once.
    asks = [(size, duration, rth, 1)
            for size, duration in [("1 min", "2 D"), ("5 mins", "10 D"), ("15 mins", "30 D"),
                                   ("30 mins", "60 D"), ("1 hour", "1 Y"), ("1 day", "10 Y"),
                                   ("1 week", "10 Y"), ("1 month", "10 Y")]
            for rth in (True, False)] + [("1 min", "2 D", True, 2)]

    async def body(ib):
        contracts = [Stock("AAPL", "SMART", "USD"), ContFuture("ES")]
        contracts = await ib.qualifyContractsAsync(*contracts)
        for contract in contracts:
            for size, duration, rth, fmt in asks:
                await ib.reqHistoricalDataAsync(contract, "", duration, size, "TRADES", rth,
                                                formatDate=fmt)

    # Tens of thousands of bars: allow for a loaded machine and the sanitizers' slower malloc.
    run_ib(gateway.port, body, timeout=100)
    texts = set(served_dates)
    assert len(texts) > 5_000
    assert any(" US/Eastern" in t for t in texts) and any(len(t) == 8 for t in texts)
    assert differences(sorted(texts)) == []


def test_odd_text_reads_and_fails_the_same():
    odd = ["", "2025030", "20250230", "20251301", "00000101", "2025-03-05", "+2025030", " 2025030",
           "2025_305", "２０２５０３０５", "1741185000", "20250305 24:00:00 US/Eastern",
           "20250305 09:30:60 US/Eastern", "20250305 09:60:00 US/Eastern", "20250305 9:30:00 UTC",
           "20250305 09:30:00 Mars/Olympus", "20250305 09:30:00 America/New York",
           "20250305  09:30:00", "20250305 09:30:00 ", "20250305 09:30:00  UTC", "2025030５ 09:30:00 UTC",
           "20250229 09:30:00 UTC", "20240229 09:30:00 UTC", "20250305 09:30:0x UTC",
           "20250305 09-30-00 UTC", "2025-03-05 09:30:00.0", "20250305 09:30:00 ../../etc/passwd",
           b"20250305", None, 20250305]
    assert differences(odd) == []

    # Valid shapes with one character changed anywhere, to anything.
    rnd = random.Random(7)
    alphabet = "0123456789 :-/+_.aZ\t٣"
    samples = ["20250305 09:30:00 US/Eastern", "20241231 23:59:59 UTC", "20250305"]
    mutated = [t[:i] + rnd.choice(alphabet) + t[i + 1:] for t in samples
               for _ in range(1500) for i in [rnd.randrange(len(t))]]
    assert differences(mutated) == []


def test_connecting_installs_it_once(loopback_gateway, monkeypatch):
    monkeypatch.setattr(wrapper, "parseIBDatetime", ORIGINAL)

    async def connect_twice():
        link = GatewayLink(IB(), GatewaySettings(port=loopback_gateway.port, timeout=5))
        assert await link.connect()
        first = wrapper.parseIBDatetime
        link.close()
        assert await link.connect()
        link.close()
        return first

    first = asyncio.run(connect_twice())
    assert first is wrapper.parseIBDatetime and first.original is ORIGINAL
    bar_dates.uninstall()
    assert wrapper.parseIBDatetime is ORIGINAL
