"""The knobs that make the loopback gateway misbehave on purpose, and its clock."""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass, field

from .history import HistoryPolicy
from .market_calendar import EXCHANGE_TZ
from .market_data import QuotePolicy

DEFAULT_ACCOUNT = "DU1000001"


@dataclass
class Behaviour:
    """Mutable at run time: a test may change a knob between two requests.

    ``fixed_now`` freezes the gateway's clock (a naive value is exchange time);
    ``history_delay`` holds every bars answer back that many seconds;
    ``drop_after_history_requests`` answers that many bars requests and drops
    every connection when the next one arrives; ``quotes`` says how market
    data is served.
    """

    account: str = DEFAULT_ACCOUNT
    history_delay: float = 0.0
    drop_after_history_requests: int | None = None
    fixed_now: dt.datetime | None = None
    policy: HistoryPolicy = field(default_factory=HistoryPolicy)
    quotes: QuotePolicy = field(default_factory=QuotePolicy)

    def __post_init__(self):
        if not self.account or "," in self.account:
            raise ValueError(f"account must be one non-empty name without commas, not {self.account!r}")
        if self.history_delay < 0:
            raise ValueError(f"history_delay must not be negative, not {self.history_delay}")
        if self.drop_after_history_requests is not None and self.drop_after_history_requests < 0:
            raise ValueError(
                f"drop_after_history_requests must not be negative, not {self.drop_after_history_requests}"
            )
        if self.policy.max_bars < 1:
            raise ValueError(f"max_bars must be positive, not {self.policy.max_bars}")
        if self.fixed_now is not None and self.fixed_now.tzinfo is None:
            self.fixed_now = self.fixed_now.replace(tzinfo=EXCHANGE_TZ)

    def now(self) -> dt.datetime:
        return self.fixed_now or dt.datetime.now(EXCHANGE_TZ)
