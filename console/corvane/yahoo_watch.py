"""What Yahoo Finance's side said while a command ran, and why it gave nothing, in a few words.

The sorvel module's download wrapper logs a failure through loguru and
answers None, and yfinance logs its own through the standard ``logging``
logger "yfinance"; the command then returns only "No data returned".
Collecting both around the command lets the closing line say why
("unreachable (DNS)"), the way ``gateway/error_watch.py`` does for the gateway.
"""

from __future__ import annotations

import logging
import re
from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass, field
from typing import Any

from loguru import logger

#: The module's line for a failed download: "[MSFT] yfinance fetch failed: <exception text>".
FETCH_FAILED = re.compile(r"^\[[^\]]*\] yfinance fetch failed: ")
#: Any line of the module's Yahoo path, "[MSFT] yfinance fallback: rest=[...]" and the like.
_MODULE_LINE = re.compile(r"^\[[^\]]*\] (?:yfinance|No gateway, using yfinance)")
_MAX_DETAIL = 80

#: (what to call it, how the HTTP libraries word it: curl_cffi, requests/urllib3, the OS)
_UNREACHABLE = (
    (
        "DNS",
        re.compile(
            r"could not resolve|dnserror|failed to resolve|name resolution"
            r"|name or service not known|nodename nor servname|getaddrinfo"
            r"|curl: \(6\)",
            re.IGNORECASE,
        ),
    ),
    (
        "connection refused",
        re.compile(
            r"connection refused|couldn't connect|errno 111"
            r"|curl: \(7\)",
            re.IGNORECASE,
        ),
    ),
    ("timeout", re.compile(r"timed? ?out|curl: \(28\)", re.IGNORECASE)),
)
_HTTP_STATUS = re.compile(
    r"\bHTTP(?: Error)?[ :]+([1-5]\d\d)\b|\b([45]\d\d) (?:Client|Server) Error"
    r"|\bstatus(?: code)?[ :=]+([1-5]\d\d)\b",
    re.IGNORECASE,
)
_RATE_LIMITED = re.compile(r"too many requests|rate limit", re.IGNORECASE)


@dataclass
class YahooSaid:
    #: The command took the Yahoo path.
    asked: bool = False
    #: What went wrong there, in the words of the wrapper and the library, in order.
    failures: list[str] = field(default_factory=list)

    def reason(self) -> str:
        """Why Yahoo Finance gave nothing: "unreachable (DNS)", "HTTP 404", "no data", ..."""
        text = "\n".join(self.failures)
        for kind, words in _UNREACHABLE:
            if words.search(text):
                return f"unreachable ({kind})"
        status = _HTTP_STATUS.search(text)
        if status:
            return f"HTTP {next(code for code in status.groups() if code)}"
        if _RATE_LIMITED.search(text):
            return "HTTP 429 (rate limited)"
        if not self.failures:
            return "no data"
        # The wrapper's own line names the exception the download ended with.
        wrapped = [FETCH_FAILED.sub("", line) for line in self.failures if FETCH_FAILED.match(line)]
        detail = (wrapped or self.failures)[-1].splitlines()[0].strip()
        return f"failed ({detail if len(detail) <= _MAX_DETAIL else detail[: _MAX_DETAIL - 1] + '…'})"


#: The watch of the command running in this context. The module fetches from Yahoo in
#: ``asyncio.to_thread``, which carries the context along, so the owner can tell apart
#: the lines of several clients' commands running at once.
_MINE: ContextVar[YahooSaid | None] = ContextVar("corvane_yahoo_watch", default=None)


def _concerns(said: YahooSaid) -> bool:
    """Whether a line logged here belongs to ``said`` (a line of no command's context: to every watch)."""
    mine = _MINE.get()
    return mine is None or mine is said


class _Collect(logging.Handler):
    def __init__(self, said: YahooSaid) -> None:
        super().__init__(logging.WARNING)
        self.said = said

    def emit(self, record: logging.LogRecord) -> None:
        if _concerns(self.said):
            self.said.asked = True
            self.said.failures.append(record.getMessage())


_watching: list[YahooSaid] = []
#: Set while the console's log setup hands every line to :func:`note`. Otherwise each
#: watch adds a sink of its own, which costs loguru several milliseconds each time.
fed = False


def note(record: Any, into: list[YahooSaid] = _watching) -> None:
    """Count one loguru record towards the watches open now."""
    if into and _MODULE_LINE.match(record["message"]):
        for said in filter(_concerns, list(into)):
            said.asked = True
            if FETCH_FAILED.match(record["message"]):
                said.failures.append(record["message"])


@contextmanager
def yahoo_said() -> Iterator[YahooSaid]:
    """Yields a YahooSaid that fills while the block runs (on any thread) with the lines of
    this context: enter it in the command's own task."""
    said = YahooSaid()
    sink = None if fed else logger.add(lambda m: note(m.record, [said]), level="DEBUG", format="{message}")
    library = logging.getLogger("yfinance")
    handler = _Collect(said)
    library.addHandler(handler)
    _watching.append(said)
    token = _MINE.set(said)
    try:
        yield said
    finally:
        _MINE.reset(token)
        _watching.remove(said)
        library.removeHandler(handler)
        if sink is not None:
            logger.remove(sink)
