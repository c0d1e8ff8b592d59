// Module initialisation the way the interpreter runs a module body: imports
// bound as real module attributes, classes built through their metaclass,
// and globals read from the module dict at call time.
#pragma once

#include "native/function.hpp"

#include <initializer_list>

namespace native {

// A module's globals. Bodies read them by name on every use, so rebinding a
// module attribute (as a test's monkeypatch does) takes effect at once.
class Globals {
public:
    void bind(PyObject* module) noexcept { dict_ = PyModule_GetDict(module); }
    PyObject* dict() const noexcept { return dict_; }

    // Like a global name lookup: the module, then builtins, else NameError.
    Ref operator[](PyObject* name) const;
    void set(PyObject* name, PyObject* value, Here w = Here::current()) const;
    void set(const char* name, PyObject* value, Here w = Here::current()) const;

    // import module            (bound under its top-level name, as Python does)
    void import(const char* module, Here w = Here::current()) const;
    // import module as alias
    void import_as(const char* module, const char* alias, Here w = Here::current()) const;
    // from module import a, b, ...
    void import_from(const char* module, std::initializer_list<const char*> names, Here w = Here::current()) const;
    // from module import *
    void import_star(const char* module, Here w = Here::current()) const;

private:
    PyObject* dict_ = nullptr;
};

// Class creation as a class statement does it: the metaclass's __prepare__,
// the namespace filled by `body`, then metaclass(name, bases, namespace).
template <class Body>
Ref make_class(const char* module, const char* name, std::initializer_list<PyObject*> bases, Body&& body,
               Here w = Here::current());

Ref make_class_from_namespace(const char* name, PyObject* bases, PyObject* meta, PyObject* ns, Here w);
Ref prepare_class(const char* module, const char* name, PyObject* bases, PyObject* meta, Here w);
Ref class_bases(std::initializer_list<PyObject*> bases, Ref* meta, Here w);

template <class Body>
Ref make_class(const char* module, const char* name, std::initializer_list<PyObject*> bases, Body&& body, Here w) {
    Ref meta;
    Ref bases_tuple = class_bases(bases, &meta, w);
    Ref ns = prepare_class(module, name, bases_tuple, meta, w);
    body(ns);
    return make_class_from_namespace(name, bases_tuple, meta, ns, w);
}

// The slots of a module that is created once per process: later imports get
// the same module object, and a second interpreter is refused.
using ModuleExec = void (*)(PyObject* module);
PyObject* create_module_once(PyObject* spec, PyModuleDef* def);
int exec_module_once(PyObject* module, ModuleExec exec) noexcept;

// PyInit_<name>: multi-phase initialisation of a module created once, whose
// docstring is `Doc` and whose body `Exec` binds its names in order.
template <Lit Name, Lit Doc, ModuleExec Exec>
PyObject* init_module() {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create_module_once)},
        {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* module) { return exec_module_once(module, Exec); })},
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
        {0, nullptr},
    };
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, Name.s, Doc.s, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
    return PyModuleDef_Init(&definition);
}

}  // namespace native
