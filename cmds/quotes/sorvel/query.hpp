// Pieces every sorvel query uses: the words of each mode (parsed in one
// place for both sources), log lines, result records and the bar table.
#pragma once

#include "cmds/quotes/sorvel/sorvel.hpp"

namespace sorvel {

using native::Kw;

// Which query the first word asks for, on either source.
enum class Mode { Latest, Range, Intraday };
Mode choose_mode(PyObject* rest);

// [period] [count] [adj]
struct LatestWords {
    Ref period;
    Ref count;
    Ref adjust;
};
LatestWords parse_latest_words(PyObject* rest);

// <start> [end] [period] [adj]; the end defaults to today.
struct RangeWords {
    Ref start;
    Ref end;
    Ref period;
    Ref adjust;
    Ref start_text;
    Ref end_text;
};
RangeWords parse_range_words(PyObject* rest);

// The result records of the two word-driven modes, keys in their order.
Ref latest_record(PyObject* symbol, const LatestWords& w, PyObject* bars);
Ref range_record(PyObject* symbol, const RangeWords& w, PyObject* bars);
Ref intraday_record(PyObject* symbol, PyObject* bars, PyObject* source);
// The record marked as a cache answer ("cached": True, last).
Ref from_cache(Ref record);

// A query's place in the candle cache: the process-wide cache, the key the
// SorvelCache class builds from the query's values, and what it holds there.
struct CacheSlot {
    Ref cache;
    Ref key;
    Ref cached;

    bool hit() const { return !cached.is_none(); }
    void store(PyObject* records) const { native::call_method(cache, "set"_id, key, records); }
};

// _get_cache(), then SorvelCache.<key_builder>(values...), then cache.get(key).
template <class... A>
CacheSlot cache_slot(PyObject* key_builder, const A&... values) {
    CacheSlot slot;
    slot.cache = native::call_own<get_cache, get_cache_spec>(G["_get_cache"_id]);
    slot.key = native::call_method(G["SorvelCache"_id], key_builder, values...);
    slot.cached = native::call_method(slot.cache, "get"_id, slot.key);
    return slot;
}

// logger.<level>(template, *args), read from the module at call time.
template <class... A>
void log(PyObject* level, PyObject* message, const A&... args) {
    native::call_method(G["logger"_id], level, message, args...);
}

inline Ref symbol_of(PyObject* self) { return native::getattr(self, "symbol"_id); }
// len(seq) as a Python int.
inline Ref length(PyObject* seq, native::Here w = native::Here::current()) {
    Py_ssize_t n = PyObject_Length(seq);
    if (n < 0) native::throw_current(w);
    return native::own(PyLong_FromSsize_t(n), w);
}
bool wants_adjusted(PyObject* adjust);
Ref today();

// A count of zero or below asks for nothing sensible: refused before the
// cache or any request, with this record.
bool count_is_positive(PyObject* count);
Ref refuse_count(PyObject* symbol, PyObject* count);

// The bar list as a table (one column per bar field, nullable dtypes, no
// time zones) and a table as bar records (what to_dict(orient="records") gives).
Ref bars_to_table(PyObject* bars);
Ref table_to_records(PyObject* table);

}  // namespace sorvel
