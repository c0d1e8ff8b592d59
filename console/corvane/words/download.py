"""``download SYMBOL... [--start DAY] [--end DAY] [--last N] [--interval I] ...``: exact history, fetched once.

The words are read here (the word takes its own ``--`` options); the work is
:mod:`corvane.history.download`'s, on the session's event loop, so Ctrl-C stops it at once
and what arrived stays in the bar store.
"""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvane import clock
from corvane.exit_status import Cancelled, Failed, Refused
from corvane.history.plan import BAR_SIZES
from corvane.words.base import Completion, ConsoleWord, WordContext
from corvane.words.quotes import GROUP_MARK, group_members

if TYPE_CHECKING:
    import pandas as pd

    from corvane.history.download import Request, Result

USAGE = (
    "download SYMBOL|@GROUP... [--start DAY] [--end DAY] [--last N] [--interval "
    + "|".join(BAR_SIZES)
    + "] [--adjusted] [--outside-rth] [--source auto|ibkr|yahoo] [--partial] [--export FILE.parquet|.csv [--force]]"
)
VALUED = ("--start", "--end", "--last", "--interval", "--source", "--export")
FLAGS = ("--adjusted", "--outside-rth", "--force", "--partial")


@dataclass
class Words:
    symbols: list[str] = field(default_factory=list)
    options: dict[str, str] = field(default_factory=dict)
    flags: set[str] = field(default_factory=set)


def read_words(rest: list[str]) -> Words:
    words, i = Words(), 0
    while i < len(rest):
        word = rest[i]
        name, eq, value = word.partition("=")
        if name in VALUED:
            if not eq:
                if i + 1 >= len(rest):
                    raise Refused(f"download: {name} needs a value\nusage: {USAGE}")
                i, value = i + 1, rest[i + 1]
            if name in words.options:
                raise Refused(f"download: {name} given twice")
            words.options[name] = value
        elif word in FLAGS:
            words.flags.add(word)
        elif word.startswith("--"):
            raise Refused(f"download: unknown option {word}\nusage: {USAGE}")
        else:
            words.symbols.append(word)
        i += 1
    return words


def _day(name: str, text: str | None) -> dt.date | None:
    if text is None:
        return None
    try:
        return dt.date.fromisoformat(text)
    except ValueError:
        raise Refused(f"download: {name} takes a day as YYYY-MM-DD, not {text!r}") from None


def _count(text: str | None) -> int | None:
    if text is None:
        return None
    if not text.isdigit() or int(text) < 1:
        raise Refused(f"download: --last takes a positive whole number, not {text!r}")
    return int(text)


def expand(store: Any, symbols: list[str]) -> list[str]:
    """The symbols, with each @GROUP replaced by its members; each symbol once, in order."""
    from corvane.helpers import nameForContract

    out: list[str] = []
    for word in symbols:
        if word.startswith(GROUP_MARK):
            members = group_members(store, word[len(GROUP_MARK) :])
            if members is None:
                raise Refused(f"download: no quote group named {word[len(GROUP_MARK) :]!r}")
            names = [m.strip().upper() if isinstance(m, str) else nameForContract(m) for m in members]
        else:
            names = [word.strip().upper()]
        out.extend(n for n in names if n and n not in out)
    return out


def request_for(store: Any, rest: list[str]) -> tuple[Request, Words]:
    from corvane.history.download import DownloadError, Request, check
    from corvane.history.download_args import check_limits

    words = read_words(rest)
    if not words.symbols:
        raise Refused(f"download: name at least one symbol\nusage: {USAGE}")
    o = words.options
    request = Request(
        symbols=tuple(expand(store, words.symbols)),
        interval=o.get("--interval", "1d"),
        start=_day("--start", o.get("--start")),
        end=_day("--end", o.get("--end")),
        last=_count(o.get("--last")),
        adjusted="--adjusted" in words.flags,
        outside_rth="--outside-rth" in words.flags,
        source=o.get("--source", "auto"),
    )
    if not request.symbols:
        raise Refused("download: the groups named have no members")
    if request.start is None and request.end is None and request.last is None:
        raise Refused("download: give --start (and --end), or --last N")
    try:
        check_limits(request.symbols, request.start, request.end, request.interval, request.last)
        check(request)
    except (DownloadError, ValueError) as exc:
        raise Refused(f"download: {exc}") from None
    return request, words


