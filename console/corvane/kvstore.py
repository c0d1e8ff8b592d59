"""The console's key-value store, which commands reach as ``self.cache``.

Any hashable key and any value can be held in memory. Quote groups, stored
under ("quotes", name) as sets or lists of symbols, are also written to a
JSON file so they outlive the process; values that are not plain symbol
collections (live contract objects) stay in memory only.
"""

from __future__ import annotations

import json
import os
import tempfile
from collections.abc import Hashable, Iterator, MutableMapping
from pathlib import Path
from typing import Any

from loguru import logger

QUOTES = "quotes"


def group_key(name: str) -> tuple[str, str]:
    return (QUOTES, name)


def _is_group_key(key: Hashable) -> bool:
    return isinstance(key, tuple) and len(key) == 2 and key[0] == QUOTES and isinstance(key[1], str)


def _persistable(key: Hashable, value: Any) -> bool:
    return (_is_group_key(key) and isinstance(value, (set, frozenset, list))
            and all(isinstance(v, str) for v in value))


class KeyValueStore(MutableMapping):
    """A dict with optional persistence of the quote groups it holds."""

    def __init__(self, path: str | os.PathLike | None = None) -> None:
        self._data: dict[Hashable, Any] = {}
        self._path = Path(path) if path is not None else None
        self._writable = True
        if self._path is not None:
            self._load()

    # -- mapping ----------------------------------------------------------

    def __getitem__(self, key: Hashable) -> Any:
        return self._data[key]

    def __setitem__(self, key: Hashable, value: Any) -> None:
        self._data[key] = value
        if _is_group_key(key):
            self._save()

    def __delitem__(self, key: Hashable) -> None:
        del self._data[key]
        if _is_group_key(key):
            self._save()

    def __iter__(self) -> Iterator[Hashable]:
        # A snapshot, so a command iterating the store survives a change to it.
        return iter(list(self._data))

    def __len__(self) -> int:
        return len(self._data)

    # -- quote groups -----------------------------------------------------

    def groups(self) -> list[str]:
        return sorted(k[1] for k in self._data if _is_group_key(k))

    # -- persistence ------------------------------------------------------

    def _load(self) -> None:
        assert self._path is not None
        try:
            text = self._path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return
        except OSError as exc:
            self._refuse_writes(f"cannot read {self._path}: {exc}")
            return
        try:
            saved = json.loads(text)
            groups = saved["groups"]
            if not isinstance(groups, dict):
                raise ValueError("groups is not an object")
            for name, symbols in groups.items():
                if not isinstance(symbols, list) or not all(isinstance(s, str) for s in symbols):
                    raise ValueError(f"group {name!r} is not a list of symbols")
        except (ValueError, KeyError, TypeError) as exc:
            self._refuse_writes(f"{self._path} is unreadable ({exc})")
            return
        for name, symbols in groups.items():
            self._data[group_key(name)] = set(symbols)

    def _refuse_writes(self, why: str) -> None:
        # Overwriting a file we could not read would lose the groups in it.
        self._writable = False
        logger.warning("Quote groups: {}; changes stay in memory and the file is left as it is", why)

    def _save(self) -> None:
        if self._path is None or not self._writable:
            return
        groups = {k[1]: sorted(v) for k, v in self._data.items() if _persistable(k, v)}
        payload = json.dumps({"groups": groups}, indent=2, sort_keys=True)
        try:
            self._path.parent.mkdir(parents=True, exist_ok=True)
            fd, tmp = tempfile.mkstemp(dir=self._path.parent, prefix=".store-", suffix=".json")
            try:
                with os.fdopen(fd, "w", encoding="utf-8") as fh:
                    fh.write(payload + "\n")
                os.replace(tmp, self._path)
            except BaseException:
                os.unlink(tmp)
                raise
        except OSError as exc:
            logger.warning("Quote groups not saved to {}: {}", self._path, exc)
