// A table's rows as record dicts, column by column instead of row by row.
//
// pandas' to_dict(orient="records") zips the columns' iterations row by row
// and passes the values of object and extension columns through
// maybe_box_native. Here each column's values are taken whole, in the form
// that iteration gives them, boxed once, and the dicts are zipped in C++.
#include "cmds/quotes/sorvel/bar_table.hpp"

#include <datetime.h>

#include <cstdint>
#include <memory>
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

// One column's record values: finished values in a list, or the numbers of
// a float64 or int64 array (and its mask) boxed one by one as the rows are
// zipped, into what tolist() would give for them (masked ones None). The
// numbers are not first gathered into lists of their own.
class Column {
public:
    explicit Column(Ref list) : list_(std::move(list)) {}
    Column() = default;

    // The numbers of `data` (float64 or int64), None where `mask` (bool, or
    // nullptr for none) is set; false when the arrays are not such.
    bool open(PyObject* data, PyObject* mask) {
        if (data_.open(data, "d", 8))
            floats_ = true;
        else if (!data_.open(data, "lq", 8))
            return false;
        if (mask && (!mask_.open(mask, "?", 1) || mask_.size() != data_.size())) return false;
        masked_ = mask != nullptr;
        return true;
    }

    Py_ssize_t size() const { return list_ ? PyList_GET_SIZE(list_.get()) : data_.size(); }

    // Whether no value can lead back to a container: numbers, None, text,
    // dates, and time stamps without a zone (which refer to nothing).
    bool leaves(const Kit& k) const {
        if (!list_) return true;
        Py_ssize_t n = PyList_GET_SIZE(list_.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* v = PyList_GET_ITEM(list_.get(), i);
            if (!PyObject_GC_IsTracked(v)) continue;
            if (Py_TYPE(v) == k.timestamp_type && PyDateTime_DATE_GET_TZINFO(v) == Py_None) continue;
            return false;
        }
        return true;
    }

    // A new reference to row i's value.
    PyObject* take(Py_ssize_t i) const {
        if (list_) return Py_NewRef(PyList_GET_ITEM(list_.get(), i));
        if (masked_ && mask_.at<std::uint8_t>(i)) return Py_NewRef(Py_None);
        PyObject* v =
            floats_ ? PyFloat_FromDouble(data_.at<double>(i)) : PyLong_FromLongLong(data_.at<std::int64_t>(i));
        if (!v) throw_current();
        return v;
    }

private:
    Ref list_;
    Items data_, mask_;
    bool floats_ = false, masked_ = false;
};

using ColumnPtr = std::unique_ptr<Column>;

ColumnPtr list_column(Ref list) {
    if (!list || !PyList_CheckExact(list.get())) return {};
    return std::make_unique<Column>(std::move(list));
}

// A masked column (Int64, Float64, boolean...) iterates as numpy scalars
// with pd.NA where masked; boxed, those are the Python numbers of its data
// array's tolist() and None.
ColumnPtr masked_values(PyObject* series) {
    Ref array = getattr(series, "array"_id);
    Ref data = getattr(array, "_data"_id);
    Ref mask = getattr(array, "_mask"_id);
    auto numbers = std::make_unique<Column>();
    if (numbers->open(data, mask)) return numbers;
    Ref values = call_method(data, "tolist"_id);
    Ref flags = call_method(mask, "tolist"_id);
    if (!PyList_Check(values.get()) || !PyList_Check(flags.get())) return {};
    Py_ssize_t n = PyList_GET_SIZE(values.get());
    if (PyList_GET_SIZE(flags.get()) != n) return {};
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(flags.get(), i) == Py_True) PyList_SetItem(values, i, Py_NewRef(Py_None));
    return list_column(std::move(values));
}

// One column's record values, or none when its dtype is not one handled.
ColumnPtr column_values(const Kit& k, PyObject* series) {
    Ref dtype = getattr(series, "dtype"_id);
    if (is_instance_of(dtype, k.numpy_dtype)) {
        Ref kind = getattr(dtype, "kind"_id);
        long itemsize = PyLong_AsLong(getattr(dtype, "itemsize"_id));
        if (itemsize < 0 && PyErr_Occurred()) throw_current();
        Py_UCS4 c = PyUnicode_GET_LENGTH(kind.get()) == 1 ? PyUnicode_READ_CHAR(kind.get(), 0) : 0;
        // Iteration gives ndarray.item(i): what tolist() gives, never boxed.
        if (c == 'b' || c == 'i' || c == 'u' || (c == 'f' && itemsize <= 8)) {
            Ref array = call_method(series, "to_numpy"_id);
            auto numbers = std::make_unique<Column>();
            if (numbers->open(array, nullptr)) return numbers;
            return list_column(call_method(array, "tolist"_id));
        }
        // Iteration gives Timestamps or Timedeltas, never boxed.
        if (c == 'M' || c == 'm') {
            if (c == 'M' && equals(dtype, k.datetime64_ns))
                if (Ref stamps = naive_timestamps(series)) return list_column(std::move(stamps));
            return list_column(own(PySequence_List(series)));
        }
        if (c == 'O') {
            Ref values = call_method(call_method(series, "to_numpy"_id), "tolist"_id);
            NativeBoxing(k).apply(values);
            return list_column(std::move(values));
        }
        return {};
    }
    if (is_instance_of(dtype, k.masked_dtype)) return masked_values(series);
    if (is_instance_of(dtype, k.extension_dtype)) {
        Ref values = own(PySequence_List(series));
        NativeBoxing(k).apply(values);
        return list_column(std::move(values));
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

    GcPause pause;
    Ref iloc = getattr(table, "iloc"_id);
    Ref every_row = own(PySlice_New(nullptr, nullptr, nullptr));
    std::vector<ColumnPtr> columns;
    columns.reserve(width);
    Py_ssize_t n = -1;
    for (Py_ssize_t c = 0; c < width; ++c) {
        // By position, as itertuples does, whatever the labels.
        Ref at = own(PyTuple_Pack(2, every_row.get(), integer(c).get()));
        ColumnPtr values = column_values(k, getitem(iloc, at));
        if (!values) return {};
        if (n < 0) n = values->size();
        if (values->size() != n) return {};
        columns.push_back(std::move(values));
    }

    // Rows of such values can never be part of a reference cycle, so the
    // collector need not walk them, now or in every later full pass while
    // they sit in the cache (it stops walking a dict of plain values itself,
    // but only once a full pass has seen it). A row that later receives a
    // container is tracked again by the dict itself.
    bool untrack = true;
    for (const ColumnPtr& column : columns) untrack = untrack && column->leaves(k);
    Ref records = new_list(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref row = own(_PyDict_NewPresized(width));
        for (Py_ssize_t c = 0; c < width; ++c) {
            Ref value = Ref::steal(columns[c]->take(i));
            check(PyDict_SetItem(row, PyList_GET_ITEM(keys.get(), c), value));
        }
        if (untrack && PyObject_GC_IsTracked(row)) PyObject_GC_UnTrack(row);
        PyList_SET_ITEM(records.get(), i, row.release());
    }
    return records;
}

}  // namespace sorvel::bar_table