def run(ctx: WordContext, rest: list[str]) -> None:
    from ferrut import output
    from ferrut.export import ExportRefused, check_target

    request, words = request_for(ctx.store, rest)
    export = words.options.get("--export")
    force = "--force" in words.flags
    partial = "--partial" in words.flags
    if export is not None:
        try:
            check_target(export, force=force)  # before any request is made for it
        except ExportRefused as exc:
            raise Refused(f"download: {exc}") from None
    if force and export is None:
        raise Refused("download: --force goes with --export")
    from corvane.history.store import StoreError

    connected = request.source != "yahoo" and ctx.connect_once()
    try:
        result = _fetch(ctx, request, connected, output.current().stderr, None if connected else gateway_down(ctx))
    except StoreError as exc:  # a disk that cannot be used; damaged files are set aside, not raised
        raise Failed(f"download: {exc}") from None
    if result is None:
        raise Cancelled("download: stopped; what arrived is kept in the store")
    _show(ctx, request, result, export, force, partial)


def gateway_down(ctx: WordContext) -> str:
    """Why there is no gateway, for the line of a symbol Yahoo could not give either."""
    session = ctx.existing_session
    return (session.link.down_reason or "none answered") if session is not None else "switched off (--no-gateway)"


def _fetch(ctx: WordContext, request: Request, connected: bool, err: Any, down: str | None) -> Result | None:
    from corvane.history.download import DownloadError, run_download
    from corvane.session import Cancelled
    from ferrut.status_line import ProgressLine

    try:
        return run_download(ctx.session, request, connected=connected, progress=ProgressLine(err), gateway_down=down)
    except Cancelled:
        return None
    except DownloadError as exc:
        raise Refused(f"download: {exc}") from None


#: Intervals whose bars are whole days or longer: their export gives the day alone.
DAILY = ("1d", "1wk", "1mo")


def title(symbol: str, request: Request, bars: pd.DataFrame) -> str:
    size = BAR_SIZES[request.interval]
    zone = str(bars.index.tz) if len(bars) and bars.index.tz is not None else clock.EXCHANGE_ZONE
    span = f"{bars.index[0].date()} → {bars.index[-1].date()}" if len(bars) else "no bars"
    return f"{symbol} {size} {span} ({zone})"


def table(bars: pd.DataFrame) -> pd.DataFrame:
    """The bars with their aware times as a column, as sorvel's tables have them."""
    return bars.reset_index()


def _show(ctx: WordContext, request: Request, result: Result, export: str | None, force: bool, partial: bool) -> None:
    from corvane.last_result import LastResult
    from ferrut.export import bar_table
    from ferrut.frame import printFrame

    frames = []
    last: LastResult | None = None
    for got in result.symbols:
        if got.failure:
            arrived = _arrived(got)
            hint = " (--partial shows what arrived)" if arrived and not partial else ""
            ctx.complain(f"download: {got.symbol}: {got.failure}{hint}")
            if not (partial and arrived):
                continue
        assert got.bars is not None
        heading = title(got.symbol, request, got.bars)
        printFrame(table(got.bars), heading)
        frames.append(bar_table(got.bars, got.symbol, got.source, daily=request.interval in DAILY))
        if last is None:  # the first symbol's bars, for --chart and the prompt's chart and export
            # As the export has them, so the prompt's export of it writes the same file.
            records = frames[-1].drop(columns=["symbol", "source"]).to_dict("records")
            last = LastResult(title=heading, symbol=got.symbol, source=got.source, bars=records)
    ctx.views.kept(outcome(request, result), last)
    ctx.say(summary(result, partial))
    if export is not None and frames:
        _export(ctx, frames, export, force)  # refused or failed, it says so in place of the failures
    if result.failures:
        raise Failed()  # each failure is said above


