"""What the gateway said was wrong while a command ran, from the client's error event.

A failed request reaches the command as a bare exception or an empty
answer; the reason (error 162 and its text, say) only arrives through
``IB.errorEvent``. Collecting it around the command lets the console name it.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

#: Status notices (data farm connected and the like), not errors.
_NOTICES = range(2100, 2200)


@contextmanager
def gateway_errors(ib: Any) -> Iterator[list[str]]:
    """Yields a list that fills with "error CODE: text" lines while the block runs."""
    said: list[str] = []
    event = getattr(ib, "errorEvent", None)

    def on_error(req_id: int, code: int, text: str, *more: Any) -> None:
        if code in _NOTICES:
            return
        line = f"error {code}: {text}"
        if line not in said:
            said.append(line)

    if event is None:
        yield said
        return
    event += on_error
    try:
        yield said
    finally:
        event -= on_error
