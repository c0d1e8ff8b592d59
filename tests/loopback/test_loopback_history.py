"""Historical bars from the loopback gateway, fetched with the real client over the socket."""

from __future__ import annotations

import asyncio
import copy
import datetime as dt
import os
import subprocess
import sys
from zoneinfo import ZoneInfo

import pytest
from ib_async import IB, Future, Stock

from corvane.history.trading_calendar import calendar
from corvane_loopback.market_calendar import EXCHANGE_TZ

WEDNESDAY_NOON = dt.datetime(2025, 3, 5, 12, 0, tzinfo=EXCHANGE_TZ)
SATURDAY = dt.datetime(2025, 3, 8, 10, 0, tzinfo=EXCHANGE_TZ)
AAPL = Stock("AAPL", "SMART", "USD")


def _sessions(first: dt.date, last: dt.date) -> list[dt.date]:
    """The days the NYSE trades, holidays left out."""
    return calendar().days(first, last)


def _assert_sound(bars):
    for bar in bars:
        assert 0 < bar.low <= min(bar.open, bar.close) <= max(bar.open, bar.close) <= bar.high
        assert bar.low <= bar.average <= bar.high
        assert bar.volume > 0 and bar.barCount > 0
    assert [b.date for b in bars] == sorted({b.date for b in bars})


def _history(gw, run_ib, *requests, contract=AAPL):
    """Run each (end, duration, bar size, what, rth) request; returns the bar lists and the errors seen."""

    async def body(ib: IB):
        errors = []
        ib.errorEvent += lambda req_id, code, text, c: errors.append((code, text))
        results = []
        for end, duration, size, what, rth in requests:
            results.append(list(await ib.reqHistoricalDataAsync(contract, end, duration, size, what, rth)))
        return results, errors

    return run_ib(gw.port, body)


def test_daily_bars_cover_the_calendar_span_on_trading_days(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON)
    (bars,), errors = _history(gw, run_ib, ("", "350 D", "1 day", "TRADES", True))
    today = WEDNESDAY_NOON.date()
    assert errors == []
    assert [b.date for b in bars] == _sessions(today - dt.timedelta(days=349), today)
    assert all(type(b.date) is dt.date for b in bars)
    _assert_sound(bars)


def test_same_request_same_bars_in_another_gateway_and_process(loopback_gateway_factory, run_ib):
    request = ("", "2 D", "5 mins", "TRADES", True)
    (first,), _ = _history(loopback_gateway_factory(now=WEDNESDAY_NOON), run_ib, request)
    (second,), _ = _history(loopback_gateway_factory(now=WEDNESDAY_NOON), run_ib, request)
    assert first == second

    # contract ids and prices must not hang on anything that varies per process, such as str hashing
    probe = (
        "import datetime as dt, hashlib\n"
        "from corvane_loopback.history import answer, HistoryPolicy\n"
        "from corvane_loopback.history_request import HistoryRequest\n"
        "from corvane_loopback.contracts import ContractQuery\n"
        "from corvane_loopback.market_calendar import EXCHANGE_TZ\n"
        "req = HistoryRequest(1, ContractQuery(symbol='MSFT', sec_type='STK', exchange='SMART'), '', '1 hour', '3 D', True, 'TRADES', 1, False)\n"
        "print(hashlib.sha256(answer(req, dt.datetime(2025, 3, 5, 12, tzinfo=EXCHANGE_TZ), HistoryPolicy())).hexdigest())\n"
    )
    digests = set()
    for seed in ("1", "2"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        out = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True, text=True, check=True)
        digests.add(out.stdout.strip())
    assert len(digests) == 1


