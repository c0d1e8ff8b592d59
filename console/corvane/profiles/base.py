"""The shape of a command profile: everything the console may want to know of a command."""

from __future__ import annotations

from collections.abc import Collection, Iterable
from typing import Any


class Profile:
    """A command the console knows nothing particular of; profiles override what they know."""

    #: What ``help COMMAND`` adds after the command's own help text.
    help_notes = ""

    def refusal(self, op: Any) -> str | None:
        """Why the filled command's words cannot give any answer (exit 2), or None."""
        return None

    def notes(self, op: Any, result: dict) -> list[str]:
        """One-line remarks on how a result's words were read (a failure's too)."""
        return []

    def summary(self, result: Any, saved_groups: Collection[str]) -> str | None:
        """The summary line of a successful result, or None for the console's usual one."""
        return None

    def label(self, state: Any, result: Any) -> str:
        """Text the summary line adds after the result."""
        return ""

    def completions(self, before: list[str], symbols: list[str], groups: list[str]) -> Iterable[str]:
        """Words that may follow ``before`` (the command word first) on a line."""
        return ()

    def symbols_typed(self, words: list[str]) -> list[str]:
        """The symbols a line of this command (``words``, the command word first) names."""
        return []

    def cached_origin(self, result: dict) -> Any:
        """Where and when a cache answer's bars were fetched (``source``, ``fetched_at``), or None."""
        return None

    def cached_title(self, result: dict, op: Any, origin: Any) -> str | None:
        """The title of a cache answer's table, or None when the command prints nothing to title."""
        return None

    def note_source(self, op: Any, result: dict) -> None:
        """Tell the command's cache where a fetch's bars came from."""
