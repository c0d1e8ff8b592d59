"""Tab completion at the prompt: what is offered at each position of a line."""

from __future__ import annotations

import pytest

from corvane.completion import Completer

HISTORY = ["sorvel aapl day 100", "group tech MSFT nvda", "sorvel AMD 5m", "help", "sorvel aapl"]


def offered(line: str) -> list[str]:
    completer = Completer(("help", "cache", "exit"), lambda: ["tech", "energy"], lambda: HISTORY,
                          lambda: line)
    text = "" if line.endswith(" ") else line.split()[-1]
    found, state = [], 0
    while (word := completer.complete(text, state)) is not None:
        found.append(word)
        state += 1
    return found


@pytest.mark.parametrize("line, words", [
    ("fakeb", ["fakebars", "fakeboom"]),
    ("ca", ["cache"]),
    ("help fakeb", ["fakebars", "fakeboom"]),
    ("cache ", ["clear", "info"]),
    ("sorvel A", ["AAPL", "AMD"]),
    ("sorvel N", ["NVDA"]),
    ("sorvel AAPL m", ["m", "minute", "month"]),
    ("sorvel AAPL day 100 a", ["adj"]),
    ("sorvel AAPL y", ["y", "year", "yesterday"]),
    ("tessik ", ["energy", "tech"]),
    ("ungroup t", ["tech"]),
    ("group tech M", ["MSFT"]),
    ("nosuch x", []),
])
def test_each_position_is_offered_what_fits_there(line, words):
    assert offered(line) == words
