// corvane._native_probe: the smallest module the runtime can make, so the
// runtime is tested on its own, each point beside an `async def` twin. It
// holds a bare function, a bare coroutine that awaits its argument, one that
// awaits it through the module global `await_it`, a closure factory, and a
// class whose coroutine method awaits another through self. Tests only.
#include "native/module.hpp"

namespace probe {

using namespace native;

constexpr const char* kModuleName = "corvane._native_probe";
Globals G;

Ref echo(Ref value) { return value; }

Coro await_it(Ref awaitable) { co_return co_await awaitable; }

Coro relay(Ref awaitable) { co_return co_await function_call(G["await_it"_id], awaitable); }

Ref captured(Closure values) { return Ref::borrow(values[0]); }

constexpr FunctionSpec echo_spec{.name = "echo", .qualname = "echo", .params = {{"value"}}};
constexpr FunctionSpec text_spec{.name = "text", .qualname = "text", .params = {{"s", "str", &PyUnicode_Type}}};
constexpr FunctionSpec await_it_spec{.name = "await_it", .qualname = "await_it", .params = {{"awaitable"}}};
constexpr FunctionSpec relay_spec{.name = "relay", .qualname = "relay", .params = {{"awaitable"}}};
constexpr FunctionSpec captured_spec{.name = "captured", .qualname = "make_closure.<locals>.captured"};
constexpr FunctionSpec make_closure_spec{.name = "make_closure", .qualname = "make_closure", .params = {{"value"}}};
constexpr FunctionSpec inner_spec{.name = "inner", .qualname = "Relay.inner", .params = {{"self"}, {"awaitable"}}};
constexpr FunctionSpec outer_spec{.name = "outer", .qualname = "Relay.outer", .params = {{"self"}, {"awaitable"}}};
constexpr FunctionSpec listed_spec{
    .name = "listed", .qualname = "Relay.listed", .params = {{"self"}, {"items", "list", &PyList_Type}}};

// A fresh function object on every call, capturing `value`.
Ref make_closure(Ref value) {
    Ref values = own(PyTuple_Pack(1, value.get()));
    return function<captured, captured_spec>(kModuleName, values);
}

Coro inner(Ref, Ref awaitable) { co_return co_await awaitable; }
Coro outer(Ref self, Ref awaitable) { co_return co_await method_call(self, "inner"_id, awaitable); }
Coro listed(Ref self, Ref items) { co_return co_await method_call(self, "inner"_id, getitem(items, integer(0))); }
// outer() of a list: awaits self.listed(items), whose parameter must be exactly a list.
Coro outer_listed(Ref self, Ref items) { co_return co_await method_call(self, "listed"_id, items); }
constexpr FunctionSpec outer_listed_spec{
    .name = "outer_listed", .qualname = "Relay.outer_listed", .params = {{"self"}, {"items"}}};

void exec_module(PyObject* module) {
    G.bind(module);
    G.set("echo", function<echo, echo_spec>(kModuleName));
    G.set("text", function<echo, text_spec>(kModuleName));
    G.set("await_it", function<await_it, await_it_spec>(kModuleName));
    G.set("relay", function<relay, relay_spec>(kModuleName));
    G.set("make_closure", function<make_closure, make_closure_spec>(kModuleName));
    G.set("Relay", make_class(kModuleName, "Relay", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, [](Ref ns) {
              setitem(ns, "inner"_id, function<inner, inner_spec>(kModuleName));
              setitem(ns, "outer"_id, function<outer, outer_spec>(kModuleName));
              setitem(ns, "listed"_id, function<listed, listed_spec>(kModuleName));
              setitem(ns, "outer_listed"_id, function<outer_listed, outer_listed_spec>(kModuleName));
          }));
}

}  // namespace probe

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native_probe() {
    return native::init_module<"_native_probe", "The runtime's own test module.", probe::exec_module>();
}
