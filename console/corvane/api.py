"""The console from Python.

``corvane.run("sorvel AAPL day 100")`` returns the command's result: through the
console that owns the gateway when one runs for its home (one connection, one
pacing count for everyone), and through a console of its own in this process
otherwise, kept for the script's later calls.

``corvane.download(...)`` gives bars as a pandas DataFrame: through the owner too,
else on the same console of this process as ``corvane.run`` (the usual settings and
discovery from the environment), so a script holds one connection and one client id.
Inside a running event loop (a Jupyter cell) the work runs on a thread of its own.
The first call of either quiets the console's log lines to warnings, plainly worded.
"""

from __future__ import annotations

import asyncio
import atexit
import concurrent.futures
import datetime as dt
import io
import os
import shlex
import threading
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvane import attach, owner_wire
from corvane.exit_status import ExitStatus
from corvane.home import DOWNLOAD_NAME, home_dir
from corvane.owner_wire import DOWNLOAD_REQUEST

if TYPE_CHECKING:
    import pandas as pd

    from corvane.console import Console
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
    partial: bool = False,
    *,
    period: str | None = None,
    prepost: bool | None = None,
    auto_adjust: bool | None = None,
    group_by: str = "column",
    progress: bool = True,
) -> pd.DataFrame:
    """Bars of ``tickers`` from the IB gateway (or Yahoo Finance), in the exchange's zone.

    ``start``/``end`` are calendar days in the exchange's zone, and ``end`` is included
    (yfinance's ``end`` is excluded: ``end="2025-03-07"`` here gives the 7th's bars, there
    it stops on the 6th). ``last=N`` gives exactly the last N bars instead; ``period``
    ("5d" the last five sessions, "1mo", "1y", "ytd", "max") counts back from today.
    ``interval`` is one of 1m 2m 5m 15m 30m 1h 4h 1d 1wk 1mo. ``source`` is "auto" (the
    gateway when one answers, else Yahoo), "ibkr" or "yahoo". Bars already in
    ``$CORVANE_HOME/bars`` are not asked for again.

    yfinance's names are taken where they mean the same: ``prepost`` is ``outside_rth``,
    ``auto_adjust`` is ``adjusted`` (both given must agree), ``group_by="ticker"`` puts the
    symbol first in the columns. ``progress`` shows the requests done on standard error.

    One symbol: columns open high low close volume average barCount (in that order, whole
    volumes as integers) on a zone-aware DatetimeIndex. Several: a column MultiIndex named
    ("field", "symbol"), fields in the same order, so ``frame["close"]`` is every symbol's closes.
    ``frame.attrs["sources"]`` says where each symbol's bars came from. A symbol that got
    nothing raises ``RuntimeError`` naming why (a timeout is never an empty frame), and so
    does one that could not finish, naming the days still missing; with ``partial=True``
    it gives what arrived instead, and ``frame.attrs["missing"]`` names why, per symbol.
    Arguments of the wrong type raise ``TypeError``; values beyond the limits (more than
    1,000 symbols, days before 1900, a count reaching back further) ``ValueError``.

    Without a console owning the gateway, the connection is the one ``corvane.run`` uses
    in this process, opened on first use and kept for the script's later calls.
    """
    from corvane import clock
    from corvane.history.download_args import GROUPINGS, period_start, same_meaning, typed
    from corvane.logsetup import library_logging

    library_logging()
    if not isinstance(tickers, (str, bytes, bytearray)) and isinstance(tickers, Iterable):
        tickers = list(tickers)  # an index, an array, a generator: read once, here
    outside_rth = same_meaning("outside_rth", outside_rth, "prepost", prepost, False)
    adjusted = same_meaning("adjusted", adjusted, "auto_adjust", auto_adjust, False)
    typed(tickers, start, end, interval, last, adjusted, outside_rth, source)
    for name, flag in (("partial", partial), ("progress", progress)):
        if not isinstance(flag, bool):
            raise TypeError(f"{name} must be True or False, not {flag!r}")
    if group_by not in GROUPINGS:
        raise ValueError(f"group_by must be one of {', '.join(map(repr, GROUPINGS))}, not {group_by!r}")
    if period is not None:
        if start is not None or end is not None or last is not None:
            raise ValueError("period counts back from today: give it without start, end or last")
        clock.freeze_from_env()
        start = period_start(period, clock.today())
    args: dict[str, Any] = {"tickers": tickers, "start": _text(start),
            "end": _text(end), "interval": interval, "last": last, "adjusted": adjusted,
            "outside_rth": outside_rth, "source": source}  # fmt: skip
    from corvane.history.script import frame_of, request_from

    request = request_from(**args)  # words that cannot work are refused here, not by the owner
    owned = _through_owner({**args, "partial": True} if partial else args)
    frame = owned if owned is not None else frame_of(request, _run(request, progress), partial)
    return _by_ticker(frame, request.symbols) if group_by == "ticker" else frame


