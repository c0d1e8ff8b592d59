"""How the tessik module loads and how its command class looks to the console."""

from __future__ import annotations

import asyncio
import dataclasses
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import corvane.cmds.quote_mgmt.tessik as tessik
from corvane.cmds.base import COMMANDS
from ferrut.dispatch import bind_words

IOpQuoteList = tessik.IOpQuoteList

HELP = """Show current quote group names usable by other q* commands.

    Usage:
        tessik [group...]

    Arguments:
        * group: Filter to specific group names (optional)

    Returns:
        Quote group names displayed. No return value.

    Examples:
        # List all groups
        tessik

        # List specific groups
        tessik mygroup
    """


def test_registered_with_its_help_text():
    assert tessik.__doc__ == "Command: tessik\n\nCategory: Quote Management\n"
    assert COMMANDS["tessik"] is IOpQuoteList
    assert IOpQuoteList.__doc__ == HELP
    assert IOpQuoteList.requires_gateway is False
    assert [f.name for f in dataclasses.fields(IOpQuoteList) if f.init] == ["state", "ib", "cache"]


@pytest.mark.parametrize("words, groups", [([], set()), (["a", "b", "a"], {"a", "b"})])
def test_words_become_a_set_of_groups(words, groups):
    op = IOpQuoteList()
    bind_words(op, words)
    assert op.groups == groups


def test_methods_look_like_python_ones():
    assert inspect.iscoroutinefunction(IOpQuoteList.run) and asyncio.iscoroutinefunction(IOpQuoteList.run)
    assert not inspect.iscoroutinefunction(IOpQuoteList.argmap)
    assert str(inspect.signature(IOpQuoteList.run)) == "(self) -> 'dict'"
    assert str(inspect.signature(IOpQuoteList.argmap)) == "(self)"
    op = IOpQuoteList()
    for method in (op.argmap, op.run):
        with pytest.raises(TypeError):
            method("extra")


def test_loads_alone_once_and_refuses_a_second_interpreter():
    script = textwrap.dedent("""
        import importlib, sys, _xxsubinterpreters as interpreters
        first = importlib.import_module("corvane.cmds.quote_mgmt.tessik")
        assert "corvane.cmds.quotes.sorvel" not in sys.modules
        del sys.modules["corvane.cmds.quote_mgmt.tessik"]
        assert importlib.import_module("corvane.cmds.quote_mgmt.tessik") is first
        try:
            interpreters.run_string(interpreters.create(), "import corvane.cmds.quote_mgmt.tessik")
        except interpreters.RunFailedError as exc:
            print("refused:", exc)
    """)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, env=env)
    assert out.stdout.startswith("refused:") and "ImportError" in out.stdout, out.stdout + out.stderr
