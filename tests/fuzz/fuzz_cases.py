"""Random inputs for both commands and what every outcome must look like.

A case is made from a seeded generator, so a finding is reproduced from its
seed and index alone. The word lists mix what a user types (period words in
any case, counts, dates, "today") with what a careless paste or a hostile
script brings (huge numbers, control characters, lone surrogates, digits of
other scripts). Each `sorvel` case runs against one of the doubles of the
query tests: no gateway, a gateway that answers, one that fails, one that
hangs until the command is cancelled.
"""

from __future__ import annotations

import asyncio
import gc
import random
import sys
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace

import pandas as pd
from ib_async import Contract, Future

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "sorvel_queries"))
from sorvel_q_doubles import (  # noqa: E402
    FakeIB, FakeState, FakeYFinance, LoggerSpy, Printer, daily_bars, future, minute_bars, stock, yf_daily_frame,
    yf_minute_frame,
)

import corvane.cmds.quote_mgmt.tessik as tessik  # noqa: E402
import corvane.cmds.quotes.sorvel as sorvel  # noqa: E402

COLUMNS = ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
PERIODS = list(sorvel.PERIOD_MAP)
SCENARIOS = ("disconnected", "connected", "failing", "cancelling")
# What the Python code the commands stand for lets out of run() for words a
# user can type: an impossible date (fromisoformat) and an unrepresentable
# count on the Yahoo path. Anything else is a fault of ours.
USER_ERRORS = (ValueError, OverflowError)
QUIET = SimpleNamespace(**{level: (lambda *args: None) for level in ("debug", "info", "warning", "error")})


def _cased(rng: random.Random, word: str) -> str:
    pick = rng.random()
    if pick < 0.6:
        return word
    if pick < 0.8:
        return word.upper()
    return "".join(c.upper() if rng.random() < 0.5 else c for c in word)


def _number(rng: random.Random) -> str:
    forms = [
        lambda: str(rng.randint(-5, 400)),
        lambda: str(rng.randint(1, 10**6)),
        lambda: str(10 ** rng.randint(18, 400)),
        lambda: "-" + str(10 ** rng.randint(1, 30)),
        lambda: f" {rng.randint(1, 99)}\n",
        lambda: "1_000",
        lambda: "1__0",
        lambda: "٣٠",            # Arabic-Indic digits: int() takes them
        lambda: "１２",           # fullwidth digits
        lambda: "1e3",
        lambda: "0x10",
        lambda: "+7",
        lambda: "9" * rng.randint(4000, 5000),  # beyond int()'s digit limit
    ]
    return rng.choice(forms)()


def _date(rng: random.Random) -> str:
    y, m, d = rng.randint(1, 9999), rng.randint(0, 14), rng.randint(0, 33)
    forms = [
        lambda: f"{rng.randint(2018, 2026):04d}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
        lambda: f"{y:04d}-{m:02d}-{d:02d}",
        lambda: "2025-02-30",
        lambda: "0000-01-01",
        lambda: "9999-12-31",
        lambda: "2025-01-01\n",
        lambda: "٢٠٢٥-٠١-٠١",
        lambda: "2025-1-1",
        lambda: "2025/01/01",
        lambda: rng.choice(["today", "yesterday", "Today", "YESTERDAY"]),
    ]
    return rng.choice(forms)()


def _junk(rng: random.Random) -> str:
    alphabet = "aZ09 -_/.\t\n\r\x00\x07\x1b\x7f\u00e9\u2192\u200b\ufeff\U0001f4c8\ud800\udfff{}%"
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12)))


def word(rng: random.Random) -> str:
    pick = rng.random()
    if pick < 0.3:
        return _cased(rng, rng.choice(PERIODS))
    if pick < 0.5:
        return _number(rng)
    if pick < 0.7:
        return _date(rng)
    if pick < 0.8:
        return rng.choice(["adj", "forward", "Adj", "none", "intraday", "Intraday"])
    return _junk(rng)


def word_list(rng: random.Random) -> list[str]:
    words = [word(rng) for _ in range(rng.choice((0, 1, 1, 2, 2, 3, 3, 4, 5)))]
    if rng.random() < 0.1:
        words.insert(0, "intraday")  # the only mode chosen by one exact word
    return words


@dataclass
class SorvelCase:
    symbol: str
    words: list[str]
    scenario: str
    bars: int              # gateway and Yahoo answers of this many rows (0: none)
    intraday_bars: bool
    failure: BaseException | None = None


