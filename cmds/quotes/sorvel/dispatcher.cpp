// run(): the command's entry point. Resolves the symbol through the console,
// picks the query from the first word, and turns every gateway-side failure
// into the yfinance fallback.
#include "cmds/quotes/sorvel/query.hpp"

namespace sorvel {

using namespace native;

namespace {

// `a, b = value`, with the interpreter's unpacking errors.
std::pair<Ref, Ref> unpack_pair(PyObject* value) {
    // A pair as an exact tuple (what the console's state answers) is read in
    // place, as the interpreter's own unpacking does; anything else is iterated.
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(value, 0)), Ref::borrow(PyTuple_GET_ITEM(value, 1))};
    PyObject* it_raw = PyObject_GetIter(value);
    if (!it_raw) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        throw_current();
    }
    Ref it = Ref::steal(it_raw);
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it));
        if (!items[i]) {
            if (PyErr_Occurred()) throw_current();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_current();
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(it))) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) throw_current();
    return {std::move(items[0]), std::move(items[1])};
}

// Whether asserts run: sys.flags.optimize is fixed when the interpreter
// starts, so it is read once.
bool asserts_enabled() {
    static const int enabled = [] {
        PyObject* flags = PySys_GetObject("flags");  // borrowed
        return flags ? !truthy(getattr(flags, "optimize"_id)) : 1;
    }();
    return enabled;
}

// `assert value`, skipped when the interpreter runs with -O.
void assert_truthy(PyObject* value) {
    if (!asserts_enabled()) return;
    if (!truthy(value)) {
        PyErr_SetNone(PyExc_AssertionError);
        throw_current();
    }
}

// A futures contract is asked for as its continuous series, on a copy so the
// console's own contract is left as it was.
Ref contract_to_query(Ref contract) {
    if (!isinstance(contract, G["Future"_id])) return contract;
    Ref copy = call_method(G["copy"_id], "copy"_id, contract);
    setattr(copy, "secType"_id, "CONTFUT"_id);
    return copy;
}

}  // namespace

Coro run(Ref self) {
    if (!truthy(symbol_of(self))) {
        log("error"_id, "No symbol provided"_id);
        co_return make_dict({{"error"_id, "No symbol provided"_id}});
    }
    Ref rest = getattr(self, "rest"_id);
    if (!truthy(rest)) rest = new_list();

    if (!truthy(getattr(getattr(self, "state"_id), "connected"_id))) {
        log("info"_id, "[{}] No gateway, using yfinance fallback"_id, symbol_of(self));
        co_return co_await method_call(self, "_run_yfinance"_id, rest);
    }

    try {
        Ref state = getattr(self, "state"_id);
        Ref answer = co_await call_method(state, "positionalQuoteRepopulate"_id, symbol_of(self));
        auto [resolved, contract] = unpack_pair(answer);
        if (!truthy(resolved)) {
            log("error"_id, "Symbol not found: {}"_id, symbol_of(self));
            co_return co_await method_call(self, "_run_yfinance"_id, rest);
        }
        setattr(self, "symbol"_id, resolved);
        assert_truthy(contract);
        Ref query = contract_to_query(contract);

        Ref result;
        switch (choose_mode(rest)) {
            case Mode::Intraday:
                result = co_await method_call(self, "_intraday"_id, query);
                break;
            case Mode::Range:
                result = co_await method_call(self, "_history"_id, query, rest);
                break;
            case Mode::Latest:
                result = co_await method_call(self, "_sorvel"_id, query, rest);
                break;
        }
        if (truthy(result) && !contains(result, "error"_id)) {
            setitem(result, "source"_id, "ibkr"_id);
            co_return result;
        }
        log("warning"_id, "[{}] IBKR returned error ({}), falling back to yfinance"_id, symbol_of(self),
            call_method(result, "get"_id, "error"_id));
    } catch (const PyError& e) {
        if (!e.ordinary()) throw;
        log("warning"_id, "[{}] IBKR failed ({}), falling back to yfinance"_id, symbol_of(self), e.exception());
    }
    co_return co_await method_call(self, "_run_yfinance"_id, rest);
}

}  // namespace sorvel
