// The three queries answered by the IBKR gateway: latest bars, a date range,
// and today's one-minute curve. Each consults the candle cache first.
#include "cmds/quotes/sorvel/query.hpp"

#include <cmath>

namespace sorvel {

using namespace native;

namespace {

// await self.ib.reqHistoricalDataAsync(contract, ...) with the seven keywords.
Ref request_bars(PyObject* self, PyObject* contract, PyObject* end, PyObject* duration, PyObject* bar_size,
                 PyObject* what) {
    static PyObject* const timeout = PyLong_FromLong(60);
    Ref request = getattr(getattr(self, "ib"_id), "reqHistoricalDataAsync"_id);
    return call_kw(request, {contract},
                   {{"endDateTime"_id, end},
                    {"durationStr"_id, duration},
                    {"barSizeSetting"_id, bar_size},
                    {"whatToShow"_id, what},
                    {"useRTH"_id, Py_True},
                    {"keepUpToDate"_id, Py_False},
                    {"timeout"_id, timeout}});
}

PyObject* what_to_show(PyObject* adjust) { return wants_adjusted(adjust) ? "ADJUSTED_LAST"_id : "TRADES"_id; }

// An exact int small enough that products of two stay exact in 64 bits.
bool small_int(PyObject* o, long long* v) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    *v = PyLong_AsLongLongAndOverflow(o, &overflow);
    return !overflow && *v > -(1LL << 31) && *v < (1LL << 31);
}

// ceil(count * seconds per bar * factor / 86400), in the interpreter's arithmetic.
Ref back_days_for(PyObject* count, PyObject* period, PyObject* bar_size) {
    static PyObject* const day_seconds = PyLong_FromLong(86400);
    static PyObject* const no_factor = PyFloat_FromDouble(1.0);
    Ref seconds = dict_get(G["BAR_SECONDS"_id], bar_size, day_seconds);
    Ref factor = dict_get(G["DURATION_FACTOR"_id], period, no_factor);
    // Small exact ints, an exact float and the real math.ceil: the same IEEE
    // steps the interpreter takes (the int product is exact, its conversion
    // to double rounds to nearest as int * float does), done in place.
    long long c = 0, s = 0;
    if (loaded_math_ceil.untouched(G["math"_id]) && small_int(count, &c) && small_int(seconds, &s) &&
        PyFloat_CheckExact(factor.get())) {
        const double days = static_cast<double>(c * s) * PyFloat_AS_DOUBLE(factor.get()) / 86400.0;
        if (std::isfinite(days)) return own(PyLong_FromDouble(std::ceil(days)));
    }
    Ref span = own(PyNumber_Multiply(own(PyNumber_Multiply(count, seconds)), factor));
    return call(getattr(G["math"_id], "ceil"_id), own(PyNumber_TrueDivide(span, day_seconds)));
}

Ref with_suffix(Ref title, PyObject* adjust) {
    if (!wants_adjusted(adjust)) return title;
    return own(PyUnicode_Concat(title, " (adjusted)"_id));
}

}  // namespace

Coro latest_via_gateway(Ref self, Ref contract, Ref rest) {
    Ref symbol = symbol_of(self);
    LatestWords w = parse_latest_words(rest);
    if (!count_is_positive(w.count)) co_return refuse_count(symbol, w.count);
    PyObject* what = what_to_show(w.adjust);
    Ref bar_size = getitem(G["PERIOD_MAP"_id], w.period);
    Ref back_days = back_days_for(w.count, w.period, bar_size);
    // A cache answer does not wait for the duration text where making it
    // cannot be seen (see duration_is_plain); it is made after the misses.
    Ref duration;
    if (!duration_is_plain(G["_calc_duration"_id], back_days)) duration = call(G["_calc_duration"_id], back_days);

    CacheSlot slot = cache_slot("count_key"_id, symbol, w.period, w.adjust, w.count);
    if (slot.hit()) {
        log("info"_id, "[{}] sorvel exact cache hit: {} {} {}"_id, symbol, w.period, w.count, w.adjust);
        co_return from_cache(latest_record(symbol, w, slot.cached));
    }
    Ref larger = call_method(slot.cache, "try_larger_count"_id, symbol, w.period, w.adjust, w.count);
    if (!larger.is_none()) {
        log("info"_id, "[{}] sorvel larger-cache hit: {} {} {}"_id, symbol, w.period, w.count, w.adjust);
        slot.store(larger);
        co_return from_cache(latest_record(symbol, w, larger));
    }

    if (!duration) duration = calc_duration(back_days);
    log("info"_id, "[{}] sorvel: period={} ({}), count={}, duration={}, what={}"_id, symbol, w.period, bar_size,
        w.count, duration, what);
    Ref bars = co_await request_bars(self, contract, ""_id, duration, bar_size, what);
    if (!truthy(bars)) {
        log("error"_id, "[{}] No data returned"_id, symbol);
        co_return make_dict({{"error"_id, "No data returned"_id}, {"symbol"_id, symbol}});
    }

    Ref last = own(PySlice_New(own(PyNumber_Negative(w.count)), nullptr, nullptr));
    Ref kept = getitem(bars, last);
    Ref table = bars_to_table(kept);
    Ref title = own(PyUnicode_FromFormat("%S %S (%S bars)", symbol.get(), w.period.get(), length(table).get()));
    call(G["printFrame"_id], table, with_suffix(title, w.adjust));
    Ref records = table_to_records(table);
    slot.store(records);
    co_return latest_record(symbol, w, records);
}

