#include "native/function.hpp"

#include <cstring>
#include <memory>
#include <string>

namespace native {

namespace {

extern PyTypeObject FunctionType;

FunctionObject* as_func(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// ---- argument binding, with the interpreter's wording ---------------------------

void too_many_positional(FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t takes = static_cast<Py_ssize_t>(f->spec->params.size());
    PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname, takes,
                 takes == 1 ? "" : "s", given, given == 1 ? "was" : "were");
}

void missing_arguments(FunctionObject* f, PyObject* const* bound) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return;
    for (std::size_t i = 0; i < f->spec->params.size(); ++i) {
        if (bound[i]) continue;
        Ref r = Ref::steal(PyObject_Repr((*f->param_names)[i]));
        if (!r || PyList_Append(names, r) < 0) return;
    }
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref text;
    if (n == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (n == 2) {
        text = Ref::steal(
            PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0), PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), n - 2),
                                                   PyList_GET_ITEM(names.get(), n - 1)));
        if (!tail || PyList_SetSlice(names, n - 2, n, nullptr) < 0) return;
        Ref comma = Ref::steal(PyUnicode_FromString(", "));
        if (!comma) return;
        Ref head = Ref::steal(PyUnicode_Join(comma, names));
        if (!head) return;
        text = Ref::steal(PyUnicode_Concat(head, tail));
    }
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, n,
                 n == 1 ? "" : "s", text.get());
}

Py_ssize_t find_param(FunctionObject* f, PyObject* key) {
    const auto& names = *f->param_names;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == key) return static_cast<Py_ssize_t>(i);
    for (std::size_t i = 0; i < names.size(); ++i) {
        int eq = PyUnicode_Compare(names[i], key);
        if (eq == 0) return static_cast<Py_ssize_t>(i);
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return -1;
}

bool check_exact_types(FunctionObject* f, PyObject* const* bound) {
    const auto& params = f->spec->params;
    for (std::size_t i = 0; i < params.size(); ++i) {
        PyTypeObject* want = params[i].exact;
        if (want && Py_TYPE(bound[i]) != want) {
            // The type named as type(x).__name__ gives it ("got int64" for a
            // NumPy integer), as a check written in Python would name it.
            Ref got = Ref::steal(PyType_GetName(Py_TYPE(bound[i])));
            if (!got) return false;
            PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %U)", params[i].name,
                         want->tp_name, got.get());
            return false;
        }
    }
    return true;
}

PyObject* run_thunk(FunctionObject* f, PyObject* const* bound) {
    try {
        return f->thunk(f, bound);
    } catch (...) {
        set_error_from_current_exception(f->spec->qualname);
        return nullptr;
    }
}

PyObject* func_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_func(callable);
    const std::size_t nparams = f->spec->params.size();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Every parameter given by position: nothing to bind.
    if (!kwnames && !f->spec->varkw && static_cast<std::size_t>(nargs) == nparams) {
        if (!check_exact_types(f, args)) return nullptr;
        return run_thunk(f, args);
    }
    PyObject* bound[kMaxParams + 1] = {};
    Ref varkw;
    if (f->spec->varkw) {
        varkw = Ref::steal(PyDict_New());
        if (!varkw) return nullptr;
    }
    const std::size_t ncopy = std::min<std::size_t>(static_cast<std::size_t>(nargs), nparams);
    for (std::size_t i = 0; i < ncopy; ++i) bound[i] = args[i];

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            Py_ssize_t i = find_param(f, key);
            if (i < 0) {
                if (!varkw) {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
                    return nullptr;
                }
                if (PyDict_SetItem(varkw, key, value) < 0) return nullptr;
                continue;
            }
            if (bound[i]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
                return nullptr;
            }
            bound[i] = value;
        }
    }
    if (static_cast<std::size_t>(nargs) > nparams) {
        too_many_positional(f, nargs);
        return nullptr;
    }
    for (std::size_t i = 0; i < nparams; ++i) {
        if (!bound[i]) {
            missing_arguments(f, bound);
            return nullptr;
        }
    }
    if (!check_exact_types(f, bound)) return nullptr;
    if (varkw) bound[nparams] = varkw.get();
    return run_thunk(f, bound);
}

// ---- direct calls from our own code ----------------------------------------------

// Positional arguments that bind without a TypeError: the right number, each
// of its exact type where one is required. Anything else takes the ordinary
// call, which raises the interpreter's error.
bool binds_directly(FunctionObject* f, PyObject* const* args, std::size_t nargs) {
    const FunctionSpec* spec = f->spec;
    if (!f->direct || spec->varkw || nargs != spec->params.size()) return false;
    for (std::size_t i = 0; i < nargs; ++i) {
        PyTypeObject* want = spec->params[i].exact;
        if (want && Py_TYPE(args[i]) != want) return false;
    }
    return true;
}

