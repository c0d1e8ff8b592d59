"""Pacing of historical-bar requests: one scheduler shared by every request the process sends.

The gateway paces bars of 30 seconds or less hard: it refuses (error 162) an identical request
within 15 s, a sixth request for the same contract, exchange and what-to-show within 2 s, and
more than 60 requests in any 10 minutes, a BID_ASK request counting twice. Larger bars are
only throttled softly: answers slow down under load. Every request counts against 50 open.

So a small-bar request waits here for its turn, counted from when it is sent, against what
every process of the home sent lately (:class:`HomeLedger`, a small locked file), with a
margin for the delay between our sending and the gateway's counting. A larger one waits only
for a place among the requests in flight, whose number :class:`Throughput` adapts to how
fast answers come back. The windows can be compressed with ``CORVANE_PACE_SCALE`` (for a
loopback gateway compressing its own clock the same way); time is injectable so tests run on
a fake clock.

:class:`Ledger` is the pure bookkeeping (also used to estimate how long a plan takes);
:class:`Pacer` is the asyncio scheduler; :func:`wrap_client` makes an ib_async ``IB``
instance send every ``reqHistoricalDataAsync`` through a pacer, whoever calls it.
"""

from __future__ import annotations

import asyncio
import contextlib
import datetime as dt
import errno
import fcntl
import functools
import hashlib
import inspect
import math
import os
import stat
import threading
import time
from collections.abc import (
    AsyncIterator,
    Awaitable,
    Callable,
    Hashable,
    Iterable,
    Iterator,
    Mapping,
    Sequence,
    Sized,
)
from dataclasses import dataclass, field
from pathlib import Path
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
    """The gateway's published limits, in seconds at scale 1, and the room we keep below them."""

    identical_window: float = 15.0
    contract_limit: int = 5  # "fewer than 6" within contract_window
    contract_window: float = 2.0
    total_limit: int = 60
    total_window: float = 600.0
    max_open: int = 50
    #: requests we allow ourselves in one total window: two short of the limit, so a request
    #: that reaches the gateway late (a proxy, a busy loop) still leaves the window within it
    total_budget: int = 58
    #: real seconds added to every window, never scaled: the gateway counts on arrival, not
    #: when we write, and arrivals bunch by the scheduling delays of a loaded machine or a
    #: proxy's hop, whatever the pace; a wider one would slow a compressed pace (scale 0.01)
    #: more than it protects
    margin: float = 0.2
    #: each refusal doubles the margin up to this: the jitter was more than it allowed for,
    #: and the same margin would break the rule again on the next burst after the hold
    max_margin: float = 1.6


DEFAULT_RULES = PacingRules()


@dataclass(frozen=True)
class Terms:
    """How a request is paced: under the hard rules or not, how many it counts as, its kind."""

    small: bool = True
    weight: int = 1
    #: requests alike in size (bar size and duration): the throughput compares their latencies
    kind: Hashable = None


SMALL = Terms()


def hard_paced(bar_size: str) -> bool:
    """Whether bars of ``bar_size`` ("5 secs", "1 min") fall under the hard pacing rules (30 s or less)."""
    count, _, unit = str(bar_size).strip().partition(" ")
    return unit.startswith("sec") and count.isdigit() and int(count) <= 30


def terms_of(bar_size: str, duration: str, what_to_show: str) -> Terms:
    weight = 2 if str(what_to_show).upper() == "BID_ASK" else 1
    return Terms(hard_paced(bar_size), weight, (bar_size, duration))


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


def _digest(value: Hashable) -> str:
    # Short and alike in every process, so the home's processes agree on what is identical.
    return hashlib.blake2b(repr(value).encode(), digest_size=8).hexdigest()


#: One small-bar request sent: when, how many it counts as, its contract key and identity digests.
Entry = tuple[float, int, str, str]


