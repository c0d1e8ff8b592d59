"""A historical-bars request as it arrives, and the parsing of its end time, duration and bar size."""

from __future__ import annotations

import datetime as dt
import re
from dataclasses import dataclass
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

from .contracts import ContractQuery
from .market_calendar import EPOCH, EXCHANGE_TZ
from .wire import Fields

HMDS = "Historical Market Data Service error message:"

#: bar size text -> minutes per bar, or the calendar unit of the larger bars
BAR_SIZES: dict[str, int | str] = {
    "1 min": 1,
    "2 mins": 2,
    "3 mins": 3,
    "5 mins": 5,
    "10 mins": 10,
    "15 mins": 15,
    "20 mins": 20,
    "30 mins": 30,
    "1 hour": 60,
    "2 hours": 120,
    "3 hours": 180,
    "4 hours": 240,
    "8 hours": 480,
    "1 day": "day",
    "1 week": "week",
    "1 month": "month",
}
#: bar size text -> seconds per bar, for the bars of less than a minute
SECOND_BAR_SIZES: dict[str, int] = {"1 secs": 1, "5 secs": 5, "10 secs": 10, "15 secs": 15, "30 secs": 30}

_DURATION = re.compile(r"^\s*(\d+)\s+([SDWMY])\s*$")
_END = re.compile(r"^(\d{8})(?:[ -]+(\d{1,2}:\d{2}:\d{2})(?:\s+(\S+))?)?$")


class Refusal(Exception):
    """The gateway declines a request with an error code and text, as the real one does."""

    def __init__(self, code: int, text: str):
        super().__init__(f"{code}: {text}")
        self.code = code
        self.text = text


def refused(reason: str) -> Refusal:
    return Refusal(162, HMDS + reason)


@dataclass(frozen=True)
class HistoryRequest:
    req_id: int
    contract: ContractQuery
    end: str
    bar_size: str
    duration: str
    use_rth: bool
    what_to_show: str
    format_date: int
    keep_up_to_date: bool

    @classmethod
    def read(cls, fields: Fields) -> HistoryRequest:
        req_id = fields.next_int()
        contract = ContractQuery.read(fields)
        fields.skip()  # include expired
        end = fields.next_text()
        bar_size = fields.next_text()
        duration = fields.next_text()
        use_rth = fields.next_bool()
        what_to_show = fields.next_text()
        format_date = fields.next_int()
        if contract.sec_type.upper() == "BAG":
            fields.skip(4 * fields.next_int())
        keep_up_to_date = fields.next_bool()
        return cls(req_id, contract, end, bar_size, duration, use_rth, what_to_show, format_date, keep_up_to_date)


def parse_end(text: str, now: dt.datetime) -> dt.datetime:
    """The instant a request ends at; no zone means exchange time, a dash before the time means UTC."""
    text = text.strip()
    if not text:
        return now
    match = _END.match(text)
    if not match:
        raise refused(f"End date/time {text!r} is not of the form yyyymmdd hh:mm:ss [zone]")
    day, clock, zone_name = match.groups()
    try:
        stamp = dt.datetime.strptime(day + (clock or "23:59:59"), "%Y%m%d%H:%M:%S")
    except ValueError:
        raise refused(f"End date/time {text!r} is not a valid date and time") from None
    zone: dt.tzinfo
    if zone_name:
        try:
            zone = ZoneInfo(zone_name)
        except (ZoneInfoNotFoundError, ValueError):
            raise refused(f"Unknown time zone {zone_name!r} in end date/time") from None
    elif "-" in text:
        zone = dt.UTC
    else:
        zone = EXCHANGE_TZ
    return stamp.replace(tzinfo=zone)


def parse_duration(text: str) -> tuple[int, str]:
    match = _DURATION.match(text)
    if not match or int(match.group(1)) < 1:
        raise refused(f"Invalid duration {text!r}: expected a count and one of S, D, W, M, Y")
    return int(match.group(1)), match.group(2)


def parse_bar_size(text: str) -> int | str:
    """Minutes per bar, or the calendar unit; bars of seconds are cut from one-minute bars."""
    if text in SECOND_BAR_SIZES:
        return 1
    size = BAR_SIZES.get(text)
    if size is None:
        raise refused(f"Invalid bar size {text!r}")
    return size


#: nothing is generated before this instant
FLOOR = dt.datetime(EPOCH.year, EPOCH.month, EPOCH.day, tzinfo=EXCHANGE_TZ)


def minus_months(instant: dt.datetime, months: int) -> dt.datetime:
    year, month = divmod(instant.year * 12 + instant.month - 1 - months, 12)
    if year < FLOOR.year:
        return FLOOR
    month += 1
    last_day = (dt.date(year + month // 12, month % 12 + 1, 1) - dt.timedelta(days=1)).day
    return instant.replace(year=year, month=month, day=min(instant.day, last_day))


def span_start(end: dt.datetime, count: int, unit: str) -> dt.datetime:
    """Start of a calendar span reaching back from ``end`` (wall-clock arithmetic in exchange time).

    Never earlier than FLOOR, so absurd durations cost nothing.
    """
    end = end.astimezone(EXCHANGE_TZ)
    days = {"S": count / 86400, "D": count, "W": 7 * count}.get(unit)
    if days is not None:
        if days >= (end - FLOOR).days + 1:
            return FLOOR
        return end - dt.timedelta(days=days)
    return max(minus_months(end, count * (12 if unit == "Y" else 1)), FLOOR)
