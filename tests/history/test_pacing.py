"""The pacing scheduler against the gateway's rules, on an event loop whose clock skips every wait."""

from __future__ import annotations

import asyncio
from types import SimpleNamespace

import pytest
from corvane.gateway.error_watch import track_requests
from corvane.history.pacing import (
    Pacer,
    PacingError,
    pace_scale_from_env,
    paced_by,
    terms_of,
    unwrap_client,
    wrap_client,
)
from eventkit import Event

MINUTES = terms_of("1 min", "1 D", "TRADES")


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
    """Send (key, identity[, terms]) requests at once; the instants each was let through."""
    loop = asyncio.get_running_loop()
    sent = {}

    async def one(i, *request):
        async with pacer.request(*request):
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
        # 58 of the 60 in the first ten minutes; the 59th once the first has left, with the margin
        # for an arrival later than its sending.
        assert many[48] - burst[0] < 600 * scale
        assert 600 * scale + pacer.ledger.margin <= many[49] - burst[0] <= 600 * scale + 1
        return pacer.sent, pacer.open, pacer.waiting

    assert run(body) == (61, 0, 0)


def test_open_cap_cancellation_and_refusal():
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
        # A refusal: which rule broke is unknown, so small bars wait out the longest window;
        # larger ones are not held.
        refused_at = loop.time()
        pacer.refused()
        small, large = await asyncio.gather(
            send_all(pacer, [("IBM", "small")]), send_all(pacer, [("IBM", "large", MINUTES)])
        )
        assert large[0] == refused_at and small[0] >= refused_at + 600 + pacer.ledger.margin
        # Arrivals bunched more than the margin allowed for: a wider one, or the next burst after
        # the hold is refused again.
        assert pacer.ledger.margin == 2 * pacer.rules.margin
        overloaded_at = loop.time()
        pacer.refused(MINUTES)  # a larger bar refused: the broker is overloaded, a pause for those
        paused = await send_all(pacer, [("IBM", "later", MINUTES)])
        assert paused[0] - overloaded_at >= 15
        return pacer.held()

    assert run(body) == 0


def test_wrapped_client_paces_every_caller_once():
    async def body():
        loop = asyncio.get_running_loop()
        calls = []

        class Ids:
            next_id = 0

            def getReqId(self):
                self.next_id += 1
                return self.next_id

        class Client:
            errorEvent = Event("errorEvent")
            client = Ids()

            async def reqHistoricalDataAsync(self, contract, endDateTime, durationStr, barSizeSetting,
                                             whatToShow, useRTH, formatDate=1, keepUpToDate=False, timeout=60):
                self.client.getReqId()
                calls.append(loop.time())
                await asyncio.sleep(1)
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
        track_requests(ib)
        pending = loop.create_task(ib.reqHistoricalDataAsync(aapl, "", "30 S", "5 secs", "TRADES", True))
        await asyncio.sleep(0.5)
        ib.errorEvent.emit(ib.client.next_id, 162, "Historical Market Data Service error message:Historical data request pacing violation", None)
        ib.errorEvent.emit(99, 162, "Historical data request pacing violation", None)  # not ours: no hold
        assert pacer.held() >= 600
        # The refused request's answer held no bars: it goes again once the hold is over.
        assert await pending == ["30 S"] and len(calls) == 4 and calls[3] - calls[2] >= 600
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


def test_hard_rules_only_for_small_bars_and_bid_ask_counts_twice():
    assert [terms_of(size, "1 D", "TRADES").small for size in ("1 secs", "30 secs", "1 min", "1 day")] == [
        True, True, False, False]  # fmt: skip

    async def body():
        loop = asyncio.get_running_loop()
        pacer = Pacer(clock=loop.time)
        # 100 minute-bar requests of one contract, identical ones among them: none waits for a rule.
        minutes = await send_all(pacer, [("AAPL", f"day{i % 50}", MINUTES) for i in range(100)])
        assert max(minutes) == 0 and pacer.sent == 0
        quotes = terms_of("5 secs", "3600 S", "BID_ASK")
        both = sorted(await send_all(pacer, [(f"S{i}", i, quotes) for i in range(30)]))
        assert both[28] < 600 <= both[29]  # 29 x 2 fill the budget of 58
        return pacer.sent

    assert run(body) == 30


