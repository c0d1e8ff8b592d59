"""Base of every command class and the registry that maps command words to classes."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, ClassVar

#: command word -> registered command class
COMMANDS: dict[str, type] = {}


@dataclass
class IOp:
    """Base of the console's commands.

    The console builds one instance per invocation with its state, its
    gateway client and its key-value store, fills the fields named by
    ``argmap()`` from the typed words, and awaits ``run()``. Subclasses
    declare their argument fields with ``field(init=False)``, so the
    constructor only ever takes these three.
    """

    state: Any = field(default=None, repr=False)
    ib: Any = field(default=None, repr=False)
    cache: Any = field(default=None, repr=False)

    requires_gateway: ClassVar[bool] = True

    def argmap(self) -> list:
        return []

    async def run(self) -> dict:
        raise NotImplementedError


def command(*, names: list[str]):
    """Class decorator: register the command class under each word of ``names``."""

    def register(cls):
        for name in names:
            COMMANDS[name] = cls
        return cls

    return register
