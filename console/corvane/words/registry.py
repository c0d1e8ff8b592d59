"""Every console word by name. A word's module is imported when the word is first used;
only the listing of them all (help, completion) imports every one."""

from __future__ import annotations

import importlib

from corvane import commands
from corvane.words.base import ConsoleWord

#: Console word -> the module that holds it, in the order help lists them.
WORD_TABLE: dict[str, str] = {
    "help": "corvane.words.help",
    "group": "corvane.words.groups",
    "ungroup": "corvane.words.groups",
    "quote": "corvane.words.quotes",
    "unquote": "corvane.words.quotes",
    "quotes": "corvane.words.quotes",
    "download": "corvane.words.download",
    "store": "corvane.words.store",
    "cache": "corvane.words.cache",
    "connect": "corvane.words.connect",
    "rows": "corvane.words.views",
    "chart": "corvane.words.views",
    "export": "corvane.words.views",
    "exit": "corvane.words.leave",
    "quit": "corvane.words.leave",
}

_loaded: dict[str, ConsoleWord] = {}


def _word(name: str) -> ConsoleWord | None:
    if name not in _loaded and name in WORD_TABLE:
        module = importlib.import_module(WORD_TABLE[name])
        _loaded.update((w.name, w) for w in module.WORDS if w.name in WORD_TABLE)
    return _loaded.get(name)


def registry() -> dict[str, ConsoleWord]:
    """Every word, in the table's order (imports every word module)."""
    found = {name: _word(name) for name in WORD_TABLE}
    return {name: word for name, word in found.items() if word is not None}


def find(name: str, *, interactive: bool) -> ConsoleWord | None:
    """The console word ``name`` where it can be used (prompt-only words at the prompt only)."""
    if commands.module_of(name) or commands.find(name):  # no word has a command's name, so a
        return None  # one-shot of a command loads none of the word modules
    word = _word(name)
    if word is None or (word.prompt_only and not interactive):
        return None
    return word


def available(*, interactive: bool) -> list[ConsoleWord]:
    return [w for w in registry().values() if interactive or not w.prompt_only]
