"""Gateway bars through the table and the records: whatever route the module
takes, the printed table and the returned records are exactly pandas' own."""

from __future__ import annotations

import dataclasses
import datetime as dt
import decimal
import random
import warnings
from collections import namedtuple
from types import SimpleNamespace
from typing import ClassVar
from zoneinfo import ZoneInfo

import pandas as pd
import pytest
import pytz
from ib_async import BarData, BarDataList

from sorvel_frames_support import assert_same_records, assert_same_table, plain_table

NEW_YORK = ZoneInfo("America/New_York")


class FarZone(dt.tzinfo):
    """A zone whose offset lies outside any real one; shared, not copied, as ZoneInfo zones are."""

    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, when):
        return self.offset

    def dst(self, when):
        return None

    def __deepcopy__(self, memo):
        return self


def minute_bars(n, first=dt.datetime(2025, 3, 3, 9, 30, tzinfo=NEW_YORK), step=dt.timedelta(minutes=1)):
    rnd = random.Random(n)
    bars = BarDataList()
    price = 100.0
    for i in range(n):
        price += rnd.uniform(-0.5, 0.5)
        bars.append(BarData(date=first + i * step, open=round(price, 2), high=round(price + rnd.random(), 2),
                            low=round(price - rnd.random(), 2), close=round(price + rnd.uniform(-0.3, 0.3), 2),
                            volume=float(rnd.randint(100, 90_000)), average=round(price, 4),
                            barCount=rnd.randint(1, 400)))
    return bars


def daily_bars(n):
    return [BarData(date=dt.date(2025, 1, 2) + dt.timedelta(days=i), open=10.5 + i, high=11.0 + i, low=10.0 + i,
                    close=10.75 + i, volume=1000.0 + i, average=10.6 + i, barCount=20 + i) for i in range(n)]


def matches_pandas(gateway_intraday, bars):
    """Our table and records are pandas' own; where pandas fails, we fail alike."""
    try:
        expected = plain_table(bars)
    except Exception as error:
        with pytest.raises(type(error)) as ours:
            gateway_intraday(bars)
        assert str(ours.value) == str(error)
        return None
    records, table = gateway_intraday(bars)
    assert_same_table(table, expected)
    assert_same_records(records, expected.to_dict(orient="records"))
    return records


def warnings_of(f, *args):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        f(*args)
    return [(w.category, str(w.message)) for w in caught]


