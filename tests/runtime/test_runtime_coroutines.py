"""Native coroutine objects under the event loop and under direct
send/throw/close, as the interpreter's own coroutines behave: the runtime's
test module for the protocol, the sorvel methods for what is theirs (names,
results through a worker thread, tracebacks)."""

from __future__ import annotations

import asyncio
import collections.abc
import gc
import traceback
import types
import warnings
import weakref

import pytest


class TestUnderTheEventLoop:
    def test_recognised_awaited_and_run_as_tasks(self, awaiting):
        async def fallback(rest):
            await asyncio.sleep(0)
            return {"rest": rest}

        op = awaiting(lambda: fallback(["day"]))
        coro = op.run()
        assert asyncio.iscoroutine(coro) and isinstance(coro, collections.abc.Coroutine)
        assert asyncio.run(coro) == {"rest": ["day"]}

        async def main():
            task = asyncio.create_task(op.run())
            together = await asyncio.gather(op.run(), op.run(), task)
            return together, task.result()

        together, alone = asyncio.run(main())
        assert together == [{"rest": ["day"]}] * 3 and alone == {"rest": ["day"]}

    def test_wait_for_timeout_cancels_the_pending_await(self, awaiting):
        seen = []

        async def slow(rest):
            try:
                await asyncio.Event().wait()
            except BaseException as exc:
                seen.append(type(exc))
                raise

        op = awaiting(lambda: slow([]))
        with pytest.raises(TimeoutError):
            asyncio.run(asyncio.wait_for(op.run(), 0.05))
        assert seen == [asyncio.CancelledError]

    def test_task_exceptions_and_results_reach_the_awaiter(self, awaiting):
        async def failing(rest):
            raise LookupError("down")

        op = awaiting(lambda: failing([]))

        async def main():
            return await asyncio.gather(op.run(), return_exceptions=True)

        [exc] = asyncio.run(main())
        assert isinstance(exc, LookupError) and str(exc) == "down"


class TestDirectProtocol:
    def test_send_yields_what_the_awaited_object_yields_then_returns(self, probed_run, probe):
        coro = probed_run.run()
        assert coro.cr_await is None and not coro.cr_suspended
        assert coro.send(None) == "probe-yield"
        assert coro.cr_suspended and coro.cr_await is not None
        with pytest.raises(StopIteration) as stop:
            coro.send("value")
        assert stop.value.value == {"probe": True}
        assert probe.seen == [("sent", "value")]

    def test_finished_coroutine_cannot_be_reused(self, probed_run):
        coro = probed_run.run()
        coro.send(None)
        with pytest.raises(StopIteration):
            coro.send(None)
        for again in (lambda: coro.send(None), lambda: coro.throw(ValueError("x")), lambda: next(coro)):
            with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
                again()
        assert coro.close() is None

    def test_close_while_suspended_closes_the_awaited_object(self, probed_run, probe):
        coro = probed_run.run()
        coro.send(None)
        assert coro.close() is None
        assert probe.seen == ["closed"]
        assert not coro.cr_suspended
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    def test_close_before_start_is_silent(self, probed_run):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            coro = probed_run.run()
            coro.close()
            del coro
            gc.collect()
        assert caught == []

    def test_throw_is_forwarded_into_the_awaited_object(self, probed_run, probe):
        coro = probed_run.run()
        coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.throw(ValueError("boom"))
        assert stop.value.value == {"handled": "boom"}
        assert probe.seen == [("thrown", "boom")]

    def test_throw_with_nothing_to_forward_to_raises_at_the_suspension(self, awaiting):
        class Bare:
            def __await__(self):
                return iter(["bare"])  # an iterator without throw()

        op = awaiting(Bare)
        coro = op.run()
        assert coro.send(None) == "bare"
        with pytest.raises(KeyError, match="k"):
            coro.throw(KeyError("k"))

    def test_throw_before_start_never_runs_the_body(self, awaiting):
        calls = []

        class Recording:
            def __await__(self):
                calls.append("awaited")
                yield

        op = awaiting(Recording)
        coro = op.run()
        with pytest.raises(ZeroDivisionError):
            coro.throw(ZeroDivisionError())
        assert calls == []

    def test_legacy_throw_signature_still_works_with_its_warning(self, probed_run, probe):
        coro = probed_run.run()
        coro.send(None)
        with pytest.warns(DeprecationWarning):
            with pytest.raises(StopIteration):
                coro.throw(ValueError, ValueError("old"), None)
        assert probe.seen == [("thrown", "old")]

    def test_non_none_first_send_is_refused(self, probed_run):
        coro = probed_run.run()
        with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
            coro.send(1)
        coro.close()

    def test_reentry_while_running_is_refused(self, awaiting):
        outer = {}
        errors = []

        class Reenter:
            def __await__(self):
                for poke in (lambda: outer["coro"].send(None), lambda: outer["coro"].close(),
                             lambda: outer["coro"].throw(KeyError())):
                    try:
                        poke()
                    except ValueError as exc:
                        errors.append(str(exc))
                yield "again"
                return {}

        coro = awaiting(Reenter).run()
        outer["coro"] = coro
        assert coro.send(None) == "again"
        assert errors == ["coroutine already executing"] * 3
        coro.close()

    def test_failing_close_of_the_awaited_object_surfaces_from_close(self, awaiting):
        class Jammed:
            def __await__(self):
                return self

            def __iter__(self):
                return self

            def __next__(self):
                return "jammed"

            def close(self):
                raise OSError("jammed shut")

        coro = awaiting(Jammed).run()
        coro.send(None)
        with pytest.raises(OSError, match="jammed shut"):
            coro.close()
        assert coro.close() is None  # finished by the failure

    def test_never_awaited_warns_with_the_qualified_name(self, make_op):
        with pytest.warns(RuntimeWarning, match=r"^coroutine 'IOpSorvel\.run' was never awaited$"):
            make_op().run()
            gc.collect()

    def test_abandoned_suspended_coroutine_closes_its_awaited_object(self, probed_run, probe):
        coro = probed_run.run()
        coro.send(None)
        del coro
        gc.collect()
        assert probe.seen == ["closed"]

    def test_suspended_coroutine_in_a_reference_cycle_is_collected(self, awaiting):
        class Node:
            pass

        node = Node()

        class Cyclic:
            def __await__(self):
                yield node
                return {}

        coro = awaiting(Cyclic).run()
        node.coro = coro
        assert coro.send(None) is node
        gone = weakref.ref(node)
        del node, coro
        gc.collect()
        assert gone() is None


