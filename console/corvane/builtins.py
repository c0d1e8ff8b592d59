"""Words the console answers itself: help, and keeping quote groups."""

from __future__ import annotations

import difflib
from itertools import groupby

from corvane import bar_views, commands
from corvane.kvstore import KeyValueStore, group_key

#: (usage, what it does) of the console's own words, shown by help.
CONSOLE_WORDS = [
    ("help [command]", "list the commands, or show one command's help"),
    ("group NAME SYMBOL...", "set the quote group NAME to these symbols"),
    ("ungroup NAME", "remove the quote group NAME"),
    ("quote SYMBOL|@GROUP...", "stream live quotes (tessik marks them live)"),
    ("unquote SYMBOL|@GROUP...", "stop streaming these quotes"),
    ("quotes", "the live quotes; on a terminal they update until a key is pressed"),
    ("cache info|clear", "what the candle cache on disk holds, or empty it"),
]
PROMPT_WORDS = [
    ("connect [HOST] [PORT]", "try the gateway again, or the one at HOST and PORT"),
    *bar_views.WORDS.values(),
    ("exit", "leave the console (Ctrl-D works too)"),
]


def help_listing(interactive: bool) -> str:
    lines = ["Commands:"]
    infos = sorted(commands.catalog(), key=lambda i: (i.category, i.word))
    if not infos:
        lines.append("  (no command modules loaded)")
    width = max([len(i.word) for i in infos] + [8])
    for category, members in groupby(infos, key=lambda i: i.category):
        lines.append(f"  {category}")
        for info in members:
            lines.append(f"    {info.word.ljust(width)}  {info.summary}")
    lines.append("")
    lines.append("Console:")
    own = CONSOLE_WORDS + (PROMPT_WORDS if interactive else [])
    width = max(len(u) for u, _ in own)
    lines.extend(f"    {u.ljust(width)}  {what}" for u, what in own)
    lines.append("")
    lines.append("Type help COMMAND for a command's words and examples.")
    return "\n".join(lines)


#: What the console adds to a command's own help: its words for the command.
CONSOLE_NOTES = {
    "sorvel": """

Console:
  sorvel /ES day 20   a leading / names a future (ES, NQ, YM, CL, GC, ...): its front
                      month, asked for as the continuous series; the summary line
                      names the contract month
  Tab completes symbols used before, period words, adj / forward / none.
  Period words are lower case; the console says when a word was read otherwise.""",
}


def command_help(word: str) -> str | None:
    cls = commands.find(word)
    text = commands.cached_help(word) if cls is None else commands.help_text(cls)
    if text is None:
        return None
    return text + CONSOLE_NOTES.get(word.lower(), "")


def unknown_command_message(word: str) -> str:
    for module, why in commands.failed_modules().items():
        if module.rsplit(".", 1)[-1] == word:
            return f"command {word!r} is unavailable: its module {module} did not load ({why})."
    near = difflib.get_close_matches(word, commands.known_words(), n=3)
    hint = f" Did you mean: {', '.join(near)}?" if near else ""
    return f"unknown command {word!r}.{hint} Type help for the list."


class UsageError(ValueError):
    """Words a console word cannot use."""


def set_group(store: KeyValueStore, words: list[str]) -> str:
    if len(words) < 2:
        raise UsageError("usage: group NAME SYMBOL...")
    name, symbols = words[0], {w.upper() for w in words[1:]}
    store[group_key(name)] = symbols
    return f"group {name}: {' '.join(sorted(symbols))}"


def remove_group(store: KeyValueStore, words: list[str]) -> str:
    if len(words) != 1:
        raise UsageError("usage: ungroup NAME")
    key = group_key(words[0])
    if key not in store:
        raise UsageError(f"no quote group named {words[0]!r}")
    del store[key]
    return f"group {words[0]} removed"
