"""The trading and market-data console (a small stand-in that hosts the command modules).

``corvane.download(...)`` gives bars as a pandas DataFrame (see :mod:`corvane.api`); it is
imported on first use, so ``import corvane`` stays light.
"""

from __future__ import annotations

import importlib
from typing import Any


def __getattr__(name: str) -> Any:
    if name == "download":
        return importlib.import_module("corvane.api").download
    raise AttributeError(f"module 'corvane' has no attribute {name!r}")
