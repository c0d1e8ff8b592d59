"""Thousands of calls of the helpers and coroutine methods, with fakes in
place of the gateway and the cache, leave nothing behind: no references to
shared objects, no live command instances, no growth of the object count."""

from __future__ import annotations

import asyncio
import gc
import sys
import tracemalloc
import weakref

from ib_async import Stock

ROUNDS = 1500


class Cache:
    def __init__(self, bars):
        self.bars = bars

    def get(self, key):
        return self.bars

    def try_larger_count(self, *args):
        return None

    def set(self, key, records):
        pass


class State:
    connected = True

    def __init__(self, contract):
        self.contract = contract

    async def positionalQuoteRepopulate(self, symbol):
        return symbol, self.contract


class Silent:
    def __getattr__(self, level):
        return lambda *args: None


class Failing:
    async def __call__(self):
        raise KeyError("intraday")


def test_repeated_calls_leak_nothing(sorvel, make_op, monkeypatch):
    contract = Stock("AAPL", "SMART", "USD")
    bars = [{"close": 1.0}]
    state, cache, failing = State(contract), Cache(bars), Failing()
    words = ["day", "5"]
    monkeypatch.setattr(sorvel, "_sorvel_cache", cache)
    monkeypatch.setattr(sorvel, "logger", Silent())  # the recording logger would grow
    instances = []

    def helpers():
        sorvel._is_date("2025-01-01")
        sorvel._is_period("day")
        sorvel._parse_date("yesterday")
        sorvel._calc_duration(400)
        sorvel._get_cache()
        for bad in (lambda: sorvel._is_date(1), lambda: sorvel._parse_date("2025-13-45"),
                    lambda: sorvel.IOpSorvel._sorvel(), lambda: sorvel.IOpSorvel._run_yfinance(None, ())):
            try:
                bad()
            except (TypeError, ValueError):
                pass

    async def coroutines():
        op = make_op(rest=words, state=state)
        instances.append(weakref.ref(op))
        await op.run()                       # cached latest bars
        op.rest = ["2025-01-02", "2025-01-09"]
        await op.run()                       # cached range
        op.rest = ["intraday"]
        await op.run()                       # cached curve
        op.run().close()                     # never started
        op._intraday_yfinance = failing
        try:
            await op._run_yfinance(["intraday"])
        except KeyError:
            pass
        task = asyncio.ensure_future(op.run())
        await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass

    async def rounds(n):
        for _ in range(n):
            helpers()
            await coroutines()

    asyncio.run(rounds(50))  # warm caches, interned names, lazily built signatures
    instances.clear()
    gc.collect()
    shared = (state, cache, failing, words, bars, contract)
    refs_before = [sys.getrefcount(o) for o in shared]
    objects_before = len(gc.get_objects())
    tracemalloc.start()
    try:
        memory_before = tracemalloc.get_traced_memory()[0]
        asyncio.run(rounds(ROUNDS))
        gc.collect()
        memory_growth = tracemalloc.get_traced_memory()[0] - memory_before
    finally:
        tracemalloc.stop()

    assert [sys.getrefcount(o) for o in shared] == refs_before
    assert all(ref() is None for ref in instances)
    # A leak of one object per round would show as thousands.
    assert len(gc.get_objects()) - len(instances) - objects_before < 200
    assert memory_growth < 200_000
