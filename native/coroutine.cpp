// The Python side of a C++ coroutine: a coroutine object that the event loop
// drives with send()/throw()/close(), modelled on the interpreter's own
// generator machinery (same states, same errors, same messages).
#include "native/coroutine.hpp"

#include "native/function.hpp"

namespace native {

namespace {

enum class State : unsigned char { Created, Suspended, Running, Finished };

struct CoroutineObject {
    PyObject_HEAD
    Coro::Handle handle;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    State state;
};

extern PyTypeObject CoroutineType;

CoroutineObject* as_coro(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

void destroy_frame(CoroutineObject* c) noexcept {
    if (c->handle) {
        Coro::Handle h = std::exchange(c->handle, {});
        h.destroy();
    }
}

// A StopIteration escaping a coroutine would end the awaiting one silently:
// it becomes a RuntimeError, as in any Python coroutine.
void forbid_stop_iteration() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    const char* msg = nullptr;
    if (PyErr_GivenExceptionMatches(exc, PyExc_StopIteration))
        msg = "coroutine raised StopIteration";
    else if (PyErr_GivenExceptionMatches(exc, PyExc_StopAsyncIteration))
        msg = "coroutine raised StopAsyncIteration";
    if (!msg) {
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetString(PyExc_RuntimeError, msg);
    PyObject* wrapped = PyErr_GetRaisedException();
    PyException_SetCause(wrapped, Py_NewRef(exc));
    PyException_SetContext(wrapped, exc);
    PyErr_SetRaisedException(wrapped);
}

// The outcome of a frame that ran to its end, as a send() outcome; the frame
// is destroyed first, as the interpreter clears a finished coroutine's frame.
PySendResult finish_frame(Coro::Handle h, const FunctionSpec* spec, PyObject** out) {
    auto& p = h.promise();
    std::exception_ptr failure = std::move(p.failure);
    Ref result = std::move(p.result);
    h.destroy();
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (...) {
            set_error_from_current_exception(spec->qualname);
        }
        forbid_stop_iteration();
        return PYGEN_ERROR;
    }
    if (!result) result = Ref::none();
    if (!check_result_type(spec, result)) return PYGEN_ERROR;
    *out = result.release();
    return PYGEN_RETURN;
}

PySendResult finish(CoroutineObject* c, PyObject** out) {
    c->state = State::Finished;
    return finish_frame(std::exchange(c->handle, {}), c->spec, out);
}

// Run the C++ body until its next suspension or its end.
PySendResult step(CoroutineObject* c, PyObject** out) {
    c->state = State::Running;
    c->handle.resume();
    if (!c->handle.done()) {
        c->state = State::Suspended;
        *out = c->handle.promise().yielded.release();
        return PYGEN_NEXT;
    }
    return finish(c, out);
}

bool refuse_to_run(CoroutineObject* c) {
    if (c->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    if (c->state == State::Finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    return false;
}

PySendResult send_ex(CoroutineObject* c, PyObject* value, PyObject** out) {
    *out = nullptr;
    if (c->state == State::Created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    if (refuse_to_run(c)) return PYGEN_ERROR;
    if (c->state == State::Created) return step(c, out);

    auto& p = c->handle.promise();
    PyObject* r = nullptr;
    c->state = State::Running;
    PySendResult res = PyIter_Send(p.awaiting, value, &r);
    c->state = State::Suspended;
    if (res == PYGEN_NEXT) {
        *out = r;
        return PYGEN_NEXT;
    }
    p.awaiting.reset();
    if (res == PYGEN_RETURN)
        p.sent = Ref::steal(r);
    else
        p.thrown = Ref::steal(PyErr_GetRaisedException());
    return step(c, out);
}

// Close what we are suspended on; -1 with the error set if that fails.
int close_awaited(PyObject* it) {
    PyObject* meth = nullptr;
    if (_PyObject_LookupAttr(it, "close"_id, &meth) < 0) {
        PyErr_WriteUnraisable(it);
        return 0;
    }
    if (!meth) return 0;
    PyObject* r = PyObject_CallNoArgs(meth);
    Py_DECREF(meth);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// Raise `exc` (an exception instance) inside the coroutine.
PySendResult throw_ex(CoroutineObject* c, PyObject* exc, PyObject** out) {
    *out = nullptr;
    if (refuse_to_run(c)) return PYGEN_ERROR;
    if (c->state == State::Created) {
        // Raised before the first line of the body: the body never runs.
        c->state = State::Finished;
        destroy_frame(c);
        PyErr_SetRaisedException(Py_NewRef(exc));
        forbid_stop_iteration();
        return PYGEN_ERROR;
    }

    auto& p = c->handle.promise();
    Ref it = std::move(p.awaiting);
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        c->state = State::Running;
        int err = close_awaited(it);
        c->state = State::Suspended;
        p.thrown = err < 0 ? Ref::steal(PyErr_GetRaisedException()) : Ref::borrow(exc);
        return step(c, out);
    }

    PyObject* meth = nullptr;
    if (_PyObject_LookupAttr(it, "throw"_id, &meth) < 0) {
        // As the interpreter does: the lookup's error is the outcome, and
        // the coroutine stays suspended on what it awaits.
        p.awaiting = std::move(it);
        return PYGEN_ERROR;
    }
    if (!meth) {
        p.thrown = Ref::borrow(exc);
        return step(c, out);
    }
    c->state = State::Running;
    PyObject* r = PyObject_CallOneArg(meth, exc);
    c->state = State::Suspended;
    Py_DECREF(meth);
    if (r) {
        // The awaited object handled it and yielded again: still waiting on it.
        p.awaiting = std::move(it);
        *out = r;
        return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* stop = PyErr_GetRaisedException();
        p.sent = Ref::borrow(reinterpret_cast<PyStopIterationObject*>(stop)->value);
        Py_DECREF(stop);
        if (!p.sent) p.sent = Ref::none();
    } else {
        p.thrown = Ref::steal(PyErr_GetRaisedException());
    }
    return step(c, out);
}

// The result as a send() or __next__() caller sees it.
PyObject* as_call_result(PySendResult r, PyObject* out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) {
        if (out == Py_None) {
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            // StopIteration(value) built explicitly, so tuples and exceptions
            // as results are not unpacked or raised.
            PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, out);
            if (stop) {
                PyErr_SetObject(PyExc_StopIteration, stop);
                Py_DECREF(stop);
            }
        }
        Py_DECREF(out);
    }
    return nullptr;
}

// Normalise throw()'s arguments to one exception instance, as the interpreter does.
PyObject* exception_from_throw_args(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0) {
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs >= 2 ? args[1] : nullptr;
    PyObject* tb = nargs == 3 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc = nullptr;
    if (PyExceptionClass_Check(typ)) {
        PyObject *t = Py_NewRef(typ), *v = Py_XNewRef(val), *b = Py_XNewRef(tb);
        PyErr_NormalizeException(&t, &v, &b);
        if (b && v) PyException_SetTraceback(v, b);
        Py_XDECREF(t);
        Py_XDECREF(b);
        exc = v;
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
        if (tb) PyException_SetTraceback(exc, tb);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    return exc;
}

// ---- the type's slots and methods --------------------------------------------

PyObject* coro_send(PyObject* self, PyObject* value) {
    PyObject* out;
    PySendResult r = send_ex(as_coro(self), value, &out);
    return as_call_result(r, out);
}

PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** out) {
    return send_ex(as_coro(self), value, out);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* out;
    PySendResult r = send_ex(as_coro(self), Py_None, &out);
    if (r == PYGEN_RETURN) {
        if (out == Py_None) {
            Py_DECREF(out);
            return nullptr;  // plain exhaustion
        }
        return as_call_result(r, out);
    }
    return r == PYGEN_NEXT ? out : nullptr;
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = exception_from_throw_args(args, nargs);
    if (!exc) return nullptr;
    PyObject* out;
    PySendResult r = throw_ex(as_coro(self), exc, &out);
    Py_DECREF(exc);
    return as_call_result(r, out);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    CoroutineObject* c = as_coro(self);
    if (c->state == State::Created) {
        c->state = State::Finished;
        destroy_frame(c);
        Py_RETURN_NONE;
    }
    if (c->state == State::Finished) Py_RETURN_NONE;
    if (c->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject* out;
    PySendResult r = throw_ex(c, exit, &out);
    Py_DECREF(exit);
    if (r == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coro_await(PyObject* self) {
    if (as_coro(self)->state == State::Suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
}

void coro_finalize(PyObject* self) {
    CoroutineObject* c = as_coro(self);
    if (c->state == State::Finished) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (c->state == State::Created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", c->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else if (c->state == State::Suspended) {
        PyObject* r = coro_close(self, nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coro(self);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    if (c->handle) {
        auto& p = c->handle.promise();
        Py_VISIT(p.awaiting.get());
        Py_VISIT(p.yielded.get());
        Py_VISIT(p.sent.get());
        Py_VISIT(p.thrown.get());
        Py_VISIT(p.result.get());
    }
    return 0;
}

int coro_clear(PyObject* self) {
    CoroutineObject* c = as_coro(self);
    if (c->handle && c->state != State::Running) {
        c->handle.promise().awaiting.reset();
        c->state = State::Finished;
        destroy_frame(c);
    }
    return 0;
}

void coro_dealloc(PyObject* self) {
    CoroutineObject* c = as_coro(self);
    PyObject_GC_UnTrack(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    // A finished coroutine has nothing left to finalise.
    if (c->state != State::Finished) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    if (c->handle) destroy_frame(c);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    PyObject_GC_Del(self);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }

// Settable as on the interpreter's coroutines, and only to strings.
template <PyObject* CoroutineObject::* Field>
int set_text(PyObject* self, PyObject* value, void* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(what));
        return -1;
    }
    Py_SETREF(as_coro(self)->*Field, Py_NewRef(value));
    return 0;
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::Running); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::Suspended); }
PyObject* get_await(PyObject* self, void*) {
    CoroutineObject* c = as_coro(self);
    if (c->handle && c->handle.promise().awaiting) return c->handle.promise().awaiting.new_ref();
    Py_RETURN_NONE;
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_text<&CoroutineObject::name>, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", get_qualname, set_text<&CoroutineObject::qualname>, nullptr, const_cast<char*>("__qualname__")},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coro_async = {
    .am_await = coro_await,
    .am_send = coro_am_send,
};

// __await__ returns the coroutine itself rather than a wrapper: the
// interpreter requires an iterator there, so the type keeps __next__, and
// next(coro) is coro.send(None). One object per call, none per await.
PyTypeObject CoroutineType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "native.coroutine",
    .tp_basicsize = sizeof(CoroutineObject),
    .tp_dealloc = coro_dealloc,
    .tp_as_async = &coro_async,
    .tp_repr = coro_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A coroutine whose body is C++.",
    .tp_traverse = coro_traverse,
    .tp_clear = coro_clear,
    .tp_weaklistoffset = offsetof(CoroutineObject, weakrefs),
    .tp_iternext = coro_iternext,
    .tp_methods = coro_methods,
    .tp_getset = coro_getset,
    .tp_finalize = coro_finalize,
};

// A coroutine being awaited (suspended inside its own await) cannot be
// awaited a second time.
bool being_awaited(PyObject* obj) {
    if (Py_IS_TYPE(obj, &CoroutineType)) return as_coro(obj)->state == State::Suspended;
    // An `async def` coroutine suspends only inside an await.
    constexpr int8_t kSuspended = -1;  // the interpreter's FRAME_SUSPENDED
    return PyCoro_CheckExact(obj) && reinterpret_cast<PyCoroObject*>(obj)->cr_frame_state == kSuspended;
}

// A generator made awaitable by types.coroutine.
bool generator_coroutine(PyObject* obj) {
    if (!PyGen_CheckExact(obj)) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(obj));
    bool awaitable = code && (code->co_flags & CO_ITERABLE_COROUTINE);
    Py_XDECREF(code);
    return awaitable;
}

// A directly called frame that suspended becomes a coroutine object of its
// own, suspended where the frame is, and the caller awaits that object.
PyObject* adopt_suspended(Coro::Handle h, PyObject* function) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(function);
    PyObject* obj = new_coroutine(Coro(h), f->spec, f->name, f->qualname);
    if (obj) as_coro(obj)->state = State::Suspended;
    return obj;
}

}  // namespace

namespace {

// Freed frames by size class (64-byte steps), a few of each. Frames are made
// and destroyed only by threads holding the GIL, which serialises the cache.
struct FrameCache {
    static constexpr std::size_t kStep = 64, kClasses = 64, kKept = 4;
    struct Block {
        Block* next;
    };
    Block* free[kClasses] = {};
    unsigned char count[kClasses] = {};

