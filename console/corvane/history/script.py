"""A script's download: the request its arguments make, the frame its result gives, and the
owner's answer when a script asks the console that owns the gateway (:mod:`corvane.api`)."""

from __future__ import annotations

import datetime as dt
import os
import uuid
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

    from corvane.history.download import Request, Result


def request_from(
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


def frame_of(request: Request, result: Result) -> pd.DataFrame:
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


def owner_answer(session: Any, home: Path) -> Callable[[dict[str, Any]], dict[str, Any]]:
    """The owner's answer to a script's download: the frame as Parquet in the home (the
        client's own user, 0600), named in the answer; the client reads and removes it (the owner
    does, when the answer does not reach the client). A file,
        not the message, because a year of minutes is larger than a message may be."""

    def answer(message: dict[str, Any]) -> dict[str, Any]:
        from corvane.history.download import bar_store
        from corvane.history.download import download as fetch
        from corvane.session import STOP_WHEN

        try:
            args = message.get("args")
            request = request_from(**args) if isinstance(args, dict) else None
            if request is None:
                return {"type": "error", "text": "bad request: download takes args"}
            connected = request.source != "yahoo" and session.connected
            outcome = session.loop_thread.run(
                lambda: fetch(session.ib, bar_store(), request, connected=connected, err=None)
            )
            if outcome.error is not None or outcome.kind != "ok":
                raise outcome.error or RuntimeError("the download was cancelled")
            stop = STOP_WHEN.get()
            if stop is not None and stop.is_set():  # the script went away: a file for nobody
                raise RuntimeError("the download was cancelled")
            frame = frame_of(request, outcome.value)
            path = home / f".download-{uuid.uuid4().hex}.parquet"
            os.close(os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600))
            frame.to_parquet(path)
            value = {"path": str(path), "sources": frame.attrs.get("sources", {})}
            return {"type": "result", "value": value, "made": [str(path)]}
        except Exception as exc:  # the script hears why; the owner goes on
            return {"type": "error", "text": f"{type(exc).__name__}: {exc}"}

    return answer
