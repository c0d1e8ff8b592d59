"""Tab completion at the prompt: what is offered at each position of a line."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from corvane import commands
from corvane.completion import Completer
from corvane.kvstore import KeyValueStore
from corvane.shell import _start_line_editing

HISTORY = ["sorvel aapl day 100", "group tech MSFT nvda", "sorvel AMD 5m", "help", "sorvel aapl"]


@pytest.fixture(autouse=True)
def command_modules_loaded():
    """What is offered after a command's word comes from its module, loaded whatever ran before."""
    commands.load_command_modules()


def offered(line: str) -> list[str]:
    completer = Completer(lambda: ["tech", "energy"], lambda: HISTORY, lambda: line)
    text = "" if line.endswith(" ") else line.split()[-1]
    found, state = [], 0
    while (word := completer.complete(text, state)) is not None:
        found.append(word)
        state += 1
    return found


@pytest.mark.parametrize("line, words", [
    ("fakeb", ["fakebars", "fakeboom"]),
    ("ca", ["cache "]),
    ("help fakeb", ["fakebars", "fakeboom"]),
    ("cache ", ["clear", "info"]),
    ("sorvel A", ["AAPL", "AMD"]),
    ("sorvel N", ["NVDA "]),
    ("sorvel AAPL m", ["m", "minute", "month"]),
    ("sorvel AAPL day 100 a", ["adj "]),
    ("sorvel AAPL y", ["y", "year", "yesterday"]),
    ("tessik ", ["energy", "tech"]),
    ("ungroup t", ["tech "]),
    ("group tech M", ["MSFT "]),
    ("nosuch x", []),
])
def test_each_position_is_offered_what_fits_there(line, words):
    assert offered(line) == words


def test_a_whole_word_ends_with_a_space_and_groups_keep_their_mark(tmp_path):
    # readline inserts what the completer returns: the space is what lets the next Tab
    # start the next word, and the "@" is what makes quote read a group, not a symbol.
    assert offered("sorvel AAPL") == ["AAPL "]
    assert offered("quote ") == ["@energy", "@tech", "AAPL", "AMD", "MSFT", "NVDA"]
    assert offered("quote @t") == ["@tech "]
    assert offered("unquote AAPL @") == ["@energy", "@tech"]
    assert offered("help ex") == ["exit", "export"]
    readline = pytest.importorskip("readline")
    before = readline.get_completer(), readline.get_completer_delims()
    try:
        _start_line_editing(tmp_path / "history", SimpleNamespace(store=KeyValueStore()))
        assert not set("@/-") & set(readline.get_completer_delims())
    finally:
        readline.set_completer(before[0])
        readline.set_completer_delims(before[1])
