"""Pacing of historical-bar requests: one scheduler shared by every request the process sends.

The gateway refuses (error 162) a historical request that breaks its pacing rules: an
identical request within 15 s, a sixth request for the same contract, exchange and
what-to-show within 2 s, more than 60 requests in 10 minutes, more than 50 open at once.
Rather than be refused and retry, every request waits here for its turn, counted from
when it is sent. The windows can be compressed with ``CORVANE_PACE_SCALE`` (for a loopback
gateway compressing its own clock the same way); time is injectable so tests run on a
fake clock.

:class:`Ledger` is the pure bookkeeping (also used to estimate how long a plan takes);
:class:`Pacer` is the asyncio scheduler; :func:`wrap_client` makes an ib_async ``IB``
instance send every ``reqHistoricalDataAsync`` through a pacer, whoever calls it.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import datetime as dt
import functools
import inspect
import math
import os
import threading
import time
from collections.abc import (
    AsyncIterator,
    Awaitable,
    Callable,
    Hashable,
    Iterable,
    Mapping,
)
from dataclasses import dataclass, field
from typing import Any

from corvane.gateway.error_watch import requests_into, share

PACE_SCALE_ENV = "CORVANE_PACE_SCALE"

#: Identifies a request for the identical-request rule.
Identity = Hashable
#: Contract, exchange and what-to-show: the unit of the per-contract rule.
ContractKey = Hashable


class PacingError(ValueError):
    """A pacing setting that cannot be used."""


@dataclass(frozen=True)
class PacingRules:
    """The gateway's published limits, in seconds at scale 1."""

    identical_window: float = 15.0
    contract_limit: int = 5  # "fewer than 6" within contract_window
    contract_window: float = 2.0
    total_limit: int = 60
    total_window: float = 600.0
    max_open: int = 50
    #: how much slower after a pacing error, and for how long (scaled like the windows)
    slowdown_factor: float = 2.0
    slowdown_period: float = 60.0
    slowdown_cap: float = 8.0
    #: unscaled seconds added to every window: the gateway counts on receipt, not when we send
    margin: float = 0.05


DEFAULT_RULES = PacingRules()


def check_scale(scale: float, source: str = "pace scale") -> float:
    if isinstance(scale, bool) or not isinstance(scale, (int, float)) or not math.isfinite(scale) or scale <= 0:
        raise PacingError(f"{source} must be a positive number (1 = the gateway's real pace), not {scale!r}")
    return float(scale)


def pace_scale_from_env(environ: Mapping[str, str] | None = None) -> float:
    """``CORVANE_PACE_SCALE``: the factor on every pacing window; unset or empty means 1."""
    text = (os.environ if environ is None else environ).get(PACE_SCALE_ENV, "").strip()
    if not text:
        return 1.0
    try:
        value = float(text)
    except ValueError:
        raise PacingError(
            f"{PACE_SCALE_ENV} must be a positive number (1 = the gateway's real pace), not {text!r}"
        ) from None
    return check_scale(value, PACE_SCALE_ENV)


class Ledger:
    """When requests were sent, and how long a new one must wait to keep every rule."""

    def __init__(self, rules: PacingRules = DEFAULT_RULES, scale: float = 1.0):
        self.rules = rules
        self.scale = check_scale(scale)
        self._identical: dict[Identity, float] = {}
        self._contract: dict[ContractKey, collections.deque[float]] = {}
        self._total: collections.deque[float] = collections.deque(maxlen=rules.total_limit)
        self.sent = 0

    def _window(self, seconds: float, factor: float) -> float:
        return seconds * self.scale * factor + self.rules.margin

    def total_wait(self, now: float, factor: float = 1.0) -> float:
        if len(self._total) < self.rules.total_limit:
            return 0.0
        return max(0.0, self._total[0] + self._window(self.rules.total_window, factor) - now)

    def contract_wait(self, key: ContractKey, identity: Identity, now: float, factor: float = 1.0) -> float:
        wait = 0.0
        last = self._identical.get(identity)
        if last is not None:
            wait = last + self._window(self.rules.identical_window, factor) - now
        times = self._contract.get(key)
        if times is not None and len(times) >= self.rules.contract_limit:
            wait = max(wait, times[0] + self._window(self.rules.contract_window, factor) - now)
        return max(0.0, wait)

    def wait(self, key: ContractKey, identity: Identity, now: float, factor: float = 1.0) -> float:
        return max(self.total_wait(now, factor), self.contract_wait(key, identity, now, factor))

    def record(self, key: ContractKey, identity: Identity, now: float) -> None:
        self.sent += 1
        self._total.append(now)
        self._contract.setdefault(key, collections.deque(maxlen=self.rules.contract_limit)).append(now)
        self._identical[identity] = now
        if len(self._identical) > 4096:
            self._forget(now)

    def _forget(self, now: float) -> None:
        # Entries older than the longest possible window can never delay anything again.
        horizon = now - self._window(
            max(self.rules.identical_window, self.rules.contract_window), self.rules.slowdown_cap
        )
        self._identical = {k: t for k, t in self._identical.items() if t >= horizon}
        self._contract = {k: q for k, q in self._contract.items() if q[-1] >= horizon}


