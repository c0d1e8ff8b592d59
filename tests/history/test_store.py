"""The bar store: what it gives back, what it calls missing, and two writers or a killed one."""

from __future__ import annotations

import datetime as dt
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from corvane.history.store import BarStore, Series

NY = ZoneInfo("America/New_York")
UTC = dt.UTC
CONSOLE = Path(__file__).resolve().parents[2] / "console"
SERIES = Series("ES.FUT.CME/202503", "1 min", "TRADES", use_rth=False)
LONG_AGO = dt.datetime(2026, 1, 1, tzinfo=UTC)


def session(day: dt.date, zone=NY) -> tuple[dt.datetime, dt.datetime]:
    start = dt.datetime.combine(day, dt.time(9, 30), zone)
    return start, start + dt.timedelta(hours=6, minutes=30)


def bars(start: dt.datetime, end: dt.datetime, price: float = 1.0) -> pd.DataFrame:
    index = pd.date_range(start, end, freq="min", inclusive="left", name="date")
    n = len(index)
    return pd.DataFrame({"open": price, "high": price + 1, "low": price - 1, "close": np.linspace(0, 1, n),
                         "volume": np.arange(n, dtype="int64"), "average": price, "barCount": np.ones(n, "int64")},
                        index=index)


def test_bars_come_back_in_utc_as_put_and_a_put_replaces_only_its_span(tmp_path):
    store = BarStore(tmp_path)
    # Across a month end, in the exchange's zone.
    friday, monday = session(dt.date(2025, 1, 31)), session(dt.date(2025, 2, 3))
    put = pd.concat([bars(*friday), bars(*monday)])
    store.put(SERIES, friday, bars(*friday))
    store.put(SERIES, monday, bars(*monday))
    got = store.read(SERIES, friday[0], monday[1])
    pd.testing.assert_frame_equal(got, put.tz_convert("UTC"))
    assert str(got.index.dtype) == "datetime64[ns, UTC]"

    # Re-fetching a span replaces the bars inside it, keeps its neighbours in the same month file.
    half = (friday[0], friday[0] + dt.timedelta(hours=1))
    store.put(SERIES, half, bars(half[0], half[0] + dt.timedelta(minutes=30), price=7.0))
    again = store.read(SERIES, friday[0], monday[1])
    assert len(again) == len(put) - 30
    assert (again.loc[:half[1] - dt.timedelta(minutes=1), "open"] == 7.0).all()
    assert again.index.is_monotonic_increasing and again.index.is_unique
    assert store.coverage(SERIES) == [(friday[0].astimezone(UTC), friday[1].astimezone(UTC)),
                                      (monday[0].astimezone(UTC), monday[1].astimezone(UTC))]

    # Other series are kept apart; the tree reads as it is, hive columns decoded.
    assert store.read(Series(SERIES.contract, "1 min", "TRADES", True), *friday).empty
    tree = pd.read_parquet(tmp_path)
    assert len(tree) == len(again) and set(tree["contract"]) == {SERIES.contract}

    # Bad input is refused and leaves what was stored.
    with pytest.raises(ValueError, match="outside the span"):
        store.put(SERIES, half, bars(*friday))
    with pytest.raises(ValueError, match="zone-aware"):
        store.put(SERIES, (half[0].replace(tzinfo=None), half[1]), bars(*half))
    pd.testing.assert_frame_equal(store.read(SERIES, friday[0], monday[1]), again)


def test_missing_spans_provisional_and_recent_empty_ones_expire(tmp_path):
    store = BarStore(tmp_path, recent=dt.timedelta(days=3))
    whole, empty_new, open_now = (session(dt.date(2025, 3, d)) for d in (3, 7, 10))
    empty_old = (whole[1], whole[1] + dt.timedelta(hours=4))  # after the close: no bars
    store.put(SERIES, whole, bars(*whole), fetched_at=LONG_AGO)
    store.put(SERIES, empty_old, bars(*empty_old).iloc[:0], fetched_at=LONG_AGO)
    store.put(SERIES, empty_new, pd.DataFrame(), fetched_at=LONG_AGO)
    store.put(SERIES, open_now, bars(open_now[0], open_now[0] + dt.timedelta(hours=1)), provisional=True)
    now = dt.datetime(2025, 3, 10, 11, 0, tzinfo=NY)
    straddling = (whole[0], empty_old[1])  # covered piecewise
    part_gap = (whole[0], empty_old[1] + dt.timedelta(minutes=1))
    asked = [whole, empty_old, empty_new, open_now, straddling, part_gap]
    assert store.missing(SERIES, [], now=now) == []
    assert BarStore(tmp_path / "none").missing(SERIES, asked, now=now) == asked
    assert store.missing(SERIES, asked, now=now) == [empty_new, open_now, part_gap]
    # A week later the empty Friday is no longer recent; the provisional span is still missing.
    assert store.missing(SERIES, asked, now=now + dt.timedelta(days=7)) == [open_now, part_gap]
    # Fetched again after the close, it is covered.
    store.put(SERIES, open_now, bars(*open_now))
    assert store.missing(SERIES, [open_now], now=now) == []
    assert len(store.read(SERIES, *open_now)) == 390


