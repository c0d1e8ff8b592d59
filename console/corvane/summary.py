"""The one line the console prints after a command: what came back, or what went wrong."""

from __future__ import annotations

from typing import Any

MAX_WIDTH = 160


def is_failure(result: Any) -> bool:
    return isinstance(result, dict) and "error" in result


def _cut(text: str) -> str:
    return text if len(text) <= MAX_WIDTH else text[: MAX_WIDTH - 1] + "…"


def _groups_line(groups: dict) -> str:
    if not groups:
        return "no quote groups"
    parts = []
    for name, entry in groups.items():
        symbols = entry.get("symbols", []) if isinstance(entry, dict) else []
        live = entry.get("live", []) if isinstance(entry, dict) else []
        parts.append(f"{name}: {' '.join(map(str, symbols)) or '(empty)'}"
                     + (f" (live: {' '.join(map(str, live))})" if live else ""))
    return f"{len(groups)} quote group{'s' if len(groups) != 1 else ''}: " + "; ".join(parts)


def summarize(result: Any) -> str:
    """A single line describing a command's result."""
    if result is None:
        return "done"
    if not isinstance(result, dict):
        return _cut(f"result: {result!r}")
    if "error" in result:
        where = f"{result['symbol']}: " if result.get("symbol") else ""
        return _cut(f"error: {where}{result['error']}")
    bars = result.get("bars")
    if isinstance(bars, list):
        bits = [str(result["symbol"])] if result.get("symbol") else []
        bits.append(f"{len(bars)} bar{'s' if len(bars) != 1 else ''}")
        if result.get("source"):
            bits.append(f"from {result['source']}")
        if result.get("cached"):
            bits.append("(cached)")
        return _cut(" ".join(bits))
    inner = result.get("result")
    if isinstance(inner, dict) and isinstance(inner.get("groups"), dict):
        return _cut(_groups_line(inner["groups"]))
    keys = ", ".join(map(str, result)) or "nothing"
    return _cut(f"ok ({keys})")