def _by_ticker(frame: pd.DataFrame, symbols: Sequence[str]) -> pd.DataFrame:
    """Columns (symbol, field) in the order asked, each symbol's fields in the bars' own order."""
    import pandas as pd

    from corvane.history.store import COLUMNS

    if frame.columns.nlevels != 2:
        return frame  # one symbol: plain fields, as yfinance gives them
    fields = [c for c in COLUMNS if c in frame.columns.get_level_values(0)]
    held = [s for s in symbols if s in frame.columns.get_level_values(1)]
    ordered = frame.swaplevel(0, 1, axis=1).reindex(columns=pd.MultiIndex.from_product([held, fields]))
    ordered.attrs = frame.attrs
    return ordered


def _text(day: str | dt.date | None) -> str | None:
    return day.isoformat()[:10] if isinstance(day, dt.date) else day


def _through_owner(args: dict[str, Any]) -> pd.DataFrame | None:
    """The frame as the owner fetched it (one connection, one pacing count), or None without one."""
    answer = attach.ask({"type": DOWNLOAD_REQUEST, "args": args})
    if answer is None:
        return None
    if answer.get("type") != "result" or not isinstance(answer.get("value"), dict):
        raise RuntimeError(attach.shown(str(answer.get("text", "the owner gave no bars")), False))
    frame = _take_download(home_dir(), answer["value"].get("path"))
    frame.attrs["sources"] = dict(answer["value"].get("sources") or {})
    frame.attrs["missing"] = dict(answer["value"].get("missing") or {})
    return frame


def _take_download(home: Path, named: Any) -> pd.DataFrame:
    """The frame in the file the owner named, which is then removed.

    The answer only names the file: it is read and removed when it is one the owner
    makes (its name, right in the home, a regular file of this user's, reached without
    a symlink), and refused untouched otherwise. A path taken on the answer's word would
    let whatever answers delete any file of the user's.
    """
    import pandas as pd

    path = Path(named) if isinstance(named, str) else None
    if path is None or not DOWNLOAD_NAME.fullmatch(path.name) or not _same_dir(path.parent, home):
        raise RuntimeError(f"the owner named a file that is not its download in {home}: {named!r}")
    folder = os.open(home, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        why = owner_wire.not_private(home, os.fstat(folder))
        try:  # not blocking on a FIFO, not following a symlink
            fd = os.open(path.name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=folder)
        except OSError as exc:
            raise RuntimeError(f"the owner's download {path} cannot be read: {exc.strerror}") from None
        with os.fdopen(fd, "rb") as file:
            why = why or owner_wire.not_private(path, os.fstat(file.fileno()), "a regular file")
            if why is not None:
                raise RuntimeError(f"the owner's download is refused: {why}")
            try:
                return pd.read_parquet(file)
            finally:
                os.unlink(path.name, dir_fd=folder)
    finally:
        os.close(folder)


def _same_dir(one: Path, other: Path) -> bool:
    try:
        return os.path.samefile(one, other)
    except OSError:
        return False


def _run(request: Request, progress: bool) -> Result:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return _fetch(request, progress)
    # A running loop (a notebook cell): the session's loop may not nest in it.
    with concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="corvane-download") as pool:
        return pool.submit(_fetch, request, progress).result()


