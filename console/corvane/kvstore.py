"""The console's key-value store, which commands reach as ``self.cache``.

Any hashable key and any value can be held in memory. Quote groups, stored
under ("quotes", name) as sets or lists of symbols, are also written to a
JSON file so they outlive the process; values that are not plain symbol
collections (live contract objects) stay in memory only. A list keeps its
order in the file and comes back as that list (``group`` keeps the order
typed); a set, which has none, is written sorted. Readers take either (the
tessik module sorts what it lists, older consoles read the file's lists as
sets). A save writes
only the groups changed in this process (``store_file``), so consoles sharing
the file keep each other's groups.
"""

from __future__ import annotations

import os
from collections.abc import Hashable, Iterator, MutableMapping
from pathlib import Path
from typing import Any, TypeGuard

from loguru import logger

from corvane import store_file

QUOTES = "quotes"


def group_key(name: str) -> tuple[str, str]:
    return (QUOTES, name)


def _is_group_key(key: Hashable) -> TypeGuard[tuple[str, str]]:
    return isinstance(key, tuple) and len(key) == 2 and key[0] == QUOTES and isinstance(key[1], str)


def _persistable(key: Hashable, value: Any) -> bool:
    return _is_group_key(key) and isinstance(value, (set, frozenset, list)) and all(isinstance(v, str) for v in value)


def _file_members(value: set | frozenset | list) -> list[str]:
    """A group as the file holds it: a list in its own order, a set sorted, each symbol once."""
    return list(dict.fromkeys(value)) if isinstance(value, list) else sorted(value)


class KeyValueStore(MutableMapping):
    """A dict with optional persistence of the quote groups it holds."""

    def __init__(self, path: str | os.PathLike | None = None) -> None:
        self._data: dict[Hashable, Any] = {}
        self._path = Path(path) if path is not None else None
        self._writable = True
        # Names of the groups changed in this process and not yet saved.
        self._changed: set[str] = set()
        if self._path is not None:
            self._load()

    # -- mapping ----------------------------------------------------------

    def __getitem__(self, key: Hashable) -> Any:
        return self._data[key]

    def __setitem__(self, key: Hashable, value: Any) -> None:
        self._data[key] = value
        if _is_group_key(key):
            self._changed.add(key[1])
            self._save()

    def __delitem__(self, key: Hashable) -> None:
        del self._data[key]
        if _is_group_key(key):
            self._changed.add(key[1])
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

    @property
    def unsaved(self) -> bool:
        """Whether a change to a quote group is not in the file (its save failed or was refused)."""
        return self._path is not None and bool(self._changed)

    def _load(self) -> None:
        assert self._path is not None
        try:
            saved = store_file.read(self._path)
        except store_file.Unreadable as exc:
            self._refuse_writes(str(exc))
            return
        if saved is None:
            return
        for name, symbols in saved["groups"].items():
            # A hand-edited file may repeat a symbol: the first place counts.
            self._data[group_key(name)] = list(dict.fromkeys(symbols))

    def _refuse_writes(self, why: str) -> None:
        # Overwriting a file we could not read would lose the groups in it.
        self._writable = False
        logger.warning("Quote groups: {}; changes stay in memory and the file is left as it is", why)

    def _save(self) -> None:
        if self._path is None or not self._writable or not self._changed:
            return
        changed = set(self._changed)

        def apply(groups: dict[str, list[str]]) -> None:
            # Only the groups changed here: another console may have saved the rest since.
            for name in changed:
                key = group_key(name)
                if key in self._data and _persistable(key, self._data[key]):
                    groups[name] = _file_members(self._data[key])
                else:
                    groups.pop(name, None)

        try:
            store_file.update(self._path, apply)
        except (store_file.Unreadable, OSError) as exc:
            logger.warning("Quote groups not saved to {}: {}", self._path, exc)
            return
        self._changed -= changed
