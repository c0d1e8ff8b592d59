"""Bars fetched once: a store of historical bars under ``$CORVANE_HOME/bars`` that knows what it covers.

One Parquet file per series per UTC month, in hive-style directories, so
pandas, polars or DuckDB read the tree (or one series of it) as it is::

    bars/source=ibkr/contract=AAPL.STK.SMART.USD/bar_size=1min/what=TRADES/rth=1/
        _coverage.json                 spans stored (empty, provisional, when fetched), each month
                                       file's rows and SHA-256, the series' head timestamp
        year=2025/month=01/bars.parquet

A month is what a write rewrites: a month of minutes is ~8,000 rows, and a
year is twelve files to read. Names starting with "." or "_" are skipped by
dataset readers and match no ``*.parquet`` glob, which keeps the index, the
lock, temporaries and files set aside out of them.

Every file is written to a temporary name in its directory, fsynced and
renamed into place, so a reader (which takes no lock) sees a whole old file or
a whole new one. A write holds an ``flock`` on the series' lock file while it
reads, merges and rewrites months and the index, so two consoles writing the
same series queue instead of losing each other's bars. The index is written
last: a writer killed before it leaves the span uncovered, to be fetched again.

What is served is checked first (:mod:`corvane.history.store_files`): a month
file that fails is renamed aside with one warning and its month dropped from
the index, so the next download fetches it again; nothing is deleted. A
download writes through a :class:`BarWriter`, a month at a time.
"""

from __future__ import annotations

import time
from bisect import bisect_right
from collections.abc import Iterator, Sequence
from contextlib import contextmanager, suppress
from dataclasses import dataclass, field
from datetime import UTC, datetime, timedelta
from pathlib import Path
from urllib.parse import quote

import numpy as np
import pandas as pd

from corvane import clock
from corvane.durable_files import locked, replace, sync_directory
from corvane.history.store_files import (
    COLUMNS,
    DATA_NAME,
    INDEX_NAME,
    Damaged,
    Index,
    Month,
    Stored,
    Warn,
    digest,
    empty,
    in_the_way,
    load_index,
    month_bounds,
    month_bytes,
    month_key,
    month_path,
    move_aside,
    present_months,
    read_month,
    write_index,
)

__all__ = ["COLUMNS", "DATA_NAME", "INDEX_NAME", "BarStore", "BarWriter", "Checked", "Series", "StoreError", "Stored"]

LOCK_NAME = ".lock"
#: How long a put waits for another console's put on the same series.
LOCK_WAIT = 30.0
#: A directory name must stay well inside the file system's 255 bytes.
MAX_NAME = 200
#: A writer holds a series' bars at most this long (seconds) before writing them.
FLUSH_EVERY = 5.0

Span = tuple[datetime, datetime]


class StoreError(Exception):
    """The store cannot be used at all (its directory cannot be written, say); nothing was changed."""


@dataclass(frozen=True)
class Series:
    """One stored series of bars."""

    contract: str  # a stable key of the contract, e.g. "AAPL.STK.SMART.USD"
    bar_size: str  # IB's text: "1 min", "1 day", ...
    what_to_show: str  # "TRADES" or "ADJUSTED_LAST"
    use_rth: bool
    source: str = "ibkr"  # "ibkr" or "yahoo": kept apart


@dataclass
class Checked:
    """What a whole store's check found."""

    series: int = 0
    months: int = 0
    damaged: list[str] = field(default_factory=list)  # one line per file set aside or missing


@dataclass(frozen=True)
class _Put:
    """One answer on its way into the store, already conformed."""

    start: datetime
    end: datetime
    bars: pd.DataFrame
    fetched_at: datetime
    provisional: bool

    @property
    def months(self) -> set[str]:
        return {month_key(y, m) for y, m in _months_between(self.start, self.end)}


class _Puts:
    """The put a store and its writer share: the answer is checked and conformed at once (bad
    input is refused here, never at a later flush), then handed to ``_take``."""

    def put(
        self,
        series: Series,
        span: Span,
        bars: pd.DataFrame,
        *,
        provisional: bool = False,
        fetched_at: datetime | None = None,
    ) -> None:
        """Store ``bars`` as all there is inside ``span``: what was stored there goes, the rest stays."""
        self._take(series, _put(span, bars, provisional, fetched_at))

    def _take(self, series: Series, put: _Put) -> None:
        raise NotImplementedError


def _log_warning(text: str) -> None:
    from loguru import logger

    logger.warning("{}", text)