def _child(root: Path, code: str, *args: str) -> list[str]:
    script = (f"import datetime as dt, sys\nsys.path.insert(0, {str(Path(__file__).parent)!r})\n"
              f"from test_store import *\nstore = BarStore(Path({str(root)!r}))\n{textwrap.dedent(code)}")
    return [sys.executable, "-c", script, *args]


def _env() -> dict[str, str]:
    return {**os.environ, "PYTHONPATH": str(CONSOLE)}


class TestWritersAtOnce:
    def test_two_processes_writing_days_of_the_same_months_lose_nothing(self, tmp_path):
        # Both start when the go file appears (no clock: each process may see another time).
        go = tmp_path / "go"
        code = """
            import pathlib, time
            while not pathlib.Path(sys.argv[1]).exists():
                time.sleep(0.005)
            for day in pd.bdate_range("2025-01-01", "2025-02-28")[int(sys.argv[2])::2]:
                span = session(day.date())
                store.put(SERIES, span, bars(*span), fetched_at=LONG_AGO)
        """
        root = tmp_path / "bars"
        children = [subprocess.Popen(_child(root, code, str(go), part), env=_env()) for part in ("0", "1")]
        time.sleep(1.0)  # both started and waiting
        go.touch()
        assert [c.wait(timeout=120) for c in children] == [0, 0]
        store = BarStore(root)
        days = [session(d.date()) for d in pd.bdate_range("2025-01-01", "2025-02-28")]
        assert len(store.read(SERIES, days[0][0], days[-1][1])) == 390 * len(days)
        assert store.missing(SERIES, days, now=LONG_AGO) == []

    # Killed at the first rename (the index's pending hashes) or the last (the index after the month file).
    @pytest.mark.parametrize("renames", [1, 3])
    def test_a_put_killed_among_its_renames_leaves_the_previous_bars_and_no_damage(self, tmp_path, renames):
        store = BarStore(tmp_path)
        monday, tuesday = session(dt.date(2025, 3, 3)), session(dt.date(2025, 3, 4))
        store.put(SERIES, monday, bars(*monday))
        before = store.read(SERIES, *monday)
        killed = subprocess.run(_child(tmp_path, f"""
            import os, signal
            done, rename = [], os.replace
            def counted(*a):
                done.append(a)
                if len(done) == {renames}:
                    os.kill(os.getpid(), signal.SIGKILL)
                rename(*a)
            os.replace = counted
            span = session(dt.date(2025, 3, 4))
            store.put(SERIES, span, bars(*span))
        """), env=_env(), timeout=60)
        assert killed.returncode == -signal.SIGKILL
        assert list(tmp_path.rglob(".tmp-*"))  # what the killed put left
        warnings: list[str] = []
        store = BarStore(tmp_path, warn=warnings.append)
        pd.testing.assert_frame_equal(store.read(SERIES, *monday), before)
        assert store.missing(SERIES, [monday, tuesday], now=LONG_AGO) == [tuesday]

        store.put(SERIES, tuesday, bars(*tuesday))
        assert len(store.read(SERIES, monday[0], tuesday[1])) == 2 * 390
        assert not list(tmp_path.rglob(".tmp-*")) and warnings == []


def _three_months(root: Path) -> tuple[list[tuple[dt.datetime, dt.datetime]], pd.DataFrame]:
    days = [session(d.date()) for d in pd.bdate_range("2025-01-27", "2025-03-07")]
    store = BarStore(root)
    with store.writer() as writer:
        for day in days:
            writer.put(SERIES, day, bars(*day, price=float(day[0].day)), fetched_at=LONG_AGO)
    return days, store.read(SERIES, days[0][0], days[-1][1])


def _rewrite(path: Path, change) -> None:
    frame = pd.read_parquet(path)
    change(frame).to_parquet(path, index=False)


