"""The request planner against the gateway's step table and the exchange calendar."""

from __future__ import annotations

import datetime as dt
import itertools
from zoneinfo import ZoneInfo

import pytest
from corvane.history.plan import (
    HistoryQuery,
    PlanError,
    bars_per_session,
    legal_durations,
    minimum_requests,
    more,
    plan,
    split,
    trading_days,
)
from corvane.history.trading_calendar import calendar
from frozen_now import NOW
from ib_async import util

NY = ZoneInfo("America/New_York")
YEAR_LATER = dt.datetime(2026, 1, 10, 12, 0, tzinfo=NY)


@pytest.mark.parametrize("interval, step, requests", [
    ("1m", "1 D", range(250, 251)), ("5m", "1 W", range(52, 54)), ("1h", "1 M", range(12, 14)),
    ("1d", "1 Y", range(1, 2)),
])
def test_a_year_is_cut_into_the_fewest_legal_requests_one_per_session_at_most(interval, step, requests):
    query = HistoryQuery(interval, start=dt.date(2025, 1, 2), end=dt.date(2025, 12, 31))
    chunks = plan(query, YEAR_LATER)
    assert len(chunks) in requests and len(chunks) == minimum_requests(query, YEAR_LATER)
    assert {c.duration for c in chunks} <= set(legal_durations(query.bar_size)) and chunks[-2:][0].duration == step
    covered = [d for c in chunks for d in trading_days(c.first_day, c.last_day)]
    assert covered == trading_days(dt.date(2025, 1, 2), dt.date(2025, 12, 31))  # each session once, in order
    assert not {c.last_day for c in chunks} & calendar().closed and all(c.last_day.weekday() < 5 for c in chunks)
    assert all(c.end_datetime == util.formatIBDatetime(c.end) and c.what_to_show == "TRADES" for c in chunks)
    assert all(c.start <= dt.datetime.combine(c.first_day, dt.time(9, 30), NY) for c in chunks)
    # Beyond a year, daily bars are whole years in one request.
    three = HistoryQuery("1d", start=dt.date(2022, 3, 7), end=dt.date(2025, 3, 5))
    assert [(c.duration, c.end) for c in plan(three, NOW)] == [("3 Y", NOW)]


def test_adjusted_head_and_last_bars():
    adjusted = plan(HistoryQuery("1d", start=dt.date(2024, 1, 2), end=dt.date(2024, 6, 28), adjusted=True), NOW)
    assert [(c.end_datetime, c.duration, c.what_to_show) for c in adjusted] == [("", "2 Y", "ADJUSTED_LAST")]
    with pytest.raises(PlanError, match="adjusted 1 min bars"):
        plan(HistoryQuery("1m", start=dt.date(2025, 2, 3), adjusted=True), NOW)
    # Nothing before the first data point, nothing after now, nothing on a closed day.
    head = dt.datetime(2025, 2, 26, 14, 30, tzinfo=dt.UTC)
    clipped = plan(HistoryQuery("1m", start=dt.date(2025, 1, 1), end=dt.date(2025, 3, 20), head=head), NOW)
    assert [c.last_day.day for c in clipped] == [26, 27, 28, 3, 4, 5] and clipped[-1].end == NOW
    assert plan(HistoryQuery("1h", start=dt.date(2025, 3, 1), end=dt.date(2025, 3, 2)), NOW) == []
    # The last 200 five-minute bars: enough sessions, then more on demand until the head.
    last = HistoryQuery("5m", last=200, head=dt.datetime(2025, 2, 3, tzinfo=NY))
    chunks = plan(last, NOW)
    sessions = len(trading_days(chunks[0].first_day, chunks[-1].last_day))
    assert (sessions - 1) * bars_per_session(last) >= 200 and chunks[-1].end == NOW
    earlier = more(last, chunks, 150)
    assert earlier and earlier[-1].last_day < chunks[0].first_day and more(last, chunks, 200) == []
    assert more(last, plan(HistoryQuery("5m", start=dt.date(2025, 2, 3)), NOW), 10) == []
    for bad in ({"start": dt.date(2025, 3, 5), "end": dt.date(2025, 3, 4)}, {"last": 0}, {},
                {"last": 5, "start": dt.date(2025, 3, 3)}):
        with pytest.raises(PlanError):
            HistoryQuery("1h", **bad)
    with pytest.raises(PlanError, match="unknown interval"):
        HistoryQuery("3m", last=5)


