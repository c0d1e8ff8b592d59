"""Bars in one layout, written to a file whole or not at all.

The table is written to a new file beside the target and renamed onto it
only once it is complete, so an interrupted or failed write never leaves a
partial file, and an existing file is kept unless it may be replaced.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING

from corvane import durable_files

if TYPE_CHECKING:
    import pandas as pd

FORMATS = {".csv": "csv", ".parquet": "parquet"}
#: A bar's fields in the order every export and every frame of bars gives them: after the
#: bar's time, before whose bars they are and where they came from.
BAR_FIELDS = ("open", "high", "low", "close", "volume", "average", "barCount")


class ExportRefused(ValueError):
    """The target cannot be written: wrong extension, an existing file, or no way to write there."""


def check_target(path: str | os.PathLike, *, force: bool = False, formats: dict[str, str] = FORMATS) -> Path:
    """Refuse a target that cannot work before any data is fetched for it."""
    target = Path(path).expanduser()
    if target.suffix.lower() not in formats:
        known = " or ".join(formats)
        raise ExportRefused(f"{target}: unknown file type {target.suffix or '(none)'!r}; use {known}")
    if target.is_dir():
        raise ExportRefused(f"{target} is a directory")
    if target.exists() and not force:
        raise ExportRefused(f"{target} exists; add --force to replace it")
    folder = target.parent
    if not folder.is_dir():
        raise ExportRefused(f"cannot write {target}: no directory {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise ExportRefused(f"cannot write {target}: {folder} is not writable")
    return target


@contextlib.contextmanager
def atomic_target(path: str | os.PathLike, *, force: bool = False, formats: dict[str, str] = FORMATS) -> Iterator[Path]:
    """A fresh file beside ``path`` to write into; it becomes ``path`` when the body succeeds."""
    target = check_target(path, force=force, formats=formats)
    try:
        # The usual permissions (0666 less the umask), not a private file's.
        with durable_files.writing(
            target, prefix=f".{target.name}.", suffix=".partial", mode=0o666, clobber=force
        ) as temp:
            yield Path(temp)
    except FileExistsError as exc:
        if str(target) not in (exc.filename, exc.filename2):  # the writer's own trouble, not the target
            raise ExportRefused(f"cannot write {target}: {exc.strerror or exc}") from exc
        raise ExportRefused(f"{target} exists; add --force to replace it") from None  # appeared meanwhile
    except OSError as exc:
        raise ExportRefused(f"cannot write {target}: {exc.strerror or exc}") from exc


_WRITERS: dict[str, Callable[[pd.DataFrame, Path], None]] = {
    "csv": lambda df, path: df.to_csv(path, index=False),
    "parquet": lambda df, path: df.to_parquet(path, index=False),
}


def write_frame(df: pd.DataFrame, path: str | os.PathLike, *, force: bool = False) -> Path:
    """Write every row of ``df`` to ``path``, in the format its extension names."""
    with atomic_target(path, force=force) as temp:
        _WRITERS[FORMATS[Path(path).suffix.lower()]](df, temp)
    return Path(path).expanduser()


def bar_table(bars: pd.DataFrame, symbol: str, source: str, *, daily: bool = False) -> pd.DataFrame:
    """One symbol's bars in the export layout: ``date``, the bar fields in their order (any
    other column after them), ``symbol``, ``source``; whole volumes as integers.

    The times are a ``date`` column or the index. Daily and longer bars (``daily``) give their
    day alone, which has no zone; an intraday time keeps the zone it has.
    """
    import pandas as pd

    frame = bars if "date" in bars.columns else bars.rename_axis("date").reset_index()
    fields = [c for c in BAR_FIELDS if c in frame.columns]
    others = [c for c in frame.columns if c not in ("date", *BAR_FIELDS, "symbol", "source")]
    table = frame[["date", *fields, *others]].copy()
    if daily and pd.api.types.is_datetime64_any_dtype(table["date"]):
        table["date"] = table["date"].dt.date
    if "volume" in table.columns:
        table["volume"] = whole_numbers(table["volume"])
    table["symbol"] = symbol
    table["source"] = source
    return table


def whole_numbers(column: pd.Series) -> pd.Series:
    """``column`` as integers when every value is a whole number (a volume arrives as a float
    from some sources, and 1200.0 shares reads as a fraction); unchanged otherwise."""
    import pandas as pd

    numbers = pd.to_numeric(column, errors="coerce")
    given = column.notna()
    if not (numbers.notna() == given).all() or not (numbers[given] % 1 == 0).all():
        return column
    return numbers.astype("Int64") if not given.all() else numbers.astype("int64")


def export_bars(tables: Iterable[pd.DataFrame], path: str | os.PathLike, *, force: bool = False) -> int:
    """Write the bar tables (:func:`bar_table`) one after another to ``path``; how many bars."""
    import pandas as pd

    frame = pd.concat(list(tables), ignore_index=True)
    write_frame(frame, path, force=force)
    return len(frame)