class TestReturnValues:
    @pytest.mark.parametrize("value", [(1, 2), (), ValueError("as a value"), StopIteration(3), None, [None]])
    def test_any_result_survives_the_stop_iteration_protocol(self, sorvel, make_op, monkeypatch, value):
        @types.coroutine
        def immediately():
            return value
            yield  # a generator-based awaitable that never suspends

        class Threads:
            @staticmethod
            def to_thread(fetch):
                return immediately()

        monkeypatch.setattr(sorvel, "asyncio", Threads)
        op = make_op()
        coro = op._yf_history(period="1d")
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value is value
        if value is not None:
            assert stop.value.args == (value,)
        assert asyncio.run(op._yf_history()) is value

    def test_to_thread_result_comes_back_from_the_worker_thread(self, sorvel, make_op, monkeypatch):
        import sys
        import threading

        seen = {}

        class Ticker:
            def __init__(self, symbol):
                seen["symbol"] = symbol

            def history(self, **kwargs):
                seen["thread"] = threading.current_thread()
                seen["kwargs"] = kwargs
                return ("frame", kwargs)

        fake = types.ModuleType("yfinance")
        fake.Ticker = Ticker
        fake.config = types.SimpleNamespace(network=types.SimpleNamespace(proxy=None))
        monkeypatch.setitem(sys.modules, "yfinance", fake)
        monkeypatch.delenv("HTTPS_PROXY", raising=False)
        result = asyncio.run(make_op(symbol="MSFT")._yf_history(period="5d", interval="1d"))
        assert result == ("frame", {"period": "5d", "interval": "1d"})
        assert seen["symbol"] == "MSFT" and seen["thread"] is not threading.main_thread()


class TestTracebacks:
    @staticmethod
    def native_entries(exc):
        return [f for f in traceback.extract_tb(exc.__traceback__)
                if f.filename.startswith(("cmds/", "native/"))]

    def test_plain_function_error_names_the_function_file_and_line(self, sorvel):
        with pytest.raises(ValueError) as info:
            sorvel._parse_date("2025-13-45")
        [entry] = self.native_entries(info.value)
        assert entry.name == "_parse_date"
        assert entry.filename == "cmds/quotes/sorvel/helpers.cpp" and entry.lineno > 0

    def test_coroutine_error_carries_an_entry_for_each_native_frame(self, make_op):
        async def failing():
            raise LookupError("no bars")

        op = make_op(rest=["intraday"], _intraday_yfinance=failing)
        with pytest.raises(LookupError) as info:
            asyncio.run(op.run())
        names = [f.name for f in self.native_entries(info.value)]
        assert names == ["IOpSorvel.run", "IOpSorvel._run_yfinance"]
        assert all(f.lineno > 0 for f in self.native_entries(info.value))
        # The Python frame that raised is still the last one.
        assert traceback.extract_tb(info.value.__traceback__)[-1].name == "failing"

    def test_awaiting_a_non_awaitable_reads_as_the_interpreters_error(self, make_op):
        op = make_op(_run_yfinance=lambda rest: 5)
        with pytest.raises(TypeError, match="^object int can't be used in 'await' expression$") as info:
            asyncio.run(op.run())
        assert self.native_entries(info.value)