class Ledger:
    """When small-bar requests were sent, and how long a new one must wait to keep every rule."""

    def __init__(self, rules: PacingRules = DEFAULT_RULES, scale: float = 1.0):
        self.rules = rules
        self.scale = check_scale(scale)
        self._entries: list[Entry] = []  # oldest first, none older than the total window
        #: after a refusal, nothing small goes before this
        self.hold_until = -math.inf
        self.sent = 0
        self.margin = rules.margin

    def window(self, seconds: float) -> float:
        return seconds * self.scale + self.margin

    def copy(self) -> Ledger:
        twin = Ledger(self.rules, self.scale)
        twin._entries, twin.hold_until, twin.margin = list(self._entries), self.hold_until, self.margin
        return twin

    def _prune(self, now: float) -> None:
        horizon = now - self.window(self.rules.total_window)
        # An entry from the future was stamped before the machine restarted its clock.
        self._entries = [e for e in self._entries if horizon < e[0] <= now + 1.0]
        # Another process's hold may use a margin it widened: judged by the widest one.
        if self.hold_until > now + self.rules.total_window * self.scale + self.rules.max_margin:
            self.hold_until = -math.inf

    @staticmethod
    def _expiry(entries: Sequence[tuple[float, int]], room: int, weight: int) -> float:
        """When enough of ``entries`` (oldest first, with weights) were sent that ``weight`` more
        fit in ``room`` once they leave the window; -inf if they fit now."""
        used = sum(w for _, w in entries)
        if used + weight <= room:
            return -math.inf
        for sent, count in entries:
            used -= count
            if used + weight <= room:
                return sent
        return math.inf  # heavier than the room itself

    def total_wait(self, now: float, weight: int = 1) -> float:
        self._prune(now)
        window = self.window(self.rules.total_window)
        expiry = self._expiry([(e[0], e[1]) for e in self._entries], self.rules.total_budget, weight)
        return max(0.0, expiry + window - now, self.hold_until - now)

    def contract_wait(self, key: ContractKey, identity: Identity, now: float, weight: int = 1) -> float:
        key_id, identity_id = _digest(key), _digest(identity)
        wait = 0.0
        same = [e for e in self._entries if e[3] == identity_id]
        if same:
            wait = same[-1][0] + self.window(self.rules.identical_window) - now
        recent = now - self.window(self.rules.contract_window)
        times = [(e[0], e[1]) for e in self._entries if e[2] == key_id and e[0] > recent]
        expiry = self._expiry(times, self.rules.contract_limit, weight)
        wait = max(wait, expiry + self.window(self.rules.contract_window) - now)
        return max(0.0, wait)

    def wait(self, key: ContractKey, identity: Identity, now: float, weight: int = 1) -> float:
        return max(self.total_wait(now, weight), self.contract_wait(key, identity, now, weight))

    def record(self, key: ContractKey, identity: Identity, now: float, weight: int = 1) -> Entry:
        self.sent += 1
        entry = (now, weight, _digest(key), _digest(identity))
        self._entries.append(entry)
        return entry

    def restamp(self, entry: Entry, now: float) -> Entry:
        """``entry`` as sent at ``now`` instead: a turn granted is written later, when its task runs."""
        with contextlib.suppress(ValueError):  # dropped meanwhile (pruned): it counts from now again
            self._entries.remove(entry)
        moved = (now, *entry[1:])
        self._entries.append(moved)
        self._entries.sort()
        return moved

    def hold(self, now: float) -> None:
        """A refusal: the rule broken is unknown, so wait out the longest window from now."""
        self.margin = min(self.rules.max_margin, max(self.margin * 2, self.rules.margin))
        self.hold_until = max(self.hold_until, now + self.window(self.rules.total_window))

    def dump(self) -> str:
        lines = [f"hold {self.hold_until!r}"] if math.isfinite(self.hold_until) else []
        lines += [f"{t!r} {w} {k} {i}" for t, w, k, i in self._entries]
        return "".join(line + "\n" for line in lines)

    def merge(self, text: str, now: float) -> None:
        """Take in what the home's other processes sent (``text`` as :meth:`dump` wrote it)."""
        known = set(self._entries)
        for line in text.splitlines():
            parts = line.split()
            try:
                if len(parts) == 2 and parts[0] == "hold":
                    self.hold_until = max(self.hold_until, float(parts[1]))
                elif len(parts) == 4:
                    entry = (float(parts[0]), int(parts[1]), parts[2], parts[3])
                    if math.isfinite(entry[0]) and 0 < entry[1] <= 2:
                        known.add(entry)
            except ValueError:
                continue  # a damaged line costs only itself
        self._entries = sorted(known)
        self._prune(now)


