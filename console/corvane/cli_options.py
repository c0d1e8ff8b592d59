"""Console options given after the command's words.

No command word starts with "--", so a "--" word after the command is the
console's: ``corvane sorvel AAPL --port 4002`` means ``corvane --port 4002
sorvel AAPL``. Single-dash words (``-v``) stay with the command, which may
take them as words of its own.
"""

from __future__ import annotations

import argparse


def hoist(parser: argparse.ArgumentParser, argv: list[str], *, keep: frozenset[str] = frozenset()) -> list[str]:
    """``argv`` with the "--" options after the command word moved in front of it.

    For a command that takes "--" options of its own, only the console's known options are
    moved, and none named in ``keep`` (the command's own of the same name).
    """
    args = parser.parse_args(argv)
    if args.command is None or not any(w.startswith("--") for w in args.words):
        return argv
    actions = parser._option_string_actions  # the parser's own table of option names
    moved: list[str] = []
    kept: list[str] = []
    words = list(args.words)
    i = 0
    while i < len(words):
        word = words[i]
        i += 1
        name = word.partition("=")[0]
        action = actions.get(name)
        own = keep and (action is None or name in keep)
        if not word.startswith("--") or own:
            kept.append(word)
            continue
        moved.append(word)  # an unknown one is left for the parser to refuse
        takes_value = action is not None and action.nargs != 0 and "=" not in word
        if takes_value and i < len(words):
            moved.append(words[i])
            i += 1
    front = argv[: len(argv) - len(args.words) - 1]
    return [*front, *moved, args.command, *kept]
