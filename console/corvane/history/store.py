"""Bars fetched once: a store of historical bars under ``$CORVANE_HOME/bars`` that knows what it covers.

One Parquet file per series per UTC month, in hive-style directories, so
pandas, polars or DuckDB read the tree (or one series of it) as it is::

    bars/source=ibkr/contract=AAPL.STK.SMART.USD/bar_size=1min/what=TRADES/rth=1/
        _coverage.json                 which spans are stored, empty or provisional, and when fetched
        year=2025/month=01/bars.parquet

A month is what a put rewrites: small enough to rewrite per request (a month
of minutes is ~8,000 rows), few enough that a year is twelve files to read.
Names starting with "." or "_" are skipped by dataset readers and match no
``*.parquet`` glob, which keeps the index, the lock and temporaries out of them.

Every file is written to a temporary name in its directory, fsynced and
renamed into place, so a reader (which takes no lock) sees a whole old file or
a whole new one. A put holds an ``flock`` on the series' lock file while it
reads, merges and rewrites months and the index, so two consoles writing the
same series queue instead of losing each other's bars. The index is written
last: a writer killed before it leaves the span uncovered, to be fetched again.
"""

from __future__ import annotations

import json
from collections.abc import Iterator, Sequence
from contextlib import suppress
from dataclasses import asdict, dataclass
from datetime import UTC, datetime, timedelta
from pathlib import Path
from urllib.parse import quote

import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from corvane import clock
from corvane.durable_files import locked, replace, sync_directory

COLUMNS = ("open", "high", "low", "close", "volume", "average", "barCount")
INDEX_NAME = "_coverage.json"
LOCK_NAME = ".lock"
DATA_NAME = "bars.parquet"
#: How long a put waits for another console's put on the same series.
LOCK_WAIT = 30.0
#: A directory name must stay well inside the file system's 255 bytes.
MAX_NAME = 200

Span = tuple[datetime, datetime]


class StoreError(Exception):
    """A stored file cannot be read as the store wrote it; nothing was changed."""


@dataclass(frozen=True)
class Series:
    """One stored series of bars."""

    contract: str  # a stable key of the contract, e.g. "AAPL.STK.SMART.USD"
    bar_size: str  # IB's text: "1 min", "1 day", ...
    what_to_show: str  # "TRADES" or "ADJUSTED_LAST"
    use_rth: bool
    source: str = "ibkr"  # "ibkr" or "yahoo": kept apart


@dataclass(frozen=True)
class Stored:
    """One span as the index holds it."""

    start: datetime
    end: datetime
    fetched_at: datetime
    empty: bool = False
    provisional: bool = False