class HomeLedger:
    """The ledger file of a home: what all its processes sent, so each waits for the same windows.

    Times are ``CLOCK_MONOTONIC`` seconds, one clock for every process of the machine and never
    set back by a wall-clock change; entries from before a restart of that clock look like the
    future and are dropped. The file is locked (flock) while read and written, never followed
    through a symlink; when it cannot be used, the process paces by its own ledger alone.
    """

    LIMIT = 1 << 16  # a few hundred lines at most; anything beyond is not ours

    def __init__(self, path: Path) -> None:
        self.path = path
        self.broken: str | None = None

    @contextlib.contextmanager
    def synced(self, ledger: Ledger, now: float) -> Iterator[None]:
        """Merge the file into ``ledger``; what the block records goes back to the file."""
        fd = self._open()
        if fd is None:
            yield
            return
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            text = os.read(fd, self.LIMIT).decode("ascii", "replace")
            ledger.merge(text, now)
            yield
            fresh = ledger.dump()
            if fresh != text:
                os.lseek(fd, 0, os.SEEK_SET)
                os.ftruncate(fd, 0)
                os.write(fd, fresh.encode("ascii"))
        finally:
            os.close(fd)  # and with it the lock

    def _open(self) -> int | None:
        if self.broken is not None:
            return None
        flags = os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK
        try:
            self.path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
            fd = os.open(self.path, flags, 0o600)
        except OSError as exc:
            why = "it is a symlink" if exc.errno == errno.ELOOP else exc.strerror
            self.broken = f"{self.path}: {why}"
            return None
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            os.close(fd)
            self.broken = f"{self.path}: not a regular file"
            return None
        return fd


def floor_seconds(
    requests: Iterable[tuple[ContractKey, Identity]] | Iterable[tuple[ContractKey, Identity, Terms]],
    scale: float = 1.0,
    rules: PacingRules = DEFAULT_RULES,
    *,
    ledger: Ledger | None = None,
    now: float = 0.0,
) -> float:
    """The least time the rules allow for sending ``requests`` in order (instant answers assumed),
    after what ``ledger`` holds as of ``now``. Requests not under the hard rules cost nothing here."""
    book = ledger.copy() if ledger is not None else Ledger(rules, scale)
    at = now
    for request in requests:
        key, identity, terms = (*request, SMALL)[:3]
        assert isinstance(terms, Terms)
        if not terms.small:
            continue
        at += book.wait(key, identity, at, terms.weight)
        book.record(key, identity, at, terms.weight)
    return at - now


class Throughput:
    """How many softly throttled requests to keep in flight: more while answers come back as
    fast as the fastest seen for their kind, fewer when they slow down (additive increase,
    multiplicative decrease on latency). With the broker serving K at once, answers slow only
    once more than K wait, so the number settles a little above K, whatever K is."""

    START = 2
    FAST = 1.5  # latency up to this many times the fastest: room for more
    SLOW = 2.5  # from this many times: too many wait at the broker
    CUT = 0.7

    def __init__(self, cap: int) -> None:
        self.cap = cap
        self.limit = float(self.START)
        self._growing = True  # until the first slowdown, one more per fast answer
        self._fastest: dict[Hashable, float] = {}
        self._latency: dict[Hashable, float] = {}  # a moving average, for estimates
        self._calm_until = -math.inf

    def allowed(self) -> int:
        return max(1, min(self.cap, int(self.limit)))

    def answered(self, kind: Hashable, size: int | None, latency: float, now: float) -> None:
        """An answer of ``size`` bars came ``latency`` seconds after its request was sent."""
        latency = max(latency, 1e-6)
        # Answers of about the same number of bars (within a factor of two) take about as long.
        alike = (kind, None if size is None else int(size).bit_length())
        fastest = self._fastest[alike] = min(self._fastest.get(alike, latency), latency)
        before = self._latency.get(kind, latency)
        self._latency[kind] = before + (latency - before) / 8
        if latency <= fastest * self.FAST:
            self.limit = min(float(self.cap), self.limit + (1.0 if self._growing else 1.0 / self.limit))
        elif latency >= fastest * self.SLOW:
            self.slowed(now, latency)

    def slowed(self, now: float, period: float, *, force: bool = False) -> None:
        # Once per round trip: the answers already on their way were sent at the old pace.
        if now < self._calm_until and not force:
            return
        self.limit = max(1.0, self.limit * self.CUT)
        self._growing = False
        self._calm_until = now + period

    def seconds(self, count: int, kind: Hashable) -> float | None:
        """How long ``count`` requests of ``kind`` take at the pace measured; None before any answer."""
        latency = self._latency.get(kind)
        if latency is None:
            return None
        return count * latency / self.allowed()


@dataclass
class Turn:
    """One request let go: when, and how many bars its answer held (None: no answer)."""

    began: float
    size: int | None = None


@dataclass(eq=False)
class _Waiter:
    key: ContractKey
    identity: Identity
    terms: Terms
    loop: asyncio.AbstractEventLoop = field(default_factory=asyncio.get_running_loop)
    granted: asyncio.Future[None] = field(default_factory=lambda: asyncio.get_running_loop().create_future())
    given: bool = False  # its turn was taken for it (the future may be resolved later, on its own loop)
    entry: Entry | None = None  # its place in the ledger, a small bar's, stamped when granted


def _settle(granted: asyncio.Future[None]) -> None:
    if not granted.done():
        granted.set_result(None)


