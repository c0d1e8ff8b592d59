"""One console session: the event loop, the gateway client, and running commands on them.

The event loop runs on its own thread for the whole session, so the gateway
connection is served (and its loss noticed) even while the prompt waits for
input. The main thread keeps the terminal: it reads lines, and a Ctrl-C
there cancels the running command's task, which carries the cancellation
into whatever gateway request the command is waiting on.
"""

from __future__ import annotations

import asyncio
import contextlib
import contextvars
import threading
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from typing import Any

from loguru import logger

from corvane import commands
from corvane.gateway.connection import GatewayLink, GatewaySettings
from corvane.gateway.error_watch import gateway_errors, track_requests
from corvane.history.pacing import Pacer, pace_scale_from_env, wrap_client
from corvane.home import pacing_path
from corvane.kvstore import KeyValueStore
from corvane.yahoo_watch import YahooSaid, yahoo_said
from ferrut.dispatch import bind_words

#: How long a cancelled command may take to unwind before the prompt returns anyway.
CANCEL_GRACE = 5.0


#: Set by whoever runs commands for someone else (an attached client): when the
#: event is set, the running command is cancelled as a Ctrl-C would cancel it.
class StopSignal:
    """Set from any thread to cancel the command running under it (an attached client's
    cancel). It calls back rather than being polled: a poll rides on a timed wait, which a
    shifted monotonic clock (libfaketime) never ends."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._set = False
        self._callbacks: list[Callable[[], None]] = []

    def set(self) -> None:
        with self._lock:
            self._set, callbacks, self._callbacks = True, self._callbacks, []
        for callback in callbacks:
            callback()

    def is_set(self) -> bool:
        return self._set

    def on_set(self, callback: Callable[[], None]) -> None:
        """Call ``callback`` once when set (now, if it is set already)."""
        with self._lock:
            if not self._set:
                self._callbacks.append(callback)
                return
        callback()


STOP_WHEN: contextvars.ContextVar[StopSignal | None] = contextvars.ContextVar("corvane_stop_when", default=None)


class UnknownCommand(LookupError):
    """No command is registered under the typed word."""


class Cancelled(KeyboardInterrupt):
    """Work on the loop was stopped (Ctrl-C, or the client it ran for went away) before it ended.

    A KeyboardInterrupt, so whoever does not tell it apart ends as a Ctrl-C would end it."""


class GatewayRequired(RuntimeError):
    """The command cannot run without a gateway connection."""


@dataclass
class Outcome:
    """How a command ended: "ok" with its value, "error" with its exception, or "cancelled"."""

    kind: str
    value: Any = None
    error: BaseException | None = None
    #: What the gateway reported as wrong while the command ran.
    gateway_errors: list[str] = field(default_factory=list)
    #: Whether the command went to Yahoo Finance, and what went wrong there.
    yahoo: YahooSaid = field(default_factory=YahooSaid)


class LoopThread:
    """An asyncio event loop running on a daemon thread."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._serve, name="corvane-loop", daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.run_forever()

    def run(self, make: Callable[[], Awaitable[Any]]) -> Outcome:
        """Run ``make()`` as a task on the loop and wait; Ctrl-C (or :data:`STOP_WHEN`) cancels the task."""
        done = threading.Event()
        box: dict[str, Any] = {}

        async def body() -> None:
            try:
                box["outcome"] = Outcome("ok", await make())
            except asyncio.CancelledError:
                box["outcome"] = Outcome("cancelled")
            except BaseException as exc:  # reported by the caller, never lost
                box["outcome"] = Outcome("error", error=exc)

        # Both run on the loop's thread, in the order they were handed over, so a
        # Ctrl-C landing anywhere here, even inside the hand-over, either cancels
        # the task or keeps it from ever starting.
        def start() -> None:
            if box.get("stop"):
                return
            box["task"] = self.loop.create_task(body())
            box["task"].add_done_callback(lambda _t: done.set())

        def stop() -> None:
            box["stop"] = True
            if "task" in box:
                box["task"].cancel()
            else:
                done.set()

        stop_when = STOP_WHEN.get()
        try:
            self.loop.call_soon_threadsafe(start)
            if stop_when is not None:
                stop_when.on_set(lambda: self._hand_over(stop))
            while not done.wait(0.1):
                pass
        except KeyboardInterrupt:
            self._cancel(stop, done)
        return box.get("outcome", Outcome("cancelled"))

    def run_value(self, make: Callable[[], Awaitable[Any]]) -> Any:
        """:meth:`run`, as a call: ``make()``'s value, its exception raised here, or :class:`Cancelled`."""
        outcome = self.run(make)
        if outcome.kind == "cancelled":
            raise Cancelled
        if outcome.error is not None:
            raise outcome.error
        return outcome.value

    def _hand_over(self, stop: Callable[[], None]) -> None:
        with contextlib.suppress(RuntimeError):  # a loop already closed has nothing to stop
            self.loop.call_soon_threadsafe(stop)

    def _cancel(self, stop: Callable[[], None], done: threading.Event) -> None:
        while True:  # a second Ctrl-C must not keep the stop from being handed over
            try:
                self.loop.call_soon_threadsafe(stop)
                break
            except KeyboardInterrupt:
                pass
        try:
            done.wait(CANCEL_GRACE)
        except KeyboardInterrupt:
            pass
        if not done.is_set():
            logger.warning("The command is still stopping in the background")

    def call(self, fn: Callable[[], Any]) -> Any:
        """Run a plain function on the loop's thread and return its result."""

        async def wrap():
            return fn()

        return self.run_value(wrap)

    def stop(self) -> None:
        async def wind_down() -> None:
            me = asyncio.current_task()
            others = [t for t in asyncio.all_tasks() if t is not me]
            for t in others:
                t.cancel()
            await asyncio.gather(*others, return_exceptions=True)
            await self.loop.shutdown_default_executor(timeout=2.0)  # type: ignore[call-arg]

        if self.loop.is_closed():
            return
        try:
            asyncio.run_coroutine_threadsafe(wind_down(), self.loop).result(timeout=5.0)
        except Exception:
            pass
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(timeout=5.0)
        if not self._thread.is_alive():
            self.loop.close()


