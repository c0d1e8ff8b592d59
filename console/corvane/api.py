"""``corvane.download``: bars as a pandas DataFrame, from a script or a notebook.

It opens a connection of its own (the usual settings and discovery from the environment),
runs the same downloader as the console word, and closes it. Inside a running event loop
(a Jupyter cell) the work runs on a thread of its own, with its own loop.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import datetime as dt
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pandas as pd

    from corvane.history.download import Request, Result


def download(
    tickers: str | Sequence[str],
    start: str | dt.date | None = None,
    end: str | dt.date | None = None,
    interval: str = "1d",
    last: int | None = None,
    adjusted: bool = False,
    outside_rth: bool = False,
    source: str = "auto",
) -> pd.DataFrame:
    """Bars of ``tickers`` from the IB gateway (or Yahoo Finance), in the exchange's zone.

    ``start``/``end`` are calendar days in the exchange's zone, both included; ``last=N``
    gives exactly the last N bars instead. ``interval`` is one of 1m 2m 5m 15m 30m 1h 4h 1d
    1wk 1mo. ``source`` is "auto" (the gateway when one answers, else Yahoo), "ibkr" or
    "yahoo". Bars already in ``$CORVANE_HOME/bars`` are not asked for again.

    One symbol: columns open high low close volume average barCount on a zone-aware
    DatetimeIndex. Several: a column MultiIndex (field, symbol), as yfinance lays it out.
    ``frame.attrs["sources"]`` says where each symbol's bars came from. A symbol that got
    nothing raises ``RuntimeError`` naming why (a timeout is never an empty frame).
    """
    request = _request(tickers, start, end, interval, last, adjusted, outside_rth, source)
    return _frame(request, _run(request))


def _request(
    tickers: str | Sequence[str],
    start: str | dt.date | None,
    end: str | dt.date | None,
    interval: str,
    last: int | None,
    adjusted: bool,
    outside_rth: bool,
    source: str,
) -> Request:
    from corvane.history.download import Request, check

    symbols = tickers.replace(",", " ").split() if isinstance(tickers, str) else list(tickers)
    request = Request(
        symbols=tuple(dict.fromkeys(s.strip().upper() for s in symbols if s.strip())),
        interval=interval,
        start=_day(start),
        end=_day(end),
        last=last,
        adjusted=adjusted,
        outside_rth=outside_rth,
        source=source,
    )
    if request.start is None and request.end is None and request.last is None:
        raise ValueError("give start (and end), or last=N")
    check(request)
    return request


def _day(value: str | dt.date | None) -> dt.date | None:
    if value is None or (isinstance(value, dt.date) and not isinstance(value, dt.datetime)):
        return value
    if isinstance(value, dt.datetime):
        return value.date()
    return dt.date.fromisoformat(value)


def _run(request: Request) -> Result:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return _fetch(request)
    # A running loop (a notebook cell): the session's loop may not nest in it.
    with concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="corvane-download") as pool:
        return pool.submit(_fetch, request).result()


def _fetch(request: Request) -> Result:
    from corvane import clock
    from corvane.gateway.connection import resolve_settings
    from corvane.history.download import bar_store, download
    from corvane.session import Session

    clock.freeze_from_env()
    session = Session(resolve_settings())
    try:
        connected = request.source != "yahoo" and session.connect(quiet=True)
        outcome = session.loop_thread.run(
            lambda: download(session.ib, bar_store(), request, connected=connected, err=None)
        )
    finally:
        session.close()
    if outcome.kind == "cancelled":
        raise KeyboardInterrupt
    if outcome.error is not None:
        raise outcome.error
    result: Result = outcome.value
    return result


def _frame(request: Request, result: Result) -> pd.DataFrame:
    import pandas as pd

    failed = result.failures
    if failed:
        raise RuntimeError("; ".join(f"{s.symbol}: {s.failure}" for s in failed))
    sources = {s.symbol: s.source for s in result.symbols}
    frames = {s.symbol: s.bars for s in result.symbols if s.bars is not None}
    if len(request.symbols) == 1:
        frame = next(iter(frames.values()))
    else:
        frame = pd.concat(frames, axis=1).swaplevel(0, 1, axis=1).sort_index(axis=1, level=0, sort_remaining=False)
    frame.attrs["sources"] = sources
    return frame
