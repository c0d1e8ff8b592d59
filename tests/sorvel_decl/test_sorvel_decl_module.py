"""What the sorvel module binds when it loads, and the command class it declares."""

from __future__ import annotations

import copy
import dataclasses
import datetime
import inspect
import math
import re
import typing

import pandas as pd
import pytest

import corvane.cmds.base
import corvane.helpers
import ferrut.dispatch
import ferrut.frame
import ib_async
import loguru
from corvane.candles.cache import SorvelCache

import corvane.cmds.quotes.sorvel as sorvel

LOAD_ORDER = [
    "asyncio", "copy", "datetime", "math", "re",
    "dataclass", "field",
    "TYPE_CHECKING",
    "Contract",
    "logger",
    "DArg",
    "printFrame",
    "pd",
    "IOp", "command",
    "SorvelCache",
    *corvane.helpers.__all__,
    "PERIOD_MAP", "ADJUST_KEYWORDS", "BAR_SECONDS", "PERIOD_DEFAULT_COUNT", "DURATION_FACTOR",
    "YF_PERIOD", "YF_INTERVAL",
    "_sorvel_cache",
    "_get_cache", "_is_date", "_is_period", "_parse_date", "_calc_duration",
    "_strip_tz", "_normalize_yfinance_df",
    "IOpSorvel",
]

# The command's help text as the user sees it, character for character.
HELP = (
    "Fetch candlestick / OHLCV data via IBKR.\n"
    "\n"
    "    Modes:\n"
    "      sorvel <symbol> [period] [count] [adj]           # Latest N candles\n"
    "      sorvel <symbol> <start> [end] [period] [adj]     # History by date range\n"
    "      sorvel <symbol> intraday                          # Today's per-minute curve\n"
    "\n"
    "    Periods: 1m, 5m, 15m, 30m, 1h, day, week, month, year\n"
    "    Aliases: minute, hour, d, w, m, y, 1d, 1mo\n"
    "    Count:  number of bars (per-period default: 1m=120, 5m=78, day=250, etc.)\n"
    "    Adj:    adj (or forward) for split+dividend adjusted price (ADJUSTED_LAST)\n"
    "            omitted = TRADES (split-adjusted only)\n"
    "    Start / End: YYYY-MM-DD (end defaults to today)\n"
    "\n"
    "    Examples:\n"
    "      sorvel AAPL day 100\n"
    "      sorvel AAPL 5m 200 adj\n"
    "      sorvel AAPL 2025-01-01 day\n"
    "      sorvel AAPL 2025-01-01 2025-06-01 day\n"
    "      sorvel AAPL intraday\n"
    "    "
)


def test_module_docstring():
    assert sorvel.__doc__ == "Command: sorvel\n\nCategory: Live Market Quotes\n"


def fresh_process(code):
    """Output of `code` run in a new interpreter that loads the same build."""
    import os
    import subprocess
    import sys

    import corvane

    console = os.path.dirname(os.path.dirname(corvane.__file__))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": console})
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_bindings_come_in_load_order():
    # Seen in a fresh process: tests that delete and restore a global move it.
    names = fresh_process("import corvane.cmds.quotes.sorvel as m; print(*vars(m))").split()
    wanted = set(LOAD_ORDER)
    assert [n for n in names if n in wanted] == LOAD_ORDER


def test_cache_slot_starts_empty_in_a_fresh_process():
    assert fresh_process("import corvane.cmds.quotes.sorvel as m; print(m._sorvel_cache)").strip() == "None"


@pytest.fixture
def running_clock():
    """The console's clock let run for one test (the tests' frozen clock swaps ``datetime``)."""
    from corvane import clock
    saved = clock.frozen()
    clock.freeze(None)
    yield
    clock.freeze(saved)


