"""Functions and methods of the native module seen as Python functions:
binding, metadata, signatures, argument errors and exact-type checks,
compared with the same declarations written in Python."""

from __future__ import annotations

import asyncio
import copy
import enum
import gc
import inspect
import pickle
import warnings

import pytest


# The same declarations in Python: what the native ones must look like
# (annotations are kept as strings by the __future__ import).
class IOpSorvel:
    def argmap(self): ...
    async def run(self) -> dict: ...
    async def _sorvel(self, contract: Contract, rest: list[str]) -> dict: ...
    async def _history(self, contract: Contract, rest: list[str]) -> dict: ...
    async def _intraday(self, contract: Contract) -> dict: ...
    async def _yf_history(self, **kwargs) -> pd.DataFrame | None: ...
    async def _run_yfinance(self, rest: list[str]) -> dict: ...
    async def _sorvel_yfinance(self, rest: list[str]) -> dict: ...
    async def _history_yfinance(self, rest: list[str]) -> dict: ...
    async def _intraday_yfinance(self) -> dict: ...


def _get_cache(): ...
def _is_date(s: str) -> bool: ...
def _is_period(s: str) -> bool: ...
def _parse_date(s: str) -> datetime.date: ...
def _calc_duration(back_days: int) -> str: ...
def _strip_tz(df: pd.DataFrame) -> pd.DataFrame: ...
def _normalize_yfinance_df(hist: pd.DataFrame) -> pd.DataFrame: ...


METHODS = ["argmap", "run", "_sorvel", "_history", "_intraday", "_yf_history", "_run_yfinance",
           "_sorvel_yfinance", "_history_yfinance", "_intraday_yfinance"]
COROUTINE_METHODS = METHODS[1:]
FUNCTIONS = {"_get_cache": _get_cache, "_is_date": _is_date, "_is_period": _is_period,
             "_parse_date": _parse_date, "_calc_duration": _calc_duration, "_strip_tz": _strip_tz,
             "_normalize_yfinance_df": _normalize_yfinance_df}


def pairs(sorvel):
    """(native, python twin) for every function and method."""
    for name in METHODS:
        yield getattr(sorvel.IOpSorvel, name), getattr(IOpSorvel, name)
    for name, twin in FUNCTIONS.items():
        yield getattr(sorvel, name), twin


def type_error(call):
    """The TypeError text of call(), with the coroutine it may create closed unawaited."""
    try:
        result = call()
    except TypeError as exc:
        return str(exc)
    if inspect.iscoroutine(result) or asyncio.iscoroutine(result):
        result.close()
    return None


class TestMetadata:
    def test_names_module_doc_and_annotations_match_a_python_declaration(self, sorvel):
        for native, twin in pairs(sorvel):
            assert native.__name__ == twin.__name__
            assert native.__qualname__ == twin.__qualname__
            assert native.__module__ == "corvane.cmds.quotes.sorvel"
            assert native.__annotations__ == twin.__annotations__, native.__qualname__
            assert native.__defaults__ is None and native.__kwdefaults__ is None
        assert sorvel.IOpSorvel._sorvel.__qualname__ == "IOpSorvel._sorvel"
        assert sorvel.IOpSorvel.run.__doc__ is None
        assert sorvel.IOpSorvel._run_yfinance.__doc__ == "Dispatch sorvel query to yfinance based on arg pattern."

    def test_signatures_match_parameter_by_parameter(self, sorvel):
        for native, twin in pairs(sorvel):
            got, want = inspect.signature(native), inspect.signature(twin)
            assert got == want, native.__qualname__
            for p in got.parameters.values():
                assert p.default is inspect.Parameter.empty
                assert p.kind in (p.POSITIONAL_OR_KEYWORD, p.VAR_KEYWORD)
        kwargs = inspect.signature(sorvel.IOpSorvel._yf_history).parameters["kwargs"]
        assert kwargs.kind is inspect.Parameter.VAR_KEYWORD
        assert inspect.signature(sorvel.IOpSorvel._yf_history).return_annotation == "pd.DataFrame | None"

    def test_string_annotations_resolve_in_the_module(self, sorvel):
        import typing

        hints = typing.get_type_hints(sorvel.IOpSorvel._sorvel)
        assert hints == {"contract": sorvel.Contract, "rest": list[str], "return": dict}
        assert typing.get_type_hints(sorvel.IOpSorvel._yf_history) == {"return": sorvel.pd.DataFrame | None}
        assert sorvel._is_date.__globals__ is vars(sorvel)

    def test_bound_signature_drops_self(self, sorvel, make_op):
        op = make_op()
        for name in METHODS:
            assert inspect.signature(getattr(op, name)) == inspect.signature(getattr(IOpSorvel(), name))

    def test_attributes_keep_the_interpreters_rules(self, sorvel):
        f = sorvel._is_date
        for attr, bad in [("__name__", 1), ("__qualname__", None), ("__annotations__", [])]:
            with pytest.raises(TypeError, match=attr):
                setattr(f, attr, bad)
        with pytest.raises(TypeError):
            del f.__name__
        assert f.__name__ == "_is_date" and f.__qualname__ == "_is_date"
        # Callers may hang their own attributes on a function.
        f.marker = 1
        try:
            assert f.__dict__["marker"] == 1
        finally:
            del f.marker

    def test_pickled_and_copied_by_reference_like_a_def(self, sorvel):
        for native, _ in pairs(sorvel):
            assert pickle.loads(pickle.dumps(native)) is native
            assert copy.deepcopy(native) is native


