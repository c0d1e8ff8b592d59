"""How long bars take to become bar records: the sorvel module's paths
against pandas' own, side by side, in one run.

Gateway path: IOpSorvel._intraday with a gateway client that answers with
the bars at once. pandas' path is pd.DataFrame(bars), convert_dtypes(),
dropping the time zone of "date", to_dict(orient="records").

Yahoo path: IOpSorvel._intraday_yfinance with the download answering a
yfinance-shaped frame at once. pandas' path is the normalisation done with
pandas step by step (reset_index, rename, drop, astype, tz_localize(None),
convert_dtypes) and to_dict(orient="records").

pandas' paths are the references the bar-table tests compare with
(tests/sorvel_frames/sorvel_frames_support.py).

Both run on synthetic one-minute bars (round the clock, so across the
clock changes) and on bars decoded by the real ib_async client from the
loopback gateway (captured once per run, on a free port). The table printer
and the logger are no-ops and the candle cache is emptied before each run,
so every run builds the table and the records. Every result is checked to
equal pandas', value by value and type by type, before any figure is
printed; the runs of both sides are interleaved (three of the module's
path to one of pandas') and the best of each kept, in CPU time of the
running thread (all the work is on it).

Run (after scripts/dev-build.sh):
    PYTHONPATH=console .venv/bin/python bench/bars_to_records.py
or with the package installed:
    .venv/bin/python bench/bars_to_records.py
"""

from __future__ import annotations

import asyncio
import datetime as dt
import math
import pathlib
import random
import sys
import time
from zoneinfo import ZoneInfo

import pandas as pd
from ib_async import IB, BarData, BarDataList, Stock

import corvane.cmds.quotes.sorvel as sorvel
from corvane_loopback import LoopbackGateway
from corvane_loopback.market_calendar import EXCHANGE_TZ

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "sorvel_frames"))
from sorvel_frames_support import plain_normalized, plain_table  # noqa: E402

NEW_YORK = ZoneInfo("America/New_York")
FULL = 100_000
# What the figures should reach at FULL bars: gateway speed-up at least,
# Yahoo time ratio at most.
GATEWAY_TARGET = 13.0
YAHOO_TARGET = 0.35


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


async def _capture(n: int) -> BarDataList:
    async with LoopbackGateway(now=dt.datetime(2025, 3, 5, 12, tzinfo=EXCHANGE_TZ)) as gateway:
        ib = IB()
        await ib.connectAsync("127.0.0.1", gateway.port, clientId=1, readonly=True, timeout=10)
        try:
            bars = await ib.reqHistoricalDataAsync(Stock("NVDA", "SMART", "USD"), "", "1 Y", "1 min",
                                                   "TRADES", True, timeout=300)
        finally:
            ib.disconnect()
    if len(bars) < n:
        raise SystemExit(f"the loopback gateway sent {len(bars)} bars, fewer than {n}")
    kept = BarDataList()
    kept.extend(bars[-n:])
    return kept


def client_bars(n: int) -> BarDataList:
    """The last n one-minute bars of a year, as the real client decodes them from the loopback gateway."""
    from loguru import logger
    logger.remove()
    return asyncio.run(_capture(n))


def yahoo_frame(bars) -> pd.DataFrame:
    """The bars as yfinance's history() shapes them: a zoned time index and capitalised columns."""
    index = pd.DatetimeIndex([bar.date for bar in bars]).tz_convert("America/New_York").rename("Datetime")
    return pd.DataFrame({
        "Open": [bar.open for bar in bars], "High": [bar.high for bar in bars], "Low": [bar.low for bar in bars],
        "Close": [bar.close for bar in bars], "Volume": [int(bar.volume) for bar in bars],
        "Dividends": 0.0, "Stock Splits": 0.0,
    }, index=index)


# -- pandas' own paths: the tests' references -----------------------------------

def pandas_gateway_records(bars) -> list[dict]:
    return plain_table(bars).to_dict(orient="records")


def pandas_yahoo_records(hist: pd.DataFrame) -> list[dict]:
    return plain_normalized(hist).to_dict(orient="records")