class TestGatewayBars:
    def test_intraday_bars_keep_wall_clock_without_zone(self, gateway_intraday):
        records = matches_pandas(gateway_intraday, minute_bars(500))
        first = records[0]
        assert list(first) == ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
        assert first["date"] == pd.Timestamp("2025-03-03 09:30") and first["date"].tz is None
        assert type(first["open"]) is float and type(first["volume"]) is int and type(first["barCount"]) is int

    def test_daily_bars_keep_calendar_dates(self, gateway_intraday):
        records = matches_pandas(gateway_intraday, daily_bars(30))
        assert type(records[0]["date"]) is dt.date

    def test_whole_and_mixed_numbers(self, gateway_intraday):
        bars = minute_bars(6)
        for i, bar in enumerate(bars):
            bar.open = float(100 + i)  # whole floats: a nullable integer column
            bar.high = 100 + i if i % 2 else 100.5 + i  # ints and floats in one field
            bar.volume = 2**64 - 1 if i == 3 else 5  # beyond int64
        records = matches_pandas(gateway_intraday, bars)
        assert type(records[0]["open"]) is int
        bars[3].volume = 2**70  # beyond 64 bits: pandas' conversion fails
        assert matches_pandas(gateway_intraday, bars) is None

    @pytest.mark.parametrize("missing", [None, float("nan")])
    def test_missing_values_in_float_and_int_fields(self, gateway_intraday, missing):
        bars = minute_bars(5)
        bars[1].close = missing
        bars[2].barCount = None
        bars[3].average = float("nan")
        records = matches_pandas(gateway_intraday, bars)
        assert records[1]["close"] is None and records[2]["barCount"] is None

    @pytest.mark.parametrize("zone", [
        dt.timezone.utc,
        dt.timezone(dt.timedelta(hours=5, minutes=30)),
        ZoneInfo("Asia/Kolkata"),
        ZoneInfo.no_cache("America/New_York"),
    ], ids=["utc", "fixed-offset", "zoneinfo", "zoneinfo-uncached"])
    def test_time_zones(self, gateway_intraday, zone):
        matches_pandas(gateway_intraday, minute_bars(50, first=dt.datetime(2025, 3, 3, 9, 30, tzinfo=zone)))

    def test_pytz_zones_across_a_change_of_offset(self, gateway_intraday):
        eastern = pytz.timezone("US/Eastern")
        bars = minute_bars(4, step=dt.timedelta(hours=1))
        for i, bar in enumerate(bars):
            bar.date = eastern.localize(dt.datetime(2024, 11, 3, 0, 30) + dt.timedelta(hours=i))
        matches_pandas(gateway_intraday, bars)

    def test_daylight_saving_changes(self, gateway_intraday):
        # The repeated hour of the autumn change (fold 0 and 1) and a time
        # inside the spring gap.
        bars = minute_bars(5)
        bars[0].date = dt.datetime(2024, 11, 3, 1, 30, tzinfo=NEW_YORK)
        bars[1].date = dt.datetime(2024, 11, 3, 1, 30, fold=1, tzinfo=NEW_YORK)
        bars[2].date = dt.datetime(2025, 3, 9, 2, 30, tzinfo=NEW_YORK)
        bars[3].date = dt.datetime(1969, 12, 31, 23, 59, 59, 999_999, tzinfo=NEW_YORK)
        bars[4].date = dt.datetime(2261, 12, 31, 23, 59, tzinfo=NEW_YORK)
        matches_pandas(gateway_intraday, bars)

    def test_times_pandas_cannot_hold_in_nanoseconds(self, gateway_intraday):
        bars = minute_bars(2)
        bars[1].date = dt.datetime(2300, 1, 1, tzinfo=NEW_YORK)
        matches_pandas(gateway_intraday, bars)

    @pytest.mark.parametrize("offset, first", [
        (dt.timedelta(days=-90000), dt.datetime(2025, 3, 3, 9, 30)),  # beyond 64-bit nanoseconds
        (dt.timedelta(days=-300), dt.datetime(2261, 12, 1)),  # beyond what pandas holds
    ], ids=["overflow", "out-of-range"])
    def test_zones_that_answer_far_offsets(self, gateway_intraday, offset, first):
        matches_pandas(gateway_intraday, minute_bars(3, first=first.replace(tzinfo=FarZone(offset))))

    @pytest.mark.parametrize("closes", [
        [1.5, float("inf"), float("nan")],
        [1.0, -float("inf"), 2.0],
        [2.0**63, 1.0, 2.0],  # whole, beyond int64
        [-(2.0**63), 1.0, 2.0],  # whole, the lowest int64
        [float("nan")] * 3,
        [-0.0, 4.0, float("nan")],
    ], ids=["inf", "-inf", "2**63", "-2**63", "all-nan", "whole-with-gap"])
    def test_float_columns_at_the_edges_of_the_nullable_types(self, gateway_intraday, closes):
        bars = minute_bars(3)
        for bar, close in zip(bars, closes):
            bar.close = close
        matches_pandas(gateway_intraday, bars)
        assert warnings_of(gateway_intraday, bars) == warnings_of(plain_table, bars)

    def test_mixed_zones_and_naive_times(self, gateway_intraday):
        bars = minute_bars(3)
        bars[1].date = bars[1].date.astimezone(dt.timezone.utc)
        matches_pandas(gateway_intraday, bars)
        bars[1].date = bars[1].date.replace(tzinfo=None)
        matches_pandas(gateway_intraday, bars)
        for bar in bars:
            bar.date = bar.date.replace(tzinfo=None)
        matches_pandas(gateway_intraday, bars)


@dataclasses.dataclass
class Quote:
    label: ClassVar[str] = "not a column"
    symbol: str
    when: dt.datetime
    price: float
    live: bool
    note: object = None


@dataclasses.dataclass(frozen=True, slots=True)
class SlimBar:
    date: dt.date
    close: float


