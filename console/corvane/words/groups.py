"""``group`` and ``ungroup``: keeping the quote groups that tessik lists and quote streams."""

from __future__ import annotations

from corvane.exit_status import Failed, Refused
from corvane.kvstore import group_key
from corvane.words.base import Completion, ConsoleWord, WordContext


def _members_text(value: object) -> str:
    """A saved group's members as the user would type them (a set has no order of its own)."""
    if isinstance(value, dict):
        value = [
            getattr(c, "localSymbol", "") or getattr(c, "symbol", "") or str(c) for c in value.get("contracts", [])
        ]
    elif isinstance(value, (set, frozenset)):
        value = sorted(map(str, value))
    elif not isinstance(value, (list, tuple)):
        value = []
    return " ".join(map(str, value)) or "nothing"


def _saved(ctx: WordContext) -> None:
    # The store has said why; a change that is not on disk is gone when a one-shot run ends.
    if ctx.store.unsaved:
        raise Failed()


def set_group(ctx: WordContext, words: list[str]) -> None:
    # Typed order, each symbol once where it was first typed; a blank word names nothing.
    symbols = list(dict.fromkeys(w.strip().upper() for w in words[1:] if w.strip()))
    if not words or not symbols:
        raise Refused("usage: group NAME SYMBOL...")
    name, key = words[0], group_key(words[0])
    was = _members_text(ctx.store[key]) if key in ctx.store else None
    ctx.store[key] = symbols
    now = " ".join(symbols)
    if was is None:
        ctx.say(f"group {name}: {now}")
    elif was == now:
        ctx.say(f"group {name}: {now} (unchanged)")
    else:
        ctx.say(f"replaced {name} (was {was}): now {now}")
    _saved(ctx)


def remove_group(ctx: WordContext, words: list[str]) -> None:
    if len(words) != 1:
        raise Refused("usage: ungroup NAME")
    key = group_key(words[0])
    if key not in ctx.store:
        raise Refused(f"no quote group named {words[0]!r}")
    del ctx.store[key]
    ctx.say(f"group {words[0]} removed")
    _saved(ctx)


def _group_then_symbols(sources: Completion, before: list[str]) -> list[str]:
    return sources.groups() if len(before) == 1 else sources.symbols()


def _group_name(sources: Completion, before: list[str]) -> list[str]:
    return sources.groups() if len(before) == 1 else []


WORDS = [
    ConsoleWord(
        "group",
        "group NAME SYMBOL...",
        "set the quote group NAME to these symbols",
        set_group,
        details="Members keep the order typed; a symbol typed twice counts once. A group of\n"
        "that name is replaced, and the console says what it held. tessik lists the\n"
        "groups; quote @NAME streams one.",
        complete=_group_then_symbols,
    ),
    ConsoleWord(
        "ungroup",
        "ungroup NAME",
        "remove the quote group NAME",
        remove_group,
        details="The group is removed from $CORVANE_HOME/store.json as well.",
        complete=_group_name,
    ),
]
