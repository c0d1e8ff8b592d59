"""``help``: the commands and console words, or one of them."""

from __future__ import annotations

from itertools import groupby

from corvane import commands, profiles
from corvane.exit_status import Refused
from corvane.words.base import Completion, ConsoleWord, WordContext
from corvane.words.registry import available, registry


def listing(interactive: bool) -> str:
    lines = ["Commands:"]
    infos = sorted(commands.catalog(), key=lambda i: (i.category, i.word))
    if not infos:
        lines.append("  (no command modules loaded)")
    width = max([len(i.word) for i in infos] + [8])
    for category, members in groupby(infos, key=lambda i: i.category):
        lines.append(f"  {category}")
        lines.extend(f"    {info.word.ljust(width)}  {info.summary}" for info in members)
    own = [w for w in available(interactive=interactive) if w.listed]
    lines += ["", "Console:", *_usage_column(own), ""]
    lines.append("Type help WORD for a command's words and examples, or a console word's usage.")
    return "\n".join(lines)


#: Usages up to this long share a line with their summary; a longer one (download's) stands on a
#: line of its own, so one long usage does not push every summary to the right.
USAGE_COLUMN = 28


def _usage_column(words: list[ConsoleWord]) -> list[str]:
    width = max([len(w.usage) for w in words if len(w.usage) <= USAGE_COLUMN] + [8])
    lines: list[str] = []
    for w in words:
        if len(w.usage) <= width:
            lines.append(f"    {w.usage.ljust(width)}  {w.summary}")
        else:
            lines += [f"    {w.usage}", f"    {' ' * width}  {w.summary}"]
    return lines


def command_help(word: str) -> str | None:
    cls = commands.find(word)
    text = commands.cached_help(word) if cls is None else commands.help_text(cls)
    if text is None:
        return None
    return text + profiles.profile(word).help_notes


def run(ctx: WordContext, rest: list[str]) -> None:
    if not rest:
        ctx.say(listing(ctx.interactive))
        return
    if len(rest) > 1:
        raise Refused("usage: help [WORD]")
    own = registry().get(rest[0])
    text = own.help_text(ctx.interactive) if own is not None else command_help(rest[0])
    if text is None:
        raise Refused(commands.unknown_command_message(rest[0]))
    ctx.say(text)


def complete(sources: Completion, before: list[str]) -> list[str]:
    return [*commands.known_words(), *registry()] if len(before) == 1 else []


WORDS = [
    ConsoleWord(
        "help",
        "help [WORD]",
        "list the commands, or show one command's or console word's help",
        run,
        details="A console word (group, quote, chart, ...) gets its usage and what it does.",
        complete=complete,
    )
]