_pacer: Pacer | None = None


def shared_pacer() -> Pacer:
    """The process's one pacer: every session's historical requests count against the same rules.

    It paces small bars against what every process of the home sent (the home's ledger file).
    Made again only when ``CORVANE_PACE_SCALE`` or the home changed since, so a test (or a
    notebook) that sets another scale or home gets it.
    """
    global _pacer
    scale = pace_scale_from_env()
    ledger = pacing_path()
    if _pacer is None or _pacer.scale != scale or _pacer.home is None or _pacer.home.path != ledger:
        _pacer = Pacer(scale, home=ledger)
    return _pacer


def _new_ib() -> Any:
    from ib_async import IB

    return IB()


class Session:
    """The state, gateway client and store that every command of one console shares."""

    def __init__(
        self, settings: GatewaySettings, store: KeyValueStore | None = None, *, ib_factory: Callable[[], Any] = _new_ib
    ) -> None:
        self.loop_thread = LoopThread()
        # Built on the loop's thread: the client binds its events and
        # transport to the loop it runs on.
        self.ib = self.loop_thread.call(ib_factory)
        # Every historical request waits its turn, whoever sends it (sorvel included), so a
        # burst typed at the prompt is paced instead of refused with error 162.
        if hasattr(self.ib, "reqHistoricalDataAsync"):
            pacer = shared_pacer()
            self.loop_thread.call(lambda: wrap_client(self.ib, pacer))
        # Each command is told the gateway's errors about its own requests only.
        self.loop_thread.call(lambda: track_requests(self.ib))
        self.link = GatewayLink(self.ib, settings)
        from corvane.state import ConsoleState  # brings in the client library; not needed for help

        self.state = ConsoleState(self.link)
        self.store = store if store is not None else KeyValueStore()

    @property
    def connected(self) -> bool:
        return self.link.connected

    def connect(self, *, quiet: bool = True) -> bool:
        """Try the gateway once; KeyboardInterrupt when the user gave up waiting."""
        return bool(self.loop_thread.run_value(lambda: self.link.connect(quiet=quiet)))

    def prepare(self, word: str, words: list[str]) -> Any:
        """A command instance with its fields filled from ``words``.

        Raises UnknownCommand, or ArgumentError for words that do not fit.
        """
        cls = commands.find(word)
        if cls is None:
            raise UnknownCommand(word)

        def build() -> Any:
            op = cls(state=self.state, ib=self.ib, cache=self.store)
            bind_words(op, words)
            return op

        # Command code runs on the loop's thread only, argument conversion included.
        return self.loop_thread.call(build)

    def execute(self, op: Any) -> Outcome:
        if getattr(op, "requires_gateway", True) and not self.connected:
            return Outcome("error", error=GatewayRequired("this command needs a gateway connection"))
        said: list[str] = []
        yahoo = YahooSaid()

        async def watched() -> Any:
            nonlocal yahoo
            # Subscribed on the loop's thread, where the client emits its events, and
            # in the command's own task, whose lines they collect.
            with gateway_errors(self.ib) as seen, yahoo_said() as yahoo:
                try:
                    return await op.run()
                finally:
                    said.extend(seen)

        outcome = self.loop_thread.run(watched)
        outcome.gateway_errors = said
        outcome.yahoo = yahoo
        return outcome

    def close(self) -> None:
        try:
            self.loop_thread.call(self.link.close)
        except Exception as exc:
            logger.debug("Closing the gateway link failed: {}", exc)
        self.loop_thread.stop()
