"""The corvane command line against the loopback gateway: the cache on disk, and what it says about words."""

from __future__ import annotations

import datetime as dt
import logging
import os
import socket
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest
import requests
from curl_cffi.requests import exceptions as curl_errors

import corvane
import corvane.cmds.quotes.sorvel as sorvel
from corvane.cli import main
from frozen_now import NOW

CONSOLE = Path(corvane.__file__).resolve().parents[1]


def corvane_cli(home: Path, *args: str, now: dt.datetime | None = None) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_") or k == "CORVANE_NOW"}
    env.update(PYTHONPATH=str(CONSOLE), CORVANE_HOME=str(home))
    if now is not None:
        env["CORVANE_NOW"] = now.isoformat()
    return subprocess.run([sys.executable, "-m", "corvane", *args], capture_output=True, text=True,
                          timeout=60, env=env)


def test_a_repeated_one_shot_query_is_answered_from_disk_with_the_gateway_gone(
        loopback_gateway_factory, home):
    gateway = loopback_gateway_factory()
    port = str(gateway.port)
    # Run as the command line does, then asked whether the exchange calendars were loaded:
    # only planned downloads need them, and they take a second to load.
    probe = ("import sys; from corvane.cli import main; status = main(sys.argv[1:]); "
             "print('calendars loaded:', 'exchange_calendars' in sys.modules); sys.exit(status)")
    env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_") or k == "CORVANE_NOW"}
    env.update(PYTHONPATH=str(CONSOLE), CORVANE_HOME=str(home))
    first = subprocess.run([sys.executable, "-c", probe, "--port", port, "sorvel", "AAPL", "day", "100"],
                           capture_output=True, text=True, timeout=60, env=env)
    assert first.returncode == 0, first.stderr
    # "day 100" asks for 140 calendar days back: 94 sessions, six holidays among them.
    assert first.stdout.splitlines()[-2:] == ["AAPL 94 bars from ibkr", "calendars loaded: False"]
    gateway.stop()

    again = corvane_cli(home, "--port", port, "sorvel", "AAPL", "day", "100")
    assert again.returncode == 0, again.stderr
    assert "No gateway" in again.stderr and "yfinance sorvel" not in again.stderr  # no download
    summary = again.stdout.splitlines()[-1]
    assert summary.startswith("AAPL 94 bars") and summary.endswith("(cached)")

    info = corvane_cli(home, "cache", "info")
    assert info.returncode == 0 and "1 entry (1 fresh), 94 bars" in info.stdout
    assert corvane_cli(home, "cache", "clear").returncode == 0
    assert "0 entries" in corvane_cli(home, "cache", "info").stdout


def test_a_cached_table_says_where_its_bars_came_from_and_when(loopback_gateway_factory, home):
    gateway = loopback_gateway_factory()
    port = str(gateway.port)
    assert corvane_cli(home, "--port", port, "sorvel", "AAPL", "day", "3").returncode == 0
    gateway.stop()
    fetched = NOW.astimezone().strftime("%H:%M")  # the local zone, as the console shows it

    # Answered on the Yahoo path now, but the bars came from the gateway.
    later = corvane_cli(home, "--port", port, "sorvel", "AAPL", "day", "3",
                        now=NOW + dt.timedelta(minutes=3))
    assert later.returncode == 0, later.stderr
    assert later.stdout.splitlines()[0] == f"AAPL day (3 bars) (cached: from ibkr, fetched {fetched}, 3 min ago)"
    next_day = corvane_cli(home, "--port", port, "sorvel", "AAPL", "day", "2",
                           now=NOW + dt.timedelta(days=1))
    day = NOW.astimezone().strftime("%Y-%m-%d")
    assert next_day.stdout.splitlines()[0] == f"AAPL day (2 bars) (cached: from ibkr, fetched {day} {fetched}, 24 h ago)"

    # A store an earlier version wrote knows no origins: its entries are read, and nothing is said.
    with sqlite3.connect(home / "candles.sqlite") as db:
        db.execute("DROP TABLE origins")
        db.execute("DROP TABLE state")
    old = corvane_cli(home, "--port", port, "sorvel", "AAPL", "day", "3")
    assert old.returncode == 0, old.stderr
    assert old.stdout.splitlines()[0] == "AAPL day (3 bars) (cached)"