class Pacer:
    """Hands out turns to historical requests so that none breaks a pacing rule.

    ``async with pacer.request(key, identity, terms):`` waits for a turn, then holds one of the
    open slots until the body exits. Small-bar waiters are served first come, first served;
    one held back only by its own contract's rules lets later ones for other contracts pass
    meanwhile. Larger bars wait only for a place among those in flight.

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
        home: Path | None = None,
    ):
        self.rules = rules
        self.ledger = Ledger(rules, scale)
        self.throughput = Throughput(rules.max_open)
        self.home = HomeLedger(home) if home is not None else None
        self._clock = clock
        self._sleep = sleep
        self._waiters: list[_Waiter] = []
        self._open = 0
        self._open_soft = 0
        self._soft_hold_until = -math.inf
        self._lock = threading.RLock()
        self._timers: dict[asyncio.AbstractEventLoop, tuple[asyncio.Task[None], float]] = {}
        #: small-bar turns granted whose requests are not written yet: the gateway counts a
        #: request when it arrives, and a busy loop (a store write, another session) may run the
        #: granted task much later; until it runs, each counts as sent at every moment it waits
        self._unsent: list[_Waiter] = []

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

    def _synced(self, now: float) -> contextlib.AbstractContextManager[None]:
        return self.home.synced(self.ledger, now) if self.home is not None else contextlib.nullcontext()

    def timed_out(self, terms: Terms) -> None:
        """A request got no answer in time: fewer in flight (small bars keep their rules)."""
        if not terms.small:
            with self._lock:
                self.throughput.slowed(self._clock(), self.rules.identical_window * self.scale, force=True)
            self._reschedule()

    def refused(self, terms: Terms = SMALL) -> None:
        """The gateway refused a request for pacing: small bars wait out the longest window,
        for every process of the home; larger ones are kept fewer in flight."""
        with self._lock:
            now = self._clock()
            if terms.small:
                with self._synced(now):
                    self.ledger.hold(now)
            else:
                # Refused although not under the hard rules: the broker is overloaded; a pause
                # before the next, rather than spending the retries at once.
                pause = self.rules.identical_window * self.scale
                self.throughput.slowed(now, pause, force=True)
                self._soft_hold_until = max(self._soft_hold_until, now + pause)
        self._reschedule()

    def held(self) -> float:
        """Seconds until small-bar requests may go again after a refusal."""
        return max(0.0, self.ledger.hold_until - self._clock())

    def floor(self, requests: Sequence[tuple[ContractKey, Identity, Terms]]) -> float:
        """The least seconds from now the rules allow for ``requests``, after what the home sent lately."""
        if not any(terms.small for _, _, terms in requests):
            return 0.0
        with self._lock:
            now = self._clock()
            with self._synced(now):
                return floor_seconds(requests, ledger=self.ledger, now=now)

    @contextlib.asynccontextmanager
    async def request(self, key: ContractKey, identity: Identity, terms: Terms = SMALL) -> AsyncIterator[Turn]:
        """Wait for a turn; the body sends the request and may note the answer's size on the turn."""
        waiter = await self._acquire(key, identity, terms)
        turn = Turn(self._clock())
        answered = False
        try:
            # The body writes the request now, in this step of the loop: counted from here.
            self._written(waiter, turn.began)
            yield turn
            answered = True
        finally:
            with self._lock:
                self._open -= 1
                if not terms.small:
                    self._open_soft -= 1
                    if answered and turn.size is not None:
                        now = self._clock()
                        self.throughput.answered(terms.kind, turn.size, now - turn.began, now)
            self._reschedule()

    def _written(self, waiter: _Waiter, now: float) -> None:
        with self._lock:
            if waiter not in self._unsent:
                return
            self._unsent.remove(waiter)
            assert waiter.entry is not None
            with self._synced(now):
                waiter.entry = self.ledger.restamp(waiter.entry, now)

    def _unsent_now(self, now: float) -> None:
        """Turns granted but not yet written count as written ``now`` (under the home's lock)."""
        # A turn handed to a loop since closed is never written: it keeps its last stamp.
        self._unsent = [w for w in self._unsent if not w.loop.is_closed()]
        for waiter in self._unsent:
            assert waiter.entry is not None
            if waiter.entry[0] < now:
                waiter.entry = self.ledger.restamp(waiter.entry, now)

    async def _acquire(self, key: ContractKey, identity: Identity, terms: Terms) -> _Waiter:
        waiter = _Waiter(key, identity, terms)
        with self._lock:
            self._waiters.append(waiter)
        self._reschedule()
        try:
            await waiter.granted
        except asyncio.CancelledError:
            with self._lock:
                if waiter in self._unsent:
                    self._unsent.remove(waiter)  # never written: its stamp stays as it was
                if waiter.given:
                    self._open -= 1  # granted just as it was cancelled: give the slot back unused
                    self._open_soft -= 0 if terms.small else 1
                elif waiter in self._waiters:
                    self._waiters.remove(waiter)
            self._reschedule()
            raise
        return waiter

    def _next(self, now: float) -> tuple[_Waiter | None, float]:
        """The first waiter that may go now (recorded in the ledger), else the seconds until one may."""
        soonest, total_blocked = math.inf, False
        # Whether a larger bar may go is the same for all of them: judged once, not per waiter
        # (a year of minutes puts hundreds in line, and this runs for every turn).
        if now < self._soft_hold_until:
            soonest = self._soft_hold_until - now
            soft_free = False
        else:
            soft_free = self._open_soft < self.throughput.allowed()
        for waiter in list(self._waiters):
            if waiter.granted.done():  # cancelled, its task not yet resumed to withdraw it
                self._waiters.remove(waiter)
                continue
            terms = waiter.terms
            if not terms.small:
                if soft_free:
                    return waiter, 0.0
                continue  # an answer (or the end of the pause) frees its place
            if total_blocked:
                continue  # first come, first served under the total rule
            delay = self.ledger.total_wait(now, terms.weight)
            if delay > 0:
                total_blocked, soonest = True, min(soonest, delay)
                continue
            delay = self.ledger.contract_wait(waiter.key, waiter.identity, now, terms.weight)
            if delay <= 0:
                waiter.entry = self.ledger.record(waiter.key, waiter.identity, now, terms.weight)
                self._unsent.append(waiter)
                return waiter, 0.0
            soonest = min(soonest, delay)
        return None, soonest

    def _grant_ready(self) -> float | None:
        """Grant every turn that may go now; the seconds until the next may, or None to wait for a release."""
        while self._waiters:
            if self._open >= self.rules.max_open:
                return None
            now = self._clock()
            small = any(w.terms.small for w in self._waiters)
            with self._synced(now) if small else contextlib.nullcontext():
                if small:
                    self._unsent_now(now)
                waiter, delay = self._next(now)
            if waiter is None:
                return delay if math.isfinite(delay) else None
            self._waiters.remove(waiter)
            self._open += 1
            self._open_soft += 0 if waiter.terms.small else 1
            self._give(waiter)
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
            if waiter in self._unsent:
                self._unsent.remove(waiter)
            self._open -= 1
            self._open_soft -= 0 if waiter.terms.small else 1

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
#: times a request refused for pacing is sent in all through the wrapper
REFUSED_RETRIES = 4