class TestBinding:
    def test_class_access_gives_the_function_instance_access_a_bound_method(self, sorvel, make_op):
        op = make_op()
        cls = sorvel.IOpSorvel
        for name in METHODS:
            func = getattr(cls, name)
            bound = getattr(op, name)
            assert inspect.ismethod(bound) and bound.__func__ is func and bound.__self__ is op
            assert vars(cls)[name] is func
            assert func.__get__(None, cls) is func

    def test_module_functions_stay_unbound_when_stored_on_a_class(self, sorvel):
        holder = type("Holder", (), {"check": staticmethod(sorvel._is_date)})
        assert holder().check("today") is True
        as_method = type("AsMethod", (), {"check": sorvel._is_date})
        with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
            as_method().check("today")


ARGUMENT_CASES = [
    # (method, positional args after the instance, keyword args)
    ("_sorvel", (1, [], 3), {}),
    ("_sorvel", (), {}),
    ("_sorvel", (1,), {}),
    ("_sorvel", (), {"rest": []}),
    ("_sorvel", (1, []), {"other": 1}),
    ("_sorvel", (1,), {"contract": 2, "rest": []}),
    ("_sorvel", (1, []), {"self": 1}),
    ("_intraday", (1, 2), {}),
    ("_intraday", (), {}),
    ("_yf_history", (1,), {}),
    ("_intraday_yfinance", (1,), {}),
    ("_run_yfinance", (), {}),
    ("_run_yfinance", ([],), {"rest": []}),
    ("run", (None,), {}),
    ("argmap", (), {"x": 1}),
]


class TestArgumentErrors:
    @pytest.mark.parametrize("name,args,kwargs", ARGUMENT_CASES)
    def test_bound_call_errors_read_as_the_interpreters(self, sorvel, make_op, name, args, kwargs):
        native = getattr(make_op(), name)
        twin = getattr(IOpSorvel(), name)
        want = type_error(lambda: twin(*args, **kwargs))
        assert want is not None
        assert type_error(lambda: native(*args, **kwargs)) == want

    def test_unbound_calls_count_self_like_the_interpreter(self, sorvel):
        for name in METHODS:
            for args in [(), (1, 2, 3, 4)]:
                want = type_error(lambda: getattr(IOpSorvel, name)(*args))
                assert type_error(lambda: getattr(sorvel.IOpSorvel, name)(*args)) == want

    def test_module_functions_refuse_like_the_interpreter(self, sorvel):
        for name, twin in FUNCTIONS.items():
            native = getattr(sorvel, name)
            for args, kwargs in [((), {}), (("a", "b"), {}), (("a",), {"zz": 1}), ((), {"zz": 1})]:
                want = type_error(lambda: twin(*args, **kwargs))
                assert type_error(lambda: native(*args, **kwargs)) == want, (name, args, kwargs)

    def test_yf_history_collects_every_keyword(self, sorvel, make_op, monkeypatch):
        seen = {}

        class Threads:
            @staticmethod
            async def to_thread(fetch):
                seen["fetch"] = fetch
                return "done"

        monkeypatch.setattr(sorvel, "asyncio", Threads)
        op = make_op()
        assert asyncio.run(op._yf_history(period="1d", kwargs=1)) == "done"
        fetch = seen["fetch"]
        assert inspect.signature(fetch) == inspect.Signature() and not inspect.iscoroutinefunction(fetch)
        assert fetch.__qualname__ == "IOpSorvel._yf_history.<locals>._fetch"
        with pytest.raises((pickle.PicklingError, AttributeError)):
            pickle.dumps(fetch)  # a local function, as with `def` inside a method


