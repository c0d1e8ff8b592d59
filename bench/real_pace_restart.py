"""A trader's long small-bar download at the broker's real pace, stopped and started again,
with a second terminal downloading beside it.

Ten sessions of one symbol's 5-second bars are asked for in a terminal (a pseudo-terminal,
so the progress line is drawn as a trader sees it), stopped with Ctrl-C after STOP_AFTER
seconds and asked for again at once, while a second terminal of the same home asks for
another symbol's. Both go through a counting proxy before a loopback gateway with its
rules on at their real pace (no scale), so the 10-minute rule is the one a real account
meets; this takes about half an hour.

Printed: the small-bar requests the proxy saw and how many the broker's rules would have
refused; each run's wall time and its status; and, once a minute of each run that went
to the end, the time left its progress line showed against the time that actually
remained, with the worst error.

Run:
    PYTHONPATH=console .venv/bin/python bench/real_pace_restart.py [--stop-after 30]
"""

from __future__ import annotations

import argparse
import os
import pty
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

from download_farm import NOW, SMALL_DAYS, Gateway

STOP_AFTER = 30.0
FIRST, SECOND = "AAPL", "MSFT"
_LEFT = re.compile(r"(\d+)/(\d+) requests, about ([\d.]+) (s|minutes|hours) left")
_UNIT = {"s": 1, "minutes": 60, "hours": 3600}


def _as_a_terminal_starts_it() -> None:
    # A job started in the background inherits SIGINT ignored, and Python keeps it so.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@dataclass
class Terminal:
    """One console process on a terminal of its own: what its progress line said, and when."""

    name: str
    words: list[str]
    began: float = 0.0
    ended: float = 0.0
    status: int | None = None
    lines: list[tuple[float, int, int, float]] = field(default_factory=list)  # at, done, total, left
    text: list[str] = field(default_factory=list)

    def start(self, env: dict[str, str]) -> None:
        leader, follower = pty.openpty()
        self.began = time.monotonic()
        self.process = subprocess.Popen(
            [sys.executable, "-m", "corvane", *self.words], stdin=follower, stdout=follower, stderr=follower,
            env=env, close_fds=True, start_new_session=True, preexec_fn=_as_a_terminal_starts_it,
        )  # fmt: skip
        os.close(follower)
        self._reader = threading.Thread(target=self._read, args=(leader,), daemon=True)
        self._reader.start()

    def _read(self, leader: int) -> None:
        pending = ""
        while True:
            try:
                chunk = os.read(leader, 4096).decode(errors="replace")
            except OSError:  # the terminal's last process is gone
                break
            if not chunk:
                break
            now = time.monotonic()
            pending += chunk
            self.text.append(chunk)
            read = 0
            for match in _LEFT.finditer(pending):
                done, total, amount, unit = match.groups()
                self.lines.append((now, int(done), int(total), float(amount) * _UNIT[unit]))
                read = match.end()
            pending = pending[read:][-200:]  # a line may be cut between two reads
        os.close(leader)

    def interrupt(self) -> None:
        self.process.send_signal(signal.SIGINT)

    def wait(self) -> None:
        self.status = self.process.wait()
        self.ended = time.monotonic()
        self._reader.join(10)

    def errors_each_minute(self) -> list[tuple[float, float, float]]:
        """(minute, time left shown, time that remained) at each whole minute of the run."""
        samples = []
        minute = 1
        while self.began + minute * 60 < self.ended:
            at = self.began + minute * 60
            shown = [line for line in self.lines if line[0] <= at]
            if shown:
                seen, _, _, left = shown[-1]
                samples.append((minute, left - (at - seen), self.ended - at))
            minute += 1
        return samples


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--stop-after", type=float, default=STOP_AFTER, help="seconds before the Ctrl-C")
    args = parser.parse_args()

    gateway = Gateway({"rules": True})
    try:
        with tempfile.TemporaryDirectory() as home:
            env = {**os.environ, "CORVANE_HOME": home, "CORVANE_NOW": NOW.isoformat(), "COLUMNS": "120"}
            env.pop("CORVANE_PACE_SCALE", None)

            def terminal(name: str, symbol: str) -> Terminal:
                return Terminal(name, ["--port", str(gateway.port), "download", symbol, "--start",
                                       SMALL_DAYS[0].isoformat(), "--end", SMALL_DAYS[1].isoformat(),
                                       "--interval", "5s"])  # fmt: skip

            stopped = terminal(f"{FIRST}, stopped", FIRST)
            stopped.start(env)
            time.sleep(args.stop_after)
            stopped.interrupt()
            stopped.wait()
            again, beside = terminal(f"{FIRST}, again", FIRST), terminal(f"{SECOND}, beside", SECOND)
            again.start(env)
            beside.start(env)
            again.wait()
            beside.wait()
            figures = gateway.figures()
            Path(home, "terminals.txt").write_text("".join(again.text + beside.text))
    finally:
        gateway.close()

    print(
        f"{figures['requests']} bars requests reached the gateway; the broker's small-bar rules "
        f"would have refused {figures['violations']}"
    )
    worst = 0.0
    for run in (stopped, again, beside):
        print(f"{run.name}: exit {run.status} after {run.ended - run.began:.0f} s, "
              f"{run.lines[-1][1] if run.lines else 0} requests on its last progress line")  # fmt: skip
        if run is stopped:
            continue
        for minute, shown, remained in run.errors_each_minute():
            error = (shown - remained) / remained
            worst = max(worst, abs(error))
            print(f"  minute {minute:>2}: time left shown {shown:6.0f} s, remained {remained:6.0f} s ({error:+.0%})")
    print(f"worst error of the time left, sampled each minute: {worst:.0%}")


if __name__ == "__main__":
    main()
