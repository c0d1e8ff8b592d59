"""Keeping what a command fetched: export and its refusals, charts, and where the options stand."""

from __future__ import annotations

import io
import re
import sys
import time
import warnings

import mplfinance
import pandas as pd
import pytest

import ferrut.export
from corvane.cli import main
from ferrut import status_line
from ferrut.chart import terminal_chart
from ferrut.frame import printFrame


def run(capsys, *args: str):
    status = main(["--no-gateway", *args])
    out, err = capsys.readouterr()
    return status, out, err


class TestExport:
    @pytest.mark.parametrize("name", ["bars.csv", "bars.parquet"])
    def test_every_bar_is_written_with_symbol_and_source(self, capsys, tmp_path, name):
        target = tmp_path / name
        # Console options stand after the command's words as well as before them.
        status, out, _ = run(capsys, "fakebars", "aapl", "60", "--export", str(target))
        assert status == 0
        assert "first 10 and last 10 shown" in out  # the table stays short; the file does not
        back = pd.read_csv(target) if name.endswith(".csv") else pd.read_parquet(target)
        assert list(back.columns) == ["date", "open", "high", "low", "close", "volume", "symbol",
                                      "source"]
        assert len(back) == 60
        assert back["close"].tolist() == [100.0 + i for i in range(60)]
        assert set(back["symbol"]) == {"AAPL"} and set(back["source"]) == {"fake"}
        assert [p.name for p in tmp_path.iterdir() if p.name != "home"] == [name]

    @pytest.mark.parametrize("name, message", [
        ("bars.xlsx", "unknown file type '.xlsx'"),
        ("bars", "unknown file type '(none)'"),
        ("missing/bars.csv", "no directory"),
        ("taken.csv", "exists; add --force"),
    ])
    def test_refused_targets_exit_2_before_the_command_runs(self, capsys, tmp_path, name, message):
        (tmp_path / "taken.csv").write_text("keep me\n")
        status, out, err = run(capsys, "--export", str(tmp_path / name), "fakebars", "aapl")
        assert status == 2 and message in err
        assert "AAPL" not in out  # nothing was fetched for a file that cannot be written
        assert (tmp_path / "taken.csv").read_text() == "keep me\n"

    def test_force_replaces_and_a_failed_write_leaves_nothing(self, capsys, tmp_path, monkeypatch):
        target = tmp_path / "bars.csv"
        target.write_text("old\n")
        assert run(capsys, "fakebars", "aapl", "2", "--export", str(target), "--force")[0] == 0
        assert len(pd.read_csv(target)) == 2

        def half_then_fail(df, path):
            path.write_text("date,close\n2025-01-01,")
            raise OSError(28, "No space left on device")

        monkeypatch.setitem(ferrut.export._WRITERS, "csv", half_then_fail)
        status, _, err = run(capsys, "fakebars", "aapl", "2", "--export", str(tmp_path / "new.csv"))
        assert status == 2 and "No space left on device" in err
        assert sorted(p.name for p in tmp_path.iterdir() if p.name != "home") == ["bars.csv"]

        def a_file_of_its_own_exists(df, path):
            raise FileExistsError(17, "File exists", str(tmp_path / "scratch"))

        monkeypatch.setitem(ferrut.export._WRITERS, "csv", a_file_of_its_own_exists)
        status, _, err = run(capsys, "fakebars", "aapl", "2", "--export", str(tmp_path / "new.csv"))
        assert status == 2 and "cannot write" in err and "--force" not in err  # not the target: no such advice

    def test_a_failed_export_still_charts_and_the_line_ends_with_its_status(self, capsys, tmp_path, monkeypatch):
        def full_disk(df, path):
            raise OSError(28, "No space left on device")

        monkeypatch.setitem(ferrut.export._WRITERS, "csv", full_disk)
        status, out, err = run(capsys, "fakebars", "aapl", "5", "--export", str(tmp_path / "a.csv"),
                               "--chart", str(tmp_path / "c.png"))
        assert status == 2 and err.count("No space left on device") == 1  # told once, in its place
        assert f"chart written to {tmp_path / 'c.png'}" in out

    def test_a_file_made_meanwhile_is_kept_and_an_export_is_not_private(self, capsys, tmp_path, monkeypatch):
        import os

        umask = os.umask(0o022)
        try:
            assert run(capsys, "fakebars", "aapl", "2", "--export", str(tmp_path / "a.csv"))[0] == 0
        finally:
            os.umask(umask)
        assert (tmp_path / "a.csv").stat().st_mode & 0o777 == 0o644  # others read it as any file of theirs

        write = ferrut.export._WRITERS["csv"]

        def another_writes_it_too(df, path):
            write(df, path)
            (tmp_path / "b.csv").write_text("theirs\n")

        monkeypatch.setitem(ferrut.export._WRITERS, "csv", another_writes_it_too)
        status, _, err = run(capsys, "fakebars", "aapl", "2", "--export", str(tmp_path / "b.csv"))
        assert status == 2 and "b.csv exists; add --force" in err
        assert (tmp_path / "b.csv").read_text() == "theirs\n"
        assert sorted(p.name for p in tmp_path.iterdir() if p.name != "home") == ["a.csv", "b.csv"]

    def test_bars_in_any_order_are_written_in_the_one_layout(self, tmp_path):
        # A source that gives the fields in its own order and volumes as floats.
        from corvane.bar_views import Views
        from corvane.last_result import LastResult

        told: list[str] = []
        console = type("Teller", (), {"verbose": False, "out": io.StringIO(), "err": io.StringIO(),
                                      "say": lambda self, t: told.append(t), "complain": told.append})()
        views = Views(console)
        bars = [{"volume": 1200.0, "close": 10.5, "date": pd.Timestamp("2025-03-03 09:30"), "barCount": 7,
                 "low": 10.0, "open": 10.1, "high": 10.9, "average": 10.4}]
        views.last = LastResult(title="AAPL", symbol="AAPL", source="yfinance", bars=bars)
        views._export(views.last, str(tmp_path / "a.csv"), False)  # a refusal or a failure raises
        assert (tmp_path / "a.csv").read_text().splitlines() == [
            "date,open,high,low,close,volume,average,barCount,symbol,source",
            "2025-03-03 09:30:00,10.1,10.9,10.0,10.5,1200,10.4,7,AAPL,yfinance",
        ]

    def test_a_result_without_bars_is_told_not_written(self, capsys, tmp_path):
        status, _, err = run(capsys, "fakecount", "3", "--export", str(tmp_path / "n.csv"))
        assert status == 1 and "the last result has no bars" in err
        assert not [p for p in tmp_path.iterdir() if p.name != "home"]


