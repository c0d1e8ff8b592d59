"""The quote-group file on disk: read without trusting it, change it under a lock.

Several consoles may share one file. A save holds an advisory lock on a file
beside it while it reads what is there, applies only that console's own
changes and puts the result in place by rename, so no console loses the
groups another one saved, and keys it does not know (from a newer version or
added by hand) stay as they are.
"""

from __future__ import annotations

import errno
import json
import os
import stat
from collections.abc import Callable
from contextlib import AbstractContextManager, suppress
from pathlib import Path
from typing import Any

from corvane.durable_files import locked, replace

#: A store holds a few symbol lists; anything far larger is not one, and reading it would only cost memory.
MAX_SIZE = 64 << 20
#: How long a save waits for another console to finish its own.
LOCK_WAIT = 5.0


class Unreadable(Exception):
    """The file is there but cannot be taken for a store."""


def read(path: Path) -> dict[str, Any] | None:
    """The file's JSON object, its "groups" checked; None when there is no file."""
    try:
        # Non-blocking, so a FIFO in its place cannot hang the console before the check below.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise Unreadable(f"cannot read {path}: {exc}") from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise Unreadable(f"{path} is not a regular file")
        if info.st_size > MAX_SIZE:
            raise Unreadable(f"{path} is larger than {MAX_SIZE} bytes")
        raw = _read_all(fd)
    except OSError as exc:
        raise Unreadable(f"cannot read {path}: {exc}") from None
    finally:
        os.close(fd)
    try:
        saved = json.loads(raw.decode("utf-8"))
        groups = saved["groups"]
        if not isinstance(groups, dict):
            raise ValueError("groups is not an object")
        for name, symbols in groups.items():
            if not isinstance(symbols, list) or not all(isinstance(s, str) for s in symbols):
                raise ValueError(f"group {name!r} is not a list of symbols")
    except (ValueError, KeyError, TypeError, RecursionError) as exc:
        # ValueError covers bytes that are not UTF-8; RecursionError very deep nesting.
        raise Unreadable(f"{path} is unreadable ({exc})") from None
    return saved


def _read_all(fd: int) -> bytes:
    chunks, size = [], 0
    while chunk := os.read(fd, 1 << 16):
        size += len(chunk)
        if size > MAX_SIZE:  # grew since fstat
            raise OSError(errno.EFBIG, f"larger than {MAX_SIZE} bytes")
        chunks.append(chunk)
    return b"".join(chunks)


def update(path: Path, apply: Callable[[dict[str, list[str]]], None]) -> None:
    """Let ``apply`` change the groups on disk as they are now, and write the result.

    Raises Unreadable (the file is left as it is) or OSError.
    """
    path.parent.mkdir(parents=True, exist_ok=True)
    with _locked(path):
        _remove_stale_temporaries(path)
        saved = read(path) or {"groups": {}}
        apply(saved["groups"])
        try:
            payload = json.dumps(saved, indent=2, sort_keys=True) + "\n"
        except (ValueError, RecursionError) as exc:
            raise Unreadable(f"{path} cannot be written back ({exc})") from None
        replace(
            path,
            lambda tmp: Path(tmp).write_text(payload, encoding="utf-8"),
            prefix=_temp_prefix(path),
            suffix=path.suffix,
        )


def _temp_prefix(path: Path) -> str:
    return f".{path.stem}-"


def _locked(path: Path) -> AbstractContextManager[None]:
    return locked(path.with_name(path.name + ".lock"), LOCK_WAIT)


def _remove_stale_temporaries(path: Path) -> None:
    # Saves only write temporaries while holding the lock, which we hold now:
    # any still there is what a killed save left behind.
    for stale in path.parent.glob(_temp_prefix(path) + "*" + path.suffix):
        with suppress(OSError):
            stale.unlink()
