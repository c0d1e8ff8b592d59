"""One line on the terminal telling what is pending and for how long.

It is drawn on standard error and only when that is a terminal, so pipes and
files never see it. It appears after a short delay (quick answers never
flicker), is wiped before each log line and redrawn after it, and goes away
for good when a table prints (:func:`finish`). It only draws: Ctrl-C still
reaches the main thread as before.
"""

from __future__ import annotations

import contextlib
import os
import threading
import time

# An attached one-shot draws its line with this module; typing would cost it start-up time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import Protocol, TextIO

    class Writable(Protocol):
        """What a status line and a guarded stream write to."""

        def write(self, text: str) -> int: ...

        def flush(self) -> None: ...


#: Answers quicker than this show no status line at all.
DELAY = 0.5
INTERVAL = 0.1
SPINNER = "⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏"
CLEAR = "\r\x1b[2K"


_lock = threading.RLock()
_current: _Line | None = None


def can_redraw(stream) -> bool:
    """Whether a line may be redrawn in place on ``stream``: a terminal with cursor control."""
    return is_terminal(stream) and os.environ.get("TERM") != "dumb"


def is_terminal(stream) -> bool:
    """Whether ``stream`` is a terminal (False for pipes, files and closed streams)."""
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


class _Line:
    def __init__(self, text: str, stream: TextIO, delay: float) -> None:
        self.text = text
        self.stream = stream
        self.started = time.monotonic()
        self.delay = delay
        self.drawn = False
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._serve, name="status-line", daemon=True)

    def _serve(self) -> None:
        if not self._pause(self.delay):
            return
        while not self.done.is_set():
            with _lock:
                if not self.done.is_set():
                    self.draw()
            self._pause(INTERVAL)

    def _pause(self, seconds: float) -> bool:
        """Sleep in short steps; False once the line is done. Plain sleeps, not a timed wait
        on the event: a timed wait trusts the kernel's monotonic clock to agree with the
        process's, which a time-shifting preload (libfaketime) breaks, and then never ends."""
        until = time.monotonic() + seconds
        while not self.done.is_set():
            left = until - time.monotonic()
            if left <= 0:
                return True
            time.sleep(min(left, 0.02))
        return False

    def draw(self) -> None:
        import shutil

        try:
            self.stream.write(render(self.text, time.monotonic() - self.started, shutil.get_terminal_size().columns))
            self.stream.flush()
            self.drawn = True
        except (OSError, ValueError):  # the terminal went away: stop drawing
            self.done.set()

    def wipe(self) -> None:
        if self.drawn:
            try:
                self.stream.write(CLEAR)
                self.stream.flush()
            except (OSError, ValueError):
                pass
            self.drawn = False


def render(text: str, elapsed: float, columns: int) -> str:
    """What the line is redrawn as: the spinner, ``text`` and the time waited, cut to the terminal."""
    spin = SPINNER[int(elapsed / INTERVAL) % len(SPINNER)]
    text = "".join(ch if ch.isprintable() else "?" for ch in text)
    return CLEAR + f"{spin} {text} · {elapsed:.1f} s (Ctrl-C cancels)"[: columns - 1]


@contextlib.contextmanager
def waiting(text: str, stream: TextIO, *, delay: float = DELAY) -> Iterator[None]:
    """Show ``text`` with the elapsed time while the body runs, on a terminal only.

    A stream that draws a line of its own (``show_status``: an attached client's,
    whose terminal is in another process) is told the text and its end instead.
    """
    global _current
    remote = getattr(stream, "show_status", None)
    if callable(remote):
        remote(text)
        try:
            yield
        finally:
            remote(None)
        return
    if not can_redraw(stream):
        yield
        return
    line = _Line(text, stream, delay)
    with _lock:
        _current = line
    line.thread.start()
    try:
        yield
    finally:
        finish()
        line.thread.join(timeout=1.0)


def finish() -> None:
    """Take the status line away for good: the answer is here."""
    global _current
    with _lock:
        if _current is not None:
            _current.done.set()
            _current.wipe()
            _current = None


class Guarded:
    """A stream whose writes first wipe the status line, which is redrawn on the next tick."""

    def __init__(self, stream: TextIO | Writable) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        with _lock:
            if _current is not None:
                _current.wipe()
            return self._stream.write(text)

    def flush(self) -> None:
        self._stream.flush()

    def isatty(self) -> bool:
        return is_terminal(self._stream)

    def __getattr__(self, name: str):
        return getattr(self._stream, name)


def guarded(stream: TextIO | Writable) -> Guarded:
    return Guarded(stream)


class ProgressLine:
    """Draws a long job's progress on ``stream``: redrawn in place on a terminal, else a line
    every ~10%, so a log file gets ten lines rather than thousands.

    Called with the job's progress (its ``plan``, ``done``, ``total``, ``finished`` and ``line()``)
    from whatever thread does the work; the job itself never writes to the terminal."""

    def __init__(self, stream: TextIO | None, *, terminal: bool | None = None) -> None:
        self.stream = stream
        self.terminal = can_redraw(stream) if terminal is None else terminal
        self._tenth = 0
        self._planned = False

    def __call__(self, progress) -> None:
        if self.stream is None or progress.total <= 0:
            return
        text = "" if self._planned or not progress.plan else progress.plan + "\n"
        self._planned, tenth = True, progress.done * 10 // progress.total
        if progress.finished:
            text += CLEAR if self.terminal else ""  # the line drawn since the start
        elif self.terminal:
            text += CLEAR + progress.line()
        elif tenth > self._tenth:
            self._tenth, text = tenth, text + progress.line() + "\n"
        if not text:
            return
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):  # a closed or broken stream: the job goes on without it
            self.stream = None