def test_one_minute_bars_are_zoned_and_within_regular_hours(loopback_gateway_factory, run_ib):
    midweek = loopback_gateway_factory(now=WEDNESDAY_NOON)
    (so_far, extended), _ = _history(
        midweek, run_ib, ("", "1 D", "1 min", "TRADES", True), ("", "1 D", "1 min", "TRADES", False)
    )
    (friday,), _ = _history(loopback_gateway_factory(now=SATURDAY), run_ib, ("", "1 D", "1 min", "TRADES", True))

    assert len(so_far) == 150  # 09:30 up to the minute before noon
    assert so_far[0].date == dt.datetime(2025, 3, 5, 9, 30, tzinfo=EXCHANGE_TZ)
    assert so_far[-1].date == dt.datetime(2025, 3, 5, 11, 59, tzinfo=EXCHANGE_TZ)
    assert all(b.date.utcoffset() is not None for b in so_far)
    assert extended[0].date.astimezone(EXCHANGE_TZ).time() == dt.time(4, 0)
    assert extended[-150:] == so_far  # the regular session does not depend on the RTH flag

    # on a weekend the last session is Friday's, complete
    assert len(friday) == 390
    assert {b.date.astimezone(EXCHANGE_TZ).date() for b in friday} == {dt.date(2025, 3, 7)}
    assert all(dt.time(9, 30) <= b.date.astimezone(EXCHANGE_TZ).time() < dt.time(16) for b in friday)
    _assert_sound(friday)


def test_larger_bars_are_folds_of_the_minutes(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=SATURDAY)
    (minutes, fives, hours, days), _ = _history(
        gw,
        run_ib,
        ("", "1 D", "1 min", "TRADES", True),
        ("", "1 D", "5 mins", "TRADES", True),
        ("", "1 D", "1 hour", "TRADES", True),
        ("", "3 D", "1 day", "TRADES", True),
    )

    def fold(group):
        volume = sum(b.volume for b in group)
        return (
            group[0].open,
            max(b.high for b in group),
            min(b.low for b in group),
            group[-1].close,
            volume,
            sum(b.barCount for b in group),
            sum(b.average * b.volume for b in group) / volume,
        )

    def summary(bar):
        return (bar.open, bar.high, bar.low, bar.close, bar.volume, bar.barCount, bar.average)

    assert len(fives) == 78
    for i, five in enumerate(fives):
        expected = fold(minutes[5 * i : 5 * i + 5])
        assert summary(five)[:6] == expected[:6]
        assert summary(five)[6] == pytest.approx(expected[6], abs=1e-3)
    # hour bars keep to the clock: a half hour at the open, then whole hours
    assert [h.date.astimezone(EXCHANGE_TZ).strftime("%H:%M") for h in hours] == [
        "09:30", "10:00", "11:00", "12:00", "13:00", "14:00", "15:00"
    ]
    assert days[-1].date == dt.date(2025, 3, 7)
    assert summary(days[-1])[:6] == fold(minutes)[:6]


def test_weeks_and_months_are_labelled_by_their_first_trading_day(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON)
    (weeks, months), _ = _history(gw, run_ib, ("", "1 Y", "1 week", "TRADES", True), ("", "2 Y", "1 month", "TRADES", True))
    # After a Monday holiday the week begins on Tuesday.
    assert all(w.date == _sessions(w.date - dt.timedelta(days=w.date.weekday()), w.date)[0] for w in weeks[1:])
    assert any(w.date.weekday() == 1 for w in weeks)
    assert len(weeks) in (52, 53)
    assert weeks[-1].date == dt.date(2025, 3, 3)
    assert [m.date for m in months[-3:]] == [dt.date(2025, 1, 2), dt.date(2025, 2, 3), dt.date(2025, 3, 3)]
    assert len(months) == 25  # two years back from mid-March: a partial month at each end
    _assert_sound(weeks)
    _assert_sound(months)


