"""The shape of a console word, and what a word may use while it runs.

A console word is the console's own (``help``, ``group``, ``quote``,
``cache``, ``connect``, ``chart``, ...), as opposed to a command from a
command module. Each lives in one module of this package and registers one
or more :class:`ConsoleWord`; the dispatcher, ``help``, the prompt's word
list and completion all read the registry. A word is given a
:class:`WordContext` and never imports the dispatcher.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Protocol, TextIO

if TYPE_CHECKING:
    from corvane.bar_views import Views
    from corvane.gateway.connection import GatewaySettings
    from corvane.kvstore import KeyValueStore
    from corvane.session import Session


class WordContext(Protocol):
    """What a console word may use: output, the store, the session and the connection."""

    interactive: bool
    verbose: bool
    store: KeyValueStore
    out: TextIO
    settings: GatewaySettings

    def say(self, text: str) -> None: ...

    def complain(self, text: str) -> None: ...

    @property
    def session(self) -> Session:
        """The session, started if it was not."""

    @property
    def existing_session(self) -> Session | None: ...

    @property
    def connected(self) -> bool: ...

    @property
    def address(self) -> str: ...

    def connect_once(self) -> bool:
        """Try the gateway unless this console tried already; whether it is connected."""

    def switch_gateway(self, settings: GatewaySettings) -> bool:
        """Connect to the gateway ``settings`` name, leaving the one connected now."""

    @property
    def views(self) -> Views: ...


class Completion(Protocol):
    """What completion knows besides the words typed: saved groups and symbols used before."""

    def groups(self) -> list[str]: ...

    def symbols(self) -> list[str]: ...


#: A word ends by returning, or by raising ``Refused``, ``Failed`` or ``Cancelled``.
Runner = Callable[[WordContext, list[str]], None]
#: (completion sources, the words before the one being completed) -> candidates.
Completer = Callable[[Completion, list[str]], Iterable[str]]


def _nothing(_sources: Completion, _before: list[str]) -> Iterable[str]:
    return ()


@dataclass(frozen=True)
class ConsoleWord:
    name: str
    usage: str
    #: One line for the listing.
    summary: str
    run: Runner
    #: More than the summary, for ``help NAME``.
    details: str = ""
    complete: Completer = _nothing
    #: Only at the prompt (it acts on the prompt's state: the last result, the connection).
    prompt_only: bool = False
    #: Takes its own ``--`` options, so the console's view options are left on its words.
    own_options: bool = False
    #: Of the console's view options, those it still takes off such a word's line (the word
    #: reads the others itself); none: the word reads every option given it.
    console_options: frozenset[str] = frozenset()
    #: Ends the prompt.
    leaves: bool = False
    #: Shown in the listing (an alias is not).
    listed: bool = True

    def help_text(self, interactive: bool) -> str:
        lines = [f"usage: {self.usage}", f"{self.summary[0].upper()}{self.summary[1:]}.", *self.details.splitlines()]
        if self.prompt_only and not interactive:
            lines.append("(at the prompt only: run corvane without a command)")
        return "\n".join(lines)