Coro range_via_gateway(Ref self, Ref contract, Ref rest) {
    Ref symbol = symbol_of(self);
    RangeWords w = parse_range_words(rest);
    if (greater_equal(w.start, w.end)) {
        log("error"_id, "Start must be before end: {} >= {}"_id, w.start, w.end);
        co_return make_dict(
            {{"error"_id, "Start must be before end"_id}, {"start"_id, w.start_text}, {"end"_id, w.end_text}});
    }
    PyObject* what = what_to_show(w.adjust);
    Ref bar_size = getitem(G["PERIOD_MAP"_id], w.period);
    Ref back_days = getattr(own(PyNumber_Subtract(w.end, w.start)), "days"_id);
    Ref duration = call(G["_calc_duration"_id], back_days);
    log("info"_id, "[{}] history: {} \u2192 {}, period={} ({}), duration={}, what={}"_id, symbol, w.start, w.end,
        w.period, bar_size, duration, what);

    CacheSlot slot = cache_slot("range_key"_id, symbol, w.period, w.adjust, w.start_text, w.end_text);
    if (slot.hit()) {
        log("info"_id, "[{}] history cache hit: {}~{} {} {}"_id, symbol, w.start, w.end, w.period, w.adjust);
        co_return from_cache(range_record(symbol, w, slot.cached));
    }

    Ref bars = co_await request_bars(self, contract, w.end, duration, bar_size, what);
    if (!truthy(bars)) {
        log("error"_id, "[{}] No data in range {} \u2192 {}"_id, symbol, w.start, w.end);
        co_return make_dict({{"error"_id, "No data in range"_id},
                             {"symbol"_id, symbol},
                             {"start"_id, w.start_text},
                             {"end"_id, w.end_text}});
    }

    Ref table = bars_to_table(bars);
    Ref title = own(PyUnicode_FromFormat("%S %S %S ~ %S", symbol.get(), w.period.get(), w.start.get(), w.end.get()));
    call(G["printFrame"_id], table, with_suffix(title, w.adjust));
    Ref records = table_to_records(table);
    slot.store(records);
    co_return range_record(symbol, w, records);
}

Coro intraday_via_gateway(Ref self, Ref contract) {
    Ref symbol = symbol_of(self);
    log("info"_id, "[{}] intraday"_id, symbol);
    CacheSlot slot = cache_slot("intraday_key"_id, symbol);
    if (slot.hit()) {
        log("info"_id, "[{}] intraday cache hit"_id, symbol);
        co_return intraday_record(symbol, slot.cached, "cache"_id);
    }

    Ref bars = co_await request_bars(self, contract, ""_id, "1 D"_id, "1 min"_id, "TRADES"_id);
    if (!truthy(bars)) {
        log("error"_id, "[{}] No intraday data"_id, symbol);
        co_return make_dict({{"error"_id, "No intraday data"_id}, {"symbol"_id, symbol}});
    }

    Ref table = bars_to_table(bars);
    call(G["printFrame"_id], table, own(PyUnicode_FromFormat("%S Intraday", symbol.get())));
    Ref records = table_to_records(table);
    slot.store(records);
    co_return intraday_record(symbol, records, "ibkr"_id);
}

}  // namespace sorvel
