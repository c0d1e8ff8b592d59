"""The console's one clock: what "now" and "today" are.

Everything in the console that needs the current date or time asks here. The
clock can be frozen at one instant (``CORVANE_NOW`` in the environment, or
:func:`freeze`), for demos against the loopback gateway's frozen clock and for
tests, which must give the same answer at whatever hour they run. While it is
frozen, the command modules see the same instant: their ``datetime`` global
is swapped for a copy of the module whose ``datetime.now()`` answers the
frozen instant (the modules read their globals at
call time, so nothing else in them changes).
"""

from __future__ import annotations

import datetime as dt
import os
import sys
import types
from collections.abc import Mapping

NOW_ENV = "CORVANE_NOW"
#: A naive instant given to :func:`freeze` is New York time, like the loopback gateway's ``--now``.
EXCHANGE_ZONE = "America/New_York"
#: Command modules whose ``datetime`` global follows a frozen clock.
_FOLLOWERS = ("corvane.cmds.",)

_frozen: dt.datetime | None = None


class ClockError(ValueError):
    """A frozen instant that cannot be read."""


def now(tz: dt.tzinfo | None = None) -> dt.datetime:
    """Like ``datetime.now(tz)``: naive local time without a zone."""
    if _frozen is None:
        return dt.datetime.now(tz)
    return _frozen.astimezone(tz) if tz is not None else _frozen.astimezone().replace(tzinfo=None)


def today() -> dt.date:
    """The local calendar date."""
    return now().date()


def frozen() -> dt.datetime | None:
    return _frozen


def parse_instant(text: str) -> dt.datetime:
    """An ISO date and time; without an offset it is New York time."""
    try:
        instant = dt.datetime.fromisoformat(text.strip())
    except ValueError:
        raise ClockError(f"{NOW_ENV} must be an ISO date and time, not {text!r}") from None
    if instant.tzinfo is None:
        from zoneinfo import ZoneInfo

        instant = instant.replace(tzinfo=ZoneInfo(EXCHANGE_ZONE))
    return instant


def freeze(instant: dt.datetime | str | None) -> None:
    """Stop the clock at ``instant`` (None lets it run again)."""
    global _frozen
    if isinstance(instant, str):
        instant = parse_instant(instant)
    elif instant is not None and instant.tzinfo is None:
        instant = parse_instant(instant.isoformat())
    _frozen = instant
    for name, module in list(sys.modules.items()):
        if name.startswith(_FOLLOWERS):
            follow(module)


def freeze_from_env(env: Mapping[str, str] | None = None) -> None:
    """Freeze the clock when ``CORVANE_NOW`` says so; ClockError for text that is no instant."""
    text = (os.environ if env is None else env).get(NOW_ENV, "").strip()
    if text:
        freeze(text)


def follow(module: object) -> None:
    """Point a command module's ``datetime`` global at this clock while it is frozen."""
    current = getattr(module, "datetime", None)
    if current is dt or current is _FROZEN_DATETIME:
        setattr(module, "datetime", dt if _frozen is None else _FROZEN_DATETIME)  # noqa: B010


class _Datetime(dt.datetime):
    @classmethod
    def now(cls, tz: dt.tzinfo | None = None) -> dt.datetime:  # type: ignore[override]
        return now(tz)

    @classmethod
    def today(cls) -> dt.datetime:  # type: ignore[override]
        return now()


def _frozen_datetime_module() -> types.ModuleType:
    module = types.ModuleType("datetime", dt.__doc__)
    module.__dict__.update({k: v for k, v in vars(dt).items() if not k.startswith("__")})
    module.datetime = _Datetime  # type: ignore[attr-defined]
    return module


_FROZEN_DATETIME = _frozen_datetime_module()
