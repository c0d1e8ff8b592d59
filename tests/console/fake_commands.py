"""Command: fakebars

Category: Test Tools
"""

from __future__ import annotations

import asyncio
import datetime as dt
from dataclasses import dataclass, field

import pandas as pd
from loguru import logger

from corvane.cmds.base import IOp, command
from ferrut.dispatch import DArg
from ferrut.frame import printFrame

#: What the waiting command saw, for the tests that cancel it.
SEEN: dict[str, object] = {}


@command(names=["fakebars"])
@dataclass
class IOpFakebars(IOp):
    """Print made-up bars for a symbol.

    Usage:
        fakebars <symbol> [count]
    """

    symbol: str = field(init=False)
    rest: list[str] = field(init=False)
    requires_gateway = False

    def argmap(self):
        return [DArg("symbol", convert=str.upper), DArg("*rest")]

    async def run(self) -> dict:
        if not self.symbol:
            logger.error("No symbol provided")
            return {"error": "No symbol provided"}
        if self.symbol == "NODATA":
            return {"error": "No data returned", "symbol": self.symbol}
        count = int(self.rest[0]) if self.rest else 3
        bars = [{"date": dt.date(2025, 1, 1) + dt.timedelta(days=i), "open": 99.5 + i,
                 "high": 101.0 + i, "low": 98.5 + i, "close": 100.0 + i, "volume": 1000 * (i + 1)}
                for i in range(count)]
        logger.info("[{}] made {} bars", self.symbol, count)
        printFrame(pd.DataFrame(bars), f"{self.symbol} day ({count} bars)")
        return {"symbol": self.symbol, "bars": bars, "source": "fake",
                "connected": bool(self.state.connected)}


@command(names=["fakeboom"])
@dataclass
class IOpFakeboom(IOp):
    """Fail with an exception."""

    requires_gateway = False

    async def run(self) -> dict:
        raise RuntimeError("kaboom")


@command(names=["fakewait"])
@dataclass
class IOpFakewait(IOp):
    """Wait on a request that never answers, until cancelled."""

    requires_gateway = False

    async def run(self) -> dict:
        pending = asyncio.get_running_loop().create_future()
        SEEN["pending"] = pending
        logger.info("waiting on the request")
        try:
            await pending
        except asyncio.CancelledError:
            logger.info("request cancelled")
            SEEN["cancelled"] = True
            raise
        return {}


@command(names=["fakecount"])
@dataclass
class IOpFakecount(IOp):
    """Take exactly one whole number."""

    n: int = field(init=False)
    requires_gateway = False

    def argmap(self):
        return [DArg("n", convert=int, desc="how many")]

    async def run(self) -> dict:
        return {"n": self.n}


@command(names=["fakegw"])
@dataclass
class IOpFakegw(IOp):
    """Needs the gateway."""

    async def run(self) -> dict:
        return {"ok": True}
