"""The candle cache's copy on disk: one SQLite file shared by every console of a user.

SQLite (standard library, no new dependency) gives what several consoles at
once need: transactions, so a console killed mid-write leaves the previous
state behind, and file locking, so two writers queue instead of interleaving.
The write-ahead log lets readers go on while one console writes. Expiry is
in wall-clock seconds, since entries outlive the process that wrote them.

The store never takes the console down: a locked or full disk makes an
operation a miss, and a damaged file is moved aside with a warning and a
fresh one started.
"""

from __future__ import annotations

import json
import os
import sqlite3
import time
import uuid
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path

from loguru import logger

from corvane.candles import codec as candle_codec
from corvane.candles.writer import StoreWriter

#: Default bound on the bytes of candle data kept on disk.
DEFAULT_MAX_BYTES = 256_000_000
MAX_BYTES_ENV = "CORVANE_SORVEL_CACHE_MAX_BYTES"
#: How long a console waits for another one's write before treating the store as busy.
LOCK_WAIT = 5.0

_SCHEMA = """
CREATE TABLE IF NOT EXISTS candles (
    key TEXT PRIMARY KEY,
    kind TEXT NOT NULL,
    symbol TEXT, period TEXT, adjust TEXT, count INTEGER,
    rows INTEGER NOT NULL,
    stored_at REAL NOT NULL,
    used_at REAL NOT NULL,
    expires_at REAL,
    size INTEGER NOT NULL,
    data BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS candles_series ON candles (kind, symbol, period, adjust);
CREATE INDEX IF NOT EXISTS candles_used ON candles (used_at);
CREATE TABLE IF NOT EXISTS origins (
    key TEXT PRIMARY KEY,
    stored_at REAL NOT NULL,
    source TEXT,
    fetched_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS state (
    name TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
"""
# Where an entry came from lives beside ``candles``, not in it: a console of
# an earlier version keeps writing its twelve columns, and an origin row only
# counts while its ``stored_at`` matches the entry's, so a rewrite by such a
# console is told as of unknown origin rather than as the older fetch.
# ``state`` holds the generation, a new token at each clear, which the
# memory layer of every console compares to notice another console's clear.
GENERATION = "generation"


def env_max_bytes() -> int:
    text = os.environ.get(MAX_BYTES_ENV, "").strip()
    try:
        value = int(text) if text else DEFAULT_MAX_BYTES
    except ValueError:
        return DEFAULT_MAX_BYTES
    return value if value > 0 else DEFAULT_MAX_BYTES


@dataclass(frozen=True)
class StoredKey:
    """What the store records of a cache key: its text and the columns it is searched by."""

    text: str
    kind: str
    symbol: str | None = None
    period: str | None = None
    adjust: str | None = None
    count: int | None = None


@dataclass(frozen=True)
class Origin:
    """Where an entry's bars came from: ``source`` ("ibkr", "yfinance"; None when
    not known) and when they were fetched, in seconds since the epoch."""

    source: str | None
    fetched_at: float


@dataclass(frozen=True)
class StoreInfo:
    path: Path
    entries: int
    fresh: int
    rows: int
    bytes: int
    max_bytes: int


