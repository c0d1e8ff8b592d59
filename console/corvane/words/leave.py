"""``exit`` and ``quit``: leaving the prompt."""

from __future__ import annotations

from corvane.words.base import ConsoleWord, WordContext


def run(ctx: WordContext, rest: list[str]) -> None:
    """Nothing: the prompt leaves before it would run this."""


WORDS = [
    ConsoleWord(
        "exit",
        "exit",
        "leave the console (Ctrl-D works too)",
        run,
        details="quit does the same.",
        prompt_only=True,
        leaves=True,
    ),
    ConsoleWord(
        "quit", "quit", "leave the console (Ctrl-D works too)", run, prompt_only=True, leaves=True, listed=False
    ),
]
