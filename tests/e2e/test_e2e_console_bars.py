"""The console's view of sorvel's bars through the loopback gateway: files, cached tables, the prompt."""

from __future__ import annotations

import datetime as dt
import io
import sys
from zoneinfo import ZoneInfo

import pandas as pd
import pytest

import corvane.cmds.quotes.sorvel as sorvel
from corvane import clock
from corvane.cli import main

BAR_COLUMNS = ["date", "open", "high", "low", "close", "volume", "average", "barCount"]


@pytest.fixture
def console_home(tmp_path, monkeypatch):
    monkeypatch.setenv("CORVANE_HOME", str(tmp_path / "home"))
    monkeypatch.setattr(sorvel, "_sorvel_cache", None)  # each test starts with an empty cache
    return tmp_path


@pytest.fixture
def console_clock(monkeypatch):
    """``console_clock(instant)`` freezes the console there (the clock and the CORVANE_NOW
    the CLI reads); the tests' instant is back afterwards."""
    before = clock.frozen()

    def freeze(instant: dt.datetime) -> None:
        monkeypatch.setenv(clock.NOW_ENV, instant.isoformat())
        clock.freeze(instant)

    yield freeze
    clock.freeze(before)


def test_intraday_bars_of_another_day_say_which_session(loopback_gateway_factory, console_home,
                                                        console_clock, capsys, monkeypatch):
    new_york = ZoneInfo("America/New_York")
    # Friday midday: the bars are of today's session so far, and nothing is said.
    friday = dt.datetime(2025, 3, 7, 12, 0, tzinfo=new_york)
    console_clock(friday)
    port = str(loopback_gateway_factory(now=friday).port)
    assert main(["--port", port, "sorvel", "AAPL", "intraday"]) == 0
    out, err = capsys.readouterr()
    assert "2025-03-07 11:59" in out and "note:" not in err
    # Saturday: the gateway answers with Friday's minutes, under the same title as today's.
    # (A day later Friday's cached minutes would have expired; here only the frozen clock moved.)
    monkeypatch.setenv("CORVANE_HOME", str(console_home / "saturday"))
    monkeypatch.setattr(sorvel, "_sorvel_cache", None)
    saturday = dt.datetime(2025, 3, 8, 12, 0, tzinfo=new_york)
    console_clock(saturday)
    port = str(loopback_gateway_factory(now=saturday).port)
    assert main(["--port", port, "sorvel", "AAPL", "intraday"]) == 0
    out, err = capsys.readouterr()
    assert out.startswith("AAPL Intraday") and "2025-03-07 15:59" in out
    today = clock.today()
    assert (f"corvane: note: these intraday bars are Friday 2025-03-07's session, not today's "
            f"({today:%A %Y-%m-%d})") in err.splitlines()


def test_one_shot_exports_and_charts_then_a_cache_hit_shows_its_table(loopback_gateway, console_home,
                                                                      capsys):
    csv, png, parquet = (console_home / n for n in ("a.csv", "a.png", "a.parquet"))
    port = str(loopback_gateway.port)
    assert main(["sorvel", "AAPL", "day", "100", "--port", port, "--export", str(csv),
                 "--chart", str(png)]) == 0
    out = capsys.readouterr().out
    assert out.splitlines()[0] == "AAPL day (94 bars)"  # 140 calendar days back: six are holidays
    first = pd.read_csv(csv)
    assert list(first.columns) == [*BAR_COLUMNS, "symbol", "source"] and len(first) == 94
    assert set(first["source"]) == {"ibkr"} and set(first["symbol"]) == {"AAPL"}
    assert png.read_bytes().startswith(b"\x89PNG")

    # The same query again is a cache hit: the command prints nothing, the console prints the table.
    assert main(["--port", port, "--export", str(parquet), "sorvel", "AAPL", "day", "100"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("AAPL day (94 bars) (cached: from ibkr, fetched ")
    assert lines[0].endswith(", just now)")
    assert lines[-2:] == ["AAPL 94 bars from ibkr (cached)", f"wrote 94 bars to {parquet}"]
    again = pd.read_parquet(parquet)
    assert set(again["source"]) == {"cache"}
    pd.testing.assert_frame_equal(again[BAR_COLUMNS].astype({"date": str}),
                                  first[BAR_COLUMNS].convert_dtypes(), check_dtype=False)
    assert len(loopback_gateway.gateway.history_requests) == 1


def test_prompt_shows_cached_tables_charts_and_all_rows(loopback_gateway, console_home, capsys,
                                                        monkeypatch):
    lines = ["sorvel QQQ day 100", "sorvel QQQ day 100", "chart", "rows all", "sorvel QQQ intraday",
             "sorvel QQQ intraday", "tessik", "chart"]
    monkeypatch.setattr(sys, "stdin", io.StringIO("\n".join(lines) + "\n"))
    assert main(["--port", str(loopback_gateway.port)]) == 0
    out, err = capsys.readouterr()
    titles = [ln.split(" (cached:")[0] + (" (cached)" if "(cached:" in ln else "")
              for ln in out.splitlines() if ln.startswith(("QQQ day", "QQQ Intraday"))]
    assert titles[:2] == ["QQQ day (94 bars)", "QQQ day (94 bars) (cached)"]  # six holidays in 140 days
    chart = out[out.index("first 10 and last 10 shown", out.index("(cached")):]
    assert "QQQ day (94 bars) (cached: from ibkr" in chart and chart.count("┤") >= 4
    # rows all: the intraday tables show every one-minute bar, fetched and cached alike.
    assert "QQQ Intraday" in titles and "QQQ Intraday (cached)" in titles
    assert out.count("15:59") >= 2 and "shown" not in out[out.index("QQQ Intraday"):]
    assert "nothing to chart or export: the last result has no bars" in err
