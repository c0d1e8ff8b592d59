"""The console's options for looking at bars, taken off the words wherever they stand.

No command word starts with "--", so ``--chart``, ``--export``, ``--force``
and ``--rows`` may come before or after the command's words
(``corvane sorvel AAPL day 100 --chart --export a.csv``).
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

#: (usage, what it does), for the help texts.
OPTIONS = [
    ("--rows N|all", "how many rows a table shows (default: head and tail of long tables)"),
    ("--chart [FILE.png|.svg]", "draw the bars as candles in the terminal, or write a picture"),
    ("--export FILE.csv|.parquet", "write every bar of the result, with symbol and source"),
    ("--force", "let --export replace an existing file"),
]


class OptionError(ValueError):
    """Option words the console cannot use."""


@dataclass
class ViewOptions:
    rows: int | str | None = None  # None: not given
    chart: str | None = None  # None: no chart; "": in the terminal; else a picture file
    export: str | None = None
    force: bool = False

    @property
    def acts(self) -> bool:
        """Whether anything is to be done with the result."""
        return self.chart is not None or self.export is not None


def parse_rows(word: str) -> int | str:
    if word.strip().lower() == "all":
        return "all"
    try:
        rows = int(word)
    except ValueError:
        rows = 0
    if rows < 1:
        raise OptionError(f"rows takes a positive number or all, not {word!r}")
    return rows


def _looks_like_file(word: str) -> bool:
    """A word after --chart names a picture when it has a file's shape, not a command word's."""
    return not word.startswith("-") and ("/" in word or Path(word).suffix[1:].isalpha())


#: The names of the view options.
NAMES = frozenset(usage.split()[0] for usage, _ in OPTIONS)


def take(words: list[str], only: frozenset[str] = NAMES) -> tuple[list[str], ViewOptions]:
    """The words without the view options (those named in ``only``), and the options they held."""
    options = ViewOptions()
    kept: list[str] = []
    i = 0
    while i < len(words):
        word = words[i]
        name, has_value, value = word.partition("=")
        if name not in only:
            kept.append(word)
            i += 1
            continue
        i += 1
        if name == "--force":
            if has_value:
                raise OptionError("--force takes no value")
            options.force = True
            continue
        if not has_value:
            following = words[i] if i < len(words) else None
            if name == "--chart" and (following is None or not _looks_like_file(following)):
                value = ""
            elif following is None or following.startswith("--"):
                raise OptionError(f"{name} needs a value")
            else:
                value, i = following, i + 1
        if name == "--rows":
            options.rows = parse_rows(value)
        elif name == "--chart":
            options.chart = value
        elif not value:
            raise OptionError("--export needs a file name")
        else:
            options.export = value
    return kept, options


def document(parser) -> None:
    """List the options in the command line's help (they are taken off before it parses)."""
    group = parser.add_argument_group("looking at bars (before or after the command's words)")
    group.add_argument("--rows", metavar="N|all", help=OPTIONS[0][1])
    group.add_argument("--chart", metavar="FILE.png|.svg", nargs="?", const="", help=OPTIONS[1][1])
    group.add_argument("--export", metavar="FILE.csv|.parquet", help=OPTIONS[2][1])
    group.add_argument("--force", action="store_true", help=OPTIONS[3][1])
