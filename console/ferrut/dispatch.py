"""Command-line arguments of a command and the mapping from typed words to its fields."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any


class ArgumentError(ValueError):
    """The typed words do not fit the command's arguments."""


@dataclass
class DArg:
    """One argument: ``name`` is the field it fills; a leading "*" takes all remaining words."""

    name: str
    convert: Callable[[Any], Any] | None = None
    desc: str = ""

    @property
    def variadic(self) -> bool:
        return self.name.startswith("*")

    @property
    def field(self) -> str:
        return self.name.lstrip("*")

    def usage(self) -> str:
        return f"[{self.field}...]" if self.variadic else f"<{self.field}>"


def bind_words(op: Any, words: list[str]) -> None:
    """Fill the fields of ``op`` that its ``argmap()`` names from ``words``.

    A missing single argument gets the empty string, so the command itself
    decides what an absent word means. Words left over after the last
    argument are an error, and so is a converter that refuses a word: the
    user gets a message naming the argument, never the converter's traceback.
    """
    words = [str(w) for w in words]
    pos = 0
    for arg in op.argmap():
        missing = False
        if arg.variadic:
            value: Any = words[pos:]
            pos = len(words)
        elif pos < len(words):
            value = words[pos]
            pos += 1
        else:
            value, missing = "", True
        if arg.convert is not None:
            try:
                value = arg.convert(value)
            except Exception as exc:  # any converter, any refusal
                if missing:
                    raise ArgumentError(f"missing argument: {arg.field}") from None
                shown = " ".join(value) if isinstance(value, list) else value
                raise ArgumentError(f"bad value for {arg.field}: {shown!r} ({exc})") from None
        setattr(op, arg.field, value)
    if pos < len(words):
        extra = " ".join(words[pos:])
        raise ArgumentError(f"unexpected words: {extra}")


def usage_line(word: str, args: list[DArg]) -> str:
    """One-line usage such as ``sorvel <symbol> [rest...]``."""
    return " ".join([word, *(a.usage() for a in args)])
