"""Writing candle entries to disk behind the command's back.

Encoding and writing a year of one-minute bars takes a noticeable part of a
second; the bars are on screen by then, so the console hands the write to
a thread of its own and the command returns at once. The thread has its own
store connection; SQLite's locking keeps it and every other console apart.
Pending writes are finished when the store is closed and at interpreter
exit; a console killed before that loses only those cache entries.
"""

from __future__ import annotations

import atexit
import queue
import threading
import weakref
from collections.abc import Callable
from typing import Any

#: How long closing waits for pending writes.
FLUSH_WAIT = 30.0

_live: weakref.WeakSet[StoreWriter] = weakref.WeakSet()


class StoreWriter:
    """Runs ``write(*item)`` for each submitted item, in order, on one daemon thread."""

    def __init__(self, write: Callable[..., Any]) -> None:
        self._write = write
        self._queue: queue.Queue = queue.Queue()
        self._thread: threading.Thread | None = None
        self._idle = threading.Condition()
        self._pending = 0
        _live.add(self)

    def submit(self, *item: Any) -> None:
        with self._idle:
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._serve, name="corvane-candle-store", daemon=True)
                self._thread.start()
            self._pending += 1
        self._queue.put(item)

    def _serve(self) -> None:
        while True:
            item = self._queue.get()
            try:
                self._write(*item)
            except Exception:  # the store reports its own failures; a cache write is never fatal
                pass
            finally:
                with self._idle:
                    self._pending -= 1
                    self._idle.notify_all()

    def flush(self, timeout: float = FLUSH_WAIT) -> bool:
        """Wait until every submitted write is done; False if that took longer than ``timeout``."""
        with self._idle:
            return self._idle.wait_for(lambda: self._pending == 0, timeout)


@atexit.register
def _flush_all() -> None:
    for writer in list(_live):
        writer.flush()
