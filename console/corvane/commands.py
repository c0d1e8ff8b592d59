"""Loading the command modules and describing the registered commands."""

from __future__ import annotations

import difflib
import importlib
import inspect
import os
import sys
import traceback
from dataclasses import dataclass

from corvane import clock
from corvane.cmds.base import COMMANDS
from corvane.command_table import COMMAND_TABLE
from ferrut.dispatch import usage_line

#: Comma-separated further modules to load (site additions, tests).
EXTRA_MODULES_ENV = "CORVANE_COMMAND_MODULES"

_attempted: dict[str, str | None] = {}  # module -> failure text, None when loaded


def module_names() -> list[str]:
    extra = [m.strip() for m in os.environ.get(EXTRA_MODULES_ENV, "").split(",") if m.strip()]
    return list(dict.fromkeys([*(c.module for c in COMMAND_TABLE.values()), *extra]))


def module_of(word: str) -> str | None:
    """The module of the command ``word``: ours from the table, a further one by its own name."""
    if word in COMMAND_TABLE:
        return COMMAND_TABLE[word].module
    found = [m for m in module_names() if m.rpartition(".")[2] == word]
    return found[0] if len(found) == 1 else None


def load_command_modules(*, verbose: bool = False, stream=None, only: str | None = None) -> dict[str, str]:
    """Import every command module (or ``only`` that one) once; a failure is told once and
    only drops that command.

    Returns module name -> failure text for the modules that did not load.
    """
    stream = stream or sys.stderr
    for name in [only] if only else module_names():
        if name in _attempted:
            continue
        try:
            clock.follow(importlib.import_module(name))
        except BaseException as exc:  # a broken module must never take the console down
            if isinstance(exc, KeyboardInterrupt):
                raise
            _attempted[name] = f"{type(exc).__name__}: {exc}"
            print(f"corvane: command module {name} not loaded ({_attempted[name]})", file=stream)
            if verbose:
                traceback.print_exception(exc, file=stream)
        else:
            _attempted[name] = _missing_class(name)
            if _attempted[name]:
                print(f"corvane: command module {name} not loaded ({_attempted[name]})", file=stream)
    return failed_modules()


def _missing_class(module: str) -> str | None:
    """Why a module of ours that imported did not give the class the table names, or None."""
    for word, shipped in COMMAND_TABLE.items():
        cls = COMMANDS.get(word)
        if shipped.module == module and (cls is None or cls.__name__ != shipped.cls):
            return f"it registers no {shipped.cls} under {word!r}"
    return None


def failed_modules() -> dict[str, str]:
    return {m: why for m, why in _attempted.items() if why}


@dataclass(frozen=True)
class CommandInfo:
    word: str
    cls: type | None  # None: known from the saved catalog, its module not loaded
    category: str
    summary: str


def _module_category(cls: type) -> str:
    doc = getattr(sys.modules.get(cls.__module__), "__doc__", None) or ""
    for line in doc.splitlines():
        if line.startswith("Category:"):
            return line.partition(":")[2].strip() or "Other"
    return "Other"


def help_text(cls: type) -> str:
    """The command's help: its class docstring, dedented."""
    doc = cls.__doc__ or ""
    # A dataclass without a docstring gets a generated signature text as __doc__.
    if not doc.strip() or doc.startswith(cls.__name__ + "("):
        return "(no help text)"
    return inspect.cleandoc(doc)


def usage(word: str, cls: type) -> str:
    try:
        return usage_line(word, cls().argmap())
    except Exception:
        return word


@dataclass(frozen=True)
class CachedCommand:
    """What help shows of a command whose module was not loaded (``help_catalog``)."""

    word: str
    category: str
    summary: str
    help: str


_cached: dict[str, CachedCommand] = {}


def use_cached_catalog(entries: list[CachedCommand]) -> None:
    _cached.clear()
    _cached.update((e.word, e) for e in entries)


def cached_help(word: str) -> str | None:
    """The saved help text of a command not loaded in this process."""
    if find(word) is not None:
        return None
    entry = _cached.get(word) or _cached.get(word.lower())
    return entry.help if entry else None


def known_words() -> list[str]:
    return sorted({*COMMANDS, *_cached})


def catalog() -> list[CommandInfo]:
    if not COMMANDS and _cached:
        return [CommandInfo(e.word, None, e.category, e.summary) for _, e in sorted(_cached.items())]
    infos = []
    for word in sorted(COMMANDS):
        cls = COMMANDS[word]
        first = help_text(cls).splitlines()[0]
        infos.append(CommandInfo(word, cls, _module_category(cls), first))
    return infos


def find(word: str) -> type | None:
    """The command class for a typed word; the registry's own case first, then lower case."""
    return COMMANDS.get(word) or COMMANDS.get(word.lower())


def unknown_command_message(word: str) -> str:
    for module, why in failed_modules().items():
        if module == module_of(word):
            return f"command {word!r} is unavailable: its module {module} did not load ({why})."
    near = difflib.get_close_matches(word, known_words(), n=3)
    hint = f" Did you mean: {', '.join(near)}?" if near else ""
    return f"unknown command {word!r}.{hint} Type help for the list."