class TestWords:
    @pytest.fixture
    def run(self, loopback_gateway_factory, home, capsys, monkeypatch):
        port = str(loopback_gateway_factory(refuse_symbols=["MSFT"]).port)

        def run(*words: str):
            monkeypatch.setattr(sorvel, "_sorvel_cache", None)
            status = main(["--port", port, "sorvel", *words])
            out, err = capsys.readouterr()
            return status, out, err

        return run

    @pytest.mark.parametrize("words, line", [
        (["AAPL", "day", "-5"], "corvane: sorvel: the count must be 1 or more, not -5"),
        (["AAPL", "0"], "corvane: sorvel: the count must be 1 or more, not 0"),
        (["AAPL", "2026-02-30"], "corvane: sorvel: '2026-02-30' is not a date on the calendar"),
        (["AAPL", "2025-01-02", "2025-13-01", "day"], "corvane: sorvel: '2025-13-01' is not a date"),
        (["AAPL", "2025-06-01", "2025-01-01"], "corvane: sorvel: the start date must be before the end"),
        (["AAPL", "today"], "corvane: sorvel: the start date must be before the end date"),
        ([], "corvane: sorvel: a symbol is needed; usage: sorvel SYMBOL [period] [count] [adj]"),
        (["  "], "corvane: sorvel: a symbol is needed"),
    ])
    def test_words_that_cannot_give_an_answer_exit_2_in_one_line(self, run, words, line):
        status, out, err = run(*words)
        assert status == 2
        assert err.startswith(line) and len(err.splitlines()) == 1 and out == ""

    @pytest.mark.parametrize("words, note", [
        (["AAPL", "MONTH", "2"], "'MONTH' was read as the adjustment word; period words are lower case (month)"),
        (["AAPL", "day", "2", "adjusted"], "'adjusted' was read as the adjustment word and is not one"),
        (["AAPL", "1m", "2000"], "asked 2000, the gateway's 2 D span gave 780"),
        # A range answer that misses the first day asked names the download that gives exactly them.
        (["AAPL", "2025-02-03", "2025-02-07", "day"],
         "these bars run from 2025-02-04 to 2025-02-07, not the days asked (2025-02-03 to 2025-02-07); "
         "corvane download AAPL --start 2025-02-03 --end 2025-02-07 --interval 1d gives exactly those"),
    ])
    def test_a_result_says_how_surprising_words_were_read(self, run, words, note):
        status, out, err = run(*words)
        assert status == 0
        assert f"note: {note}" in err
        assert run("AAPL", "day", "2", "adj")[2].count("note:") == 0

    def test_a_failure_names_the_reason_the_gateway_gave(self, run, yahoo):
        yahoo.Ticker = None  # the fallback's download fails too (the fetch wrapper logs it)
        status, _, err = run("MSFT", "day", "3")
        assert status == 1
        assert "error: MSFT: No data returned (the gateway said: error 162: " in err
        # A range the gateway cannot give in one request still tells the download that can.
        status, _, err = run("MSFT", "2025-02-03", "2025-02-05", "1m")
        assert status == 1
        assert ("note: no bars for 2025-02-03 to 2025-02-05 this way; corvane download MSFT --start 2025-02-03 "
                "--end 2025-02-05 --interval 1m asks for exactly those days") in err

    def test_a_future_names_its_contract_month(self, run):
        status, out, _ = run("/ES", "day", "3")
        assert status == 0
        assert out.splitlines()[-1].startswith("/ES 3 bars from ibkr (ES")
        assert ", contract month 20" in out.splitlines()[-1]
        # Crude's front month stops trading in the month before delivery: April's in March.
        status, out, _ = run("/CL", "day", "3")
        assert status == 0
        assert out.splitlines()[-1] == "/CL 3 bars from ibkr (CLJ5, contract month 2025-04)"


_CURL = "Failed to perform, curl: ({}) {}. See https://curl.se/libcurl/c/libcurl-errors.html first for more details."


@pytest.mark.parametrize("failure, reason", [
    (curl_errors.DNSError(_CURL.format(6, "Could not resolve host: query2.finance.yahoo.com"), 6),
     "unreachable (DNS)"),
    (requests.ConnectionError(
        "HTTPSConnectionPool(host='query2.finance.yahoo.com', port=443): Max retries exceeded with url: "
        "/v8/finance/chart/MSFT (Caused by NameResolutionError(\"<urllib3.connection.HTTPSConnection "
        "object at 0x7f3c>: Failed to resolve 'query2.finance.yahoo.com' ([Errno -3] Temporary failure "
        "in name resolution)\"))"), "unreachable (DNS)"),
    (curl_errors.ConnectionError(_CURL.format(7, "Failed to connect to query2.finance.yahoo.com port 443 "
                                                 "after 0 ms: Couldn't connect to server"), 7),
     "unreachable (connection refused)"),
    (curl_errors.Timeout(_CURL.format(28, "Connection timed out after 10002 milliseconds"), 28),
     "unreachable (timeout)"),
    (curl_errors.HTTPError("HTTP Error 404: "), "HTTP 404"),
])
def test_when_neither_source_answers_the_last_line_says_why_for_both(
        home, yahoo, capsys, monkeypatch, failure, reason):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]

    def history(ticker, **kwargs):
        # What yfinance says on its logger before the error reaches the download wrapper.
        logging.getLogger("yfinance").error("Failed to get ticker '%s' reason: %s", ticker.symbol, failure)
        raise failure

    monkeypatch.setattr(yahoo.Ticker, "history", history)

    def run(*options: str) -> tuple[int, str]:
        monkeypatch.setattr(sorvel, "_sorvel_cache", None)
        status = main([*options, "--port", str(port), "sorvel", "MSFT", "day", "5"])
        return status, capsys.readouterr().err

    status, err = run()
    assert status == 1
    assert err.splitlines()[-1] == (f"error: MSFT: No data returned (no gateway: nothing listening on "
                                    f"{port}; Yahoo Finance: {reason})")
    assert "Failed to get ticker" not in err and "fetch failed" not in err  # the library's words: -v
    assert "yfinance fallback" in err
    status, err = run("-v")
    assert status == 1 and "Failed to get ticker" in err and "yfinance fetch failed" in err
