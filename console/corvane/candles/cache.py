"""The process-wide candle cache behind the "sorvel" command.

Entries that describe "now" (the latest bars, today's curve, a date range
reaching today) go stale as new bars form, so they expire after at most one
bar length. A date range that ended before the day it was stored is history
and is kept until memory pressure drops it. Memory is bounded by the total
number of bar records held; the least recently used entries go first.
"""

from __future__ import annotations

import datetime as dt
import os
import time
from collections import OrderedDict
from collections.abc import Callable, Hashable
from dataclasses import dataclass
from pathlib import Path

from corvane import clock
from corvane.candles.store import CandleStore, Origin, StoredKey, key_text
from corvane.profiles import sorvel

#: Default bound on the bar records held by one cache.
DEFAULT_MAX_RECORDS = 2_000_000
#: Environment variable that overrides the default bound.
MAX_RECORDS_ENV = "CORVANE_SORVEL_CACHE_MAX_RECORDS"

#: A daily or longer bar still changes all session long; a quarter hour keeps
#: a repeated query cheap without showing a trader a stale close for long.
LONG_BAR_TTL = 900.0
#: Today's per-minute curve gains a bar every minute.
INTRADAY_TTL = 60.0
#: What an unknown period word gets: the shortest bar we know.
FALLBACK_TTL = 60.0
#: Seconds between looks at the store for another console's clear: a person
#: switching consoles takes longer, and a cache hit stays a few microseconds.
STORE_CHECK_INTERVAL = 0.5


def ttl_for_period(period: str) -> float:
    """Seconds an entry about "now" at this bar length stays fresh."""
    seconds = sorvel.bar_seconds(period)
    if seconds is None:
        return FALLBACK_TTL
    return float(min(seconds, LONG_BAR_TTL)) if seconds >= 86_400 else float(seconds)


@dataclass(frozen=True, slots=True)
class CountKey:
    symbol: str
    period: str
    adjust: str
    count: int


@dataclass(frozen=True, slots=True)
class RangeKey:
    symbol: str
    period: str
    adjust: str
    start: str
    end: str


@dataclass(frozen=True, slots=True)
class IntradayKey:
    symbol: str


@dataclass(slots=True)
class _Entry:
    records: list
    expires_at: float | None  # None: never goes stale
    stored_at: float
    origin: Origin | None  # None: kept before origins were


#: The store file every cache built without an explicit ``store`` uses; None: memory only.
_default_store_path: Path | None = None
_made_stores: list[CandleStore] = []


def use_store(path: Path | None) -> None:
    """Make caches built from now on keep their entries in the SQLite file ``path`` too,
    written behind the command's back; None: from now on in memory only, after
    finishing the writes of the stores made so far and closing them (a closed
    store opens again when a cache still holding it asks)."""
    global _default_store_path
    _default_store_path = None if path is None else Path(path)
    if path is None:
        while _made_stores:
            _made_stores.pop().close()


def default_store_path() -> Path | None:
    return _default_store_path


_INT64 = range(-(2**63), 2**63)


def _stored_key(key: Hashable) -> StoredKey | None:
    texts = [getattr(key, n) for n in ("symbol", "period", "adjust", "start", "end") if hasattr(key, n)]
    if not all(type(t) is str for t in texts):
        return None
    if isinstance(key, CountKey):
        if type(key.count) is not int or key.count not in _INT64:
            return None  # SQLite cannot hold the count; such a query stays in memory
        return StoredKey(
            key_text("count", key.symbol, key.period, key.adjust, key.count),
            "count",
            key.symbol,
            key.period,
            key.adjust,
            key.count,
        )
    if isinstance(key, RangeKey):
        return StoredKey(
            key_text("range", key.symbol, key.period, key.adjust, key.start, key.end),
            "range",
            key.symbol,
            key.period,
            key.adjust,
        )
    if isinstance(key, IntradayKey):
        return StoredKey(key_text("intraday", key.symbol), "intraday", key.symbol)
    return None  # a key of some other caller's making stays in memory


_DEFAULT = object()
_UNSEEN = object()


def _env_max_records() -> int:
    text = os.environ.get(MAX_RECORDS_ENV, "").strip()
    if not text:
        return DEFAULT_MAX_RECORDS
    try:
        value = int(text)
    except ValueError:
        return DEFAULT_MAX_RECORDS
    return value if value > 0 else DEFAULT_MAX_RECORDS


