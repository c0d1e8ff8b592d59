"""Shared pieces of the console tests: the fake commands, a private home, and a closed port."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest

import corvane

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import fake_commands  # noqa: E402  (registers the fake commands)

#: Where this test run imports the console from (the source tree or the installed package);
#: child processes use the same.
CONSOLE = Path(corvane.__file__).resolve().parents[1]


@pytest.fixture(autouse=True)
def private_home(tmp_path, monkeypatch) -> Path:
    """Each test gets its own history and saved groups, and no gateway settings from outside."""
    home = tmp_path / "home"
    monkeypatch.setenv("CORVANE_HOME", str(home))
    for name in ("CORVANE_IB_HOST", "CORVANE_IB_PORT", "CORVANE_IB_CLIENT_ID", "CORVANE_IB_TIMEOUT"):
        monkeypatch.delenv(name, raising=False)
    fake_commands.SEEN.clear()
    return home


@pytest.fixture
def closed_port() -> int:
    """A port on 127.0.0.1 that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def console_env(home: Path, **extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_") or k == "CORVANE_NOW"}
    env["PYTHONPATH"] = os.pathsep.join([str(CONSOLE), str(HERE)])
    env["CORVANE_HOME"] = str(home)
    env["CORVANE_COMMAND_MODULES"] = "fake_commands"
    env.update(extra)
    return env


def run_console(home: Path, *args: str, stdin: str | None = None, **env: str):
    """``python -m corvane ARGS`` in a child process; the completed process."""
    return subprocess.run([sys.executable, "-m", "corvane", *args], input=stdin,
                          capture_output=True, text=True, timeout=60, env=console_env(home, **env))
