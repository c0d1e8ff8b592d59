"""Tab completion at the prompt: every word of a line, not only the first.

What fits a position follows from the words before it: command and console
words first; after a console word what it says it completes (the registry);
after a command what its profile says (for sorvel a symbol used before, then
period, adjustment and day words). Symbols come from the prompt history, so
the ones a user works with are one Tab away.

Python's readline inserts exactly what the completer returns and appends
nothing, so a single match is returned with its trailing space, as a shell
completes a whole word; several matches are returned bare, so readline
fills in their common start and the user types on.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable

from corvane import commands, profiles
from corvane.words import registry

GROUP_MARK = "@"
#: Only blanks end a word: "@tech", "/ES" and "2025-01-02" are completed whole.
DELIMITERS = " \t\n"


class Completer:
    """``complete(text, state)`` for readline, from the line typed up to the cursor."""

    def __init__(
        self,
        groups: Callable[[], list[str]],
        history: Callable[[], list[str]],
        line: Callable[[], str],
        *,
        interactive: bool = True,
    ) -> None:
        self._groups = groups
        self.history = history
        self.line = line
        self.interactive = interactive
        self._options: list[str] = []

    def groups(self) -> list[str]:
        return list(self._groups())

    def options(self, before: list[str], text: str) -> list[str]:
        """The words that may stand after ``before`` and start with ``text``."""
        pool: Iterable[str]
        if not before:
            pool = {*commands.known_words(), *(w.name for w in registry.available(interactive=self.interactive))}
        elif (word := registry.find(before[0], interactive=self.interactive)) is not None:
            pool = word.complete(self, before)
        elif commands.find(before[0]) is not None or before[0] in commands.known_words():
            pool = profiles.profile(before[0]).completions(before, self.symbols(), self.groups())
        else:
            pool = ()
        return sorted(w for w in set(pool) if w.startswith(text))

    def symbols(self) -> list[str]:
        """Symbols typed after a symbol command, in a group or quoted before, newest first."""
        seen: dict[str, None] = {}
        for line in reversed(self.history()):
            words = line.split()
            if not words:
                continue
            if words[0] == "group":
                found = words[2:]
            elif words[0] in ("quote", "unquote"):
                found = [w for w in words[1:] if not w.startswith(GROUP_MARK)]
            else:
                found = profiles.profile(words[0]).symbols_typed(words)
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
