"""The ``corvane`` command line's options: one parser for this process and for the owner,
which reads the command lines attached one-shots send it."""

from __future__ import annotations

import argparse
import sys
from typing import TextIO

from corvane import view_options
from corvane.exit_status import ExitStatus
from corvane.gateway.connection import (
    CLIENT_ID_ENV,
    DEFAULT_CLIENT_ID,
    DEFAULT_HOST,
    DEFAULT_TIMEOUT,
    HOST_ENV,
    PORT_ENV,
    TIMEOUT_ENV,
)
from corvane.gateway.discovery import USUAL_PORTS

EPILOG = f"""\
examples:
  corvane                      open the interactive prompt
  corvane help                 list the commands
  corvane help sorvel          one command's words and examples
  corvane sorvel AAPL day 100  run one command and exit
  corvane sorvel AAPL day 100 --chart a.png --export a.csv
                               ... and keep its bars as a picture and a file
  corvane serve                own the gateway without a prompt, for one-shots

A one-shot command runs in the console that owns the gateway for this
CORVANE_HOME (the prompt, or corvane serve) when one runs: one connection,
one pacing count, no start-up. --standalone runs it in this process instead.

exit status: 0 success, 1 the command failed or returned an error (or a
group change could not be saved), 2 words the console cannot use, 130 interrupted.

environment: {HOST_ENV}, {PORT_ENV}, {CLIENT_ID_ENV}, {TIMEOUT_ENV} set the
gateway defaults; CORVANE_HOME (default ~/.corvane) holds the prompt history,
the saved quote groups, the candle cache and the bar store (corvane cache
info|clear)."""


class _Parser(argparse.ArgumentParser):
    #: Where refusals go (an attached client's stream in the owner).
    err: TextIO | None = None

    def error(self, message: str):  # same wording, but returned as status 2 by main()
        err = self.err or sys.stderr
        self.print_usage(err)
        print(f"corvane: {message}", file=err)
        raise SystemExit(ExitStatus.BAD_WORDS)


#: The console's options before the command: (names, metavar or None for a flag, help).
OPTIONS: list[tuple[tuple[str, ...], str | None, str]] = [
    (("-v", "--verbose"), None, "show debug log lines and tracebacks"),
    (("--host",), "HOST", f"gateway host (default {DEFAULT_HOST})"),
    (("--port",), "PORT", f"gateway port (default: try {', '.join(map(str, USUAL_PORTS))} in turn)"),
    (("--client-id",), "CLIENT_ID", f"API client id (default {DEFAULT_CLIENT_ID})"),
    (("--connect-timeout",), "SECONDS", f"how long to wait for the gateway (default {DEFAULT_TIMEOUT:g})"),
    (("--no-gateway",), None, "do not try to reach a gateway"),
    (("--standalone",), None, "run here, not in the console that owns the gateway"),
]
#: Every option name the command line knows -> whether a value may follow it.
_TAKES_VALUE = {
    **{name: metavar is not None for names, metavar, _ in OPTIONS for name in names},
    **{usage.split()[0]: " " in usage for usage, _ in view_options.OPTIONS},
    "-h": False,
    "--help": False,
}


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="corvane",
        description="Trading and market-data console.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    for names, metavar, text in OPTIONS:
        if metavar is None:
            p.add_argument(*names, action="store_true", help=text)
        else:
            p.add_argument(*names, metavar=metavar, help=text)
    view_options.document(p)
    p.add_argument("command", nargs="?", help="command to run; none opens the prompt")
    p.add_argument("words", nargs=argparse.REMAINDER, help="the command's words")
    return p


def parse(argv: list[str], err: TextIO | None = None) -> tuple[argparse.Namespace, view_options.ViewOptions] | int:
    """The options and command of ``argv``; an exit status when there is nothing to run (told on ``err``).

    No command word starts with "--", so a "--" word after the command is the
    console's: ``corvane sorvel AAPL --port 4002`` means ``corvane --port 4002
    sorvel AAPL``; single-dash words stay with the command. A console word that
    reads "--" options of its own keeps them, and those of the view options it
    reads itself (download's --export), given before or after it; the console
    takes the other view options (--rows) and moves its other options.
    """
    err = err or sys.stderr
    try:
        parser = build_parser()
        parser.err = err  # type: ignore[attr-defined]
        view = view_options.ViewOptions()
        try:  # the command word, past view options before it ("--chart download ...")
            _, command, _ = _split(view_options.take(argv)[0])
        except view_options.OptionError:
            _, command, _ = _split(argv)
        own = _own_options(command)
        rest, view = view_options.take(argv, view_options.NAMES if own is None else own)
        front, command, words = _split(rest)
        if own is not None:
            # The view options the word reads itself are its own on either side of it.
            theirs, front = _hoist(front, frozenset(_TAKES_VALUE) - (view_options.NAMES - own))
            words = [*words, *theirs]
        moved, kept = _hoist(words, view_options.NAMES if own is not None else frozenset())
        return parser.parse_args([*front, *moved, *([command] if command else []), *kept]), view
    except view_options.OptionError as exc:
        print(f"corvane: {exc}", file=err)
        return ExitStatus.BAD_WORDS
    except SystemExit as exc:  # --help, or words argparse refused (already told)
        return exc.code if isinstance(exc.code, int) else ExitStatus.BAD_WORDS


def _option(word: str) -> str | None:
    """The option ``word`` names ("--port=4002", or argparse's unique prefix "--po"); None if none."""
    name = word.partition("=")[0]
    if name in _TAKES_VALUE:
        return name
    found = [known for known in _TAKES_VALUE if name.startswith("--") and known.startswith(name)]
    return found[0] if len(found) == 1 else None


def _takes_next(word: str) -> bool:
    name = _option(word)
    return name is not None and _TAKES_VALUE[name] and "=" not in word


def _split(argv: list[str]) -> tuple[list[str], str | None, list[str]]:
    """The options before the command, the command word (None: none), and its words."""
    i = 0
    while i < len(argv) and argv[i].startswith("-"):
        i += 2 if _takes_next(argv[i]) else 1
    return argv[: min(i, len(argv))], (argv[i] if i < len(argv) else None), argv[i + 1 :]


def _hoist(words: list[str], keep: frozenset[str]) -> tuple[list[str], list[str]]:
    """The "--" options among a command's words (with their values), and the rest.

    With ``keep``, only the console's known options move, none of the names in ``keep``.
    """
    moved: list[str] = []
    kept: list[str] = []
    i = 0
    while i < len(words):
        word = words[i]
        i += 1
        name = _option(word)
        if not word.startswith("--") or (keep and (name is None or name in keep)):
            kept.append(word)
            continue
        moved.append(word)  # an unknown one is left for the parser to refuse
        if _takes_next(word) and i < len(words):
            moved.append(words[i])
            i += 1
    return moved, kept


def _own_options(command: str | None) -> frozenset[str] | None:
    """For a console word that reads "--" options of its own, the view options the console still
    takes off its line; None for any other command."""
    from corvane.words import registry

    word = registry.find(command, interactive=False) if command is not None else None
    return word.console_options if word is not None and word.own_options else None


def names_gateway(args: argparse.Namespace) -> bool:
    """Whether the command line asks for a gateway of its own (options, not the environment)."""
    return bool(args.no_gateway) or any(
        v is not None for v in (args.host, args.port, args.client_id, args.connect_timeout)
    )
