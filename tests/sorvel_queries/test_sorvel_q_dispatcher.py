"""run(): which query answers, and how every gateway-side failure turns into
the yfinance fallback while cancellation and the fallback's own errors do not."""

from __future__ import annotations

import asyncio
import os
import pathlib
import subprocess
import sys
import textwrap

import corvane
import pytest

from sorvel_q_doubles import FakeIB, FakeState, future, run, stock

# Where this run imports the console from: the source tree or the installed package.
CONSOLE = pathlib.Path(corvane.__file__).resolve().parents[1]
FALLBACK = {"symbol": "FROM-YF", "source": "yfinance"}


class Routes:
    """Replaces the mode methods and the fallback on one instance and records
    the calls; each answers from `answers` (an exception is raised)."""

    def __init__(self, cmd, **answers):
        self.calls: list[tuple] = []
        defaults = {"_sorvel": {"bars": []}, "_history": {"bars": []}, "_intraday": {"bars": []},
                    "_run_yfinance": FALLBACK}
        defaults.update(answers)
        for name, answer in defaults.items():
            setattr(cmd, name, self._method(cmd, name, answer))

    def _method(self, cmd, name, answer):
        answers = list(answer) if isinstance(answer, list) else None

        async def method(*args):
            self.calls.append((name, cmd.symbol, *args))
            value = answers.pop(0) if answers is not None else answer
            if isinstance(value, BaseException):
                raise value
            return dict(value) if isinstance(value, dict) else value

        return method

    def names(self):
        return [call[0] for call in self.calls]


class TestRouting:
    def test_no_symbol_refused_without_asking_anyone(self, command, log):
        state = FakeState(("AAPL", stock()))
        cmd = command("", ["day"], state=state)
        routes = Routes(cmd)
        assert run(cmd.run()) == {"error": "No symbol provided"}
        assert routes.calls == [] and state.asked == []
        assert log.shown() == [("ERROR", "No symbol provided", ())]

    def test_disconnected_goes_to_yfinance_with_the_typed_words(self, command, log):
        state = FakeState(("AAPL", stock()), connected=False)
        words = ["day", "100"]
        cmd = command("AAPL", words, state=state)
        routes = Routes(cmd)
        assert run(cmd.run()) == FALLBACK
        assert state.asked == []
        assert routes.calls == [("_run_yfinance", "AAPL", words)] and routes.calls[0][2] is words
        assert log.shown() == [("INFO", "[{}] No gateway, using yfinance fallback", ("AAPL",))]

    @pytest.mark.parametrize("words, mode", [
        (["intraday", "5m"], "_intraday"),
        (["5m", "intraday"], "_sorvel"),
        (["today"], "_history"),
        (["yesterday", "day"], "_history"),
        (["2025-01-01", "day"], "_history"),
        (["Today"], "_sorvel"),
        (["Intraday"], "_sorvel"),
        ([], "_sorvel"),
        (["xyz"], "_sorvel"),
    ])
    def test_first_word_picks_the_mode(self, command, log, words, mode):
        contract = stock()
        cmd = command("AAPL", words, state=FakeState(("AAPL", contract)))
        routes = Routes(cmd)
        result = run(cmd.run())
        assert result == {"bars": [], "source": "ibkr"}
        assert routes.names() == [mode]
        args = routes.calls[0][2:]
        assert args[0] is contract
        if mode == "_intraday":
            assert len(args) == 1
        else:
            assert args[1] == words and type(args[1]) is list
        assert log.calls == []

    def test_resolved_symbol_is_adopted_for_the_query_and_a_later_fallback(self, command, log):
        cmd = command("aapl.x", ["day"], state=FakeState(("AAPL", stock())))
        routes = Routes(cmd, _sorvel={"error": "No data returned", "symbol": "AAPL"})
        assert run(cmd.run()) == FALLBACK
        assert [call[:2] for call in routes.calls] == [("_sorvel", "AAPL"), ("_run_yfinance", "AAPL")]
        assert cmd.symbol == "AAPL"
        assert log.shown() == [("WARNING", "[{}] IBKR returned error ({}), falling back to yfinance",
                                ("AAPL", "No data returned"))]

    def test_cached_answer_is_marked_as_from_the_gateway(self, command):
        cmd = command("AAPL", ["day"], state=FakeState(("AAPL", stock())))
        Routes(cmd, _sorvel={"symbol": "AAPL", "bars": [], "cached": True, "source": "cache"})
        assert run(cmd.run()) == {"symbol": "AAPL", "bars": [], "cached": True, "source": "ibkr"}

    def test_future_is_asked_for_as_a_continuous_copy(self, command):
        contract = future()
        cmd = command("/ES", [], state=FakeState(("/ES", contract)))
        routes = Routes(cmd)
        run(cmd.run())
        queried = routes.calls[0][2]
        assert queried is not contract
        assert queried.secType == "CONTFUT" and contract.secType == "FUT"
        assert (queried.symbol, queried.lastTradeDateOrContractMonth) == ("ES", "202503")


