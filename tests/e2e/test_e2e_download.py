"""download end to end: the real client against a loopback gateway enforcing the broker's rules,
at a compressed pace, through the console's pacer and the bar store."""

from __future__ import annotations

import asyncio
import re
import datetime as dt
import io
from zoneinfo import ZoneInfo

import pandas as pd
import pytest

from corvane import clock
from corvane.cli import main
from corvane.history.plan import trading_days

NEW_YORK = ZoneInfo("America/New_York")
CHICAGO = ZoneInfo("America/Chicago")
#: after the range, so every session in it is closed
AFTER = dt.datetime(2025, 3, 3, 12, 0, tzinfo=NEW_YORK)


@pytest.fixture
def console_home(tmp_path, monkeypatch):
    from corvane import api

    monkeypatch.setenv("CORVANE_HOME", str(tmp_path / "home"))
    yield tmp_path
    api._close_here()  # the script's console, kept between calls, goes with the test


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
    for day in trading_days(first, last):
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
    # A future's overnight hours: the whole calendar day on the CME's clock (its zone from the
    # contract details), its evening from the next day's session.
    night = console_home / "night.csv"
    assert main(["download", "/ES", "--start", "2025-02-26", "--end", "2025-02-26", "--interval", "1h",
                 "--outside-rth", "--export", str(night), "--port", port]) == 0
    hours = pd.to_datetime(pd.read_csv(night)["date"], utc=True).dt.tz_convert(CHICAGO).dt.hour
    assert list(hours) == [h for h in range(24) if h != 16]  # the daily halt
    # Bars of seconds go back six months at most: refused before anything is sent.
    assert main(["download", "AAPL", "--start", "2024-06-03", "--interval", "5s", "--port", port]) != 0
    assert "bars of 5 secs go back 6 months at most (to 2024-09-03)" in capsys.readouterr().err


def test_small_bars_reach_the_gateway_within_its_pacing_and_all_arrive(paced_gateway, console_home, capsys):
    from corvane_loopback.background import ServerThread
    from corvane_loopback.proxy import CountingProxy

    # Five sessions of 5-second bars: 35 requests of an hour, six or more within every 2 s
    # window if the console let them bunch. The proxy judges them as they arrive.
    with ServerThread(CountingProxy(paced_gateway.port, scale=0.01)) as proxy:
        words = ["download", "AAPL", "--start", "2025-02-24", "--end", "2025-02-28", "--interval", "5s"]
        assert main([*words, "--port", str(proxy.port)]) == 0
        counted = proxy.server.tally()
    assert "AAPL: 23,400 bars from ibkr (35 requests, 0 from the store)" in capsys.readouterr().out
    assert (counted.small_bar_requests, counted.violations) == (35, 0)
    assert len(paced_gateway.gateway.history_requests) == 35  # none refused and sent again


def test_the_function_works_inside_a_running_event_loop(paced_gateway, monkeypatch):
    import corvane

    monkeypatch.setenv("CORVANE_IB_PORT", str(paced_gateway.port))

    async def cell():
        return corvane.download(["AAPL", "MSFT"], start="2025-02-24", end="2025-02-28", interval="1h")

    frame = asyncio.run(cell())
    assert frame.shape == (35, 14) and str(frame.index.tz) == "America/New_York"
    assert frame.attrs["sources"] == {"AAPL": "ibkr", "MSFT": "ibkr"}
    assert list(frame.columns.get_level_values(1)[:2]) == ["AAPL", "MSFT"]


