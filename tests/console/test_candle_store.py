"""The candle cache on disk: shared between consoles, bounded, and never fatal when damaged."""

from __future__ import annotations

import datetime as dt
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pytest

import corvane
from corvane.candles.store import CandleStore
from corvane.candles.cache import SorvelCache

K = SorvelCache
CONSOLE = Path(corvane.__file__).resolve().parents[1]


class Wall:
    def __init__(self):
        self.now = 1_700_000_000.0

    def __call__(self):
        return self.now


def bars(n, start=0):
    return [{"date": pd.Timestamp("2025-03-05 09:30") + pd.Timedelta(minutes=i), "open": float(i),
             "volume": i, "barCount": i % 7} for i in range(start, start + n)]


def cache(path, wall=None, **kw):
    kw.setdefault("today", lambda: dt.date(2025, 3, 5))
    kw.setdefault("store", path)
    return SorvelCache(wall_clock=wall or Wall(), **kw)


class TestAcrossProcesses:
    def test_a_fresh_console_is_answered_from_what_another_stored(self, tmp_path):
        path = tmp_path / "candles.sqlite"
        wall = Wall()
        first = cache(path, wall)
        daily = [{"date": dt.date(2025, 1, 2 + i), "close": 1.5 + i, "volume": pd.NA,
                  "Dividends": float("nan")} for i in range(3)]
        first.set(K.count_key("AAPL", "1m", "none", 300), bars(300))
        first.set(K.range_key("AAPL", "day", "none", "2025-01-02", "2025-01-05"), daily)
        first.set(K.intraday_key("AAPL"), bars(5))

        second = cache(path, wall)
        assert second.get(K.count_key("AAPL", "1m", "none", 300)) == bars(300)
        got = second.get(K.range_key("AAPL", "day", "none", "2025-01-02", "2025-01-05"))
        assert [type(v) for v in got[0].values()] == [dt.date, float, type(pd.NA), float]
        assert got[1]["date"] == dt.date(2025, 1, 3) and got[1]["close"] == 2.5
        assert second.try_larger_count("AAPL", "1m", "none", 100) == bars(100, 200)
        assert second.try_larger_count("AAPL", "1m", "adj", 100) is None
        huge = K.count_key("AAPL", "day", "none", 10**30)  # beyond what SQLite holds
        second.set(huge, bars(2))
        assert second.get(huge) == bars(2) and cache(path, wall).get(huge) is None
        assert second.try_larger_count("AAPL", "day", "none", 10**30) is None

        # Freshness is wall-clock time, so it holds across processes too.
        wall.now += 61
        third = cache(path, wall)
        assert third.get(K.intraday_key("AAPL")) is None
        assert third.get(K.count_key("AAPL", "1m", "none", 300)) is None
        wall.now += 30 * 86_400
        assert repr(third.get(K.range_key("AAPL", "day", "none", "2025-01-02", "2025-01-05"))) == repr(got)

    def test_disk_is_bounded_and_the_least_recently_used_go_first(self, tmp_path):
        path = tmp_path / "candles.sqlite"
        wall = Wall()
        keys = [K.range_key(s, "day", "none", "2025-01-02", "2025-02-01") for s in "ABCD"]
        writer = cache(path, wall, store=CandleStore(path, max_bytes=30_000, clock=wall))
        for i, key in enumerate(keys[:3]):
            wall.now += 1
            writer.set(key, bars(300, i))  # about 9.8 kB each
        wall.now += 1
        assert cache(path, wall).get(keys[0]) is not None  # another console reads the oldest
        wall.now += 1
        writer.set(keys[3], bars(300))
        reader = cache(path, wall)
        assert [reader.get(k) is not None for k in keys] == [True, False, True, True]
        assert CandleStore(path).info().bytes <= 30_000


class Monotonic(Wall):
    def __init__(self):
        self.now = 50.0


def test_a_clear_in_one_console_is_a_clear_in_every_console_and_each_counts_what_it_dropped(tmp_path):
    path = tmp_path / "candles.sqlite"
    wall, mono = Wall(), Monotonic()
    first, second = cache(path, wall, clock=mono), cache(path, wall, clock=mono)
    key, only_here = K.count_key("AAPL", "day", "none", 3), K.count_key("MSFT", "day", "none", 10**30)
    first.set(key, bars(3))
    assert second.get(key) == bars(3)  # now in the second console's memory too
    second.set(only_here, bars(2))  # a count SQLite cannot hold: memory only

    assert first.clear() == 1
    mono.now += 1
    assert second.get(key) is None and second.try_larger_count("AAPL", "day", "none", 2) is None
    assert second.get(only_here) is None  # the whole memory layer follows the clear
    assert second.clear() == 0

    first.set(key, bars(3))
    second.set(only_here, bars(2))
    assert second.clear() == 2  # one on disk, one held in memory only
    mono.now += 1
    assert first.get(key) is None and cache(path, wall).get(key) is None


