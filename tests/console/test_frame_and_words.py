"""Tables on the terminal, and typed words mapped onto command fields."""

from __future__ import annotations

from dataclasses import dataclass, field

import pandas as pd
import pytest
from ib_async import ContFuture, Future, Stock

import corvane.helpers as helpers
from corvane.cmds.base import IOp
from ferrut.dispatch import ArgumentError, DArg, bind_words
from ferrut.frame import printFrame


class TestPrintFrame:
    def test_nullable_types_and_missing_values(self, capsys):
        df = pd.DataFrame({
            "date": pd.to_datetime(["2025-01-02", None]),
            "close": pd.array([101.25, None], dtype="Float64"),
            "volume": pd.array([1200, None], dtype="Int64"),
            "note": pd.array(["ok", None], dtype="string"),
        })
        printFrame(df, "AAPL day (2 bars)")
        lines = capsys.readouterr().out.splitlines()
        assert lines[0] == "AAPL day (2 bars)"
        assert lines[1].split() == ["date", "close", "volume", "note"]
        assert lines[2].split() == ["2025-01-02", "101.25", "1200", "ok"]
        assert lines[-1] == "(2 rows)"
        # Columns line up: every row is as wide as the header.
        assert len({len(ln) for ln in lines[1:4]}) == 1

    def test_long_tables_show_head_tail_and_the_row_count(self, capsys):
        printFrame(pd.DataFrame({"n": range(1000)}), "big")
        lines = capsys.readouterr().out.splitlines()
        values = [ln.strip() for ln in lines[2:-1]]
        assert values[:10] == [str(i) for i in range(10)]
        assert values[10] == "..."
        assert values[11:] == [str(i) for i in range(990, 1000)]
        assert "1000 rows" in lines[-1]

    def test_empty_frames(self, capsys):
        printFrame(pd.DataFrame(columns=["date", "close"]), "nothing")
        assert capsys.readouterr().out.splitlines() == ["nothing", "date  close", "(no rows)"]
        printFrame(pd.DataFrame(), "bare")
        assert capsys.readouterr().out.splitlines() == ["bare", "(no columns, 0 rows)"]


@dataclass
class Latest(IOp):
    symbol: str = field(init=False)
    rest: list = field(init=False)

    def argmap(self):
        return [DArg("symbol", convert=str.upper), DArg("*rest")]


@dataclass
class Groups(IOp):
    groups: set = field(init=False)

    def argmap(self):
        return [DArg("*groups", convert=set, desc="groups")]


class TestBindWords:
    def test_single_then_variadic(self):
        op = Latest()
        bind_words(op, ["aapl", "5m", "200", "adj"])
        assert (op.symbol, op.rest) == ("AAPL", ["5m", "200", "adj"])

    def test_missing_single_word_is_empty_and_variadic_empty_list(self):
        op = Latest()
        bind_words(op, [])
        assert (op.symbol, op.rest) == ("", [])

    def test_variadic_converter_gets_the_whole_list(self):
        op = Groups()
        bind_words(op, ["tech", "tech", "energy"])
        assert op.groups == {"tech", "energy"}

    def test_converter_failure_names_the_argument(self):
        @dataclass
        class Odd(IOp):
            n: int = field(init=False)

            def argmap(self):
                return [DArg("n", convert=lambda w: {"one": 1}[w])]

        with pytest.raises(ArgumentError, match="bad value for n: 'two'"):
            bind_words(Odd(), ["two"])


def test_helpers_export_only_what_command_modules_may_star_import():
    assert helpers.__all__ == ["Future", "nameForContract"]
    assert helpers.Future is Future
    assert helpers.nameForContract(Stock("AAPL", "SMART", "USD")) == "AAPL"
    assert helpers.nameForContract(Future("ES", "20251219", "CME", localSymbol="ESZ5")) == "/ES"
    assert helpers.nameForContract(ContFuture("NQ")) == "/NQ"
