"""The ``corvane`` command line's options: one parser for this process and for the owner,
which reads the command lines attached one-shots send it."""

from __future__ import annotations

import argparse
import sys
from typing import TextIO

from corvane import cli_options, commands, view_options
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
gateway defaults; CORVANE_HOME (default ~/.corvane) holds the prompt history
the saved quote groups and the candle cache (corvane cache info|clear)."""


class _Parser(argparse.ArgumentParser):
    #: Where refusals go (an attached client's stream in the owner).
    err: TextIO | None = None

    def error(self, message: str):  # same wording, but returned as status 2 by main()
        err = self.err or sys.stderr
        self.print_usage(err)
        print(f"corvane: {message}", file=err)
        raise SystemExit(ExitStatus.BAD_WORDS)


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="corvane",
        description="Trading and market-data console.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("-v", "--verbose", action="store_true", help="show debug log lines and tracebacks")
    p.add_argument("--host", help=f"gateway host (default {DEFAULT_HOST})")
    p.add_argument("--port", help=f"gateway port (default: try {', '.join(map(str, USUAL_PORTS))} in turn)")
    p.add_argument("--client-id", help=f"API client id (default {DEFAULT_CLIENT_ID})")
    p.add_argument(
        "--connect-timeout", metavar="SECONDS", help=f"how long to wait for the gateway (default {DEFAULT_TIMEOUT:g})"
    )
    p.add_argument("--no-gateway", action="store_true", help="do not try to reach a gateway")
    p.add_argument("--standalone", action="store_true", help="run here, not in the console that owns the gateway")
    view_options.document(p)
    p.add_argument("command", nargs="?", help="command to run; none opens the prompt")
    p.add_argument("words", nargs=argparse.REMAINDER, help="the command's words")
    return p


def parse(argv: list[str], err: TextIO | None = None) -> tuple[argparse.Namespace, view_options.ViewOptions] | int:
    """The options and command of ``argv``; an exit status when there is nothing to run (told on ``err``)."""
    err = err or sys.stderr
    try:
        argv = list(argv)
        parser = build_parser()
        parser.err = err  # type: ignore[attr-defined]
        own = _own_options(parser, argv)
        if own:
            # The command reads its own "--" options (--export included); only the console's move.
            return parser.parse_args(cli_options.hoist(parser, argv, keep=own)), view_options.ViewOptions()
        argv, view = view_options.take(argv)
        return parser.parse_args(cli_options.hoist(parser, argv)), view
    except view_options.OptionError as exc:
        print(f"corvane: {exc}", file=err)
        return ExitStatus.BAD_WORDS
    except SystemExit as exc:  # --help, or words argparse refused (already told)
        return exc.code if isinstance(exc.code, int) else ExitStatus.BAD_WORDS


def _own_options(parser: argparse.ArgumentParser, argv: list[str]) -> frozenset[str]:
    """The option names a console word that reads its own "--" options keeps; empty for any other."""
    actions = parser._option_string_actions  # the parser's own table of option names
    i = 0
    while i < len(argv) and argv[i].startswith("-"):
        action = actions.get(argv[i].partition("=")[0])
        i += 2 if action is not None and action.nargs != 0 and "=" not in argv[i] else 1
    if i >= len(argv) or commands.module_of(argv[i]):  # a command, never a console word
        return frozenset()
    from corvane.words import registry

    word = registry.find(argv[i], interactive=False)
    if word is None or not word.own_options:
        return frozenset()
    # Its own names, where the console has options of the same name (--export, --force).
    return frozenset(usage.split()[0] for usage, _ in view_options.OPTIONS)


def names_gateway(args: argparse.Namespace) -> bool:
    """Whether the command line asks for a gateway of its own (options, not the environment)."""
    return bool(args.no_gateway) or any(
        v is not None for v in (args.host, args.port, args.client_id, args.connect_timeout)
    )