Call direct_or_called(PyObject* callable, PyObject* const* args, std::size_t nargs, Here w) {
    if (Py_IS_TYPE(callable, &FunctionType)) {
        FunctionObject* f = as_func(callable);
        if (binds_directly(f, args, nargs)) return Call{f->direct(f, args), Ref::borrow(callable), Ref()};
    }
    return Call{Coro(), Ref(), own(PyObject_Vectorcall(callable, args, nargs, nullptr), w)};
}

// ---- descriptor and metadata ---------------------------------------------------

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* func_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_func(self)->qualname, self);
}

Ref build_signature(FunctionObject* f) {
    Ref inspect = import("inspect");
    Ref parameter = getattr(inspect, "Parameter"_id);
    Ref empty = getattr(parameter, "empty"_id);
    Ref positional = getattr(parameter, "POSITIONAL_OR_KEYWORD"_id);
    Ref params = new_list();
    auto add = [&](PyObject* name, Ref kind, const char* annotation) {
        Ref ann = annotation ? str(annotation) : empty;
        list_append(params, call_kw(parameter, {name, kind}, {{"annotation"_id, ann}}));
    };
    for (std::size_t i = 0; i < f->spec->params.size(); ++i)
        add((*f->param_names)[i], positional, f->spec->params[i].annotation);
    if (f->spec->varkw) add(str(f->spec->varkw), getattr(parameter, "VAR_KEYWORD"_id), nullptr);
    Ref returns = f->spec->returns ? str(f->spec->returns) : empty;
    return call_kw(getattr(inspect, "Signature"_id), {params}, {{"return_annotation"_id, returns}});
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_func(self);
    if (!f->signature) {
        try {
            f->signature = build_signature(f).release();
        } catch (...) {
            set_error_from_current_exception(f->spec->qualname);
            return nullptr;
        }
    }
    return Py_NewRef(f->signature);
}

// The interpreter's rules for these attributes: names must stay strings (the
// error messages format them), annotations a dict; a deleted docstring or
// module reads as None, deleted annotations as a new empty dict.
enum class Kind { Text, Dict, Nullable };

template <PyObject* FunctionObject::* Field, Kind K>
PyObject* get_field(PyObject* self, void*) {
    PyObject*& slot = as_func(self)->*Field;
    if (!slot) {
        if (K == Kind::Dict) slot = PyDict_New();
        if (!slot) return K == Kind::Dict ? nullptr : Py_NewRef(Py_None);
    }
    return Py_NewRef(slot);
}

template <PyObject* FunctionObject::* Field, Kind K>
int set_field(PyObject* self, PyObject* value, void* closure) {
    const char* what = static_cast<const char*>(closure);
    if (K == Kind::Text && (!value || !PyUnicode_Check(value))) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    if (K == Kind::Dict && value && !PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a dict object", what);
        return -1;
    }
    Py_XSETREF(as_func(self)->*Field, Py_XNewRef(value));
    return 0;
}

#define FUNC_FIELD(pyname, field, kind)                                                                 \
    {pyname, get_field<&FunctionObject::field, kind>, set_field<&FunctionObject::field, kind>, nullptr, \
     const_cast<char*>(pyname)}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

// What typing.get_type_hints and inspect.get_annotations(eval_str=True)
// resolve the string annotations in, as for a function defined in the module.
PyObject* get_globals(PyObject* self, void*) {
    FunctionObject* f = as_func(self);
    if (!f->globals) {
        PyErr_SetString(PyExc_AttributeError, "__globals__");
        return nullptr;
    }
    return Py_NewRef(f->globals);
}

// Pickled (and copied) by reference to its qualified name, as functions
// defined with `def` are; a closure's "<locals>" name cannot be found and
// fails the same way.
PyObject* func_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_func(self)->qualname); }

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef func_getset[] = {
    FUNC_FIELD("__name__", name, Kind::Text),
    FUNC_FIELD("__qualname__", qualname, Kind::Text),
    FUNC_FIELD("__module__", module, Kind::Nullable),
    FUNC_FIELD("__doc__", doc, Kind::Nullable),
    FUNC_FIELD("__annotations__", annotations, Kind::Dict),
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef FUNC_FIELD

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_func(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->closure);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    return 0;
}