class TestChart:
    def test_terminal_chart_draws_candles_and_volume(self, capsys):
        status, out, _ = run(capsys, "fakebars", "msft", "5", "--chart")
        assert status == 0
        chart = out[out.index("MSFT day (5 bars)", out.index("5 bars ·")):]
        assert "█" in chart and chart.count("┤") >= 4  # two panels with their axis ticks
        assert "\x1b" not in out  # no colour into a pipe
        # Five volume bars standing apart, not one block; without colour rising bodies are light.
        volume = chart[chart.rindex("┌"):]
        bottom_row = [row for row in volume.splitlines() if "0┤" in row]
        assert [re.findall("█+", row) for row in bottom_row] == [["█"] * 5]
        prices = chart[:chart.rindex("┌")]
        assert "░" in prices and "█" not in prices  # fakebars only rise
        bars = pd.DataFrame({"date": ["2025-01-02", "2025-01-03"], "open": [10.0, 12.0],
                             "high": [12.5, 12.5], "low": [9.5, 9.5], "close": [12.0, 10.0]})
        both = terminal_chart(bars, "t", width=60, height=20, color=False)
        assert "░" in both and "█" in both

    @pytest.mark.parametrize("name, magic", [("c.png", b"\x89PNG"), ("c.svg", b"<?xml")])
    def test_picture_files(self, capsys, tmp_path, name, magic):
        status, out, _ = run(capsys, "fakebars", "msft", "60", "--chart", str(tmp_path / name))
        assert status == 0 and f"chart written to {tmp_path / name}" in out
        assert (tmp_path / name).read_bytes().startswith(magic)
        assert [p.name for p in tmp_path.iterdir() if p.name != "home"] == [name]

    def test_pictures_of_few_bars_and_a_failure_told_in_one_line(self, capsys, tmp_path,
                                                                 monkeypatch):
        drawn = []
        plot = mplfinance.plot

        def spy(*args, **kwargs):
            figure, axes = plot(*args, **kwargs)
            drawn.append((len(args[0]), figure))
            return figure, axes

        monkeypatch.setattr(mplfinance, "plot", spy)
        for count in ("1", "5"):  # too few bars for a moving average; one bar is one candle
            target = tmp_path / f"c{count}.png"
            status, out, err = run(capsys, "fakebars", "msft", count, "--chart", str(target))
            assert status == 0 and target.read_bytes().startswith(b"\x89PNG")
            assert f"chart written to {target}" in out and "corvane:" not in err
            candles, figure = drawn.pop()
            labels = [[t.get_text() for t in a.get_xticklabels()] for a in figure.axes]
            assert candles == int(count)
            assert [f"2025-01-0{d}" for d in range(1, candles + 1)] in labels  # one date a candle

        def fails(*args, **kwargs):
            print("noise on stdout")
            print("noise on stderr", file=sys.stderr)
            warnings.warn("noise as a warning")
            raise TypeError("a value was refused\n    def _validator(value):\n        ...")

        monkeypatch.setattr(mplfinance, "plot", fails)
        target = tmp_path / "f.png"
        status, out, err = run(capsys, "fakebars", "msft", "5", "--chart", str(target))
        assert status == 1 and "noise" not in out + err and not target.exists()
        told = [line for line in err.splitlines() if " INFO " not in line]  # bar the log
        assert told == ["corvane: chart failed: TypeError: a value was refused (-v shows more)"]
        with pytest.warns(UserWarning, match="noise"):  # -v lets the libraries speak
            status, _, err = run(capsys, "-v", "fakebars", "msft", "5", "--chart", str(target))
        assert status == 1 and "Traceback" in err and "noise on stderr" in err

    def test_bad_option_words_exit_2(self, capsys, tmp_path):
        assert run(capsys, "--chart", str(tmp_path / "c.gif"), "fakebars", "x")[0] == 2
        assert run(capsys, "fakebars", "x", "--rows", "0")[0] == 2
        assert run(capsys, "fakebars", "x", "--export")[0] == 2
        assert "rows takes a positive number or all" in run(capsys, "--rows", "x")[2]


