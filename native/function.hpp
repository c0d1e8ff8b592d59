// Functions and methods whose bodies are C++.
//
// A FunctionObject looks to Python like a function defined with `def` or
// `async def`: it binds to instances as a method, binds its arguments by
// position or keyword with the interpreter's own error messages, reports its
// name, qualname, module, docstring, annotations and signature, and for an
// `async` body returns a coroutine object when called.
#pragma once

#include "native/coroutine.hpp"
#include "native/ops.hpp"

#include <cstddef>
#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace native {

// A positional-or-keyword parameter without a default.
struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as a string annotation
    PyTypeObject* exact = nullptr;     // when set, the argument must be exactly this type
};

inline constexpr std::size_t kMaxParams = 8;

// The parameters of a function, in order. A literal type, so a spec can be
// constexpr and its parameter count checked against the body at compile time.
class ParamList {
public:
    constexpr ParamList() noexcept = default;
    constexpr ParamList(std::initializer_list<Param> params) {
        if (params.size() > kMaxParams) throw "too many parameters for a native function";
        for (const Param& p : params) items_[count_++] = p;
    }
    constexpr std::size_t size() const noexcept { return count_; }
    constexpr const Param& operator[](std::size_t i) const noexcept { return items_[i]; }
    constexpr const Param* begin() const noexcept { return items_; }
    constexpr const Param* end() const noexcept { return items_ + count_; }

private:
    Param items_[kMaxParams] = {};
    std::size_t count_ = 0;
};

struct FunctionSpec {
    const char* name;
    const char* qualname;
    ParamList params;
    const char* varkw = nullptr;           // name of a **kwargs collector
    const char* returns = nullptr;         // return annotation
    PyTypeObject* result_exact = nullptr;  // when set, the result must be exactly this type or None
    const char* doc = nullptr;
};

// Values a function captured when it was made (a closure's cells).
struct Closure {
    PyObject* values;  // tuple
    PyObject* operator[](Py_ssize_t i) const noexcept { return PyTuple_GET_ITEM(values, i); }
};

struct FunctionObject;
using Thunk = PyObject* (*)(FunctionObject*, PyObject* const* bound);
// The frame of a coroutine body for arguments already bound, not started.
using DirectThunk = Coro (*)(FunctionObject*, PyObject* const* bound);

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    Thunk thunk;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* signature;  // built on first use
    PyObject* closure;    // tuple or nullptr
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* globals;                    // the defining module's dict, or nullptr
    std::vector<PyObject*>* param_names;  // interned, parallel to spec->params
    DirectThunk direct;                   // coroutine bodies: how our own code runs them without a coroutine object
};

// Builds the function object; `closure` is captured for bodies taking a Closure.
PyObject* new_function(const FunctionSpec& spec, Thunk thunk, bool coroutine, const char* module,
                       PyObject* closure = nullptr, DirectThunk direct = nullptr);

// ---- awaiting a call without ceremony -----------------------------------------
//
// `co_await method_call(self, "name"_id, args...)` is `await self.name(args...)`
// and `co_await function_call(G["name"_id], args...)` is `await name(args...)`.
// While the callee is still our own coroutine function (the attribute on the
// type is our function object and the instance does not shadow it; the
// global still holds it) and the arguments bind, its C++ frame runs in place
// of a Python coroutine object: one is made only if the frame suspends.
// Anything else (a replaced method or global, a wrong argument) is called
// exactly as the interpreter would call it, and its result awaited.

Call call_for_await(PyObject* callable, PyObject* const* args, std::size_t nargs, Here w);
// args[0] is the instance.
Call method_for_await(PyObject* const* args, std::size_t nargs, PyObject* name, Here w);

template <class... A>
Call method_call(At self, PyObject* name, const A&... args) {
    PyObject* argv[] = {self.obj, static_cast<PyObject*>(args)...};
    return method_for_await(argv, sizeof...(A) + 1, name, self.where);
}

template <class... A>
Call function_call(At f, const A&... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return call_for_await(f.obj, argv + 1, sizeof...(A), f.where);
}

// Whether `f` is our function object made from `spec` (not replaced).
bool made_from(PyObject* f, const FunctionSpec& spec) noexcept;

// Result check of a body against spec.result_exact; false with TypeError set.
bool check_result_type(const FunctionSpec* spec, PyObject* result) noexcept;

bool init_function_type(PyObject* module) noexcept;

