"""The rules the gateway's answers rest on: the exchanges' calendars, and the broker's limits
on historical requests (step sizes, pacing, open requests, where data begins)."""

from __future__ import annotations

import asyncio
import datetime as dt

import pytest
from ib_async import IB, Future, Stock

from corvane_loopback import instruments
from corvane_loopback.contracts import ContractQuery
from corvane_loopback.history import HistoryPolicy, answer
from corvane_loopback.history_request import FLOOR, HMDS, HistoryRequest, Refusal, parse_end, span_start
from corvane_loopback.market_calendar import EXCHANGE_TZ
from corvane_loopback.pacing import PACING_VIOLATION, TOO_MANY_OPEN, Pacer
from corvane_loopback.request_rules import TOO_LONG, TOO_OLD, YEARS_ONLY
from corvane_loopback.background import ServerThread
from corvane_loopback.proxy import CountingProxy
from corvane_loopback.wire import split_fields

NOW = dt.datetime(2025, 3, 5, 12, 0, tzinfo=EXCHANGE_TZ)
OPEN_JAN_3 = dt.datetime(2025, 1, 3, 9, 30, tzinfo=EXCHANGE_TZ)


@pytest.mark.parametrize(
    "text, instant",
    [
        ("", NOW),
        ("20250103 09:30:00", OPEN_JAN_3),
        ("20250103 09:30:00 US/Eastern", OPEN_JAN_3),
        ("20250103 14:30:00 UTC", OPEN_JAN_3),
        ("20250103-14:30:00", OPEN_JAN_3),
        ("20250103", dt.datetime(2025, 1, 3, 23, 59, 59, tzinfo=EXCHANGE_TZ)),
    ],
)
def test_end_times_in_every_form_clients_send(text, instant):
    assert parse_end(text, NOW) == instant


@pytest.mark.parametrize("text", ["20251303 10:00:00", "2025-01-03", "20250103 10:00:00 Mars/Olympus", "now"])
def test_unreadable_end_times_are_refused_with_162(text):
    with pytest.raises(Refusal) as refusal:
        parse_end(text, NOW)
    assert refusal.value.code == 162


@pytest.mark.parametrize(
    "end, count, unit, start",
    [
        (dt.datetime(2025, 3, 31, 12, tzinfo=EXCHANGE_TZ), 1, "M", dt.datetime(2025, 2, 28, 12, tzinfo=EXCHANGE_TZ)),
        (dt.datetime(2024, 2, 29, 12, tzinfo=EXCHANGE_TZ), 1, "Y", dt.datetime(2023, 2, 28, 12, tzinfo=EXCHANGE_TZ)),
        # wall-clock arithmetic: noon stays noon across the change to daylight saving time
        (NOW + dt.timedelta(days=7), 2, "W", dt.datetime(2025, 2, 26, 12, tzinfo=EXCHANGE_TZ)),
        (NOW, 100, "Y", FLOOR),
        (NOW, 10**12, "D", FLOOR),
    ],
)
def test_spans_reach_back_by_the_calendar(end, count, unit, start):
    assert span_start(end, count, unit) == start


def test_futures_expire_on_the_exchanges_rules():
    march = dt.date(2025, 3, 5)
    assert instruments.futures("ES", march)[0].expiry == dt.date(2025, 3, 21)  # third Friday
    assert [c.expiry for c in instruments.futures("CL", march)[:2]] == [dt.date(2025, 3, 20), dt.date(2025, 4, 22)]
    assert instruments.futures("GC", march)[0].expiry == dt.date(2025, 4, 28)  # third-last business day
    # on its last trading day a contract is still the front month; the day after it is not
    assert instruments.futures("ES", dt.date(2025, 3, 21))[0].local_symbol == "ESH5"
    assert instruments.futures("ES", dt.date(2025, 3, 22))[0].local_symbol == "ESM5"


# -- the broker's limits on one request ------------------------------------------------------