@pytest.mark.parametrize("args, error, words", [
    ({"tickers": b"AAPL"}, TypeError, "tickers must be a str or a list of str"),
    ({"tickers": ["AAPL", 5]}, TypeError, "tickers must be a str or a list of str"),
    ({"tickers": [f"S{i}" for i in range(1001)]}, ValueError, "tickers: 1,001 symbols"),
    ({"adjusted": "no"}, TypeError, "adjusted must be True or False"),
    ({"partial": 1}, TypeError, "partial must be True or False"),
    ({"last": 10**9, "start": None}, ValueError, "last: 1,000,000,000 bars of 1d reach back"),
    ({"last": 2.5, "start": None}, TypeError, "last must be a whole number"),
    ({"start": 20250101}, TypeError, "start must be a day"),
    ({"start": "2025-13-01"}, ValueError, "start must be a day as 'YYYY-MM-DD'"),
    ({"start": "0001-01-01"}, ValueError, "start must be a day from 1900-01-01"),
    # yfinance's names, where they mean the same as ours
    ({"period": "7q", "start": None}, ValueError, "period must be a count of d, wk, mo or y"),
    ({"period": "1mo"}, ValueError, "period counts back from today: give it without start"),
    ({"prepost": False, "outside_rth": True}, ValueError, "prepost=False and outside_rth=True disagree"),
    ({"auto_adjust": 1}, TypeError, "auto_adjust must be True or False"),
    ({"group_by": "symbol"}, ValueError, "group_by must be one of 'column', 'ticker'"),
    ({"progress": "yes"}, TypeError, "progress must be True or False"),
])
def test_the_function_refuses_bad_arguments_by_name_before_asking_anyone(console_home, monkeypatch, args, error, words):
    import corvane

    monkeypatch.setenv("CORVANE_IB_PORT", "1")  # nothing listens: a refusal must come before any connection
    call = {"tickers": "AAPL", "start": "2025-02-24", "source": "ibkr", **args}
    with pytest.raises(error, match=words):
        corvane.download(**call)
    assert not (console_home / "home").exists()


def test_a_script_holds_one_connection_and_every_table_takes_the_view_options(
    paced_gateway, console_home, monkeypatch, capsys
):
    import corvane
    from corvane.console import Console
    from corvane.gateway.connection import resolve_settings
    from corvane.kvstore import KeyValueStore

    port = str(paced_gateway.port)
    monkeypatch.setenv("CORVANE_IB_PORT", port)
    gateway = paced_gateway.gateway
    refused: list[int] = []
    claim = gateway.claim_client_id
    monkeypatch.setattr(gateway, "claim_client_id", lambda cid, session: claim(cid, session) or refused.append(cid))

    # The word's result comes back to a script, and the script's download shares its connection.
    result = corvane.run("download AAPL --last 3 --interval 1d")
    assert result["symbols"]["AAPL"]["bars"] == 3 and result["symbols"]["AAPL"]["source"] == "ibkr"
    assert result["symbols"]["AAPL"]["last"] == dt.datetime(2025, 3, 3, tzinfo=NEW_YORK)
    assert corvane.run("cache info bars") is None  # a word's line returns nothing, not the line before's
    frame = corvane.download(["AAPL", "MSFT"], period="5d", group_by="ticker", prepost=False, progress=False)
    assert refused == [] and gateway.connections == 1
    assert list(frame.columns[:2]) == [("AAPL", "open"), ("AAPL", "high")] and frame.columns[7] == ("MSFT", "open")
    assert [d.date() for d in frame.index[[0, -1]]] == [dt.date(2025, 2, 25), dt.date(2025, 3, 3)]
    assert "requests" not in capsys.readouterr().err
    minutes = corvane.download("MSFT", period="2mo", interval="1m")  # progress by default, as yfinance
    assert minutes.index[0].date() == dt.date(2025, 1, 3) and "39/39 requests" in capsys.readouterr().err

    # --rows on either side of the word, and the prompt's rows, hold for its tables.
    for words in (["--rows", "2", "download", "AAPL", "--last", "5"], ["download", "AAPL", "--last", "5", "--rows=2"]):
        assert main([*words, "--port", port]) == 0
        assert "first 1 and last 1 shown" in capsys.readouterr().out
    out = io.StringIO()
    prompt = Console(resolve_settings(), KeyValueStore(console_home / "store.json"), interactive=True, out=out)
    try:
        assert prompt.handle(["rows", "2"]) == 0 and prompt.handle(["download", "MSFT", "--last", "5"]) == 0
    finally:
        prompt.close()
    assert "first 1 and last 1 shown" in out.getvalue()