def _fetch(request: Request, progress: bool) -> Result:
    import sys

    from corvane.gateway.connection import resolve_settings
    from corvane.history.download import run_download
    from corvane.words.download import gateway_down
    from ferrut.status_line import ProgressLine

    with _here_lock:
        # The console corvane.run uses here: one connection (one client id) for the script.
        console = _console_here(home_dir(), resolve_settings(), False, io.StringIO())
        connected = request.source != "yahoo" and (console.connected or console.connect())
        down = None if connected else gateway_down(console)
        drawn = ProgressLine(sys.stderr) if progress else None
        return run_download(console.session, request, connected=connected, progress=drawn, gateway_down=down)


# -- run ------------------------------------------------------------------------


class CommandFailed(RuntimeError):
    """The command line did not end well; ``status`` is its exit status, the message what it said."""

    def __init__(self, status: int, text: str) -> None:
        super().__init__(text.strip() or f"exit status {status}")
        self.status = status


def run(line: str | list[str], *, home: str | Path | None = None, standalone: bool = False) -> Any:
    """Run one command line as ``corvane LINE`` would and return the command's result (a dict).

    Through the owner, dates and times come back as ``datetime`` values.
    Raises :class:`CommandFailed` when the command fails or the words do not fit.
    """
    from corvane.logsetup import library_logging

    library_logging()
    words = shlex.split(line) if isinstance(line, str) else list(line)
    where = Path(home).expanduser() if home is not None else home_dir()
    err = io.StringIO()
    if not standalone:
        try:
            answer = attach.request(words, out=io.StringIO(), err=err, result=True, home=where)
        except attach.OwnerFailed as exc:
            raise CommandFailed(ExitStatus.FAILED, str(exc)) from None
        if answer is not None:
            status, value = answer
            if status != ExitStatus.OK:
                raise CommandFailed(status, err.getvalue())
            return value
    return _run_here(words, where)


# -- without an owner ----------------------------------------------------------

_here: dict[tuple[Any, ...], Any] = {}
_here_lock = threading.Lock()


def _run_here(words: list[str], home: Path) -> Any:
    from corvane import command_line
    from corvane.gateway.connection import resolve_settings

    out, err = io.StringIO(), io.StringIO()
    parsed = command_line.parse(words, err)
    if isinstance(parsed, int):
        raise CommandFailed(parsed, err.getvalue())
    args, view = parsed
    if args.command is None:
        raise CommandFailed(ExitStatus.BAD_WORDS, "no command given")
    settings = resolve_settings(args.host, args.port, args.client_id, args.connect_timeout)
    with _here_lock:
        console = _console_here(home, settings, args.no_gateway, err)
        console.out, console.err = out, err
        console.verbose = args.verbose
        status = console.handle([args.command, *args.words], view)
    if status != ExitStatus.OK:
        raise CommandFailed(status, err.getvalue())
    return console.views.result


def _console_here(home: Path, settings: Any, no_gateway: bool, err: io.StringIO) -> Console:
    """The console of this process for ``home`` and these settings, made on first use (hold ``_here_lock``)."""
    from corvane import clock, commands
    from corvane.startup import make_console

    clock.freeze_from_env()
    key = (home, settings, no_gateway)
    console = _here.get(key)
    if console is None:
        commands.load_command_modules(stream=err)
        console = make_console(settings, home, use_gateway=not no_gateway)
        _here[key] = console
    return console


@atexit.register
def _close_here() -> None:
    for console in _here.values():
        console.close()
    _here.clear()
