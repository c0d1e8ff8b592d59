"""The key-value store commands read quote groups from, and its file."""

from __future__ import annotations

import errno
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from conftest import console_env
from ib_async import Stock

from corvane.cli import main
from corvane.kvstore import KeyValueStore, group_key


def test_groups_survive_a_restart_and_live_objects_stay_in_memory(tmp_path):
    path = tmp_path / "store.json"
    store = KeyValueStore(path)
    store[group_key("tech")] = {"AAPL", "MSFT"}
    store[group_key("futs")] = ["/ES"]
    store[group_key("live")] = {"contracts": [Stock("AAPL", "SMART", "USD")]}
    store["scratch"] = 1

    again = KeyValueStore(path)
    assert again.get(group_key("tech")) == ["AAPL", "MSFT"]  # the file's order
    assert again.get(group_key("futs")) == ["/ES"]
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


def test_group_keeps_the_order_typed_and_says_what_it_replaced(private_home, capsys):
    def group(*words: str) -> tuple[int, str]:
        status = main(["--no-gateway", "group", *words])
        return status, capsys.readouterr().out.strip()

    assert group("tech", "msft", "aapl", "MSFT") == (0, "group tech: MSFT AAPL")
    assert group("tech", "AAPL", "ZZZZ") == (0, "replaced tech (was MSFT AAPL): now AAPL ZZZZ")
    assert group("tech", "AAPL", "ZZZZ") == (0, "group tech: AAPL ZZZZ (unchanged)")
    assert group("tech", "") == (2, "")
    # Still a JSON list of symbols, as every reader of the file expects.
    path = private_home / "store.json"
    assert json.loads(path.read_text()) == {"groups": {"tech": ["AAPL", "ZZZZ"]}}
    assert KeyValueStore(path).get(group_key("tech")) == ["AAPL", "ZZZZ"]


def _script(path, code: str) -> str:
    """``code`` to run in another process, with ``store`` open on ``path``."""
    return (f"from corvane.kvstore import KeyValueStore, group_key\n"
            f"store = KeyValueStore({str(path)!r})\n{textwrap.dedent(code)}")


class TestConsolesSharingOneFile:
    def test_each_saves_only_its_own_changes_and_unknown_keys_stay(self, tmp_path):
        path = tmp_path / "store.json"
        path.write_text(json.dumps({"groups": {"old": ["IBM"]}, "written_by": {"version": 9}}))
        first, second = KeyValueStore(path), KeyValueStore(path)
        first[group_key("tech")] = {"AAPL"}
        second[group_key("energy")] = {"XOM"}
        del second[group_key("old")]
        assert json.loads(path.read_text()) == {"groups": {"energy": ["XOM"], "tech": ["AAPL"]},
                                                "written_by": {"version": 9}}

    def test_two_processes_saving_at_once_lose_nothing(self, tmp_path):
        path = tmp_path / "store.json"
        # Both start saving when the go file appears (no clock: each process may see another time).
        go = tmp_path / "go"
        code = """
            import pathlib, sys, time
            while not pathlib.Path(sys.argv[1]).exists():
                time.sleep(0.005)
            for i in range(15):
                store[group_key(f"{sys.argv[2]}{i}")] = {"X"}
        """
        children = [subprocess.Popen([sys.executable, "-c", _script(path, code), str(go), tag],
                                     env=console_env(tmp_path)) for tag in ("a", "b")]
        time.sleep(1.0)  # both started and waiting
        go.touch()
        assert [c.wait(timeout=60) for c in children] == [0, 0]
        assert len(KeyValueStore(path).groups()) == 30

    def test_a_save_killed_before_the_rename_leaves_the_previous_file(self, tmp_path):
        path = tmp_path / "store.json"
        KeyValueStore(path)[group_key("tech")] = {"AAPL"}
        before = path.read_text()
        killed = subprocess.run([sys.executable, "-c", _script(path, """
            import os, signal
            os.replace = lambda *a: os.kill(os.getpid(), signal.SIGKILL)
            store[group_key("energy")] = {"XOM"}
        """)], env=console_env(tmp_path), timeout=60)
        assert killed.returncode == -signal.SIGKILL
        assert path.read_text() == before
        assert list(tmp_path.glob(".store-*.json"))  # what the killed save left
        KeyValueStore(path)[group_key("energy")] = {"XOM"}
        assert KeyValueStore(path).groups() == ["energy", "tech"]
        assert not list(tmp_path.glob(".store-*.json"))


def _unreadable_store(path, kind: str) -> None:
    if kind == "not UTF-8":
        path.write_bytes(b'\xff{"groups": {}}')
    elif kind == "deeply nested":
        path.write_text("[" * 100_000 + "]" * 100_000)
    elif kind == "a FIFO":
        os.mkfifo(path)
    elif kind == "a directory":
        path.mkdir()


class TestTheConsoleWithAStoreItCannotUse:
    @pytest.mark.parametrize("kind", ["not UTF-8", "deeply nested", "a FIFO", "a directory"])
    def test_help_works_and_a_group_change_exits_1_leaving_the_file(self, private_home, capsys, kind):
        private_home.mkdir()
        path = private_home / "store.json"
        _unreadable_store(path, kind)
        before = path.read_bytes() if path.is_file() else None

        assert main(["--no-gateway", "help"]) == 0
        out, err = capsys.readouterr()
        assert "Commands:" in out
        assert "changes stay in memory and the file is left as it is" in err

        assert main(["group", "tech", "aapl"]) == 1
        assert "Traceback" not in capsys.readouterr().err
        assert (path.read_bytes() if path.is_file() else None) == before

    def test_a_save_that_fails_exits_1_and_the_next_save_succeeds(self, private_home, capsys, monkeypatch):
        assert main(["group", "tech", "aapl"]) == 0

        def disk_full(fd):
            raise OSError(errno.ENOSPC, "No space left on device")

        with monkeypatch.context() as patched:
            patched.setattr(os, "fsync", disk_full)
            assert main(["group", "energy", "xom"]) == 1
        assert "not saved" in capsys.readouterr().err
        assert KeyValueStore(private_home / "store.json").groups() == ["tech"]
        assert not list(private_home.glob(".store-*"))
        assert main(["group", "energy", "xom"]) == 0
        assert KeyValueStore(private_home / "store.json").groups() == ["energy", "tech"]
