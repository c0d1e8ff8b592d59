"""Tab completion at the prompt: every word of a line, not only the first.

What fits a position follows from the words before it: command words
first; after ``help`` a command; after ``sorvel`` a symbol used before,
then period, adjustment and day words; after ``tessik``, ``group`` and
``ungroup`` the saved quote groups; after ``cache`` its two words.
Symbols come from the prompt history, so the ones a user works with are
one Tab away.
"""

from __future__ import annotations

from typing import Callable, Iterable

from corvane import commands
from corvane.gateway.sorvel_cache import PERIOD_SECONDS

SORVEL_WORDS = (*PERIOD_SECONDS, "adj", "forward", "none", "intraday", "today", "yesterday")
#: Commands whose first word is a symbol.
SYMBOL_COMMANDS = ("sorvel",)
GROUP_WORDS = ("tessik", "group", "ungroup")


class Completer:
    """``complete(text, state)`` for readline, from the line typed so far."""

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
                pool = commands.known_words() if len(before) == 1 else ()
            elif first == "cache":
                pool = ("info", "clear") if len(before) == 1 else ()
            elif first in GROUP_WORDS:
                pool = self.groups() if len(before) == 1 or first == "tessik" else self.symbols()
            elif first in SYMBOL_COMMANDS:
                pool = self.symbols() if len(before) == 1 else SORVEL_WORDS
            else:
                pool = ()
        return sorted(w for w in set(pool) if w.startswith(text))

    def symbols(self) -> list[str]:
        """Symbols typed after a symbol command or in a group before, newest first."""
        seen: dict[str, None] = {}
        for line in reversed(self.history()):
            words = line.split()
            if len(words) >= 2 and words[0] in SYMBOL_COMMANDS:
                seen.setdefault(words[1].upper(), None)
            elif len(words) >= 3 and words[0] == "group":
                for w in words[2:]:
                    seen.setdefault(w.upper(), None)
        return list(seen)

    def complete(self, text: str, state: int) -> str | None:
        if state == 0:
            typed = self.line()
            # The words before the one being completed.
            head = typed[: len(typed) - len(text)] if typed.endswith(text) else typed
            try:
                self._options = self.options(head.split(), text)
            except Exception:  # completion must never break the prompt
                self._options = []
        return self._options[state] if state < len(self._options) else None
