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