DAMAGE = {
    "deleted": lambda month: month.unlink(),
    "file in place of its directory": lambda month: (month.unlink(), month.parent.rmdir(), month.parent.write_text("x")),
    "half its rows gone": lambda month: _rewrite(month, lambda f: f.iloc[: len(f) // 2]),
    "100 rows repeated": lambda month: _rewrite(month, lambda f: pd.concat([f, f.iloc[:100]]).sort_values("date")),
    "a column renamed": lambda month: _rewrite(month, lambda f: f.rename(columns={"close": "Close"})),
    "prices doubled": lambda month: _rewrite(month, lambda f: f.assign(close=f["close"] * 2)),
    "unreadable": lambda month: month.write_bytes(b"PAR1 not really"),
    "index unreadable": lambda month: (month.parents[2] / "_coverage.json").write_text('{"spans": [{"start": 1'),
}


@pytest.mark.parametrize("damage", DAMAGE)
def test_a_damaged_store_is_set_aside_with_one_warning_and_fetched_again(tmp_path, damage):
    days, whole = _three_months(tmp_path)
    series_dir = next(tmp_path.rglob("_coverage.json")).parent
    month = series_dir / "year=2025" / "month=02" / "bars.parquet"
    DAMAGE[damage](month)
    warnings: list[str] = []
    store = BarStore(tmp_path, warn=warnings.append)

    # What the damage touched is missing again: February, or all of it without the index.
    gone = store.missing(SERIES, days, now=LONG_AGO)
    february = [d for d in days if d[0].month == 2]
    assert gone == (days if damage == "index unreadable" else february)
    assert len(warnings) == 1
    named = "_coverage.json" if damage == "index unreadable" else "month=02"
    assert named in warnings[0] and str(series_dir) in warnings[0]
    # Set aside beside it, never deleted, under a name dataset readers skip.
    aside = [p.name for p in series_dir.rglob("*damaged-*")]
    assert len(aside) == (damage != "deleted") and all(n.startswith("_") for n in aside)

    # Fetched again, the store gives what it gave before, and says nothing more.
    for day in gone:
        store.put(SERIES, day, bars(*day, price=float(day[0].day)), fetched_at=LONG_AGO)
    pd.testing.assert_frame_equal(store.read(SERIES, days[0][0], days[-1][1]), whole)
    assert len(pd.read_parquet(tmp_path)) == len(whole)
    assert store.missing(SERIES, days, now=LONG_AGO) == [] and len(warnings) == 1
    assert BarStore(tmp_path, warn=warnings.append).verify().damaged == [] and len(warnings) == 1


def test_stores_without_checksums_are_served_checked_and_recorded_on_the_next_write(tmp_path):
    import json

    days, whole = _three_months(tmp_path)
    index_path = next(tmp_path.rglob("_coverage.json"))
    index = json.loads(index_path.read_text())
    old = {"version": 1, "spans": index["spans"]}  # as the store wrote it before it kept checksums
    index_path.write_text(json.dumps(old))
    # Such a file is not checked by hash: a price change passes, a broken layout does not.
    march = index_path.parent / "year=2025" / "month=03" / "bars.parquet"
    _rewrite(march, lambda f: f.rename(columns={"barCount": "count"}))
    warnings: list[str] = []
    store = BarStore(tmp_path, warn=warnings.append)
    assert store.missing(SERIES, days, now=LONG_AGO) == [d for d in days if d[0].month == 3]
    assert len(warnings) == 1 and "month=03" in warnings[0]
    pd.testing.assert_frame_equal(store.read(SERIES, days[0][0], days[-1][1]), whole[whole.index.month < 3])

    store.note_head(SERIES, dt.datetime(1980, 12, 12, 14, 30, tzinfo=UTC))
    recorded = json.loads(index_path.read_text())
    assert set(recorded["months"]) == {"2025-01", "2025-02"} and recorded["head"].startswith("1980-12-12T14:30")
    assert BarStore(tmp_path).head(SERIES) == dt.datetime(1980, 12, 12, 14, 30, tzinfo=UTC)


def test_a_writer_writes_a_month_at_a_time_and_a_lost_one_keeps_what_it_wrote(tmp_path):
    store = BarStore(tmp_path)
    days = [session(d.date()) for d in pd.bdate_range("2025-01-27", "2025-02-04")]
    writer = store.writer(every=3600)
    for day in days:
        writer.put(SERIES, day, bars(*day))
        # Nothing of a month is on disk while it is gathered.
        assert store.missing(SERIES, [day], now=LONG_AGO) == [day]
    with pytest.raises(ValueError, match="outside the span"):
        writer.put(SERIES, days[-1], bars(days[0][0], days[-1][1]))
    # Reaching February wrote January; the process dies holding February: it is fetched again.
    del writer
    january = [d for d in days if d[0].month == 1]
    assert store.missing(SERIES, days, now=LONG_AGO) == days[len(january):]
    assert len(store.read(SERIES, days[0][0], days[-1][1])) == 390 * len(january)
    # A put overlapping a gathered one replaces its bars, as two puts would.
    with store.writer() as writer:
        writer.put(SERIES, days[-1], bars(*days[-1], price=3.0))
        writer.put(SERIES, days[-1], bars(days[-1][0], days[-1][0] + dt.timedelta(hours=1), price=5.0))
    assert list(store.read(SERIES, *days[-1])["open"].unique()) == [5.0]