def floor_seconds(
    requests: Iterable[tuple[ContractKey, Identity]], scale: float = 1.0, rules: PacingRules = DEFAULT_RULES
) -> float:
    """The least time the rules allow for sending ``requests`` in order (instant answers assumed)."""
    ledger = Ledger(rules, scale)
    now = 0.0
    for key, identity in requests:
        now += ledger.wait(key, identity, now)
        ledger.record(key, identity, now)
    return now


@dataclass(eq=False)
class _Waiter:
    key: ContractKey
    identity: Identity
    loop: asyncio.AbstractEventLoop = field(default_factory=asyncio.get_running_loop)
    granted: asyncio.Future[None] = field(default_factory=lambda: asyncio.get_running_loop().create_future())
    given: bool = False  # its turn was taken for it (the future may be resolved later, on its own loop)


def _settle(granted: asyncio.Future[None]) -> None:
    if not granted.done():
        granted.set_result(None)


class Pacer:
    """Hands out turns to historical requests so that none breaks a pacing rule.

    ``async with pacer.request(key, identity):`` waits for a turn, then holds one of the open
    slots until the body exits. Waiters are served first come, first served; one held back
    only by its own contract's rules lets later ones for other contracts pass meanwhile.

    One pacer serves every session of the process, and each session runs its own event loop
    on a thread of its own: the bookkeeping is under a lock, a turn is handed to a waiter on
    its own loop, and each loop with waiters keeps a timer of its own, so a closed session's
    loop never strands another's waiters.
    """

    def __init__(
        self,
        scale: float = 1.0,
        rules: PacingRules = DEFAULT_RULES,
        *,
        clock: Callable[[], float] = time.monotonic,
        sleep: Callable[[float], Awaitable[Any]] = asyncio.sleep,
    ):
        self.rules = rules
        self.ledger = Ledger(rules, scale)
        self._clock = clock
        self._sleep = sleep
        self._waiters: list[_Waiter] = []
        self._open = 0
        self._factor = 1.0
        self._slow_until = -math.inf
        self._lock = threading.Lock()
        self._timers: dict[asyncio.AbstractEventLoop, tuple[asyncio.Task[None], float]] = {}

    @property
    def scale(self) -> float:
        return self.ledger.scale

    @property
    def open(self) -> int:
        """Requests holding a slot now."""
        return self._open

    @property
    def waiting(self) -> int:
        return len(self._waiters)

    @property
    def sent(self) -> int:
        return self.ledger.sent

    def factor(self) -> float:
        """How much wider the windows are now than the rules say (above 1 after :meth:`slowdown`)."""
        return self._factor if self._clock() < self._slow_until else 1.0

    def slowdown(self) -> None:
        """The gateway reported a pacing violation: widen every window for a while."""
        with self._lock:
            now = self._clock()
            factor = self._factor if now < self._slow_until else 1.0
            self._factor = min(factor * self.rules.slowdown_factor, self.rules.slowdown_cap)
            self._slow_until = now + self.rules.slowdown_period * self.scale

    @contextlib.asynccontextmanager
    async def request(self, key: ContractKey, identity: Identity) -> AsyncIterator[None]:
        await self._acquire(key, identity)
        try:
            yield
        finally:
            with self._lock:
                self._open -= 1
            self._reschedule()

    async def _acquire(self, key: ContractKey, identity: Identity) -> None:
        waiter = _Waiter(key, identity)
        with self._lock:
            self._waiters.append(waiter)
        self._reschedule()
        try:
            await waiter.granted
        except asyncio.CancelledError:
            with self._lock:
                if waiter.given:
                    self._open -= 1  # granted just as it was cancelled: give the slot back unused
                elif waiter in self._waiters:
                    self._waiters.remove(waiter)
            self._reschedule()
            raise

    def _grant_ready(self) -> float | None:
        """Grant every turn that may go now; the seconds until the next may, or None to wait for a release."""
        while self._waiters:
            if self._open >= self.rules.max_open:
                return None
            now = self._clock()
            factor = self.factor()
            delay = self.ledger.total_wait(now, factor)
            if delay > 0:
                return delay
            soonest = math.inf
            for waiter in list(self._waiters):
                if waiter.granted.done():  # cancelled, its task not yet resumed to withdraw it
                    self._waiters.remove(waiter)
                    continue
                delay = self.ledger.contract_wait(waiter.key, waiter.identity, now, factor)
                if delay <= 0:
                    self._waiters.remove(waiter)
                    self.ledger.record(waiter.key, waiter.identity, now)
                    self._open += 1
                    self._give(waiter)
                    break
                soonest = min(soonest, delay)
            else:
                if not self._waiters:
                    return None
                return soonest
        return None

    def _give(self, waiter: _Waiter) -> None:
        waiter.given = True
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if waiter.loop is running:
            waiter.granted.set_result(None)
            return
        try:
            waiter.loop.call_soon_threadsafe(_settle, waiter.granted)
        except RuntimeError:  # its loop is closed, its task gone: the slot goes back unused
            self._open -= 1

    def _reschedule(self) -> None:
        loop = asyncio.get_running_loop()
        with self._lock:
            delay = self._grant_ready()
            if delay is None:
                self._stop_timer(loop)
                return
            wake = self._clock() + delay
            # Waiters of another session's loop wake on a timer of their own loop.
            behind = [w.loop for w in self._waiters if w.loop is not loop and self._wake_of(w.loop) > wake + 1e-3]
            timer = self._timers.get(loop)
            if timer is None or timer[0].done() or timer[1] > wake:
                self._stop_timer(loop)
                self._timers[loop] = (loop.create_task(self._tick(delay)), wake)
        for other in dict.fromkeys(behind):
            with contextlib.suppress(RuntimeError):  # closed meanwhile: nobody left to wake there
                other.call_soon_threadsafe(self._reschedule)

    def _wake_of(self, loop: asyncio.AbstractEventLoop) -> float:
        timer = self._timers.get(loop)
        return timer[1] if timer is not None and not timer[0].done() else math.inf

    def _stop_timer(self, loop: asyncio.AbstractEventLoop) -> None:
        timer = self._timers.pop(loop, None)
        if timer is not None:
            timer[0].cancel()
        for gone in [one for one in self._timers if one.is_closed()]:
            del self._timers[gone]

    async def _tick(self, delay: float) -> None:
        await self._sleep(delay)
        loop = asyncio.get_running_loop()
        with self._lock:
            timer = self._timers.get(loop)
            if timer is not None and timer[0] is asyncio.current_task():
                del self._timers[loop]
        self._reschedule()