def test_a_download_that_cannot_finish_names_what_is_missing_and_keeps_what_arrived(
    loopback_gateway_factory, console_home, monkeypatch, capsys
):
    import corvane

    monkeypatch.setenv("CORVANE_PACE_SCALE", "0.01")
    monkeypatch.setenv(clock.NOW_ENV, AFTER.isoformat())
    before = clock.frozen()
    clock.freeze(AFTER)
    try:
        gateway = loopback_gateway_factory(now=AFTER, drop_after_history_requests=3)
        port = str(gateway.port)
        monkeypatch.setenv("CORVANE_IB_PORT", port)
        words = ["download", "AAPL", "--start", "2025-02-10", "--end", "2025-02-21", "--interval", "1m", "--port", port]
        assert main(words) == 1
        err = capsys.readouterr().err
        # Several requests are in flight at once, so how many were answered before the drop varies.
        said = re.search(r"AAPL: the gateway closed the connection after (\d+) requests?; what arrived is kept", err)
        assert said and "still missing " in err and "→ 2025-02-21" in err and "internal error" not in err
        # What arrived is shown and exported on asking, still with the failure's status.
        target = console_home / "partial.csv"
        assert main([*words, "--partial", "--export", str(target)]) == 1
        kept = len(pd.read_csv(target))
        assert kept and kept % 390 == 0 and kept < 10 * 390
        with pytest.raises(RuntimeError, match="still missing 2025-02-"):
            corvane.download("AAPL", start="2025-02-10", end="2025-02-21", interval="1m", source="ibkr")
        frame = corvane.download("AAPL", start="2025-02-10", end="2025-02-21", interval="1m", partial=True)
        assert len(frame) >= kept and "still missing" in frame.attrs["missing"]["AAPL"]
        # A day without a session is no frame of no bars: it raises, as a failure does.
        gateway.gateway.behaviour.drop_after_history_requests = None
        with pytest.raises(RuntimeError, match="AAPL: no bars in the days asked"):
            corvane.download("AAPL", start="2025-02-17", end="2025-02-17", interval="1m")
    finally:
        clock.freeze(before)


def test_a_request_the_broker_is_slow_with_is_cancelled_and_asked_in_pieces(paced_gateway, run_ib, tmp_path):
    from corvane.history.download import Request, from_gateway
    from corvane.history.pacing import Pacer, wrap_client
    from corvane.history.store import BarStore

    behaviour = paced_gateway.gateway.behaviour
    behaviour.history_delay = 2.0

    async def body(ib):
        async def quicker():  # the first request is held back; what follows is answered at once
            while not paced_gateway.gateway.history_requests:
                await asyncio.sleep(0.01)
            behaviour.history_delay = 0.0

        wrap_client(ib, Pacer(0.01))
        request = Request(("MSFT",), "1m", start=dt.date(2025, 2, 26), end=dt.date(2025, 2, 26))
        faster = asyncio.ensure_future(quicker())
        result = await from_gateway(ib, BarStore(tmp_path / "bars"), request, now=AFTER, timeout=0.5)
        await faster
        return result

    result = run_ib(paced_gateway.port, body)
    durations = [r.duration for r in paced_gateway.gateway.history_requests]
    assert durations == ["1 D", "14400 S", "14400 S"]  # the day, then its session in two halves
    assert result.failures == [] and len(result.symbols[0].bars) == 390 and result.requests == 3


