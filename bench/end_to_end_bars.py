"""A year of one-minute bars end to end: the command through the real client and
the loopback gateway (generated sample data), with the client's own bar-date
parser and with the console's fast one, side by side.

Each run is what the console does for `sorvel AAPL 2024-06-13 2025-03-05 1m`:
symbol resolution, the request, the client decoding about 100,000 bars, the
table, the records and the store into a fresh candle cache on disk. Runs
alternate between the two parsers and repeat; the minimum of each is shown.
The bars of both are checked to be identical, value by value and type by
type, before any figure is printed. The gateway runs as its own process, as
it would for a user, so its work does not share this interpreter.

Run (after scripts/dev-build.sh):
    PYTHONPATH=console .venv/bin/python bench/end_to_end_bars.py [rounds]
"""

from __future__ import annotations

import asyncio
import contextlib
import io
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from ib_async import wrapper

import corvane.cmds.quotes.sorvel as sorvel
from corvane.candles.store import CandleStore
from corvane.gateway.connection import GatewayLink, GatewaySettings
from corvane.candles.cache import SorvelCache
from corvane.state import ConsoleState

WORDS = ["2024-06-13", "2025-03-05", "1m"]  # about 100,000 bars


async def one_run(state: ConsoleState, store: Path) -> tuple[float, list]:
    # As in the console: the disk write happens on the store's own thread,
    # finished (and not counted) before the next run starts.
    sorvel._sorvel_cache = SorvelCache(store=CandleStore(store, write_behind=True))
    op = sorvel.IOpSorvel(state=state, ib=state.ib, cache={})
    op.symbol, op.rest = "AAPL", list(WORDS)
    started = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        result = await op.run()
    took = time.perf_counter() - started
    sorvel._sorvel_cache.store.close()
    assert result.get("source") == "ibkr", result.get("error")
    return took, result["bars"]


def same(a: list, b: list) -> bool:
    return len(a) == len(b) and all(
        x == y and [type(v) for v in x.values()] == [type(v) for v in y.values()]
        for x, y in zip(a, b))


@contextlib.contextmanager
def gateway_process():
    """The loopback gateway in a process of its own, clock frozen; yields its port."""
    proc = subprocess.Popen([sys.executable, "-m", "corvane_loopback", "--port", "0",
                             "--now", "2025-03-05T12:00",
                             # a year of minutes in one request, which the broker's rules refuse
                             "--rules", "off"], stdout=subprocess.PIPE, text=True)
    try:
        for line in proc.stdout:
            found = re.search(r"listening on [\d.]+:(\d+)", line)
            if found:
                yield int(found.group(1))
                return
        sys.exit("the loopback gateway did not start")
    finally:
        proc.terminate()
        proc.wait(10)


async def main(rounds: int) -> None:
    from ib_async import IB

    with gateway_process() as port, tempfile.TemporaryDirectory() as tmp:
        ib = IB()
        link = GatewayLink(ib, GatewaySettings(port=port, timeout=5))
        assert await link.connect()  # installs the fast parser, as the console does
        fast = wrapper.parseIBDatetime
        original = fast.original
        state = ConsoleState(link)
        times: dict[str, list[float]] = {"client's parser": [], "fast parser": []}
        bars: dict[str, list] = {}
        for i in range(rounds):
            for name, parser in (("client's parser", original), ("fast parser", fast)):
                wrapper.parseIBDatetime = parser
                took, got = await one_run(state, Path(tmp) / f"{i}-{len(bars)}-{name[0]}.sqlite")
                times[name].append(took)
                bars.setdefault(name, got)
        wrapper.parseIBDatetime = fast
        link.close()
    a, b = bars.values()
    if not same(a, b):
        sys.exit("the two parsers gave different bars")
    print(f"{len(a):,} one-minute bars, identical with both parsers; best of {rounds} runs each")
    for name, seen in times.items():
        print(f"  {name:16} {min(seen):6.3f} s   (runs: {', '.join(f'{t:.2f}' for t in seen)})")
    slow, quick = (min(t) for t in times.values())
    print(f"  speed-up          {slow / quick:5.2f}x")


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 else 3))
