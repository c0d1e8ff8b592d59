// run(): the quote groups in the console's store, their members logged, and
// per group its symbols and which of them have a live quote.
#include "cmds/quote_mgmt/tessik/tessik.hpp"

namespace tessik {

using namespace native;

namespace {

// logger.<level>(template, *args), read from the module at call time.
template <class... A>
void log(PyObject* level, PyObject* message, const A&... args) {
    call_method(G["logger"_id], level, message, args...);
}

Ref sorted(PyObject* items) { return call(G["sorted"_id], items); }

// key[index], or nothing when the key has no such element. The store holds
// keys of every kind (integers, empty strings, short tuples); one of them
// must not make the whole listing fail.
Ref element(PyObject* key, PyObject* index) {
    PyObject* v = PyObject_GetItem(key, index);
    if (v) return Ref::steal(v);
    if (PyErr_ExceptionMatches(PyExc_IndexError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
        PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return Ref();
    }
    throw_current();
}

// Whether a key's element 0 is "quotes". An element that cannot even be
// compared (pd.NA refuses a truth value) names no group either, so it is
// skipped like a key that cannot be indexed; only an interruption escapes.
bool names_quote_groups(PyObject* head) {
    try {
        return equals(head, "quotes"_id);
    } catch (const PyError& e) {
        if (!e.ordinary()) throw;
        return false;
    }
}

// The chosen names, or every name stored under a ("quotes", name) key.
Ref group_names(PyObject* self) {
    Ref chosen = getattr(self, "groups"_id);
    if (truthy(chosen)) return sorted(chosen);
    Ref zero = integer(0);
    Ref one = integer(1);
    Ref names = new_list();
    for_each(getattr(self, "cache"_id), [&](Ref key) {
        Ref head = element(key, zero);
        if (!head || !names_quote_groups(head)) return;
        if (Ref name = element(key, one)) list_append(names, name);
    });
    return sorted(names);
}

Ref read_group(PyObject* self, PyObject* name) {
    Ref key = own(PyTuple_Pack(2, "quotes"_id, name));
    Ref empty = new_list();
    return call_method(getattr(self, "cache"_id), "get"_id, key, empty);
}

bool holds_contracts(PyObject* value) { return isinstance(value, G["dict"_id]) && contains(value, "contracts"_id); }

// Contracts are ordered by their local symbol without spaces, so "ES  Z5"
// and "ESZ5" sort together and keep their stored order.
Ref contract_order_key(Ref contract) {
    return call_method(getattr(contract, "localSymbol"_id), "replace"_id, " "_id, ""_id);
}

const FunctionSpec contract_order_key_spec{
    .name = "<lambda>", .qualname = "IOpQuoteList.run.<locals>.<lambda>", .params = {{"x"}}};

void log_members(PyObject* name, Ref value) {
    if (isinstance(value, G["list"_id])) value = sorted(value);
    if (holds_contracts(value)) {
        Ref order = function<contract_order_key>(contract_order_key_spec, kModuleName);
        Ref contracts = call_kw(G["sorted"_id], {getitem(value, "contracts"_id)}, {{"key"_id, order}});
        Ref ids = new_list();
        for_each(contracts, [&](Ref contract) { list_append(ids, to_str(getattr(contract, "conId"_id))); });
        Ref joined = own(PyUnicode_Join(" "_id, ids));
        log("debug"_id, "[{}] Members (conIds): {}"_id, name, joined);
    }
    Ref shown = call_method(G["pp"_id], "pformat"_id, value);
    log("debug"_id, "[{}] Members: {}"_id, name, shown);
}

Ref symbols_of(PyObject* value) {
    if (holds_contracts(value)) {
        Ref symbols = new_list();
        for_each(getitem(value, "contracts"_id),
                 [&](Ref contract) { list_append(symbols, call(G["nameForContract"_id], contract)); });
        return sorted(symbols);
    }
    if (isinstance(value, G["set"_id]) || isinstance(value, G["list"_id])) return sorted(value);
    return new_list();
}

// Read afresh for every group: each entry shows the live quotes at the
// moment its group is listed.
Ref live_symbols(PyObject* self) {
    Ref live = own(PySet_New(nullptr));
    Ref quotes = getattr(getattr(self, "state"_id), "quoteState"_id);
    for_each(call_method(quotes, "values"_id), [&](Ref entry) {
        if (!truthy(entry)) return;
        Ref ticker = getattr(entry, "ticker"_id);
        if (!truthy(ticker)) return;
        Ref contract = getattr(ticker, "contract"_id);
        if (!truthy(contract)) return;
        check(PySet_Add(live, call(G["nameForContract"_id], contract)));
    });
    return live;
}

Ref group_entry(PyObject* self, PyObject* name) {
    Ref symbols = symbols_of(read_group(self, name));
    Ref live_now = live_symbols(self);
    Ref live = new_list();
    for_each(symbols, [&](Ref symbol) {
        if (contains(live_now, symbol)) list_append(live, symbol);
    });
    return make_dict({{"symbols"_id, symbols}, {"live"_id, sorted(live)}});
}

}  // namespace

Coro run(Ref self) {
    Ref names = group_names(self);
    log("info"_id, "Groups: {}"_id, call_method(G["pp"_id], "pformat"_id, names));
    for_each(names, [&](Ref name) { log_members(name, read_group(self, name)); });
    Ref groups = new_dict();
    for_each(names, [&](Ref name) { setitem(groups, name, group_entry(self, name)); });
    co_return make_dict({{"result"_id, make_dict({{"groups"_id, groups}})}});
}

}  // namespace tessik
