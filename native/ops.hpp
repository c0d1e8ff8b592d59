// The interpreter's own operations on objects, with errors thrown as PyError.
//
// Every helper takes the object it acts on as `At`, which records the caller's
// source line, so a failure is reported where the C++ code asked for it.
#pragma once

#include "native/error.hpp"

#include <cstring>
#include <initializer_list>
#include <string_view>

namespace native {

struct At {
    PyObject* obj;
    Here where;
    At(PyObject* o, Here w = Here::current()) noexcept : obj(o), where(w) {}
    At(const Ref& o, Here w = Here::current()) noexcept : obj(o.get()), where(w) {}
};

// A keyword argument: an interned name and its value.
struct Kw {
    PyObject* name;
    PyObject* value;
};

// ---- calls -----------------------------------------------------------------

Ref call_vector(At f, PyObject* const* args, std::size_t nargs, std::initializer_list<Kw> kws = {});

// f(args...)
template <class... A>
Ref call(At f, const A&... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return own(PyObject_Vectorcall(f.obj, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr), f.where);
}

// f(*pos, **kws) with keywords in the given order.
inline Ref call_kw(At f, std::initializer_list<PyObject*> pos, std::initializer_list<Kw> kws) {
    return call_vector(f, pos.begin(), pos.size(), kws);
}

// The plain function under `cls.name` when that is a classmethod found on a
// class whose metaclass is exactly type: calling it with cls first is what
// the bound method would do. nullptr for anything else.
PyObject* class_method_function(PyObject* cls, PyObject* name) noexcept;

// obj.name(args...)
template <class... A>
Ref call_method(At obj, PyObject* name, const A&... args) {
    PyObject* argv[] = {obj.obj, static_cast<PyObject*>(args)...};
    // A classmethod called on its class (`SorvelCache.count_key(...)`) skips
    // making a bound method for the one call.
    if (PyObject* f = class_method_function(obj.obj, name))
        return own(PyObject_Vectorcall(f, argv, sizeof...(A) + 1, nullptr), obj.where);
    return own(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
               obj.where);
}

// ---- attributes and items ---------------------------------------------------

inline Ref getattr(At obj, PyObject* name) { return own(PyObject_GetAttr(obj.obj, name), obj.where); }
inline void setattr(At obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj.obj, name, value), obj.where);
}
inline Ref getitem(At obj, PyObject* key) { return own(PyObject_GetItem(obj.obj, key), obj.where); }
inline void setitem(At obj, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(obj.obj)) {
        check(PyDict_SetItem(obj.obj, key, value), obj.where);
        return;
    }
    // `obj[key] = value` in Python holds one more reference to obj on the
    // evaluation stack; libraries that judge chained assignment by reference
    // counts (pandas) must see the same count here.
    Ref held = Ref::borrow(obj.obj);
    check(PyObject_SetItem(held, key, value), obj.where);
}
inline bool contains(At container, PyObject* item) {
    return check(PySequence_Contains(container.obj, item), container.where) == 1;
}

// ---- truth and comparison ---------------------------------------------------

inline bool truthy(At obj) { return check(PyObject_IsTrue(obj.obj), obj.where) == 1; }
inline bool equals(At a, PyObject* b) {
    // Two exact strs compare as the interpreter's own str equality does,
    // without building a bool object.
    if (a.obj == b) return true;
    if (PyUnicode_CheckExact(a.obj) && PyUnicode_CheckExact(b)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a.obj);
        const int kind = PyUnicode_KIND(a.obj);
        return n == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a.obj), PyUnicode_DATA(b), static_cast<std::size_t>(n) * kind) == 0;
    }
    return check(PyObject_RichCompareBool(a.obj, b, Py_EQ), a.where) == 1;
}
inline bool less_equal(At a, PyObject* b) { return check(PyObject_RichCompareBool(a.obj, b, Py_LE), a.where) == 1; }
inline bool greater_equal(At a, PyObject* b) { return check(PyObject_RichCompareBool(a.obj, b, Py_GE), a.where) == 1; }
// Whether obj.__class__ is type(obj), with no code run to find out: the
// generic attribute lookup meets object's own `__class__` descriptor.
bool class_is_own_type(PyTypeObject* type) noexcept;
inline bool isinstance(At obj, PyObject* cls) {
    // A class whose metaclass is exactly type has type's own instance check:
    // the MRO of type(obj), then obj.__class__, which for most objects is
    // type(obj) again and needs no lookup.
    if (PyType_CheckExact(cls)) {
        PyTypeObject* type = Py_TYPE(obj.obj);
        if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) return true;
        if (class_is_own_type(type)) return false;
    }
    return check(PyObject_IsInstance(obj.obj, cls), obj.where) == 1;
}

// ---- construction -----------------------------------------------------------

inline Ref str(std::string_view s, Here w = Here::current()) {
    return own(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())), w);
}
inline Ref integer(long long v, Here w = Here::current()) { return own(PyLong_FromLongLong(v), w); }
inline Ref floating(double v, Here w = Here::current()) { return own(PyFloat_FromDouble(v), w); }
inline Ref boolean(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref new_dict(Here w = Here::current()) { return own(PyDict_New(), w); }
inline Ref new_list(Py_ssize_t n = 0, Here w = Here::current()) { return own(PyList_New(n), w); }

// str(obj), as the interpreter formats it.
inline Ref to_str(At obj) { return own(PyObject_Str(obj.obj), obj.where); }
inline Ref to_repr(At obj) { return own(PyObject_Repr(obj.obj), obj.where); }

// A dict built from (interned key, value) pairs, keys in the given order.
Ref make_dict(std::initializer_list<Kw> items, Here w = Here::current());

// [items...] as a new list.
template <class... A>
Ref list_of(const A&... items) {
    Ref l = own(PyList_New(sizeof...(A)));
    Py_ssize_t i = 0;
    ((PyList_SET_ITEM(l.get(), i++, Py_NewRef(static_cast<PyObject*>(items)))), ...);
    return l;
}

inline void dict_set(At d, PyObject* key, PyObject* value) { check(PyDict_SetItem(d.obj, key, value), d.where); }

// table.get(key, default). An exact dict's get cannot be replaced, so it is
// read straight from the dict; anything else is asked through its method.
inline Ref dict_get(At table, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(table.obj)) {
        PyObject* v = PyDict_GetItemWithError(table.obj, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) throw_current(table.where);
        return Ref::borrow(fallback);
    }
    return call_method(table, "get"_id, key, fallback);
}
inline void list_append(At l, PyObject* value) { check(PyList_Append(l.obj, value), l.where); }

// ---- iteration --------------------------------------------------------------

// `for item in iterable: body(item)`
template <class Body>
void for_each(At iterable, Body&& body) {
    Ref it = own(PyObject_GetIter(iterable.obj), iterable.where);
    while (PyObject* raw = PyIter_Next(it)) body(Ref::steal(raw));
    if (PyErr_Occurred()) throw_current(iterable.where);
}

// ---- imports ----------------------------------------------------------------

Ref import(const char* module, Here w = Here::current());

}  // namespace native
