"""Fixtures for the sorvel query tests: the module with its printer, logger
and cache slot replaced per test, and the doubles of its collaborators."""

from __future__ import annotations

import sys

import loguru
import pytest

from sorvel_q_doubles import FakeCache, FakeYFinance, LogCapture, LoggerSpy, Printer


@pytest.fixture
def sorvel(frozen_clock):
    import corvane.cmds.quotes.sorvel as module

    from corvane import clock

    # Its "today" is the frozen one even when no console loaded it first (a test file run
    # alone, or first on a worker of a parallel run).
    clock.follow(module)
    return module


@pytest.fixture
def events():
    """What happened, in order: "print" and "set" from the printer and the fake cache."""
    return []


@pytest.fixture
def printer(sorvel, monkeypatch, events):
    fake = Printer(events)
    monkeypatch.setattr(sorvel, "printFrame", fake)
    return fake


@pytest.fixture
def log(sorvel, monkeypatch):
    capture = LogCapture()
    monkeypatch.setattr(sorvel, "logger", LoggerSpy(loguru.logger, capture.calls))
    sink = loguru.logger.add(capture.sink, level="DEBUG", format="{message}")
    yield capture
    loguru.logger.remove(sink)


@pytest.fixture
def real_cache(sorvel, monkeypatch):
    """A fresh process cache: the slot is emptied, so the first query builds one."""
    monkeypatch.setattr(sorvel, "_sorvel_cache", None)
    return lambda: sorvel._sorvel_cache


@pytest.fixture
def fake_cache(sorvel, monkeypatch, events):
    cache = FakeCache(events)
    monkeypatch.setattr(sorvel, "_sorvel_cache", cache)
    return cache


@pytest.fixture
def yf(monkeypatch):
    fake = FakeYFinance()
    monkeypatch.setitem(sys.modules, "yfinance", fake.module)
    monkeypatch.delenv("HTTPS_PROXY", raising=False)
    return fake


@pytest.fixture
def command(sorvel, printer, log):
    """command(symbol, rest, state=..., ib=...): an instance as the console fills it."""

    def make(symbol="AAPL", rest=None, *, state=None, ib=None):
        cmd = sorvel.IOpSorvel(state=state, ib=ib, cache=None)
        cmd.symbol = symbol
        cmd.rest = [] if rest is None else rest
        return cmd

    return make
