"""Fixtures for the bar-table tests: the sorvel module with its printer,
logger and cache slot replaced per test, and runners for two queries."""

from __future__ import annotations

import pytest

from sorvel_frames_support import FakeIB, FramePrinter, run


class QuietLogger:
    def __getattr__(self, level):
        return lambda *args, **kwargs: None


@pytest.fixture
def sorvel(monkeypatch):
    import corvane.cmds.quotes.sorvel as module
    monkeypatch.setattr(module, "logger", QuietLogger())
    monkeypatch.setattr(module, "_sorvel_cache", None)
    return module


@pytest.fixture
def printer(sorvel, monkeypatch):
    fake = FramePrinter()
    monkeypatch.setattr(sorvel, "printFrame", fake)
    return fake


@pytest.fixture
def gateway_intraday(sorvel, printer, monkeypatch):
    """gateway_intraday(bars) -> (records, printed table), through IOpSorvel._intraday."""

    def fetch(bars):
        monkeypatch.setattr(sorvel, "_sorvel_cache", None)
        cmd = sorvel.IOpSorvel(state=None, ib=FakeIB(bars), cache=None)
        cmd.symbol = "AAPL"
        result = run(cmd._intraday(None))
        return result["bars"], printer.frames[-1]

    return fetch


@pytest.fixture
def yfinance_intraday(sorvel, printer, monkeypatch):
    """yfinance_intraday(hist) -> (records, printed table), through IOpSorvel._intraday_yfinance."""

    def fetch(hist):
        monkeypatch.setattr(sorvel, "_sorvel_cache", None)
        cmd = sorvel.IOpSorvel(state=None, ib=None, cache=None)
        cmd.symbol = "AAPL"

        async def download(**kwargs):
            return hist

        cmd._yf_history = download
        result = run(cmd._intraday_yfinance())
        return result["bars"], printer.frames[-1]

    return fetch
