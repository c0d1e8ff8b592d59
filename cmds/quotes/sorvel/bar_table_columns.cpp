// Gateway bars gathered column by column.
//
// pandas builds a frame from a list of dataclass objects by turning every
// bar into a deep-copied dict (dataclasses.asdict) and inferring each
// column's type from those dicts. Reading each field once per bar gives
// pandas the same values, provided deep-copying would not have changed
// what it sees: the values' types are checked against asdict's rules.
#include "cmds/quotes/sorvel/bar_table.hpp"

#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace sorvel::bar_table {

using namespace native;

namespace {

// Whether pandas, seeing deepcopy(value) instead of value, would build the
// same column. asdict passes None, bool, int, float and str on as they are;
// dates and datetimes become equal copies, and their time zone too stays
// the same object when deepcopy returns the zone itself (ZoneInfo zones
// from its cache, timezone.utc) or equals it by value (timezone offsets).
class CopySafety {
public:
    explicit CopySafety(const Kit& k) : k_(k) {}

    bool holds(PyObject* v) {
        PyTypeObject* t = Py_TYPE(v);
        if (v == Py_None || t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type || t == &PyUnicode_Type)
            return true;
        if (t == k_.date_type) return true;
        if (t == k_.datetime_type) return zone_holds(PyDateTime_DATE_GET_TZINFO(v));
        return false;
    }

private:
    bool zone_holds(PyObject* tz) {
        if (tz == Py_None || Py_TYPE(tz) == k_.timezone_type) return true;
        for (const Ref& z : zones_)
            if (z.is(tz)) return true;
        if (!call(k_.deepcopy, tz).is(tz)) return false;
        zones_.push_back(Ref::borrow(tz));
        return true;
    }

    const Kit& k_;
    std::vector<Ref> zones_;  // zones already seen to survive deepcopy as themselves
};

// One field's values, read bar by bar. While each value is at hand, the
// numbers of a field whose values are all floats, or all ints, are kept
// aside too, so that its array needs no second pass over the objects.
class FieldColumn {
public:
    explicit FieldColumn(Py_ssize_t n) : list_(new_list(n)) {}

    void add(Py_ssize_t i, Ref value) {
        PyObject* v = value.get();
        PyTypeObject* t = Py_TYPE(v);
        if (i == 0) {
            type_ = t;
            if (t == &PyFloat_Type) floats_.resize(PyList_GET_SIZE(list_.get()));
            if (t == &PyLong_Type) ints_.resize(PyList_GET_SIZE(list_.get()));
        } else if (t != type_) {
            type_ = nullptr;
        }
        if (type_ == &PyFloat_Type) {
            floats_[i] = PyFloat_AS_DOUBLE(v);
        } else if (type_ == &PyLong_Type && fits_) {
            int overflow = 0;
            ints_[i] = PyLong_AsLongLongAndOverflow(v, &overflow);
            fits_ = !overflow;
        }
        PyList_SET_ITEM(list_.get(), i, value.release());
    }

