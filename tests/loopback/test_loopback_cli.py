"""The gateway's command line, run as a separate process the way the demo starts it."""

from __future__ import annotations

import re
import signal
import subprocess
import sys

from ib_async import IB, Stock

GATEWAY = [sys.executable, "-m", "corvane_loopback"]


def test_serves_on_the_port_it_prints_and_stops_cleanly(run_ib):
    proc = subprocess.Popen(
        GATEWAY + ["--port", "0", "--now", "2025-03-05T12:00", "--refuse-symbol", "MSFT"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        banner = proc.stdout.readline()
        assert "sample data, not market data" in banner
        port = int(re.search(r":(\d+) ", banner).group(1))

        async def body(ib: IB):
            aapl = await ib.reqHistoricalDataAsync(Stock("AAPL", "SMART", "USD"), "", "5 D", "1 day", "TRADES", True)
            msft = await ib.reqHistoricalDataAsync(Stock("MSFT", "SMART", "USD"), "", "5 D", "1 day", "TRADES", True)
            return len(aapl), len(msft)

        assert run_ib(port, body) == (3, 0)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(10) == 0
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()
        proc.stderr.close()


def test_bad_options_and_a_busy_port_are_reported_without_a_traceback(loopback_gateway):
    cases = [
        (["--port", "70000"], 2, "port must be between 0 and 65535"),
        (["--port", "0", "--delay", "-1"], 2, "must not be negative"),
        (["--port", "0", "--now", "soon"], 2, "not an ISO date and time"),
        (["--port", "0", "--account", "A,B"], 2, "without commas"),
        (["--port", "0", "--tick-interval", "0"], 2, "must be positive"),
        (["--port", "0", "--pace-scale", "-1"], 2, "must not be negative"),
        (["--port", "0", "--farm-slots", "0"], 2, "must be 1 or more"),
        (["--port", "0", "--farm-latency", "0.2"], 2, "two numbers of seconds"),
        (["--port", "0", "--farm-latency", "0.2,-1"], 2, "0 or more"),
        (["--port", str(loopback_gateway.port)], 1, "cannot listen on"),
    ]
    for args, code, message in cases:
        done = subprocess.run(GATEWAY + args, capture_output=True, text=True, timeout=30)
        assert (done.returncode, message in done.stderr, "Traceback" in done.stderr) == (code, True, False), args
