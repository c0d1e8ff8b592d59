"""Words the console answers itself: help, and keeping quote groups."""

from __future__ import annotations

import difflib
from itertools import groupby

from corvane import bar_views, commands
from corvane.kvstore import KeyValueStore, group_key

#: (usage, what it does) of the console's own words, shown by help.
CONSOLE_WORDS = [
    ("help [WORD]", "list the commands, or show one command's or console word's help"),
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
#: What ``help WORD`` adds for a console word, after its usage and the line of the listing.
CONSOLE_DETAILS = {
    "help": "A console word (group, quote, chart, ...) gets its usage and what it does.",
    "group": "Members keep the order typed; a symbol typed twice counts once. A group of\n"
             "that name is replaced, and the console says what it held. tessik lists the\n"
             "groups; quote @NAME streams one.",
    "ungroup": "The group is removed from $CORVANE_HOME/store.json as well.",
    "quote": "@NAME stands for the members of the saved group NAME. quotes shows the\n"
             "table; tessik marks the live members of each group.",
    "unquote": "@NAME stands for the members of the saved group NAME.",
    "quotes": "Elsewhere than on a terminal the table is printed once.",
    "cache": "The bars fetched before are kept in $CORVANE_HOME/candles.sqlite, so a\n"
             "repeated query is answered without the gateway.",
    "connect": "Says so when the console is already connected.",
    "rows": "N rows, or all; without a setting long tables show their head and tail.\n"
            "--rows N on a command line holds for that line only.",
    "chart": "Without a file the candles are drawn in the terminal. --chart on a\n"
             "command line charts its result.",
    "export": "The file is written whole or not at all; an existing file is replaced only\n"
              "with --force. --export FILE on a command line exports its result.",
    "exit": "quit does the same.",
}
#: Words that mean another console word.
CONSOLE_ALIASES = {"quit": "exit"}


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
    lines.append("Type help WORD for a command's words and examples, or a console word's usage.")
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


def console_word_help(word: str, interactive: bool) -> str | None:
    """Usage and what a console word does, or None when ``word`` is none."""
    word = CONSOLE_ALIASES.get(word, word)
    for usage, what in CONSOLE_WORDS + PROMPT_WORDS:
        if usage.split()[0] == word:
            break
    else:
        return None
    lines = [f"usage: {usage}", f"{what[0].upper()}{what[1:]}.", *CONSOLE_DETAILS.get(word, "").splitlines()]
    if not interactive and (usage, what) in PROMPT_WORDS:
        lines.append("(at the prompt only: run corvane without a command)")
    return "\n".join(lines)


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


def _members_text(value: object) -> str:
    """A saved group's members as the user would type them (a set has no order of its own)."""
    if isinstance(value, dict):
        value = [getattr(c, "localSymbol", "") or getattr(c, "symbol", "") or str(c)
                 for c in value.get("contracts", [])]
    elif isinstance(value, (set, frozenset)):
        value = sorted(map(str, value))
    elif not isinstance(value, (list, tuple)):
        value = []
    return " ".join(map(str, value)) or "nothing"


def set_group(store: KeyValueStore, words: list[str]) -> str:
    # Typed order, each symbol once where it was first typed; a blank word names nothing.
    symbols = list(dict.fromkeys(w.strip().upper() for w in words[1:] if w.strip()))
    if not words or not symbols:
        raise UsageError("usage: group NAME SYMBOL...")
    name, key = words[0], group_key(words[0])
    was = _members_text(store[key]) if key in store else None
    store[key] = symbols
    now = " ".join(symbols)
    if was is None:
        return f"group {name}: {now}"
    if was == now:
        return f"group {name}: {now} (unchanged)"
    return f"replaced {name} (was {was}): now {now}"


def remove_group(store: KeyValueStore, words: list[str]) -> str:
    if len(words) != 1:
        raise UsageError("usage: ungroup NAME")
    key = group_key(words[0])
    if key not in store:
        raise UsageError(f"no quote group named {words[0]!r}")
    del store[key]
    return f"group {words[0]} removed"