def sorvel_case(rng: random.Random) -> SorvelCase:
    symbol = rng.choice(["AAPL", "ES", "brk b", _junk(rng) or "X"] * 4 + [""])
    failure = rng.choice([RuntimeError("gateway gone"), ConnectionError("reset"), ValueError("bad"),
                          KeyError("conId")])
    return SorvelCase(symbol=symbol, words=word_list(rng), scenario=rng.choice(SCENARIOS),
                      bars=rng.choice((0, 1, 3)), intraday_bars=rng.random() < 0.3, failure=failure)


@dataclass
class Findings:
    """Cases that broke a rule, each with the reason and its reproducer."""
    items: list[tuple[str, object]] = field(default_factory=list)

    def add(self, reason: str, case: object) -> None:
        self.items.append((reason, case))

    def __bool__(self) -> bool:
        return bool(self.items)

    def __str__(self) -> str:
        return "\n".join(f"{reason}: {case!r}" for reason, case in self.items)


class SorvelDriver:
    """Runs sorvel cases on one event loop with the module's printer, logger,
    yfinance and cache slot replaced; `close()` puts them back."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.yf = FakeYFinance()
        self.calls: list[tuple] = []
        self.printer = Printer([])
        self._made: dict = {}
        self._saved = {name: getattr(sorvel, name) for name in ("printFrame", "logger", "_sorvel_cache")}
        self._saved_yf = sys.modules.get("yfinance")
        sorvel.printFrame = self.printer
        sorvel.logger = LoggerSpy(QUIET, self.calls)
        sys.modules["yfinance"] = self.yf.module

    def close(self) -> None:
        for name, value in self._saved.items():
            setattr(sorvel, name, value)
        if self._saved_yf is None:
            sys.modules.pop("yfinance", None)
        else:
            sys.modules["yfinance"] = self._saved_yf
        self.loop.run_until_complete(self.loop.shutdown_default_executor())
        self.loop.close()

    def _answers(self, case: SorvelCase):
        # Built once per shape: making frames costs more than the commands.
        shape = (case.bars, case.intraday_bars)
        if shape not in self._made:
            if case.intraday_bars:
                self._made[shape] = minute_bars(case.bars), yf_minute_frame(case.bars)
            else:
                self._made[shape] = daily_bars(case.bars), yf_daily_frame(case.bars)
        bars, frame = self._made[shape]
        return type(bars)(bars), frame.copy()

    def _command(self, case: SorvelCase):
        bars, frame = self._answers(case)
        contract = future() if case.symbol == "ES" else stock(case.symbol or "X")
        answer = (case.symbol, contract)
        state, ib = FakeState(answer), FakeIB(bars)
        if case.scenario == "disconnected":
            state.connected = False
        elif case.scenario == "failing":
            if case.bars % 2:
                ib.raises = case.failure
            else:
                state.raises = case.failure
        elif case.scenario == "cancelling":
            if case.bars % 2:
                ib.hang = True
            else:
                state.hang = True
        self.yf.answer = frame if case.bars else None
        cmd = sorvel.IOpSorvel(state=state, ib=ib, cache=None)
        cmd.symbol = case.symbol
        cmd.rest = list(case.words)
        return cmd

    async def _invoke(self, cmd, cancel: bool):
        task = asyncio.ensure_future(cmd.run())
        if cancel:
            for _ in range(3):
                await asyncio.sleep(0)
            task.cancel()
        return await task

    def run(self, case: SorvelCase, findings: Findings, *, repeat: int = 2) -> int:
        """Runs the case `repeat` times on one fresh cache (the repeats meet
        the cache); returns the number of invocations."""
        sorvel._sorvel_cache = None
        for _ in range(repeat):
            self.calls.clear()
            cmd = self._command(case)
            cancel = case.scenario == "cancelling"
            try:
                result = self.loop.run_until_complete(self._invoke(cmd, cancel))
            except asyncio.CancelledError:
                if not cancel:
                    findings.add("cancelled without a cancel", case)
                continue
            except USER_ERRORS:
                continue
            except BaseException as exc:  # noqa: BLE001 - every other exception is a finding
                findings.add(f"raised {type(exc).__name__}: {exc}", case)
                continue
            problem = result_problem(result) or log_problem(self.calls)
            if problem:
                findings.add(problem, case)
        return repeat


def result_problem(result) -> str | None:
    """What is wrong with a result record, or None."""
    if type(result) is not dict:
        return f"result is {type(result).__name__}"
    if "error" in result:
        return None if type(result["error"]) is str else "error is not text"
    # A cache hit of the Yahoo path names no source; every other answer does.
    if result.get("source") not in ("ibkr", "yfinance", "cache") and result.get("cached") is not True:
        return f"source {result.get('source')!r}"
    bars = result.get("bars")
    if type(bars) is not list:
        return "bars is not a list"
    if "count" in result and result["count"] != len(bars):
        return "count differs from the bars"
    for record in bars:
        if type(record) is not dict or list(record) != COLUMNS:
            return f"malformed record {record!r}"
    return None


def log_problem(calls) -> str | None:
    for level, template, args in calls:
        if type(template) is not str or template.count("{}") != len(args):
            return f"log {level} {template!r} with {len(args)} arguments"
    return None


# -- direct calls -------------------------------------------------------------

# The module functions and methods as a caller outside the commands may call
# them: any arguments, by position or keyword. Binding and type checks refuse
# with TypeError; the bodies raise what the Python code would.
CALL_ERRORS = (TypeError, ValueError, OverflowError)
FUNCTIONS = ["_is_date", "_is_period", "_parse_date", "_calc_duration", "_get_cache"]
METHODS = ["_sorvel", "_history", "_intraday", "_yf_history", "_run_yfinance", "_sorvel_yfinance",
           "_history_yfinance", "_intraday_yfinance", "run", "argmap"]
NAMES = ["s", "back_days", "rest", "contract", "self", "kwargs", "x", "period"]
RESULT_TYPES = {"_is_date": bool, "_is_period": bool, "_calc_duration": str}


def _value(rng: random.Random):
    return rng.choice([
        lambda: word(rng), lambda: rng.randint(-10**6, 10**6), lambda: 10**rng.randint(300, 400), lambda: True,
        lambda: None, lambda: 1.5, lambda: float("nan"), lambda: word_list(rng), lambda: tuple(word_list(rng)),
        lambda: type("Words", (list,), {})(word_list(rng)), lambda: pd.NA, lambda: b"2025-01-01",
        lambda: stock(), lambda: {"s": "x"},
    ])()


@dataclass
class CallCase:
    name: str
    args: list
    kwargs: dict


# Calls shaped as the declarations want them, so that most reach the bodies.
WELL_FORMED = {
    "_is_date": lambda rng: [word(rng)], "_is_period": lambda rng: [word(rng)],
    "_parse_date": lambda rng: [_date(rng)], "_get_cache": lambda rng: [],
    "_calc_duration": lambda rng: [rng.choice([rng.randint(-400, 4000), 10**rng.randint(15, 400)])],
}


def call_case(rng: random.Random) -> CallCase:
    name = rng.choice(FUNCTIONS + METHODS)
    if name in WELL_FORMED and rng.random() < 0.6:
        return CallCase(name, WELL_FORMED[name](rng), {})
    args = [_value(rng) for _ in range(rng.choice((0, 1, 1, 1, 2, 3)))]
    kwargs = {rng.choice(NAMES): _value(rng) for _ in range(rng.choice((0, 0, 1, 2)))}
    return CallCase(name, args, kwargs)


def run_call(case: CallCase, findings: Findings) -> int:
    if case.name in METHODS:
        target = getattr(sorvel.IOpSorvel(state=None, ib=None, cache=None), case.name)
    else:
        target = getattr(sorvel, case.name)
    try:
        result = target(*case.args, **case.kwargs)
    except CALL_ERRORS:
        return 1
    except BaseException as exc:  # noqa: BLE001
        findings.add(f"raised {type(exc).__name__}: {exc}", case)
        return 1
    if asyncio.iscoroutine(result):
        result.close()  # bound and checked; running them is the word lists' part
    elif case.name in RESULT_TYPES and type(result) is not RESULT_TYPES[case.name]:
        findings.add(f"result {result!r}", case)
    return 1


# -- tessik ------------------------------------------------------------------

class Refuses:
    """A key element that cannot be compared, like pd.NA."""

    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = object.__hash__


def _symbol(rng: random.Random) -> str:
    return rng.choice(["AAPL", "MSFT", "ES", "ES  Z5", "", "x y", "\u00e9", "\ud800"]) + rng.choice(["", "1", " "])


def _contract(rng: random.Random) -> Contract:
    name = _symbol(rng)
    kind = Future if rng.random() < 0.3 else Contract
    return kind(symbol=name.strip(), localSymbol=name, conId=rng.randint(-1, 10**12))


def _group_value(rng: random.Random):
    pick = rng.randrange(7)
    if pick == 0:
        return {"contracts": [_contract(rng) for _ in range(rng.randint(0, 4))]}
    if pick == 1:
        return {_symbol(rng) for _ in range(rng.randint(0, 4))}
    if pick == 2:
        return [_symbol(rng) for _ in range(rng.randint(0, 4))]
    if pick == 3:
        return {"owner": "me"}
    if pick == 4:
        return rng.choice([None, 7, "AAPL", b"bytes", (1, 2)])
    if pick == 5:
        return [1, "A"]        # members that cannot be sorted
    return {"contracts": ()}


def _key(rng: random.Random):
    name = rng.choice(["tech", "energy", "fx", "", "\u2192", "g" * rng.randint(1, 40)])
    pick = rng.randrange(10)
    if pick < 5:
        return ("quotes", name)
    return rng.choice([
        ("quotes",), ("other", name), "quotes", "", 5, None, 3.5, (pd.NA, name), (Refuses(), name),
        ("quotes", name, 1), ("quotes", (1, 2)),
    ])


@dataclass
class TessikCase:
    store: dict
    groups: set
    quotes: list


def tessik_case(rng: random.Random) -> TessikCase:
    store = {}
    for _ in range(rng.randint(0, 8)):
        store[_key(rng)] = _group_value(rng)
    groups = set()
    if rng.random() < 0.3:
        groups = {rng.choice(["tech", "energy", "absent", ""]) for _ in range(rng.randint(1, 3))}
    quotes = []
    for _ in range(rng.randint(0, 4)):
        quotes.append(rng.choice([
            None,
            SimpleNamespace(ticker=None),
            SimpleNamespace(ticker=SimpleNamespace(contract=None)),
            SimpleNamespace(ticker=SimpleNamespace(contract=_contract(rng))),
        ]))
    return TessikCase(store, groups, quotes)


def run_tessik(case: TessikCase, findings: Findings, loop: asyncio.AbstractEventLoop) -> int:
    op = tessik.IOpQuoteList(state=SimpleNamespace(quoteState=dict(enumerate(case.quotes))), cache=case.store)
    op.groups = set(case.groups)
    saved = tessik.logger
    tessik.logger = QUIET
    try:
        result = loop.run_until_complete(op.run())
    except TypeError:
        # Members of mixed types, or a group name that is not text, cannot
        # be sorted: the Python code raises as well.
        return 1
    except BaseException as exc:  # noqa: BLE001
        findings.add(f"raised {type(exc).__name__}: {exc}", case)
        return 1
    finally:
        tessik.logger = saved
    problem = listing_problem(result)
    if problem:
        findings.add(problem, case)
    return 1


def listing_problem(result) -> str | None:
    if type(result) is not dict or list(result) != ["result"] or list(result["result"]) != ["groups"]:
        return "not {'result': {'groups': ...}}"
    groups = result["result"]["groups"]
    if list(groups) != sorted(groups):
        return "groups out of order"
    for name, entry in groups.items():
        if type(entry) is not dict or list(entry) != ["symbols", "live"]:
            return f"entry of {name!r} malformed"
        symbols, live = entry["symbols"], entry["live"]
        if type(symbols) is not list or symbols != sorted(symbols):
            return f"symbols of {name!r} not a sorted list"
        if type(live) is not list or live != sorted(live) or any(s not in symbols for s in live):
            return f"live of {name!r} not a sorted part of its symbols"
    return None


# -- batches -----------------------------------------------------------------

def live_objects() -> int:
    gc.collect()
    return len(gc.get_objects()) + sys.getallocatedblocks()


def run_batch(seed: int, sorvel_cases: int, tessik_cases: int, findings: Findings, *, on_case=None,
              call_cases: int | None = None) -> int:
    """Runs one seeded batch of both commands (and as many direct calls as
    sorvel cases, unless told otherwise); returns the invocations."""
    rng = random.Random(seed)
    driver = SorvelDriver()
    invocations = 0
    try:
        for index in range(sorvel_cases):
            case = sorvel_case(rng)
            if on_case:
                on_case(seed, index, case)
            invocations += driver.run(case, findings)
        for index in range(tessik_cases):
            case = tessik_case(rng)
            if on_case:
                on_case(seed, sorvel_cases + index, case)
            invocations += run_tessik(case, findings, driver.loop)
        for index in range(sorvel_cases if call_cases is None else call_cases):
            case = call_case(rng)
            if on_case:
                on_case(seed, sorvel_cases + tessik_cases + index, case)
            invocations += run_call(case, findings)
    finally:
        driver.close()
    return invocations