def test_processes_of_one_home_pace_together(tmp_path):
    ledger = tmp_path / "home" / "pacing.ledger"

    async def body():
        loop = asyncio.get_running_loop()
        first, second = Pacer(clock=loop.time, home=ledger), Pacer(clock=loop.time, home=ledger)
        await send_all(first, [(f"S{i}", i) for i in range(58)])
        later = await send_all(second, [("T", "t")])  # a process started after: waits for the same window
        assert later[0] >= 600
        first.refused()
        assert second.floor([("U", "u", terms_of("5 secs", "3600 S", "TRADES"))]) >= 600
        return ledger.read_text().count("\n")

    assert run(body) == 2  # the hold and the one sent within the window; older ones are forgotten
    # A damaged file costs only its bad lines; a symlink in its place is never followed.
    ledger.write_text("garbage\n1e308 1 k i\n")
    target = tmp_path / "elsewhere"
    target.write_text("keep")
    ledger.unlink()
    ledger.symlink_to(target)

    async def alone():
        pacer = Pacer(clock=asyncio.get_running_loop().time, home=ledger)
        await send_all(pacer, [("V", "v")])
        return pacer.sent, pacer.home.broken

    sent, broken = run(alone)
    assert sent == 1 and "symlink" in broken and target.read_text() == "keep"


@pytest.mark.parametrize("slots", [1, 4, 16])
def test_throughput_learns_how_many_the_broker_serves_at_once(slots):
    """A farm double serves ``slots`` requests at once, each in A + B x bars; the pacer is not told ``slots``."""

    async def body():
        loop = asyncio.get_running_loop()
        pacer, farm = Pacer(clock=loop.time), asyncio.Semaphore(slots)
        busy = peak = 0
        sizes = [390 if i % 7 else 210 for i in range(400)]  # full days and a few short ones

        async def one(i, bars):
            nonlocal busy, peak
            async with pacer.request("AAPL", i, MINUTES) as turn:
                busy += 1
                peak = max(peak, busy)
                async with farm:
                    await asyncio.sleep(0.2 + 0.002 * bars)
                busy -= 1
                turn.size = bars

        start = loop.time()
        await asyncio.gather(*(one(i, bars) for i, bars in enumerate(sizes)))
        floor = sum(0.2 + 0.002 * bars for bars in sizes) / slots
        return (loop.time() - start) / floor, peak

    ratio, peak = run(body)
    assert ratio <= 1.3 and 1 < peak <= 50


def test_plan_and_progress_count_the_ten_minute_rule_and_what_was_just_sent(tmp_path):
    import datetime as dt

    from corvane.history.download import Progress, _floor_of, _Job, plan_text
    from corvane.history.plan import HistoryQuery, plan
    from frozen_now import NOW

    pacer = Pacer(clock=lambda: 0.0, home=tmp_path / "pacing.ledger")
    query = HistoryQuery("5s", start=dt.date(2025, 2, 14), end=dt.date(2025, 2, 28))
    chunks = plan(query, NOW)
    job = _Job("AAPL", todo=chunks)
    assert plan_text([job], pacer) == "AAPL: 70 requests of 3600 S × 5 secs, about 10 minutes at the gateway's pace"
    # Another process of the home just sent 58 (a run stopped with Ctrl-C): two windows now.
    other = Pacer(clock=lambda: 0.0, home=tmp_path / "pacing.ledger")
    with other.home.synced(other.ledger, 0.0):
        for i in range(58):
            other.ledger.record("x", i, 0.0)
    assert "about 20 minutes" in plan_text([job], pacer)
    progress = Progress(70, floor=_floor_of([job], pacer))
    progress.done = 10  # the first ten answered at once: the rate says seconds, the rules do not
    assert "about 20 minutes left" in progress.line()
    minutes = _Job("AAPL", todo=plan(HistoryQuery("1m", start=dt.date(2025, 2, 3)), NOW))
    assert plan_text([minutes], pacer).endswith("as fast as the gateway answers")


def test_progress_eta_follows_the_pace_of_the_latest_answers():
    from corvane.history.download import Progress

    now = [0.0]
    progress = Progress(100, None, clock=lambda: now[0])
    # The first answers come slowly while the pacer learns how many to keep in flight, then
    # four times as fast: the ETA is what the rest takes at the later pace, not the average.
    for i in range(100):
        now[0] += 1.0 if i < 20 else 0.25
        progress.step()
        left = (99 - i) * 0.25
        if i >= 45:
            assert abs(progress.eta() - left) <= 0.2 * left + 1e-9, (i, progress.eta(), left)
    assert "left" not in progress.line() and "100/100 requests" in progress.line()  # done: nothing left

    # Between answers the time left counts down; it does not grow while nothing arrives.
    now[0] = 0.0
    progress = Progress(100, None, clock=lambda: now[0])
    for _ in range(20):
        now[0] += 1.0
        progress.step()
    now[0] += 30.0
    assert progress.eta() == 80 * 1.0 - 30.0