def _export(ctx: WordContext, frames: list[pd.DataFrame], path: str, force: bool) -> None:
    from ferrut.export import ExportRefused, export_bars

    try:
        count = export_bars(frames, path, force=force)
    except ExportRefused as exc:
        raise Refused(str(exc)) from None
    except Exception as exc:  # written whole or not at all: nothing is left behind
        raise Failed(f"export to {path} failed: {type(exc).__name__}: {exc}") from None
    ctx.say(f"wrote {count:,} bar{'' if count == 1 else 's'} to {Path(path).expanduser()}")


def outcome(request: Request, result: Result) -> dict[str, Any]:
    """What the word returns to a script: per symbol its source, bar count, span and failure.

    Counts, not bars, so the answer fits an owner's message however long the download;
    the bars themselves are ``corvane.download``'s.
    """

    def when(bars: pd.DataFrame | None, at: int) -> dt.datetime | None:
        return bars.index[at].to_pydatetime() if bars is not None and len(bars) else None

    return {
        "interval": request.interval,
        "symbols": {
            got.symbol: {
                "source": got.source,
                "bars": 0 if got.bars is None else len(got.bars),
                "first": when(got.bars, 0),
                "last": when(got.bars, -1),
                "requests": got.requests,
                "from_store": got.from_store,
                "failure": got.failure,
            }
            for got in result.symbols
        },
    }


def _arrived(got: Any) -> bool:
    """Whether a symbol has bars to show: for one that failed, what arrived before it did."""
    return got.bars is not None and len(got.bars) > 0


def summary(result: Result, partial: bool = False) -> str:
    """ "AAPL MSFT: 195,000 bars from ibkr (12 requests, 488 from the store)"."""
    good = [s for s in result.symbols if not s.failure or (partial and _arrived(s))]
    if not good:
        # A failure is never "no bars": what arrived before it is in the store.
        if not result.failures:
            return "download: no bars"
        arrived = any(_arrived(s) for s in result.failures)
        return "download: no symbol finished" + ("; what arrived is kept in the store" if arrived else "")
    by_source: dict[str, list[Any]] = {}
    for got in good:
        by_source.setdefault(got.source, []).append(got)
    parts = []
    for source, items in by_source.items():
        bars = sum(len(s.bars) if s.bars is not None else 0 for s in items)
        stored = sum(s.from_store for s in items)
        requests = sum(s.requests for s in items)
        what = f"{requests:,} request{'' if requests == 1 else 's'}"
        if source == "ibkr":
            what += f", {stored:,} from the store"
        names = " ".join(s.symbol + (" (partial)" if s.failure else "") for s in items)
        parts.append(f"{names}: {bars:,} bar{'' if bars == 1 else 's'} from {source} ({what})")
    return "; ".join(parts)


def complete(sources: Completion, before: list[str]) -> list[str]:
    if before and before[-1] == "--interval":
        return list(BAR_SIZES)
    if before and before[-1] == "--source":
        return ["auto", "ibkr", "yahoo"]
    if before and before[-1] in VALUED:
        return []
    return [*VALUED, *FLAGS, *sources.symbols(), *(GROUP_MARK + g for g in sources.groups())]


WORDS = [
    ConsoleWord(
        "download",
        USAGE,
        "exact bars of symbols over days or the last N bars, paced and fetched once",
        run,
        details="--start and --end are days in the exchange's zone, both included; --last N gives\n"
        "exactly N bars. Bars are kept under $CORVANE_HOME/bars, so a second download asks\n"
        "the gateway only for what is missing. Without a gateway, or with --source yahoo, the\n"
        "bars come from Yahoo Finance within its limits. Ctrl-C stops and keeps what arrived.\n"
        "A symbol that cannot finish is named with the days still missing (exit status 1);\n"
        "--partial shows and exports what arrived all the same. At most 1,000 symbols.",
        complete=complete,
        own_options=True,
        console_options=frozenset({"--rows", "--chart"}),  # --export is the word's: every symbol's bars
    )
]
