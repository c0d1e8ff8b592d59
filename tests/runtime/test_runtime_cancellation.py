"""Cancellation and interpreter-level exceptions pass through run(): its
gateway attempt catches what `except Exception` catches and nothing else."""

from __future__ import annotations

import asyncio
import gc
import warnings

import pytest
from ib_async import Stock


class Resolving:
    connected = True

    async def positionalQuoteRepopulate(self, symbol):
        return symbol, Stock(symbol, "SMART", "USD")


class PendingGateway:
    """reqHistoricalDataAsync waits on an event nobody sets; records how it ended."""

    def __init__(self):
        self.started = asyncio.Event()
        self.ended_by = []

    async def reqHistoricalDataAsync(self, *args, **kwargs):
        self.started.set()
        try:
            await asyncio.Event().wait()
        except BaseException as exc:
            self.ended_by.append(type(exc))
            raise


class EmptyCache:
    def get(self, key):
        return None

    def try_larger_count(self, *args):
        return None

    def set(self, key, records):
        raise AssertionError("nothing was fetched")


@pytest.fixture
def gateway_op(sorvel, make_op, monkeypatch):
    monkeypatch.setattr(sorvel, "_sorvel_cache", EmptyCache())
    fallbacks = []

    async def fallback(rest):
        fallbacks.append(rest)
        return {"fallback": True}

    gateway = PendingGateway()
    op = make_op(state=Resolving(), ib=gateway, _run_yfinance=fallback)
    return op, gateway, fallbacks


@pytest.mark.parametrize("rest", [["day", "5"], ["2025-01-02", "2025-01-10"], ["intraday"]])
def test_cancelling_the_task_reaches_the_pending_request(gateway_op, rest):
    op, gateway, fallbacks = gateway_op
    op.rest = rest

    async def main():
        task = asyncio.create_task(op.run())
        await gateway.started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task

    task = asyncio.run(main())
    assert task.cancelled()
    assert gateway.ended_by == [asyncio.CancelledError]
    assert fallbacks == []  # not swallowed into a fallback


def test_timeout_reaches_the_pending_request(gateway_op):
    op, gateway, fallbacks = gateway_op
    with pytest.raises(TimeoutError):
        asyncio.run(asyncio.wait_for(op.run(), 0.05))
    assert gateway.ended_by == [asyncio.CancelledError] and fallbacks == []


@pytest.mark.parametrize("raised", [KeyboardInterrupt(), SystemExit(3), asyncio.CancelledError()])
def test_interpreter_exceptions_are_not_swallowed_by_the_fallback(gateway_op, raised):
    op, _, fallbacks = gateway_op

    class Interrupting(Resolving):
        async def positionalQuoteRepopulate(self, symbol):
            raise raised

    op.state = Interrupting()
    coro = op.run()
    with pytest.raises(type(raised)) as info:
        coro.send(None)
    assert info.value is raised
    assert fallbacks == []


def test_ordinary_exceptions_do_fall_back(gateway_op):
    op, _, fallbacks = gateway_op

    class Failing(Resolving):
        async def positionalQuoteRepopulate(self, symbol):
            raise ConnectionError("gateway gone")

    op.state = Failing()
    assert asyncio.run(op.run()) == {"fallback": True}
    assert fallbacks == [[]]


def test_task_cancelled_before_it_starts_never_runs_the_body(gateway_op):
    op, gateway, fallbacks = gateway_op
    asked = []

    class Watching(Resolving):
        async def positionalQuoteRepopulate(self, symbol):
            asked.append(symbol)
            return await super().positionalQuoteRepopulate(symbol)

    op.state = Watching()

    async def main():
        task = asyncio.create_task(op.run())
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        asyncio.run(main())
        gc.collect()
    assert asked == [] and fallbacks == [] and gateway.ended_by == []
    assert [w for w in caught if issubclass(w.category, RuntimeWarning)] == []
