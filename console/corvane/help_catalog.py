"""The command list and help texts kept on disk, so ``corvane help`` needs no command module.

Loading the command modules brings in the client library and pandas, most
of a second before anything is printed. Each time the console has loaded
them all, it writes down what help shows (word, category, summary, help
text) together with each module file's size and modification time. A later
``corvane help`` whose modules are all unchanged answers from that file; any
change, or a module that cannot be found, means loading them as before.
"""

from __future__ import annotations

import importlib.util
import json
import os
from pathlib import Path

from corvane import commands, durable_files
from corvane.cmds.base import COMMANDS
from corvane.home import DIR_MODE, catalog_path

VERSION = 1


def _stamp(module: str) -> list | None:
    """[file, size, mtime] of a module, found without running it; None when it cannot be."""
    try:
        spec = importlib.util.find_spec(module)
    except (ImportError, ValueError):
        return None
    if spec is None or not spec.origin or not os.path.isfile(spec.origin):
        return None
    st = os.stat(spec.origin)
    return [spec.origin, st.st_size, st.st_mtime_ns]


def _stamps() -> dict[str, list | None]:
    return {m: _stamp(m) for m in commands.module_names()}


def _read(path: Path) -> dict | None:
    try:
        data = json.loads(path.read_text())
    except (OSError, ValueError):
        return None
    return data if isinstance(data, dict) and data.get("version") == VERSION else None


def use_saved(home: Path) -> bool:
    """Serve help from the saved catalog if every module is as it was; False to load them."""
    data = _read(catalog_path(home))
    if data is None:
        return False
    stamps = _stamps()
    if None in stamps.values() or data.get("modules") != stamps:
        return False
    try:
        entries = [commands.CachedCommand(e["word"], e["category"], e["summary"], e["help"]) for e in data["commands"]]
    except (KeyError, TypeError):
        return False
    commands.use_cached_catalog(entries)
    return True


def save(home: Path) -> None:
    """Write the catalog of the loaded commands, when every module loaded and it changed."""
    if commands.failed_modules() or not COMMANDS:
        return
    stamps = _stamps()
    data = {
        "version": VERSION,
        "modules": stamps,
        "commands": [
            {"word": i.word, "category": i.category, "summary": i.summary, "help": commands.help_text(i.cls)}
            for i in commands.catalog()
            if i.cls is not None
        ],
    }
    path = catalog_path(home)
    if None in stamps.values() or _read(path) == json.loads(json.dumps(data)):
        return
    try:
        home.mkdir(mode=DIR_MODE, parents=True, exist_ok=True)
        durable_files.replace(path, lambda tmp: Path(tmp).write_text(json.dumps(data)), prefix=".commands-")
    except OSError:
        pass  # only a slower help next time