class TestDamage:
    def test_a_damaged_file_is_moved_aside_and_a_fresh_one_started(self, tmp_path):
        path = tmp_path / "candles.sqlite"
        path.write_bytes(b"this is no database " * 500)
        c = cache(path)
        key = K.count_key("AAPL", "day", "none", 3)
        assert c.get(key) is None
        c.set(key, bars(3))
        assert cache(path).get(key) == bars(3)
        aside = list(tmp_path.glob("candles.sqlite.damaged-*"))
        assert len(aside) == 1 and aside[0].read_bytes().startswith(b"this is no database")

    def test_an_unreadable_entry_is_a_miss_not_a_crash(self, tmp_path):
        path = tmp_path / "candles.sqlite"
        key = K.count_key("AAPL", "day", "none", 3)
        cache(path).set(key, bars(3))
        with sqlite3.connect(path) as db:
            db.execute("UPDATE candles SET data = x'01ffffff'")
        assert cache(path).get(key) is None


WRITER = """
import sys
from corvane.candles.cache import SorvelCache
import pandas as pd
c = SorvelCache(store=sys.argv[1])
name = sys.argv[2]
rows = [{"date": pd.Timestamp("2025-01-02") + pd.Timedelta(minutes=i), "close": float(i)}
        for i in range(20_000)]
print("ready", flush=True)
for i in range(10_000):
    c.set(SorvelCache.range_key(name, "1m", "none", "2024-01-01", f"2024-{i % 12 + 1:02d}-01"), rows)
"""


def test_two_consoles_writing_at_once_and_one_killed_mid_write_leave_a_readable_store(tmp_path):
    path = tmp_path / "candles.sqlite"
    env = {"PYTHONPATH": str(CONSOLE), "PATH": "/usr/bin:/bin"}
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, str(path), name],
                                stdout=subprocess.PIPE, text=True, env=env) for name in ("A", "B")]
    for w in writers:
        assert w.stdout.readline().strip() == "ready"
    time.sleep(1.5)
    writers[0].send_signal(signal.SIGKILL)
    time.sleep(0.5)
    writers[1].terminate()
    for w in writers:
        w.wait(timeout=30)
    with sqlite3.connect(path) as db:
        assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
    store = CandleStore(path)
    assert store.info().entries > 0
    reader = cache(path, time.time)
    for name in "AB":
        for month in range(1, 13):
            got = reader.get(K.range_key(name, "1m", "none", "2024-01-01", f"2024-{month:02d}-01"))
            assert got is None or (len(got) == 20_000 and got[-1]["close"] == 19_999.0)


def test_cache_info_and_clear_cover_the_bar_store_and_clear_only_what_it_made(tmp_path):
    import numpy as np

    from corvane.history.store import BarStore, Series
    from corvane.words.cache import bar_store_text

    root = tmp_path / "bars"
    store = BarStore(root)
    day = pd.date_range("2025-01-30 14:30", periods=3, freq="D", tz="UTC", name="date")
    frame = pd.DataFrame({"open": 1.0, "high": 2.0, "low": 0.5, "close": 1.5, "volume": np.arange(3),
                          "average": 1.2, "barCount": np.ones(3, "int64")}, index=day)
    for contract in ("AAPL.STK.SMART.USD", "MSFT.STK.SMART.USD"):
        store.put(Series(contract, "1 day", "TRADES", True), (day[0], day[-1] + pd.Timedelta(days=1)), frame)
    aapl = next(root.rglob("contract=AAPL*")) / "bar_size=1day" / "what=TRADES" / "rth=1"
    outside = tmp_path / "mine.parquet"
    outside.write_bytes(b"the user's own")
    (aapl / "year=2025" / "month=01" / "notes.txt").write_text("the user's own")
    (aapl / "year=2024").mkdir()
    (aapl / "year=2024" / "month=12").symlink_to(tmp_path, target_is_directory=True)
    (root / "source=ibkr" / "elsewhere").symlink_to(outside)

    info = bar_store_text(root, "info")
    assert f"bar store {root}: 2 series, 4 months of bars" in info  # January and February, each
    assert "3 files the store did not make, left alone" in info
    assert "0 series" not in info and "0.0 MB" in info
    cleared = bar_store_text(root, "clear")
    assert cleared.startswith("bar store cleared (2 series, 4 months of bars, ")
    assert not list(root.rglob("*.parquet")) and not list(root.rglob("_coverage.json"))
    assert outside.read_bytes() == b"the user's own" and (aapl / "year=2025" / "month=01" / "notes.txt").exists()
    assert (aapl / ".lock").exists() and not (aapl / "year=2025" / "month=02").exists()
    assert bar_store_text(root, "info").startswith(f"bar store {root}: 0 series, 0 months of bars, 0.0 MB")
    # A store that is no directory of its own is never walked into.
    linked = tmp_path / "linked"
    linked.symlink_to(root.parent / "bars", target_is_directory=True)
    store.put(Series("IBM.STK.SMART.USD", "1 day", "TRADES", True), (day[0], day[-1]), frame.iloc[:2])
    assert "0 series" in bar_store_text(linked, "clear") and list(root.rglob("*.parquet"))