def test_end_date_from_a_calendar_date(loopback_gateway_factory, run_ib):
    # a Saturday end date keeps the test independent of the machine's zone, which the client applies
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON)

    async def body(ib: IB):
        return list(await ib.reqHistoricalDataAsync(AAPL, dt.date(2025, 2, 1), "28 D", "1 day", "TRADES", True))

    bars = run_ib(gw.port, body)
    assert [b.date for b in bars] == _sessions(dt.date(2025, 1, 6), dt.date(2025, 1, 31))
    assert gw.gateway.history_requests[-1].end.endswith(" UTC")


def test_adjusted_series_scales_history_back_but_keeps_today(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON)
    (trades, adjusted, with_end), errors = _history(
        gw,
        run_ib,
        ("", "350 D", "1 day", "TRADES", True),
        ("", "350 D", "1 day", "ADJUSTED_LAST", True),
        ("20250201 12:00:00 US/Eastern", "30 D", "1 day", "ADJUSTED_LAST", True),
    )
    assert [b.date for b in adjusted] == [b.date for b in trades]
    assert adjusted[-1] == trades[-1]
    assert adjusted[0].close < trades[0].close
    assert [b.volume for b in adjusted] == [b.volume for b in trades]
    # the real gateway refuses an end date with the adjusted series, and so do we by default
    assert with_end == []
    assert errors == [(162, "Historical Market Data Service error message:End date not supported with adjusted last")]


def test_refusals_answer_with_error_162_and_no_bars(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON, refuse_symbols=["aapl"], refuse_bar_sizes=["1 hour"], max_bars=10_000)
    msft = Stock("MSFT", "SMART", "USD")

    async def body(ib: IB):
        errors = []
        ib.errorEvent += lambda req_id, code, text, c: errors.append(code)
        refused_symbol = await ib.reqHistoricalDataAsync(AAPL, "", "5 D", "1 day", "TRADES", True)
        refused_size = await ib.reqHistoricalDataAsync(msft, "", "5 D", "1 hour", "TRADES", True)
        too_many = await ib.reqHistoricalDataAsync(msft, "", "1 Y", "1 min", "TRADES", True)
        nonsense = [
            await ib.reqHistoricalDataAsync(msft, end, duration, size, what, True)
            for end, duration, size, what in (
                ("", "5 X", "1 day", "TRADES"),
                ("", "5 D", "7 mins", "TRADES"),
                ("", "5 D", "1 day", "FAIRY_DUST"),
                ("tomorrow", "5 D", "1 day", "TRADES"),
                ("19800101 12:00:00", "5 D", "1 day", "TRADES"),  # before the first generated day
            )
        ]
        fine = await ib.reqHistoricalDataAsync(msft, "", "5 D", "1 day", "TRADES", True)
        return [refused_symbol, refused_size, too_many, *nonsense], fine, errors

    empty, fine, errors = run_ib(gw.port, body)
    assert all(len(bars) == 0 for bars in empty)
    assert errors == [162] * len(empty)
    assert len(fine) == 3


def test_contracts_the_gateway_cannot_resolve_fail_with_200(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON)
    (unknown,), errors = _history(gw, run_ib, ("", "5 D", "1 day", "TRADES", True), contract=Stock("NOPE", "SMART", "USD"))
    assert unknown == []
    assert errors == [(200, "No security definition has been found for the request")]


def test_continuous_futures_trade_nearly_around_the_clock(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON)
    # the way a command asks: a copy of some month's qualified contract with the type changed
    june = Future("ES", "202506", "CME", conId=0)
    qualified = run_ib(gw.port, lambda ib: ib.qualifyContractsAsync(june))
    continuous = copy.copy(qualified[0])
    continuous.secType = "CONTFUT"
    (hours, regular), errors = _history(
        gw, run_ib, ("", "1 D", "1 hour", "TRADES", False), ("", "1 D", "1 day", "TRADES", True), contract=continuous
    )
    assert errors == []
    # the session opened at 18:00 the evening before
    assert hours[0].date.astimezone(EXCHANGE_TZ) == dt.datetime(2025, 3, 4, 18, 0, tzinfo=EXCHANGE_TZ)
    assert len(hours) == 18
    assert all(round(b.close * 4) == b.close * 4 for b in hours)  # quarter-point ticks
    assert [b.date for b in regular] == [dt.date(2025, 3, 5)]  # today's bar, still in progress
    assert gw.gateway.history_requests[0].contract.sec_type == "CONTFUT"


