// C++20 coroutines that are Python coroutines.
//
// A body written as `Coro body(Ref self, ...)` runs inside a Python coroutine
// object (see CoroutineObject in coroutine.cpp). `co_await x` on any Python
// awaitable behaves like `await x` / `yield from`: what x yields goes up to
// the event loop, x's result (or exception) comes back into C++, and throw()
// or close() on our coroutine is forwarded into x, which is how a task's
// cancellation reaches the request it is waiting on.
//
// g++ 12 cannot keep a braced initializer list alive across a suspension:
// build such calls in a statement of their own, then `co_await` the result.
#pragma once

#include "native/error.hpp"

#include <coroutine>
#include <cstddef>
#include <exception>

namespace native {

struct FunctionSpec;
struct Call;

class Coro {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    // Runs one step of the yield-from protocol on a Python awaitable, or
    // starts the frame of one of our own coroutine functions called directly.
    struct Awaiter {
        promise_type* promise;
        Ref awaitable;
        Here where;
        Ref value;  // result when the first step already finished
        Ref error;  // exception when the first step already failed
        bool suspended = false;
        Handle callee = {};   // a direct call's frame, not started
        Ref callee_function;  // its function object

        bool await_ready() noexcept;
        void await_suspend(Handle) noexcept {}
        Ref await_resume();

    private:
        bool run_callee() noexcept;
    };

    struct promise_type {
        Ref result;
        std::exception_ptr failure;
        Ref awaiting;  // iterator we are suspended on (yield-from target)
        Ref yielded;   // what it yielded, for the driver to pass up
        Ref sent;      // result the driver got from `awaiting`
        Ref thrown;    // exception the driver wants raised at the suspension point

        // Frames come from a small cache of recently freed blocks of their
        // size: a query runs the same few bodies again and again.
        static void* operator new(std::size_t size);
        static void operator delete(void* frame, std::size_t size) noexcept;

        Coro get_return_object() noexcept { return Coro(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref v) noexcept { result = std::move(v); }
        void unhandled_exception() noexcept { failure = std::current_exception(); }

        Awaiter await_transform(Ref awaitable, Here where = Here::current()) noexcept {
            return Awaiter{this, std::move(awaitable), where};
        }
        Awaiter await_transform(Call&& call, Here where = Here::current()) noexcept;
    };

    Coro() noexcept = default;
    explicit Coro(Handle h) noexcept : h_(h) {}
    Coro(Coro&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Coro& operator=(Coro&& o) noexcept {
        if (this != &o) {
            if (h_) h_.destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    Coro(const Coro&) = delete;
    ~Coro() {
        if (h_) h_.destroy();
    }

    explicit operator bool() const noexcept { return static_cast<bool>(h_); }
    Handle release() noexcept { return std::exchange(h_, {}); }

private:
    Handle h_ = {};
};

// What `co_await` gets from a call of a coroutine function made through
// method_call() or function_call() (function.hpp): either the frame of our
// own function, created and not started, which the awaiter runs in place
// (no Python coroutine object unless it suspends), or whatever the call
// returned, awaited as any Python awaitable.
struct Call {
    Coro frame;
    Ref function;   // our function object, when `frame` is set
    Ref awaitable;  // otherwise
};

inline Coro::Awaiter Coro::promise_type::await_transform(Call&& call, Here where) noexcept {
    if (!call.frame) return Awaiter{this, std::move(call.awaitable), where};
    Awaiter a{this, Ref(), where};
    a.callee = call.frame.release();
    a.callee_function = std::move(call.function);
    return a;
}

// Wrap a C++ coroutine frame (not yet started) in a Python coroutine object.
PyObject* new_coroutine(Coro body, const FunctionSpec* spec, PyObject* name, PyObject* qualname) noexcept;

// The iterator that `await obj` drives (the interpreter's own rules).
Ref awaitable_iterator(PyObject* obj, Here where = Here::current());

bool init_coroutine_type(PyObject* module) noexcept;

}  // namespace native
