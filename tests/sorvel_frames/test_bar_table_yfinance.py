"""yfinance frames, once normalised, turned into records: exactly what
pandas' to_dict(orient="records") gives, for the usual columns and for
extra columns of other dtypes."""

from __future__ import annotations

import decimal
import gc
import enum
import warnings
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest

from sorvel_frames_support import assert_same_records, assert_same_table, plain_normalized

NEW_YORK = ZoneInfo("America/New_York")


def yf_frame(n, *, freq="min", start="2025-03-03 09:30", index_name="Datetime", whole=False):
    rnd = np.random.default_rng(n)
    index = pd.date_range(start, periods=n, freq=freq, tz=NEW_YORK, name=index_name)
    close = 100 + rnd.normal(0, 1, n).cumsum()
    if whole:
        close = close.round()
    return pd.DataFrame({
        "Open": close - 0.25 * (not whole), "High": close + 1, "Low": close - 1, "Close": close,
        "Volume": rnd.integers(0, 1_000_000, n), "Dividends": 0.0, "Stock Splits": 0.0,
    }, index=index)


def matches_pandas(sorvel, yfinance_intraday, hist):
    expected = sorvel._normalize_yfinance_df(hist)
    records, table = yfinance_intraday(hist)
    assert_same_table(table, expected)
    assert_same_records(records, expected.to_dict(orient="records"))
    return records


class Side(enum.IntEnum):
    BUY = 1


class Price(float):
    pass


class TestYFinanceFrames:
    def test_minute_bars(self, sorvel, yfinance_intraday):
        records = matches_pandas(sorvel, yfinance_intraday, yf_frame(400))
        assert list(records[0]) == ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
        assert records[0]["date"] == pd.Timestamp("2025-03-03 09:30") and records[0]["barCount"] == 1

    def test_daily_bars_with_whole_prices(self, sorvel, yfinance_intraday):
        hist = yf_frame(30, freq="D", start="2025-01-02", index_name="Date", whole=True)
        records = matches_pandas(sorvel, yfinance_intraday, hist)
        assert type(records[0]["close"]) is int and type(records[0]["average"]) is int

    def test_missing_prices_and_volumes(self, sorvel, yfinance_intraday):
        hist = yf_frame(6)
        hist.loc[hist.index[1], "Close"] = np.nan
        hist["Volume"] = hist["Volume"].astype(float)
        hist.loc[hist.index[2], "Volume"] = np.nan
        records = matches_pandas(sorvel, yfinance_intraday, hist)
        assert records[1]["close"] is None and records[1]["average"] is None and records[2]["volume"] is None

    def test_extra_columns_of_other_dtypes(self, sorvel, yfinance_intraday):
        hist = yf_frame(7)
        n = len(hist)
        hist["Adj Close"] = hist["Close"] * 0.99
        hist["Exchange"] = ["NYSE", None, "ARCA", "NYSE", "BATS", "IEX", "NYSE"]
        hist["Halted"] = [True, False, None, True, False, False, True]
        hist["Venue"] = pd.Categorical(["a", "b", "a", None, "b", "a", "a"])
        hist["Settled"] = pd.date_range("2025-03-05", periods=n, freq="h", tz="UTC")
        hist["Settled"] = hist["Settled"].where(hist["Volume"] % 3 != 0)  # NaT in places
        hist["Delay"] = pd.to_timedelta(range(n), unit="s")
        hist["Float32"] = np.arange(n, dtype=np.float32) / 3
        hist["Big"] = np.array([2**64 - 1 - i for i in range(n)], dtype=np.uint64)
        hist[5] = range(n)
        hist["Mixed"] = pd.Series([np.float64(2.5), np.int64(3), np.bool_(True), np.datetime64("2025-01-02"),
                                   Side.BUY, Price(1.25), decimal.Decimal("1.5")], index=hist.index, dtype=object)
        hist["Gaps"] = pd.Series(["x", pd.NA, None, np.nan, 4, 4.5, np.timedelta64(3, "s")], index=hist.index,
                                 dtype=object)
        records = matches_pandas(sorvel, yfinance_intraday, hist)
        assert records[0]["Mixed"] == 2.5 and type(records[0]["Mixed"]) is float
        assert type(records[4]["Mixed"]) is int and records[1]["Gaps"] is None

    @pytest.mark.parametrize("nanos", [
        [0, 1, -1, 999, -1_001, 1_741_012_200_123_456_789, 951_782_399_999_999_999, 951_868_800_000_000_001],
        [-(2**63) + 1, 2**63 - 1, -5_000_000_000_000_000_123],
        [1_741_012_200_000_000_000, -(2**63), 5],  # NaT among them
    ], ids=["around-epoch-and-leap-day", "range-ends", "with-nat"])
    def test_record_times_are_pandas_own_time_stamps(self, sorvel, yfinance_intraday, monkeypatch, nanos):
        times = np.array(nanos, dtype="M8[ns]")
        table = sorvel._normalize_yfinance_df(yf_frame(len(nanos))).assign(date=times, Later=times)
        theirs = table.to_dict(orient="records")
        monkeypatch.setattr(sorvel, "_normalize_yfinance_df", lambda hist: table)
        records, _ = yfinance_intraday(yf_frame(len(nanos)))
        assert_same_records(records, theirs)
        for mine, row in zip(records, theirs):
            for label in ("date", "Later"):
                a, b = mine[label], row[label]
                if b is not pd.NaT:
                    assert (a.value, a.nanosecond, a.year, a.month, a.day, a.hour, a.minute, a.second,
                            a.microsecond, a.unit, a.tz, a.fold, hash(a), repr(a), a.isoformat()) == \
                           (b.value, b.nanosecond, b.year, b.month, b.day, b.hour, b.minute, b.second,
                            b.microsecond, b.unit, b.tz, b.fold, hash(b), repr(b), b.isoformat())
                    assert a - b == pd.Timedelta(0) and a.to_datetime64() == b.to_datetime64()

    def test_duplicate_column_labels_as_in_pandas(self, sorvel, yfinance_intraday):
        hist = yf_frame(3)
        hist.insert(5, "Extra", [1.5, 2.5, 3.5])
        hist.insert(6, "Extra", ["a", "b", "c"], allow_duplicates=True)
        expected = sorvel._normalize_yfinance_df(hist)
        with pytest.warns(UserWarning, match="columns are not unique"):
            theirs = expected.to_dict(orient="records")
        with pytest.warns(UserWarning, match="columns are not unique"):
            records, _ = yfinance_intraday(hist)
        assert_same_records(records, theirs)


    def test_labels_other_than_text_and_integers_as_in_pandas(self, sorvel, yfinance_intraday, monkeypatch):
        # pandas fails on a NaN label over a boxed column and copes with the rest.
        odd = pd.DataFrame({"date": [1, 2], "x": pd.array([1, None], dtype="Int64")})
        monkeypatch.setattr(sorvel, "_normalize_yfinance_df", lambda hist: odd)
        for labels in ([2.5, np.nan], [None, ("t", 1)], [1.5, pd.Timestamp("2025-01-02")]):
            odd.columns = labels
            try:
                theirs = odd.to_dict(orient="records")
            except KeyError:
                with pytest.raises(KeyError):
                    yfinance_intraday(yf_frame(2))
            else:
                assert_same_records(yfinance_intraday(yf_frame(2))[0], theirs)


