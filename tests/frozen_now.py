"""The instant every test runs at, whatever the hour: a Wednesday evening in New York,
after the close, so today's session is whole. The console's clock and every loopback
gateway are frozen there (``conftest.py``); a test that wants another instant says so."""

import datetime as dt
from zoneinfo import ZoneInfo

NOW = dt.datetime(2025, 3, 5, 17, 30, tzinfo=ZoneInfo("America/New_York"))
#: The console's today at ``NOW``: the local calendar date.
TODAY = NOW.astimezone().date()
