// The words after the symbol, read the same way by the gateway and the
// yfinance queries of each mode, and the records those words lead to.
#include "cmds/quotes/sorvel/query.hpp"

namespace sorvel {

using namespace native;

namespace {

// rest[i], or nothing past the end.
Ref word_at(PyObject* rest, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(rest)) return {};
    return Ref::borrow(PyList_GET_ITEM(rest, i));
}

bool is_period_word(PyObject* word) { return truthy(call_own<is_period, is_period_spec>(G["_is_period"_id], word)); }
bool is_date_word(PyObject* word) { return truthy(call_own<is_date, is_date_spec>(G["_is_date"_id], word)); }

// int(word) when the word is plain ASCII digits short enough for a long
// long, where the interpreter's int() can only give that number; nothing
// (and no error) otherwise.
Ref plain_count(PyObject* word) {
    if (!PyUnicode_CheckExact(word) || !PyUnicode_IS_ASCII(word)) return {};
    const Py_ssize_t n = PyUnicode_GET_LENGTH(word);
    if (n < 1 || n > 18) return {};
    const Py_UCS1* digits = PyUnicode_1BYTE_DATA(word);
    long long v = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (digits[i] < '0' || digits[i] > '9') return {};
        v = v * 10 + (digits[i] - '0');
    }
    return integer(v);
}

Ref default_count(PyObject* period) {
    static PyObject* const hundred = PyLong_FromLong(100);
    return dict_get(G["PERIOD_DEFAULT_COUNT"_id], period, hundred);
}

}  // namespace

Mode choose_mode(PyObject* rest) {
    // `rest` comes from the instance here, so it is read as any sequence
    // (an exact list, whose indexing cannot be replaced, in place).
    if (!truthy(rest)) return Mode::Latest;
    Ref first = PyList_CheckExact(rest) ? Ref::borrow(PyList_GET_ITEM(rest, 0)) : getitem(rest, integer(0));
    if (equals(first, "intraday"_id)) return Mode::Intraday;
    if (is_date_word(first)) return Mode::Range;
    return Mode::Latest;
}

LatestWords parse_latest_words(PyObject* rest) {
    LatestWords w{Ref::borrow("day"_id), Ref(), Ref::borrow("none"_id)};
    // The default for "day" is looked up first. From an exact dict, with our
    // own _is_period reading an exact dict in between, neither step can be
    // seen, so the read waits until no period word has replaced it.
    if (!PyDict_CheckExact(G["PERIOD_DEFAULT_COUNT"_id].get()) || !period_check_is_plain(G["_is_period"_id]))
        w.count = default_count("day"_id);
    Py_ssize_t cursor = 0;
    if (Ref word = word_at(rest, cursor); word && is_period_word(word)) {
        w.period = word;
        w.count = default_count(word);
        ++cursor;
    }
    if (!w.count) w.count = default_count("day"_id);
    if (Ref word = word_at(rest, cursor)) {
        // The interpreter's int(): sign, spaces, underscores and any Unicode
        // digits, within its digit limit. Anything else is the adjustment word.
        if (Ref n = plain_count(word)) {
            w.count = std::move(n);
            ++cursor;
        } else if (PyObject* n = PyNumber_Long(word)) {
            w.count = Ref::steal(n);
            ++cursor;
        } else if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
        } else {
            throw_current();
        }
    }
    if (Ref word = word_at(rest, cursor)) w.adjust = word;
    return w;
}

RangeWords parse_range_words(PyObject* rest) {
    RangeWords w;
    Ref first = word_at(rest, 0);
    if (!first) raise(PyExc_IndexError, "list index out of range");
    w.start = call(G["_parse_date"_id], first);
    w.period = Ref::borrow("day"_id);
    w.adjust = Ref::borrow("none"_id);
    Py_ssize_t cursor = 1;
    if (Ref word = word_at(rest, cursor); word && is_date_word(word)) {
        w.end = call(G["_parse_date"_id], word);
        ++cursor;
    }
    if (Ref word = word_at(rest, cursor); word && is_period_word(word)) {
        w.period = word;
        ++cursor;
    }
    if (Ref word = word_at(rest, cursor)) w.adjust = word;
    if (!w.end) w.end = today();
    w.start_text = to_str(w.start);
    w.end_text = to_str(w.end);
    return w;
}

Ref latest_record(PyObject* symbol, const LatestWords& w, PyObject* bars) {
    return make_dict({{"symbol"_id, symbol},
                      {"period"_id, w.period},
                      {"count"_id, length(bars)},
                      {"adjust"_id, w.adjust},
                      {"bars"_id, bars}});
}

Ref range_record(PyObject* symbol, const RangeWords& w, PyObject* bars) {
    return make_dict({{"symbol"_id, symbol},
                      {"period"_id, w.period},
                      {"start"_id, w.start_text},
                      {"end"_id, w.end_text},
                      {"adjust"_id, w.adjust},
                      {"bars"_id, bars}});
}

Ref intraday_record(PyObject* symbol, PyObject* bars, PyObject* source) {
    return make_dict({{"symbol"_id, symbol}, {"type"_id, "intraday"_id}, {"bars"_id, bars}, {"source"_id, source}});
}

Ref from_cache(Ref record) {
    dict_set(record, "cached"_id, Py_True);
    return record;
}

Ref today() { return call_method(call_method(getattr(G["datetime"_id], "datetime"_id), "now"_id), "date"_id); }

bool wants_adjusted(PyObject* adjust) { return contains(G["ADJUST_KEYWORDS"_id], adjust); }

bool count_is_positive(PyObject* count) {
    static PyObject* const zero = PyLong_FromLong(0);
    if (PyLong_CheckExact(count)) return _PyLong_Sign(count) > 0;
    return check(PyObject_RichCompareBool(count, zero, Py_GT)) == 1;
}

Ref refuse_count(PyObject* symbol, PyObject* count) {
    log("error"_id, "[{}] Count must be positive: {}"_id, symbol, count);
    return make_dict({{"error"_id, "Count must be positive"_id}, {"symbol"_id, symbol}});
}

}  // namespace sorvel
