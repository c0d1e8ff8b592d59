"""The trading and market-data console (a small stand-in that hosts the command modules).

``corvane.download(...)`` gives bars as a pandas DataFrame and ``corvane.run(line)`` a command's
result (see :mod:`corvane.api`); both are imported on first use, so ``import corvane`` stays light.
"""

from __future__ import annotations

import importlib

# typing costs an attached one-shot's start-up time; the names are for the checkers only.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


def __getattr__(name: str) -> Any:
    if name in ("download", "run"):
        return getattr(importlib.import_module("corvane.api"), name)
    raise AttributeError(f"module 'corvane' has no attribute {name!r}")
