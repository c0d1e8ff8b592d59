"""The commands the console ships with, each named once: word, module, class, profile.

Only names are kept here, nothing is imported: a command's module is loaded when the
command is used (:mod:`corvane.commands`) and its profile when the console speaks of it
(:mod:`corvane.profiles`). Both read this table, and the profiles sit below the commands,
so it lives at the bottom, where every layer may read it.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Shipped:
    module: str  # registers the command class on import
    cls: str  # the class it registers under the word
    profile: str  # what the console knows of the command


COMMAND_TABLE: dict[str, Shipped] = {
    "sorvel": Shipped(module="corvane.cmds.quotes.sorvel", cls="IOpSorvel", profile="corvane.profiles.sorvel"),
    "tessik": Shipped(module="corvane.cmds.quote_mgmt.tessik", cls="IOpQuoteList", profile="corvane.profiles.tessik"),
}
