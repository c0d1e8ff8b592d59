"""Running commands on the session's event-loop thread."""

from __future__ import annotations

import asyncio

import pytest

from corvane.session import LoopThread


@pytest.mark.parametrize("lands", ["before the hand-over", "inside the hand-over"])
def test_a_ctrl_c_while_the_command_is_handed_to_the_loop_cancels_it(monkeypatch, lands):
    loop_thread = LoopThread()
    loop = loop_thread.loop
    hand_over = loop.call_soon_threadsafe

    def interrupted(*args):
        monkeypatch.setattr(loop, "call_soon_threadsafe", hand_over)
        if lands == "inside the hand-over":
            hand_over(*args)  # queued, then the signal arrives before the call returns
        raise KeyboardInterrupt

    async def command():
        await asyncio.sleep(60)

    try:
        monkeypatch.setattr(loop, "call_soon_threadsafe", interrupted)
        try:
            outcome = loop_thread.run(command)
        except KeyboardInterrupt:
            pytest.fail("the Ctrl-C escaped, and the command was left to run")
        assert outcome.kind == "cancelled"
        still_running = loop_thread.call(
            lambda: [t for t in asyncio.all_tasks() if t is not asyncio.current_task()])
        assert still_running == []
    finally:
        loop_thread.stop()


def test_commands_at_once_each_hear_only_their_own_yahoo_lines():
    # Two attached clients' commands in one owner: each closing line must name its own
    # Yahoo failure, though both fetch at once on threads and log through the same loggers.
    import logging
    import threading

    from loguru import logger

    from corvane.gateway.connection import GatewaySettings
    from corvane.session import Session

    session = Session(GatewaySettings())
    both_fetching = threading.Barrier(2)

    class YahooOnly:
        requires_gateway = False

        def __init__(self, symbol):
            self.symbol = symbol

        async def run(self):
            def fetch():  # as the command does: on a thread, through to_thread
                both_fetching.wait(timeout=10)
                logging.getLogger("yfinance").error(f"{self.symbol}: HTTP Error 404")
                logger.error("[{}] yfinance fetch failed: {} is gone", self.symbol, self.symbol)

            await asyncio.to_thread(fetch)
            return {"error": "No data returned"}

    outcomes = {}
    threads = [threading.Thread(target=lambda s=s: outcomes.update({s: session.execute(YahooOnly(s))}))
               for s in ("AAA", "BBB")]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=20)
    finally:
        session.close()
    for symbol in ("AAA", "BBB"):
        said = outcomes[symbol].yahoo
        assert said.asked and said.failures == [f"{symbol}: HTTP Error 404",
                                                f"[{symbol}] yfinance fetch failed: {symbol} is gone"]


def test_work_on_the_loop_gives_its_value_raises_its_error_or_says_it_was_cancelled():
    from corvane.session import STOP_WHEN, Cancelled, StopSignal

    async def answer():
        return 42

    async def broken():
        raise ValueError("no such contract")

    async def waits():
        await asyncio.sleep(60)

    loop_thread = LoopThread()
    try:
        assert loop_thread.run_value(answer) == 42
        with pytest.raises(ValueError, match="no such contract"):
            loop_thread.run_value(broken)
        stop = StopSignal()
        stop.set()  # the client it ran for went away: never a value of None taken for an answer
        token = STOP_WHEN.set(stop)
        try:
            with pytest.raises(Cancelled):
                loop_thread.run_value(waits)
        finally:
            STOP_WHEN.reset(token)
        assert issubclass(Cancelled, KeyboardInterrupt)  # callers that know only Ctrl-C end as for one
    finally:
        loop_thread.stop()
