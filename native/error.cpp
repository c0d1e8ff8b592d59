#include "native/error.hpp"

#include <cstring>
#include <new>

namespace native {

PyError PyError::fetch(Here where) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = PyErr_GetRaisedException();
    }
    return PyError(Ref::steal(exc), where);
}

void throw_current(Here where) { throw PyError::fetch(where); }

void raise(PyObject* type, const char* message, Here where) {
    PyErr_SetString(type, message);
    throw PyError::fetch(where);
}

void raise_object(PyObject* exc, Here where) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    throw PyError::fetch(where);
}

// Source paths are reported from the project root (cmds/..., native/...),
// whatever directory the build ran in.
static const char* project_path(const char* file) {
    const char* best = file;
    for (const char* root : {"/cmds/", "/native/"}) {
        const char* hit = std::strstr(file, root);
        if (hit && (best == file || hit < best)) best = hit + 1;
    }
    return best;
}

void add_traceback(const char* function, const Here& where) noexcept {
    if (!PyErr_Occurred()) return;
    _PyTraceback_Add(function, project_path(where.file_name()), static_cast<int>(where.line()));
}

void set_error_from_current_exception(const char* function) noexcept {
    try {
        throw;
    } catch (const PyError& e) {
        e.restore();
        add_traceback(function, e.where());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s: internal error: %s", function, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: internal error", function);
    }
}

}  // namespace native