def test_sorvel_download_and_the_function_give_bars_in_one_layout(paced_gateway, console_home, capsys,
                                                                  monkeypatch):
    import corvane

    port = str(paced_gateway.port)
    files = {word: console_home / f"{word}.csv" for word in ("sorvel", "download")}
    assert main(["sorvel", "AAPL", "day", "3", "--export", str(files["sorvel"]), "--port", port]) == 0
    assert main(["download", "AAPL", "--last", "3", "--export", str(files["download"]), "--port", port]) == 0
    capsys.readouterr()
    # The same days from either word: the same file, days without a zone, whole volumes.
    assert files["sorvel"].read_text() == files["download"].read_text()
    back = pd.read_csv(files["download"])
    assert list(back.columns) == ["date", "open", "high", "low", "close", "volume", "average", "barCount",
                                  "symbol", "source"]
    assert back["date"].tolist() == ["2025-02-27", "2025-02-28", "2025-03-03"]
    assert back["volume"].dtype == "int64" and set(back["source"]) == {"ibkr"}

    monkeypatch.setenv("CORVANE_IB_PORT", port)
    frame = corvane.download(["AAPL", "MSFT"], last=3, interval="1h")
    assert frame.columns.names == ["field", "symbol"]
    assert list(dict.fromkeys(frame.columns.get_level_values("field"))) == [
        "open", "high", "low", "close", "volume", "average", "barCount"]
    assert str(frame["volume"]["MSFT"].dtype) == "int64" and str(frame.index.tz) == "America/New_York"


def test_the_exchanges_days_and_whole_bars_only(loopback_gateway_factory, console_home, monkeypatch):
    """Mid-session, a week after the first day asked: every request's bars whole, none on a closed day."""
    now = dt.datetime(2026, 1, 16, 11, 47, tzinfo=NEW_YORK)
    before = clock.frozen()
    monkeypatch.setenv(clock.NOW_ENV, now.isoformat())
    clock.freeze(now)
    port = str(loopback_gateway_factory(now=now).port)

    def bars(*words: str) -> pd.DataFrame:
        target = console_home / "bars.csv"
        assert main(["download", *words, "--export", str(target), "--force", "--port", port]) == 0
        frame = pd.read_csv(target)
        days = frame["date"].str.len().max() == 10  # days and longer are exported as the day alone
        stamps = pd.to_datetime(frame["date"], utc=not days)
        frame["date"] = stamps.dt.tz_localize(NEW_YORK) if days else stamps.dt.tz_convert(NEW_YORK)
        return frame

    try:
        # Independence Day's eve closes at 13:00; the day itself is not asked for.
        july = bars("AAPL", "--start", "2023-07-03", "--end", "2023-07-05", "--interval", "1m")
        assert july["date"].dt.date.value_counts().sort_index().to_dict() == {dt.date(2023, 7, 3): 210,
                                                                           dt.date(2023, 7, 5): 390}
        # The last request reaches back to 11:47 a week ago: no bar cut there, none pushed out.
        quarters = bars("SPY", "--start", "2026-01-09", "--end", "2026-01-16", "--interval", "15m")
        assert len(quarters) == 140 and (quarters["date"].dt.minute % 15 == 0).all()
        last = bars("SPY", "--last", "30", "--interval", "15m")
        assert list(last["date"]) == list(quarters["date"][-30:])
        # Weeks stamped at their first trading day, whole whatever the range's ends.
        weeks = bars("SPY", "--start", "2025-09-24", "--end", "2025-09-30", "--interval", "1wk")
        assert list(weeks["date"].dt.date) == [dt.date(2025, 9, 22), dt.date(2025, 9, 29)]
        whole = bars("SPY", "--start", "2025-09-22", "--end", "2025-10-03", "--interval", "1wk")
        assert weeks[["open", "close", "volume"]].equals(whole[["open", "close", "volume"]])
        for end in ("2025-04-04", "2025-05-30"):
            first = bars("AAPL", "--start", "2025-03-05", "--end", end, "--interval", "1wk").iloc[0]
            assert (first["date"].date(), first["open"], first["close"]) == (dt.date(2025, 3, 3), 174.53, 188.88)
    finally:
        clock.freeze(before)


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