def is_pacing_error(code: int, text: str) -> bool:
    return code == 162 and "pacing violation" in str(text).lower()


class _Shared:
    """One request in flight, and how many callers wait for its answer."""

    task: asyncio.Future[Any]

    def __init__(self, ids: set[int], terms: Terms) -> None:
        self.waiters = 0
        self.ids = ids  # its request ids: the gateway's errors about it concern every caller
        self.terms = terms
        self.refusals = 0  # pacing refusals heard for it


def wrap_client(ib: Any, pacer: Pacer) -> None:
    """Make every ``ib.reqHistoricalDataAsync`` call (and so ``reqHistoricalData``) wait for ``pacer``.

    Calling it again with the same pacer changes nothing; with another pacer, it replaces
    the first. A pacing refusal of a request sent here tells the pacer.
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
            terms = terms_of(arguments["barSizeSetting"], arguments["durationStr"], arguments["whatToShow"])

            async def fetch(shared: _Shared) -> Any:
                # A pacing refusal answers with no bars: those bars are not "none", so the request
                # waits out the hold the refusal set and goes again (a few times at most).
                for _ in range(REFUSED_RETRIES):
                    refusals = shared.refusals
                    with requests_into(ids):
                        async with pacer.request(key, identity, terms) as turn:
                            answer = await original(*args, **kwargs)
                            if shared.refusals == refusals:
                                turn.size = len(answer) if isinstance(answer, Sized) else None
                    if shared.refusals == refusals:
                        return answer
                return answer

            shared = in_flight[identity] = _Shared(ids, terms)
            shared.task = asyncio.ensure_future(fetch(shared))
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
        # Only for requests sent here: a caller sending past the wrapper tells the pacer itself.
        if is_pacing_error(code, text):
            for shared in list(in_flight.values()):
                if req_id in shared.ids:
                    shared.refusals += 1
                    pacer.refused(shared.terms)
                    return

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
