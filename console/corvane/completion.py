"""Tab completion at the prompt: every word of a line, not only the first.

What fits a position follows from the words before it: command words
first; after ``help`` a command or console word; after ``sorvel`` a symbol
used before, then period, adjustment and day words; after ``tessik``,
``group`` and ``ungroup`` the saved quote groups; after ``quote`` and
``unquote`` symbols and ``@GROUP``; after ``cache`` its two words. Symbols
come from the prompt history, so the ones a user works with are one Tab
away.

Python's readline inserts exactly what the completer returns and appends
nothing, so a single match is returned with its trailing space, as a shell
completes a whole word; several matches are returned bare, so readline
fills in their common start and the user types on.
"""

from __future__ import annotations

from typing import Callable, Iterable

from corvane import commands
from corvane.gateway.sorvel_cache import PERIOD_SECONDS

SORVEL_WORDS = (*PERIOD_SECONDS, "adj", "forward", "none", "intraday", "today", "yesterday")
#: Commands whose first word is a symbol.
SYMBOL_COMMANDS = ("sorvel",)
#: Words whose next word (every word, for tessik) is a group name as it is saved.
GROUP_WORDS = ("tessik", "group", "ungroup")
#: Words that take symbols and @GROUP anywhere after them.
MARKED_GROUP_WORDS = ("quote", "unquote")
GROUP_MARK = "@"
#: Only blanks end a word: "@tech", "/ES" and "2025-01-02" are completed whole.
DELIMITERS = " \t\n"


class Completer:
    """``complete(text, state)`` for readline, from the line typed up to the cursor."""

    def __init__(self, own_words: Iterable[str], groups: Callable[[], list[str]],
                 history: Callable[[], list[str]], line: Callable[[], str]) -> None:
        self.own_words = tuple(own_words)
        self.groups = groups
        self.history = history
        self.line = line
        self._options: list[str] = []

    def options(self, before: list[str], text: str) -> list[str]:
        """The words that may stand after ``before`` and start with ``text``."""
        if not before:
            pool: Iterable[str] = {*commands.known_words(), *self.own_words}
        else:
            first = before[0]
            if first == "help":
                pool = {*commands.known_words(), *self.own_words} if len(before) == 1 else ()
            elif first == "cache":
                pool = ("info", "clear") if len(before) == 1 else ()
            elif first in GROUP_WORDS:
                pool = self.groups() if len(before) == 1 or first == "tessik" else self.symbols()
            elif first in MARKED_GROUP_WORDS:
                pool = [*self.symbols(), *(GROUP_MARK + g for g in self.groups())]
            elif first in SYMBOL_COMMANDS:
                pool = self.symbols() if len(before) == 1 else SORVEL_WORDS
            else:
                pool = ()
        return sorted(w for w in set(pool) if w.startswith(text))

    def symbols(self) -> list[str]:
        """Symbols typed after a symbol command, in a group or quoted before, newest first."""
        seen: dict[str, None] = {}
        for line in reversed(self.history()):
            words = line.split()
            if len(words) >= 2 and words[0] in SYMBOL_COMMANDS:
                found = words[1:2]
            elif len(words) >= 3 and words[0] == "group":
                found = words[2:]
            elif words and words[0] in MARKED_GROUP_WORDS:
                found = [w for w in words[1:] if not w.startswith(GROUP_MARK)]
            else:
                continue
            for w in found:
                seen.setdefault(w.upper(), None)
        return list(seen)

    def complete(self, text: str, state: int) -> str | None:
        if state == 0:
            typed = self.line()
            # The words before the one being completed.
            head = typed[: len(typed) - len(text)] if typed.endswith(text) else typed
            try:
                options = self.options(head.split(), text)
            except Exception:  # completion must never break the prompt
                options = []
            # One match is a whole word: end it, so the next Tab starts the next word.
            self._options = [options[0] + " "] if len(options) == 1 else options
        return self._options[state] if state < len(self._options) else None
