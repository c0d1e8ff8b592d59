"""What a type checker sees of the native modules: their stubs match what the
modules really hold, and code written against them checks under --strict."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import corvane

MODULES = ["corvane.cmds.quotes.sorvel", "corvane.cmds.quote_mgmt.tessik"]

# The console's own modules are not written for --strict; only what the
# stubs say is under test. pandas, prettyprinter and yfinance ship no types.
CONFIG = """\
[mypy]
strict = True
[mypy-corvane.*,ferrut.*]
follow_imports = silent
[mypy-corvane.cmds.quotes.sorvel,corvane.cmds.quote_mgmt.tessik]
follow_imports = normal
[mypy-pandas.*,prettyprinter.*,yfinance.*]
ignore_missing_imports = True
"""

CONSUMER = '''\
import asyncio
from typing import Any

from corvane.cmds.quote_mgmt.tessik import IOpQuoteList
from corvane.cmds.quotes import sorvel


async def latest(op: sorvel.IOpSorvel) -> list[dict[str, Any]]:
    op.symbol = "AAPL"
    op.rest = ["day", "100"]
    result = await op.run()
    bars: list[dict[str, Any]] = result.get("bars", [])
    return bars


def live_groups(op: IOpQuoteList) -> list[str]:
    op.groups = {"tech"}
    listing = asyncio.run(op.run())
    return [name for name, entry in listing["result"]["groups"].items() if entry["live"]]


def words() -> list[str]:
    op = sorvel.IOpSorvel(state=None, ib=None, cache=None)
    return [arg.name for arg in op.argmap()] + sorted(sorvel.PERIOD_MAP) + [sorvel._calc_duration(400)]
'''

MISUSE = '''\
from corvane.cmds.quotes import sorvel

sorvel._calc_duration("400")
'''


def _mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    (tmp_path / "mypy.ini").write_text(CONFIG)
    env = dict(os.environ)
    # An installed console is found as a typed package (py.typed); a source
    # tree or the sanitizer's copy is named on the search path.
    where = Path(corvane.__file__).resolve().parents[1]
    installed = {Path(sysconfig.get_path(k)).resolve() for k in ("purelib", "platlib")}
    if where not in installed:
        env["MYPYPATH"] = str(where)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(where), env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)


def test_stubs_match_the_modules(tmp_path):
    done = _mypy(tmp_path, "mypy.stubtest", "--mypy-config-file", "mypy.ini", *MODULES)
    assert done.returncode == 0, done.stdout + done.stderr


def test_a_consumer_checks_strictly_and_misuse_is_caught(tmp_path):
    (tmp_path / "consumer.py").write_text(CONSUMER)
    (tmp_path / "misuse.py").write_text(MISUSE)
    done = _mypy(tmp_path, "mypy", "--config-file", "mypy.ini", "consumer.py")
    assert done.returncode == 0, done.stdout + done.stderr
    done = _mypy(tmp_path, "mypy", "--config-file", "mypy.ini", "misuse.py")
    assert done.returncode == 1 and 'misuse.py:3: error: Argument 1 to "_calc_duration" has incompatible type' \
        in done.stdout, done.stdout + done.stderr
