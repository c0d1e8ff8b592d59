"""The bar store's files as a whole: what it holds, and emptying it.

Only what the store makes is counted or removed: in each series directory
(``source=…/contract=…/bar_size=…/what=…/rth=…``) its index, its months'
``year=YYYY/month=MM/bars.parquet`` and a killed put's temporaries. The walk
never follows a symlink, and anything else found there is left as it is and
named. A series is emptied under its lock, so a console writing it at the
same moment finishes first; the lock file itself stays (deleting it would let
two writers lock two different files).
"""

from __future__ import annotations

import os
import re
import stat
from collections.abc import Iterator
from contextlib import suppress
from dataclasses import dataclass
from pathlib import Path

from corvane.durable_files import locked, sync_directory

from .store import DATA_NAME, INDEX_NAME, LOCK_NAME, LOCK_WAIT

#: The directory levels of one series, as the store names them.
_LEVELS = ("source", "contract", "bar_size", "what", "rth")
_YEAR = re.compile(r"year=[0-9]{4}")
_MONTH = re.compile(r"month=[0-9]{2}")
_TEMPORARY = ".tmp-"


@dataclass
class Holding:
    """What the store holds (or held, for a clear): its files' bytes, series and months."""

    series: int = 0
    months: int = 0
    bytes: int = 0
    #: Files and links found where the store keeps its own, which it did not make: left alone.
    foreign: int = 0
    #: Series another console held locked for the whole wait: left as they were.
    busy: int = 0


def _entries(directory: Path) -> list[os.DirEntry[str]]:
    try:
        with os.scandir(directory) as found:
            return sorted(found, key=lambda e: e.name)
    except (FileNotFoundError, NotADirectoryError):
        return []


def _is_dir(entry: os.DirEntry[str]) -> bool:
    return entry.is_dir(follow_symlinks=False)


def _series_dirs(root: Path, holding: Holding) -> Iterator[Path]:
    """Each series directory under ``root``, reached through real directories only."""
    if root.is_symlink():
        holding.foreign += 1  # the store never makes its root a link: whatever it points at is not ours
        return
    level = [root]
    for name in _LEVELS:
        below = []
        for directory in level:
            for entry in _entries(directory):
                if _is_dir(entry) and entry.name.startswith(name + "="):
                    below.append(Path(entry.path))
                elif entry.name != LOCK_NAME:
                    holding.foreign += 1
        level = below
    yield from level


def _store_files(series: Path, holding: Holding) -> tuple[list[Path], list[Path]]:
    """The files the store made in ``series`` (index first, then months and temporaries), and its month directories."""
    files: list[Path] = []
    months: list[Path] = []
    for entry in _entries(series):
        if entry.name == LOCK_NAME:
            continue
        if entry.name == INDEX_NAME or entry.name.startswith(_TEMPORARY):
            if entry.is_file(follow_symlinks=False):
                files.insert(0 if entry.name == INDEX_NAME else len(files), Path(entry.path))
                continue
        elif _is_dir(entry) and _YEAR.fullmatch(entry.name):
            for month in _entries(Path(entry.path)):
                if _is_dir(month) and _MONTH.fullmatch(month.name):
                    months.append(Path(month.path))
                    for item in _entries(Path(month.path)):
                        if item.is_file(follow_symlinks=False) and (
                            item.name == DATA_NAME or item.name.startswith(_TEMPORARY)
                        ):
                            files.append(Path(item.path))
                        else:
                            holding.foreign += 1
                else:
                    holding.foreign += 1
            months.append(Path(entry.path))  # emptied after its months
            continue
        holding.foreign += 1
    return files, months


def _size(path: Path) -> int:
    try:
        found = os.lstat(path)
    except FileNotFoundError:
        return 0
    return found.st_size if stat.S_ISREG(found.st_mode) else 0


def info(root: Path) -> Holding:
    """What the store at ``root`` holds now (a reader takes no lock: each file is whole)."""
    holding = Holding()
    for series in _series_dirs(root, holding):
        files, _ = _store_files(series, holding)
        data = [f for f in files if f.name == DATA_NAME]
        if any(f.name == INDEX_NAME for f in files) or data:
            holding.series += 1
        holding.months += len(data)
        holding.bytes += sum(_size(f) for f in files)
    return holding


def clear(root: Path) -> Holding:
    """Remove every bar the store at ``root`` holds; what was removed (and what was left, not the store's)."""
    holding = Holding()
    for series in _series_dirs(root, holding):
        lock = series / LOCK_NAME
        if lock.is_symlink():
            holding.foreign += 1  # not a lock the store made: the series is not touched
            continue
        try:
            with locked(lock, LOCK_WAIT):
                _empty_series(series, holding)
        except TimeoutError:
            holding.busy += 1
    return holding


def _empty_series(series: Path, holding: Holding) -> None:
    """Remove the store's files of one series (its lock held)."""
    files, directories = _store_files(series, holding)
    data = [f for f in files if f.name == DATA_NAME]
    if files:
        holding.series += 1
    holding.months += len(data)
    for path in files:  # the index first: a clear cut short leaves spans to fetch again, never holes
        holding.bytes += _size(path)
        path.unlink(missing_ok=True)
    for directory in directories:
        with suppress(OSError):  # it holds something the store did not make
            directory.rmdir()
    sync_directory(series)
