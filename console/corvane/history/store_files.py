"""The bar store's files as they lie on disk: the series index and the month files, each checked.

The index (``_coverage.json``) records, beside the spans, every month file's
row count and SHA-256 as written. A month file is served only when its bytes
hash to the recorded value, or, for a file no index recorded (written before
checksums were kept), when it reads as the store writes: the columns and
types, timestamps inside its month, increasing and unique. The checksum lives
in the index rather than in the Parquet file's own metadata because a file
rewritten by another tool (prices scaled by pandas, say) would carry new
metadata or none, and pass; against the index it fails, and a deleted file
is noticed because the index still lists it.

A month is rewritten in three steps: the index records the new file's hash as
pending, the file is renamed into place, the index records it as written. A
writer killed between them leaves a file that matches one of the two hashes,
so a crash is never taken for damage.
"""

from __future__ import annotations

import hashlib
import io
import json
from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import UTC, datetime
from pathlib import Path

import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from corvane import clock
from corvane.durable_files import replace, sync_directory

COLUMNS = ("open", "high", "low", "close", "volume", "average", "barCount")
INDEX_NAME = "_coverage.json"
DATA_NAME = "bars.parquet"
VERSION = 2

Warn = Callable[[str], None]


class Damaged(Exception):
    """A file the store cannot serve; ``path`` is what to move aside (None when nothing is there)."""

    def __init__(self, reason: str, path: Path | None) -> None:
        super().__init__(reason)
        self.path = path


@dataclass(frozen=True)
class Stored:
    """One span as the index holds it."""

    start: datetime
    end: datetime
    fetched_at: datetime
    empty: bool = False
    provisional: bool = False


@dataclass
class Month:
    """What the index knows of one month file."""

    rows: int
    sha256: str
    pending: str | None = None  # a rewrite under way: the hash of the file about to be renamed in

    def accepts(self, digest: str) -> bool:
        return digest in (self.sha256, self.pending)

    def allows_none(self) -> bool:
        # "" is no file: a month not written yet, or one a rewrite is emptying.
        return not self.sha256 or self.pending == ""


@dataclass
class Index:
    spans: list[Stored] = field(default_factory=list)
    months: dict[str, Month] = field(default_factory=dict)  # "2025-01" -> its file's record
    head: datetime | None = None  # the series' first data point, as the gateway gave it


def month_key(year: int, month: int) -> str:
    return f"{year:04d}-{month:02d}"


def month_path(directory: Path, key: str) -> Path:
    year, month = key.split("-")
    return directory / f"year={int(year)}" / f"month={month}" / DATA_NAME


