"""The console's exit statuses: what a command line, a prompt line or a console word ends with."""

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