class BarStore(_Puts):
    def __init__(self, root: Path, *, recent: timedelta = timedelta(days=3), warn: Warn | None = None) -> None:
        self.root = Path(root)
        self.recent = recent
        self.warn = warn or _log_warning
        # Month files seen whole, by path: (inode, size, mtime) and their hash, so a file is hashed once.
        self._seen: dict[Path, tuple[tuple[int, int, int], str, int]] = {}

    # -- reading ----------------------------------------------------------

    def stored(self, series: Series) -> list[Stored]:
        """The index of ``series``, by start, after its month files were checked."""
        return self._index(self._dir(series)).spans

    def head(self, series: Series) -> datetime | None:
        """The series' first data point, when it was noted."""
        return self._index(self._dir(series)).head

    def coverage(self, series: Series) -> list[Span]:
        """The stored spans merged, whether empty, provisional or expired."""
        return _merge([(s.start, s.end) for s in self.stored(series)])

    def missing(self, series: Series, spans: Sequence[Span], now: datetime) -> list[Span]:
        """The spans, each as given, not wholly covered by stored spans still good at ``now``.

        A provisional span (its session was open when fetched) is never good;
        an empty one is, unless it ends within ``recent`` of ``now``, when bars
        may still arrive for it. A month file that fails its check is set aside
        first, so its month counts as missing.
        """
        now = _instant(now)
        good = _merge(
            [
                (s.start, s.end)
                for s in self.stored(series)
                if not s.provisional and not (s.empty and s.end > now - self.recent)
            ]
        )
        return [span for span in spans if not _within(_check_span(span), good)]

    def read(self, series: Series, start: datetime, end: datetime) -> pd.DataFrame:
        """Every stored bar with start <= date < end, sorted, on a UTC index named "date"."""
        start, end = _check_span((start, end))
        directory = self._dir(series)
        first, last = month_key(start.year, start.month), month_key(end.year, end.month)
        frames: list[pd.DataFrame] = []
        for attempt in (1, 2):
            index, frames = self._index(directory), []
            try:
                with self._on_disk():
                    for key in sorted(k for k in present_months(directory) if first <= k <= last):
                        frame, _ = read_month(directory, key, index.months.get(key))
                        if frame is not None and len(frame):
                            frames.append(frame)
                break
            except Damaged:
                # Changed since it was checked: checked again (and set aside) under the lock.
                self._seen.clear()
                if attempt == 2:
                    raise StoreError(f"the bar store under {directory} keeps changing while read") from None
        if not frames:
            return empty()
        bars = pd.concat(frames) if len(frames) > 1 else frames[0]
        return bars[(bars.index >= start) & (bars.index < end)]

    def verify(self) -> Checked:
        """Check every series stored, every month file read whole; what was damaged is set aside."""
        checked = Checked()
        told, self.warn = self.warn, checked.damaged.append
        try:
            with self._on_disk():
                for directory in sorted(self.root.glob("source=*/contract=*/bar_size=*/what=*/rth=*")):
                    if directory.is_dir():
                        self._seen.clear()
                        index = self._index(directory)
                        checked.series += 1
                        checked.months += len(index.months)
        finally:
            self.warn = told
        return checked

    # -- writing ----------------------------------------------------------

    def _take(self, series: Series, put: _Put) -> None:
        self._write(series, [put])

    def writer(self, every: float = FLUSH_EVERY) -> BarWriter:
        """Puts gathered and written a month (or ``every`` seconds) at a time: see :class:`BarWriter`."""
        return BarWriter(self, every)

    def note_head(self, series: Series, head: datetime) -> None:
        """Keep the series' first data point, so it is asked for once."""
        directory = self._dir(series)
        with self._on_disk():
            _make_dirs(directory)
            with locked(directory / LOCK_NAME, LOCK_WAIT):
                index = self._index(directory, held=True)
                index.head = _instant(head)
                write_index(directory / INDEX_NAME, index)

    def _write(self, series: Series, puts: list[_Put]) -> None:
        directory = self._dir(series)
        with self._on_disk():
            self._write_locked(directory, puts)

    def _write_locked(self, directory: Path, puts: list[_Put]) -> None:
        _make_dirs(directory)
        with locked(directory / LOCK_NAME, LOCK_WAIT):
            _remove_temporaries(directory)
            index = self._index(directory, held=True)
            written: dict[str, tuple[bytes, int]] = {}
            for key in sorted(set().union(*(p.months for p in puts))):
                old = self._old_month(directory, key, index)
                first, after = month_bounds(key)
                parts = [(p.start, p.end, _within_month(p.bars, first, after)) for p in puts if key in p.months]
                merged = _merge_month(old, parts)
                written[key] = (month_bytes(merged) if len(merged) else b"", len(merged))
            # Where a recorded file is replaced, the new hashes go first, as pending: a writer killed
            # among the renames leaves files the index accepts. A month new to the index needs no
            # such step: a file it does not record is served once it reads as the store writes.
            replaced = [key for key in written if key in index.months]
            for key in replaced:
                was, data = index.months[key], written[key][0]
                index.months[key] = Month(was.rows, was.sha256, digest(data) if data else "")
            if replaced:
                write_index(directory / INDEX_NAME, index)
            for key, (data, rows) in written.items():
                _write_month(month_path(directory, key), data)
                if data:
                    index.months[key] = Month(rows, digest(data))
                else:
                    index.months.pop(key, None)
            new = [Stored(p.start, p.end, p.fetched_at, empty=p.bars.empty, provisional=p.provisional) for p in puts]
            index.spans = _replace_spans(index.spans, new)
            write_index(directory / INDEX_NAME, index)

    def _old_month(self, directory: Path, key: str, index: Index) -> pd.DataFrame:
        path = month_path(directory, key)
        try:
            obstacle = in_the_way(directory, path)
            if obstacle != path:
                raise Damaged("stands where a directory belongs", obstacle)
            frame, _ = read_month(directory, key, index.months.get(key))
        except Damaged as damage:
            self._set_aside(directory, key, damage, index)
            return empty()
        return frame if frame is not None else empty()

    # -- checking ---------------------------------------------------------

    @contextmanager
    def _on_disk(self) -> Iterator[None]:
        # A disk that cannot be read or written (permissions, full, a lock held too long) is the
        # store's trouble to name, not a crash.
        try:
            yield
        except OSError as exc:
            raise StoreError(f"the bar store under {self.root} cannot be used: {exc}") from None

    def _index(self, directory: Path, *, held: bool = False) -> Index:
        """The series' index with every month file checked; what fails is set aside under the lock."""
        with self._on_disk():
            return self._checked_index(directory, held)

    def _checked_index(self, directory: Path, held: bool) -> Index:
        try:
            index = load_index(directory / INDEX_NAME)
            if not self._survey(directory, index):
                return index
        except Damaged:
            pass
        if held:
            return self._repair(directory)
        with locked(directory / LOCK_NAME, LOCK_WAIT):
            return self._repair(directory)

    def _survey(self, directory: Path, index: Index) -> list[tuple[str, Damaged]]:
        """The months that fail their check; files the index does not record are recorded (in memory) if good."""
        failed = []
        present = present_months(directory)
        for key in sorted(set(index.months) | set(present)):
            try:
                rows, sha = self._checked(directory, key, index.months.get(key))
            except Damaged as damage:
                failed.append((key, damage))
                continue
            if key not in index.months and sha:
                index.months[key] = Month(rows, sha)
        return failed

    def _checked(self, directory: Path, key: str, record: Month | None) -> tuple[int, str]:
        path = month_path(directory, key)
        try:
            st = path.stat()
            stamp = (st.st_ino, st.st_size, st.st_mtime_ns)
        except OSError:
            stamp = None
        seen = self._seen.get(path)
        if stamp is not None and seen is not None and seen[0] == stamp and (record is None or record.accepts(seen[1])):
            return seen[2], seen[1]
        frame, sha = read_month(directory, key, record, parse=record is None)
        rows = len(frame) if frame is not None else record.rows if record is not None else 0
        if stamp is not None and sha:
            self._seen[path] = (stamp, sha, rows)
        return rows, sha

    def _repair(self, directory: Path) -> Index:
        """With the lock held: the damaged index or month files set aside, their spans dropped."""
        path = directory / INDEX_NAME
        try:
            index = load_index(path)
        except Damaged as bad:
            index = Index()
            aside = move_aside(in_the_way(directory, path))
            self.warn(f"The bar store's index {path} {bad}; moved it to {aside.name}: the series is fetched again")
        failed = self._survey(directory, index)
        for key, damage in failed:
            self._set_aside(directory, key, damage, index)
        if failed:
            write_index(path, index)
        return index

    def _set_aside(self, directory: Path, key: str, damage: Damaged, index: Index) -> None:
        path = month_path(directory, key)
        if damage.path is None:
            self.warn(f"The bar store's {path} {damage}; its month {key} is fetched again")
        else:
            aside = move_aside(damage.path)
            self.warn(
                f"The bar store's {damage.path} {damage}; moved it to {aside.name}: its month {key} is fetched again"
            )
        self._seen.pop(path, None)
        index.months.pop(key, None)
        index.spans = _cut(index.spans, [month_bounds(key)])

    # -- layout -----------------------------------------------------------

    def _dir(self, series: Series) -> Path:
        parts = [
            ("source", series.source),
            ("contract", series.contract),
            ("bar_size", series.bar_size.replace(" ", "")),
            ("what", series.what_to_show),
        ]
        names = [f"{key}={_safe(key, value)}" for key, value in parts]
        return self.root.joinpath(*names, f"rth={int(series.use_rth)}")