def test_a_delayed_request_can_time_out_or_be_cancelled(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON, history_delay=30)

    async def body(ib: IB):
        # the client's own timeout sends a cancel, which must stop the answer
        timed_out = await ib.reqHistoricalDataAsync(AAPL, "", "5 D", "1 day", "TRADES", True, timeout=0.3)
        waiting = asyncio.ensure_future(ib.reqHistoricalDataAsync(AAPL, "", "5 D", "1 day", "TRADES", True))
        await asyncio.sleep(0.1)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        gw.gateway.behaviour.history_delay = 0
        after = await ib.reqHistoricalDataAsync(AAPL, "", "5 D", "1 day", "TRADES", True)
        return list(timed_out), len(after), ib.isConnected()

    timed_out, after, connected = run_ib(gw.port, body)
    assert timed_out == []
    assert gw.gateway.cancelled_requests == [gw.gateway.history_requests[0].req_id]
    assert (after, connected) == (3, True)


def test_requests_are_recorded_as_sent(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON)
    _history(gw, run_ib, ("", "350 D", "1 day", "ADJUSTED_LAST", True))
    [request] = gw.gateway.history_requests
    sent = (request.contract.symbol, request.end, request.duration, request.bar_size, request.what_to_show, request.use_rth)
    assert sent == ("AAPL", "", "350 D", "1 day", "ADJUSTED_LAST", True)
    assert request.keep_up_to_date is False


def test_no_bars_on_a_closed_day_and_a_short_session_on_an_early_close(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=dt.datetime(2025, 12, 29, 12, 0, tzinfo=EXCHANGE_TZ))
    sizes = ("1 min", "30 mins", "1 hour", "4 hours", "1 day")
    for end, closed, eve in [("20250708 16:00:00 US/Eastern", dt.date(2025, 7, 4), dt.date(2025, 7, 3)),
                             ("20251226 16:00:00 US/Eastern", dt.date(2025, 12, 25), dt.date(2025, 12, 24))]:
        answers, errors = _history(gw, run_ib, *[(end, "1 W", size, "TRADES", True) for size in sizes])
        assert errors == []
        for size, bars in zip(sizes, answers, strict=True):
            stamps = [b.date if isinstance(b.date, dt.datetime) else None for b in bars]
            days = [b.date.astimezone(EXCHANGE_TZ).date() if s else b.date for b, s in zip(bars, stamps)]
            assert closed not in days and eve in days, size
            if size == "1 min":
                assert days.count(eve) == 210 and max(s for s in stamps if s.date() == eve).hour == 12
    # A CME future keeps its own days on Chicago's clock: Christmas Eve ends at noon there,
    # Christmas is closed, and its contract details say so.
    es = Future("ES", "202603", "CME")
    (hours,), _ = _history(gw, run_ib, ("20251226 16:00:00 US/Eastern", "3 D", "1 hour", "TRADES", False), contract=es)
    chicago = [b.date.astimezone(ZoneInfo("America/Chicago")) for b in hours]
    eve = [t for t in chicago if t.date() == dt.date(2025, 12, 24)]
    assert eve[-1].hour == 11 and not [t for t in chicago if t.date() == dt.date(2025, 12, 25) and t.hour < 17]

    async def details(ib: IB):
        return await ib.reqContractDetailsAsync(es)

    (listed,) = run_ib(gw.port, details)
    assert listed.timeZoneId == "US/Central"
    assert "20251228:1700-20251229:1600" in listed.tradingHours and "20260101:CLOSED" in listed.tradingHours
    assert "20251229:0830-20251229:1500" in listed.liquidHours
