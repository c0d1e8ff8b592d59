"""The console's exit statuses, and how a line that does not end well says so.

Words and commands raise :class:`Refused`, :class:`Failed` or :class:`Cancelled`
with what the user is to be told; the dispatcher tells it and ends the line with
the status the exception carries. Nothing else names an exit status's number.
"""

from __future__ import annotations

from enum import IntEnum


class ExitStatus(IntEnum):
    OK = 0
    #: The command failed or returned an error, or a change could not be saved.
    FAILED = 1
    #: Words the console cannot use.
    BAD_WORDS = 2
    #: Ctrl-C.
    INTERRUPTED = 130


class LineEnded(Exception):
    """A line that ends short of OK. An empty message: the user has been told already;
    ``where``: the exception the line crashed on, whose traceback ``-v`` shows."""

    status = ExitStatus.FAILED

    def __init__(self, message: str = "", *, where: BaseException | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.where = where


class Refused(LineEnded):
    """Words, or a file to write, the console cannot use."""

    status = ExitStatus.BAD_WORDS


class Failed(LineEnded):
    status = ExitStatus.FAILED


class Cancelled(LineEnded):
    status = ExitStatus.INTERRUPTED
