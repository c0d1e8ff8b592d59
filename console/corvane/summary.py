"""The one line the console prints after a command: what came back, or what went wrong."""

from __future__ import annotations

from collections.abc import Collection
from typing import Any

MAX_WIDTH = 160
#: Follows the members of a group that have a live quote.
LIVE_MARK = "*"


def is_failure(result: Any) -> bool:
    return isinstance(result, dict) and "error" in result


def _cut(text: str) -> str:
    return text if len(text) <= MAX_WIDTH else text[: MAX_WIDTH - 1] + "…"


def _groups_line(groups: dict, saved: Collection[str] | None) -> str:
    if not groups:
        return "no quote groups"
    parts, unsaved, any_live = [], [], False
    for name, entry in groups.items():
        if saved is not None and name not in saved:
            unsaved.append(str(name))
            continue
        symbols = entry.get("symbols", []) if isinstance(entry, dict) else []
        live = set(map(str, entry.get("live", []))) if isinstance(entry, dict) else set()
        any_live = any_live or bool(live)
        members = " ".join(f"{s}{LIVE_MARK}" if str(s) in live else str(s) for s in symbols)
        parts.append(f"{name}: {members or '(empty)'}")
    # Named but not stored: said apart, so the count is of groups that exist.
    missing = f"not saved: {' '.join(unsaved)}" if unsaved else ""
    if not parts:
        return missing
    line = (f"{len(parts)} quote group{'s' if len(parts) != 1 else ''}: " + "; ".join(parts)
            + (f" ({LIVE_MARK} live)" if any_live else ""))
    return f"{line}; {missing}" if missing else line


def summarize(result: Any, saved_groups: Collection[str] | None = None) -> str:
    """A single line describing a command's result.

    ``saved_groups``, when given, names the quote groups the store holds, so a
    listed group that is not among them is told as not saved.
    """
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
        return _cut(_groups_line(inner["groups"], saved_groups))
    keys = ", ".join(map(str, result)) or "nothing"
    return _cut(f"ok ({keys})")


def why_failed(gateway_said: list[str], gateway_down: str | None, yahoo: Any) -> str:
    """" (no gateway: ...; Yahoo Finance: unreachable (DNS))": why each source gave nothing.

    ``gateway_down`` is why there is no gateway connection (None while there is one);
    ``yahoo`` is what the Yahoo path said (``yahoo_watch.YahooSaid``).
    """
    asked_yahoo = bool(getattr(yahoo, "asked", False))
    reasons = []
    if gateway_said:
        reasons.append("the gateway said: " + "; ".join(gateway_said))
    elif gateway_down and asked_yahoo:
        reasons.append(f"no gateway: {gateway_down}")
    if asked_yahoo:
        reasons.append(f"Yahoo Finance: {yahoo.reason()}")
    return f" ({'; '.join(reasons)})" if reasons else ""
