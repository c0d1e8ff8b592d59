"""What the console knows of the tessik command: its groups line with the live marks."""

from __future__ import annotations

from collections.abc import Collection, Iterable
from typing import Any

from corvane.profiles.base import Profile

#: Follows the members of a group that have a live quote.
LIVE_MARK = "*"


def groups_line(groups: dict, saved: Collection[str] | None) -> str:
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
    line = (
        f"{len(parts)} quote group{'s' if len(parts) != 1 else ''}: "
        + "; ".join(parts)
        + (f" ({LIVE_MARK} live)" if any_live else "")
    )
    return f"{line}; {missing}" if missing else line


class TessikProfile(Profile):
    def summary(self, result: Any, saved_groups: Collection[str]) -> str | None:
        inner = result.get("result") if isinstance(result, dict) else None
        if isinstance(inner, dict) and isinstance(inner.get("groups"), dict):
            return groups_line(inner["groups"], saved_groups)
        return None

    def completions(self, before: list[str], symbols: list[str], groups: list[str]) -> Iterable[str]:
        return groups


PROFILE = TessikProfile()
