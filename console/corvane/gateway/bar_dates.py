"""A faster reading of the gateway's bar dates, installed into the client library.

The client parses every bar's date text with ``strptime`` and a time-zone
lookup; for a year of one-minute bars that is more than half the time a
query takes. The two shapes the gateway sends for bars are fixed-width
("20250305 09:30:00 America/New_York" and "20250305"), so they are read by
slicing. Only text of exactly those shapes takes this path, and whenever
building the value fails the original parser runs, so odd text, invalid
dates and their errors come out exactly as the library's own would.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable
from typing import Any

_installed: Callable[[str], Any] | None = None
#: Distinct dates and clock times seen are few (a year of minutes has 250 and
#: 390); past this many the memo starts over rather than grow without end.
MEMO_LIMIT = 100_000


def _ascii_digits(text: str) -> bool:
    return text.isascii() and text.isdigit()


def _date_fields(text: str) -> tuple[int, int, int] | None:
    """Year, month, day of "YYYYmmdd"; None for any other text."""
    if len(text) != 8 or not _ascii_digits(text):
        return None
    return int(text[0:4]), int(text[4:6]), int(text[6:8])


def _clock_fields(text: str) -> tuple[int, int, int] | None:
    """Hours, minutes, seconds of "HH:MM:SS"; None for any other text."""
    if len(text) != 8 or text[2] != ":" or text[5] != ":":
        return None
    parts = text[0:2], text[3:5], text[6:8]
    if not all(_ascii_digits(p) for p in parts):
        return None
    return int(parts[0]), int(parts[1]), int(parts[2])


def _memoised(read: Callable[[str], tuple | None]) -> Callable[[str], tuple | None]:
    memo: dict[str, tuple | None] = {}

    def lookup(text: str) -> tuple | None:
        try:
            return memo[text]
        except KeyError:
            if len(memo) >= MEMO_LIMIT:
                memo.clear()
            found = memo[text] = read(text)
            return found

    return lookup


def make_fast_parser(original: Callable[[str], Any], zone_info: Callable[[str], Any]):
    """A drop-in for ``original`` that reads the two bar shapes itself."""
    date, datetime = dt.date, dt.datetime
    ymd, hms = _memoised(_date_fields), _memoised(_clock_fields)

    def parse_ib_datetime(s):
        if type(s) is str:
            n = len(s)
            if n == 8:
                day = ymd(s)
                if day is not None:
                    try:
                        return date(*day)
                    except ValueError:
                        pass
            elif n > 18 and s[8] == " " and s[17] == " " and " " not in s[18:]:
                day = ymd(s[:8])
                clock = hms(s[9:17])
                if day is not None and clock is not None:
                    try:
                        return datetime(*day, *clock, tzinfo=zone_info(s[18:]))
                    except Exception:
                        pass
        return original(s)

    parse_ib_datetime.original = original  # type: ignore[attr-defined]
    return parse_ib_datetime


def install() -> None:
    """Put the fast reader where the client's bar handlers look it up; once per process."""
    global _installed
    from ib_async import util, wrapper

    current = wrapper.parseIBDatetime
    if current is _installed:
        return
    _installed = make_fast_parser(current, util.ZoneInfo)
    wrapper.parseIBDatetime = _installed  # type: ignore[assignment]


def uninstall() -> None:
    global _installed
    from ib_async import wrapper

    if _installed is not None and wrapper.parseIBDatetime is _installed:
        wrapper.parseIBDatetime = _installed.original  # type: ignore[attr-defined]
    _installed = None
