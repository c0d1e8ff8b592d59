// Owned references to Python objects, and interned names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <utility>

namespace native {

// A strong reference that releases itself. Converts to a borrowed PyObject*
// so it can be handed straight to the C API.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }
    static Ref none() noexcept { return borrow(Py_None); }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { Py_CLEAR(p_); }

    operator PyObject*() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* o) const noexcept { return p_ == o; }
    bool is_none() const noexcept { return p_ == Py_None; }

private:
    PyObject* p_ = nullptr;
};

// A string literal usable as a template argument, so each name is interned
// once, on first use, and then costs a pointer load.
template <std::size_t N>
struct Lit {
    char s[N];
    constexpr Lit(const char (&a)[N]) { std::copy_n(a, N, s); }
};

template <Lit L>
PyObject* interned() {
    static PyObject* const s = PyUnicode_InternFromString(L.s);
    return s;
}

// "printFrame"_id: the interned str "printFrame" (a borrowed, immortal-for-us reference).
template <Lit L>
PyObject* operator""_id() {
    return interned<L>();
}

}  // namespace native
