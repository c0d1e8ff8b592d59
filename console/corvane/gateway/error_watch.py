"""What the gateway said was wrong while a command ran, from the client's error event.

A failed request reaches the command as a bare exception or an empty
answer; the reason (error 162 and its text, say) only arrives through
``IB.errorEvent``. Collecting it around the command lets the console name it.

The owner runs the commands of several clients on one connection at once, so
a command is told only the errors of requests it made, and those of no
request (a lost connection): :func:`track_requests` notes which watches were
open in the task that took each request id.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import Any

#: Status notices (data farm connected and the like), not errors.
_NOTICES = range(2100, 2200)
_TRACKING = "_corvane_tracks_requests"


class _Requests:
    """The request ids one watch owns: its own, and those of requests it shares with others."""

    def __init__(self, ids: set[int] | None = None) -> None:
        self.ids = set() if ids is None else ids
        self.shared: list[set[int]] = []

    def owns(self, req_id: int) -> bool:
        return req_id in self.ids or any(req_id in ids for ids in self.shared)


_OPEN: ContextVar[tuple[_Requests, ...]] = ContextVar("corvane_gateway_requests", default=())


def track_requests(ib: Any) -> None:
    """Note every request id ``ib`` takes into the watches open in the taking task."""
    client = getattr(ib, "client", None)
    take = getattr(client, "getReqId", None)
    if take is None or getattr(take, _TRACKING, False):
        return

    def getReqId() -> int:
        req_id = take()
        for watch in _OPEN.get():
            watch.ids.add(req_id)
        return req_id

    setattr(getReqId, _TRACKING, True)
    client.getReqId = getReqId  # type: ignore[union-attr]


@contextmanager
def requests_into(ids: set[int]) -> Iterator[None]:
    """Request ids taken in this block (and in the tasks it starts) go to ``ids`` alone:
    one request made for several commands, which each :func:`share` it."""
    token = _OPEN.set((_Requests(ids),))
    try:
        yield
    finally:
        _OPEN.reset(token)


def share(ids: set[int]) -> None:
    """The watches open here own the requests noted in ``ids`` too."""
    for watch in _OPEN.get():
        watch.shared.append(ids)


@contextmanager
def gateway_errors(ib: Any) -> Iterator[list[str]]:
    """Yields a list that fills with "error CODE: text" lines while the block runs."""
    said: list[str] = []
    event = getattr(ib, "errorEvent", None)
    tracked = getattr(getattr(getattr(ib, "client", None), "getReqId", None), _TRACKING, False)
    mine = _Requests()

    def on_error(req_id: int, code: int, text: str, *more: Any) -> None:
        if code in _NOTICES or (tracked and req_id >= 0 and not mine.owns(req_id)):
            return  # a notice, or another command's request
        line = f"error {code}: {text}"
        if line not in said:
            said.append(line)

    if event is None:
        yield said
        return
    token = _OPEN.set((*_OPEN.get(), mine))
    event += on_error
    try:
        yield said
    finally:
        event -= on_error
        _OPEN.reset(token)
