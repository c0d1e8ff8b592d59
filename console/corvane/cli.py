"""The ``corvane`` command line: one command and exit, or the interactive prompt."""

from __future__ import annotations

import argparse
import dataclasses
import gc
import os
import signal
import sys
import threading
import traceback
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvane import clock, command_line, commands, help_catalog, prompt_output, view_options
from corvane.candles import cache as sorvel_cache
from corvane.console import Console
from corvane.exit_status import ExitStatus
from corvane.gateway.connection import SettingsError, resolve_settings
from corvane.history.pacing import PacingError, pace_scale_from_env
from corvane.home import home_dir, prompt_history_path
from corvane.logsetup import setup_logging, teardown_logging
from corvane.startup import client_consoles, make_console
from corvane.words import registry
from ferrut import status_line

if TYPE_CHECKING:
    from corvane.owner import OwnerServer

build_parser = command_line.build_parser


def main(argv: list[str] | None = None) -> int:
    parsed = command_line.parse(sys.argv[1:] if argv is None else list(argv))
    if isinstance(parsed, int):
        return parsed
    args, view = parsed
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


def _run(args: argparse.Namespace, view: view_options.ViewOptions) -> int:
    try:
        clock.freeze_from_env()
        settings = resolve_settings(args.host, args.port, args.client_id, args.connect_timeout)
        pace_scale_from_env()  # a setting the user typed: told here, not as a failure mid-command
    except (SettingsError, clock.ClockError, PacingError) as exc:
        print(f"corvane: {exc}", file=sys.stderr)
        return ExitStatus.BAD_WORDS
    home = home_dir()
    only = commands.module_of(args.command) if args.command else None
    if only:  # a one-shot of one command needs its module only: start-up is the wait
        commands.load_command_modules(verbose=args.verbose, only=only)
    elif args.command not in (None, "help", "serve") and registry.find(args.command, interactive=False):
        pass  # a console word's one-shot (download, cache, ...) uses no command
    elif not (args.command == "help" and help_catalog.use_saved(home)):
        commands.load_command_modules(verbose=args.verbose)
        help_catalog.save(home)
    if not gc.isenabled():  # off while the program loaded: what loaded stays, never walked again
        gc.freeze()
        gc.enable()
    owns = args.command in (None, "serve")
    console = make_console(settings, home, verbose=args.verbose, interactive=owns, use_gateway=not args.no_gateway)
    server: OwnerServer | None = None
    try:
        if args.command == "serve":
            if args.words or view.acts:
                print("corvane: serve takes no words", file=sys.stderr)
                return ExitStatus.BAD_WORDS
            return _serve(console, home)
        if args.command is None:
            if view.acts:
                print(
                    "corvane: --chart and --export need a command; at the prompt, use chart and export after one",
                    file=sys.stderr,
                )
                return ExitStatus.BAD_WORDS
            from corvane.shell import interact  # line editing and completion: the prompt's alone

            server = _own(console, home)
            console.views.sink.rows = view.rows
            return interact(console, prompt_history_path(home))
        return console.handle([args.command, *args.words], view)
    finally:
        if server is not None:
            server.close()
        console.close()
        sorvel_cache.use_store(None)


def _own(console: Console, home: Path, on_stop: Callable[[], None] | None = None) -> OwnerServer | None:
    """Serve attached one-shots from this console; None when another console owns this home."""
    from corvane.history.script import owner_answer
    from corvane.owner import OwnerBusy, OwnerServer
    from corvane.owner_wire import DOWNLOAD_REQUEST

    # Scripts' downloads run here too, on the owner's connection and pacer.
    extra = {DOWNLOAD_REQUEST: owner_answer(console.session, home)}

    def describe() -> dict[str, Any]:
        return {"gateway": console.address, "connected": console.connected}

    server = OwnerServer(home, client_consoles(console), extra=extra, describe=describe, on_stop=on_stop)
    try:
        server.take()
    except OwnerBusy as exc:
        # Its own connection then, under a client id the owner's does not use.
        free = console.settings.client_id + 1 + os.getpid() % 900
        console.settings = dataclasses.replace(console.settings, client_id=free)
        console.complain(f"{exc}; this one runs on its own (client id {free})")
        return None
    except OSError as exc:
        console.complain(f"not serving one-shot commands: {exc}")
        return None
    _ = console.session  # made before any client can ask for it
    try:
        return server.listen()
    except OSError as exc:
        server.close()
        console.complain(f"not serving one-shot commands: {exc}")
        return None


def _serve(console: Console, home: Path) -> int:
    """Own the gateway without a prompt until SIGTERM, Ctrl-C or ``serve --stop``."""
    stop = threading.Event()
    server = _own(console, home, on_stop=stop.set)
    if server is None:
        return ExitStatus.FAILED
    previous = signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        try:
            console.connect()
        except KeyboardInterrupt:
            return ExitStatus.INTERRUPTED
        where = console.address if console.connected else f"no gateway yet at {console.address}"
        print(
            f"corvane: serving {where} to one-shot commands on {server.path} (Ctrl-C, SIGTERM or serve --stop stops)",
            file=sys.stderr,
            flush=True,
        )
        try:
            while not stop.wait(0.5):
                pass
        except KeyboardInterrupt:
            pass
        return ExitStatus.OK
    finally:
        signal.signal(signal.SIGTERM, previous)
        server.close()
