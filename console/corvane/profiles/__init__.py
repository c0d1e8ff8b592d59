"""What the console knows of each command, one profile module per command.

A profile reads its command module's own tables and functions instead of
copying them; it is the only place in the console that looks at a command
module's private names. A command without a profile gets :class:`Profile`,
which knows nothing and says nothing.
"""

from __future__ import annotations

import importlib
from typing import Any

from corvane.command_table import COMMAND_TABLE
from corvane.profiles.base import Profile

_NONE = Profile()


def profile(word: str) -> Profile:
    shipped = COMMAND_TABLE.get(word.lower())
    if shipped is None:
        return _NONE
    found: Profile = importlib.import_module(shipped.profile).PROFILE
    return found


def refusal(word: str, op: Any) -> str | None:
    """Why the command's words cannot give an answer, or None."""
    try:
        return profile(word).refusal(op)
    except Exception:  # when in doubt the command itself decides
        return None


def notes(word: str, op: Any, result: Any) -> list[str]:
    """Lines saying how words of a result were read, what it is of, or what would answer them."""
    if not isinstance(result, dict):
        return []
    try:
        return profile(word).notes(op, result)
    except Exception:  # a remark about the words must never cost the user the answer
        return []


def label(word: str, state: Any, result: Any) -> str:
    """What the summary line adds for this command (a future's contract month)."""
    try:
        return profile(word).label(state, result)
    except Exception:
        return ""
