"""``connect [HOST] [PORT]``: the gateway again, or another one."""

from __future__ import annotations

from corvane.exit_status import Failed, Refused
from corvane.gateway.connection import SettingsError, settings_for_words
from corvane.words.base import ConsoleWord, WordContext


def run(ctx: WordContext, rest: list[str]) -> None:
    try:
        wanted = settings_for_words(ctx.settings, rest)
    except SettingsError as exc:
        raise Refused(f"connect: {exc}") from None
    if ctx.connected and wanted.address == ctx.address:
        ctx.say(f"already connected to {ctx.address}")
    elif not ctx.switch_gateway(wanted):
        raise Failed()  # the connection has said why


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
