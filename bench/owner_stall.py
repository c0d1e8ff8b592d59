"""How long one attached `sorvel MSFT day 5` waits while ten other clients of the same owner
ask for long tables (`sorvel SYMBOL 1m 20000 --rows all`, or `--rows N`) and never read them
(`--reading`: they do read, the same commands without the stall, as a baseline).

Each run starts a loopback gateway and `corvane serve` in processes of their own, on a fresh
home (nothing cached), warms the owner with one short command, sends the ten requests, waits
until the owner runs them, then times the short command (attached in this process, so
interpreter start-up is not counted). Each run also times the same requests from one plain
ib_async client with no owner: the gateway's own time to answer the short request behind the
ten long ones, which no owner can beat. Prints each run, then minima and medians; the owner's
resident memory at the end of each run is shown too. The machine may be shared: take the
minima as the figure, and repeat.

Run:
    PYTHONPATH=console .venv/bin/python bench/owner_stall.py [runs] [--color] [--profile SCRIPT]

--color asks the ten long tables as a colour terminal would; --profile runs the owner under
the script SCRIPT (one run) instead of `-m corvane`, e.g. a sampler of the loop thread.
"""

from __future__ import annotations

import argparse
import io
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

CONSOLE = Path(__file__).resolve().parents[1] / "console"
sys.path.insert(0, str(CONSOLE))

from corvane import attach, owner_wire  # noqa: E402

NOW = "2025-03-05T17:30:00-05:00"
STALLED = ("AAPL", "IBM", "GOOGL", "AMZN", "TSLA", "NVDA", "META", "JPM", "XOM", "SPY")


def _facts(argv: list[str], color: bool) -> dict:
    return {"type": "run", "argv": argv, "cwd": "/", "tty": color, "color": color, "width": 120 if color else None,
            "env": {"CORVANE_NOW": NOW}, "result": False}  # fmt: skip


def _resident_mib(pid: int) -> float:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def _wait_running(home: Path, count: int, timeout: float = 60.0) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        about = attach.ask({"type": "about"}, home=home)
        if about and about.get("running", 0) >= count:
            return
        time.sleep(0.02)
    raise SystemExit(f"the owner never ran {count} commands")


def _gateway(base: dict[str, str]) -> tuple[subprocess.Popen, int]:
    gateway = subprocess.Popen([sys.executable, "-m", "corvane_loopback", "--port", "0", "--now", NOW, "--rules", "off"],
                               env=base, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)  # fmt: skip
    return gateway, int(gateway.stdout.readline().rsplit(":", 1)[1].split()[0])  # type: ignore[union-attr]


def gateway_floor(base: dict[str, str]) -> float:
    """The same requests from one plain ib_async client, no owner: what the gateway itself takes
    to answer the short request behind the ten long ones (the owner cannot answer sooner)."""
    import asyncio

    from ib_async import IB, Stock

    gateway, port = _gateway(base)

    async def main() -> float:
        ib = IB()
        await ib.connectAsync("127.0.0.1", port, clientId=7, readonly=True)
        try:
            await ib.reqHistoricalDataAsync(Stock("QQQ", "SMART", "USD"), "", "7 D", "1 day", "TRADES", True)
            long = [asyncio.ensure_future(ib.reqHistoricalDataAsync(Stock(s, "SMART", "USD"), "", "14 D", "1 min",
                                                                    "TRADES", True)) for s in STALLED]  # fmt: skip
            await asyncio.sleep(0.05)
            started = time.perf_counter()
            await ib.reqHistoricalDataAsync(Stock("MSFT", "SMART", "USD"), "", "7 D", "1 day", "TRADES", True)
            took = time.perf_counter() - started
            await asyncio.gather(*long)
            return took
        finally:
            ib.disconnect()

    try:
        return asyncio.run(main())
    finally:
        gateway.terminate()
        gateway.wait(20)


