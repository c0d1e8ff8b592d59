"""The pacing scheduler against the gateway's rules, on an event loop whose clock skips every wait."""

from __future__ import annotations

import asyncio
from types import SimpleNamespace

import pytest
from corvane.history.pacing import (
    Pacer,
    PacingError,
    pace_scale_from_env,
    paced_by,
    unwrap_client,
    wrap_client,
)
from eventkit import Event


class SkippingLoop(asyncio.SelectorEventLoop):
    """Time moves only when every task waits, and then straight to the next timer."""

    def __init__(self) -> None:
        self.now = 0.0
        super().__init__()
        poll = self._selector.select

        def select(timeout=None):
            events = poll(0)
            if not events and timeout:
                self.now += timeout
            return events

        self._selector.select = select

    def time(self) -> float:
        return self.now


def run(body):
    return asyncio.run(body(), loop_factory=SkippingLoop)


async def send_all(pacer, requests, hold=0.0):
    """Send (key, identity) requests at once; the instants each was let through."""
    loop = asyncio.get_running_loop()
    sent = {}

    async def one(i, key, identity):
        async with pacer.request(key, identity):
            sent[i] = loop.time()
            await asyncio.sleep(hold)

    await asyncio.gather(*(one(i, *r) for i, r in enumerate(requests)))
    return [sent[i] for i in range(len(requests))]


@pytest.mark.parametrize("scale", [1.0, 0.01])
def test_bursts_wait_for_every_rule(scale):
    async def body():
        pacer = Pacer(scale, clock=asyncio.get_running_loop().time)
        burst = await send_all(pacer, [("AAPL", i) for i in range(8)])
        assert all(later - early >= 2 * scale for early, later in zip(burst, burst[5:]))  # never 6 in 2 s
        start = asyncio.get_running_loop().time()
        again = await send_all(pacer, [("AAPL", 0)])  # identical to the first of the burst
        assert again[0] - burst[0] >= 15 * scale and again[0] >= start
        many = sorted(await send_all(pacer, [(f"S{i}", f"s{i}") for i in range(52)]))  # 61 in all
        assert many[50] - burst[0] < 600 * scale <= many[51] - burst[0] <= 600 * scale + 1
        return pacer.sent, pacer.open, pacer.waiting

    assert run(body) == (61, 0, 0)


def test_open_cap_cancellation_and_slowdown():
    async def body():
        loop = asyncio.get_running_loop()
        pacer = Pacer(clock=loop.time)
        held = await send_all(pacer, [(f"S{i}", i) for i in range(51)], hold=30.0)
        assert max(held) >= 30 and sorted(held)[49] < 30  # the 51st waited for a body to exit
        # A waiter cancelled takes nothing; a body cancelled gives its slot back.
        first = loop.create_task(send_all(pacer, [("MSFT", "a")], hold=100.0))
        await asyncio.sleep(1)
        waiting = loop.create_task(send_all(pacer, [("MSFT", "a")]))
        await asyncio.sleep(1)
        assert (pacer.open, pacer.waiting) == (1, 1)
        waiting.cancel()
        first.cancel()
        await asyncio.gather(first, waiting, return_exceptions=True)
        assert (pacer.open, pacer.waiting) == (0, 0)
        pacer.slowdown()
        pacer.slowdown()
        assert pacer.factor() == 4
        slow = await send_all(pacer, [("IBM", i) for i in range(6)])
        assert slow[5] - slow[0] >= 8
        await asyncio.sleep(61)
        return pacer.factor()

    assert run(body) == 1