// Everything the traverse visits, so a cycle through any of it is broken.
// The names stay strings (error messages format them), as the interpreter
// leaves a cleared function with empty ones.
int func_clear(PyObject* self) {
    FunctionObject* f = as_func(self);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    PyObject* empty = PyUnicode_New(0, 0);  // the interpreter's shared empty string
    Py_SETREF(f->name, Py_NewRef(empty));
    Py_SETREF(f->qualname, empty);
    return 0;
}

void func_dealloc(PyObject* self) {
    FunctionObject* f = as_func(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    func_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->param_names;
    PyObject_GC_Del(self);
}

PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "native.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = func_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = func_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_doc = "A function whose body is C++.",
    .tp_traverse = func_traverse,
    .tp_clear = func_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weakrefs),
    .tp_methods = func_methods,
    .tp_getset = func_getset,
    .tp_descr_get = func_descr_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

// The dict of the module being defined (it is in sys.modules while its body
// runs), or nullptr when there is none.
PyObject* module_globals(PyObject* module_name) {
    PyObject* module = PyImport_GetModule(module_name);
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* dict = PyModule_Check(module) ? Py_NewRef(PyModule_GetDict(module)) : nullptr;
    Py_DECREF(module);
    return dict;
}

Ref build_annotations(const FunctionSpec& spec) {
    Ref d = new_dict();
    for (const Param& p : spec.params)
        if (p.annotation) check(PyDict_SetItemString(d, p.name, str(p.annotation)));
    if (spec.returns) check(PyDict_SetItemString(d, "return", str(spec.returns)));
    return d;
}

}  // namespace

Call call_for_await(PyObject* callable, PyObject* const* args, std::size_t nargs, Here w) {
    return direct_or_called(callable, args, nargs, w);
}

Call method_for_await(PyObject* const* args, std::size_t nargs, PyObject* name, Here w) {
    PyObject* found = nullptr;
    int unbound = _PyObject_GetMethod(args[0], name, &found);
    if (!found) throw_current(w);
    Ref method = Ref::steal(found);
    // The type's own function, not shadowed by the instance: called with self.
    if (unbound) return direct_or_called(method, args, nargs, w);
    return Call{Coro(), Ref(), own(PyObject_Vectorcall(method, args + 1, nargs - 1, nullptr), w)};
}

bool made_from(PyObject* f, const FunctionSpec& spec) noexcept {
    return Py_IS_TYPE(f, &FunctionType) && as_func(f)->spec == &spec;
}

bool check_result_type(const FunctionSpec* spec, PyObject* result) noexcept {
    PyTypeObject* want = spec->result_exact;
    if (!want || result == Py_None || Py_TYPE(result) == want) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %s", want->tp_name, Py_TYPE(result)->tp_name);
    return false;
}

PyObject* new_function(const FunctionSpec& spec, Thunk thunk, bool coroutine, const char* module, PyObject* closure,
                       DirectThunk direct) {
    if (spec.params.size() > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        return nullptr;
    }
    try {
        Ref name = str(spec.name);
        Ref qualname = str(spec.qualname);
        Ref mod = str(module);
        Ref doc = spec.doc ? str(spec.doc) : Ref::none();
        Ref annotations = build_annotations(spec);
        auto names = std::make_unique<std::vector<PyObject*>>();
        for (const Param& p : spec.params) {
            PyObject* n = PyUnicode_InternFromString(p.name);  // kept for the life of the process
            if (!n) throw_current();
            names->push_back(n);
        }

        FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
        if (!f) throw_current();
        f->vectorcall = func_vectorcall;
        f->spec = &spec;
        f->thunk = thunk;
        f->name = name.release();
        f->qualname = qualname.release();
        f->module = mod.release();
        f->doc = doc.release();
        f->annotations = annotations.release();
        f->signature = nullptr;
        f->closure = Py_XNewRef(closure);
        f->dict = nullptr;
        f->weakrefs = nullptr;
        f->globals = module_globals(f->module);
        f->param_names = names.release();
        f->direct = direct;
        PyObject_GC_Track(f);
        Ref fn = Ref::steal(reinterpret_cast<PyObject*>(f));
        if (coroutine) {
            // inspect.iscoroutinefunction (and so asyncio's) recognise the mark.
            call(getattr(import("inspect"), "markcoroutinefunction"_id), fn);
        }
        return fn.release();
    } catch (...) {
        set_error_from_current_exception(spec.qualname);
        return nullptr;
    }
}

bool init_function_type(PyObject*) noexcept {
    return (FunctionType.tp_flags & Py_TPFLAGS_READY) || PyType_Ready(&FunctionType) == 0;
}

}  // namespace native
