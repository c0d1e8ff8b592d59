"""How close a download comes to what the broker's farm and rules allow, side by side:

- requests planned against the fewest the step table allows;
- the client's own floor: the same download against a gateway with its rules off (no farm
  time, no pacing refusals), so only the client's own pacing and work remain;
- wall time against the farm floor, sum(A + B x bars) / K, for K = 1, 4 and 16 slots (the
  console is not told K);
- a small-bar download (ten days of 5-second bars of one symbol, sent through the
  console's pacer) against its pacing floor;
- the store's answer for a year of one-minute bars.

Every run goes through a counting proxy, which tallies the bars requests the console sent
and the small-bar pacing violations among them. Times are compressed by SCALE on both
sides (gateway and console pacer) so the whole runs in minutes; the machine is shared, so
figures are approximate.

Run:
    PYTHONPATH=console .venv/bin/python bench/download_farm.py [--start 2025-11-03 --end 2025-12-31]
"""

from __future__ import annotations

import argparse
import asyncio
import datetime as dt
import os
import tempfile
import time
from pathlib import Path
from zoneinfo import ZoneInfo

SCALE = 0.1
SMALL_SCALE = 0.01
NEW_YORK = ZoneInfo("America/New_York")
NOW = dt.datetime(2026, 1, 5, 12, 0, tzinfo=NEW_YORK)
SYMBOLS = ("AAPL", "MSFT")
SLOTS = (1, 4, 16)


def _session(port: int, scale: float):
    """A console session through the proxy, its pacer compressed like the gateway."""
    os.environ["CORVANE_PACE_SCALE"] = str(scale)
    import corvane.session
    from corvane.gateway.connection import GatewaySettings
    from corvane.session import Session

    # Each run is a console started afresh: the process's one pacer must not carry the
    # previous run's requests (and its wait for them) into this one.
    if hasattr(corvane.session, "_pacer"):
        corvane.session._pacer = None

    session = Session(GatewaySettings(host="127.0.0.1", port=port, client_id=1, timeout=5.0))
    if not session.connect():
        raise SystemExit("bench: cannot connect to the loopback gateway")
    return session


def _download(gateway_options: dict, scale: float, request, store_dir: Path):
    """One download through a proxy before a fresh gateway: (seconds, tally, gateway, bars)."""
    from corvane.history.download import download
    from corvane.history.store import BarStore
    from corvane_loopback.background import GatewayThread, ServerThread
    from corvane_loopback.proxy import CountingProxy

    with GatewayThread(now=NOW, **gateway_options) as gw, ServerThread(CountingProxy(gw.port, scale=scale)) as proxy:
        session = _session(proxy.port, scale)
        try:
            store = BarStore(store_dir)
            began = time.perf_counter()
            got = session.loop_thread.run_value(lambda: download(session.ib, store, request, connected=True))
            took = time.perf_counter() - began
        finally:
            session.close()
        bars = sum(len(s.bars) for s in got.symbols if s.bars is not None)
        return took, proxy.server.tally(), gw.gateway, bars


def _small_bar_chunks(days: int):
    """Ten sessions of 5-second bars of one symbol: an hour (the step limit) per request."""
    from corvane.history.plan import NYSE_HOLIDAYS, HistoryChunk, format_end, trading_days

    sessions = trading_days(NOW.date() - dt.timedelta(days=3 * days), NOW.date() - dt.timedelta(days=1), NYSE_HOLIDAYS)
    chunks = []
    for day in sessions[-days:]:
        opens = dt.datetime(day.year, day.month, day.day, 9, 30, tzinfo=NEW_YORK)
        closes = opens + dt.timedelta(hours=6, minutes=30)
        end = opens
        while end < closes:
            start, end = end, min(end + dt.timedelta(hours=1), closes)
            seconds = int((end - start).total_seconds())
            chunks.append(HistoryChunk(format_end(end), f"{seconds} S", "5 secs", "TRADES", True, start, end, day, day))
    return chunks


