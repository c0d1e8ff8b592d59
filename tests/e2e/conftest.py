"""The sorvel command end to end: the real ib_async client over a socket to a loopback gateway."""

from __future__ import annotations

import asyncio
import sys
import types
from pathlib import Path

import pandas as pd
import pytest
from ib_async import IB

import corvane.cmds.quotes.sorvel as sorvel
from corvane.gateway.symbols import resolve_symbol


class GatewayState:
    """The console state as the command sees it, over one client connection."""

    def __init__(self, ib: IB) -> None:
        self.ib = ib
        self.quoteState: dict = {}

    @property
    def connected(self) -> bool:
        return self.ib.isConnected()

    async def positionalQuoteRepopulate(self, symbol: str):
        return await resolve_symbol(self.ib, symbol)


class FakeYahoo(types.ModuleType):
    """Stands in for yfinance: every download answers the same small daily frame."""

    def __init__(self) -> None:
        super().__init__("yfinance")
        self.downloads: list[tuple[str, dict]] = []
        self.config = types.SimpleNamespace(network=types.SimpleNamespace(proxy=None))
        outer = self

        class Ticker:
            def __init__(self, symbol: str) -> None:
                self.symbol = symbol

            def history(self, **kwargs):
                outer.downloads.append((self.symbol, kwargs))
                index = pd.DatetimeIndex(pd.date_range("2025-01-02", periods=3, tz="America/New_York"), name="Date")
                return pd.DataFrame({"Open": [1.0, 2.0, 3.0], "High": [2.0, 3.0, 4.0], "Low": [0.5, 1.5, 2.5],
                                     "Close": [1.5, 2.5, 3.5], "Volume": [10, 20, 30],
                                     "Dividends": [0.0] * 3, "Stock Splits": [0.0] * 3}, index=index)

        self.Ticker = Ticker


@pytest.fixture
def home(tmp_path, monkeypatch) -> Path:
    """A console home of the test's own, and no gateway settings from the environment."""
    home = tmp_path / "home"
    monkeypatch.setenv("CORVANE_HOME", str(home))
    for name in ("CORVANE_IB_HOST", "CORVANE_IB_PORT", "CORVANE_IB_CLIENT_ID", "CORVANE_IB_TIMEOUT",
                 "CORVANE_COMMAND_MODULES"):
        monkeypatch.delenv(name, raising=False)
    return home


@pytest.fixture
def yahoo(monkeypatch) -> FakeYahoo:
    fake = FakeYahoo()
    monkeypatch.setitem(sys.modules, "yfinance", fake)
    return fake


@pytest.fixture
def printed(monkeypatch) -> list:
    """The (frame, title) of every table the command prints."""
    tables: list = []
    monkeypatch.setattr(sorvel, "printFrame", lambda frame, title: tables.append((frame, title)))
    monkeypatch.setattr(sorvel, "_sorvel_cache", None)
    return tables


@pytest.fixture
def sorvel_over(run_ib):
    """``sorvel_over(port, body)``: ``await body(make)`` where ``make(symbol, *words)`` builds a ready command."""

    def run(port: int, body):
        async def with_ib(ib: IB):
            state = GatewayState(ib)

            def make(symbol: str, *words: str):
                op = sorvel.IOpSorvel(state=state, ib=ib, cache={})
                op.symbol = symbol
                op.rest = list(words)
                return op

            return await body(make)

        return run_ib(port, with_ib)

    return run


@pytest.fixture
def live_over(run_ib):
    """``live_over(port, store, body)``: ``await body(live, listing)`` over one client connection.

    ``live`` holds the connection's live quotes in a console state; ``listing(*groups)``
    runs tessik on the same state and ``store``.
    """
    from corvane.cmds.quote_mgmt import tessik
    from corvane.live_quotes import LiveQuotes

    def run(port: int, store: dict, body):
        async def with_ib(ib: IB):
            state = GatewayState(ib)

            async def listing(*groups: str) -> dict:
                op = tessik.IOpQuoteList(state=state, ib=ib, cache=store)
                op.groups = set(groups)
                return await op.run()

            return await body(LiveQuotes(ib, state), listing)

        return run_ib(port, with_ib)

    return run