# -- the module's paths ----------------------------------------------------------

class GatewayClient:
    def __init__(self, bars):
        self.bars = bars

    async def reqHistoricalDataAsync(self, *args, **kwargs):
        return self.bars


class Quiet:
    def __getattr__(self, name):
        return lambda *args, **kwargs: None


# One event loop for every run, as the console has one.
LOOP = asyncio.new_event_loop()


def module_gateway_records(bars) -> list[dict]:
    sorvel._sorvel_cache = None
    command = sorvel.IOpSorvel(state=None, ib=GatewayClient(bars), cache=None)
    command.symbol = "AAPL"
    return LOOP.run_until_complete(command._intraday(None))["bars"]


def module_yahoo_records(hist) -> list[dict]:
    sorvel._sorvel_cache = None
    command = sorvel.IOpSorvel(state=None, ib=None, cache=None)
    command.symbol = "AAPL"

    async def download(**kwargs):
        return hist

    command._yf_history = download
    return LOOP.run_until_complete(command._intraday_yfinance())["bars"]


# -- checking and timing -----------------------------------------------------------

def same(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a is b if a is None else a == b


def check_equal(label: str, ours: list[dict], theirs: list[dict]) -> None:
    if len(ours) != len(theirs):
        raise SystemExit(f"{label}: record counts differ: {len(ours)} != {len(theirs)}")
    for i, (a, b) in enumerate(zip(ours, theirs)):
        if list(a) != list(b) or not all(same(a[k], b[k]) for k in b):
            raise SystemExit(f"{label}: record {i} differs:\n  ours:   {a!r}\n  pandas: {b!r}")


def timed(f, data) -> float:
    # CPU time of this thread: on a shared machine wall time mostly measures the neighbours.
    started = time.thread_time()
    f(data)
    return time.thread_time() - started


def main() -> None:
    sorvel.printFrame = lambda frame, title: None
    sorvel.logger = Quiet()
    print(f"Python {sys.version.split()[0]}, pandas {pd.__version__}; "
          "bars -> records, CPU time of the best of interleaved runs")
    print("capturing bars from the loopback gateway through the real client ...", flush=True)
    real = client_bars(FULL)
    synthetic = {n: minute_bars(n) for n in (250, 10_000, FULL)}
    cases = [(f"gateway, synthetic, {n:,}", module_gateway_records, pandas_gateway_records, bars, 7 if n < FULL else 4)
             for n, bars in synthetic.items()]
    cases += [
        (f"gateway, real client, {FULL:,}", module_gateway_records, pandas_gateway_records, real, 4),
        (f"Yahoo, synthetic, {FULL:,}", module_yahoo_records, pandas_yahoo_records, yahoo_frame(synthetic[FULL]), 5),
        (f"Yahoo, real client, {FULL:,}", module_yahoo_records, pandas_yahoo_records, yahoo_frame(real), 5),
    ]
    for label, ours, theirs, data, _ in cases:
        check_equal(label, ours(data), theirs(data))

    print(f"{'path':32}  {'sorvel':>10}  {'pandas':>10}  {'speed-up':>8}  {'time ratio':>10}  target")
    for label, ours, theirs, data, runs in cases:
        best_ours = best_theirs = math.inf
        # Each round times the module's path (the short one) three times and
        # pandas' once: more samples where a minimum is easier to miss.
        for _ in range(runs):
            for _ in range(3):
                best_ours = min(best_ours, timed(ours, data))
            best_theirs = min(best_theirs, timed(theirs, data))
        target = ""
        if label.endswith(f"{FULL:,}"):
            target = f">= {GATEWAY_TARGET:g}x" if label.startswith("gateway") else f"<= {YAHOO_TARGET:g}"
        print(f"{label:32}  {best_ours * 1000:>8.1f}ms  {best_theirs * 1000:>8.1f}ms  "
              f"{best_theirs / best_ours:>7.1f}x  {best_ours / best_theirs:>10.3f}  {target}", flush=True)


if __name__ == "__main__":
    main()