class BarWriter(_Puts):
    """Puts gathered per series and written together: every put rewriting a whole month file and
    the index durably cost ~50 ms a request. A series' puts are written when one reaches a month
    the gathered ones do not touch (theirs are then complete), ``every`` seconds after the first
    was gathered, on :meth:`flush` and on :meth:`close`. Coverage is recorded only as written,
    so a killed process loses at most what was gathered, and that is fetched again."""

    def __init__(self, store: BarStore, every: float = FLUSH_EVERY) -> None:
        self.store, self.every = store, every
        self._puts: dict[Series, list[_Put]] = {}
        self._since: dict[Series, float] = {}

    def _take(self, series: Series, new: _Put) -> None:
        waiting = self._puts.get(series)
        if waiting and not new.months <= set().union(*(p.months for p in waiting)):
            self.flush(series)
        self._puts.setdefault(series, []).append(new)
        since = self._since.setdefault(series, time.monotonic())
        if time.monotonic() - since >= self.every:
            self.flush(series)

    def flush(self, series: Series | None = None) -> None:
        """Write what was gathered for ``series`` (every series when None)."""
        for s in [series] if series is not None else list(self._puts):
            puts = self._puts.pop(s, [])
            self._since.pop(s, None)
            if puts:
                self.store._write(s, puts)

    def close(self) -> None:
        self.flush()

    def __enter__(self) -> BarWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _safe(key: str, value: str) -> str:
    # Percent-encoding keeps "/" and the like out of the path and is what hive readers decode.
    name = quote(value, safe="")
    if not value or len(name) > MAX_NAME:
        raise ValueError(f"{key} {value!r} cannot name a directory (empty or too long)")
    return name