class TestFallbacks:
    WARN_FAILED = "[{}] IBKR failed ({}), falling back to yfinance"

    def test_unresolved_symbol(self, command, log):
        cmd = command("ZZZZ", ["day"], state=FakeState(("", None)))
        routes = Routes(cmd)
        assert run(cmd.run()) == FALLBACK
        assert routes.calls == [("_run_yfinance", "ZZZZ", ["day"])]
        assert log.shown() == [("ERROR", "Symbol not found: {}", ("ZZZZ",))]

    def test_unresolved_symbol_whose_first_fallback_raises_is_tried_again(self, command, log):
        cmd = command("ZZZZ", [], state=FakeState((None, None)))
        routes = Routes(cmd, _run_yfinance=[RuntimeError("yf down"), FALLBACK])
        assert run(cmd.run()) == FALLBACK
        assert routes.names() == ["_run_yfinance", "_run_yfinance"]
        assert log.shown() == [("ERROR", "Symbol not found: {}", ("ZZZZ",)),
                               ("WARNING", self.WARN_FAILED, ("ZZZZ", "yf down"))]

    def test_second_fallback_failure_reaches_the_console(self, command):
        cmd = command("ZZZZ", [], state=FakeState((None, None)))
        Routes(cmd, _run_yfinance=[RuntimeError("first"), KeyError("second")])
        with pytest.raises(KeyError, match="second"):
            run(cmd.run())

    def test_fallback_failure_when_disconnected_reaches_the_console(self, command):
        cmd = command("AAPL", [], state=FakeState(connected=False))
        Routes(cmd, _run_yfinance=ValueError("bad frame"))
        with pytest.raises(ValueError, match="bad frame"):
            run(cmd.run())

    @pytest.mark.parametrize("state, reason", [
        (FakeState(("AAPL", stock(), "extra")), "too many values to unpack (expected 2)"),
        (FakeState(("AAPL",)), "not enough values to unpack (expected 2, got 1)"),
        (FakeState(None), "cannot unpack non-iterable NoneType object"),
        (FakeState(raises=ConnectionError("socket closed")), "socket closed"),
    ], ids=["three-items", "one-item", "none", "resolve-raises"])
    def test_gateway_attempt_raising(self, command, log, state, reason):
        cmd = command("AAPL", ["day"], state=state)
        routes = Routes(cmd)
        assert run(cmd.run()) == FALLBACK
        assert routes.names() == ["_run_yfinance"]
        assert log.shown() == [("WARNING", self.WARN_FAILED, ("AAPL", reason))]

    def test_empty_contract_is_an_assertion_after_the_symbol_is_adopted(self, command, log):
        cmd = command("aapl.x", [], state=FakeState(("AAPL", None)))
        routes = Routes(cmd)
        run(cmd.run())
        assert routes.calls == [("_run_yfinance", "AAPL", [])]
        assert type(log.calls[0][2][1]) is AssertionError
        assert log.lines == [("WARNING", "[AAPL] IBKR failed (), falling back to yfinance")]

    def test_empty_contract_reaches_the_mode_when_assertions_are_off(self):
        script = textwrap.dedent("""
            import asyncio
            import corvane.cmds.quotes.sorvel as sorvel

            class State:
                connected = True
                async def positionalQuoteRepopulate(self, symbol):
                    return symbol, None

            cmd = sorvel.IOpSorvel(state=State())
            cmd.symbol, cmd.rest = "AAPL", ["day"]
            async def mode(contract, rest):
                return {"contract": contract}
            cmd._sorvel = mode
            print(asyncio.run(cmd.run()))
        """)
        env = {**os.environ, "PYTHONPATH": str(CONSOLE)}
        # -O may compile pandas afresh; with the sanitizers' malloc on a busy machine that takes a minute.
        out = subprocess.run([sys.executable, "-O", "-c", script], env=env, capture_output=True, text=True,
                             timeout=110)
        assert out.stdout.strip() == "{'contract': None, 'source': 'ibkr'}", out.stderr

    def test_missing_future_name_falls_back(self, command, log, sorvel, monkeypatch):
        monkeypatch.delattr(sorvel, "Future")
        cmd = command("AAPL", [], state=FakeState(("AAPL", stock())))
        routes = Routes(cmd)
        assert run(cmd.run()) == FALLBACK
        assert routes.names() == ["_run_yfinance"]
        assert log.shown() == [("WARNING", self.WARN_FAILED, ("AAPL", "name 'Future' is not defined"))]

    @pytest.mark.parametrize("answer, shown", [
        ({"error": "No data in range", "symbol": "AAPL"}, "No data in range"),
        ({}, None),
    ])
    def test_error_or_empty_record(self, command, log, answer, shown):
        cmd = command("AAPL", ["2025-01-01"], state=FakeState(("AAPL", stock())))
        routes = Routes(cmd, _history=answer)
        assert run(cmd.run()) == FALLBACK
        assert routes.names() == ["_history", "_run_yfinance"]
        assert log.shown() == [("WARNING", "[{}] IBKR returned error ({}), falling back to yfinance",
                                ("AAPL", shown))]

    def test_mode_raising(self, command, log):
        cmd = command("AAPL", ["intraday"], state=FakeState(("AAPL", stock())))
        routes = Routes(cmd, _intraday=TimeoutError("gateway timeout"))
        assert run(cmd.run()) == FALLBACK
        assert routes.names() == ["_intraday", "_run_yfinance"]
        assert log.shown() == [("WARNING", self.WARN_FAILED, ("AAPL", "gateway timeout"))]

    def test_words_not_a_list_are_refused_by_the_mode_and_by_the_fallback(self, command):
        cmd = command("AAPL", ("day",), state=FakeState(("AAPL", stock())))
        with pytest.raises(TypeError, match="rest"):
            run(cmd.run())


