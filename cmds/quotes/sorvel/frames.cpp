// Bringing bar tables to one shape: gateway frames lose their time zones,
// yfinance frames are relabelled to the gateway's bar columns.
#include "cmds/quotes/sorvel/bar_table.hpp"
#include "cmds/quotes/sorvel/sorvel.hpp"

namespace sorvel {

using namespace native;

namespace {

// df["date"] = df["date"].dt.tz_localize(None)
void drop_date_zone(PyObject* df) {
    Ref naive = call_method(getattr(getitem(df, "date"_id), "dt"_id), "tz_localize"_id, Py_None);
    setitem(df, "date"_id, naive);
}

}  // namespace

Ref strip_tz(Ref df) {
    try {
        drop_date_zone(df);
    } catch (const PyError& e) {
        // Daily bars carry plain dates, which have no zone to drop.
        if (!e.ordinary()) throw;
    }
    return df;
}

Ref normalize_yfinance_df(Ref hist) {
    Ref df = call_method(hist, "reset_index"_id);
    Ref first = to_str(getitem(getattr(df, "columns"_id), integer(0)));
    Ref renames = new_dict();
    dict_set(renames, first, "date"_id);
    dict_set(renames, "Open"_id, "open"_id);
    dict_set(renames, "High"_id, "high"_id);
    dict_set(renames, "Low"_id, "low"_id);
    dict_set(renames, "Close"_id, "close"_id);
    dict_set(renames, "Volume"_id, "volume"_id);
    df = call_kw(getattr(df, "rename"_id), {}, {{"columns"_id, renames}});
    for (PyObject* label : {"Dividends"_id, "Stock Splits"_id}) {
        if (contains(getattr(df, "columns"_id), label))
            df = call_kw(getattr(df, "drop"_id), {}, {{"columns"_id, label}});
    }
    setitem(df, "average"_id,
            call_method(getitem(df, "close"_id), "astype"_id, reinterpret_cast<PyObject*>(&PyFloat_Type)));
    setitem(df, "barCount"_id, integer(1));
    try {
        drop_date_zone(df);
    } catch (const PyError& e) {
        // Dates that are not datetime-like stay as they are.
        if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_TypeError)) throw;
    }
    return bar_table::convert_dtypes(df);
}

namespace {

const FunctionSpec strip_tz_spec{
    .name = "_strip_tz",
    .qualname = "_strip_tz",
    .params = {{"df", "pd.DataFrame"}},
    .returns = "pd.DataFrame",
};

const FunctionSpec normalize_spec{
    .name = "_normalize_yfinance_df",
    .qualname = "_normalize_yfinance_df",
    .params = {{"hist", "pd.DataFrame"}},
    .returns = "pd.DataFrame",
    .doc = "Convert yfinance OHLCV DataFrame to unified bar format matching IBKR Bar schema.",
};

// A strong reference, so that no other object can take its address while it is compared with.
PyObject* module_strip_tz = nullptr;

}  // namespace

bool is_module_strip_tz(PyObject* f) { return f && f == module_strip_tz; }

void bind_frame_functions() {
    Ref strip = function<strip_tz>(strip_tz_spec, kModuleName);
    Py_XSETREF(module_strip_tz, strip.new_ref());
    G.set("_strip_tz", strip);
    G.set("_normalize_yfinance_df", function<normalize_yfinance_df>(normalize_spec, kModuleName));
}

}  // namespace sorvel
