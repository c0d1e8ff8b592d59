"""One-shot `sorvel SYMBOL day 20` as whole processes, side by side, against the loopback gateway:

(a) attached to a running owner (`corvane serve`), (b) standalone
(`--standalone`, a fresh home each time so no disk cache answers), (c) a plain
ib_async script doing the same (connect, reqHistoricalData, util.df, print).
Runs are interleaved over 10 symbols and repeated; minima and medians of
each, and the ratio of medians b/c, are printed.

Run:
    PYTHONPATH=console .venv/bin/python bench/oneshot.py [rounds]
"""

from __future__ import annotations

import compileall
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CONSOLE = Path(__file__).resolve().parents[1] / "console"
SYMBOLS = ["AAPL", "MSFT", "IBM", "NVDA", "META", "TSLA", "XOM", "JPM", "SPY", "QQQ"]
NOW = "2025-03-05T17:30:00-05:00"
IDENTICAL_WAIT = 16.0

PLAIN = """
import sys
from ib_async import IB, Stock, util
ib = IB()
ib.connect("127.0.0.1", int(sys.argv[1]), clientId=int(sys.argv[3]), readonly=True)
bars = ib.reqHistoricalData(Stock(sys.argv[2], "SMART", "USD"), "", "28 D", "1 day", "TRADES", True)
print(util.df(bars).tail(20))
ib.disconnect()
"""


def _timed(cmd: list[str], env: dict[str, str]) -> float:
    start = time.perf_counter()
    done = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=120)
    took = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(cmd)} failed ({done.returncode}): {done.stderr[-500:]}")
    return took


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    # pip compiles an installed package's bytecode, as it did the libraries the plain script
    # imports; the source tree gets the same, or every run would compile it afresh.
    compileall.compile_dir(CONSOLE, quiet=1)
    base = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_")}
    base.update(PYTHONPATH=str(CONSOLE), CORVANE_NOW=NOW)
    # One gateway per arm: the gateway refuses the same request twice within seconds, as a real one does.
    gateways = [
        subprocess.Popen(
            [sys.executable, "-m", "corvane_loopback", "--port", "0", "--now", NOW],
            env=base, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        )
        for _ in range(3)
    ]
    port, alone_port, plain_port = (
        int(g.stdout.readline().rsplit(":", 1)[1].split()[0])  # type: ignore[union-attr]
        for g in gateways
    )
    with tempfile.TemporaryDirectory() as owner_home:
        owned = {**base, "CORVANE_HOME": owner_home}
        owner = subprocess.Popen(
            [sys.executable, "-m", "corvane", "--port", str(port), "serve"],
            env=owned, stderr=subprocess.PIPE, text=True,
        )
        while "serving" not in (owner.stderr.readline() or "serving"):  # type: ignore[union-attr]
            pass
        times: dict[str, list[float]] = {"attached": [], "standalone": [], "plain ib_async": []}
        try:
            asked: dict[str, float] = {}
            for r in range(rounds):
                for i, symbol in enumerate(SYMBOLS):
                    # The gateway refuses a request identical to one of the last 15 s, as IB's does.
                    time.sleep(max(0.0, asked.get(symbol, 0.0) + IDENTICAL_WAIT - time.monotonic()))
                    asked[symbol] = time.monotonic()
                    words = ["sorvel", symbol, "day", "20"]
                    times["attached"].append(_timed([sys.executable, "-m", "corvane", *words], owned))
                    with tempfile.TemporaryDirectory() as alone:
                        env = {**base, "CORVANE_HOME": alone}
                        cmd = [sys.executable, "-m", "corvane", "--standalone", "--port", str(alone_port), *words]
                        times["standalone"].append(_timed(cmd, env))
                    client = str(100 + r * len(SYMBOLS) + i)
                    times["plain ib_async"].append(
                        _timed([sys.executable, "-c", PLAIN, str(plain_port), symbol, client], base)
                    )
        finally:
            owner.terminate()
            owner.wait(20)
            for gateway in gateways:
                gateway.terminate()
                gateway.wait(20)
    for name, values in times.items():
        print(f"{name:15} n={len(values):3}  min {min(values):.3f} s  median {statistics.median(values):.3f} s")
    ratio = statistics.median(times["standalone"]) / statistics.median(times["plain ib_async"])
    print(f"standalone / plain ib_async (medians): {ratio:.2f}")


if __name__ == "__main__":
    main()
