"""Every console word by name. The word modules are named here and imported on first use."""

from __future__ import annotations

import importlib

from corvane import commands
from corvane.words.base import ConsoleWord

#: The modules of this package that hold console words, in the order help lists them.
MODULES = ("help", "groups", "quotes", "download", "store", "cache", "connect", "views", "leave")

_words: dict[str, ConsoleWord] | None = None


def registry() -> dict[str, ConsoleWord]:
    global _words
    if _words is None:
        found: dict[str, ConsoleWord] = {}
        for name in MODULES:
            module = importlib.import_module(f"corvane.words.{name}")
            for word in module.WORDS:
                found[word.name] = word
        _words = found
    return _words


def find(name: str, *, interactive: bool) -> ConsoleWord | None:
    """The console word ``name`` where it can be used (prompt-only words at the prompt only)."""
    if commands.module_of(name) or commands.find(name):  # no word has a command's name, so a
        return None  # one-shot of a command loads none of the word modules
    word = registry().get(name)
    if word is None or (word.prompt_only and not interactive):
        return None
    return word


def available(*, interactive: bool) -> list[ConsoleWord]:
    return [w for w in registry().values() if interactive or not w.prompt_only]
