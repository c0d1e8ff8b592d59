"""The console's home, ``$CORVANE_HOME`` (``~/.corvane``), and every file the console keeps in it.

Every part of the console asks this module where a file of the home is, so the layout is
written down once and a second copy cannot drift from it. Standard library only: an
attached one-shot imports it and nothing heavy.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

#: The home itself is private: the owner's socket in it is served to whoever can reach it.
DIR_MODE = 0o700
#: The socket, the lock, the pacing ledger and a script's download: this user's alone.
FILE_MODE = 0o600

SOCKET_NAME = "owner.sock"
LOCK_NAME = "owner.lock"
PACING_NAME = "pacing.ledger"
#: A script's frame handed over by the owner: ``.download-<32 hex>.parquet``, right in the home.
DOWNLOAD_NAME = re.compile(r"\.download-[0-9a-f]{32}\.parquet")


def home_dir() -> Path:
    """``$CORVANE_HOME``, or ``~/.corvane``: the console's home, for every part of it."""
    configured = os.environ.get("CORVANE_HOME", "").strip()
    return Path(configured).expanduser() if configured else Path.home() / ".corvane"


# Where each of the home's files is; ``home`` defaults to $CORVANE_HOME where the caller has no other.


def socket_path(home: Path) -> Path:  # the owner listens here for one-shots and scripts
    return home / SOCKET_NAME


def lock_path(home: Path) -> Path:  # held by the owner for its life: one owner per home
    return home / LOCK_NAME


def pacing_path(home: Path | None = None) -> Path:  # recent historical requests of all the home's processes
    return (home or home_dir()) / PACING_NAME


def settings_path(home: Path) -> Path:  # quote groups and the console's other saved settings
    return home / "store.json"


def candles_path(home: Path) -> Path:  # the candle cache (sorvel's answers), SQLite
    return home / "candles.sqlite"


def bars_dir(home: Path | None = None) -> Path:  # the bar store: download's bars, a file per symbol and month
    return (home or home_dir()) / "bars"


def prompt_history_path(home: Path) -> Path:
    return home / "history"


def catalog_path(home: Path) -> Path:  # command list and help texts: ``corvane help`` loads no module
    return home / "commands.json"


def new_download_path(home: Path) -> Path:
    """A fresh name for a frame the owner hands a script; see :data:`DOWNLOAD_NAME`."""
    import uuid  # only the owner makes these: a one-shot's start-up does without

    return home / f".download-{uuid.uuid4().hex}.parquet"
