"""Writing a table to a file whole or not at all.

The table is written to a new file beside the target and renamed onto it
only once it is complete, so an interrupted or failed write never leaves a
partial file, and an existing file is kept unless it may be replaced.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING

from corvane import durable_files

if TYPE_CHECKING:
    import pandas as pd

FORMATS = {".csv": "csv", ".parquet": "parquet"}


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
    except FileExistsError:  # appeared while the table was written
        raise ExportRefused(f"{target} exists; add --force to replace it") from None
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
