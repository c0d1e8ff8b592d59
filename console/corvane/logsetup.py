"""Where log lines go: standard error, so tables on standard output stay clean."""

from __future__ import annotations

import contextlib
import logging
import sys
from typing import TYPE_CHECKING, Any

from loguru import logger

from corvane import yahoo_watch
from corvane.yahoo_watch import FETCH_FAILED
from ferrut import output

if TYPE_CHECKING:
    from loguru import Record

FORMAT = "<green>{time:HH:mm:ss}</green> <level>{level: <7}</level> {message}"
#: Libraries whose standard-library log records are passed on to the console's log.
BRIDGED = ("ib_async", "asyncio", "yfinance")


#: Library messages the console already tells in its own words.
SAID_BY_CONSOLE = frozenset({"Peer closed connection."})
#: Libraries whose failures the closing line words ("Yahoo Finance: unreachable (DNS)");
#: their own lines, full of the HTTP library's internals, only with -v.
TOLD_AT_THE_END = ("yfinance",)


class _ToLoguru(logging.Handler):
    quiet = True  # drop what the console says itself

    def emit(self, record: logging.LogRecord) -> None:
        if self.quiet and record.getMessage() in SAID_BY_CONSOLE:
            return
        try:
            level: str | int = logger.level(record.levelname).name
        except ValueError:
            level = record.levelno
        if self.quiet and record.name.split(".")[0] in TOLD_AT_THE_END:
            level = "DEBUG"
        logger.opt(exception=record.exc_info).log(level, "{}", record.getMessage())


_bridge = _ToLoguru()


def _not_told_at_the_end(record: Record) -> bool:
    # The sorvel module's line for a failed download carries the HTTP library's text.
    return not FETCH_FAILED.match(record["message"])


_routed_handler: int | None = None


def _routed(record: Record) -> bool:
    """Whether the line belongs to a command run for an attached client, whose own terminal shows it."""
    return output.current().logs is not None


def _to_command_logs(message: Any) -> None:
    logs = output.current().logs
    if logs is not None:
        try:
            logs.write(str(message))
            logs.flush()
        except (OSError, ValueError):
            pass  # the client has gone; its command is being cancelled


def setup_logging(verbose: bool = False, stream=None) -> int:
    """Show info and above (debug with ``verbose``) on ``stream``; returns the handler id.

    Lines logged while a command runs for an attached client go to that
    client (its sink's ``logs``) instead.
    """
    logger.remove()
    told = (lambda r: True) if verbose else _not_told_at_the_end
    level = "DEBUG" if verbose else "INFO"
    handler = logger.add(
        stream or sys.stderr,
        level=level,
        format=FORMAT,
        colorize=None,
        backtrace=False,
        diagnose=False,
        filter=lambda r: told(r) and not _routed(r),
    )
    least = logger.level(level).no

    # One sink for every other reader of the lines (each sink costs loguru several
    # milliseconds to add): the attached client's own terminal, and the Yahoo watch.
    def aside(message: Any) -> None:
        record = message.record
        yahoo_watch.note(record)
        if record["level"].no >= least and told(record):
            _to_command_logs(message)  # when it belongs to an attached client

    global _routed_handler
    _routed_handler = logger.add(aside, level="DEBUG", format=FORMAT, colorize=False, backtrace=False, diagnose=False)
    yahoo_watch.fed = True
    # The client library is chatty at info level (every farm status message);
    # its warnings and errors are what a trader needs, the rest only when asked.
    _bridge.quiet = not verbose
    for name in BRIDGED:
        lib = logging.getLogger(name)
        lib.handlers = [_bridge]
        lib.propagate = False
        lib.setLevel(logging.INFO if verbose else logging.WARNING)
    return handler


def teardown_logging(handler: int) -> None:
    yahoo_watch.fed = False
    for one in (handler, _routed_handler):
        try:
            if one is not None:
                logger.remove(one)
        except ValueError:
            pass


#: A script's or notebook's view of the console's lines: what needs attention, plainly.
LIBRARY_FORMAT = "{time:HH:mm:ss} {level}: {message}"
_library_handler: int | None = None


def library_logging(stream=None) -> None:
    """Quiet lines for the Python API: warnings and errors only, without module paths or colour.

    Only loguru's own start-up sink is replaced (once); a sink the caller added is theirs and
    stays. The client library's own lines (every "Error 200" it logs) are kept out: the
    console names each failure in its own words (the exception, the frame's notes).
    """
    global _library_handler
    if _library_handler is not None:
        return
    with contextlib.suppress(ValueError):
        logger.remove(0)  # loguru's default sink, coloured and with module paths, at DEBUG
    _library_handler = logger.add(
        stream or sys.stderr,
        level="WARNING",
        format=LIBRARY_FORMAT,
        colorize=False,
        backtrace=False,
        diagnose=False,
        filter=_not_told_at_the_end,
    )
    for name in BRIDGED:
        lib = logging.getLogger(name)
        lib.handlers = [logging.NullHandler()]
        lib.propagate = False