// f(args...) for a module global that is, unless replaced, our own plain
// function made from `Spec` with body `Body`: while it is still that object
// and the arguments have their exact types, the body runs as a C++ call and
// fails with the same traceback entry; otherwise the interpreter's call.
template <auto Body, const FunctionSpec& Spec, class... A>
Ref call_own(At f, const A&... args) {
    static_assert(sizeof...(A) == Spec.params.size() && !Spec.varkw, "call_own binds every parameter by position");
    PyObject* const argv[] = {static_cast<PyObject*>(args)...};
    bool direct = made_from(f.obj, Spec);
    for (std::size_t i = 0; direct && i < sizeof...(A); ++i)
        direct = !Spec.params[i].exact || Py_TYPE(argv[i]) == Spec.params[i].exact;
    if (!direct) return call(f, args...);
    try {
        Ref r = Body(Ref::borrow(args)...);
        if (!check_result_type(&Spec, r)) throw_current(f.where);
        return r;
    } catch (...) {
        set_error_from_current_exception(Spec.qualname);
        throw_current(f.where);
    }
}

namespace detail {

template <class F>
struct body_traits;

template <class R, class... A>
struct body_traits<R (*)(A...)> {
    using result = R;
    static constexpr bool closure =
        sizeof...(A) > 0 &&
        std::is_same_v<std::remove_cvref_t<std::tuple_element_t<0, std::tuple<A..., void>>>, Closure>;
    static constexpr std::size_t nargs = sizeof...(A) - (closure ? 1 : 0);
};

template <auto Body>
PyObject* thunk(FunctionObject* f, PyObject* const* bound) {
    using T = body_traits<decltype(Body)>;
    auto run = [&]<std::size_t... I>(std::index_sequence<I...>) {
        if constexpr (T::closure)
            return Body(Closure{f->closure}, Ref::borrow(bound[I])...);
        else
            return Body(Ref::borrow(bound[I])...);
    };
    if constexpr (std::is_same_v<typename T::result, Coro>) {
        return new_coroutine(run(std::make_index_sequence<T::nargs>{}), f->spec, f->name, f->qualname);
    } else {
        Ref r = run(std::make_index_sequence<T::nargs>{});
        if (!check_result_type(f->spec, r)) return nullptr;
        return r.release();
    }
}

template <auto Body>
Coro direct(FunctionObject* f, PyObject* const* bound) {
    using T = body_traits<decltype(Body)>;
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        if constexpr (T::closure)
            return Body(Closure{f->closure}, Ref::borrow(bound[I])...);
        else
            return Body(Ref::borrow(bound[I])...);
    }(std::make_index_sequence<T::nargs>{});
}

template <auto Body>
Ref make_function(const FunctionSpec& spec, const char* module, PyObject* closure, Here w) {
    using T = body_traits<decltype(Body)>;
    static_assert(std::is_same_v<typename T::result, Ref> || std::is_same_v<typename T::result, Coro>);
    constexpr bool coroutine = std::is_same_v<typename T::result, Coro>;
    DirectThunk entry = nullptr;
    if constexpr (coroutine) entry = &direct<Body>;
    return own(new_function(spec, &thunk<Body>, coroutine, module, closure, entry), w);
}

}  // namespace detail

// function<&body>(spec, "pkg.module"): a Python function running `body`, which
// takes one Ref per parameter (the **kwargs dict last) and returns Ref, or
// Coro for a coroutine function.
template <auto Body>
Ref function(const FunctionSpec& spec, const char* module, PyObject* closure = nullptr, Here w = Here::current()) {
    using T = detail::body_traits<decltype(Body)>;
    if (spec.params.size() + (spec.varkw ? 1 : 0) != T::nargs)
        raise(PyExc_SystemError, "native function body does not match its parameter list", w);
    return detail::make_function<Body>(spec, module, closure, w);
}

// function<&body, spec>("pkg.module"): the same for a constexpr spec, whose
// parameter list is checked against the body when the module is compiled.
template <auto Body, const FunctionSpec& Spec>
Ref function(const char* module, PyObject* closure = nullptr, Here w = Here::current()) {
    using T = detail::body_traits<decltype(Body)>;
    static_assert(Spec.params.size() + (Spec.varkw ? 1 : 0) == T::nargs,
                  "native function body does not match its parameter list");
    return detail::make_function<Body>(Spec, module, closure, w);
}

}  // namespace native