def _contract_label(contract: Any) -> str:
    # The symbol first: one contract sent once by conId and once by symbol must count as one.
    symbol = str(getattr(contract, "symbol", "") or "").upper()
    return symbol or f"#{getattr(contract, 'conId', 0) or ''}"


def _end_text(end: dt.datetime | dt.date | str | None) -> str:
    from ib_async import (
        util,  # ib_async's own text, so a datetime and its string are one request
    )

    return util.formatIBDatetime(end)


def request_key(
    contract: Any, endDateTime: Any, durationStr: str, barSizeSetting: str, whatToShow: str, useRTH: bool
) -> tuple[ContractKey, Identity]:
    """The contract key and identity of a ``reqHistoricalData`` call, from its arguments."""
    exchange = str(getattr(contract, "exchange", "") or "").upper()
    label = _contract_label(contract)
    key = (label, exchange, whatToShow)
    identity = (label, exchange, _end_text(endDateTime), durationStr, barSizeSetting, whatToShow, bool(useRTH))
    return key, identity


_PACER_ATTR = "_corvane_pacer"


def _is_pacing_error(code: int, text: str) -> bool:
    return code == 162 and "pacing violation" in str(text).lower()


class _Shared:
    """One request in flight, and how many callers wait for its answer."""

    def __init__(self, task: asyncio.Future[Any], ids: set[int]) -> None:
        self.task = task
        self.waiters = 0
        self.ids = ids  # its request ids: the gateway's errors about it concern every caller


