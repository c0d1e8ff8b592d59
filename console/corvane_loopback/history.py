"""Answering a historical-bars request with generated sample bars (NOT market data).

``answer`` turns one request into the bytes of the gateway's reply: the bars
message, or raises ``Refusal`` with the error the real gateway would give.
"""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass, field

import numpy as np

from . import bar_aggregation, request_rules, second_bars
from .bar_aggregation import BarTable
from .contracts import ContractQuery, resolve
from .history_request import (
    SECOND_BAR_SIZES,
    HistoryRequest,
    Refusal,
    parse_bar_size,
    parse_duration,
    parse_end,
    refused,
    span_start,
)
from .instruments import Instrument
from .market_calendar import (
    EPOCH,
    TZ_LABEL,
    day_index,
    day_of,
    ib_datetime,
    local,
    midnight_epochs,
    session_open,
    trading_days,
)
from .wire import encode_texts

NO_DEFINITION = "No security definition has been found for the request"
WHAT_TO_SHOW = ("TRADES", "ADJUSTED_LAST", "MIDPOINT", "BID", "ASK")


@dataclass
class HistoryPolicy:
    """What the gateway refuses or allows; tests change it to provoke failures."""

    refuse_symbols: set[str] = field(default_factory=set)
    refuse_bar_sizes: set[str] = field(default_factory=set)
    allow_adjusted_end: bool = False
    max_bars: int = 1_000_000
    #: enforce the broker's limits on one request (step sizes, whole years, small bars' age)
    rules: bool = False


def _instrument(contract: ContractQuery, today: dt.date) -> Instrument:
    found = resolve(contract, today)
    if not found:
        raise Refusal(200, NO_DEFINITION)
    if len(found) > 1:
        raise Refusal(200, f"The contract description given for {contract.describe()} is ambiguous.")
    return found[0]


def _check_what(what_to_show: str, inst: Instrument) -> None:
    if what_to_show not in WHAT_TO_SHOW:
        raise refused(f"Invalid whatToShow {what_to_show!r}")
    if what_to_show == "ADJUSTED_LAST" and not inst.is_stock:
        raise refused(f"No data of type ADJUSTED_LAST is available for {inst.exchange} {inst.sec_type}")


def _check(req: HistoryRequest, inst: Instrument, policy: HistoryPolicy) -> None:
    if inst.symbol in {s.upper() for s in policy.refuse_symbols}:
        raise refused(f"No market data permissions for {inst.exchange} {inst.sec_type}")
    if req.bar_size in policy.refuse_bar_sizes:
        raise refused(f"Requested bar size {req.bar_size} is not available for {inst.symbol}")
    _check_what(req.what_to_show, inst)
    if req.what_to_show == "ADJUSTED_LAST" and req.end.strip() and not policy.allow_adjusted_end:
        raise refused("End date not supported with adjusted last")


def _sessions_back(inst: Instrument, rth: bool, end: dt.datetime, count: int) -> np.ndarray:
    """The last ``count`` trading days whose session opened before ``end``."""
    last = local(end).date() + dt.timedelta(days=1)
    reach = count * 7 // 5 + 7
    first = EPOCH if reach >= (last - EPOCH).days else last - dt.timedelta(days=reach)
    days = trading_days(first, last, inst.calendar)
    opens = midnight_epochs(days) + inst.hours.bounds(rth)[0] * 60
    return days[opens < end.timestamp()][-count:]


def _window(req, inst, bar, end) -> tuple[int, np.ndarray]:
    """Start of the requested span (Unix time) and the trading days it touches."""
    count, unit = parse_duration(req.duration)
    rth = req.use_rth
    if isinstance(bar, int) and unit == "D":
        days = _sessions_back(inst, rth, end, count)
        if not len(days):
            return int(end.timestamp()), days
        return int(midnight_epochs(days[:1])[0]) + inst.hours.bounds(rth)[0] * 60, days
    start = int(span_start(end, count, unit).timestamp())
    days = trading_days(
        local(dt.datetime.fromtimestamp(start, dt.UTC)).date(), local(end).date() + dt.timedelta(days=1), inst.calendar
    )
    if not isinstance(bar, int):
        opens = midnight_epochs(days) + inst.hours.bounds(rth)[0] * 60
        days = days[(opens >= start) & (opens < end.timestamp())]
    return start, days


