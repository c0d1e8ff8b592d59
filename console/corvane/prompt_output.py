"""Log lines that arrive while the prompt waits for input, without breaking the typed line.

The event loop runs on its own thread, so a "connection lost" or
"reconnected" line can come in while the user is half way through typing.
Written plainly it lands after the prompt and the typed text, and the line
being edited no longer looks like what readline holds. Instead the prompt
line is cleared, the log line written, and the prompt with the typed text
drawn again below it.
"""

from __future__ import annotations

import sys
import threading

from ferrut.status_line import is_terminal

try:
    import readline
except ImportError:  # without line editing there is no typed text to keep
    readline = None  # type: ignore[assignment]

_CLEAR_LINE = "\r\x1b[K"


class PromptAwareStderr:
    """A stream for the log sink: the current ``sys.stderr``, minding an open prompt."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._prompt: str | None = None

    def prompt_open(self, prompt: str | None) -> None:
        """``prompt`` is shown and waiting for input (None: no prompt is waiting)."""
        with self._lock:
            self._prompt = prompt if prompt and readline is not None else None

    def write(self, text: str) -> int:
        with self._lock:
            err = sys.stderr
            if self._prompt is None or not is_terminal(err):
                return err.write(text)
            typed = readline.get_line_buffer()
            err.write(_CLEAR_LINE + text)
            err.flush()
            sys.stdout.write(self._prompt + typed)
            sys.stdout.flush()
            return len(text)

    def flush(self) -> None:
        sys.stderr.flush()

    def isatty(self) -> bool:
        return is_terminal(sys.stderr)


STDERR = PromptAwareStderr()
