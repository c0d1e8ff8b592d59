"""How long the gateway's one-minute bars take to become bar records: the
sorvel module's path against pandas' own, side by side.

The module is driven the way the console drives it: IOpSorvel._intraday with
a gateway client that answers with the bars at once, the table printer and
the logger replaced by no-ops, and the candle cache emptied before each run,
so every run builds the table and the records. pandas' path is
pd.DataFrame(bars), convert_dtypes(), dropping the time zone of "date",
to_dict(orient="records"). Both results are checked to be equal, value by
value and type by type, before any figure is printed.

Run (after scripts/dev-build.sh):
    PYTHONPATH=console .venv/bin/python bench/bars_to_records.py
or with the package installed:
    .venv/bin/python bench/bars_to_records.py
"""

from __future__ import annotations

import asyncio
import datetime as dt
import math
import random
import sys
import time
from zoneinfo import ZoneInfo

import pandas as pd
from ib_async import BarData, BarDataList

import corvane.cmds.quotes.sorvel as sorvel

SIZES = (250, 10_000, 100_000)
NEW_YORK = ZoneInfo("America/New_York")


def minute_bars(n: int) -> BarDataList:
    """n one-minute bars as ib_async delivers them: aware datetimes, float prices and volumes, int counts."""
    rnd = random.Random(n)
    first = dt.datetime(2025, 3, 3, 9, 30, tzinfo=NEW_YORK)
    bars = BarDataList()
    price = 187.25
    for i in range(n):
        open_ = round(price, 2)
        price = max(1.0, price + rnd.gauss(0, 0.08))
        close = round(price, 2)
        high = round(max(open_, close) + abs(rnd.gauss(0, 0.05)), 2)
        low = round(min(open_, close) - abs(rnd.gauss(0, 0.05)), 2)
        bars.append(BarData(
            date=first + dt.timedelta(minutes=i), open=open_, high=high, low=low, close=close,
            volume=float(rnd.randint(200, 60_000)), average=round((open_ + high + low + close) / 4, 4),
            barCount=rnd.randint(5, 900)))
    return bars


def pandas_records(bars) -> list[dict]:
    df = pd.DataFrame(bars).convert_dtypes()
    try:
        df["date"] = df["date"].dt.tz_localize(None)
    except Exception:
        pass
    return df.to_dict(orient="records")


class GatewayClient:
    def __init__(self, bars):
        self.bars = bars

    async def reqHistoricalDataAsync(self, *args, **kwargs):
        return self.bars


class Quiet:
    def __getattr__(self, name):
        return lambda *args, **kwargs: None


def module_records(bars) -> list[dict]:
    sorvel._sorvel_cache = None
    command = sorvel.IOpSorvel(state=None, ib=GatewayClient(bars), cache=None)
    command.symbol = "AAPL"
    result = asyncio.run(command._intraday(None))
    return result["bars"]


def same(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a is b if a is None else a == b


def check_equal(ours: list[dict], theirs: list[dict]) -> None:
    if len(ours) != len(theirs):
        raise SystemExit(f"record counts differ: {len(ours)} != {len(theirs)}")
    for i, (a, b) in enumerate(zip(ours, theirs)):
        if list(a) != list(b) or not all(same(a[k], b[k]) for k in b):
            raise SystemExit(f"record {i} differs:\n  ours:   {a!r}\n  pandas: {b!r}")


def best_of(runs: int, f, bars) -> float:
    best = math.inf
    for _ in range(runs):
        started = time.perf_counter()
        f(bars)
        best = min(best, time.perf_counter() - started)
    return best


def main() -> None:
    sorvel.printFrame = lambda frame, title: None
    sorvel.logger = Quiet()
    print(f"Python {sys.version.split()[0]}, pandas {pd.__version__}; best of several runs, whole path bars -> records")
    print(f"{'bars':>8}  {'sorvel':>10}  {'pandas':>10}  {'speed-up':>8}")
    for n in SIZES:
        bars = minute_bars(n)
        check_equal(module_records(bars), pandas_records(bars))
        runs = 3 if n >= 100_000 else 7
        ours = best_of(runs, module_records, bars)
        theirs = best_of(runs, pandas_records, bars)
        print(f"{n:>8,}  {ours * 1000:>8.1f}ms  {theirs * 1000:>8.1f}ms  {theirs / ours:>7.1f}x")


if __name__ == "__main__":
    main()
