"""A script's download: the request its arguments make, the frame its result gives, and the
owner's answer when a script asks the console that owns the gateway (:mod:`corvane.api`)."""

from __future__ import annotations

import datetime as dt
import os
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvane.home import FILE_MODE, new_download_path

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
    from corvane.history.download_args import check_limits, typed

    typed(tickers, start, end, interval, last, adjusted, outside_rth, source)
    symbols = tickers.replace(",", " ").split() if isinstance(tickers, str) else list(tickers)
    request = Request(
        symbols=tuple(dict.fromkeys(s.strip().upper() for s in symbols if s.strip())),
        interval=interval,
        start=_day("start", start),
        end=_day("end", end),
        last=last,
        adjusted=adjusted,
        outside_rth=outside_rth,
        source=source,
    )
    if request.start is None and request.end is None and request.last is None:
        raise ValueError("give start (and end), or last=N")
    check_limits(request.symbols, request.start, request.end, request.interval, request.last)
    check(request)
    return request


def _day(name: str, value: str | dt.date | None) -> dt.date | None:
    if value is None or (isinstance(value, dt.date) and not isinstance(value, dt.datetime)):
        return value
    if isinstance(value, dt.datetime):
        return value.date()
    try:
        return dt.date.fromisoformat(value)
    except ValueError:
        raise ValueError(f"{name} must be a day as 'YYYY-MM-DD', not {value!r}") from None


def frame_of(request: Request, result: Result, partial: bool = False) -> pd.DataFrame:
    """The bars as one frame; RuntimeError naming each symbol that did not finish (with ``partial``,
    only each that got nothing at all): an empty frame would read as "no trading"."""
    import pandas as pd

    def empty(s: Any) -> bool:
        return s.bars is None or not len(s.bars)

    bad = [s for s in result.symbols if (s.failure and not partial) or empty(s)]
    if bad:
        raise RuntimeError("; ".join(f"{s.symbol}: {s.failure or 'no bars in the days asked'}" for s in bad))
    from ferrut.export import BAR_FIELDS, whole_numbers

    sources = {s.symbol: s.source for s in result.symbols}
    frames = {s.symbol: s.bars for s in result.symbols if s.bars is not None}
    columns = list(dict.fromkeys(c for bars in frames.values() for c in bars.columns))
    fields = [c for c in BAR_FIELDS if c in columns] + [c for c in columns if c not in BAR_FIELDS]
    if len(request.symbols) == 1:
        frame = next(iter(frames.values()))[fields].copy()
    else:
        # (field, symbol), fields in the bars' order: frame["close"] is every symbol's closes.
        joined = pd.concat(frames, axis=1, names=["symbol", "field"]).swaplevel(0, 1, axis=1)
        frame = joined.loc[:, [(f, s) for f in fields for s in frames if (f, s) in joined.columns]]
    for column in [c for c in frame.columns if c == "volume" or (isinstance(c, tuple) and c[0] == "volume")]:
        frame[column] = whole_numbers(frame[column])
    frame.attrs["sources"] = sources
    frame.attrs["missing"] = {s.symbol: s.failure for s in result.symbols if s.failure}
    return frame


def owner_answer(session: Any, home: Path) -> Callable[[dict[str, Any]], dict[str, Any]]:
    """The owner's answer to a script's download: the frame as Parquet in the home (the
    client's own user, 0600), named in the answer; the client reads and removes it (the owner
    does, when the answer does not reach the client). A file, not the message, because a year
    of minutes is larger than a message may be."""

    def answer(message: dict[str, Any]) -> dict[str, Any]:
        from corvane.history.download import run_download
        from corvane.session import STOP_WHEN, Cancelled

        try:
            args = message.get("args")
            partial = isinstance(args, dict) and args.pop("partial", False) is True
            request = request_from(**args) if isinstance(args, dict) else None
            if request is None:
                return {"type": "error", "text": "bad request: download takes args"}
            connected = request.source != "yahoo" and session.connected
            result = run_download(session, request, connected=connected)
            stop = STOP_WHEN.get()
            if stop is not None and stop.is_set():  # the script went away: a file for nobody
                raise Cancelled
            frame = frame_of(request, result, partial)
            path = new_download_path(home)
            os.close(os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, FILE_MODE))
            frame.to_parquet(path)
            said = {"sources": frame.attrs.get("sources", {}), "missing": frame.attrs.get("missing", {})}
            return {"type": "result", "value": {"path": str(path), **said}, "made": [str(path)]}
        except Cancelled:
            return {"type": "error", "text": "RuntimeError: the download was cancelled"}
        except Exception as exc:  # the script hears why; the owner goes on
            return {"type": "error", "text": f"{type(exc).__name__}: {exc}"}

    return answer
