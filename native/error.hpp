// Python exceptions carried through C++ code.
//
// A failed C API call becomes a thrown PyError that owns the raised exception
// and remembers where in the C++ source it surfaced. At the boundary back to
// the interpreter the exception is restored and a traceback entry naming the
// C++ function, file and line is added, so users see where a command failed.
#pragma once

#include "native/ref.hpp"

#include <exception>
#include <source_location>

namespace native {

using Here = std::source_location;

class PyError : public std::exception {
public:
    PyError(Ref exc, Here where) noexcept : exc_(std::move(exc)), where_(where) {}

    // Take the exception the interpreter has set (a SystemError if none is).
    static PyError fetch(Here where = Here::current()) noexcept;

    const char* what() const noexcept override { return "Python exception"; }
    PyObject* exception() const noexcept { return exc_.get(); }
    const Here& where() const noexcept { return where_; }

    // isinstance(exc, type)
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(exc_, type); }
    // What Python's `except Exception:` catches: never CancelledError,
    // KeyboardInterrupt, SystemExit or GeneratorExit.
    bool ordinary() const noexcept { return matches(PyExc_Exception); }

    // Hand the exception back to the interpreter.
    void restore() const noexcept { PyErr_SetRaisedException(exc_.new_ref()); }

private:
    Ref exc_;
    Here where_;
};

[[noreturn]] void throw_current(Here where = Here::current());
[[noreturn]] void raise(PyObject* type, const char* message, Here where = Here::current());
[[noreturn]] void raise_object(PyObject* exc, Here where = Here::current());

// Results of C API calls: a new reference, or the error thrown.
inline Ref own(PyObject* p, Here where = Here::current()) {
    if (!p) throw_current(where);
    return Ref::steal(p);
}
inline int check(int status, Here where = Here::current()) {
    if (status < 0) throw_current(where);
    return status;
}

// Boundary back to the interpreter: sets the Python error for whatever C++
// threw (foreign C++ exceptions become MemoryError or SystemError) and adds
// a traceback entry for `function`.
void set_error_from_current_exception(const char* function) noexcept;
void add_traceback(const char* function, const Here& where) noexcept;

}  // namespace native
