"""``cache``: what the candle cache and the bar store on disk hold, and emptying them."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from corvane.candles import cache as candle_cache
from corvane.candles.store import CandleStore
from corvane.exit_status import Failed, Refused
from corvane.profiles import sorvel
from corvane.words.base import Completion, ConsoleWord, WordContext

USAGE = "usage: cache info|clear [candles|bars]"
#: What each name covers: the candle cache (sorvel's answers) and the bar store (download's bars).
STORES = ("candles", "bars")


def _megabytes(n: int) -> str:
    return f"{n / 1_000_000:.1f} MB"


def _entries(n: int) -> str:
    return f"{n} entr{'y' if n == 1 else 'ies'}"


def cache_text(path: Path | None, what: str) -> str:
    """What ``cache info`` or ``cache clear`` says of the store file ``path``."""
    if path is None:
        return "the candle cache is kept in memory only"
    live = sorvel.live_cache()
    if getattr(live, "store", None) is not None:
        live.store.flush()  # what this console just fetched counts too
    store = CandleStore(path)
    try:
        if what == "clear":
            # Its memory layer too: what it held that the disk did not counts, what
            # another console already cleared away does not.
            dropped = live.clear() if getattr(live, "store", None) is not None else store.clear()
            return f"candle cache cleared ({_entries(dropped)} dropped)"
        info = store.info()
        return (
            f"candle cache {info.path}: {_entries(info.entries)} ({info.fresh} fresh), "
            f"{info.rows} bars, {_megabytes(info.bytes)} of {_megabytes(info.max_bytes)}"
        )
    finally:
        store.close()


def bar_store_text(root: Path, what: str) -> str:
    """What ``cache info`` or ``cache clear`` says of the bar store at ``root``."""
    from corvane.history import bar_files

    if what == "clear":
        held = bar_files.clear(root)
        text = f"bar store cleared ({_series(held)} removed)"
    else:
        held = bar_files.info(root)
        text = f"bar store {root}: {_series(held)}"
    if held.busy:
        text += f"; {held.busy} series busy in another console, left as they were"
    if held.foreign:
        text += f"; {held.foreign} file{'' if held.foreign == 1 else 's'} the store did not make, left alone"
    return text


def _series(held: Any) -> str:
    return (
        f"{held.series} series, {held.months} month{'' if held.months == 1 else 's'} of bars, {_megabytes(held.bytes)}"
    )


def run(ctx: WordContext, rest: list[str]) -> None:
    if not 1 <= len(rest) <= 2 or rest[0] not in ("info", "clear") or not set(rest[1:]) <= set(STORES):
        raise Refused(USAGE)
    which = rest[1:] or STORES
    if "candles" in which:
        ctx.say(cache_text(candle_cache.default_store_path(), rest[0]))
    if "bars" in which:
        from corvane.home import bars_dir

        try:
            ctx.say(bar_store_text(bars_dir(), rest[0]))
        except OSError as exc:
            doing = "cleared" if rest[0] == "clear" else "read"
            raise Failed(f"cache: the bar store cannot be {doing}: {exc}") from None


def complete(sources: Completion, before: list[str]) -> list[str]:
    if len(before) == 1:
        return ["info", "clear"]
    return list(STORES) if len(before) == 2 else []


WORDS = [
    ConsoleWord(
        "cache",
        "cache info|clear [candles|bars]",
        "what the candle cache and the bar store on disk hold, or empty them",
        run,
        details="sorvel's answers are kept in $CORVANE_HOME/candles.sqlite, so a repeated\n"
        "query is answered without the gateway; download's bars in $CORVANE_HOME/bars, so\n"
        "a second download asks only for what is missing. Without a name both are meant.",
        complete=complete,
    )
]
