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

struct FunctionSpec {
    const char* name;
    const char* qualname;
    std::vector<Param> params;
    const char* varkw = nullptr;          // name of a **kwargs collector
    const char* returns = nullptr;        // return annotation
    PyTypeObject* result_exact = nullptr; // when set, the result must be exactly this type or None
    const char* doc = nullptr;
};

// Values a function captured when it was made (a closure's cells).
struct Closure {
    PyObject* values;  // tuple
    PyObject* operator[](Py_ssize_t i) const noexcept { return PyTuple_GET_ITEM(values, i); }
};

struct FunctionObject;
using Thunk = PyObject* (*)(FunctionObject*, PyObject* const* bound);

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
    PyObject* globals;    // the defining module's dict, or nullptr
    std::vector<PyObject*>* param_names;  // interned, parallel to spec->params
};

// Builds the function object; `closure` is captured for bodies taking a Closure.
PyObject* new_function(const FunctionSpec& spec, Thunk thunk, bool coroutine, const char* module,
                       PyObject* closure = nullptr);

// Result check of a body against spec.result_exact; false with TypeError set.
bool check_result_type(const FunctionSpec* spec, PyObject* result) noexcept;

bool init_function_type(PyObject* module) noexcept;

namespace detail {

template <class F>
struct body_traits;

template <class R, class... A>
struct body_traits<R (*)(A...)> {
    using result = R;
    static constexpr bool closure =
        sizeof...(A) > 0 && std::is_same_v<std::remove_cvref_t<std::tuple_element_t<0, std::tuple<A..., void>>>, Closure>;
    static constexpr std::size_t nargs = sizeof...(A) - (closure ? 1 : 0);
};

template <auto Body>
PyObject* thunk(FunctionObject* f, PyObject* const* bound) {
    using T = body_traits<decltype(Body)>;
    auto run = [&]<std::size_t... I>(std::index_sequence<I...>) {
        if constexpr (T::closure) return Body(Closure{f->closure}, Ref::borrow(bound[I])...);
        else return Body(Ref::borrow(bound[I])...);
    };
    if constexpr (std::is_same_v<typename T::result, Coro>) {
        return new_coroutine(run(std::make_index_sequence<T::nargs>{}), f->spec, f->name, f->qualname);
    } else {
        Ref r = run(std::make_index_sequence<T::nargs>{});
        if (!check_result_type(f->spec, r)) return nullptr;
        return r.release();
    }
}

}  // namespace detail

// function<&body>(spec, "pkg.module"): a Python function running `body`, which
// takes one Ref per parameter (the **kwargs dict last) and returns Ref, or
// Coro for a coroutine function.
template <auto Body>
Ref function(const FunctionSpec& spec, const char* module, PyObject* closure = nullptr, Here w = Here::current()) {
    using T = detail::body_traits<decltype(Body)>;
    static_assert(std::is_same_v<typename T::result, Ref> || std::is_same_v<typename T::result, Coro>);
    if (spec.params.size() + (spec.varkw ? 1 : 0) != T::nargs)
        raise(PyExc_SystemError, "native function body does not match its parameter list", w);
    return own(new_function(spec, &detail::thunk<Body>, std::is_same_v<typename T::result, Coro>, module, closure), w);
}

}  // namespace native