def _bars(req, inst, bar, start, days, end, now, max_bars: int) -> BarTable:
    rth = req.use_rth
    first, last = inst.hours.bounds(rth)
    # checked before generating anything, so an absurd request costs nothing
    estimate = len(days) * ((last - first) // bar + 1) if isinstance(bar, int) else len(days)
    if estimate > max_bars:
        raise refused("Time length exceed max.")
    adjusted_as_of = day_index(local(now).date()) if req.what_to_show == "ADJUSTED_LAST" else None
    end_epoch = int(end.timestamp())
    if isinstance(bar, int):
        return bar_aggregation.intraday(inst, days, rth, adjusted_as_of, start, end_epoch, bar)
    table = bar_aggregation.daily(inst, days, rth, adjusted_as_of, end_epoch)
    return table if bar == "day" else bar_aggregation.regroup(table, bar)


def _labels(table: BarTable, bar, format_date: int) -> list[str]:
    if not isinstance(bar, int):
        return [f"{day_of(k):%Y%m%d}" for k in table.day.tolist()]
    if format_date == 2:
        return [str(t) for t in (midnight_epochs(table.day) + table.minute * 60).tolist()]
    dates: dict[tuple[int, int], str] = {}
    labels = []
    for k, m in zip(table.day.tolist(), table.minute.tolist()):
        shift, clock = divmod(m, 1440)
        text = dates.get((k, shift))
        if text is None:
            text = dates[(k, shift)] = f"{day_of(k) + dt.timedelta(days=shift):%Y%m%d}"
        labels.append(f"{text} {clock // 60:02d}:{clock % 60:02d}:00 {TZ_LABEL}")
    return labels


def _body(table: BarTable, labels: list[str], what: str, tick: float) -> list[str]:
    shift = {"BID": -tick, "ASK": tick}.get(what, 0.0)
    quotes = what in ("MIDPOINT", "BID", "ASK")
    prices = [np.round(getattr(table, n) + shift, 2).tolist() for n in ("open", "high", "low", "close")]
    waps = np.round(table.wap, 4).tolist()
    volumes = table.volume.astype(np.int64).tolist()
    counts = table.count.astype(np.int64).tolist()
    body: list[str] = []
    for i, label in enumerate(labels):
        tail = ("-1", "-1", "-1") if quotes else (str(volumes[i]), f"{waps[i]:.4f}", str(counts[i]))
        body.extend(
            (label, f"{prices[0][i]:.2f}", f"{prices[1][i]:.2f}", f"{prices[2][i]:.2f}", f"{prices[3][i]:.2f}", *tail)
        )
    return body


def answer(req: HistoryRequest, now: dt.datetime, policy: HistoryPolicy) -> bytes:
    """The bars message for ``req`` as of ``now``; raises Refusal instead of sending nothing."""
    inst = _instrument(req.contract, local(now).date())
    _check(req, inst, policy)
    if policy.rules:
        # before the bar size: the real gateway names a step or an age, not bars it lacks
        request_rules.check(req, *parse_duration(req.duration), min(parse_end(req.end, now), now), now)
    bar = parse_bar_size(req.bar_size)
    end = min(parse_end(req.end, now), now)
    start, days = _window(req, inst, bar, end)
    seconds = SECOND_BAR_SIZES.get(req.bar_size)
    if seconds is None:
        table = _bars(req, inst, bar, start, days, end, now, policy.max_bars)
    else:
        # whole minutes around the span, cut into bars of seconds; the cap counts those
        minutes = _bars(req, inst, 1, start - start % 60, days, end, now, max(1, policy.max_bars * seconds // 60))
        table, epochs = second_bars.split(minutes, seconds, start, int(end.timestamp()))
    if not len(table):
        raise refused(f"HMDS query returned no data: {inst.local_symbol}@{inst.exchange} {req.what_to_show.title()}")
    labels = (
        _labels(table, bar, req.format_date) if seconds is None else second_bars.labels(table, epochs, req.format_date)
    )
    head = [
        "17",
        str(req.req_id),
        ib_datetime(dt.datetime.fromtimestamp(start, dt.UTC)),
        ib_datetime(end),
        str(len(table)),
    ]
    return encode_texts(head, _body(table, labels, req.what_to_show, inst.min_tick))


def head_timestamp(
    contract: ContractQuery, use_rth: bool, what_to_show: str, format_date: int, now: dt.datetime, policy: HistoryPolicy
) -> str:
    """The instant of an instrument's earliest bar, as the gateway writes it.

    Every sample instrument's data begins with its exchange's first session on or after
    EPOCH; bars requests reaching further back are answered from there on.
    """
    inst = _instrument(contract, local(now).date())
    if inst.symbol in {s.upper() for s in policy.refuse_symbols}:
        raise refused(f"No market data permissions for {inst.exchange} {inst.sec_type}")
    _check_what(what_to_show, inst)
    first = session_open(int(trading_days(EPOCH, EPOCH + dt.timedelta(days=14), inst.calendar)[0]), inst.hours, use_rth)
    if format_date == 2:
        return str(first)
    return ib_datetime(dt.datetime.fromtimestamp(first, dt.UTC))
