"""``connect [HOST] [PORT]``: the gateway again, or another one."""

from __future__ import annotations

from corvane.exit_status import ExitStatus
from corvane.gateway.connection import SettingsError, settings_for_words
from corvane.words.base import ConsoleWord, UsageError, WordContext


def run(ctx: WordContext, rest: list[str]) -> ExitStatus:
    try:
        wanted = settings_for_words(ctx.settings, rest)
    except SettingsError as exc:
        raise UsageError(f"connect: {exc}") from None
    if ctx.connected and wanted.address == ctx.address:
        ctx.say(f"already connected to {ctx.address}")
        return ExitStatus.OK
    return ExitStatus.OK if ctx.switch_gateway(wanted) else ExitStatus.FAILED


WORDS = [
    ConsoleWord(
        "connect",
        "connect [HOST] [PORT]",
        "try the gateway again, or the one at HOST and PORT",
        run,
        details="Says so when the console is already connected.",
        prompt_only=True,
    )
]
