"""The broker's pacing of historical requests, across every client of the gateway.

A request for bars of 30 secs or less is a violation when an identical one was accepted
within 15 s, when 6 or more for the same contract, exchange and data type would fall
within 2 s, or when more than 60 would fall within 10 minutes; a BID_ASK request counts
twice. The broker has lifted these for bars of 1 min and larger, which only the farm's
own speed holds back. At most 50 requests of any size may be open (unanswered) at once.
Windows are measured on this process's monotonic clock, scaled by ``scale`` so tests can
pace in seconds; the gateway's frozen ``now`` is for the data only.
"""

from __future__ import annotations

import dataclasses
import time
from collections import deque
from collections.abc import Callable, Hashable

from .history_request import HMDS, SECOND_BAR_SIZES, HistoryRequest, Refusal

IDENTICAL_WINDOW = 15.0
SAME_CONTRACT_WINDOW, SAME_CONTRACT_LIMIT = 2.0, 6
ALL_WINDOW, ALL_LIMIT = 600.0, 60
OPEN_LIMIT = 50

# The real gateway's words: error 162 for pacing, 322 for too many open requests.
PACING_VIOLATION = HMDS + "Historical data request pacing violation"
TOO_MANY_OPEN = "Error processing request.-'bH' : cause - Only 50 simultaneous API historical data requests allowed."


class Pacer:
    """Admits or refuses each historical request as it arrives; refused ones do not count."""

    def __init__(self, scale: float = 1.0, clock: Callable[[], float] = time.monotonic):
        if not scale >= 0:
            raise ValueError(f"pace_scale must be 0 or more, not {scale}")
        self.scale = scale
        self._clock = clock
        self._identical: dict[Hashable, float] = {}
        self._by_contract: dict[Hashable, deque[float]] = {}
        self._all: deque[float] = deque()

    def admit(
        self, identity: Hashable, contract: Hashable, open_requests: int, bar_size: str, what_to_show: str = "TRADES"
    ) -> None:
        """Record a request, or raise the refusal the real gateway gives for it."""
        if open_requests >= OPEN_LIMIT:
            raise Refusal(322, TOO_MANY_OPEN)
        if self.scale == 0 or bar_size not in SECOND_BAR_SIZES:
            return
        weight = 2 if what_to_show == "BID_ASK" else 1
        now = self._clock()
        self._forget(now)
        same = self._by_contract.setdefault(contract, deque())
        if (
            identity in self._identical
            or len(same) + weight >= SAME_CONTRACT_LIMIT
            or len(self._all) + weight > ALL_LIMIT
        ):
            if not same:
                del self._by_contract[contract]  # a refusal leaves nothing behind
            raise Refusal(162, PACING_VIOLATION)
        self._identical[identity] = now
        same.extend([now] * weight)
        self._all.extend([now] * weight)

    def admit_request(self, request: HistoryRequest, contract: Hashable, open_requests: int) -> None:
        """:meth:`admit` for a bars request: identical whatever its id; ``contract`` names its
        contract, and the broker counts per contract, exchange and data type."""
        identity = dataclasses.replace(request, req_id=0)
        same = (contract, request.contract.exchange.upper(), request.what_to_show)
        self.admit(identity, same, open_requests, request.bar_size, request.what_to_show)

    def _forget(self, now: float) -> None:
        """Drop what has left its window, so memory stays bounded by the limits."""
        for identity, at in list(self._identical.items()):
            if now - at >= IDENTICAL_WINDOW * self.scale:
                del self._identical[identity]
        for contract, times in list(self._by_contract.items()):
            _expire(times, now, SAME_CONTRACT_WINDOW * self.scale)
            if not times:
                del self._by_contract[contract]
        _expire(self._all, now, ALL_WINDOW * self.scale)


def _expire(times: deque[float], now: float, window: float) -> None:
    while times and now - times[0] >= window:
        times.popleft()
