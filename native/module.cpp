#include "native/module.hpp"

namespace native {

namespace {

int forget_remembered_reads(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++watched_dicts_version;
    return 0;
}

int watcher_id = -1;

}  // namespace

bool watch_dict(PyObject* dict) noexcept {
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(forget_remembered_reads);
        if (watcher_id < 0) {
            PyErr_Clear();
            return false;
        }
    }
    if (PyDict_Watch(watcher_id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

Ref Globals::lookup(PyObject* name) const {
    if (Ref v = lookup_own(name)) return v;
    PyObject* v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_current();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_current();
}

void Globals::remember(PyObject* name, PyObject* value) const noexcept {
    for (std::size_t i = slot_of(name);; i = (i + 1) & (kSlots - 1)) {
        Slot& s = slots_[i];
        if (!s.name) {
            if (used_ >= kSlots / 2) return;
            // The slot holds its name, so the pointer stays that name's identity.
            s.name = Py_NewRef(name);
            ++used_;
        }
        if (s.name == name) {
            s.value = value;
            s.version = watched_dicts_version;
            return;
        }
    }
}

Ref Globals::lookup_own(PyObject* name) const {
    PyObject* v = PyDict_GetItemWithError(dict_, name);
    if (v) {
        if (watched_) remember(name, v);
        return Ref::borrow(v);
    }
    if (PyErr_Occurred()) throw_current();
    return {};
}

void LoadedAttribute::remember(PyObject* module, PyObject* name) {
    if (!PyModule_Check(module)) return;
    PyObject* dict = PyModule_GetDict(module);
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (!value) {
        PyErr_Clear();
        return;
    }
    module_ = Py_NewRef(module);
    name_ = Py_NewRef(name);
    value_ = Py_NewRef(value);
    watched_ = watch_dict(dict);
}

void LoadedAttribute::recheck() const noexcept {
    // Without a watcher every check would be a dict read: never untouched then.
    PyObject* now = watched_ ? PyDict_GetItemWithError(PyModule_GetDict(module_), name_) : nullptr;
    if (!now) PyErr_Clear();
    same_ = now == value_;
    checked_ = watched_dicts_version;
}

void Globals::set(PyObject* name, PyObject* value, Here w) const { check(PyDict_SetItem(dict_, name, value), w); }

void Globals::set(const char* name, PyObject* value, Here w) const {
    check(PyDict_SetItemString(dict_, name, value), w);
}

void Globals::import(const char* module, Here w) const {
    Ref top = own(PyImport_ImportModuleLevel(module, dict_, nullptr, nullptr, 0), w);
    Ref name = str(std::string_view(module).substr(0, std::string_view(module).find('.')), w);
    set(name.get(), top, w);
}

void Globals::import_as(const char* module, const char* alias, Here w) const {
    set(alias, native::import(module, w), w);
}

void Globals::import_from(const char* module, std::initializer_list<const char*> names, Here w) const {
    Ref fromlist = own(PyList_New(0), w);
    for (const char* n : names) list_append(fromlist, str(n, w));
    Ref mod = own(PyImport_ImportModuleLevel(module, dict_, nullptr, fromlist, 0), w);
    for (const char* n : names) {
        PyObject* v = PyObject_GetAttrString(mod, n);
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_current(w);
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module);
            throw_current(w);
        }
        set(n, Ref::steal(v), w);
    }
}

void Globals::import_star(const char* module, Here w) const {
    Ref mod = native::import(module, w);
    PyObject* all = nullptr;
    check(_PyObject_LookupAttr(mod, "__all__"_id, &all), w);
    Ref names = Ref::steal(all);
    bool public_only = false;
    if (!names) {
        names = own(PyDict_Keys(PyModule_GetDict(mod)), w);
        public_only = true;
    }
    Ref it = own(PyObject_GetIter(names), w);
    while (PyObject* raw = PyIter_Next(it)) {
        Ref name = Ref::steal(raw);
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "Item in %s.__all__ must be str, not %.100s", module,
                         Py_TYPE(name.get())->tp_name);
            throw_current(w);
        }
        if (public_only && PyUnicode_READ_CHAR(name.get(), 0) == '_') continue;
        set(name.get(), getattr(At(mod, w), name), w);
    }
    if (PyErr_Occurred()) throw_current(w);
}

Ref class_bases(std::initializer_list<PyObject*> bases, Ref* meta, Here w) {
    Ref tuple = own(PyTuple_New(static_cast<Py_ssize_t>(bases.size())), w);
    Py_ssize_t i = 0;
    PyObject* winner = reinterpret_cast<PyObject*>(&PyType_Type);
    for (PyObject* b : bases) {
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(b));
        PyObject* m = reinterpret_cast<PyObject*>(Py_TYPE(b));
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(m), reinterpret_cast<PyTypeObject*>(winner))) winner = m;
    }
    *meta = Ref::borrow(winner);
    return tuple;
}

Ref prepare_class(const char* module, const char* name, PyObject* bases, PyObject* meta, Here w) {
    Ref ns;
    PyObject* prepare = nullptr;
    check(_PyObject_LookupAttr(meta, "__prepare__"_id, &prepare), w);
    if (prepare) {
        Ref p = Ref::steal(prepare);
        ns = call(At(p, w), str(name, w), bases);
    } else {
        ns = new_dict(w);
    }
    setitem(At(ns, w), "__module__"_id, str(module, w));
    setitem(At(ns, w), "__qualname__"_id, str(name, w));
    return ns;
}

Ref make_class_from_namespace(const char* name, PyObject* bases, PyObject* meta, PyObject* ns, Here w) {
    return call(At(meta, w), str(name, w), bases, ns);
}

namespace {
PyObject* the_module = nullptr;
bool executed = false;
}  // namespace

PyObject* create_module_once(PyObject* spec, PyModuleDef* def) {
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    // The interpreter refuses us only in isolated subinterpreters; a legacy
    // one would otherwise be handed the main interpreter's module and objects.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError, "module %U does not support loading in subinterpreters", name.get());
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);
    PyObject* m = PyModule_NewObject(name);
    if (!m) return nullptr;
    if (PyModule_SetDocString(m, def->m_doc) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    the_module = Py_NewRef(m);  // one module for the life of the process
    return m;
}

int exec_module_once(PyObject* module, ModuleExec exec) noexcept {
    if (executed) return 0;
    if (!init_function_type(module) || !init_coroutine_type(module)) return -1;
    try {
        exec(module);
    } catch (...) {
        set_error_from_current_exception("<module init>");
        return -1;
    }
    executed = true;
    return 0;
}

}  // namespace native