class TestOtherBarShapes:
    def test_another_dataclass_gives_its_fields_in_order(self, gateway_intraday):
        bars = [Quote("AAPL", dt.datetime(2025, 1, 2, 10, i), 1.5 * i, i % 2 == 0) for i in range(4)]
        records = matches_pandas(gateway_intraday, bars)
        assert list(records[0]) == ["symbol", "when", "price", "live", "note"]
        matches_pandas(gateway_intraday, [SlimBar(dt.date(2025, 1, 2), 3.5), SlimBar(dt.date(2025, 1, 3), 4.0)])

    @pytest.mark.parametrize("note", [
        [1, 2], {"a": 1}, decimal.Decimal("1.5"), SlimBar(dt.date(2025, 1, 2), 1.0), pd.Timestamp("2025-01-02"),
    ], ids=["list", "dict", "decimal", "dataclass", "timestamp"])
    def test_values_that_pandas_sees_deep_copied(self, gateway_intraday, note):
        bars = [Quote("AAPL", dt.datetime(2025, 1, 2, 10, i), 1.5, True, note) for i in range(3)]
        matches_pandas(gateway_intraday, bars)

    def test_bars_that_are_not_dataclasses(self, gateway_intraday):
        fields = ["date", "open", "close"]
        rows = [(dt.date(2025, 1, 2 + i), 1.0 + i, 2.0 + i) for i in range(3)]
        matches_pandas(gateway_intraday, [dict(zip(fields, row)) for row in rows])
        Bar = namedtuple("Bar", fields)
        matches_pandas(gateway_intraday, [Bar(*row) for row in rows])

    def test_mixed_bar_types(self, gateway_intraday):
        @dataclasses.dataclass
        class OtherBar(BarData):
            pass

        bars = minute_bars(2)
        matches_pandas(gateway_intraday, [bars[0], OtherBar(**dataclasses.asdict(bars[1]))])

    def test_a_dict_after_a_dataclass_fails_as_in_pandas(self, gateway_intraday):
        bars = [minute_bars(1)[0], {"date": dt.date(2025, 1, 2)}]
        with pytest.raises(TypeError) as theirs:
            pd.DataFrame(bars)
        with pytest.raises(TypeError) as ours:
            gateway_intraday(bars)
        assert str(ours.value) == str(theirs.value)


class TestModuleGlobals:
    def test_replaced_strip_tz_gets_pandas_frame_and_its_result_is_used(self, sorvel, gateway_intraday, monkeypatch):
        bars = minute_bars(20)
        seen = []

        def strip(df):
            seen.append(df.copy())
            return df.iloc[:2]

        monkeypatch.setattr(sorvel, "_strip_tz", strip)
        records, table = gateway_intraday(bars)
        assert_same_table(seen[0], pd.DataFrame(bars).convert_dtypes())
        assert str(seen[0]["date"].dtype) == "datetime64[ns, America/New_York]"
        assert len(records) == 2 and len(table) == 2

    def test_replaced_pandas_gets_the_bars_themselves(self, sorvel, gateway_intraday, monkeypatch):
        given = []

        def frame(data):
            given.append(data)
            return pd.DataFrame(data)

        monkeypatch.setattr(sorvel, "pd", SimpleNamespace(DataFrame=frame))
        bars = minute_bars(3)
        matches_pandas(gateway_intraday, bars)
        assert given == [bars]


def random_value(rnd, kind):
    if kind == "float":
        return rnd.choice([rnd.uniform(-1e6, 1e6), float(rnd.randint(-5, 5)), float("nan"), -0.0, 1e300])
    if kind == "int":
        return rnd.choice([rnd.randint(-10, 10), 2**63 - 1, -(2**63), 2**64, 0])
    if kind == "time":
        zone = rnd.choice([NEW_YORK, dt.timezone.utc, None, dt.timezone(dt.timedelta(hours=-3))])
        return dt.datetime(2025, 3, rnd.randint(1, 31), rnd.randint(0, 23), rnd.randint(0, 59), tzinfo=zone)
    return rnd.choice([None, True, False, "x", dt.date(2025, 1, 2), float("nan"), 7, 2.5])


@pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning")
def test_random_bar_lists_match_pandas(gateway_intraday):
    """Columns of one kind, of a few kinds, with gaps: every list gives pandas' table and records."""
    rnd = random.Random(20250303)
    kinds = ["float", "int", "time", "other"]
    for _ in range(150):
        column_kinds = [rnd.choice(kinds) for _ in BarData.__dataclass_fields__]
        bars = []
        for _ in range(rnd.randint(1, 6)):
            values = [random_value(rnd, rnd.choice(kinds) if rnd.random() < 0.15 else kind) for kind in column_kinds]
            bars.append(BarData(*values))
        matches_pandas(gateway_intraday, bars)
