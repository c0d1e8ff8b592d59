// The yfinance path: the fetch wrapper, the three queries, and the dispatch
// that picks one by the same word pattern as run(). Entries go to the same
// cache keys as the gateway queries, so either source serves the other.
#include "cmds/quotes/sorvel/query.hpp"

namespace sorvel {

using namespace native;

namespace {

// The download itself, on a worker thread: yfinance is imported here, never
// at load, so the gateway path works without it. Every ordinary failure is
// logged and answered with None.
Ref fetch(Closure captured) {
    PyObject* self = captured[0];
    PyObject* kwargs = captured[1];
    try {
        Ref os = own(PyImport_Import("os"_id));
        Ref yfinance = own(PyImport_Import("yfinance"_id));
        Ref proxy = call_method(getattr(os, "environ"_id), "get"_id, "HTTPS_PROXY"_id);
        if (truthy(proxy)) {
            Ref both = make_dict({{"https"_id, proxy}, {"http"_id, proxy}});
            setattr(getattr(getattr(yfinance, "config"_id), "network"_id), "proxy"_id, both);
        }
        Ref ticker = call(getattr(yfinance, "Ticker"_id), symbol_of(self));
        return own(PyObject_Call(getattr(ticker, "history"_id), own(PyTuple_New(0)), kwargs));
    } catch (const PyError& e) {
        if (!e.ordinary()) throw;
        log("error"_id, "[{}] yfinance fetch failed: {}"_id, symbol_of(self), e.exception());
        return Ref::none();
    }
}

const FunctionSpec fetch_spec{.name = "_fetch", .qualname = "IOpSorvel._yf_history.<locals>._fetch", .params = {}};

bool no_rows(PyObject* hist) { return Py_IsNone(hist) || truthy(getattr(hist, "empty"_id)); }

}  // namespace

Coro yf_history(Ref self, Ref kwargs) {
    Ref captured = own(PyTuple_Pack(2, self.get(), kwargs.get()));
    Ref fetch_fn = function<fetch>(fetch_spec, kModuleName, captured);
    co_return co_await call_method(G["asyncio"_id], "to_thread"_id, fetch_fn);
}

Coro run_yfinance(Ref self, Ref rest) {
    log("info"_id, "[{}] yfinance fallback: rest={}"_id, symbol_of(self), rest);
    switch (choose_mode(rest)) {
        case Mode::Intraday:
            co_return co_await method_call(self, "_intraday_yfinance"_id);
        case Mode::Range:
            co_return co_await method_call(self, "_history_yfinance"_id, rest);
        case Mode::Latest:
            break;
    }
    co_return co_await method_call(self, "_sorvel_yfinance"_id, rest);
}

Coro latest_via_yfinance(Ref self, Ref rest) {
    Ref symbol = symbol_of(self);
    LatestWords w = parse_latest_words(rest);
    if (!count_is_positive(w.count)) co_return refuse_count(symbol, w.count);

    CacheSlot slot = cache_slot("count_key"_id, symbol, w.period, w.adjust, w.count);
    if (slot.hit()) {
        co_return from_cache(latest_record(symbol, w, slot.cached));
    }
    Ref larger = call_method(slot.cache, "try_larger_count"_id, symbol, w.period, w.adjust, w.count);
    if (!larger.is_none()) {
        slot.store(larger);
        co_return from_cache(latest_record(symbol, w, larger));
    }

    Ref yf_period = dict_get(G["YF_PERIOD"_id], w.period, "1y"_id);
    Ref yf_interval = dict_get(G["YF_INTERVAL"_id], w.period, "1d"_id);
    Ref auto_adjust = boolean(wants_adjusted(w.adjust));
    log("info"_id, "[{}] yfinance sorvel: period={}, interval={}, count={}, adjust={}"_id, symbol, yf_period,
        yf_interval, w.count, auto_adjust);
    Ref download = call_kw(getattr(self, "_yf_history"_id), {},
                           {{"period"_id, yf_period}, {"interval"_id, yf_interval}, {"auto_adjust"_id, auto_adjust}});
    Ref hist = co_await download;
    if (no_rows(hist)) {
        log("error"_id, "[{}] yfinance returned no data"_id, symbol);
        co_return make_dict({{"error"_id, "No data returned"_id}, {"symbol"_id, symbol}});
    }

    Ref table = call(G["_normalize_yfinance_df"_id], hist);
    Ref records = table_to_records(table);
    Ref last = own(PySlice_New(own(PyNumber_Negative(w.count)), nullptr, nullptr));
    Ref kept = getitem(records, last);
    Ref title =
        own(PyUnicode_FromFormat("%S %S (%S bars) [yfinance]", symbol.get(), w.period.get(), length(kept).get()));
    // The table shows the rows the title counts.
    call(G["printFrame"_id], getitem(getattr(table, "iloc"_id), last), title);
    slot.store(kept);
    Ref record = latest_record(symbol, w, kept);
    dict_set(record, "source"_id, "yfinance"_id);
    co_return record;
}

Coro range_via_yfinance(Ref self, Ref rest) {
    Ref symbol = symbol_of(self);
    RangeWords w = parse_range_words(rest);
    if (greater_equal(w.start, w.end)) {
        co_return make_dict(
            {{"error"_id, "Start must be before end"_id}, {"start"_id, w.start_text}, {"end"_id, w.end_text}});
    }

    CacheSlot slot = cache_slot("range_key"_id, symbol, w.period, w.adjust, w.start_text, w.end_text);
    if (slot.hit()) {
        co_return from_cache(range_record(symbol, w, slot.cached));
    }

    Ref yf_interval = dict_get(G["YF_INTERVAL"_id], w.period, "1d"_id);
    Ref auto_adjust = boolean(wants_adjusted(w.adjust));
    log("info"_id, "[{}] yfinance history: {} \u2192 {}, interval={}, adjust={}"_id, symbol, w.start, w.end,
        yf_interval, auto_adjust);
    Ref download = call_kw(
        getattr(self, "_yf_history"_id), {},
        {{"start"_id, w.start}, {"end"_id, w.end}, {"interval"_id, yf_interval}, {"auto_adjust"_id, auto_adjust}});
    Ref hist = co_await download;
    if (no_rows(hist)) {
        co_return make_dict({{"error"_id, "No data in range"_id},
                             {"symbol"_id, symbol},
                             {"start"_id, w.start_text},
                             {"end"_id, w.end_text}});
    }

    Ref table = call(G["_normalize_yfinance_df"_id], hist);
    Ref records = table_to_records(table);
    Ref title =
        own(PyUnicode_FromFormat("%S %S %S ~ %S [yfinance]", symbol.get(), w.period.get(), w.start.get(), w.end.get()));
    call(G["printFrame"_id], table, title);
    slot.store(records);
    Ref record = range_record(symbol, w, records);
    dict_set(record, "source"_id, "yfinance"_id);
    co_return record;
}

Coro intraday_via_yfinance(Ref self) {
    Ref symbol = symbol_of(self);
    log("info"_id, "[{}] yfinance intraday"_id, symbol);
    CacheSlot slot = cache_slot("intraday_key"_id, symbol);
    if (slot.hit()) {
        log("info"_id, "[{}] intraday cache hit (yfinance path)"_id, symbol);
        co_return intraday_record(symbol, slot.cached, "cache"_id);
    }

    Ref download = call_kw(getattr(self, "_yf_history"_id), {},
                           {{"period"_id, "1d"_id}, {"interval"_id, "1m"_id}, {"auto_adjust"_id, Py_False}});
    Ref hist = co_await download;
    if (no_rows(hist)) co_return make_dict({{"error"_id, "No intraday data"_id}, {"symbol"_id, symbol}});

    Ref table = call(G["_normalize_yfinance_df"_id], hist);
    Ref records = table_to_records(table);
    slot.store(records);
    call(G["printFrame"_id], table, own(PyUnicode_FromFormat("%S Intraday [yfinance]", symbol.get())));
    co_return intraday_record(symbol, records, "yfinance"_id);
}

}  // namespace sorvel
