"""Tables on the terminal, and typed words mapped onto command fields."""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass, field

import pandas as pd
import pytest
from ib_async import ContFuture, Future, Stock

import corvane.helpers as helpers
from corvane.cmds.base import IOp
from ferrut.dispatch import ArgumentError, DArg, bind_words
from ferrut import output
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
        out = capsys.readouterr().out
        lines = out.splitlines()
        assert lines[0] == "AAPL day (2 bars)"
        assert lines[1].split() == ["date", "close", "volume", "note"]
        assert lines[3].split() == ["2025-01-02", "101.25", "1,200", "ok"]
        assert lines[4].split() == ["NA", "NA", "NA", "NA"]
        assert lines[-1] == "2 rows · 2025-01-02"
        # Columns line up, and a pipe gets no escape codes and no trailing blanks.
        assert len({len(ln) for ln in lines[1:3]}) == 1
        assert "\x1b" not in out and all(ln == ln.rstrip() for ln in lines)

    def test_bar_columns_are_written_to_be_read(self, capsys):
        printFrame(pd.DataFrame({
            "date": [dt.date(2025, 1, 2), dt.date(2025, 1, 3)],
            "open": [223.0, 223.18], "close": [223.1234, 223.0],
            "volume": [55095810, 1200], "barCount": [612177, 10],
        }).convert_dtypes(), "AAPL day (2 bars)")
        lines = capsys.readouterr().out.splitlines()
        # Prices with the decimals every value of the column needs (at least two).
        assert lines[3].split() == ["2025-01-02", "223.00", "223.1234", "55,095,810", "612,177"]
        assert lines[4].split() == ["2025-01-03", "223.18", "223.0000", "1,200", "10"]
        assert lines[-1] == "2 bars · 2025-01-02 → 2025-01-03"

        printFrame(pd.DataFrame({"date": pd.date_range("2025-01-02 09:30", periods=2, freq="min"),
                                 "open": [1.5, 2.0], "high": [2, 3], "low": [1, 1], "close": [2, 1]}),
                   "AAPL Intraday")
        lines = capsys.readouterr().out.splitlines()
        assert lines[3].split()[:2] == ["2025-01-02", "09:30"]
        assert lines[-1] == "2 bars · 2025-01-02 09:30 → 2025-01-02 09:31"

    def test_one_clock_on_screen(self, capsys):
        """Daily bars are days (no zone beside a date); intraday keeps its zone; a quote's time is the
        exchange's clock, as the tables show it, not this machine's (UTC here)."""
        from types import SimpleNamespace

        from corvane.quote_table import row

        days = pd.date_range("2026-12-01", periods=2, freq="D", tz="America/New_York")
        printFrame(pd.DataFrame({"date": days, "close": [1.0, 2.0]}), "AAPL day")
        lines = capsys.readouterr().out.splitlines()
        assert lines[3].split() == ["2026-12-01", "1.00"]
        minutes = pd.date_range("2026-12-01 09:30", periods=2, freq="min", tz="America/New_York")
        printFrame(pd.DataFrame({"date": minutes, "close": [1.0, 2.0]}), "AAPL 1m")
        assert capsys.readouterr().out.splitlines()[3].split()[:3] == ["2026-12-01", "09:30", "EST"]
        stamp = dt.datetime(2026, 12, 1, 15, 0, 5, tzinfo=dt.UTC)
        ticker = SimpleNamespace(last=1.0, close=1.0, bid=1.0, ask=1.0, volume=1, lastTimestamp=stamp)
        assert row("AAPL", ticker)[-1] == "10:00:05"

    def test_long_tables_show_head_tail_and_the_row_count(self, capsys):
        printFrame(pd.DataFrame({"n": range(1000)}), "big")
        lines = capsys.readouterr().out.splitlines()
        values = [ln.strip() for ln in lines[3:-1]]
        assert values[:10] == [str(i) for i in range(10)]
        assert values[10] == "..."
        assert values[11:] == [str(i) for i in range(990, 1000)]
        assert lines[-1] == "1,000 rows · first 10 and last 10 shown"

    @pytest.mark.parametrize("rows, shown", [("all", 100), (7, 7), (200, 100)])
    def test_rows_setting_chooses_how_many(self, capsys, rows, shown):
        with output.using(output.Sink(rows=rows)):
            printFrame(pd.DataFrame({"n": range(100)}), "")
        values = [ln.strip() for ln in capsys.readouterr().out.splitlines()[2:-1]]
        assert len([v for v in values if v != "..."]) == shown
        assert values[0] == "0" and values[-1] == "99"

    def test_empty_frames(self, capsys):
        printFrame(pd.DataFrame(columns=["date", "close"]), "nothing")
        assert capsys.readouterr().out.splitlines() == ["nothing", "date   close", "------------",
                                                         "0 rows"]
        printFrame(pd.DataFrame(), "bare")
        assert capsys.readouterr().out.splitlines() == ["bare", "(no columns, 0 rows)"]


    def test_a_long_table_is_made_later_by_a_stream_that_can_and_reads_the_same(self):
        # An attached client's stream makes long tables on its own thread: the text must be what
        # would have been written at once, of the frame as it was when printed.
        import io

        class Later(io.StringIO):
            def __init__(self):
                super().__init__()
                self.makers = []

            def write_later(self, make, size):
                self.makers.append(make)

        days = pd.DataFrame({"date": pd.date_range("2025-01-02", periods=300), "open": range(300),
                             "close": [i * 1.25 for i in range(300)]})
        for color in (False, True):
            for rows, later in ((output.ALL, True), (None, False), (50, False)):
                at_once, stream = io.StringIO(), Later()
                for out in (at_once, stream):
                    with output.using(output.Sink(out=out, rows=rows, color=color, width=100)):
                        printFrame(days, "AAPL day")
                assert len(stream.makers) == later
                if later:
                    days.loc[0, "close"] = 99.0  # changed after printing
                    assert stream.makers[0]() == at_once.getvalue()
                    days.loc[0, "close"] = 0.0
                else:
                    assert stream.getvalue() == at_once.getvalue()

    def test_plain_tables_are_laid_out_as_rich_lays_them_out(self):
        # Pipes and files get a table written directly, not through rich; it must be the same text.
        import io

        from rich.console import Console

        from ferrut import frame

        def through_rich(df, title, rows):
            buffer = io.StringIO()
            Console(file=buffer, width=frame.PLAIN_WIDTH, color_system=None, highlight=False, emoji=False,
                    markup=False).print(frame.build_table(df, title, rows=rows))
            return "\n".join(line.rstrip() for line in buffer.getvalue().splitlines())

        days = pd.DataFrame({"date": pd.date_range("2025-01-02", periods=30), "open": range(30),
                             "close": [i * 1.25 for i in range(30)], "volume": range(0, 3_000_000, 100_000)})
        minutes = days.assign(date=pd.date_range("2025-03-05 09:30", periods=30, freq="min", tz="America/New_York"))
        frames = [days, days.head(0), days.head(1), minutes, days.set_index("date"), days.set_index(days.index + 5),
                  days.assign(close=[None] * 30, note=["", "x y", "-"] * 10),
                  pd.DataFrame([[1, "a"], [2, "bb"]], columns=["n", "n"])]
        for df in frames:
            for rows in (None, 0, 1, 4, output.ALL):
                for title in ("", "AAPL day (30 bars)"):
                    assert frame.render_frame(df, title, rows) == through_rich(df, title, rows)
        # What it cannot lay out the same way goes through rich.
        odd = pd.DataFrame({"name": ["café", "x" * (frame.PLAIN_WIDTH + 1)]})
        assert frame.render_frame(odd) == through_rich(odd, "", None)


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


def test_help_lists_each_summary_beside_its_usage():
    """A console word with a long usage stands on a line of its own instead of pushing every
    summary past the width of a terminal."""
    from corvane.words.help import listing

    console = listing(interactive=True).split("Console:")[1].splitlines()
    short = [ln for ln in console if ln.startswith("    help ")]
    assert short and short[0].index("list the commands") < 40