def one_run(base: dict[str, str], color: bool, profile: str | None) -> tuple[float, float, float]:
    gateway, port = _gateway(base)
    quiet: list[socket.socket] = []
    with tempfile.TemporaryDirectory() as tmp:
        home = Path(tmp)
        env = {**base, "CORVANE_HOME": str(home)}
        run = [sys.executable, profile] if profile else [sys.executable, "-m", "corvane"]
        owner = subprocess.Popen([*run, "--port", str(port), "serve"], env=env, stderr=subprocess.PIPE, text=True)
        try:
            while "serving" not in (owner.stderr.readline() or "serving"):  # type: ignore[union-attr]
                pass
            # The owner's first command loads what commands need: paid here, not by the timed one.
            attach.request(["sorvel", "QQQ", "day", "5"], out=io.StringIO(), err=io.StringIO(), home=home)
            started = time.perf_counter()
            attach.request(["sorvel", "DIA", "day", "5"], out=io.StringIO(), err=io.StringIO(), home=home)
            alone = time.perf_counter() - started
            for symbol in STALLED:
                sock = owner_wire.connect(home)
                assert sock is not None, "no owner"
                owner_wire.send(sock, _facts(["sorvel", symbol, "1m", "20000", "--rows", ROWS], color))
                quiet.append(sock)
                if READING:  # the same ten commands from clients that read: what the stall itself costs
                    threading.Thread(target=_drain, args=(sock,), daemon=True).start()
            _wait_running(home, len(STALLED))
            started = time.perf_counter()
            out = io.StringIO()
            status = attach.request(["sorvel", "MSFT", "day", "5"], out=out, err=io.StringIO(), home=home)
            took = time.perf_counter() - started
            if status != (0, None) or not out.getvalue().rstrip().endswith("MSFT 5 bars from ibkr"):
                raise SystemExit(f"the timed command failed: {status} {out.getvalue()[-300:]}")
            time.sleep(1.0)  # the long tables are made and queued by now
            memory = _resident_mib(owner.pid)
        finally:
            for sock in quiet:
                sock.close()
            if profile:
                subprocess.run([sys.executable, "-m", "corvane", "serve", "--stop"], env=env, timeout=30)
                owner.wait(60)
            else:
                owner.terminate()
                owner.wait(20)
            gateway.terminate()
            gateway.wait(20)
    return took, alone, memory


#: How many rows of each long table the stalled clients ask to see.
ROWS = "all"
#: Whether the ten clients read their answers after all (a baseline for the stall).
READING = False


def _drain(sock: socket.socket) -> None:
    try:
        while sock.recv(1 << 16):
            pass
    except OSError:
        pass


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("runs", nargs="?", type=int, default=5)
    parser.add_argument("--color", action="store_true")
    parser.add_argument("--profile")
    parser.add_argument("--rows", default="all", help="rows of each long table: all (default) or N, head and tail")
    parser.add_argument("--reading", action="store_true", help="the ten clients read (a baseline)")
    options = parser.parse_args()
    global ROWS, READING
    ROWS, READING = options.rows, options.reading
    runs = 1 if options.profile else options.runs
    base = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_")}
    base.update(PYTHONPATH=str(CONSOLE), CORVANE_NOW=NOW)
    os.environ["CORVANE_NOW"] = NOW  # this process's attached request names the owner's clock
    times, floors = [], []
    for n in range(runs):
        took, alone, memory = one_run(base, options.color, options.profile)
        floor = gateway_floor(base)
        times.append(took)
        floors.append(floor)
        print(f"run {n + 1}: sorvel MSFT day 5 answered in {took:.3f} s (alone: {alone:.3f} s; the gateway's "
              f"own time behind the ten, no owner: {floor:.3f} s); owner resident {memory:.0f} MiB", flush=True)  # fmt: skip
    beside = "beside ten readers" if READING else "beside ten stalled"
    for name, values in ((beside, times), ("gateway alone", floors)):
        print(f"{name:18} n={len(values)}  min {min(values):.3f} s  median {statistics.median(values):.3f} s")


if __name__ == "__main__":
    main()
