"""``cache``: what the candle cache on disk holds, and emptying it."""

from __future__ import annotations

from pathlib import Path

from corvane.candles import cache as candle_cache
from corvane.candles.store import CandleStore
from corvane.exit_status import ExitStatus
from corvane.profiles import sorvel
from corvane.words.base import Completion, ConsoleWord, UsageError, WordContext

USAGE = "usage: cache info|clear"


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


def run(ctx: WordContext, rest: list[str]) -> ExitStatus:
    if len(rest) != 1 or rest[0] not in ("info", "clear"):
        raise UsageError(USAGE)
    ctx.say(cache_text(candle_cache.default_store_path(), rest[0]))
    return ExitStatus.OK


def complete(sources: Completion, before: list[str]) -> list[str]:
    return ["info", "clear"] if len(before) == 1 else []


WORDS = [
    ConsoleWord(
        "cache",
        "cache info|clear",
        "what the candle cache on disk holds, or empty it",
        run,
        details="The bars fetched before are kept in $CORVANE_HOME/candles.sqlite, so a\n"
        "repeated query is answered without the gateway.",
        complete=complete,
    )
]
