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
from typing import TYPE_CHECKING, Any

from corvane.kvstore import group_key
from corvane.quote_table import render
from ferrut.status_line import is_terminal

if TYPE_CHECKING:  # the client library loads with the first quote, not with --help
    from corvane.live_quotes import LiveQuotes

WORDS = ("quote", "unquote", "quotes")
USAGE = {
    "quote": "usage: quote SYMBOL|@GROUP...",
    "unquote": "usage: unquote SYMBOL|@GROUP...",
    "quotes": "usage: quotes",
}
#: Seconds between two redraws of the live table.
REFRESH = 0.5
GROUP_MARK = "@"

_live: weakref.WeakKeyDictionary[Any, "LiveQuotes"] = weakref.WeakKeyDictionary()


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
            members = group_members(store, word[len(GROUP_MARK):])
            if members is None:
                raise NoSuchGroup(f"no quote group named {word[len(GROUP_MARK):]!r}")
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


def handle(console: Any, word: str, rest: list[str]) -> int:
    from corvane.console import BAD_WORDS, FAILED, INTERRUPTED, OK

    if (word == "quotes") == bool(rest):
        console.complain(USAGE[word])
        return BAD_WORDS
    if word == "quotes":
        return _show(console)
    try:
        items, from_groups = _expand(console.store, rest)
    except NoSuchGroup as exc:
        console.complain(f"{word}: {exc}")
        return BAD_WORDS
    if word == "unquote":
        return _unquote(console, items, from_groups)

    if not console.connected and not console._connect_tried:
        console.connect()
    if not console.connected:
        console.complain(f"quote needs a gateway connection, and there is none at "
                         f"{console.settings.address}")
        return FAILED
    live = live_quotes(console.session)
    outcome = console.session.loop_thread.run(lambda: live.subscribe(items))
    if outcome.kind == "cancelled":
        console.complain("quote: cancelled")
        return INTERRUPTED
    if outcome.error is not None:
        console.complain(f"quote failed: {type(outcome.error).__name__}: {outcome.error}")
        return FAILED
    good = [f"{o.symbol} ({o.why})" if o.why else o.symbol for o in outcome.value if o.live]
    for o in outcome.value:
        if not o.live:
            console.complain(f"quote {o.symbol}: {o.why}")
    if good:
        console.say("live: " + " ".join(good))
    return OK if all(o.live for o in outcome.value) else FAILED


def _unquote(console: Any, items: list[Any], from_groups: set[str]) -> int:
    from corvane.console import FAILED, OK

    names = list(dict.fromkeys(_name(i) for i in items))
    if console._session is None:
        done, missing = [], names
    else:
        live = live_quotes(console.session)
        done, missing = console.session.loop_thread.call(lambda: live.unsubscribe(names))
    # Members of a group that were never live are no news; a typed symbol that is not live is.
    typed_missing = [n for n in missing if n not in from_groups]
    for name in typed_missing:
        console.complain(f"unquote {name}: not live")
    if done:
        console.say("not live any more: " + " ".join(done))
    elif not typed_missing:
        console.say("nothing was live")
    return FAILED if typed_missing else OK


def _show(console: Any) -> int:
    from corvane.console import OK

    session = console._session
    if session is None or not session.state.quoteState:
        console.say("no live quotes (quote SYMBOL... subscribes)")
        return OK
    live = live_quotes(session)

    def table() -> list[str]:
        return session.loop_thread.call(lambda: render(live.rows()))

    if not (is_terminal(console.out) and is_terminal(sys.stdin)):
        console.say("\n".join(table()))
        return OK
    _watch(console, table)
    return OK


def _watch(console: Any, table) -> None:
    """Redraw the table in place until a key is pressed (or Ctrl-C)."""
    import termios
    import tty

    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd)
    drawn = 0
    out = console.out
    try:
        tty.setcbreak(fd)
        while True:
            lines = table() + ["(press any key to stop)"]
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
