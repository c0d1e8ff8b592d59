"""Doubles for driving the runtime's test module and the sorvel module's
functions and coroutine methods without a gateway, a network or a terminal."""

from __future__ import annotations

import pytest


@pytest.fixture
def sorvel():
    import corvane.cmds.quotes.sorvel as module
    return module


class QuietLogger:
    """Stands in for loguru's logger: records (level, template, args)."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, level):
        return lambda template, *args: self.calls.append((level, template, args))


@pytest.fixture
def logger(sorvel, monkeypatch):
    quiet = QuietLogger()
    monkeypatch.setattr(sorvel, "logger", quiet)
    return quiet


class Disconnected:
    connected = False


@pytest.fixture
def make_op(sorvel, logger):
    """An IOpSorvel as the console fills it; keyword arguments become instance attributes."""

    def make(symbol="AAPL", rest=None, state=None, ib=None, **attrs):
        op = sorvel.IOpSorvel(state=state if state is not None else Disconnected(), ib=ib)
        op.symbol = symbol
        op.rest = [] if rest is None else rest
        for name, value in attrs.items():
            setattr(op, name, value)
        return op

    return make


class Probe:
    """An awaitable whose one suspension is observable: what was sent, thrown
    or closed into it is recorded, and a thrown ValueError is answered."""

    def __init__(self, result=None):
        self.result = {"probe": True} if result is None else result
        self.seen = []

    def __await__(self):
        try:
            sent = yield "probe-yield"
        except GeneratorExit:
            self.seen.append("closed")
            raise
        except ValueError as exc:
            self.seen.append(("thrown", str(exc)))
            return {"handled": str(exc)}
        self.seen.append(("sent", sent))
        return self.result


@pytest.fixture
def probe():
    return Probe()


@pytest.fixture
def native_probe():
    """The runtime's own test module (built from native/ alone)."""
    import corvane._native_probe as module
    return module


class Awaiting:
    """run() makes a native coroutine that awaits what `make()` returns."""

    def __init__(self, native_probe, make):
        self.native_probe, self.make = native_probe, make

    def run(self):
        return self.native_probe.await_it(self.make())


@pytest.fixture
def awaiting(native_probe):
    """awaiting(make): an object whose run() is a native coroutine awaiting make()."""
    return lambda make: Awaiting(native_probe, make)


@pytest.fixture
def probed_run(awaiting, probe):
    """A native coroutine that suspends exactly once, on the probe."""
    return awaiting(lambda: probe)