def month_bounds(key: str) -> tuple[datetime, datetime]:
    year, month = (int(p) for p in key.split("-"))
    after = (year + month // 12, month % 12 + 1)
    return datetime(year, month, 1, tzinfo=UTC), datetime(*after, 1, tzinfo=UTC)


def present_months(directory: Path) -> dict[str, Path]:
    """The month files there, by key (the names the store writes only)."""
    found: dict[str, Path] = {}
    for path in directory.glob(f"year=[0-9]*/month=[0-9]*/{DATA_NAME}"):
        year, month = path.parts[-3][5:], path.parts[-2][6:]
        if year.isdigit() and month.isdigit() and 1 <= int(month) <= 12:
            found[month_key(int(year), int(month))] = path
    return found


# -- the index ----------------------------------------------------------------


def load_index(path: Path) -> Index:
    """The index at ``path``, empty when there is none; Damaged when it cannot be read as written."""
    try:
        raw = path.read_bytes()
    except FileNotFoundError:
        return Index()
    except OSError as exc:
        raise Damaged(f"cannot be read ({exc.strerror or exc})", path) from None
    try:
        data = json.loads(raw)
        spans = [
            Stored(**{**e, **{k: _instant(datetime.fromisoformat(e[k])) for k in ("start", "end", "fetched_at")}})
            for e in data["spans"]
        ]
        months = {str(k): Month(**v) for k, v in data.get("months", {}).items()}
        for key in months:
            month_bounds(key)
        head = data.get("head")
        return Index(spans, months, _instant(datetime.fromisoformat(head)) if head else None)
    except (ValueError, KeyError, TypeError, AttributeError) as exc:
        raise Damaged(f"is unreadable ({type(exc).__name__}: {exc})", path) from None


def write_index(path: Path, index: Index) -> None:
    # Built by hand: asdict's deep copies were most of a write's time with a year of spans.
    spans = [
        {"start": e.start.isoformat(), "end": e.end.isoformat(), "fetched_at": e.fetched_at.isoformat(),
         "empty": e.empty, "provisional": e.provisional}
        for e in index.spans
    ]  # fmt: skip
    months = {
        k: {"rows": m.rows, "sha256": m.sha256, **({} if m.pending is None else {"pending": m.pending})}
        for k, m in sorted(index.months.items())
    }
    payload: dict = {"version": VERSION, "spans": spans, "months": months}
    if index.head is not None:
        payload["head"] = index.head.isoformat()
    data = json.dumps(payload, separators=(",", ":")).encode()
    replace(path, lambda tmp: Path(tmp).write_bytes(data))


def _instant(t: datetime) -> datetime:
    if t.utcoffset() is None:
        raise ValueError(f"{t} has no zone")
    return t.astimezone(UTC)


# -- month files ----------------------------------------------------------------


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def read_month(
    directory: Path, key: str, record: Month | None, *, parse: bool = True
) -> tuple[pd.DataFrame | None, str]:
    """The month's bars as checked (None when ``parse`` is off) and the file's hash ("" for no file).

    Damaged names what to move aside. No file is an empty month unless the index expects one.
    """
    path = month_path(directory, key)
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        if record is not None and not record.allows_none():
            raise Damaged("is missing", None) from None
        return (empty() if parse else None), ""
    except OSError as exc:
        raise Damaged(f"cannot be read ({exc.strerror or exc})", in_the_way(directory, path)) from None
    sha = digest(data)
    if record is not None:
        if not record.accepts(sha):
            raise Damaged("does not match the checksum recorded when it was written", path)
        if not parse:
            return None, sha
    return check_month(data, key, path), sha


def check_month(data: bytes, key: str, path: Path) -> pd.DataFrame:
    """The bars of a month file, if it reads as the store writes them."""
    try:
        table = pq.read_table(io.BytesIO(data))
    except (OSError, pa.ArrowException) as exc:
        raise Damaged(f"is not a readable Parquet file ({exc})", path) from None
    names = table.schema.names
    if names != ["date", *COLUMNS]:
        raise Damaged(f"has the columns {', '.join(names)}, not date, {', '.join(COLUMNS)}", path)
    when = table.schema.field("date").type
    if not pa.types.is_timestamp(when) or when.tz not in ("UTC", "+00:00"):
        raise Damaged(f"has its dates as {when}, not UTC timestamps", path)
    odd = [c for c in COLUMNS if not _numeric(table.schema.field(c).type)]
    if odd:
        raise Damaged(f"has non-numeric {', '.join(odd)}", path)
    frame = table.to_pandas().set_index("date")
    frame.index = frame.index.as_unit("ns")
    first, after = month_bounds(key)
    if len(frame) and (frame.index[0] < first or frame.index[-1] >= after):
        raise Damaged(f"holds bars outside {key}", path)
    if not frame.index.is_monotonic_increasing or not frame.index.is_unique:
        raise Damaged("has its bars out of order or repeated", path)
    return frame


def _numeric(kind: pa.DataType) -> bool:
    return pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_null(kind)


def month_bytes(frame: pd.DataFrame) -> bytes:
    # One thread: a month is small, and a pool started per file cost more than the conversion.
    table = pa.Table.from_pandas(frame.reset_index(), preserve_index=False, nthreads=1)
    sink = pa.BufferOutputStream()
    pq.write_table(table, sink, compression="zstd")
    return bytes(sink.getvalue())


def empty() -> pd.DataFrame:
    frame = pd.DataFrame({c: pd.Series(dtype="int64" if c == "barCount" else "float64") for c in COLUMNS})
    frame.index = pd.DatetimeIndex([], tz=UTC, name="date")
    return frame


# -- setting aside ----------------------------------------------------------------


def in_the_way(directory: Path, path: Path) -> Path:
    """The file standing where a directory on the way to ``path`` belongs, else ``path``."""
    for parent in reversed(path.relative_to(directory).parents):
        step = directory / parent
        if step != directory and (step.is_symlink() or (step.exists() and not step.is_dir())):
            return step
    return path


def move_aside(path: Path) -> Path:
    """Rename ``path`` beside itself to a name dataset readers and ``*.parquet`` globs skip."""
    stamp = clock.now(UTC).strftime("%Y%m%dT%H%M%SZ")
    stem = path.name if path.name.startswith("_") else "_" + path.name
    aside = path.with_name(f"{stem}.damaged-{stamp}")
    n = 1
    while aside.exists() or aside.is_symlink():
        n += 1
        aside = path.with_name(f"{stem}.damaged-{stamp}-{n}")
    path.rename(aside)
    sync_directory(path.parent)
    return aside
