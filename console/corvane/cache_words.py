"""The console word ``cache``: what the candle cache on disk holds, and emptying it."""

from __future__ import annotations

import sys
from pathlib import Path

from corvane.gateway.candle_store import FILE_NAME, CandleStore

USAGE = "usage: cache info|clear"


def store_path(home: Path) -> Path:
    """Where the console keeps the candle cache under its home directory."""
    return home / FILE_NAME


def _live_cache():
    """The candle cache the sorvel command of this process holds, if it made one."""
    module = sys.modules.get("corvane.cmds.quotes.sorvel")
    return getattr(module, "_sorvel_cache", None)


def _megabytes(n: int) -> str:
    return f"{n / 1_000_000:.1f} MB"


def _entries(n: int) -> str:
    return f"{n} entr{'y' if n == 1 else 'ies'}"


def cache_word(path: Path | None, rest: list[str]) -> tuple[bool, str]:
    """(words were usable, what to say) for the store file ``path``."""
    if len(rest) != 1 or rest[0] not in ("info", "clear"):
        return False, USAGE
    if path is None:
        return True, "the candle cache is kept in memory only"
    live = _live_cache()
    if getattr(live, "store", None) is not None:
        live.store.flush()  # what this console just fetched counts too
    store = CandleStore(path)
    try:
        if rest[0] == "clear":
            if getattr(live, "store", None) is not None:
                # Its memory layer too: what it held that the disk did not counts, what
                # another console already cleared away does not.
                dropped = live.clear()
            else:
                dropped = store.clear()
            return True, f"candle cache cleared ({_entries(dropped)} dropped)"
        info = store.info()
        return True, (f"candle cache {info.path}: {_entries(info.entries)} ({info.fresh} fresh), "
                      f"{info.rows} bars, {_megabytes(info.bytes)} of {_megabytes(info.max_bytes)}")
    finally:
        store.close()
