"""download end to end: the real client against a loopback gateway enforcing the broker's rules,
at a compressed pace, through the console's pacer and the bar store."""

from __future__ import annotations

import asyncio
import datetime as dt
from zoneinfo import ZoneInfo

import pandas as pd
import pytest

from corvane import clock
from corvane.cli import main
from corvane.history.plan import NYSE_HOLIDAYS, trading_days

NEW_YORK = ZoneInfo("America/New_York")
#: after the range, so every session in it is closed
AFTER = dt.datetime(2025, 3, 3, 12, 0, tzinfo=NEW_YORK)


@pytest.fixture
def console_home(tmp_path, monkeypatch):
    monkeypatch.setenv("CORVANE_HOME", str(tmp_path / "home"))
    return tmp_path


@pytest.fixture
def paced_gateway(loopback_gateway_factory, console_home, monkeypatch):
    """Console and gateway frozen after the range, pacing compressed a hundredfold on both sides."""
    monkeypatch.setenv("CORVANE_PACE_SCALE", "0.01")
    before = clock.frozen()
    monkeypatch.setenv(clock.NOW_ENV, AFTER.isoformat())
    clock.freeze(AFTER)
    yield loopback_gateway_factory(rules=True, pace_scale=0.01, now=AFTER)
    clock.freeze(before)


def _minutes(first: dt.date, last: dt.date) -> set[pd.Timestamp]:
    """Every regular-hours minute of the exchange's trading days from ``first`` to ``last``."""
    out = set()
    for day in trading_days(first, last, NYSE_HOLIDAYS):
        opens = pd.Timestamp(dt.datetime(day.year, day.month, day.day, 9, 30), tz=NEW_YORK)
        out.update(opens + pd.Timedelta(minutes=m) for m in range(390))
    return out


def test_download_is_exact_paced_and_fetched_once(paced_gateway, console_home, capsys):
    port = str(paced_gateway.port)
    target = console_home / "weeks.parquet"
    words = ["download", "AAPL", "MSFT", "--start", "2025-02-10", "--end", "2025-02-28", "--interval", "1m"]
    assert main([*words, "--export", str(target), "--port", port]) == 0
    out, err = capsys.readouterr()
    # Presidents' Day (02-17) is closed: 14 sessions each, one request per session.
    assert "AAPL MSFT: 2 × 14 requests of 1 D × 1 min" in err and "/28 requests" in err
    assert "AAPL MSFT: 10,920 bars from ibkr (28 requests, 0 from the store)" in out
    sent = len(paced_gateway.gateway.history_requests)
    assert sent == 28  # none refused and sent again: no pacing violation
    frame = pd.read_parquet(target)
    assert str(frame["date"].dt.tz) == "America/New_York"
    expected = _minutes(dt.date(2025, 2, 10), dt.date(2025, 2, 28))
    for symbol in ("AAPL", "MSFT"):
        assert set(frame.loc[frame["symbol"] == symbol, "date"]) == expected

    # The same again is answered by the store: no request reaches the gateway.
    assert main([*words, "--port", port]) == 0
    assert "(0 requests, 10,920 from the store)" in capsys.readouterr().out
    assert len(paced_gateway.gateway.history_requests) == sent

    # Exactly N bars reaching back across sessions, and one single day.
    last = console_home / "last.csv"
    assert main(["download", "AAPL", "--last", "200", "--interval", "5m", "--export", str(last), "--port", port]) == 0
    assert len(pd.read_csv(last)) == 200
    day = console_home / "day.csv"
    assert main(["download", "MSFT", "--start", "2025-02-26", "--end", "2025-02-26", "--interval", "1m",
                 "--export", str(day), "--port", port]) == 0
    dates = pd.to_datetime(pd.read_csv(day)["date"], utc=True).dt.tz_convert(NEW_YORK)
    assert len(dates) == 390 and set(dates.dt.date) == {dt.date(2025, 2, 26)}
    # A future's overnight hours: the whole calendar day, its evening from the next day's session.
    night = console_home / "night.csv"
    assert main(["download", "/ES", "--start", "2025-02-26", "--end", "2025-02-26", "--interval", "1h",
                 "--outside-rth", "--export", str(night), "--port", port]) == 0
    hours = pd.to_datetime(pd.read_csv(night)["date"], utc=True).dt.tz_convert(NEW_YORK).dt.hour
    assert list(hours) == [h for h in range(24) if h != 17]  # the daily halt


def test_the_function_works_inside_a_running_event_loop(paced_gateway, monkeypatch):
    import corvane

    monkeypatch.setenv("CORVANE_IB_PORT", str(paced_gateway.port))

    async def cell():
        return corvane.download(["AAPL", "MSFT"], start="2025-02-24", end="2025-02-28", interval="1h")

    frame = asyncio.run(cell())
    assert frame.shape == (35, 14) and str(frame.index.tz) == "America/New_York"
    assert frame.attrs["sources"] == {"AAPL": "ibkr", "MSFT": "ibkr"}
    assert list(frame.columns.get_level_values(1)[:2]) == ["AAPL", "MSFT"]


def test_a_damaged_store_is_fetched_again_and_the_head_asked_once(paced_gateway, console_home, capsys, monkeypatch):
    from corvane.history import download

    heads = []
    asked = download._Fetcher.head

    async def counted(self, *args):
        heads.append(args)
        return await asked(self, *args)

    monkeypatch.setattr(download._Fetcher, "head", counted)
    port = str(paced_gateway.port)
    words = ["download", "AAPL", "--start", "2025-01-29", "--end", "2025-02-04", "--interval", "1m", "--port", port]
    first, again = console_home / "first.parquet", console_home / "again.parquet"
    assert main([*words, "--export", str(first)]) == 0
    assert main(words) == 0
    assert "(0 requests, 1,950 from the store)" in capsys.readouterr().out
    assert len(heads) == 1

    # February's file scaled by another tool: set aside with one warning, fetched again, the same bars.
    (february,) = (console_home / "home" / "bars").rglob("month=02/bars.parquet")
    frame = pd.read_parquet(february)
    frame.assign(close=frame["close"] * 2).to_parquet(february, index=False)
    assert main([*words, "--export", str(again)]) == 0
    out, err = capsys.readouterr()
    assert "AAPL: 1,950 bars from ibkr (" in out and "requests, 1,170 from the store)" in out
    told = [line for line in err.splitlines() if "bar store" in line]
    assert len(told) == 1 and str(february) in told[0] and "fetched again" in told[0], err
    pd.testing.assert_frame_equal(pd.read_parquet(again), pd.read_parquet(first))
    assert len(heads) == 1

    assert main(["store", "verify"]) == 0
    assert "1 series, 2 month files, all sound" in capsys.readouterr().out
    february.unlink()
    assert main(["store", "verify"]) == 1
    out, err = capsys.readouterr()
    assert str(february) in err and "1 damaged, set aside" in out
