"""The console from Python: ``corvane.run("sorvel AAPL day 100")`` returns the command's result.

A script goes through the console that owns the gateway when one runs for
its home (one connection, one pacing count for everyone), and through a
console of its own in this process otherwise, kept for the script's later
calls.
"""

from __future__ import annotations

import atexit
import io
import shlex
import threading
from pathlib import Path
from typing import Any

from corvane import attach, owner_wire
from corvane.exit_status import ExitStatus


class CommandFailed(RuntimeError):
    """The command line did not end well; ``status`` is its exit status, the message what it said."""

    def __init__(self, status: int, text: str) -> None:
        super().__init__(text.strip() or f"exit status {status}")
        self.status = status


def run(line: str | list[str], *, home: str | Path | None = None, standalone: bool = False) -> Any:
    """Run one command line as ``corvane LINE`` would and return the command's result (a dict).

    Through the owner, dates and times come back as ``datetime`` values.
    Raises :class:`CommandFailed` when the command fails or the words do not fit.
    """
    words = shlex.split(line) if isinstance(line, str) else list(line)
    where = Path(home).expanduser() if home is not None else owner_wire.home_dir()
    err = io.StringIO()
    if not standalone:
        try:
            answer = attach.request(words, out=io.StringIO(), err=err, result=True, home=where)
        except attach.OwnerFailed as exc:
            raise CommandFailed(ExitStatus.FAILED, str(exc)) from None
        if answer is not None:
            status, value = answer
            if status != ExitStatus.OK:
                raise CommandFailed(status, err.getvalue())
            return value
    return _run_here(words, where)


# -- without an owner ----------------------------------------------------------

_here: dict[tuple[Any, ...], Any] = {}
_here_lock = threading.Lock()


def _run_here(words: list[str], home: Path) -> Any:
    from corvane import clock, command_line, commands
    from corvane.candles import cache as sorvel_cache
    from corvane.console import Console
    from corvane.gateway.connection import resolve_settings
    from corvane.kvstore import KeyValueStore

    out, err = io.StringIO(), io.StringIO()
    parsed = command_line.parse(words, err)
    if isinstance(parsed, int):
        raise CommandFailed(parsed, err.getvalue())
    args, view = parsed
    if args.command is None:
        raise CommandFailed(ExitStatus.BAD_WORDS, "no command given")
    clock.freeze_from_env()
    settings = resolve_settings(args.host, args.port, args.client_id, args.connect_timeout)
    key = (home, settings, args.no_gateway)
    with _here_lock:
        console = _here.get(key)
        if console is None:
            commands.load_command_modules(stream=err)
            if not _here:
                sorvel_cache.use_store(sorvel_cache.store_path(home))
            console = Console(settings, KeyValueStore(home / "store.json"), use_gateway=not args.no_gateway)
            _here[key] = console
        console.out, console.err = out, err
        console.verbose = args.verbose
        status = console.handle([args.command, *args.words], view)
    if status != ExitStatus.OK:
        raise CommandFailed(status, err.getvalue())
    return console.views.result


@atexit.register
def _close_here() -> None:
    for console in _here.values():
        console.close()
    _here.clear()