def test_bindings_are_what_they_name(running_clock):
    import asyncio

    expected = {
        "asyncio": asyncio, "copy": copy, "datetime": datetime, "math": math, "re": re,
        "dataclass": dataclasses.dataclass, "field": dataclasses.field,
        "TYPE_CHECKING": typing.TYPE_CHECKING,
        "Contract": ib_async.Contract, "logger": loguru.logger, "DArg": ferrut.dispatch.DArg,
        "printFrame": ferrut.frame.printFrame, "pd": pd,
        "IOp": corvane.cmds.base.IOp, "command": corvane.cmds.base.command,
        "SorvelCache": SorvelCache, "Future": ib_async.Future,
        "nameForContract": corvane.helpers.nameForContract,
    }
    for name, value in expected.items():
        assert vars(sorvel)[name] is value, name
    assert sorvel.TYPE_CHECKING is False
    # Fetch-time imports stay out of the module.
    assert "os" not in vars(sorvel) and "yfinance" not in vars(sorvel)


class TestCommandClass:
    cls = sorvel.IOpSorvel

    def test_registered_dataclass_on_iop(self):
        assert self.cls.__bases__ == (corvane.cmds.base.IOp,)
        assert self.cls.__module__ == "corvane.cmds.quotes.sorvel" and self.cls.__qualname__ == "IOpSorvel"
        assert corvane.cmds.base.COMMANDS["sorvel"] is self.cls
        assert dataclasses.is_dataclass(self.cls)
        assert "__dataclass_fields__" in vars(self.cls)

    def test_help_text(self):
        assert self.cls.__doc__ == HELP
        assert inspect.getdoc(self.cls).splitlines()[0] == "Fetch candlestick / OHLCV data via IBKR."

    def test_requires_gateway_is_a_plain_false_class_attribute(self):
        assert vars(self.cls)["requires_gateway"] is False
        assert "requires_gateway" not in {f.name for f in dataclasses.fields(self.cls)}
        assert "requires_gateway" not in self.cls.__annotations__

    def test_fields_are_symbol_and_rest_without_init_or_default(self):
        assert self.cls.__annotations__ == {"symbol": "str", "rest": "list[str]"}
        own = {f.name: f for f in dataclasses.fields(self.cls)}
        assert list(own) == ["state", "ib", "cache", "symbol", "rest"]
        for name, annotation in [("symbol", "str"), ("rest", "list[str]")]:
            f = own[name]
            assert f.type == annotation and f.init is False
            assert f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING
            assert not hasattr(self.cls, name)
        params = list(inspect.signature(self.cls).parameters)
        assert params == ["state", "ib", "cache"]
        with pytest.raises(TypeError):
            self.cls(symbol="AAPL")

    def test_methods_in_declaration_order(self):
        methods = [n for n, v in vars(self.cls).items() if callable(v) and not n.startswith("__")]
        assert methods == ["argmap", "run", "_sorvel", "_history", "_intraday", "_yf_history",
                           "_run_yfinance", "_sorvel_yfinance", "_history_yfinance", "_intraday_yfinance"]

    def test_class_namespace_in_the_order_a_class_body_makes_it(self):
        head = list(vars(self.cls))[:4]
        assert head == ["__module__", "__annotations__", "__doc__", "requires_gateway"]

    def test_argmap(self):
        op = self.cls()
        first, second = op.argmap(), op.argmap()
        assert first is not second
        symbol, rest = first
        assert isinstance(symbol, ferrut.dispatch.DArg) and isinstance(rest, ferrut.dispatch.DArg)
        assert symbol.name == "symbol" and symbol.convert is str.upper
        assert rest == ferrut.dispatch.DArg("*rest")

    def test_words_reach_the_fields_as_the_console_binds_them(self):
        op = self.cls()
        ferrut.dispatch.bind_words(op, ["aapl"])
        assert op.symbol == "AAPL" and op.rest == []
        ferrut.dispatch.bind_words(op, ["AAPL", "5m", "200", "Adj"])
        assert op.rest == ["5m", "200", "Adj"]
