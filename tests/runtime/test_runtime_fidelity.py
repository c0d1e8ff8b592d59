"""The runtime's coroutines and functions beside `async def` / `def` twins, on
the runtime's own test module: where the interpreter's rules are easy to get
wrong, each check runs on both and must come out the same."""

from __future__ import annotations

import asyncio
import gc
import types
import weakref

import pytest

import corvane._native_probe as probe


async def twin_await_it(awaitable):
    return await awaitable


def make_closure(value):
    def captured():
        return value
    return captured


twin_make_closure = make_closure


AWAITERS = pytest.mark.parametrize("await_it", [twin_await_it, probe.await_it], ids=["python", "native"])


class Ticking:
    """An awaitable iterator that yields "tick" until sent a value."""

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "tick"

    def send(self, value):
        if value is None:
            return "tick"
        raise StopIteration(value)


class TestCoroutineProtocol:
    @AWAITERS
    def test_failing_throw_lookup_leaves_the_coroutine_suspended(self, await_it):
        class NoThrow(Ticking):
            @property
            def throw(self):
                raise LookupError("no throw here")

        coro = await_it(NoThrow())
        assert coro.send(None) == "tick"
        with pytest.raises(LookupError, match="no throw here"):
            coro.throw(ValueError("cancel"))
        assert coro.cr_suspended
        with pytest.raises(StopIteration) as stop:
            coro.send("done")
        assert stop.value.value == "done"

    @pytest.mark.parametrize("inner", [twin_await_it, probe.await_it], ids=["python-inner", "native-inner"])
    @AWAITERS
    def test_a_coroutine_being_awaited_cannot_be_awaited_again(self, await_it, inner):
        awaited = inner(Ticking())
        first = await_it(awaited)
        assert first.send(None) == "tick"
        second = await_it(awaited)
        with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
            second.send(None)
        with pytest.raises(StopIteration):
            first.send("done")

    @AWAITERS
    def test_await_refuses_an_await_method_returning_a_coroutine(self, await_it):
        @types.coroutine
        def generator_based():
            yield "never"

        class Wrong:
            def __init__(self, made):
                self.made = made

            def __await__(self):
                return self.made

        # The interpreter's own coroutine types; ours, like any iterator, is accepted there.
        for made in (generator_based(), twin_await_it(Ticking())):
            with pytest.raises(TypeError, match=r"^__await__\(\) returned a coroutine$"):
                asyncio.run(await_it(Wrong(made)))
            made.close()

    @AWAITERS
    def test_names_of_a_coroutine_object_can_be_set_to_strings_only(self, await_it):
        coro = await_it(Ticking())
        coro.__name__, coro.__qualname__ = "renamed", "Outer.renamed"
        assert (coro.__name__, coro.__qualname__) == ("renamed", "Outer.renamed")
        for attr in ("__name__", "__qualname__"):
            with pytest.raises(TypeError, match=f"{attr} must be set to a string object"):
                setattr(coro, attr, 1)
        with pytest.warns(RuntimeWarning, match="coroutine 'Outer.renamed' was never awaited"):
            del coro
            gc.collect()


class TestFunctionObjects:
    @pytest.mark.parametrize("make", [twin_make_closure, probe.make_closure], ids=["python", "native"])
    @pytest.mark.parametrize("attr", ["__doc__", "__module__", "marker"])
    def test_a_cycle_through_any_attribute_is_collected(self, make, attr):
        f = make(1)
        setattr(f, attr, (f,))  # a tuple has no clear slot of its own: the function's must break it
        gone = weakref.ref(f)
        del f
        gc.collect()
        assert gone() is None

    def test_closures_keep_what_they_captured_and_their_qualified_name(self):
        value = object()
        native, twin = probe.make_closure(value), twin_make_closure(value)
        assert native() is value and twin() is value
        assert native.__qualname__ == twin.__qualname__ == "make_closure.<locals>.captured"
        assert probe.make_closure(1) is not probe.make_closure(1)

    def test_parameter_type_errors_name_the_type_as_its_name_reads(self):
        import numpy as np

        for bad, name in [(np.int64(1), "int64"), (b"x", "bytes"), (None, "NoneType")]:
            with pytest.raises(TypeError) as info:
                probe.text(bad)
            assert str(info.value) == f"Argument 's' has incorrect type (expected str, got {name})"
            assert type(bad).__name__ == name


class TestDirectCalls:
    """Our coroutine calling our coroutine: a C++ call while the callee is
    unchanged, the interpreter's call as soon as anything replaced it."""

    @staticmethod
    def run_sending(coro):
        """Drive a coroutine that never suspends: one send."""
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        return stop.value.value

    async def ready(self):
        return "ready"

    def test_replacing_the_callee_takes_effect_at_the_next_call(self, monkeypatch):
        relay = probe.Relay()
        assert self.run_sending(relay.outer(self.ready())) == "ready"
        assert self.run_sending(probe.relay(self.ready())) == "ready"

        async def on_class(self, awaitable):
            return ("class", await awaitable)

        async def on_instance(awaitable):
            return ("instance", await awaitable)

        async def as_global(awaitable):
            return ("global", await awaitable)

        monkeypatch.setattr(probe.Relay, "inner", on_class)
        assert self.run_sending(relay.outer(self.ready())) == ("class", "ready")
        relay.inner = on_instance
        assert self.run_sending(relay.outer(self.ready())) == ("instance", "ready")
        monkeypatch.setattr(probe, "await_it", as_global)
        assert self.run_sending(probe.relay(self.ready())) == ("global", "ready")

    def test_a_callee_that_suspends_becomes_the_awaited_coroutine_object(self):
        coro = probe.Relay().outer(Ticking())
        assert coro.send(None) == "tick"
        inner = coro.cr_await
        assert inner.__qualname__ == "Relay.inner" and inner.cr_suspended
        assert coro.send(None) == "tick"
        with pytest.raises(StopIteration) as stop:
            coro.send("sent")
        assert stop.value.value == "sent" and not inner.cr_suspended

    def test_cancellation_reaches_what_the_direct_callee_awaits(self):
        ended = []

        async def pending():
            try:
                await asyncio.Event().wait()
            except asyncio.CancelledError:
                ended.append("cancelled")
                raise

        async def main():
            task = asyncio.create_task(probe.Relay().outer(pending()))
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(main())
        assert ended == ["cancelled"]

    def test_errors_keep_an_entry_per_native_frame_and_argument_checks_hold(self):
        import traceback

        async def failing():
            raise KeyError("deep")

        with pytest.raises(KeyError) as info:
            asyncio.run(probe.Relay().outer(failing()))
        names = [f.name for f in traceback.extract_tb(info.value.__traceback__) if f.filename.startswith("native/")]
        assert names == ["Relay.outer", "Relay.inner"]

        relay = probe.Relay()
        assert asyncio.run(relay.outer_listed([self.ready()])) == "ready"
        with pytest.raises(TypeError, match=r"^Argument 'items' has incorrect type \(expected list, got tuple\)$"):
            asyncio.run(relay.outer_listed((1,)))