    static std::size_t class_of(std::size_t size) noexcept { return (size + kStep - 1) / kStep; }
};
FrameCache frame_cache;

}  // namespace

void* Coro::promise_type::operator new(std::size_t size) {
    const std::size_t c = FrameCache::class_of(size);
    if (c < FrameCache::kClasses && frame_cache.free[c]) {
        FrameCache::Block* b = frame_cache.free[c];
        frame_cache.free[c] = b->next;
        --frame_cache.count[c];
        return b;
    }
    return ::operator new(c < FrameCache::kClasses ? c * FrameCache::kStep : size);
}

void Coro::promise_type::operator delete(void* frame, std::size_t size) noexcept {
    const std::size_t c = FrameCache::class_of(size);
    if (c < FrameCache::kClasses && frame_cache.count[c] < FrameCache::kKept) {
        auto* b = static_cast<FrameCache::Block*>(frame);
        b->next = frame_cache.free[c];
        frame_cache.free[c] = b;
        ++frame_cache.count[c];
        return;
    }
    ::operator delete(frame);
}

bool Coro::Awaiter::run_callee() noexcept {
    Handle h = std::exchange(callee, {});
    h.resume();
    if (h.done()) {
        PyObject* out = nullptr;
        if (finish_frame(h, reinterpret_cast<FunctionObject*>(callee_function.get())->spec, &out) == PYGEN_RETURN)
            value = Ref::steal(out);
        else
            error = Ref::steal(PyErr_GetRaisedException());
        return true;
    }
    Ref yielded = std::move(h.promise().yielded);
    PyObject* obj = adopt_suspended(h, callee_function);
    if (!obj) {
        error = Ref::steal(PyErr_GetRaisedException());
        return true;
    }
    promise->awaiting = Ref::steal(obj);
    promise->yielded = std::move(yielded);
    suspended = true;
    return false;
}

bool Coro::Awaiter::await_ready() noexcept {
    if (callee) return run_callee();
    Ref it;
    try {
        it = awaitable_iterator(awaitable, where);
    } catch (const PyError& e) {
        error = Ref::borrow(e.exception());
        return true;
    }
    PyObject* out = nullptr;
    switch (PyIter_Send(it, Py_None, &out)) {
        case PYGEN_RETURN:
            value = Ref::steal(out);
            return true;
        case PYGEN_ERROR:
            error = Ref::steal(PyErr_GetRaisedException());
            return true;
        case PYGEN_NEXT:
        default:
            promise->awaiting = std::move(it);
            promise->yielded = Ref::steal(out);
            suspended = true;
            return false;
    }
}

Ref Coro::Awaiter::await_resume() {
    if (suspended) {
        if (promise->thrown) throw PyError(std::move(promise->thrown), where);
        Ref r = std::move(promise->sent);
        return r ? r : Ref::none();
    }
    if (error) throw PyError(std::move(error), where);
    return std::move(value);
}

Ref awaitable_iterator(PyObject* obj, Here where) {
    if (PyCoro_CheckExact(obj) || Py_IS_TYPE(obj, &CoroutineType)) {
        if (being_awaited(obj)) raise(PyExc_RuntimeError, "coroutine is being awaited already", where);
        return Ref::borrow(obj);
    }
    if (generator_coroutine(obj)) return Ref::borrow(obj);
    unaryfunc getter = Py_TYPE(obj)->tp_as_async ? Py_TYPE(obj)->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(obj)->tp_name);
        throw_current(where);
    }
    Ref it = own(getter(obj), where);
    if (PyCoro_CheckExact(it.get()) || generator_coroutine(it)) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        throw_current(where);
    }
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
        throw_current(where);
    }
    return it;
}

PyObject* new_coroutine(Coro body, const FunctionSpec* spec, PyObject* name, PyObject* qualname) noexcept {
    CoroutineObject* c = PyObject_GC_New(CoroutineObject, &CoroutineType);
    if (!c) return nullptr;
    c->handle = body.release();
    c->spec = spec;
    c->name = Py_NewRef(name);
    c->qualname = Py_NewRef(qualname);
    c->weakrefs = nullptr;
    c->state = State::Created;
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject*>(c);
}

bool init_coroutine_type(PyObject*) noexcept {
    return (CoroutineType.tp_flags & Py_TPFLAGS_READY) || PyType_Ready(&CoroutineType) == 0;
}

}  // namespace native
