"""The cache accessor, the word classifiers, the date parser and the
request-duration text."""

from __future__ import annotations

import datetime
import types

import pytest

import corvane.cmds.quotes.sorvel as sorvel


def clock_at(monkeypatch, moment):
    """Replace the module's `datetime` with one whose clock reads `moment`."""

    class FixedDatetime(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls.combine(moment.date(), moment.time(), tz)

    stand_in = types.SimpleNamespace(datetime=FixedDatetime, date=datetime.date,
                                     timedelta=datetime.timedelta)
    monkeypatch.setattr(sorvel, "datetime", stand_in)


class TestGetCache:
    def test_built_on_first_call_then_shared(self, monkeypatch):
        built = []

        class Cache:
            def __init__(self, *args, **kwargs):
                built.append((args, kwargs))

        monkeypatch.setattr(sorvel, "SorvelCache", Cache)
        monkeypatch.setattr(sorvel, "_sorvel_cache", None)
        first = sorvel._get_cache()
        assert built == [((), {})] and sorvel._sorvel_cache is first
        assert sorvel._get_cache() is first and len(built) == 1

    def test_a_real_cache_by_default(self, monkeypatch):
        monkeypatch.setattr(sorvel, "_sorvel_cache", None)
        assert isinstance(sorvel._get_cache(), sorvel.SorvelCache)


class TestIsDate:
    @pytest.mark.parametrize("word", ["2025-01-01", "today", "yesterday", "2025-13-45", "2025-01-01\n",
                                      "٢٠٢٥-٠١-٠١"])
    def test_dates(self, word):
        assert sorvel._is_date(word) is True

    @pytest.mark.parametrize("word", ["Today", "YESTERDAY", "2025-1-1", "2025/01/01", "20250101", "",
                                      " 2025-01-01", "2025-01-01 ", "2025-01-01\n\n", "2025-01-01T00:00"])
    def test_not_dates(self, word):
        assert sorvel._is_date(word) is False


class TestIsPeriod:
    @pytest.mark.parametrize("word", ["1m", "day", "year", "1mo", "m", "minute", "y", "1d"])
    def test_periods(self, word):
        assert sorvel._is_period(word) is True

    @pytest.mark.parametrize("word", ["1M", "Day", "DAY", "5M", "2h", "", "day ", "1 day"])
    def test_not_periods(self, word):
        assert sorvel._is_period(word) is False


class TestParseDate:
    def test_iso_date(self):
        assert sorvel._parse_date("2025-03-04") == datetime.date(2025, 3, 4)
        assert type(sorvel._parse_date("2025-03-04")) is datetime.date

    def test_today_and_yesterday_follow_the_local_clock(self, monkeypatch):
        clock_at(monkeypatch, datetime.datetime(2025, 3, 1, 0, 5))
        assert sorvel._parse_date("today") == datetime.date(2025, 3, 1)
        assert sorvel._parse_date("yesterday") == datetime.date(2025, 2, 28)
        clock_at(monkeypatch, datetime.datetime(2024, 3, 1, 23, 59))
        assert sorvel._parse_date("yesterday") == datetime.date(2024, 2, 29)
        clock_at(monkeypatch, datetime.datetime(2025, 1, 1, 12))
        assert sorvel._parse_date("yesterday") == datetime.date(2024, 12, 31)
        assert type(sorvel._parse_date("today")) is datetime.date

    def test_follows_the_console_clock(self):
        from corvane import clock
        saved = clock.frozen()
        try:
            clock.freeze("2024-02-29T12:00:00+00:00")
            assert sorvel._parse_date("today") == clock.today()
            assert sorvel._parse_date("yesterday") == clock.today() - datetime.timedelta(days=1)
            clock.freeze(None)
            assert sorvel.datetime is datetime  # a running clock leaves the module as it is
        finally:
            clock.freeze(saved)

    @pytest.mark.parametrize("word", ["2025-13-45", "2025-02-30", "Today", "2025-01-01\n", "nonsense"])
    def test_impossible_or_unreadable_dates_raise_value_error(self, word):
        with pytest.raises(ValueError):
            sorvel._parse_date(word)


class TestCalcDuration:
    @pytest.mark.parametrize("days,text", [
        (1, "1 D"), (350, "350 D"), (365, "365 D"), (366, "2 Y"), (730, "2 Y"), (731, "3 Y"),
        (3 * 365 + 1, "4 Y"), (3600, "10 Y"), (0, "0 D"), (-5, "-5 D"),
    ])
    def test_days_then_whole_years(self, days, text):
        assert sorvel._calc_duration(days) == text
        assert sorvel._calc_duration(back_days=days) == text

    def test_docstring(self):
        assert sorvel._calc_duration.__doc__ == (
            "Calculate IBKR durationStr from number of days.\n"
            "\n"
            "    IBKR only accepts 'D' requests for \u2264365 days,\n"
            "    else it requires full years of retrieval.\n"
            "    "
        )


def test_docstrings_of_the_other_helpers():
    assert sorvel._get_cache.__doc__ is None
    assert sorvel._is_date.__doc__ == "Check if string looks like a date (YYYY-MM-DD or known keyword)."
    assert sorvel._is_period.__doc__ == "Check if string matches a known period or alias."
    assert sorvel._parse_date.__doc__ == "Parse date string to datetime.date. Supports 'today' and 'yesterday'."
