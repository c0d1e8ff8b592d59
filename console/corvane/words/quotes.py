"""The console words for live quotes: quote, unquote and quotes.

``quote`` and ``unquote`` take symbols and ``@GROUP`` (the members of a saved
quote group). ``quotes`` prints the live table; on a terminal it redraws in
place until a key is pressed, elsewhere it prints once.
"""

from __future__ import annotations

import os
import select
import sys
import weakref
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from corvane.exit_status import Cancelled, Failed, Refused
from corvane.kvstore import group_key
from corvane.quote_table import render
from corvane.words.base import Completion, ConsoleWord, WordContext
from ferrut.status_line import is_terminal

if TYPE_CHECKING:  # the client library loads with the first quote, not with --help
    from corvane.live_quotes import LiveQuotes

#: Seconds between two redraws of the live table.
REFRESH = 0.5
GROUP_MARK = "@"

_live: weakref.WeakKeyDictionary[Any, LiveQuotes] = weakref.WeakKeyDictionary()


class NoSuchGroup(LookupError):
    pass


def group_members(store: Any, name: str) -> list[Any] | None:
    """The members of a saved group (symbols, or contracts), or None when it is not saved."""
    key = group_key(name)
    if key not in store:
        return None
    value = store.get(key)
    if isinstance(value, dict):
        return list(value.get("contracts", []))
    if isinstance(value, (set, frozenset, list, tuple)):
        return sorted(value)
    return []


def _expand(store: Any, words: list[str]) -> tuple[list[Any], set[str]]:
    """The symbols and contracts the words name, and the names that came from groups."""
    items: list[Any] = []
    from_groups: set[str] = set()
    for word in words:
        if word.startswith(GROUP_MARK):
            members = group_members(store, word[len(GROUP_MARK) :])
            if members is None:
                raise NoSuchGroup(f"no quote group named {word[len(GROUP_MARK) :]!r}")
            items.extend(members)
            from_groups.update(_name(m) for m in members)
        else:
            items.append(word)
    return items, from_groups


def _name(item: Any) -> str:
    if isinstance(item, str):
        return item.strip().upper()
    from corvane.helpers import nameForContract

    return nameForContract(item)


def live_quotes(session: Any) -> LiveQuotes:
    """The session's live quotes, set up the first time they are needed."""
    live = _live.get(session)
    if live is None:
        from corvane.live_quotes import LiveQuotes

        live = _live[session] = session.loop_thread.call(lambda: LiveQuotes(session.ib, session.state))
    return live


def _items(ctx: WordContext, word: str, rest: list[str]) -> tuple[list[Any], set[str]]:
    if not rest:
        raise Refused(f"usage: {word} SYMBOL|@GROUP...")
    try:
        return _expand(ctx.store, rest)
    except NoSuchGroup as exc:
        raise Refused(f"{word}: {exc}") from None


def quote(ctx: WordContext, rest: list[str]) -> None:
    items, _ = _items(ctx, "quote", rest)
    if not ctx.connect_once():
        raise Failed(f"quote needs a gateway connection, and there is none at {ctx.address}")
    live = live_quotes(ctx.session)
    outcome = ctx.session.loop_thread.run(lambda: live.subscribe(items))
    if outcome.kind == "cancelled":
        raise Cancelled("quote: cancelled")
    if outcome.error is not None:
        raise Failed(f"quote failed: {type(outcome.error).__name__}: {outcome.error}")
    good = [f"{o.symbol} ({o.why})" if o.why else o.symbol for o in outcome.value if o.live]
    for o in outcome.value:
        if not o.live:
            ctx.complain(f"quote {o.symbol}: {o.why}")
    if good:
        ctx.say("live: " + " ".join(good))
    if not all(o.live for o in outcome.value):
        raise Failed()


def unquote(ctx: WordContext, rest: list[str]) -> None:
    items, from_groups = _items(ctx, "unquote", rest)
    names = list(dict.fromkeys(_name(i) for i in items))
    session = ctx.existing_session
    if session is None:
        done, missing = [], names
    else:
        live = live_quotes(session)
        done, missing = session.loop_thread.call(lambda: live.unsubscribe(names))
    # Members of a group that were never live are no news; a typed symbol that is not live is.
    typed_missing = [n for n in missing if n not in from_groups]
    for name in typed_missing:
        ctx.complain(f"unquote {name}: not live")
    if done:
        ctx.say("not live any more: " + " ".join(done))
    elif not typed_missing:
        ctx.say("nothing was live")
    if typed_missing:
        raise Failed()


def show(ctx: WordContext, rest: list[str]) -> None:
    if rest:
        raise Refused("usage: quotes")
    session = ctx.existing_session
    if session is None or not session.state.quoteState:
        ctx.say("no live quotes (quote SYMBOL... subscribes)")
        return
    live = live_quotes(session)

    def table() -> list[str]:
        return session.loop_thread.call(lambda: render(live.rows()))

    if not (is_terminal(ctx.out) and is_terminal(sys.stdin)):
        ctx.say("\n".join(table()))
        return
    _watch(ctx, table)


def _watch(ctx: WordContext, table: Callable[[], list[str]]) -> None:
    """Redraw the table in place until a key is pressed (or Ctrl-C)."""
    import termios
    import tty

    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd)
    drawn = 0
    out = ctx.out
    try:
        tty.setcbreak(fd)
        while True:
            lines = [*table(), "(press any key to stop)"]
            if drawn:
                out.write(f"\x1b[{drawn}F\x1b[J")  # back to the table's first line, clear below
            out.write("\n".join(lines) + "\n")
            out.flush()
            drawn = len(lines)
            ready, _, _ = select.select([fd], [], [], REFRESH)
            if ready:
                os.read(fd, 64)
                return
    except KeyboardInterrupt:
        return
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def _symbols_and_groups(sources: Completion, before: list[str]) -> list[str]:
    return [*sources.symbols(), *(GROUP_MARK + g for g in sources.groups())]


WORDS = [
    ConsoleWord(
        "quote",
        "quote SYMBOL|@GROUP...",
        "stream live quotes (tessik marks them live)",
        quote,
        details="@NAME stands for the members of the saved group NAME. quotes shows the\n"
        "table; tessik marks the live members of each group.",
        complete=_symbols_and_groups,
    ),
    ConsoleWord(
        "unquote",
        "unquote SYMBOL|@GROUP...",
        "stop streaming these quotes",
        unquote,
        details="@NAME stands for the members of the saved group NAME.",
        complete=_symbols_and_groups,
    ),
    ConsoleWord(
        "quotes",
        "quotes",
        "the live quotes; on a terminal they update until a key is pressed",
        show,
        details="Elsewhere than on a terminal the table is printed once.",
    ),
]