def _small_bars() -> tuple[float, float, int, int, int, int]:
    from ib_async import Stock

    from corvane.history.plan import estimate
    from corvane_loopback.background import GatewayThread, ServerThread
    from corvane_loopback.proxy import CountingProxy

    chunks = _small_bar_chunks(10)
    floor = estimate(chunks, SMALL_SCALE)
    with (
        GatewayThread(now=NOW, rules=True, pace_scale=SMALL_SCALE) as gw,
        ServerThread(CountingProxy(gw.port, scale=SMALL_SCALE)) as proxy,
    ):
        session = _session(proxy.port, SMALL_SCALE)
        try:
            contract = Stock("AAPL", "SMART", "USD")

            async def fetch():
                return await asyncio.gather(
                    *(
                        session.ib.reqHistoricalDataAsync(
                            contract, c.end_datetime, c.duration, c.bar_size, c.what_to_show, c.use_rth
                        )
                        for c in chunks
                    )
                )

            began = time.perf_counter()
            answers = session.loop_thread.run(fetch).value
            took = time.perf_counter() - began
        finally:
            session.close()
        tally = proxy.server.tally()
    expected = sum(int((c.end - c.start).total_seconds()) // 5 for c in chunks)
    return took, floor, tally.requests, tally.violations, sum(len(a) for a in answers), expected


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--start", type=dt.date.fromisoformat, default=dt.date(2025, 11, 3))
    parser.add_argument("--end", type=dt.date.fromisoformat, default=dt.date(2025, 12, 31))
    args = parser.parse_args()

    from corvane import clock
    from corvane.history.download import Request
    from corvane.history.plan import HistoryQuery, estimate, minimum_requests, plan
    from corvane_loopback.farm import DEFAULT_BASE, DEFAULT_PER_BAR, FarmModel

    clock.freeze(NOW)
    query = HistoryQuery("1m", start=args.start, end=args.end)
    planned = len(plan(query, NOW)) * len(SYMBOLS)
    least = minimum_requests(query, NOW) * len(SYMBOLS)
    request = Request(SYMBOLS, interval="1m", start=args.start, end=args.end)
    print(f"{' '.join(SYMBOLS)} {args.start} → {args.end}, 1 min bars; times compressed ×{SCALE:g} on both sides")
    print(f"planned requests: {planned:,}, minimum the step table allows: {least:,} (ratio {planned / least:.2f})")
    print(f"farm model: {DEFAULT_BASE:g} s + {DEFAULT_PER_BAR * 1000:g} ms per bar, per request")
    print()
    print(
        f"{'gateway':<22}{'wall s':>9}{'floor s':>9}{'ratio':>7}{'requests':>10}{'violations':>11}{'mean wait s':>12}"
    )

    with tempfile.TemporaryDirectory() as tmp:
        # the client's floor: what its own pacing model makes the plan wait, with no gateway cost at all
        own = estimate({s: plan(query, NOW) for s in SYMBOLS}, SCALE)
        took, tally, _, bars = _download({"rules": False}, SCALE, request, Path(tmp) / "off")
        print(
            f"{'rules off (client)':<22}{took:>9.2f}{own:>9.2f}{took / max(own, 1e-9):>7.2f}"
            f"{tally.requests:>10}{tally.violations:>11}"
        )
        for slots in SLOTS:
            options = {"rules": True, "pace_scale": SCALE, "farm_slots": slots}
            took, tally, gateway, _ = _download(options, SCALE, request, Path(tmp) / f"k{slots}")
            model = FarmModel(slots)
            log = list(gateway.farm_log)
            floor = sum(model.service_time(s.bars) for s in log) * SCALE / slots
            wait = sum(s.waited for s in log) / max(1, len(log))
            print(
                f"{f'farm K={slots}':<22}{took:>9.2f}{floor:>9.2f}{took / floor:>7.2f}"
                f"{tally.requests:>10}{tally.violations:>11}{wait:>12.3f}"
            )
        print(f"({bars:,} bars per download)")
        print()

        took, floor, sent, violations, small_bars, expected = _small_bars()
        print(
            f"small bars: AAPL 10 sessions of 5 secs, {sent} requests, {small_bars:,} of {expected:,} bars, "
            f"×{SMALL_SCALE:g}: "
            f"{took:.2f} s against a pacing floor of {floor:.2f} s (ratio {took / floor:.2f}); "
            f"violations seen by the proxy: {violations}"
        )

        # A year of minutes into a store, then the store's answer for it.
        year = Request(("AAPL",), interval="1m", start=dt.date(2025, 1, 2), end=dt.date(2025, 12, 31))
        store_dir = Path(tmp) / "year"
        fetched, _, _, year_bars = _download({"rules": False}, SMALL_SCALE, year, store_dir)
        answered, tally, _, _ = _download({"rules": False}, SMALL_SCALE, year, store_dir)
        print(
            f"a year of minutes (AAPL 2025, {year_bars:,} bars): fetched in {fetched:.2f} s (×{SMALL_SCALE:g}), "
            f"the store's answer {answered:.3f} s with {tally.requests} gateway requests"
        )


if __name__ == "__main__":
    main()