def test_wrapped_client_paces_every_caller_once():
    async def body():
        loop = asyncio.get_running_loop()
        calls = []

        class Client:
            errorEvent = Event("errorEvent")

            async def reqHistoricalDataAsync(self, contract, endDateTime, durationStr, barSizeSetting,
                                             whatToShow, useRTH, formatDate=1, keepUpToDate=False, timeout=60):
                calls.append(loop.time())
                return [durationStr]

        ib, pacer = Client(), Pacer(clock=loop.time)
        wrap_client(ib, pacer)
        wrap_client(ib, pacer)
        aapl = SimpleNamespace(symbol="aapl", conId=0, exchange="SMART")
        assert await ib.reqHistoricalDataAsync(aapl, "", "1 D", "1 min", "TRADES", True) == ["1 D"]
        again = await ib.reqHistoricalDataAsync(aapl, endDateTime="", durationStr="1 D", barSizeSetting="1 min",
                                                whatToShow="TRADES", useRTH=True, keepUpToDate=False, timeout=60)
        assert again == ["1 D"] and len(calls) == 1 and paced_by(ib) is pacer  # identical, however spelled
        await asyncio.sleep(15)
        both = [ib.reqHistoricalDataAsync(aapl, "", "1 D", "1 min", "TRADES", True) for _ in range(2)]
        assert await asyncio.gather(*both) == [["1 D"], ["1 D"]]  # at once: one request serves both
        assert len(calls) == 2 and calls[1] - calls[0] >= 15
        ib.errorEvent.emit(7, 162, "Historical Market Data Service error message:Historical data request pacing violation", None)
        assert pacer.factor() == 2
        unwrap_client(ib)
        assert paced_by(ib) is None and "reqHistoricalDataAsync" not in vars(ib) and not len(ib.errorEvent)

    run(body)
    assert pace_scale_from_env({}) == 1.0 and pace_scale_from_env({"CORVANE_PACE_SCALE": "0.01"}) == 0.01
    for bad in ("0", "-1", "nan", "inf", "fast"):
        with pytest.raises(PacingError, match="CORVANE_PACE_SCALE must be a positive number"):
            pace_scale_from_env({"CORVANE_PACE_SCALE": bad})


def test_commands_at_once_hear_only_the_gateway_errors_of_their_own_requests():
    # The owner runs several clients' commands on one connection: one symbol's refusal must not
    # explain another's failure, while a request two commands share, and the connection, concern both.
    from corvane.gateway.error_watch import gateway_errors, track_requests

    async def body():
        class Client:
            def __init__(self):
                self.next_id = 0

            def getReqId(self):
                self.next_id += 1
                return self.next_id

        class IB:
            errorEvent = Event("errorEvent")
            client = Client()

            async def reqContractDetailsAsync(self, symbol):
                req_id = self.client.getReqId()
                await asyncio.sleep(0)
                self.errorEvent.emit(req_id, 200, f"No security definition for {symbol}", None)

            async def reqHistoricalDataAsync(self, contract, endDateTime, durationStr, barSizeSetting,
                                             whatToShow, useRTH):
                req_id = self.client.getReqId()
                await asyncio.sleep(1)
                self.errorEvent.emit(req_id, 162, "pacing violation", None)
                return []

        ib = IB()
        track_requests(ib)
        wrap_client(ib, Pacer(clock=asyncio.get_running_loop().time))
        spy = SimpleNamespace(symbol="spy", conId=0, exchange="SMART")

        async def command(symbol):
            with gateway_errors(ib) as said:
                await ib.reqContractDetailsAsync(symbol)
                await ib.reqHistoricalDataAsync(spy, "", "1 D", "1 min", "TRADES", True)
                ib.errorEvent.emit(-1, 1100, "Connectivity between IBKR and Trader Workstation has been lost.", None)
                return said

        first, second = await asyncio.gather(command("XX"), command("YY"))
        lost = "error 1100: Connectivity between IBKR and Trader Workstation has been lost."
        assert first == ["error 200: No security definition for XX", "error 162: pacing violation", lost]
        assert second == ["error 200: No security definition for YY", "error 162: pacing violation", lost]

    run(body)


def test_sessions_on_threads_of_their_own_share_one_pacer():
    """Each session has its own loop on its own thread; one pacer counts them all. A turn
    must reach a waiter on its own loop, though another session's loop armed the timer and ended."""
    import threading

    pacer = Pacer(0.001)
    waiting, failures = threading.Event(), []

    async def first():
        async with pacer.request("A", "x"):
            pass
        await asyncio.sleep(0.01)
        async with pacer.request("A", "y"):
            waiting.set()
        async with pacer.request("A", "x"):  # the identical window, on this loop's timer
            pass

    async def second():
        async with pacer.request("B", "y"):  # due 10 ms after A's repeat; A's loop is gone by then
            pass

    def session(body, after=None):
        try:
            if after is not None:
                after.wait(5)
            asyncio.run(body())
        except Exception as exc:  # the test thread reports it
            failures.append(exc)

    threads = [threading.Thread(target=session, args=a, daemon=True) for a in ((first,), (second, waiting))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(5)
    assert not failures and not any(t.is_alive() for t in threads)
    assert (pacer.sent, pacer.open, pacer.waiting) == (4, 0, 0)
