// Small module functions the queries share: the candle cache accessor, the
// word classifiers, the date parser and the request-duration text.
#include "cmds/quotes/sorvel/sorvel.hpp"

#include <charconv>
#include <cstring>

namespace sorvel {

using namespace native;

Ref get_cache() {
    Ref cache = G["_sorvel_cache"_id];
    if (cache.is_none()) {
        cache = call(G["SorvelCache"_id]);
        G.set("_sorvel_cache"_id, cache);
    }
    return cache;
}

namespace {

// re.match(r"^\d{4}-\d{2}-\d{2}$", s) is not None, for a str: \d is any
// Unicode decimal digit and $ also matches before one final line break.
bool date_shaped(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    if (n != 10 && !(n == 11 && PyUnicode_READ(kind, data, 10) == '\n')) return false;
    for (Py_ssize_t i = 0; i < 10; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (i == 4 || i == 7 ? c != '-' : !Py_UNICODE_ISDECIMAL(c)) return false;
    }
    return true;
}

}  // namespace

Ref is_date(Ref s) {
    if (equals(s, "today"_id) || equals(s, "yesterday"_id)) return boolean(true);
    Ref re = G["re"_id];
    // The date shape answered here while re and re.match are the real ones;
    // once either is replaced, re.match is asked as written.
    if (loaded_re_match.untouched(re)) return boolean(date_shaped(s));
    Ref match = call_method(re, "match"_id, R"(^\d{4}-\d{2}-\d{2}$)"_id, s);
    return boolean(!match.is_none());
}

Ref is_period(Ref s) { return boolean(contains(G["PERIOD_MAP"_id], s)); }

Ref parse_date(Ref s) {
    Ref dt = G["datetime"_id];
    const bool today = equals(s, "today"_id);
    if (today || equals(s, "yesterday"_id)) {
        Ref date = call_method(call_method(getattr(dt, "datetime"_id), "now"_id), "date"_id);
        if (today) return date;
        Ref one_day = call_kw(getattr(dt, "timedelta"_id), {}, {{"days"_id, integer(1)}});
        return own(PyNumber_Subtract(date, one_day));
    }
    return call_method(call_method(getattr(dt, "datetime"_id), "fromisoformat"_id, s), "date"_id);
}

namespace {

Ref ascii_text(const char* begin, const char* end) {
    const Py_ssize_t n = end - begin;
    Ref text = own(PyUnicode_New(n, 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), begin, static_cast<std::size_t>(n));
    return text;
}

}  // namespace

Ref calc_duration(Ref back_days) {
    static PyObject* const year = PyLong_FromLong(365);
    // An exact int up to a year: its decimal text, formatted here.
    int overflow = 0;
    const long long days = PyLong_AsLongLongAndOverflow(back_days, &overflow);
    if (!overflow && !(days == -1 && PyErr_Occurred()) && days <= 365) {
        char text[32];
        char* end = std::to_chars(text, text + sizeof text - 2, days).ptr;
        *end++ = ' ';
        *end++ = 'D';
        return ascii_text(text, end);
    }
    PyErr_Clear();
    if (less_equal(back_days, year)) return own(PyUnicode_Concat(to_str(back_days), " D"_id));
    Ref years = call(getattr(G["math"_id], "ceil"_id), own(PyNumber_TrueDivide(back_days, year)));
    return own(PyUnicode_Concat(to_str(years), " Y"_id));
}

namespace {

constexpr FunctionSpec parse_date_spec{
    .name = "_parse_date",
    .qualname = "_parse_date",
    .params = {{"s", "str", &PyUnicode_Type}},
    .returns = "datetime.date",
    .doc = "Parse date string to datetime.date. Supports 'today' and 'yesterday'.",
};

constexpr FunctionSpec calc_duration_spec{
    .name = "_calc_duration",
    .qualname = "_calc_duration",
    .params = {{"back_days", "int", &PyLong_Type}},
    .returns = "str",
    .doc =
        "Calculate IBKR durationStr from number of days.\n"
        "\n"
        "    IBKR only accepts 'D' requests for \u2264365 days,\n"
        "    else it requires full years of retrieval.\n"
        "    ",
};

}  // namespace

bool period_check_is_plain(PyObject* f) {
    return made_from(f, is_period_spec) && PyDict_CheckExact(G["PERIOD_MAP"_id].get());
}

bool duration_is_plain(PyObject* f, PyObject* back_days) {
    if (!made_from(f, calc_duration_spec) || !PyLong_CheckExact(back_days)) return false;
    int overflow = 0;
    const long long days = PyLong_AsLongLongAndOverflow(back_days, &overflow);
    return !overflow && days <= 365;
}

void bind_helpers() {
    G.set("_get_cache", function<get_cache, get_cache_spec>(kModuleName));
    G.set("_is_date", function<is_date, is_date_spec>(kModuleName));
    G.set("_is_period", function<is_period, is_period_spec>(kModuleName));
    G.set("_parse_date", function<parse_date, parse_date_spec>(kModuleName));
    G.set("_calc_duration", function<calc_duration, calc_duration_spec>(kModuleName));
}

}  // namespace sorvel
