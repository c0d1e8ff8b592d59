"""What the tessik command lists and logs for the quote groups in the console's store."""

from __future__ import annotations

import asyncio
from types import SimpleNamespace

import pandas as pd
import pytest
from ib_async import Contract, Future
from loguru import logger

import corvane.cmds.quote_mgmt.tessik as tessik


def live(symbol):
    return SimpleNamespace(ticker=SimpleNamespace(contract=Contract(symbol=symbol, localSymbol=symbol)))


def listing(store, quotes=(), groups=()):
    op = tessik.IOpQuoteList(state=SimpleNamespace(quoteState=dict(enumerate(quotes))), cache=store)
    op.groups = set(groups)
    result = asyncio.run(op.run())
    assert list(result) == ["result"] and list(result["result"]) == ["groups"]
    return result["result"]["groups"]


class Recorder:
    """Stands in for the module's logger, keeping each call's level, template and arguments."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, level):
        return lambda template, *args: self.calls.append((level, template, *args))


@pytest.fixture
def log_calls(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(tessik, "logger", recorder)
    return recorder.calls


CONTRACTS = [
    Contract(symbol="MSFT", localSymbol="MSFT", conId=30),
    Future(symbol="ES", localSymbol="ES  Z5", conId=20),
    Contract(symbol="AAPL", localSymbol="AAPL", conId=10),
]

STORE = {
    ("quotes", "tech"): {"contracts": CONTRACTS},
    ("quotes", "notes"): {"owner": "me"},
    ("quotes", "fx"): {"EUR", "CHF", "AUD"},
    ("quotes", "energy"): ["XOM", "CVX"],
    ("quotes", "odd"): "AAPL",
    ("settings", "theme"): ["dark"],
}


def test_every_kind_of_group_value():
    groups = listing(STORE, quotes=[live("MSFT"), live("CHF"), live("CVX"), live("IBM")])
    assert list(groups) == ["energy", "fx", "notes", "odd", "tech"]
    assert groups == {
        "energy": {"symbols": ["CVX", "XOM"], "live": ["CVX"]},
        "fx": {"symbols": ["AUD", "CHF", "EUR"], "live": ["CHF"]},
        "notes": {"symbols": [], "live": []},
        "odd": {"symbols": [], "live": []},
        "tech": {"symbols": ["/ES", "AAPL", "MSFT"], "live": ["MSFT"]},
    }


def test_named_groups_are_listed_sorted_even_when_not_stored():
    assert listing(STORE, groups={"tech", "absent"}) == {
        "absent": {"symbols": [], "live": []},
        "tech": {"symbols": ["/ES", "AAPL", "MSFT"], "live": []},
    }


def test_only_entries_with_ticker_and_contract_count_as_live():
    quotes = [None, SimpleNamespace(ticker=None), SimpleNamespace(ticker=SimpleNamespace(contract=None)), live("XOM")]
    assert listing(STORE, quotes=quotes, groups={"energy"})["energy"]["live"] == ["XOM"]


def test_live_quotes_are_read_again_for_each_group():
    quote_state = {}

    class Store(dict):
        reads = 0

        def get(self, key, default=None):
            # The second read of "b" is the listing's: a quote arriving then
            # must show for "b" but not for "a", listed before it.
            if key == ("quotes", "b"):
                Store.reads += 1
                if Store.reads == 2:
                    quote_state["new"] = live("X")
            return super().get(key, default)

    op = tessik.IOpQuoteList(state=SimpleNamespace(quoteState=quote_state),
                             cache=Store({("quotes", "a"): ["X"], ("quotes", "b"): ["X"]}))
    op.groups = set()
    groups = asyncio.run(op.run())["result"]["groups"]
    assert groups["a"]["live"] == [] and groups["b"]["live"] == ["X"]


def test_log_templates_and_arguments(log_calls):
    listing(STORE, groups={"tech", "fx", "energy", "absent", "notes"})
    pf = tessik.pp.pformat
    assert log_calls == [
        ("info", "Groups: {}", pf(["absent", "energy", "fx", "notes", "tech"])),
        ("debug", "[{}] Members: {}", "absent", pf([])),
        ("debug", "[{}] Members: {}", "energy", pf(["CVX", "XOM"])),
        ("debug", "[{}] Members: {}", "fx", pf({"EUR", "CHF", "AUD"})),
        ("debug", "[{}] Members: {}", "notes", pf({"owner": "me"})),
        ("debug", "[{}] Members (conIds): {}", "tech", "10 20 30"),
        ("debug", "[{}] Members: {}", "tech", pf({"contracts": CONTRACTS})),
    ]


def test_con_ids_ignore_spaces_and_keep_stored_order(log_calls):
    contracts = [Contract(localSymbol="ES Z5", conId=3), Contract(localSymbol="ESZ5", conId=1),
                 Contract(localSymbol="E S Z 5", conId=2), Contract(localSymbol="AB", conId=9)]
    listing({("quotes", "g"): {"contracts": contracts}}, groups={"g"})
    assert ("debug", "[{}] Members (conIds): {}", "g", "9 3 1 2") in log_calls


def test_levels_and_messages_through_loguru():
    seen = []
    sink = logger.add(lambda m: seen.append((m.record["level"].name, m.record["message"])), level="DEBUG")
    try:
        assert listing({}) == {}
        listing({("quotes", "g"): ["B", "A"]})
    finally:
        logger.remove(sink)
    assert seen == [("INFO", "Groups: []"), ("INFO", "Groups: ['g']"), ("DEBUG", "[g] Members: ['A', 'B']")]


def test_globals_are_read_at_call_time(monkeypatch):
    monkeypatch.setattr(tessik, "nameForContract", lambda c: c.localSymbol.lower())
    monkeypatch.setattr(tessik.pp, "pformat", lambda v: "shown")
    assert listing(STORE, quotes=[live("AAPL")], groups={"tech"})["tech"] == {
        "symbols": ["aapl", "es  z5", "msft"], "live": ["aapl"]}


def test_keys_without_a_group_name_are_skipped():
    store = {
        5: "an integer key",
        "": "an empty string key",
        ("quotes",): "no name",
        "quotes": "a plain string key",
        ("quotes", "extra", 1): ["B"],  # named "extra", read under ("quotes", "extra")
        ("other", "g"): ["C"],
        ("quotes", "g"): ["A"],
    }
    assert listing(store) == {"extra": {"symbols": [], "live": []}, "g": {"symbols": ["A"], "live": []}}


def test_a_key_whose_head_cannot_be_compared_is_skipped():
    class Refuses:
        def __eq__(self, other):
            raise ValueError("no comparison")

        __hash__ = object.__hash__

    store = {(pd.NA, "x"): ["Z"], (Refuses(), "y"): ["Z"], ("quotes", "tech"): ["AAPL"]}
    assert listing(store) == {"tech": {"symbols": ["AAPL"], "live": []}}


def test_other_failures_still_reach_the_console():
    class Broken:
        def __getitem__(self, index):
            raise ValueError("broken key")

    with pytest.raises(ValueError, match="broken key"):
        listing({Broken(): 1})
    with pytest.raises(TypeError):
        listing({("quotes", "mixed"): [1, "a"]})
    with pytest.raises(AttributeError):
        listing({("quotes", "g"): ["A"]}, quotes=[SimpleNamespace(no_ticker=True)])