class SorvelCache:
    """Lists of bar records keyed by what was asked for.

    ``clock`` gives monotonic seconds and ``today`` the local calendar date;
    both are injectable so expiry can be stepped through without sleeping.
    A hit from memory is the very list that was stored (callers hand it on
    as their result); one from the store on disk is an equal list, which is
    then kept in memory for the rest of its freshness.
    """

    def __init__(
        self,
        *,
        max_records: int | None = None,
        clock: Callable[[], float] = time.monotonic,
        today: Callable[[], dt.date] = clock.today,
        store: CandleStore | Path | None = _DEFAULT,  # type: ignore[assignment]
        wall_clock: Callable[[], float] = time.time,
    ) -> None:
        if max_records is None:
            max_records = _env_max_records()
        if max_records <= 0:
            raise ValueError("max_records must be positive")
        self.max_records = max_records
        self._clock = clock
        self._today = today
        self._entries: OrderedDict[Hashable, _Entry] = OrderedDict()
        self._records = 0
        if store is _DEFAULT and _default_store_path is not None:
            store = CandleStore(_default_store_path, clock=wall_clock, write_behind=True)
            _made_stores.append(store)
        elif store is _DEFAULT:
            store = None
        if store is not None and not isinstance(store, CandleStore):
            store = CandleStore(store, clock=wall_clock)
        self.store: CandleStore | None = store
        self._wall_clock = wall_clock
        # The store's generation this memory layer agrees with; _UNSEEN until first read.
        self._generation: object = _UNSEEN
        self._next_check = float("-inf")
        # The slice try_larger_count last answered, which the caller stores next.
        self._derived: tuple[list, Origin | None] | None = None

    # -- keys -------------------------------------------------------------

    @classmethod
    def count_key(cls, symbol: str, period: str, adjust: str, count: int) -> CountKey:
        return CountKey(symbol, period, adjust, count)

    @classmethod
    def range_key(cls, symbol: str, period: str, adjust: str, start: str, end: str) -> RangeKey:
        return RangeKey(symbol, period, adjust, start, end)

    @classmethod
    def intraday_key(cls, symbol: str) -> IntradayKey:
        return IntradayKey(symbol)

    # -- access -----------------------------------------------------------

    def get(self, key: Hashable) -> list | None:
        if self.store is not None:
            self._follow_store()
        entry = self._fresh_entry(key)
        if entry is None:
            return self._get_stored(key)
        self._entries.move_to_end(key)
        # The very list that was stored: callers hand it on as their result.
        return entry.records

    def set(self, key: Hashable, records: list) -> None:
        """Keep ``records``, fetched now from a source the caller does not say
        (:meth:`note_source` names it); the tail of a larger entry keeps that one's origin."""
        if self.store is not None:
            self._follow_store()
        derived, self._derived = self._derived, None
        if derived is not None and derived[0] is records:
            origin = derived[1]
        else:
            origin = Origin(None, clock.now(dt.UTC).timestamp())
        ttl = self._ttl(key)
        self._remember(key, records, ttl, origin)
        stored = _stored_key(key) if self.store is not None else None
        if self.store is not None and stored is not None:
            self.store.put(stored, records, ttl, origin)

    def origin_of(self, records: list) -> Origin | None:
        """Where the entry holding the very list ``records`` came from, if known."""
        found = self._holding(records)
        return None if found is None else found[1].origin

    def note_source(self, records: list, source: str) -> None:
        """Name the source of the entry holding the very list ``records``, which was
        stored without one; on disk too."""
        found = self._holding(records)
        origin = None if found is None else found[1].origin
        if found is None or origin is None or origin.source is not None:
            return
        key, entry = found
        entry.origin = Origin(source, origin.fetched_at)
        stored = _stored_key(key) if self.store is not None else None
        if self.store is not None and stored is not None:
            self.store.note_source(stored, entry.origin)

    def _holding(self, records: list) -> tuple[Hashable, _Entry] | None:
        # The entry just stored or read is the most recently used: the first looked at.
        for key, entry in reversed(self._entries.items()):
            if entry.records is records:
                return key, entry
        return None

    def _follow_store(self) -> None:
        """Forget what memory holds when another console cleared the store."""
        now = self._clock()
        if now < self._next_check or self.store is None:
            return
        self._next_check = now + STORE_CHECK_INTERVAL
        seen = self._generation
        # An unreadable store answers what was seen: no reason to forget anything.
        current = self.store.generation(seen if isinstance(seen, str) else None)
        if seen is not _UNSEEN and current != seen:
            self._forget()
        self._generation = current

    def _forget(self) -> None:
        self._entries.clear()
        self._records = 0
        self._derived = None

    def _get_stored(self, key: Hashable) -> list | None:
        stored = _stored_key(key) if self.store is not None else None
        if self.store is None or stored is None:
            return None
        found = self.store.get(stored)
        if found is None:
            return None
        records, expires_at, origin = found
        ttl = None if expires_at is None else max(0.0, expires_at - self._wall_clock())
        self._remember(key, records, ttl, origin)
        return records

    def _remember(self, key: Hashable, records: list, ttl: float | None, origin: Origin | None) -> None:
        self._drop(key)
        if len(records) > self.max_records:
            # Keeping it would mean flushing everything else for one entry
            # that still could not fit; the next query simply fetches again.
            return
        now = self._clock()
        expires_at = None if ttl is None else now + ttl
        self._entries[key] = _Entry(records, expires_at, now, origin)
        self._records += len(records)
        self._evict()

    def try_larger_count(self, symbol: str, period: str, adjust: str, count: int) -> list | None:
        """The last ``count`` records of a fresh larger entry of the same symbol, period and adjustment.

        Only entries holding at least ``count`` records qualify: a shorter one
        cannot stand for a fetch of that many bars. Of several, the most
        recently stored wins, as it is the closest to the market now.
        """
        if count <= 0:
            return None
        if self.store is not None:
            self._follow_store()
        best_key: CountKey | None = None
        best: _Entry | None = None
        for key in list(self._entries):
            if not (
                isinstance(key, CountKey)
                and key.count > count
                and (key.symbol, key.period, key.adjust) == (symbol, period, adjust)
            ):
                continue
            entry = self._fresh_entry(key)
            if entry is None or len(entry.records) < count:
                continue
            if best is None or entry.stored_at >= best.stored_at:
                best_key, best = key, entry
        if best is None:
            return self._larger_stored(symbol, period, adjust, count)
        self._entries.move_to_end(best_key)
        return self._answer_tail(best.records, best.origin, count)

    def _answer_tail(self, records: list, origin: Origin | None, count: int) -> list:
        tail = records[-count:]
        self._derived = (tail, origin)
        return tail

    def _larger_stored(self, symbol: str, period: str, adjust: str, count: int) -> list | None:
        if self.store is None:
            return None
        stored = _stored_key(CountKey(symbol, period, adjust, count))
        if stored is None:
            return None
        found = self.store.larger(stored)
        return None if found is None else self._answer_tail(found[0], found[1], count)

    def clear(self) -> int:
        """Forget every entry, on disk too; how many there were (one another console
        already cleared away is not counted again)."""
        if self.store is None:
            dropped = len(self._entries)
        else:
            self._next_check = float("-inf")
            self._follow_store()
            held = [_stored_key(k) for k in self._entries]
            dropped = self.store.clear(k.text for k in held if k is not None)
            dropped += sum(k is None for k in held)  # kept in memory only
            self._generation = self.store.generation(None)
        self._forget()
        return dropped

    def __len__(self) -> int:
        return len(self._entries)

    @property
    def record_count(self) -> int:
        """Bar records currently held."""
        return self._records

    # -- inner working ----------------------------------------------------

    def _ttl(self, key: Hashable) -> float | None:
        if isinstance(key, IntradayKey):
            return INTRADAY_TTL
        if isinstance(key, RangeKey):
            # Decided when stored: a range fetched while its end day was still
            # running holds a partial day and must not become permanent at
            # midnight.
            try:
                end = dt.date.fromisoformat(key.end)
            except ValueError:
                end = None
            if end is not None and end < self._today():
                return None
            return ttl_for_period(key.period)
        if isinstance(key, CountKey):
            return ttl_for_period(key.period)
        return FALLBACK_TTL

    def _fresh_entry(self, key: Hashable) -> _Entry | None:
        entry = self._entries.get(key)
        if entry is None:
            return None
        if entry.expires_at is not None and self._clock() >= entry.expires_at:
            self._drop(key)
            return None
        return entry

    def _drop(self, key: Hashable) -> None:
        entry = self._entries.pop(key, None)
        if entry is not None:
            self._records -= len(entry.records)

    def _evict(self) -> None:
        if self._records <= self.max_records:
            return
        # Stale entries are worthless; shed them before anything still fresh.
        now = self._clock()
        for key in [k for k, e in self._entries.items() if e.expires_at is not None and now >= e.expires_at]:
            self._drop(key)
        while self._records > self.max_records and self._entries:
            _, entry = self._entries.popitem(last=False)
            self._records -= len(entry.records)