@pytest.mark.parametrize(
    "bar_size, duration, end, refusal",
    [
        ("1 min", "1 D", "", None),
        ("1 min", "86400 S", "", None),
        ("1 min", "2 D", "", (162, HMDS + TOO_LONG)),
        ("1 min", "2 Y", "", (162, HMDS + TOO_LONG)),
        ("2 mins", "2 D", "", None),
        ("5 mins", "1 W", "", None),
        ("5 mins", "8 D", "", (162, HMDS + TOO_LONG)),
        ("1 hour", "31 D", "", None),
        ("1 hour", "2 M", "", (162, HMDS + TOO_LONG)),
        ("1 day", "365 D", "", None),
        ("1 day", "20 Y", "", None),
        ("1 day", "366 D", "", (321, YEARS_ONLY)),
        ("1 week", "53 W", "", (321, YEARS_ONLY)),
        ("1 month", "13 M", "", (321, YEARS_ONLY)),
        ("1 secs", "1800 S", "", None),
        ("1 secs", "3600 S", "", (162, HMDS + TOO_LONG)),
        ("5 secs", "3600 S", "", None),
        ("15 secs", "14401 S", "", (162, HMDS + TOO_LONG)),
        ("30 secs", "28800 S", "", None),
        ("30 secs", "28800 S", "20240901 16:00:00", (162, HMDS + TOO_OLD)),
    ],
)
def test_step_sizes_whole_years_and_the_age_of_small_bars(bar_size, duration, end, refusal):
    request = HistoryRequest(1, ContractQuery(symbol="AAPL", sec_type="STK", exchange="SMART"),
                             end, bar_size, duration, True, "TRADES", 1, False)
    if refusal is None:
        assert answer(request, NOW, HistoryPolicy(rules=True))
        return
    with pytest.raises(Refusal) as refused:
        answer(request, NOW, HistoryPolicy(rules=True))
    assert (refused.value.code, refused.value.text) == refusal


def test_bars_of_seconds_fold_back_into_their_minute():
    def bars(bar_size, duration, end="20250305 10:01:00"):
        request = HistoryRequest(1, ContractQuery(symbol="AAPL", sec_type="STK", exchange="SMART"),
                                 end, bar_size, duration, True, "TRADES", 2, False)
        fields = split_fields(answer(request, NOW, HistoryPolicy(rules=True))[4:])
        return [fields[i:i + 8] for i in range(5, len(fields) - 1, 8)]

    (minute,) = bars("1 min", "60 S")
    for size, step in [("1 secs", 1), ("5 secs", 5), ("30 secs", 30)]:
        parts = bars(size, "60 S")
        assert [int(p[0]) for p in parts] == list(range(int(minute[0]), int(minute[0]) + 60, step))
        prices = [[float(x) for x in p[1:5]] for p in parts]
        assert (prices[0][0], max(p[1] for p in prices), min(p[2] for p in prices), prices[-1][3]) == tuple(
            float(x) for x in minute[1:5])
        assert sum(int(p[5]) for p in parts) == int(minute[5]) and all(p[2] <= min(p[0], p[3]) for p in prices)
    # a span that starts inside a minute starts there
    assert len(bars("5 secs", "30 S", "20250305 10:00:45")) == 6


# -- pacing ----------------------------------------------------------------------------------


def _collect_errors(ib: IB) -> list[tuple[int, str]]:
    errors: list[tuple[int, str]] = []
    ib.errorEvent += lambda req_id, code, text, contract: errors.append((code, text))
    return errors


