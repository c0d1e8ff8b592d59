"""What a download costs against what the rules allow: requests planned against the fewest
the step table allows, wall time through a rules-on loopback gateway at a compressed pace
against the pacing floor, and the store's answer for a year of one-minute bars.

Everything runs in this process: a loopback gateway with its rules on at PACE_SCALE, a
session whose pacer takes the same scale, and a bar store in a fresh directory. The fetch
is repeated (each time into a fresh store) and interleaved with store answers; minima are
reported, since the machine is shared.

Run:
    PYTHONPATH=console .venv/bin/python bench/download_plan.py
"""

from __future__ import annotations

import datetime as dt
import os
import tempfile
import time
from pathlib import Path
from zoneinfo import ZoneInfo

PACE_SCALE = 0.01
ROUNDS = 2
NOW = dt.datetime(2026, 1, 5, 12, 0, tzinfo=ZoneInfo("America/New_York"))
SYMBOLS = ("AAPL", "MSFT")
START, END = dt.date(2025, 1, 2), dt.date(2025, 12, 31)


def main() -> None:
    os.environ["CORVANE_PACE_SCALE"] = str(PACE_SCALE)
    from corvane import clock
    from corvane.gateway.connection import GatewaySettings
    from corvane.history.download import Request, download
    from corvane.history.plan import HistoryQuery, estimate, minimum_requests, plan
    from corvane.history.store import BarStore
    from corvane.session import Session
    from corvane_loopback.background import GatewayThread

    clock.freeze(NOW)
    query = HistoryQuery("1m", start=START, end=END)
    planned = len(plan(query, NOW)) * len(SYMBOLS)
    least = minimum_requests(query, NOW) * len(SYMBOLS)
    print(
        f"planned requests: {planned:,} for {' '.join(SYMBOLS)} {START} → {END} 1 min "
        f"(minimum the rules allow: {least:,}; ratio {planned / least:.2f})"
    )

    request = Request(SYMBOLS, interval="1m", start=START, end=END)
    fetches, answers, floors, repeats, sent = [], [], [], [], 0
    with GatewayThread(rules=True, pace_scale=PACE_SCALE, now=NOW) as gateway, tempfile.TemporaryDirectory() as tmp:
        session = Session(GatewaySettings(host="127.0.0.1", port=gateway.port, client_id=1, timeout=5.0))
        try:
            assert session.connect()
            for n in range(ROUNDS):
                store = BarStore(Path(tmp) / f"bars{n}")
                before = len(gateway.gateway.history_requests)
                began = time.perf_counter()
                got = session.loop_thread.run_value(
                    lambda s=store: download(session.ib, s, request, connected=True)
                )
                fetches.append(time.perf_counter() - began)
                sent = len(gateway.gateway.history_requests) - before
                floors.append(estimate({s: plan(query, NOW) for s in SYMBOLS}, PACE_SCALE))
                began = time.perf_counter()
                again = session.loop_thread.run_value(
                    lambda s=store: download(session.ib, s, request, connected=True)
                )
                answers.append(time.perf_counter() - began)
                repeats.append(again.requests)
        finally:
            session.close()
    bars = sum(len(s.bars) for s in got.symbols if s.bars is not None)
    print(
        f"download through the gateway: {min(fetches):.2f} s for {sent:,} requests, {bars:,} bars "
        f"(pacing floor at scale {PACE_SCALE:g}: {min(floors):.2f} s; ratio {min(fetches) / min(floors):.2f})"
    )
    print(f"the store's answer for the same year: {min(answers):.3f} s, gateway requests: {max(repeats)}")


if __name__ == "__main__":
    main()
