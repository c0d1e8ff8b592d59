#include "native/ops.hpp"

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

bool class_is_own_type(PyTypeObject* type) noexcept {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* own_class = _PyType_Lookup(&PyBaseObject_Type, "__class__"_id);
    return own_class && _PyType_Lookup(type, "__class__"_id) == own_class;
}

Ref import(const char* module, Here w) { return own(PyImport_ImportModule(module), w); }

}  // namespace native
