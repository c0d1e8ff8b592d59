"""The broker's historical data farm: every bars request costs server time, and only a few
are worked on at once per connection.

Public reports put one request of a day of one-minute bars at about 0.6 s, and fifty sent
together at about 1.4 s: a fixed cost per request plus a little per bar, with several
served side by side and the rest waiting in line. The model here is that: ``base + per_bar
x bars`` seconds in one of ``slots`` places per connection, times the gateway's pace scale.
The defaults follow the first figure; with four slots, fifty small answers take about
2.5 s, the same order as the second. A client that sends more than ``slots`` at once sees
its latency grow, as it would against the real farm; the answers themselves are the same
whatever the timing.
"""

from __future__ import annotations

import asyncio
import math
import struct
from collections import deque
from collections.abc import Awaitable, Callable
from dataclasses import dataclass

DEFAULT_SLOTS = 4
DEFAULT_BASE = 0.2  # seconds per request
DEFAULT_PER_BAR = 0.001  # seconds per bar: a day of minutes (390 bars) takes about 0.6 s

# the historical-bars message id; anything else (an error) carries no bars
_BARS_MESSAGE = b"17"
#: answers a gateway remembers the cost of, so a long-running one stays bounded
LOG_LIMIT = 100_000


@dataclass(frozen=True)
class FarmModel:
    slots: int = DEFAULT_SLOTS
    base: float = DEFAULT_BASE
    per_bar: float = DEFAULT_PER_BAR

    def __post_init__(self):
        if isinstance(self.slots, bool) or not isinstance(self.slots, int) or self.slots < 1:
            raise ValueError(f"farm_slots must be a whole number, 1 or more, not {self.slots!r}")
        for name, value in (("base", self.base), ("per bar", self.per_bar)):
            if not (math.isfinite(value) and value >= 0):
                raise ValueError(f"farm latency {name} must be a number of seconds, 0 or more, not {value!r}")

    def service_time(self, bars: int) -> float:
        """Seconds of server time one answer of ``bars`` bars takes, at scale 1."""
        return self.base + self.per_bar * bars


def parse_latency(text: str) -> tuple[float, float]:
    """``"A,B"``: seconds per request and per bar, as ``--farm-latency`` takes them."""
    parts = text.split(",")
    try:
        if len(parts) != 2:
            raise ValueError
        base, per_bar = float(parts[0]), float(parts[1])
    except ValueError:
        raise ValueError(
            f"farm latency must be two numbers of seconds, A,B (per request, per bar), not {text!r}"
        ) from None
    FarmModel(1, base, per_bar)  # the same checks as the keyword arguments get
    return base, per_bar


def bars_in(payload: bytes) -> int:
    """How many bars an encoded answer carries (0 for an error)."""
    fields = payload[struct.calcsize(">I") :].split(b"\0", 5)
    if len(fields) < 6 or fields[0] != _BARS_MESSAGE:
        return 0
    return int(fields[4])


@dataclass(frozen=True)
class Service:
    """What one answer cost on the farm: seconds in line, seconds in a slot, bars served."""

    waited: float
    served: float
    bars: int


class FarmLine:
    """One connection's place at the farm: at most ``model.slots`` answers worked on at once."""

    def __init__(self, model: FarmModel, scale: float, log: deque[Service]):
        self.model = model
        self.scale = scale
        self._slots = asyncio.Semaphore(model.slots)
        self._log = log

    async def serve(self, build: Callable[[], Awaitable[bytes]]) -> bytes:
        """The answer ``build`` makes, once a slot is free and its service time has passed."""
        loop = asyncio.get_running_loop()
        arrived = loop.time()
        async with self._slots:
            began = loop.time()
            payload = await build()
            bars = bars_in(payload)
            # Building the bars is part of the service time, not added to it.
            left = began + self.model.service_time(bars) * self.scale - loop.time()
            if left > 0:
                await asyncio.sleep(left)
            self._log.append(Service(began - arrived, loop.time() - began, bars))
        return payload
