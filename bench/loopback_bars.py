"""How long the loopback gateway (generated sample data) takes to connect and to stream bars.

Run: PYTHONPATH=console .venv/bin/python bench/loopback_bars.py
"""

from __future__ import annotations

import asyncio
import datetime as dt
import time

from ib_async import IB, Stock

from corvane_loopback import LoopbackGateway
from corvane_loopback.market_calendar import EXCHANGE_TZ

CASES = [
    ("1 min, 1 Y (about 100,000 bars)", "1 Y", "1 min", "ADJUSTED_LAST"),
    ("1 day, 10 Y", "10 Y", "1 day", "TRADES"),
    ("1 day, 10 Y again (cached days)", "10 Y", "1 day", "TRADES"),
    ("5 mins, 20 D", "20 D", "5 mins", "TRADES"),
]


async def main() -> None:
    async with LoopbackGateway(now=dt.datetime(2025, 3, 5, 12, tzinfo=EXCHANGE_TZ)) as gw:
        ib = IB()
        started = time.perf_counter()
        await ib.connectAsync("127.0.0.1", gw.port, clientId=1, readonly=True, timeout=5)
        print(f"{'connectAsync':40} {time.perf_counter() - started:7.3f} s")
        for label, duration, size, what in CASES:
            started = time.perf_counter()
            bars = await ib.reqHistoricalDataAsync(Stock("NVDA", "SMART", "USD"), "", duration, size, what, True)
            print(f"{label:40} {time.perf_counter() - started:7.3f} s  {len(bars):7d} bars")
        ib.disconnect()


if __name__ == "__main__":
    asyncio.run(main())