class TestStatusLine:
    class Terminal(io.StringIO):
        def isatty(self) -> bool:
            return True

    def test_drawn_on_a_terminal_wiped_for_logs_and_gone_once_the_table_prints(self, capsys):
        tty = self.Terminal()
        with status_line.waiting("sorvel AAPL day 100", tty, delay=0):
            deadline = time.monotonic() + 5
            while "sorvel AAPL day 100" not in tty.getvalue() and time.monotonic() < deadline:
                time.sleep(0.01)
            status_line.guarded(tty).write("12:00:00 INFO    a log line\n")
            assert tty.getvalue().endswith("\r\x1b[2K12:00:00 INFO    a log line\n")
            while tty.getvalue().endswith("line\n") and time.monotonic() < deadline:
                time.sleep(0.01)  # drawn again below the log line
            printFrame(pd.DataFrame({"n": [1]}), "t")
            after_table = tty.getvalue()
            time.sleep(0.3)
            assert tty.getvalue() == after_table  # not drawn again over the table
        assert after_table.endswith("\r\x1b[2K")
        assert capsys.readouterr().out.startswith("t\n")

        piped = io.StringIO()
        with status_line.waiting("sorvel AAPL", piped, delay=0):
            time.sleep(0.3)
        assert piped.getvalue() == ""