class Stop(BaseException):
    pass


class TestNotCaught:
    def test_base_exception_from_the_mode_is_not_a_fallback(self, command, log):
        cmd = command("AAPL", [], state=FakeState(("AAPL", stock())))
        routes = Routes(cmd, _sorvel=Stop())
        with pytest.raises(Stop):
            run(cmd.run())
        assert routes.names() == ["_sorvel"] and log.calls == []

    def test_base_exception_from_the_first_fallback_is_not_retried(self, command):
        cmd = command("ZZZZ", [], state=FakeState((None, None)))
        routes = Routes(cmd, _run_yfinance=[Stop(), FALLBACK])
        with pytest.raises(Stop):
            run(cmd.run())
        assert routes.names() == ["_run_yfinance"]

    @pytest.mark.parametrize("pending", ["resolve", "mode", "fallback"])
    def test_cancellation_passes_through(self, command, log, pending):
        state = FakeState(("AAPL", stock()), hang=pending == "resolve")
        cmd = command("AAPL", ["day"], state=state)
        routes = Routes(cmd, _sorvel={"error": "x"})
        entered = asyncio.Event()

        async def hang(*args):
            routes.calls.append(("hang", *args))
            entered.set()
            await asyncio.Event().wait()

        if pending == "mode":
            cmd._sorvel = hang
        elif pending == "fallback":
            cmd._run_yfinance = hang

        async def main():
            task = asyncio.create_task(cmd.run())
            for _ in range(20):
                await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        run(main())
        called = [c[0] for c in routes.calls]
        assert "_run_yfinance" not in called
        assert not any("IBKR failed" in template for template in log.templates())

    def test_cancelled_gateway_request_is_neither_a_fallback_nor_stored(self, command, log, fake_cache):
        ib = FakeIB(hang=True)
        cmd = command("AAPL", ["day"], state=FakeState(("AAPL", stock())), ib=ib)
        fallbacks = []

        async def fallback(rest):
            fallbacks.append(rest)
            return FALLBACK

        cmd._run_yfinance = fallback

        async def main():
            task = asyncio.create_task(cmd.run())
            while not ib.requests:
                await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        run(main())
        assert fallbacks == [] and [c[0] for c in fake_cache.calls] == ["get", "try_larger_count"]