def test_pacing_at_a_compressed_scale_over_the_socket(loopback_gateway_factory, run_ib):
    # 0.1: identical requests 1.5 s apart, six per contract within 0.2 s; only bars of 30 secs or less
    gw = loopback_gateway_factory(rules=True, pace_scale=0.1, now=NOW)
    aapl, msft = Stock("AAPL", "SMART", "USD"), Stock("MSFT", "SMART", "USD")

    async def body(ib: IB):
        ib.client.MaxRequests = 0  # the client's own throttle would spread the bursts
        errors = _collect_errors(ib)
        small = ("", "60 S", "30 secs", "TRADES", True)
        first = await ib.reqHistoricalDataAsync(aapl, *small)
        again = await ib.reqHistoricalDataAsync(aapl, *small)
        burst = await asyncio.gather(
            *(ib.reqHistoricalDataAsync(msft, "", f"{60 * n} S", "30 secs", "TRADES", True) for n in range(1, 7))
        )
        # identical and many at once, but of minutes and days: the broker no longer paces these
        large = await asyncio.gather(
            *(
                ib.reqHistoricalDataAsync(msft, "", "1 D", size, "TRADES", True)
                for size in ["1 min"] * 7 + ["1 day"] * 7
            )
        )
        await asyncio.sleep(1.6)
        later = await ib.reqHistoricalDataAsync(aapl, *small)
        return len(first), len(again), sorted(len(b) > 0 for b in burst), [len(b) for b in large], len(later), errors

    first, again, burst, large, later, errors = run_ib(gw.port, body)
    assert (first, again, later) == (2, 0, 2)
    assert burst == [False] + [True] * 5
    assert large == [150] * 7 + [1] * 7  # at noon: 9:30 to 12:00
    assert [e for e in errors if e[0] < 2100] == [(162, PACING_VIOLATION)] * 2


def test_sixty_small_bar_requests_in_ten_minutes_bid_ask_twice_and_refusals_that_do_not_count():
    now = [0.0]
    pacer = Pacer(clock=lambda: now[0])
    for n in range(59):
        now[0] = n * 3.0  # 59 contracts' worth, never six of one within 2 s
        pacer.admit(("req", n), ("contract", n % 7), 0, "5 secs")
    pacer.admit(("minutes", 0), ("contract", 0), 0, "1 min")  # not counted: minutes are not paced
    now[0] = 590.0
    with pytest.raises(Refusal) as refused:
        pacer.admit(("req", 60), ("contract", 99), 0, "5 secs", "BID_ASK")  # counts as two: 61
    assert (refused.value.code, refused.value.text) == (162, PACING_VIOLATION)
    pacer.admit(("req", 60), ("contract", 99), 0, "5 secs")  # the refusal was not counted
    with pytest.raises(Refusal):
        pacer.admit(("req", 61), ("contract", 98), 0, "1 secs")
    now[0] = 600.0  # the first request has left the window
    pacer.admit(("req", 61), ("contract", 98), 0, "1 secs")
    now[0] = 2000.0  # three BID_ASK requests would make the six a contract may not have within 2 s
    for n in range(2):
        pacer.admit(("quotes", n), ("contract", 50), 0, "30 secs", "BID_ASK")
    with pytest.raises(Refusal):
        pacer.admit(("quotes", 2), ("contract", 50), 0, "30 secs", "BID_ASK")


def test_the_counting_proxy_passes_everything_and_finds_the_small_bar_violations(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=NOW)  # rules off: the gateway answers all, the proxy judges
    aapl = Stock("AAPL", "SMART", "USD")

    async def body(ib: IB):
        ib.client.MaxRequests = 0
        small = await asyncio.gather(*(ib.reqHistoricalDataAsync(aapl, "", f"{60 * n} S", "30 secs", "TRADES", True)
                                       for n in range(1, 7)))
        days = await asyncio.gather(*(ib.reqHistoricalDataAsync(aapl, "", "1 D", "1 day", "TRADES", True)
                                      for _ in range(3)))
        return [len(b) for b in small], [len(b) for b in days]

    with ServerThread(CountingProxy(gw.port)) as proxy:
        small, days = run_ib(proxy.port, body)
        counted = proxy.server.tally()
    assert small == [2, 4, 6, 8, 10, 12] and days == [1, 1, 1]
    assert (counted.requests, counted.small_bar_requests, counted.violations) == (9, 6, 1)


