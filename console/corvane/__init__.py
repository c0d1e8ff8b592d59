"""The trading and market-data console (a small stand-in that hosts the command modules)."""

from typing import Any


def __getattr__(name: str) -> Any:
    # corvane.run without importing the console's layers for every `import corvane`.
    if name == "run":
        import importlib

        return importlib.import_module("corvane.api").run
    raise AttributeError(f"module 'corvane' has no attribute {name!r}")