class BarStore:
    def __init__(self, root: Path, *, recent: timedelta = timedelta(days=3)) -> None:
        self.root = Path(root)
        self.recent = recent

    # -- reading ----------------------------------------------------------

    def stored(self, series: Series) -> list[Stored]:
        """The index of ``series``, by start."""
        path = self._dir(series) / INDEX_NAME
        try:
            raw = path.read_bytes()
        except FileNotFoundError:
            return []
        except OSError as exc:
            raise StoreError(f"cannot read {path}: {exc}") from None
        try:
            return [
                Stored(**{**e, **{k: _instant(datetime.fromisoformat(e[k])) for k in ("start", "end", "fetched_at")}})
                for e in json.loads(raw)["spans"]
            ]
        except (ValueError, KeyError, TypeError) as exc:
            raise StoreError(f"{path} is unreadable ({exc})") from None

    def coverage(self, series: Series) -> list[Span]:
        """The stored spans merged, whether empty, provisional or expired."""
        return _merge([(s.start, s.end) for s in self.stored(series)])

    def missing(self, series: Series, spans: Sequence[Span], now: datetime) -> list[Span]:
        """The spans, each as given, not wholly covered by stored spans still good at ``now``.

        A provisional span (its session was open when fetched) is never good;
        an empty one is, unless it ends within ``recent`` of ``now``, when bars
        may still arrive for it.
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
        frames = [_read_month(path) for path in self._months(series, start, end)]
        frames = [f for f in frames if len(f)]
        if not frames:
            return _empty()
        bars = pd.concat(frames) if len(frames) > 1 else frames[0]
        return bars[(bars.index >= start) & (bars.index < end)]

    # -- writing ----------------------------------------------------------

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
        start, end = _check_span(span)
        bars = _conform(bars, start, end)
        fetched = _instant(fetched_at or clock.now(UTC))
        directory = self._dir(series)
        _make_dirs(directory)
        with locked(directory / LOCK_NAME, LOCK_WAIT):
            _remove_temporaries(directory)
            entries = self.stored(series)  # unreadable: raises before anything changes
            month_key = bars.index.year * 12 + bars.index.month - 1
            for year, month in _months_between(start, end):
                part = bars[month_key == year * 12 + month - 1]
                _rewrite_month(directory / f"year={year}" / f"month={month:02d}", start, end, part)
            new = Stored(start, end, fetched, empty=bars.empty, provisional=provisional)
            _write_index(directory / INDEX_NAME, _replace_span(entries, new))

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

    def _months(self, series: Series, start: datetime, end: datetime) -> Iterator[Path]:
        # From the directories there, so a read of a wide range does not try every month of it.
        first, last = start.year * 12 + start.month - 1, end.year * 12 + end.month - 1
        for path in sorted(self._dir(series).glob(f"year=[0-9]*/month=[0-9]*/{DATA_NAME}")):
            year, month = int(path.parts[-3][5:]), int(path.parts[-2][6:])
            if first <= year * 12 + month - 1 <= last:
                yield path


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


def _replace_span(entries: list[Stored], new: Stored) -> list[Stored]:
    """The index with ``new`` in place of whatever it overlapped; others cut around it."""
    out = [new]
    for e in entries:
        if e.start < new.start:
            out.append(Stored(e.start, min(e.end, new.start), e.fetched_at, e.empty, e.provisional))
        if e.end > new.end:
            out.append(Stored(max(e.start, new.end), e.end, e.fetched_at, e.empty, e.provisional))
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


def _empty() -> pd.DataFrame:
    frame = pd.DataFrame({c: pd.Series(dtype="int64" if c == "barCount" else "float64") for c in COLUMNS})
    frame.index = pd.DatetimeIndex([], tz=UTC, name="date")
    return frame


def _conform(bars: pd.DataFrame, start: datetime, end: datetime) -> pd.DataFrame:
    if len(bars) == 0:  # the gateway's empty answer, however the caller framed it
        return _empty()
    if not isinstance(bars.index, pd.DatetimeIndex) or bars.index.tz is None:
        raise ValueError("bars need a zone-aware DatetimeIndex")
    absent = [c for c in COLUMNS if c not in bars.columns]
    if absent:
        raise ValueError(f"bars lack the columns {', '.join(absent)}")
    out = bars.loc[:, list(COLUMNS)]
    out.index = bars.index.tz_convert(UTC).as_unit("ns").rename("date")
    outside = (out.index < start) | (out.index >= end)
    if outside.any():
        raise ValueError(f"{int(outside.sum())} bars lie outside the span {start} .. {end}")
    # One row per bar start: a repeated one keeps the last, as the gateway's later answer.
    return out[~out.index.duplicated(keep="last")].sort_index()


def _read_month(path: Path) -> pd.DataFrame:
    try:
        return pq.read_table(path).to_pandas().set_index("date")
    except FileNotFoundError:  # rewritten away since it was listed
        return _empty()
    except (OSError, pa.ArrowException, KeyError) as exc:
        raise StoreError(f"{path} is unreadable ({exc})") from None


def _rewrite_month(directory: Path, start: datetime, end: datetime, part: pd.DataFrame) -> None:
    path = directory / DATA_NAME
    _remove_temporaries(directory)
    old = _read_month(path) if path.exists() else _empty()
    kept = old[(old.index < start) | (old.index >= end)]
    merged = pd.concat([kept, part]).sort_index() if len(kept) else part
    if merged.empty:
        if path.exists():
            path.unlink()
            sync_directory(directory)
        return
    _make_dirs(directory)
    table = pa.Table.from_pandas(merged.reset_index(), preserve_index=False)
    replace(path, lambda tmp: pq.write_table(table, tmp, compression="zstd"))


def _write_index(path: Path, entries: list[Stored]) -> None:
    spans = [{k: v.isoformat() if isinstance(v, datetime) else v for k, v in asdict(e).items()} for e in entries]
    payload = json.dumps({"version": 1, "spans": spans}, indent=1).encode()
    replace(path, lambda tmp: Path(tmp).write_bytes(payload))


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
