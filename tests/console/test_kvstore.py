"""The key-value store commands read quote groups from, and its file."""

from __future__ import annotations

import json

from ib_async import Stock

from corvane.kvstore import KeyValueStore, group_key


def test_groups_survive_a_restart_and_live_objects_stay_in_memory(tmp_path):
    path = tmp_path / "store.json"
    store = KeyValueStore(path)
    store[group_key("tech")] = {"AAPL", "MSFT"}
    store[group_key("futs")] = ["/ES"]
    store[group_key("live")] = {"contracts": [Stock("AAPL", "SMART", "USD")]}
    store["scratch"] = 1

    again = KeyValueStore(path)
    assert again.get(group_key("tech")) == {"AAPL", "MSFT"}
    assert again.get(group_key("futs")) == {"/ES"}
    assert again.get(group_key("live"), []) == []
    assert sorted(k for k in again if k[0] == "quotes") == [("quotes", "futs"), ("quotes", "tech")]

    del again[group_key("tech")]
    assert KeyValueStore(path).groups() == ["futs"]


def test_an_unreadable_file_is_never_overwritten(tmp_path):
    path = tmp_path / "store.json"
    path.write_text('{"groups": {"tech": ["AAPL"')  # cut short
    store = KeyValueStore(path)
    store[group_key("new")] = {"X"}
    assert store.get(group_key("new")) == {"X"}
    assert path.read_text() == '{"groups": {"tech": ["AAPL"'


def test_iterating_while_a_command_changes_the_store(tmp_path):
    store = KeyValueStore()
    store[group_key("a")] = {"A"}
    for key in store:
        store[group_key("b")] = {"B"}
    assert store.groups() == ["a", "b"]
    assert not (tmp_path / "store.json").exists()


def test_file_is_plain_json_of_sorted_symbols(tmp_path):
    path = tmp_path / "deep" / "store.json"
    KeyValueStore(path)[group_key("tech")] = {"MSFT", "AAPL"}
    assert json.loads(path.read_text()) == {"groups": {"tech": ["AAPL", "MSFT"]}}