def set_column(label, values):
    def change(hist):
        hist[label] = values[:len(hist)] if isinstance(values, list) else values
    return change


def with_attrs(hist):
    hist.attrs["source"] = "yahoo"


class TestNormalisedTypes:
    """The unified frame carries exactly the column types pandas' own normalisation gives."""

    @pytest.mark.parametrize("change", [
        lambda hist: None,
        set_column("Close", [1.0, 2.0, np.nan, 4.0]),
        set_column("High", [1.5, np.inf, 2.5, 3.0]),
        set_column("Low", [2.0**63, 1.0, 2.0, 3.0]),
        set_column("Adj Close", np.nan),
        set_column("Volume", np.arange(4, dtype=np.int32)),
        set_column("Exchange", ["NYSE", None, "ARCA", "IEX"]),
        set_column("Halted", [True, False, True, False]),
        with_attrs,
    ], ids=["usual", "whole-with-gap", "inf", "2**63", "all-nan", "int32", "text", "bool", "attrs"])
    def test_columns_as_pandas_converts_them(self, sorvel, change):
        hist = yf_frame(4)
        change(hist)
        ours, theirs = sorvel._normalize_yfinance_df(hist), plain_normalized(hist)
        assert_same_table(ours, theirs)
        assert ours.attrs == theirs.attrs

    def test_a_replaced_convert_dtypes_is_the_one_called(self, sorvel, monkeypatch):
        calls = []
        original = pd.DataFrame.convert_dtypes

        def convert(df, *args, **kwargs):
            calls.append(df)
            return original(df, *args, **kwargs)

        monkeypatch.setattr(pd.DataFrame, "convert_dtypes", convert)
        sorvel._normalize_yfinance_df(yf_frame(3))
        assert len(calls) == 1


class Unboxable(float):
    def __float__(self):
        raise ValueError("no float for this one")


def test_the_collector_is_left_as_found(sorvel, yfinance_intraday, monkeypatch):
    """Records are built with the cyclic collector paused; whatever happens, its state is put back."""
    good = sorvel._normalize_yfinance_df(yf_frame(3))
    bad = good.assign(Odd=pd.Series([1.5, Unboxable(2.5), 3.5], dtype=object))
    with pytest.raises(ValueError, match="no float"):
        bad.to_dict(orient="records")
    for enabled in (True, False):
        (gc.enable if enabled else gc.disable)()
        try:
            for frame in (good, bad):
                monkeypatch.setattr(sorvel, "_normalize_yfinance_df", lambda hist, frame=frame: frame)
                try:
                    yfinance_intraday(yf_frame(3))
                except ValueError as error:
                    assert frame is bad and "no float" in str(error)
                assert gc.isenabled() is enabled
        finally:
            gc.enable()


class TestReplacedNormaliser:
    """_normalize_yfinance_df is read from the module at call time; its frame is turned as pandas would."""

    def test_frame_subclass_keeps_its_own_to_dict(self, sorvel, yfinance_intraday, monkeypatch):
        class Table(pd.DataFrame):
            def to_dict(self, *args, **kwargs):
                return ["own"]

        monkeypatch.setattr(sorvel, "_normalize_yfinance_df", lambda hist: Table({"date": [1, 2]}))
        assert yfinance_intraday(yf_frame(2))[0] == ["own"]

    def test_rows_without_columns_give_no_records(self, sorvel, yfinance_intraday, monkeypatch):
        monkeypatch.setattr(sorvel, "_normalize_yfinance_df", lambda hist: pd.DataFrame(index=range(3)))
        assert yfinance_intraday(yf_frame(3))[0] == []

    def test_frames_without_rows(self, sorvel, yfinance_intraday, monkeypatch):
        empty = sorvel._normalize_yfinance_df(yf_frame(3)).iloc[:0]
        monkeypatch.setattr(sorvel, "_normalize_yfinance_df", lambda hist: empty)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert yfinance_intraday(yf_frame(3))[0] == []
