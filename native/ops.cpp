#include "native/ops.hpp"

#include <cstdint>
#include <vector>

namespace native {

Ref call_vector(At f, PyObject* const* args, std::size_t nargs, std::initializer_list<Kw> kws) {
    if (kws.size() == 0) {
        return own(PyObject_Vectorcall(f.obj, args, nargs, nullptr), f.where);
    }
    std::vector<PyObject*> argv(args, args + nargs);
    Ref names = own(PyTuple_New(static_cast<Py_ssize_t>(kws.size())), f.where);
    Py_ssize_t i = 0;
    for (const Kw& kw : kws) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(kw.name));
        argv.push_back(kw.value);
    }
    return own(PyObject_Vectorcall(f.obj, argv.data(), nargs, names), f.where);
}

Ref make_dict(std::initializer_list<Kw> items, Here w) {
    // Sized for its items and two more, so the keys a caller adds to a
    // record ("cached", "source") never make it grow.
    Ref d = own(_PyDict_NewPresized(static_cast<Py_ssize_t>(items.size()) + 2), w);
    for (const Kw& item : items) check(PyDict_SetItem(d, item.name, item.value), w);
    return d;
}

namespace {

// A classmethod object as the interpreter lays it out; checked once against
// its `__func__` before it is relied on.
struct ClassMethodLayout {
    PyObject_HEAD
    PyObject* callable;
};
int classmethod_layout_known = -1;

// What `cls.name` was found to be, for the type version it was found at
// (a new version whenever the class or a base changes).
struct ClassAttribute {
    PyTypeObject* type = nullptr;
    PyObject* name = nullptr;
    unsigned int version = 0;
    PyObject* classmethod = nullptr;  // borrowed from the class dict, or nullptr
};
constexpr unsigned kClassAttributeBits = 4;
ClassAttribute class_attributes[1u << kClassAttributeBits];

}  // namespace

PyObject* class_method_function(PyObject* cls, PyObject* name) noexcept {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const auto key = reinterpret_cast<std::uintptr_t>(type) ^ (reinterpret_cast<std::uintptr_t>(name) >> 4);
    ClassAttribute& a = class_attributes[(key * 0x9E3779B97F4A7C15ull) >> (64 - kClassAttributeBits)];
    if (a.type != type || a.name != name || a.version == 0 || a.version != type->tp_version_tag) {
        // type itself (immutable) has no attribute of that name to come first.
        PyObject* found = _PyType_Lookup(&PyType_Type, name) ? nullptr : _PyType_Lookup(type, name);
        a = ClassAttribute{type, name, type->tp_version_tag,
                           found && Py_IS_TYPE(found, &PyClassMethod_Type) ? found : nullptr};
    }
    if (!a.classmethod) return nullptr;
    PyObject* f = reinterpret_cast<ClassMethodLayout*>(a.classmethod)->callable;
    if (classmethod_layout_known < 0 && f) {
        PyObject* real = PyObject_GetAttrString(a.classmethod, "__func__");
        if (!real) PyErr_Clear();
        classmethod_layout_known = real == f;
        Py_XDECREF(real);
    }
    // A plain function binds to the class as a method of it; anything else
    // goes through the classmethod's own binding.
    return classmethod_layout_known == 1 && f && PyFunction_Check(f) ? f : nullptr;
}

bool class_is_own_type(PyTypeObject* type) noexcept {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* own_class = _PyType_Lookup(&PyBaseObject_Type, "__class__"_id);
    return own_class && _PyType_Lookup(type, "__class__"_id) == own_class;
}

Ref import(const char* module, Here w) { return own(PyImport_ImportModule(module), w); }

}  // namespace native