def test_the_fifty_first_open_request_is_refused(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(rules=True, pace_scale=0, history_delay=0.5)
    aapl = Stock("AAPL", "SMART", "USD")

    async def body(ib: IB):
        ib.client.MaxRequests = 0  # the client's own throttle would spread the burst
        errors = _collect_errors(ib)
        answers = await asyncio.gather(*(ib.reqHistoricalDataAsync(aapl, "", "1 D", "1 day", "TRADES", True)
                                         for _ in range(51)))
        return sorted(len(a) for a in answers), errors

    answers, errors = run_ib(gw.port, body)
    assert answers == [0] + [1] * 50
    assert [e for e in errors if e[0] < 2100] == [(322, TOO_MANY_OPEN)]


# -- the historical farm -------------------------------------------------------------------------


def test_the_farm_takes_time_per_request_and_bar_and_serves_k_at_once_per_connection(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(rules=True, now=NOW, farm_slots=2, farm_latency=(0.3, 0.002))
    aapl = Stock("AAPL", "SMART", "USD")

    async def body(ib: IB):
        ib.client.MaxRequests = 0
        days = await asyncio.gather(
            *(ib.reqHistoricalDataAsync(aapl, "", f"{n} D", "1 day", "TRADES", True) for n in range(1, 6))
        )
        minutes = await ib.reqHistoricalDataAsync(aapl, "", "1 D", "1 min", "TRADES", True)
        return [len(d) for d in days], len(minutes)

    days, minutes = run_ib(gw.port, body)
    assert days == [1, 2, 3, 3, 3] and minutes == 150  # calendar days back from a Wednesday
    log = list(gw.gateway.farm_log)
    assert sorted(s.bars for s in log) == [1, 2, 3, 3, 3, 150]
    # every answer took its service time: 0.3 s, and 0.3 s + 150 x 2 ms for the minutes
    assert all(s.served >= 0.3 for s in log) and log[-1].served >= 0.6 - 1e-3
    # two slots: of five sent together, three waited for one, the last for two services
    waits = sorted(s.waited for s in log[:5])
    assert max(waits[:2]) < 0.1 and min(waits[2:]) > 0.2 and waits[-1] > 0.45


# -- where data begins -------------------------------------------------------------------------


def test_head_timestamp_is_where_bars_begin(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(rules=True)
    aapl = Stock("AAPL", "SMART", "USD")

    async def body(ib: IB):
        errors = _collect_errors(ib)
        rth = await ib.reqHeadTimeStampAsync(aapl, "TRADES", True, 1)
        epoch = await ib.reqHeadTimeStampAsync(aapl, "MIDPOINT", True, 2)
        futures = await ib.reqHeadTimeStampAsync(Future("ES", exchange="CME", lastTradeDateOrContractMonth="202503"),
                                                 "TRADES", False, 1)
        unknown = await ib.reqHeadTimeStampAsync(Stock("NOPE", "SMART", "USD"), "TRADES", True, 1)
        bars = await ib.reqHistoricalDataAsync(aapl, "19900110 16:00:00", "1 M", "1 day", "TRADES", True)
        return rth, epoch, futures, unknown, [b.date for b in bars], errors

    rth, epoch, futures, unknown, days, errors = run_ib(gw.port, body)
    # New Year's Day is closed: the data begins with the next session.
    assert rth == dt.datetime(1990, 1, 2, 9, 30, tzinfo=EXCHANGE_TZ) == epoch
    assert futures == dt.datetime(1990, 1, 1, 18, 0, tzinfo=EXCHANGE_TZ)  # the first overnight session
    assert not unknown and [e[0] for e in errors if e[0] < 2100] == [200]
    assert days[0] == rth.date() and len(days) == 7