    PyObject* list() const { return list_.get(); }
    // The one type of all the values, or nullptr when they differ.
    PyTypeObject* type() const { return type_; }
    const std::vector<double>& floats() const { return floats_; }
    // The ints, when every one fits in 64 bits.
    const std::vector<std::int64_t>* ints() const { return fits_ ? &ints_ : nullptr; }

private:
    Ref list_;
    PyTypeObject* type_ = nullptr;
    bool fits_ = true;
    std::vector<double> floats_;
    std::vector<std::int64_t> ints_;
};

// pandas infers float64 for a list of floats and int64 for a list of ints
// that all fit in 64 bits; such columns go over as arrays of that type,
// sparing pandas the inference. Anything else stays a list for pandas.
Ref typed_column(const Kit& k, const FieldColumn& column, NaiveDates* naive) {
    PyObject* list = column.list();
    Py_ssize_t n = PyList_GET_SIZE(list);
    PyTypeObject* type = column.type();
    if (type == &PyFloat_Type) return numpy_array(column.floats().data(), n * 8, k.float64);
    if (type == &PyLong_Type) {
        // Beyond 64 bits pandas goes to uint64 or object.
        if (const auto* ints = column.ints()) return numpy_array(ints->data(), n * 8, k.int64);
        return Ref::borrow(list);
    }
    if (type == k.datetime_type) {
        PyObject* tz = PyDateTime_DATE_GET_TZINFO(PyList_GET_ITEM(list, 0));
        if (tz == Py_None) return Ref::borrow(list);  // naive: pandas is quick with these
        for (Py_ssize_t i = 1; i < n; ++i)
            if (PyDateTime_DATE_GET_TZINFO(PyList_GET_ITEM(list, i)) != tz) return Ref::borrow(list);
        try {
            NaiveDates unused;
            if (Ref zoned = zoned_datetime_column(list, naive ? *naive : unused)) return zoned;
        } catch (const PyError& e) {
            // A zone that fails to answer: pandas asks it too, and reports that its own way.
            if (!e.ordinary()) throw;
        }
    }
    return Ref::borrow(list);
}

// The instance attribute names asdict reads, in declared order; none when
// the bars are not all instances of one dataclass.
Ref dataclass_field_names(const Kit& k, PyObject* bars) {
    Py_ssize_t n = PyList_GET_SIZE(bars);
    PyObject* first = PyList_GET_ITEM(bars, 0);
    PyTypeObject* type = Py_TYPE(first);
    if (PyType_Check(first) || !PyObject_HasAttr(reinterpret_cast<PyObject*>(type), "__dataclass_fields__"_id))
        return {};
    for (Py_ssize_t i = 1; i < n; ++i)
        if (Py_TYPE(PyList_GET_ITEM(bars, i)) != type) return {};
    Ref fields = own(PySequence_Tuple(call(k.dataclass_fields, first)));
    Py_ssize_t count = PyTuple_GET_SIZE(fields.get());
    if (count == 0) return {};
    Ref names = new_list(count);
    for (Py_ssize_t f = 0; f < count; ++f)
        PyList_SET_ITEM(names.get(), f, getattr(PyTuple_GET_ITEM(fields.get(), f), "name"_id).release());
    return names;
}

}  // namespace

Ref bar_columns(PyObject* bars, NaiveDates& naive) {
    if (!PyList_Check(bars) || PyList_GET_SIZE(bars) == 0) return {};
    const Kit& k = kit();
    if (!G["pd"_id].is(k.pandas)) return {};  // a stand-in pandas gets the bars as they are
    // A snapshot: attribute reads of odd dataclasses run Python code, which
    // must not pull the list from under the loop.
    Ref snapshot = own(PySequence_List(bars));
    Ref names = dataclass_field_names(k, snapshot);
    if (!names) return {};

    Py_ssize_t n = PyList_GET_SIZE(snapshot.get());
    Py_ssize_t width = PyList_GET_SIZE(names.get());
    std::vector<FieldColumn> columns;
    columns.reserve(width);
    for (Py_ssize_t f = 0; f < width; ++f) columns.emplace_back(n);

    CopySafety safety(k);
    // Bar by bar, field by field: the order in which asdict reads them.
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* bar = PyList_GET_ITEM(snapshot.get(), i);
        for (Py_ssize_t f = 0; f < width; ++f) {
            Ref value = getattr(bar, PyList_GET_ITEM(names.get(), f));
            if (!safety.holds(value)) return {};
            columns[f].add(i, std::move(value));
        }
    }

    Ref table = new_dict();
    for (Py_ssize_t f = 0; f < width; ++f) {
        PyObject* name = PyList_GET_ITEM(names.get(), f);
        // Only "date" loses its zone afterwards.
        bool is_date = PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "date") == 0;
        dict_set(table, name, typed_column(k, columns[f], is_date ? &naive : nullptr));
    }
    return table;
}

}  // namespace sorvel::bar_table
