"""Where a running command's output goes: one sink per command, found through a context variable.

A sink holds the streams, the rows setting, whether to colour, and the tables
printed through it. ``printFrame`` writes through the current sink; whoever
runs a command makes a sink for it (:func:`using`) and afterwards reads from
it whether the command printed, and what. The context variable follows the
command into the event loop's task that runs it, so two commands running at
once each write to their own sink.
"""

from __future__ import annotations

import contextlib
import contextvars
import sys
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any, TextIO

#: Tables up to this many rows are shown whole by default.
MAX_ROWS = 40
#: Rows shown from each end of a longer table by default.
EDGE_ROWS = 10
ALL = "all"

Rows = int | str | None  # None: the default above; ALL; or at most this many rows


@dataclass
class Printed:
    title: str
    frame: Any  # the pandas DataFrame as printed


@dataclass
class Sink:
    """One command's output: its streams and settings, and the tables it printed."""

    out: TextIO | None = None  # None: sys.stdout at the time of writing
    err: TextIO | None = None
    rows: Rows = None
    #: None: colour when ``out`` is a terminal.
    color: bool | None = None
    #: Columns of the terminal that shows the tables; None: rich finds out.
    width: int | None = None
    #: Where log lines written while the command runs go; None: the console's own log.
    logs: TextIO | None = None
    printed: list[Printed] = field(default_factory=list)

    @property
    def stdout(self) -> TextIO:
        return self.out if self.out is not None else sys.stdout

    @property
    def stderr(self) -> TextIO:
        return self.err if self.err is not None else sys.stderr

    def rows_description(self) -> str:
        if self.rows is None:
            return f"tables up to {MAX_ROWS} rows whole, longer ones their first and last {EDGE_ROWS}"
        if self.rows == ALL:
            return "every row of every table"
        return f"at most {self.rows} rows of each table"

    def last_title(self) -> str | None:
        return self.printed[-1].title if self.printed else None


#: The sink of the console itself, used outside any command.
_console_sink = Sink()
_current: contextvars.ContextVar[Sink] = contextvars.ContextVar("corvane_output_sink")


def current() -> Sink:
    return _current.get(_console_sink)


@contextlib.contextmanager
def using(sink: Sink) -> Iterator[Sink]:
    """Make ``sink`` the current one for the body (and the tasks it starts)."""
    token = _current.set(sink)
    try:
        yield sink
    finally:
        _current.reset(token)
