"""Module globals are read by name at call time, methods are reached through
self, and the module is initialised once per process."""

from __future__ import annotations

import asyncio
import importlib
import os
import subprocess
import sys
import textwrap

import pandas as pd
import pytest

import corvane

# Where this process found the console, so child processes load the same build.
CONSOLE = os.path.dirname(os.path.dirname(corvane.__file__))


def yfinance_frame():
    index = pd.DatetimeIndex(["2025-01-02 09:30", "2025-01-02 09:31"], name="Datetime")
    return pd.DataFrame({"Open": [1.0, 2.0], "High": [1.0, 2.0], "Low": [1.0, 2.0],
                         "Close": [1.5, 2.5], "Volume": [10, 20]}, index=index.tz_localize("UTC"))


class RecordingCache:
    def __init__(self):
        self.stored = {}

    def get(self, key):
        return self.stored.get(key)

    def try_larger_count(self, *args):
        return None

    def set(self, key, records):
        self.stored[key] = records


class TestGlobalsAtCallTime:
    def test_printer_cache_accessor_and_frame_function_are_looked_up_per_call(
            self, sorvel, make_op, monkeypatch):
        printed, normalised = [], []
        cache = RecordingCache()
        monkeypatch.setattr(sorvel, "printFrame", lambda frame, title: printed.append(title))
        monkeypatch.setattr(sorvel, "_get_cache", lambda: cache)
        real_normalise = sorvel._normalize_yfinance_df
        monkeypatch.setattr(sorvel, "_normalize_yfinance_df",
                            lambda hist: normalised.append(len(hist)) or real_normalise(hist))

        async def download(**kwargs):
            return yfinance_frame()

        op = make_op(symbol="MSFT", _yf_history=download)
        result = asyncio.run(op._intraday_yfinance())
        assert result["source"] == "yfinance" and len(result["bars"]) == 2
        assert printed == ["MSFT Intraday [yfinance]"] and normalised == [2]
        assert list(cache.stored.values()) == [result["bars"]]

    def test_cache_slot_is_read_and_written_through_the_module(self, sorvel, monkeypatch):
        mine = RecordingCache()
        monkeypatch.setattr(sorvel, "_sorvel_cache", mine)
        assert sorvel._get_cache() is mine
        monkeypatch.setattr(sorvel, "_sorvel_cache", None)
        built = sorvel._get_cache()
        assert isinstance(built, sorvel.SorvelCache) and sorvel._sorvel_cache is built
        monkeypatch.setattr(sorvel, "SorvelCache", RecordingCache)
        monkeypatch.setattr(sorvel, "_sorvel_cache", None)
        assert isinstance(sorvel._get_cache(), RecordingCache)

    def test_word_classifier_is_looked_up_per_call(self, sorvel, make_op, monkeypatch):
        seen = []

        async def latest(rest):
            return {"mode": "latest"}

        async def history(rest):
            return {"mode": "range"}

        op = make_op(_sorvel_yfinance=latest, _history_yfinance=history)
        assert asyncio.run(op._run_yfinance(["someday"]))["mode"] == "latest"
        monkeypatch.setattr(sorvel, "_is_date", lambda s: seen.append(s) or s == "someday")
        assert asyncio.run(op._run_yfinance(["someday"]))["mode"] == "range"
        assert seen == ["someday"]

    def test_tables_are_looked_up_per_call(self, sorvel, monkeypatch):
        assert sorvel._is_period("fortnight") is False
        monkeypatch.setattr(sorvel, "PERIOD_MAP", {"fortnight": "2 weeks"})
        assert sorvel._is_period("fortnight") is True and sorvel._is_period("day") is False

    def test_is_period_replacement_changes_how_words_are_read(self, sorvel, make_op, monkeypatch):
        cache = RecordingCache()
        monkeypatch.setattr(sorvel, "_get_cache", lambda: cache)
        requested = []

        async def download(**kwargs):
            requested.append(kwargs)
            return None

        op = make_op(_yf_history=download)
        monkeypatch.setattr(sorvel, "_is_period", lambda s: False)
        result = asyncio.run(op._sorvel_yfinance(["5m", "3"]))
        # "5m" is no longer a period: it is taken as the adjustment word.
        assert result["error"] and requested[0]["interval"] == "1d"

    def test_deleted_global_is_a_name_error(self, sorvel, monkeypatch):
        monkeypatch.delattr(sorvel, "PERIOD_MAP")
        with pytest.raises(NameError, match="name 'PERIOD_MAP' is not defined"):
            sorvel._is_period("day")


class TestMethodsThroughSelf:
    def test_instance_attribute_replaces_a_method(self, make_op):
        async def mine(rest):
            return {"from": "instance"}

        assert asyncio.run(make_op(_run_yfinance=mine).run()) == {"from": "instance"}

    def test_class_attribute_replaces_a_method_for_every_instance(self, sorvel, make_op, monkeypatch):
        async def mine(self, rest):
            return {"from": "class", "symbol": self.symbol}

        monkeypatch.setattr(sorvel.IOpSorvel, "_run_yfinance", mine)
        assert asyncio.run(make_op(symbol="IBM").run()) == {"from": "class", "symbol": "IBM"}


class TestLoadedOnce:
    def test_second_import_reload_and_reimport_keep_one_module_and_one_cache(self, sorvel, monkeypatch):
        from corvane.cmds.base import COMMANDS

        cache, cls, tables = sorvel._get_cache(), sorvel.IOpSorvel, sorvel.PERIOD_MAP
        import corvane.cmds.quotes.sorvel as again
        assert again is sorvel
        assert importlib.reload(sorvel) is sorvel
        monkeypatch.delitem(sys.modules, "corvane.cmds.quotes.sorvel")
        reimported = importlib.import_module("corvane.cmds.quotes.sorvel")
        assert reimported is sorvel
        assert sorvel._get_cache() is cache and sorvel.IOpSorvel is cls and sorvel.PERIOD_MAP is tables
        assert COMMANDS["sorvel"] is cls


def run_python(code):
    env = dict(os.environ, PYTHONPATH=CONSOLE)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=120)


class TestLoadingInFreshProcesses:
    def test_second_interpreter_is_refused(self):
        done = run_python("""
            import sys, _xxsubinterpreters as interpreters
            import corvane.cmds.quotes.sorvel
            for isolated in (True, False):
                interp = interpreters.create(isolated=isolated)
                try:
                    interpreters.run_string(interp, "import sys; sys.path[:0] = %r\\n"
                                            "import corvane.cmds.quotes.sorvel" % (sys.path,))
                except interpreters.RunFailedError as exc:
                    print("refused:", exc)
                finally:
                    interpreters.destroy(interp)
        """)
        assert done.returncode == 0, done.stderr
        lines = done.stdout.splitlines()
        assert len(lines) == 2
        assert all("ImportError" in line and "subinterpreters" in line for line in lines)

    def test_loads_without_yfinance_and_does_not_import_it(self):
        done = run_python("""
            import sys
            sys.modules["yfinance"] = None
            import corvane.cmds.quotes.sorvel as m
            print("yfinance" in vars(m), "os" in vars(m), sys.modules["yfinance"] is None)
        """)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["False", "False", "True"]

    def test_a_failing_import_fails_the_module_with_that_error(self):
        done = run_python("""
            import sys
            sys.modules["loguru"] = None
            try:
                import corvane.cmds.quotes.sorvel
            except ImportError as exc:
                print(type(exc).__name__, exc.name)
        """)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["ModuleNotFoundError", "loguru"]
