"""Calendar rules the gateway's answers rest on, checked against dates known from the exchanges."""

from __future__ import annotations

import datetime as dt

import pytest

from corvane_loopback import instruments
from corvane_loopback.history_request import FLOOR, Refusal, parse_end, span_start
from corvane_loopback.market_calendar import EXCHANGE_TZ

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
