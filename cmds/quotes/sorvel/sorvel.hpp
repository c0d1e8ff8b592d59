// What the parts of the sorvel command module share: its globals and the
// bodies of its functions and methods.
#pragma once

#include "native/module.hpp"

namespace sorvel {

using native::Coro;
using native::Ref;
using native::operator""_id;

inline constexpr const char* kModuleName = "corvane.cmds.quotes.sorvel";

// The module's globals, read by name at call time like any Python module's.
inline native::Globals G;

// What the imported `re.match` and `math.ceil` were at load: while they are
// untouched, the module does their work in C++ (see LoadedAttribute).
inline native::LoadedAttribute loaded_re_match;
inline native::LoadedAttribute loaded_math_ceil;

// Load-time steps, in the order the module binds its names.
void bind_tables();
void bind_helpers();
void bind_frame_functions();
void bind_command_class();

// Module functions; the specs of those the queries call on every run are
// shared so the queries can run them in place while the globals hold them.
inline constexpr native::FunctionSpec get_cache_spec{.name = "_get_cache", .qualname = "_get_cache", .params = {}};

inline constexpr native::FunctionSpec is_period_spec{
    .name = "_is_period",
    .qualname = "_is_period",
    .params = {{"s", "str", &PyUnicode_Type}},
    .returns = "bool",
    .doc = "Check if string matches a known period or alias.",
};

inline constexpr native::FunctionSpec is_date_spec{
    .name = "_is_date",
    .qualname = "_is_date",
    .params = {{"s", "str", &PyUnicode_Type}},
    .returns = "bool",
    .doc = "Check if string looks like a date (YYYY-MM-DD or known keyword).",
};

Ref get_cache();
Ref is_date(Ref s);
Ref is_period(Ref s);
Ref parse_date(Ref s);
Ref calc_duration(Ref back_days);
// Whether `f` is this module's own _is_period, reading an exact dict.
bool period_check_is_plain(PyObject* f);
// Whether `f(back_days)` is this module's own _calc_duration of a day count
// it formats in place: no effect, no failure, so it may be computed later.
bool duration_is_plain(PyObject* f, PyObject* back_days);
Ref strip_tz(Ref df);
Ref normalize_yfinance_df(Ref hist);

// Methods of IOpSorvel.
Ref argmap(Ref self);
Coro run(Ref self);
Coro latest_via_gateway(Ref self, Ref contract, Ref rest);
Coro range_via_gateway(Ref self, Ref contract, Ref rest);
Coro intraday_via_gateway(Ref self, Ref contract);
Coro yf_history(Ref self, Ref kwargs);
Coro run_yfinance(Ref self, Ref rest);
Coro latest_via_yfinance(Ref self, Ref rest);
Coro range_via_yfinance(Ref self, Ref rest);
Coro intraday_via_yfinance(Ref self);

}  // namespace sorvel