class CandleStore:
    """Bar record lists on disk, keyed by text, bounded in bytes (least recently used first)."""

    def __init__(
        self,
        path: Path,
        *,
        max_bytes: int | None = None,
        clock: Callable[[], float] = time.time,
        write_behind: bool = False,
    ) -> None:
        self.path = Path(path)
        self.max_bytes = env_max_bytes() if max_bytes is None else max_bytes
        self._clock = clock
        self._db: sqlite3.Connection | None = None
        self._inode: int | None = None
        self._told_busy = False
        self._writer: StoreWriter | None = None
        if write_behind:
            # Its own store object: one SQLite connection per thread.
            self._behind = CandleStore(path, max_bytes=self.max_bytes, clock=clock)
            self._writer = StoreWriter(_call)

    # -- connection -------------------------------------------------------

    def _open(self) -> sqlite3.Connection:
        if self._db is not None:
            return self._db
        self.path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        db = sqlite3.connect(self.path, timeout=LOCK_WAIT, isolation_level=None, check_same_thread=False)
        self._inode = _inode(self.path)  # the file this connection reads, for _move_aside
        try:
            db.execute("PRAGMA journal_mode=WAL")
            db.execute("PRAGMA synchronous=NORMAL")
            db.executescript(_SCHEMA)
        except BaseException:
            db.close()
            raise
        self._db = db
        return db

    def flush(self) -> None:
        """Finish the writes handed to the writing thread."""
        if self._writer is not None:
            self._writer.flush()

    def close(self) -> None:
        self.flush()
        self._close_connection()
        if self._writer is not None:
            self._behind._close_connection()

    def _close_connection(self) -> None:
        if self._db is not None:
            try:
                self._db.close()
            except sqlite3.Error:
                pass
            self._db = None

    def _move_aside(self, exc: Exception) -> None:
        self._close_connection()
        if _inode(self.path) != self._inode:
            return  # another store object of this console already replaced it: just reopen
        aside = self.path.with_name(f"{self.path.name}.damaged-{time.strftime('%Y%m%d-%H%M%S')}")
        for suffix in ("", "-wal", "-shm"):
            src = Path(str(self.path) + suffix)
            try:
                if src.exists():
                    src.replace(Path(str(aside) + suffix))
            except OSError:
                pass
        logger.warning(
            "The candle cache at {} was damaged ({}); moved it to {} and started a fresh one", self.path, exc, aside
        )

    def _run(self, work: Callable[[sqlite3.Connection], object], default=None):
        """``work(db)`` with the store's failures turned into ``default``."""
        for attempt in (1, 2):
            try:
                return work(self._open())
            except sqlite3.OperationalError as exc:
                # Busy, read-only or full: this one operation goes without the disk.
                if not self._told_busy:
                    self._told_busy = True
                    logger.warning("The candle cache at {} is unavailable ({}); going on without it", self.path, exc)
                self._rollback()
                return default
            except sqlite3.DatabaseError as exc:
                if attempt == 2:
                    return default
                self._move_aside(exc)
            except (OSError, sqlite3.Error, OverflowError) as exc:
                logger.debug("Candle cache at {} not usable: {}", self.path, exc)
                self._rollback()
                return default
        return default

    def _rollback(self) -> None:
        if self._db is not None and self._db.in_transaction:
            try:
                self._db.execute("ROLLBACK")
            except sqlite3.Error:
                pass

    # -- entries ----------------------------------------------------------

    def get(self, key: StoredKey) -> tuple[list, float | None, Origin | None] | None:
        """(records, expiry in wall-clock seconds or None, origin if known) of a fresh
        entry, else None."""
        now = self._clock()

        def work(db: sqlite3.Connection):
            row = db.execute(_SELECT_WITH_ORIGIN + " WHERE c.key = ?", (key.text,)).fetchone()
            if row is None:
                return None
            if row[1] is not None and row[1] <= now:
                db.execute("DELETE FROM candles WHERE key = ?", (key.text,))
                return None
            db.execute("UPDATE candles SET used_at = ? WHERE key = ?", (now, key.text))
            return row

        row = self._run(work)
        if row is None:
            return None
        records = self._decode(key.text, row[0])
        return None if records is None else (records, row[1], _origin(row[2], row[3]))

    def larger(self, key: StoredKey) -> tuple[list, Origin | None] | None:
        """(records, origin if known) of the most recently stored fresh count entry of
        the same series holding more than ``key.count`` bars and at least that many records."""
        now = self._clock()

        def work(db: sqlite3.Connection):
            return db.execute(
                "SELECT c.key, c.data, o.source, o.fetched_at FROM candles c"
                " LEFT JOIN origins o ON o.key = c.key AND o.stored_at = c.stored_at"
                " WHERE c.kind = 'count' AND c.symbol = ? AND c.period = ?"
                " AND c.adjust = ? AND c.count > ? AND c.rows >= ?"
                " AND (c.expires_at IS NULL OR c.expires_at > ?) ORDER BY c.stored_at DESC LIMIT 1",
                (key.symbol, key.period, key.adjust, key.count, key.count, now),
            ).fetchone()

        row = self._run(work)
        if row is None:
            return None
        db_key, data, source, fetched_at = row
        self._run(lambda db: db.execute("UPDATE candles SET used_at = ? WHERE key = ?", (now, db_key)))
        records = self._decode(db_key, data)
        return None if records is None else (records, _origin(source, fetched_at))

    def put(self, key: StoredKey, records: list, ttl: float | None, origin: Origin | None = None) -> None:
        now = self._clock()
        if self._writer is not None:
            self._writer.submit(self._behind._write, key, records, ttl, now, origin)
        else:
            self._write(key, records, ttl, now, origin)

    def note_source(self, key: StoredKey, origin: Origin) -> None:
        """Name the source of the entry written with ``origin.fetched_at`` (learnt after
        it was handed over); a later write of the same key is left alone."""
        if self._writer is not None:
            self._writer.submit(self._behind._note, key, origin)  # after the write it names
        else:
            self._note(key, origin)

    def _note(self, key: StoredKey, origin: Origin) -> None:
        self._run(
            lambda db: db.execute(
                "UPDATE origins SET source = ? WHERE key = ? AND fetched_at = ?",
                (origin.source, key.text, origin.fetched_at),
            )
        )

    def _write(
        self, key: StoredKey, records: list, ttl: float | None, now: float, origin: Origin | None = None
    ) -> None:
        try:
            data = candle_codec.encode(records)
        except candle_codec.Unstorable as exc:
            logger.debug("Not keeping {} on disk: {}", key.text, exc)
            return
        if len(data) > self.max_bytes:
            return
        expires_at = None if ttl is None else now + ttl

        def work(db: sqlite3.Connection):
            db.execute("BEGIN IMMEDIATE")
            db.execute(
                "INSERT OR REPLACE INTO candles VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
                (
                    key.text,
                    key.kind,
                    key.symbol,
                    key.period,
                    key.adjust,
                    key.count,
                    len(records),
                    now,
                    now,
                    expires_at,
                    len(data),
                    data,
                ),
            )
            if origin is None:
                db.execute("DELETE FROM origins WHERE key = ?", (key.text,))
            else:
                db.execute(
                    "INSERT OR REPLACE INTO origins VALUES (?,?,?,?)", (key.text, now, origin.source, origin.fetched_at)
                )
            self._evict(db, now)
            db.execute("COMMIT")

        self._run(work)

    def _evict(self, db: sqlite3.Connection, now: float) -> None:
        db.execute("DELETE FROM candles WHERE expires_at IS NOT NULL AND expires_at <= ?", (now,))
        total = db.execute("SELECT COALESCE(SUM(size), 0) FROM candles").fetchone()[0]
        if total > self.max_bytes:
            for key, size in db.execute("SELECT key, size FROM candles ORDER BY used_at").fetchall():
                if total <= self.max_bytes:
                    break
                db.execute("DELETE FROM candles WHERE key = ?", (key,))
                total -= size
        # Origins of entries gone (also those an earlier version's console dropped).
        db.execute("DELETE FROM origins WHERE key NOT IN (SELECT key FROM candles)")

    def _decode(self, text: str, data: bytes) -> list | None:
        try:
            return candle_codec.decode(data)
        except Exception as exc:  # one unreadable entry is a miss, and is dropped
            logger.debug("Dropping unreadable candle cache entry {}: {}", text, exc)
            self._run(lambda db: db.execute("DELETE FROM candles WHERE key = ?", (text,)))
            return None

    def clear(self, also: Iterable[str] = ()) -> int:
        """Drop every entry; how many distinct keys there were on disk and in ``also``
        (what a memory layer held that the disk did not)."""
        self.flush()
        also = set(also)
        token = uuid.uuid4().hex

        def work(db: sqlite3.Connection):
            db.execute("BEGIN IMMEDIATE")
            keys = {k for (k,) in db.execute("SELECT key FROM candles")}
            db.execute("DELETE FROM candles")
            db.execute("DELETE FROM origins")
            db.execute("INSERT OR REPLACE INTO state VALUES (?, ?)", (GENERATION, token))
            db.execute("COMMIT")
            db.execute("VACUUM")
            return len(keys | also)

        return self._run(work, len(also))

    def generation(self, default: str | None) -> str | None:
        """The token the last clear left (None: never cleared); ``default`` when the
        store cannot be read."""

        def work(db: sqlite3.Connection):
            row = db.execute("SELECT value FROM state WHERE name = ?", (GENERATION,)).fetchone()
            return None if row is None else row[0]

        return self._run(work, default)

    def info(self) -> StoreInfo:
        now = self._clock()

        def work(db: sqlite3.Connection):
            return db.execute(
                "SELECT COUNT(*), COALESCE(SUM(expires_at IS NULL OR expires_at > ?), 0),"
                " COALESCE(SUM(rows), 0), COALESCE(SUM(size), 0) FROM candles",
                (now,),
            ).fetchone()

        entries, fresh, rows, size = self._run(work, (0, 0, 0, 0))
        return StoreInfo(self.path, entries, fresh, rows, size, self.max_bytes)


_SELECT_WITH_ORIGIN = (
    "SELECT c.data, c.expires_at, o.source, o.fetched_at FROM candles c"
    " LEFT JOIN origins o ON o.key = c.key AND o.stored_at = c.stored_at"
)


def _origin(source: object, fetched_at: object) -> Origin | None:
    if not isinstance(fetched_at, (int, float)):
        return None  # written before origins were kept, or by an earlier version
    return Origin(source if isinstance(source, str) else None, float(fetched_at))


def _call(work: Callable[..., object], *args: object) -> None:
    work(*args)


def _inode(path: Path) -> int | None:
    try:
        return path.stat().st_ino
    except OSError:
        return None


def key_text(*parts: object) -> str:
    return json.dumps(parts, separators=(",", ":"))
