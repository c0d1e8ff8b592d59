"""The broker's published limits on one historical request: how long a span each bar size
allows, durations beyond a year only in whole years, and how far back the smallest bars go.

Checked only when the gateway enforces the broker's rules (``HistoryPolicy.rules``), so
tests of everything else may still ask for a year of minutes in one request.
"""

from __future__ import annotations

import datetime as dt

from .history_request import SECOND_BAR_SIZES, HistoryRequest, Refusal, minus_months, refused

#: The longest span one request may cover, by bar size, from the broker's step-size table
#: (each duration lists the bar sizes it allows; a bar size's limit is the longest duration
#: that lists it). Bars of a day or more may reach back any number of whole years.
MAX_SPAN: dict[str, tuple[int, str] | None] = {
    "1 secs": (1800, "S"),
    "5 secs": (3600, "S"),
    "10 secs": (14400, "S"),
    "15 secs": (14400, "S"),
    "30 secs": (28800, "S"),
    "1 min": (1, "D"),
    "2 mins": (2, "D"),
    "3 mins": (1, "W"),
    "5 mins": (1, "W"),
    "10 mins": (1, "W"),
    "15 mins": (1, "W"),
    "20 mins": (1, "W"),
    "30 mins": (1, "M"),
    "1 hour": (1, "M"),
    "2 hours": (1, "M"),
    "3 hours": (1, "M"),
    "4 hours": (1, "M"),
    "8 hours": (1, "M"),
    "1 day": None,
    "1 week": None,
    "1 month": None,
}

#: Bars this small (seconds) are kept for six months only.
SMALL_BAR_SECONDS = SECOND_BAR_SIZES
SMALL_BAR_MONTHS = 6

# The real gateway's words (error 321 and 162); clients match on them.
YEARS_ONLY = (
    "Error validating request.-'bH' : cause - "
    "Historical data requests for durations longer than 365 days must be made in years."
)
TOO_LONG = "Time length exceed max."
# No public record of the real text was found; this says what happened plainly.
TOO_OLD = "Bars of 30 secs or less are kept for six months only"

# Longest a unit can be, in days, so a span is never refused for a short month.
_DAYS = {"S": 1 / 86400, "D": 1, "W": 7, "M": 31, "Y": 366}
# Most of a unit before the span is longer than 365 days.
_YEAR_IN = {"S": 365 * 86400, "D": 365, "W": 52, "M": 12}


def _days(count: int, unit: str) -> float:
    return count * _DAYS[unit]


def check(req: HistoryRequest, count: int, unit: str, end: dt.datetime, now: dt.datetime) -> None:
    """Raise the refusal the real gateway gives for ``req`` (already parsed), if any."""
    if unit in _YEAR_IN and count > _YEAR_IN[unit]:
        raise Refusal(321, YEARS_ONLY)
    limit = MAX_SPAN.get(req.bar_size)
    if limit is not None and _days(count, unit) > _days(*limit):
        raise refused(TOO_LONG)
    if req.bar_size in SMALL_BAR_SECONDS and end < minus_months(now, SMALL_BAR_MONTHS):
        raise refused(TOO_OLD)