def test_a_future_is_planned_on_its_exchanges_clock():
    # The gateway tells a CME future's zone and hours in its contract details; the days asked
    # are Chicago's, and an overnight session opens the evening before at 17:00 there.
    from corvane.history.download import Request
    from corvane.history.plan import FUTURES_SESSION, Session, exchange_hours
    from ib_async import ContractDetails

    chicago = ContractDetails(
        timeZoneId="US/Central",
        # The first day listed closes early (a holiday's eve): not the usual day.
        tradingHours="20250303:1700-20250304:1200;20250304:1700-20250305:1600;20250305:1700-20250306:1600;"
                     "20250308:CLOSED",
        liquidHours="20250305:0830-20250305:1200;20250305:1300-20250305:1500;20250306:0830-20250306:1500",
    )
    assert exchange_hours(chicago) == ("America/Chicago", Session(510, 900, -420, 960))
    assert exchange_hours(None) == exchange_hours(ContractDetails()) == ("America/New_York", FUTURES_SESSION)
    query = Request(("/ES",), interval="1m", start=dt.date(2025, 3, 4), end=dt.date(2025, 3, 4),
                    outside_rth=True).query(future=True, details=chicago)
    central = ZoneInfo("America/Chicago")
    # The gateway counts sessions back from a request's end: the day's session ends at its close,
    # and the day's evening is the next session's, so that one is asked for too.
    assert [(c.duration, c.start, c.end) for c in plan(query, NOW)] == [
        ("1 D", dt.datetime(2025, 3, 3, 17, 0, tzinfo=central), dt.datetime(2025, 3, 4, 16, 0, tzinfo=central)),
        ("1 D", dt.datetime(2025, 3, 4, 17, 0, tzinfo=central), dt.datetime(2025, 3, 5, 16, 0, tzinfo=central)),
    ]


@pytest.mark.parametrize("interval, per_session", [("1s", 13), ("5s", 7), ("10s", 2), ("30s", 1)])
def test_seconds_bars_cut_each_session_back_from_its_close_six_months_at_most(interval, per_session):
    first, last = dt.date(2025, 9, 2), dt.date(2025, 9, 5)
    query = HistoryQuery(interval, start=first, end=last)
    chunks = plan(query, YEAR_LATER.replace(month=1, day=2, year=2026))
    assert len(chunks) == 4 * per_session == minimum_requests(query, YEAR_LATER.replace(month=1, day=2, year=2026))
    assert {c.duration for c in chunks} == {legal_durations(query.bar_size)[-1]}
    for day in trading_days(first, last):
        spans = [(c.start, c.end) for c in chunks if c.first_day == day]
        opens, closes = (dt.datetime.combine(day, t, NY) for t in (dt.time(9, 30), dt.time(16)))
        assert spans[0][0] == opens and spans[-1][1] == closes  # the session whole, no gap between requests
        assert all(a[1] == b[0] for a, b in itertools.pairwise(spans))
    with pytest.raises(PlanError, match="go back 6 months at most"):
        plan(HistoryQuery(interval, start=dt.date(2025, 6, 2)), YEAR_LATER)



def test_a_slow_request_splits_into_smaller_ones_for_the_same_bars():
    minutes = HistoryQuery("1m", start=dt.date(2025, 2, 18), end=dt.date(2025, 2, 18))
    day = plan(minutes, NOW)[0]
    halves = split(minutes, day, NOW)
    assert [c.duration for c in halves] == ["14400 S", "14400 S"] and split(minutes, halves[0], NOW) == []
    assert (halves[0].start, halves[-1].end, halves[0].end) == (day.start, day.end, halves[1].start)
    week = HistoryQuery("5m", start=dt.date(2025, 2, 18), end=dt.date(2025, 2, 21))
    assert [c.last_day.day for c in split(week, plan(week, NOW)[0], NOW)] == [18, 19, 20, 21]
    daily = HistoryQuery("1d", start=dt.date(2025, 2, 3))
    assert split(daily, plan(daily, NOW)[0], NOW) == []