# -- spans ------------------------------------------------------------------


def _instant(t: datetime) -> datetime:
    if not isinstance(t, datetime) or t.utcoffset() is None:
        raise ValueError(f"a zone-aware datetime is needed, not {t!r}")
    return t.astimezone(UTC)


def _check_span(span: Span) -> Span:
    start, end = _instant(span[0]), _instant(span[1])
    if not start < end:
        raise ValueError(f"a span must start before it ends: {start} .. {end}")
    return start, end


def _merge(spans: list[Span]) -> list[Span]:
    merged: list[Span] = []
    for start, end in sorted(spans):
        if merged and start <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(merged[-1][1], end))
        else:
            merged.append((start, end))
    return merged


def _within(span: Span, merged: list[Span]) -> bool:
    return any(s <= span[0] and span[1] <= e for s, e in merged)


def _replace_spans(entries: list[Stored], new: list[Stored]) -> list[Stored]:
    """The index with ``new`` (in order, a later one winning) in place of whatever they overlap."""
    placed: list[Stored] = []
    for e in new:
        placed = [*_cut(placed, [(e.start, e.end)]), e]
    out = [*placed, *_cut(entries, _merge([(e.start, e.end) for e in placed]))]
    out.sort(key=lambda e: e.start)
    # Touching spans of whole bars join, so a year fetched a day at a time stays one entry.
    joined: list[Stored] = []
    for e in out:
        last = joined[-1] if joined else None
        if last and _plain(last) and _plain(e) and e.start <= last.end:
            joined[-1] = Stored(last.start, max(last.end, e.end), max(last.fetched_at, e.fetched_at))
        else:
            joined.append(e)
    return joined


def _plain(e: Stored) -> bool:
    return not e.empty and not e.provisional


def _months_between(start: datetime, end: datetime) -> Iterator[tuple[int, int]]:
    last = end - timedelta(microseconds=1)
    for n in range(start.year * 12 + start.month - 1, last.year * 12 + last.month):
        yield n // 12, n % 12 + 1


# -- frames -----------------------------------------------------------------


def _put(span: Span, bars: pd.DataFrame, provisional: bool, fetched_at: datetime | None) -> _Put:
    start, end = _check_span(span)
    fetched = _instant(fetched_at or clock.now(UTC))
    return _Put(start, end, _conform(bars, start, end), fetched, provisional)


