"""The ``corvane`` command line: one command and exit, or the interactive prompt."""

from __future__ import annotations

import argparse
import sys
import traceback

from corvane import cli_options, clock, commands, help_catalog, prompt_output, view_options
from corvane.candles import cache as sorvel_cache
from corvane.console import Console
from corvane.exit_status import ExitStatus
from corvane.gateway.connection import (
    CLIENT_ID_ENV,
    DEFAULT_CLIENT_ID,
    DEFAULT_HOST,
    DEFAULT_TIMEOUT,
    HOST_ENV,
    PORT_ENV,
    TIMEOUT_ENV,
    SettingsError,
    resolve_settings,
)
from corvane.gateway.discovery import USUAL_PORTS
from corvane.kvstore import KeyValueStore
from corvane.logsetup import setup_logging, teardown_logging
from corvane.shell import default_home, history_path, interact
from ferrut import status_line

EPILOG = f"""\
examples:
  corvane                      open the interactive prompt
  corvane help                 list the commands
  corvane help sorvel          one command's words and examples
  corvane sorvel AAPL day 100  run one command and exit
  corvane sorvel AAPL day 100 --chart a.png --export a.csv
                               ... and keep its bars as a picture and a file

exit status: 0 success, 1 the command failed or returned an error (or a
group change could not be saved), 2 words the console cannot use, 130 interrupted.

environment: {HOST_ENV}, {PORT_ENV}, {CLIENT_ID_ENV}, {TIMEOUT_ENV} set the
gateway defaults; CORVANE_HOME (default ~/.corvane) holds the prompt history
the saved quote groups and the candle cache (corvane cache info|clear)."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # same wording, but returned as status 2 by main()
        self.print_usage(sys.stderr)
        print(f"corvane: {message}", file=sys.stderr)
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
    view_options.document(p)
    p.add_argument("command", nargs="?", help="command to run; none opens the prompt")
    p.add_argument("words", nargs=argparse.REMAINDER, help="the command's words")
    return p


def main(argv: list[str] | None = None) -> int:
    try:
        argv = sys.argv[1:] if argv is None else list(argv)
        parser = build_parser()
        own = _own_options(parser, argv)
        if own:
            # The command reads its own "--" options (--export included); only the console's move.
            view = view_options.ViewOptions()
            args = parser.parse_args(cli_options.hoist(parser, argv, keep=own))
        else:
            argv, view = view_options.take(argv)
            args = parser.parse_args(cli_options.hoist(parser, argv))
    except view_options.OptionError as exc:
        print(f"corvane: {exc}", file=sys.stderr)
        return ExitStatus.BAD_WORDS
    except SystemExit as exc:  # --help, or words argparse refused (already told)
        return exc.code if isinstance(exc.code, int) else ExitStatus.BAD_WORDS
    # Log lines wipe the status line first, so the two never share a line, and
    # redraw an open prompt below themselves.
    handler = setup_logging(args.verbose, status_line.guarded(prompt_output.STDERR))
    try:
        return _run(args, view)
    except KeyboardInterrupt:
        print("corvane: interrupted", file=sys.stderr)
        return ExitStatus.INTERRUPTED
    except Exception as exc:
        print(f"corvane: internal error: {type(exc).__name__}: {exc}", file=sys.stderr)
        if args.verbose:
            traceback.print_exception(exc, file=sys.stderr)
        return ExitStatus.FAILED
    finally:
        teardown_logging(handler)


def _own_options(parser: argparse.ArgumentParser, argv: list[str]) -> frozenset[str]:
    """The option names a console word that reads its own "--" options keeps; empty for any other."""
    actions = parser._option_string_actions  # the parser's own table of option names
    i = 0
    while i < len(argv) and argv[i].startswith("-"):
        action = actions.get(argv[i].partition("=")[0])
        i += 2 if action is not None and action.nargs != 0 and "=" not in argv[i] else 1
    if i >= len(argv):
        return frozenset()
    from corvane.words import registry

    word = registry.find(argv[i], interactive=False)
    if word is None or not word.own_options:
        return frozenset()
    # Its own names, where the console has options of the same name (--export, --force).
    return frozenset(usage.split()[0] for usage, _ in view_options.OPTIONS)


def _run(args: argparse.Namespace, view: view_options.ViewOptions) -> int:
    try:
        clock.freeze_from_env()
        settings = resolve_settings(args.host, args.port, args.client_id, args.connect_timeout)
    except (SettingsError, clock.ClockError) as exc:
        print(f"corvane: {exc}", file=sys.stderr)
        return ExitStatus.BAD_WORDS
    home = default_home()
    if not (args.command == "help" and help_catalog.use_saved(home)):
        commands.load_command_modules(verbose=args.verbose)
        help_catalog.save(home)
    sorvel_cache.use_store(sorvel_cache.store_path(home))
    console = Console(
        settings,
        KeyValueStore(home / "store.json"),
        verbose=args.verbose,
        interactive=args.command is None,
        use_gateway=not args.no_gateway,
    )
    try:
        if args.command is None:
            if view.acts:
                print(
                    "corvane: --chart and --export need a command; at the prompt, use chart and export after one",
                    file=sys.stderr,
                )
                return ExitStatus.BAD_WORDS
            console.views.sink.rows = view.rows
            return interact(console, history_path(home))
        return console.handle([args.command, *args.words], view)
    finally:
        console.close()
        sorvel_cache.use_store(None)
