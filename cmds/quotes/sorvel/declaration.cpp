// The command class IOpSorvel: a dataclass registered under "sorvel".
#include "cmds/quotes/sorvel/sorvel.hpp"

namespace sorvel {

using namespace native;

namespace {

constexpr const char* kHelp =
    "Fetch candlestick / OHLCV data via IBKR.\n"
    "\n"
    "    Modes:\n"
    "      sorvel <symbol> [period] [count] [adj]           # Latest N candles\n"
    "      sorvel <symbol> <start> [end] [period] [adj]     # History by date range\n"
    "      sorvel <symbol> intraday                          # Today's per-minute curve\n"
    "\n"
    "    Periods: 1m, 5m, 15m, 30m, 1h, day, week, month, year\n"
    "    Aliases: minute, hour, d, w, m, y, 1d, 1mo\n"
    "    Count:  number of bars (per-period default: 1m=120, 5m=78, day=250, etc.)\n"
    "    Adj:    adj (or forward) for split+dividend adjusted price (ADJUSTED_LAST)\n"
    "            omitted = TRADES (split-adjusted only)\n"
    "    Start / End: YYYY-MM-DD (end defaults to today)\n"
    "\n"
    "    Examples:\n"
    "      sorvel AAPL day 100\n"
    "      sorvel AAPL 5m 200 adj\n"
    "      sorvel AAPL 2025-01-01 day\n"
    "      sorvel AAPL 2025-01-01 2025-06-01 day\n"
    "      sorvel AAPL intraday\n"
    "    ";

constexpr PyTypeObject* kList = &PyList_Type;
constexpr PyTypeObject* kDict = &PyDict_Type;

constexpr FunctionSpec argmap_spec{.name = "argmap", .qualname = "IOpSorvel.argmap", .params = {{"self"}}};

constexpr FunctionSpec run_spec{
    .name = "run", .qualname = "IOpSorvel.run", .params = {{"self"}}, .returns = "dict", .result_exact = kDict};

constexpr FunctionSpec sorvel_spec{
    .name = "_sorvel",
    .qualname = "IOpSorvel._sorvel",
    .params = {{"self"}, {"contract", "Contract"}, {"rest", "list[str]", kList}},
    .returns = "dict",
    .result_exact = kDict,
};

constexpr FunctionSpec history_spec{
    .name = "_history",
    .qualname = "IOpSorvel._history",
    .params = {{"self"}, {"contract", "Contract"}, {"rest", "list[str]", kList}},
    .returns = "dict",
    .result_exact = kDict,
};

constexpr FunctionSpec intraday_spec{
    .name = "_intraday",
    .qualname = "IOpSorvel._intraday",
    .params = {{"self"}, {"contract", "Contract"}},
    .returns = "dict",
    .result_exact = kDict,
};

constexpr FunctionSpec yf_history_spec{
    .name = "_yf_history",
    .qualname = "IOpSorvel._yf_history",
    .params = {{"self"}},
    .varkw = "kwargs",
    .returns = "pd.DataFrame | None",
};

constexpr FunctionSpec run_yfinance_spec{
    .name = "_run_yfinance",
    .qualname = "IOpSorvel._run_yfinance",
    .params = {{"self"}, {"rest", "list[str]", kList}},
    .returns = "dict",
    .result_exact = kDict,
    .doc = "Dispatch sorvel query to yfinance based on arg pattern.",
};

constexpr FunctionSpec sorvel_yfinance_spec{
    .name = "_sorvel_yfinance",
    .qualname = "IOpSorvel._sorvel_yfinance",
    .params = {{"self"}, {"rest", "list[str]", kList}},
    .returns = "dict",
    .result_exact = kDict,
    .doc = "Candlestick data via yfinance (latest N bars).",
};

constexpr FunctionSpec history_yfinance_spec{
    .name = "_history_yfinance",
    .qualname = "IOpSorvel._history_yfinance",
    .params = {{"self"}, {"rest", "list[str]", kList}},
    .returns = "dict",
    .result_exact = kDict,
    .doc = "Historical data via yfinance (date range).",
};

constexpr FunctionSpec intraday_yfinance_spec{
    .name = "_intraday_yfinance",
    .qualname = "IOpSorvel._intraday_yfinance",
    .params = {{"self"}},
    .returns = "dict",
    .result_exact = kDict,
    .doc = "Intraday data via yfinance.",
};

// field(init=False)
Ref init_false_field() { return call_kw(G["field"_id], {}, {{"init"_id, Py_False}}); }

}  // namespace

Ref argmap(Ref) {
    Ref upper = getattr(reinterpret_cast<PyObject*>(&PyUnicode_Type), "upper"_id);
    Ref symbol = call_kw(G["DArg"_id], {"symbol"_id}, {{"convert"_id, upper}});
    Ref rest = call(G["DArg"_id], "*rest"_id);
    return list_of(symbol, rest);
}

void bind_command_class() {
    Ref cls = make_class(kModuleName, "IOpSorvel", {G["IOp"_id]}, [](Ref ns) {
        // A class body with annotations creates __annotations__ before its docstring.
        Ref annotations = new_dict();
        setitem(ns, "__annotations__"_id, annotations);
        setitem(ns, "__doc__"_id, str(kHelp));
        setitem(ns, "requires_gateway"_id, Py_False);
        dict_set(annotations, "symbol"_id, "str"_id);
        setitem(ns, "symbol"_id, init_false_field());
        dict_set(annotations, "rest"_id, "list[str]"_id);
        setitem(ns, "rest"_id, init_false_field());
        setitem(ns, "argmap"_id, function<argmap, argmap_spec>(kModuleName));
        setitem(ns, "run"_id, function<run, run_spec>(kModuleName));
        setitem(ns, "_sorvel"_id, function<latest_via_gateway, sorvel_spec>(kModuleName));
        setitem(ns, "_history"_id, function<range_via_gateway, history_spec>(kModuleName));
        setitem(ns, "_intraday"_id, function<intraday_via_gateway, intraday_spec>(kModuleName));
        setitem(ns, "_yf_history"_id, function<yf_history, yf_history_spec>(kModuleName));
        setitem(ns, "_run_yfinance"_id, function<run_yfinance, run_yfinance_spec>(kModuleName));
        setitem(ns, "_sorvel_yfinance"_id, function<latest_via_yfinance, sorvel_yfinance_spec>(kModuleName));
        setitem(ns, "_history_yfinance"_id, function<range_via_yfinance, history_yfinance_spec>(kModuleName));
        setitem(ns, "_intraday_yfinance"_id, function<intraday_via_yfinance, intraday_yfinance_spec>(kModuleName));
    });
    cls = call(G["dataclass"_id], cls);
    Ref names = list_of("sorvel"_id);
    Ref register_ = call_kw(G["command"_id], {}, {{"names"_id, names}});
    G.set("IOpSorvel", call(register_, cls));
}

}  // namespace sorvel