class IntSub(int):
    pass


class Flag(enum.IntEnum):
    ONE = 1


class StrSub(str):
    pass


class ListSub(list):
    pass


class TestExactTypes:
    @pytest.mark.parametrize("bad", [("day",), ListSub(["day"]), None, "day"])
    @pytest.mark.parametrize("name", ["_run_yfinance", "_sorvel_yfinance", "_history_yfinance"])
    def test_rest_must_be_exactly_a_list(self, make_op, name, bad):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(TypeError, match="'rest'"):
                getattr(make_op(), name)(bad)
            gc.collect()  # a coroutine made before the check would warn "never awaited" here
        assert [w for w in caught if issubclass(w.category, RuntimeWarning)] == []

    @pytest.mark.parametrize("name", ["_sorvel", "_history"])
    def test_rest_checked_by_keyword_too_and_contract_not_checked(self, make_op, name):
        op = make_op()
        with pytest.raises(TypeError, match="'rest'"):
            getattr(op, name)(contract=object(), rest=("day",))
        getattr(op, name)(object(), []).close()

    @pytest.mark.parametrize("bad", [StrSub("today"), 1, None, b"today"])
    @pytest.mark.parametrize("name", ["_is_date", "_is_period", "_parse_date"])
    def test_s_must_be_exactly_a_str(self, sorvel, name, bad):
        with pytest.raises(TypeError, match="'s'"):
            getattr(sorvel, name)(bad)

    @pytest.mark.parametrize("bad", [True, IntSub(3), Flag.ONE, 3.0, "3", None])
    def test_back_days_must_be_exactly_an_int(self, sorvel, bad):
        with pytest.raises(TypeError, match="'back_days'"):
            sorvel._calc_duration(bad)
        with pytest.raises(TypeError, match="'back_days'"):
            sorvel._calc_duration(back_days=bad)

    def test_result_of_a_dict_method_must_be_a_dict(self, make_op):
        async def listing(rest):
            return ["not", "a", "dict"]

        op = make_op(_run_yfinance=listing)
        with pytest.raises(TypeError, match="dict"):
            asyncio.run(op.run())


class TestCoroutineFunctions:
    def test_coroutine_methods_are_reported_as_coroutine_functions(self, sorvel, make_op):
        op = make_op()
        for name in COROUTINE_METHODS:
            for f in (getattr(sorvel.IOpSorvel, name), getattr(op, name)):
                assert asyncio.iscoroutinefunction(f) and inspect.iscoroutinefunction(f), name

    def test_plain_functions_are_not(self, sorvel, make_op):
        plain = [sorvel.IOpSorvel.argmap, make_op().argmap] + [getattr(sorvel, n) for n in FUNCTIONS]
        for f in plain:
            assert not asyncio.iscoroutinefunction(f) and not inspect.iscoroutinefunction(f)

    def test_calling_one_returns_a_coroutine_and_runs_nothing(self, make_op):
        calls = []

        async def fallback(rest):
            calls.append(rest)
            return {}

        coro = make_op(_run_yfinance=fallback).run()
        assert asyncio.iscoroutine(coro)
        assert calls == []
        coro.close()
