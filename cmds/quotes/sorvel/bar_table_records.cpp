// A table's rows as record dicts, column by column instead of row by row.
//
// pandas' to_dict(orient="records") zips the columns' iterations row by row
// and passes the values of object and extension columns through
// maybe_box_native. Here each column's values are taken whole, in the form
// that iteration gives them, boxed once, and the dicts are zipped in C++.
#include "cmds/quotes/sorvel/bar_table.hpp"

#include <vector>

namespace sorvel::bar_table {

using namespace native;

namespace {

bool is_instance_of(PyObject* obj, PyObject* cls) { return check(PyObject_IsInstance(obj, cls)) == 1; }

// maybe_box_native changes only floats, ints, bools and numpy scalars
// (their subclasses included) and pd.NA (to None); values of any other type
// come back as they are. Types seen to pass are remembered per column.
class NativeBoxing {
public:
    explicit NativeBoxing(const Kit& k) : k_(k) {}

    void apply(PyObject* list) {
        Py_ssize_t n = PyList_GET_SIZE(list);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* v = PyList_GET_ITEM(list, i);
            PyTypeObject* t = Py_TYPE(v);
            if (v == Py_None || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type)
                continue;
            if (v == k_.na) {
                PyList_SetItem(list, i, Py_NewRef(Py_None));
                continue;
            }
            if (passes(t)) continue;
            // The rare values that change are changed by pandas itself.
            PyList_SetItem(list, i, call(k_.maybe_box_native, v).release());
        }
    }

private:
    bool passes(PyTypeObject* t) {
        for (PyTypeObject* p : passing_)
            if (p == t) return true;
        if (PyType_IsSubtype(t, &PyFloat_Type) || PyType_IsSubtype(t, &PyLong_Type) ||
            PyType_IsSubtype(t, reinterpret_cast<PyTypeObject*>(k_.numpy_generic)) ||
            t == reinterpret_cast<PyTypeObject*>(k_.na_type))
            return false;
        // Borrowed: the column's values keep their types alive.
        passing_.push_back(t);
        return true;
    }

    const Kit& k_;
    std::vector<PyTypeObject*> passing_;
};

// A masked column (Int64, Float64, boolean...) iterates as numpy scalars
// with pd.NA where masked; boxed, those are the Python numbers of its data
// array's tolist() and None.
Ref masked_values(PyObject* series) {
    Ref array = getattr(series, "array"_id);
    Ref values = call_method(getattr(array, "_data"_id), "tolist"_id);
    Ref mask = call_method(getattr(array, "_mask"_id), "tolist"_id);
    Py_ssize_t n = PyList_GET_SIZE(values.get());
    if (!PyList_Check(mask.get()) || PyList_GET_SIZE(mask.get()) != n) return {};
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(mask.get(), i) == Py_True) PyList_SetItem(values, i, Py_NewRef(Py_None));
    return values;
}

// One column's record values, or none when its dtype is not one handled.
Ref column_values(const Kit& k, PyObject* series) {
    Ref dtype = getattr(series, "dtype"_id);
    if (is_instance_of(dtype, k.numpy_dtype)) {
        Ref kind = getattr(dtype, "kind"_id);
        long itemsize = PyLong_AsLong(getattr(dtype, "itemsize"_id));
        if (itemsize < 0 && PyErr_Occurred()) throw_current();
        Py_UCS4 c = PyUnicode_GET_LENGTH(kind.get()) == 1 ? PyUnicode_READ_CHAR(kind.get(), 0) : 0;
        // Iteration gives ndarray.item(i): what tolist() gives, never boxed.
        if (c == 'b' || c == 'i' || c == 'u' || (c == 'f' && itemsize <= 8))
            return call_method(call_method(series, "to_numpy"_id), "tolist"_id);
        // Iteration gives Timestamps or Timedeltas, never boxed.
        if (c == 'M' || c == 'm') return own(PySequence_List(series));
        if (c == 'O') {
            Ref values = call_method(call_method(series, "to_numpy"_id), "tolist"_id);
            NativeBoxing(k).apply(values);
            return values;
        }
        return {};
    }
    if (is_instance_of(dtype, k.masked_dtype)) return masked_values(series);
    if (is_instance_of(dtype, k.extension_dtype)) {
        Ref values = own(PySequence_List(series));
        NativeBoxing(k).apply(values);
        return values;
    }
    return {};
}

}  // namespace

Ref records_of(PyObject* table) {
    const Kit& k = kit();
    if (Py_TYPE(table) != reinterpret_cast<PyTypeObject*>(k.data_frame)) return {};
    Ref labels = getattr(table, "columns"_id);
    // Duplicate labels make pandas warn and merge values: its own path does that.
    if (!truthy(getattr(labels, "is_unique"_id))) return {};
    Ref keys = call_method(labels, "tolist"_id);
    Py_ssize_t width = PyList_GET_SIZE(keys.get());
    if (width == 0) return {};  // no columns: pandas zips nothing, not empty rows
    // Text and integer labels only (unique ones are then distinct dict keys
    // too): pandas' handling of other labels (NaN, None, tuples) differs
    // between its two lookups of the same column.
    for (Py_ssize_t c = 0; c < width; ++c) {
        PyTypeObject* t = Py_TYPE(PyList_GET_ITEM(keys.get(), c));
        if (t != &PyUnicode_Type && t != &PyLong_Type) return {};
    }

    Ref iloc = getattr(table, "iloc"_id);
    Ref every_row = own(PySlice_New(nullptr, nullptr, nullptr));
    std::vector<Ref> columns;
    columns.reserve(width);
    Py_ssize_t n = -1;
    for (Py_ssize_t c = 0; c < width; ++c) {
        // By position, as itertuples does, whatever the labels.
        Ref at = own(PyTuple_Pack(2, every_row.get(), integer(c).get()));
        Ref values = column_values(k, getitem(iloc, at));
        if (!values || !PyList_CheckExact(values.get())) return {};
        if (n < 0) n = PyList_GET_SIZE(values.get());
        if (PyList_GET_SIZE(values.get()) != n) return {};
        columns.push_back(std::move(values));
    }

    Ref records = new_list(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref row = own(_PyDict_NewPresized(width));
        for (Py_ssize_t c = 0; c < width; ++c)
            check(PyDict_SetItem(row, PyList_GET_ITEM(keys.get(), c), PyList_GET_ITEM(columns[c].get(), i)));
        PyList_SET_ITEM(records.get(), i, row.release());
    }
    return records;
}

}  // namespace sorvel::bar_table