def _conform(bars: pd.DataFrame, start: datetime, end: datetime) -> pd.DataFrame:
    if len(bars) == 0:  # the gateway's empty answer, however the caller framed it
        return empty()
    if not isinstance(bars.index, pd.DatetimeIndex) or bars.index.tz is None:
        raise ValueError("bars need a zone-aware DatetimeIndex")
    absent = [c for c in COLUMNS if c not in bars.columns]
    if absent:
        raise ValueError(f"bars lack the columns {', '.join(absent)}")
    out = bars.loc[:, list(COLUMNS)]
    out.index = bars.index.tz_convert(UTC).as_unit("ns").rename("date")
    # On the index's integers: comparing aware timestamps costs more than the rest of a put.
    times = out.index.asi8
    outside = (times < _ns(start)) | (times >= _ns(end))
    if outside.any():
        raise ValueError(f"{int(outside.sum())} bars lie outside the span {start} .. {end}")
    if out.index.is_monotonic_increasing and out.index.is_unique:
        return out  # the gateway's answer, as it nearly always comes
    # One row per bar start: a repeated one keeps the last, as the gateway's later answer.
    return out[~out.index.duplicated(keep="last")].sort_index()


def _within_month(bars: pd.DataFrame, first: datetime, after: datetime) -> pd.DataFrame:
    if not len(bars) or (bars.index[0] >= first and bars.index[-1] < after):
        return bars
    return bars[(bars.index >= first) & (bars.index < after)]


def _merge_month(old: pd.DataFrame, parts: list[tuple[datetime, datetime, pd.DataFrame]]) -> pd.DataFrame:
    """The month's bars after the puts, in order: each put's span holds its own bars only."""
    frames = [(-1, old), *((i, bars) for i, (_, _, bars) in enumerate(parts))]
    frames = [(i, f) for i, f in frames if len(f)]
    if not frames:
        return empty()
    rows = pd.concat([f for _, f in frames]) if len(frames) > 1 else frames[0][1]
    source = np.concatenate([np.full(len(f), i) for i, f in frames])
    latest = np.full(len(rows), -1)
    times = rows.index.asi8  # nanoseconds, compared as plain integers: a month sees many puts
    for i, (start, end, _) in enumerate(parts):
        latest[(times >= _ns(start)) & (times < _ns(end))] = i
    # A row stays when no later put's span claims its time.
    kept = rows[source == latest]
    if kept.index.is_monotonic_increasing and kept.index.is_unique:
        return kept
    return kept[~kept.index.duplicated(keep="last")].sort_index()


def _ns(t: datetime) -> int:
    return int(pd.Timestamp(t).value)


def _cut(entries: list[Stored], cuts: list[Span]) -> list[Stored]:
    """The index without the spans ``cuts`` (sorted, apart): whatever overlapped one is cut around it."""
    starts = [a for a, _ in cuts]
    out = []
    for e in entries:
        # One look-up per entry, so a year of daily spans cut by a month of others stays cheap.
        j, left, pieces = max(bisect_right(starts, e.start) - 1, 0), e.start, []
        while j < len(cuts) and cuts[j][0] < e.end:
            a, b = cuts[j]
            if b > left:
                if a > left:
                    pieces.append((left, a))
                left = max(left, b)
            j += 1
        if left == e.start and not pieces:
            out.append(e)
            continue
        if left < e.end:
            pieces.append((left, e.end))
        out.extend(Stored(a, b, e.fetched_at, e.empty, e.provisional) for a, b in pieces)
    return sorted(out, key=lambda e: e.start)


def _write_month(path: Path, data: bytes) -> None:
    """``data`` as the month file, or the file gone when there is none."""
    if not data:
        if path.exists():
            path.unlink()
            sync_directory(path.parent)
        return
    _make_dirs(path.parent)
    _remove_temporaries(path.parent)
    replace(path, lambda tmp: Path(tmp).write_bytes(data))


# -- files ------------------------------------------------------------------


def _remove_temporaries(directory: Path) -> None:
    # Puts write temporaries only under the series lock, which the caller holds: any left is a killed put's.
    for stale in directory.glob(".tmp-*"):
        with suppress(OSError):
            stale.unlink()


def _make_dirs(directory: Path) -> None:
    # Each new directory's entry is synced in its parent, so a span the index
    # calls covered cannot lose its month directory in a crash.
    missing = [d for d in (directory, *directory.parents) if not d.exists()]
    for d in reversed(missing):
        with suppress(FileExistsError):
            d.mkdir()
        sync_directory(d.parent)