def test_the_exchanges_calendar_closed_days_and_early_closes():
    from corvane.history.download import Request
    from corvane.history.plan import session_close
    from ib_async import Contract, ContractDetails

    # Independence Day is not asked for; its eve closes at 13:00, after-hours four hours later.
    july = HistoryQuery("1m", start=dt.date(2023, 7, 3), end=dt.date(2023, 7, 5))
    assert [(c.duration, c.first_day) for c in plan(july, NOW)] == [("1 D", dt.date(2023, 7, 3)),
                                                                    ("1 D", dt.date(2023, 7, 5))]
    assert session_close(july, dt.date(2023, 7, 3)) == dt.datetime(2023, 7, 3, 13, 0, tzinfo=NY)
    # Bars of seconds are asked for up to the early close only: each request after it is
    # answered with no data and still spends the small-bar budget.
    eve = plan(HistoryQuery("5s", start=dt.date(2024, 12, 24), end=dt.date(2024, 12, 24)), NOW)
    assert [c.end.hour for c in eve] == [10, 11, 12, 13]
    late = HistoryQuery("1m", start=dt.date(2023, 7, 3), outside_rth=True)
    assert session_close(late, dt.date(2023, 7, 3)) == dt.datetime(2023, 7, 3, 17, 0, tzinfo=NY)
    assert session_close(late, dt.date(2023, 7, 5)) == dt.datetime(2023, 7, 5, 20, 0, tzinfo=NY)
    # Years no table was typed for: 2029's Martin Luther King Day and Thanksgiving.
    later = dt.datetime(2030, 1, 2, 12, 0, tzinfo=NY)
    days = [c.first_day for c in plan(HistoryQuery("1m", start=dt.date(2029, 1, 12), end=dt.date(2029, 1, 16)), later)]
    assert days == [dt.date(2029, 1, 12), dt.date(2029, 1, 16)]
    assert dt.date(2029, 11, 22) not in trading_days(dt.date(2029, 11, 19), dt.date(2029, 11, 23))
    # A CME future trades on the CME's days: Martin Luther King Day, closed for stocks, is a
    # short session on Globex; Christmas is closed there too.
    details = ContractDetails(contract=Contract(exchange="CME"), timeZoneId="US/Central",
                              tradingHours="20250303:1700-20250304:1600", liquidHours="20250304:0830-20250304:1500")
    es = Request(("/ES",), interval="1m", start=dt.date(2025, 1, 17), end=dt.date(2025, 1, 21),
                 outside_rth=True).query(future=True, details=details)
    assert es.exchange == "CMES" and dt.date(2025, 1, 20) in trading_days(dt.date(2025, 1, 20), dt.date(2025, 1, 20),
                                                                         es.exchange)
    assert session_close(es, dt.date(2025, 1, 20)) == dt.datetime(2025, 1, 20, 12, 0, tzinfo=ZoneInfo("America/Chicago"))
    assert [c.last_day for c in plan(es, NOW)] == [dt.date(2025, 1, d) for d in (17, 20, 21, 22)]
    assert not trading_days(dt.date(2025, 12, 25), dt.date(2025, 12, 25), es.exchange)


def test_requests_begin_where_whole_bars_begin():
    # 11:47 a week after the first day: the last request starts a week back, inside a bar;
    # the bars it answers count from the next quarter hour, the earlier request gives the rest.
    now = dt.datetime(2026, 1, 16, 11, 47, tzinfo=NY)
    quarters = plan(HistoryQuery("15m", start=dt.date(2026, 1, 9), end=dt.date(2026, 1, 16)), now)
    assert [(c.duration, c.start, c.first_day) for c in quarters] == [
        ("1 D", dt.datetime(2026, 1, 9, 9, 30, tzinfo=NY), dt.date(2026, 1, 9)),
        ("1 W", dt.datetime(2026, 1, 9, 12, 0, tzinfo=NY), dt.date(2026, 1, 12)),
    ]
    (month,) = plan(HistoryQuery("4h", last=10), now)  # four-hour bars begin at 0, 4, 8, 12 ... o'clock
    assert (month.duration, month.start) == ("1 M", dt.datetime(2025, 12, 16, 12, 0, tzinfo=NY))
    # A week or a month is asked for whole, from its first trading day to its last, whatever the range.
    for interval, start, end, first, last in [
        ("1wk", dt.date(2025, 9, 24), dt.date(2025, 9, 30), dt.date(2025, 9, 22), dt.date(2025, 10, 3)),
        ("1wk", dt.date(2025, 1, 22), dt.date(2025, 1, 22), dt.date(2025, 1, 21), dt.date(2025, 1, 24)),
        ("1mo", dt.date(2025, 3, 5), dt.date(2025, 5, 30), dt.date(2025, 3, 3), dt.date(2025, 5, 30)),
        ("1mo", dt.date(2026, 1, 5), None, dt.date(2026, 1, 2), dt.date(2026, 1, 16)),
    ]:
        (chunk,) = plan(HistoryQuery(interval, start=start, end=end), now)
        assert (chunk.first_day, chunk.last_day) == (first, last)
        assert chunk.start <= dt.datetime.combine(first, dt.time(9, 30), NY)