def wrap_client(ib: Any, pacer: Pacer) -> None:
    """Make every ``ib.reqHistoricalDataAsync`` call (and so ``reqHistoricalData``) wait for ``pacer``.

    Calling it again with the same pacer changes nothing; with another pacer, it replaces
    the first. A pacing error reported by the gateway slows the pacer down.
    """
    current = ib.reqHistoricalDataAsync
    if getattr(current, _PACER_ATTR, None) is pacer:
        return
    unwrap_client(ib)
    original = ib.reqHistoricalDataAsync
    had_own = "reqHistoricalDataAsync" in vars(ib)
    signature = inspect.signature(original)

    # Identical requests share one: the gateway refuses a repeat within the identical window,
    # so a repeat waits that long for the same answer, and many at once (commands of several
    # attached consoles) would queue a window apart. One in flight serves every caller; a
    # fresh non-empty answer serves repeats until the window has passed.
    in_flight: dict[Hashable, _Shared] = {}
    recent: dict[Hashable, tuple[float, Any]] = {}

    def settle(identity: Hashable, shared: _Shared, task: asyncio.Future[Any]) -> None:
        if in_flight.get(identity) is shared:
            del in_flight[identity]
        if not task.cancelled() and task.exception() is None and task.result():
            recent[identity] = (pacer._clock(), task.result())

    async def paced(*args: Any, **kwargs: Any) -> Any:
        arguments = signature.bind(*args, **kwargs).arguments
        key, identity = request_key(
            arguments["contract"],
            arguments.get("endDateTime"),
            arguments["durationStr"],
            arguments["barSizeSetting"],
            arguments["whatToShow"],
            arguments["useRTH"],
        )
        now, window = pacer._clock(), pacer.rules.identical_window * pacer.scale
        for stale in [i for i, (at, _) in recent.items() if now - at >= window]:
            del recent[stale]
        if identity in recent:
            return recent[identity][1]
        shared = in_flight.get(identity)
        if shared is None:
            ids: set[int] = set()

            async def fetch() -> Any:
                with requests_into(ids):
                    async with pacer.request(key, identity):
                        return await original(*args, **kwargs)

            shared = in_flight[identity] = _Shared(asyncio.ensure_future(fetch()), ids)
            shared.task.add_done_callback(functools.partial(settle, identity, shared))
        share(shared.ids)
        shared.waiters += 1
        try:
            return await asyncio.shield(shared.task)
        except asyncio.CancelledError:
            if shared.waiters == 1:  # the last one waiting gave up: so does the request
                shared.task.cancel()
            raise
        finally:
            shared.waiters -= 1

    def on_error(req_id: int, code: int, text: str, *rest: Any) -> None:
        if _is_pacing_error(code, text):
            pacer.slowdown()

    paced.__wrapped__ = original  # type: ignore[attr-defined]
    paced.__doc__ = original.__doc__
    setattr(paced, _PACER_ATTR, pacer)
    paced._corvane_restore = (had_own, on_error)  # type: ignore[attr-defined]
    events = getattr(ib, "errorEvent", None)
    if events is not None:
        events += on_error
    ib.reqHistoricalDataAsync = paced


def unwrap_client(ib: Any) -> None:
    """Undo :func:`wrap_client`; nothing happens to a client that is not wrapped."""
    current = ib.reqHistoricalDataAsync
    if getattr(current, _PACER_ATTR, None) is None:
        return
    had_own, on_error = current._corvane_restore
    events = getattr(ib, "errorEvent", None)
    if events is not None:
        events -= on_error
    if had_own:
        ib.reqHistoricalDataAsync = current.__wrapped__
    else:
        del ib.reqHistoricalDataAsync


def paced_by(ib: Any) -> Pacer | None:
    """The pacer ``ib``'s historical requests wait for, if any."""
    return getattr(ib.reqHistoricalDataAsync, _PACER_ATTR, None)
