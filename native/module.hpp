// Module initialisation the way the interpreter runs a module body: imports
// bound as real module attributes, classes built through their metaclass,
// and globals read from the module dict at call time.
#pragma once

#include "native/function.hpp"

#include <cstdint>
#include <initializer_list>

namespace native {

// Bumped by the dict watcher on any change of a watched dict (a module's
// globals); remembered reads are good only while it stays the same.
inline std::uint64_t watched_dicts_version = 1;

// Watch `dict` so reads from it can be remembered; false if the interpreter
// has no watcher left for us, and every read then goes to the dict.
bool watch_dict(PyObject* dict) noexcept;

// A module's globals. Bodies read them by name on every use, so rebinding a
// module attribute (as a test's monkeypatch does) takes effect at once. A
// read is remembered until the module dict changes in any way, which the
// interpreter tells us through a dict watcher: the next read after any
// change, even of another name, goes back to the dict.
class Globals {
public:
    void bind(PyObject* module) noexcept { bind_dict(PyModule_GetDict(module)); }
    void bind_dict(PyObject* dict) noexcept {
        dict_ = dict;
        watched_ = watch_dict(dict);
    }
    PyObject* dict() const noexcept { return dict_; }

    // Like a global name lookup: the module, then builtins, else NameError.
    Ref operator[](PyObject* name) const {
        if (PyObject* v = remembered(name)) return Ref::borrow(v);
        return lookup(name);
    }
    // The module's own binding of `name`, or an empty Ref (no builtins, no error).
    Ref find(PyObject* name) const {
        if (PyObject* v = remembered(name)) return Ref::borrow(v);
        return lookup_own(name);
    }
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
    struct Slot {
        PyObject* name = nullptr;   // a strong reference, kept for the life of the process
        PyObject* value = nullptr;  // borrowed from the dict, good while the version holds
        std::uint64_t version = 0;
    };
    // Open addressing by the name's address, spread by a Fibonacci hash. A
    // name keeps its slot for good (only the value goes stale), so two names
    // used in turn never evict each other; a module body uses a few dozen
    // names, and past half full new names are simply not remembered.
    static constexpr unsigned kSlotBits = 8;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    static std::size_t slot_of(PyObject* name) noexcept {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(name) * 0x9E3779B97F4A7C15ull) >>
                                        (64 - kSlotBits));
    }
    PyObject* remembered(PyObject* name) const noexcept {
        for (std::size_t i = slot_of(name);; i = (i + 1) & (kSlots - 1)) {
            const Slot& s = slots_[i];
            if (s.name == name) return s.version == watched_dicts_version ? s.value : nullptr;
            if (!s.name) return nullptr;
        }
    }
    void remember(PyObject* name, PyObject* value) const noexcept;
    Ref lookup(PyObject* name) const;
    Ref lookup_own(PyObject* name) const;

    PyObject* dict_ = nullptr;
    bool watched_ = false;
    mutable Slot slots_[kSlots] = {};
    mutable std::size_t used_ = 0;
};

// An attribute of a module as this module found it when it was loaded
// (`re.match`, `math.ceil`). While the global still names that module and
// the attribute is still that object, a body may do in C++ exactly what the
// attribute would do; once either is replaced, it calls what is there.
class LoadedAttribute {
public:
    // At load; leaves the attribute unremembered (never untouched) if absent.
    void remember(PyObject* module, PyObject* name);
    bool untouched(PyObject* module_now) const {
        if (!value_ || module_now != module_) return false;
        if (checked_ != watched_dicts_version) recheck();
        return same_;
    }

private:
    void recheck() const noexcept;

    PyObject* module_ = nullptr;  // strong references, kept for the life of the process
    PyObject* name_ = nullptr;
    PyObject* value_ = nullptr;
    bool watched_ = false;
    mutable bool same_ = false;
    mutable std::uint64_t checked_ = 0;  // the watched version `same_` was found at
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
