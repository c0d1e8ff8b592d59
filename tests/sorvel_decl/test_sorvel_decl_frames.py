"""Gateway frames lose their time zone; yfinance frames take the gateway's bar columns."""

from __future__ import annotations

import datetime

import pandas as pd
import pytest

import corvane.cmds.quotes.sorvel as sorvel

BAR_COLUMNS = ["date", "open", "high", "low", "close", "volume", "average", "barCount"]


def yfinance_daily():
    index = pd.DatetimeIndex(["2025-01-02", "2025-01-03"], name="Date").tz_localize("America/New_York")
    return pd.DataFrame({"Open": [1.0, 2.0], "High": [2.0, 3.5], "Low": [0.5, 1.0], "Close": [1.5, 3.25],
                         "Volume": [100, 200], "Dividends": [0.0, 0.0], "Stock Splits": [0.0, 0.0]},
                        index=index)


def yfinance_intraday(**extra):
    index = pd.DatetimeIndex(["2025-01-02 09:30", "2025-01-02 09:31"], name="Datetime")
    columns = {"Open": [1.0, 2.0], "High": [1.0, 2.0], "Low": [1.0, 2.0], "Close": [1.5, 2.5],
               "Volume": [10, 20], **extra}
    return pd.DataFrame(columns, index=index.tz_localize("America/New_York"))


class TestNormalize:
    def test_daily_frame_takes_the_bar_columns(self):
        hist = yfinance_daily()
        out = sorvel._normalize_yfinance_df(hist)
        assert list(out.columns) == BAR_COLUMNS
        assert list(out.index) == [0, 1]
        assert out["date"].dt.tz is None
        assert list(out["date"]) == [pd.Timestamp("2025-01-02"), pd.Timestamp("2025-01-03")]
        assert list(out["average"]) == list(out["close"]) == [1.5, 3.25]
        assert list(out["barCount"]) == [1, 1]
        assert str(out["volume"].dtype) == "Int64" and str(out["barCount"].dtype) == "Int64"
        assert str(out["close"].dtype) == "Float64"

    def test_intraday_index_label_does_not_matter_and_wall_clock_is_kept(self):
        out = sorvel._normalize_yfinance_df(yfinance_intraday())
        assert list(out.columns) == BAR_COLUMNS
        assert list(out["date"]) == [pd.Timestamp("2025-01-02 09:30"), pd.Timestamp("2025-01-02 09:31")]

    def test_unnamed_index_becomes_date_too(self):
        hist = yfinance_intraday()
        hist.index.name = None
        assert list(sorvel._normalize_yfinance_df(hist).columns) == BAR_COLUMNS

    def test_only_present_corporate_action_columns_are_dropped(self):
        hist = yfinance_daily().drop(columns=["Stock Splits"])
        assert list(sorvel._normalize_yfinance_df(hist).columns) == BAR_COLUMNS
        hist = yfinance_daily().drop(columns=["Dividends"])
        assert list(sorvel._normalize_yfinance_df(hist).columns) == BAR_COLUMNS

    def test_unknown_columns_stay_in_place_before_average(self):
        out = sorvel._normalize_yfinance_df(yfinance_intraday(**{"Adj Close": [1.4, 2.4]}))
        assert list(out.columns) == ["date", "open", "high", "low", "close", "volume", "Adj Close",
                                     "average", "barCount"]
        assert list(out["Adj Close"]) == [1.4, 2.4]

    def test_input_is_left_untouched(self):
        hist = yfinance_daily()
        before = hist.copy()
        out = sorvel._normalize_yfinance_df(hist=hist)
        assert out is not hist
        pd.testing.assert_frame_equal(hist, before)

    def test_dates_that_are_not_datetime_like_are_kept(self):
        hist = pd.DataFrame({"Close": [1, 2]}, index=pd.Index(["a", "b"], name="when"))
        out = sorvel._normalize_yfinance_df(hist)
        assert list(out["date"]) == ["a", "b"]
        assert list(out.columns) == ["date", "close", "average", "barCount"]

    def test_frame_without_close_raises(self):
        with pytest.raises(KeyError):
            sorvel._normalize_yfinance_df(yfinance_daily().drop(columns=["Close"]))

    def test_timezone_errors_other_than_attribute_and_type_errors_propagate(self):
        class Refusing(pd.DataFrame):
            @property
            def _constructor(self):
                return Refusing

            def __setitem__(self, key, value):
                if key == "date":
                    raise OverflowError("out of range")
                super().__setitem__(key, value)

        hist = Refusing(yfinance_daily())
        with pytest.raises(OverflowError):
            sorvel._normalize_yfinance_df(hist)


class TestStripTz:
    def test_aware_timestamps_become_naive_in_the_same_frame(self):
        df = pd.DataFrame({"date": pd.to_datetime(["2025-01-02 09:30"]).tz_localize("America/New_York"),
                           "close": [1.0]})
        assert sorvel._strip_tz(df) is df
        assert df["date"].dt.tz is None
        assert df["date"][0] == pd.Timestamp("2025-01-02 09:30")

    @pytest.mark.parametrize("frame", [
        pd.DataFrame({"date": [datetime.date(2025, 1, 2)], "close": [1.0]}),
        pd.DataFrame({"close": [1.0]}),
        pd.DataFrame(),
    ])
    def test_anything_else_is_returned_unchanged(self, frame):
        before = frame.copy()
        assert sorvel._strip_tz(frame) is frame
        pd.testing.assert_frame_equal(frame, before)

    def test_not_even_a_frame_raises(self):
        assert sorvel._strip_tz(None) is None

    def test_interrupts_are_not_swallowed(self):
        class Interrupting:
            def __getitem__(self, key):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            sorvel._strip_tz(Interrupting())
