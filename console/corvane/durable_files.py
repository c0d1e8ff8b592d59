"""Files that two consoles share: a lock held across a read-modify-write, and renames made durable."""

from __future__ import annotations

import errno
import fcntl
import os
import secrets
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from pathlib import Path


@contextmanager
def locked(lock: Path, wait: float) -> Iterator[None]:
    """Hold an exclusive ``flock`` on ``lock`` for the body; TimeoutError after ``wait`` seconds."""
    # Never removed: deleting a lock file lets two writers lock two different files.
    # Opened non-blocking, so a FIFO put in its place cannot hang the console.
    fd = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_NONBLOCK | os.O_CLOEXEC, 0o600)
    try:
        deadline = time.monotonic() + wait
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    raise TimeoutError(f"another console has held {lock} for {wait:g} s") from None
                time.sleep(0.01)
        yield
    finally:
        os.close(fd)  # releases the lock


def replace(path: Path, write: Callable[[str], object], *, prefix: str = ".tmp-", suffix: str = "") -> None:
    """Write through ``write(temporary path)`` beside ``path`` and put it in place (:func:`writing`)."""
    with writing(path, prefix=prefix, suffix=suffix) as tmp:
        write(tmp)


@contextmanager
def writing(
    path: Path, *, prefix: str = ".tmp-", suffix: str = "", mode: int = 0o600, clobber: bool = True
) -> Iterator[str]:
    """A new file beside ``path`` for the body to write; then fsync, rename into place, fsync the
    directory: a reader sees the old file or the new one whole, and a crash leaves one of them.

    ``mode`` is that of the new file before the umask (the console's own files are private; a
    user's export is not). With ``clobber`` False an existing ``path`` is kept: FileExistsError,
    even for a file that appeared while the body wrote. A failed body leaves nothing behind.
    """
    tmp = _new_file(path.parent, prefix, suffix, mode)
    try:
        yield tmp
        with open(tmp, "rb") as fh:
            # On disk before the rename, or a crash could put an empty file in place.
            os.fsync(fh.fileno())
        if clobber:
            os.replace(tmp, path)
        else:
            _link(tmp, path)
    except BaseException:
        with suppress(OSError):
            os.unlink(tmp)
        raise
    sync_directory(path.parent)


def _new_file(directory: Path, prefix: str, suffix: str, mode: int) -> str:
    while True:
        tmp = os.path.join(directory, f"{prefix}{secrets.token_hex(6)}{suffix}")
        try:
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode))
            return tmp
        except FileExistsError:  # another's temporary of the same name: draw again
            continue


def _link(tmp: str, path: Path) -> None:
    """``tmp`` becomes ``path`` unless ``path`` exists (checked by the link itself, not before it)."""
    try:
        os.link(tmp, path)
    except FileExistsError:
        raise
    except OSError:  # a file system without hard links: the check and the rename are two steps
        if path.exists():
            raise FileExistsError(errno.EEXIST, "File exists", str(path)) from None
        os.replace(tmp, path)
        return
    os.unlink(tmp)


def sync_directory(directory: Path) -> None:
    """Make a rename into ``directory`` (or a new entry in it) durable."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    except OSError as exc:
        # Some file systems cannot sync a directory; the new file is in place all the same.
        if exc.errno not in (errno.EINVAL, errno.ENOTSUP):
            raise
    finally:
        os.close(fd)
