"""``rows``, ``chart`` and ``export`` at the prompt: how tables look, and the last result's bars."""

from __future__ import annotations

import functools

from corvane import view_options
from corvane.exit_status import Refused
from corvane.view_options import OptionError
from corvane.words.base import ConsoleWord, WordContext


def rows(ctx: WordContext, rest: list[str]) -> None:
    if len(rest) > 1:
        raise Refused("usage: rows [N|all]")
    sink = ctx.views.sink
    if rest:
        try:
            sink.rows = view_options.parse_rows(rest[0])
        except OptionError as exc:
            raise Refused(str(exc)) from None
    ctx.say(f"rows: {sink.rows_description()}")


def _act(word: str, ctx: WordContext, rest: list[str]) -> None:
    try:
        words, view = view_options.take(rest)
        if word == "chart" and len(words) <= 1 and not view.export and not view.force:
            view.chart = words[0] if words else ""
        elif word == "export" and len(words) == 1 and view.chart is None:
            view.export = words[0]
        else:
            raise OptionError(f"usage: {WORDS_BY_NAME[word].usage}")
        ctx.views.check(view)
    except ValueError as exc:
        raise Refused(str(exc)) from None
    ctx.views.act(view)


WORDS = [
    ConsoleWord(
        "rows",
        "rows [N|all]",
        "how many rows tables show (alone: the current setting)",
        rows,
        details="N rows, or all; without a setting long tables show their head and tail.\n"
        "--rows N on a command line holds for that line only.",
        prompt_only=True,
        own_options=True,
    ),
    ConsoleWord(
        "chart",
        "chart [FILE.png|.svg]",
        "candles of the last result, in the terminal or a picture",
        functools.partial(_act, "chart"),
        details="Without a file the candles are drawn in the terminal. --chart on a\ncommand line charts its result.",
        prompt_only=True,
        own_options=True,
    ),
    ConsoleWord(
        "export",
        "export FILE [--force]",
        "write the last result's bars to .csv or .parquet",
        functools.partial(_act, "export"),
        details="The file is written whole or not at all; an existing file is replaced only\n"
        "with --force. --export FILE on a command line exports its result.",
        prompt_only=True,
        own_options=True,
    ),
]
WORDS_BY_NAME = {w.name: w for w in WORDS}
