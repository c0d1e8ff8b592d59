"""How close a download comes to what the broker's farm and rules allow, side by side:

- requests planned against the fewest the step table allows;
- the client's own floor: the same download against a gateway with its rules off (no farm
  time, no pacing refusals), so only the client's own pacing and work remain;
- wall time against the farm floor, sum(A + B x bars) / K, for K = 1, 4 and 16 slots (the
  console is not told K);
- a small-bar download (ten sessions of 5-second bars of one symbol, through the console's
  downloader) against its pacing floor;
- the store's answer for a year of one-minute bars.

Every run goes through a counting proxy, which tallies the bars requests the console sent
and the small-bar pacing violations among them. The gateway and the proxy run in a process
of their own, as a user's gateway would, so this process's time is the client's. Times are
compressed by SCALE on both sides (gateway and console pacer). The machine may be shared:
the runs are interleaved and repeated, and each figure is the least of its runs.

Run:
    PYTHONPATH=console .venv/bin/python bench/download_farm.py [--rounds 2] [--start 2025-01-02 --end 2025-12-31]
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import subprocess
import sys
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
#: ten whole sessions of 5-second bars, within the six months such bars reach back
SMALL_DAYS = (dt.date(2025, 12, 10), dt.date(2025, 12, 23))


# -- the gateway's side, in a process of its own -------------------------------------------


def serve(options: dict) -> None:
    """A gateway with ``options`` behind a counting proxy; answers "tally" on stdin until "quit"."""
    from corvane_loopback.background import GatewayThread, ServerThread
    from corvane_loopback.farm import FarmModel
    from corvane_loopback.proxy import CountingProxy

    scale = options.get("pace_scale", 1.0)
    with (
        GatewayThread(now=NOW, **options) as gw,
        ServerThread(CountingProxy(gw.port, scale=scale)) as proxy,
    ):
        print(proxy.port, flush=True)
        for line in sys.stdin:
            if line.strip() != "tally":
                break
            tally, log = proxy.server.tally(), list(gw.gateway.farm_log)
            slots = options.get("farm_slots", 1)
            floor = sum(FarmModel(slots).service_time(s.bars) for s in log) * scale / slots
            wait = sum(s.waited for s in log) / max(1, len(log))
            spread = (tally.last - tally.first) if tally.first is not None and tally.last is not None else 0.0
            figures = {"requests": tally.requests, "violations": tally.violations, "floor": floor, "wait": wait,
                       "spread": spread, "first": tally.first, "last": tally.last}  # fmt: skip
            print(json.dumps(figures), flush=True)


class Gateway:
    """The serving process, from this side."""

    def __init__(self, options: dict) -> None:
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", json.dumps(options)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        assert self.process.stdout is not None
        self.port = int(self.process.stdout.readline())

    def figures(self) -> dict:
        assert self.process.stdin is not None and self.process.stdout is not None
        self.process.stdin.write("tally\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def close(self) -> None:
        assert self.process.stdin is not None
        self.process.stdin.close()
        self.process.wait(10)


# -- the console's side ----------------------------------------------------------------------


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


def download(options: dict, scale: float, request, home: Path) -> tuple[float, dict, int]:
    """One download through a proxy before a fresh gateway: (seconds, the gateway's figures, bars)."""
    from corvane.history.download import download
    from corvane.history.store import BarStore

    os.environ["CORVANE_HOME"] = str(home)  # a ledger of its own: no run waits for another's
    gateway = Gateway(options)
    try:
        session = _session(gateway.port, scale)
        try:
            store = BarStore(home / "bars")
            began, since, work = time.perf_counter(), time.monotonic(), time.process_time()
            got = session.loop_thread.run_value(lambda: download(session.ib, store, request, connected=True))
            took = time.perf_counter() - began
            work = time.process_time() - work
        finally:
            session.close()
        figures = gateway.figures()
        figures["cpu"] = work
        # Both processes read the machine's one monotonic clock: when the requests came, from our start.
        figures["first"] = None if figures["first"] is None else figures["first"] - since
        figures["last"] = None if figures["last"] is None else figures["last"] - since
    finally:
        gateway.close()
    bars = sum(len(s.bars) for s in got.symbols if s.bars is not None)
    return took, figures, bars


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--start", type=dt.date.fromisoformat, default=dt.date(2025, 1, 2))
    parser.add_argument("--end", type=dt.date.fromisoformat, default=dt.date(2025, 12, 31))
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(json.loads(args.serve))
        return

    from corvane import clock
    from corvane.history.download import Request
    from corvane.history.plan import HistoryQuery, estimate, minimum_requests, plan
    from corvane_loopback.farm import DEFAULT_BASE, DEFAULT_PER_BAR

    clock.freeze(NOW)
    query = HistoryQuery("1m", start=args.start, end=args.end)
    planned = len(plan(query, NOW)) * len(SYMBOLS)
    least = minimum_requests(query, NOW) * len(SYMBOLS)
    request = Request(SYMBOLS, interval="1m", start=args.start, end=args.end)
    small = Request(("AAPL",), interval="5s", start=SMALL_DAYS[0], end=SMALL_DAYS[1])
    small_plan = plan(small.query(), NOW)
    small_floor = estimate(small_plan, SMALL_SCALE)
    year = Request(("AAPL",), interval="1m", start=dt.date(2025, 1, 2), end=dt.date(2025, 12, 31))

    print(f"{' '.join(SYMBOLS)} {args.start} → {args.end}, 1 min bars; times compressed ×{SCALE:g} on both sides")
    print(f"planned requests: {planned:,}, minimum the step table allows: {least:,} (ratio {planned / least:.2f})")
    print(f"farm model: {DEFAULT_BASE:g} s + {DEFAULT_PER_BAR * 1000:g} ms per bar, per request")
    print(f"{args.rounds} rounds, interleaved; each figure the least of its rounds (a shared machine)")

    runs = {"client": {"rules": False}}
    runs.update({f"K={k}": {"rules": True, "pace_scale": SCALE, "farm_slots": k} for k in SLOTS})
    best: dict[str, tuple[float, dict, int]] = {}
    small_best: tuple[float, dict, int] | None = None
    store_best: tuple[float, float, dict] | None = None
    with tempfile.TemporaryDirectory() as tmp:
        for n in range(args.rounds):
            for name, options in runs.items():
                got = download(options, SCALE, request, Path(tmp) / f"{name}-{n}")
                if name not in best or got[0] < best[name][0]:
                    best[name] = got
            got = download({"rules": True, "pace_scale": SMALL_SCALE}, SMALL_SCALE, small, Path(tmp) / f"small-{n}")
            if small_best is None or got[0] < small_best[0]:
                small_best = got
            # A year of minutes into a store, then the store's answer for it.
            home = Path(tmp) / f"year-{n}"
            fetched, _, year_bars = download({"rules": False}, SMALL_SCALE, year, home)
            answered, figures, _ = download({"rules": False}, SMALL_SCALE, year, home)
            if store_best is None or answered < store_best[1]:
                store_best = (fetched, answered, {**figures, "bars": year_bars})

    print()
    print(
        f"{'gateway':<20}{'wall s':>9}{'floor s':>9}{'ratio':>7}{'requests':>10}{'violations':>11}{'mean wait s':>12}"
    )
    from ib_async.client import Client

    # The client library sends at most MaxRequests messages a second (the API closes a client
    # sending more than 50): every bars request is one, so this bounds any download.
    rate = Client.MaxRequests / Client.RequestsInterval
    own = best["client"][0]
    took, figures, bars = best["client"]
    least = planned / rate
    print(
        f"{'rules off (client)':<20}{took:>9.2f}{least:>9.2f}{took / least:>7.2f}{figures['requests']:>10}"
        f"{figures['violations']:>11}   (floor: {rate:g} messages a second; "
        f"this process's CPU {figures['cpu']:.2f} s)"
    )
    for k in SLOTS:
        took, figures, _ = best[f"K={k}"]
        floor = max(figures["floor"], own)
        bound = "farm" if figures["floor"] >= own else "client"
        print(
            f"{f'farm K={k} ({bound})':<20}{took:>9.2f}{floor:>9.2f}{took / floor:>7.2f}"
            f"{figures['requests']:>10}{figures['violations']:>11}{figures['wait']:>12.3f}"
        )
    print(f"({bars:,} bars per download; floor: the larger of the farm's and the client's own)")
    print()
    assert small_best is not None and store_best is not None
    took, figures, got = small_best
    expected = sum(int((c.end - c.start).total_seconds()) // 5 for c in small_plan)
    print(
        f"small bars: AAPL {SMALL_DAYS[0]} → {SMALL_DAYS[1]} 5 secs, {figures['requests']} requests "
        f"({len(small_plan)} planned), {got:,} of {expected:,} bars, ×{SMALL_SCALE:g}: {took:.2f} s against "
        f"a pacing floor of {small_floor:.2f} s (ratio {took / small_floor:.2f}; first to last request "
        f"{figures['spread']:.2f} s); "
        f"violations seen by the proxy: {figures['violations']}"
    )
    fetched, answered, figures = store_best
    print(
        f"a year of minutes (AAPL 2025, {figures['bars']:,} bars): fetched in {fetched:.2f} s, "
        f"the store's answer {answered:.3f} s with {figures['requests']} gateway requests"
    )


if __name__ == "__main__":
    main()
