// convert_dtypes of bar tables by whole-array steps.
//
// pandas decides each column's nullable type from the whole column (a float
// column whose values are all whole becomes Int64, other floats Float64,
// int64 becomes Int64, datetimes stay as they are), then converts the
// column through a scan that looks at every value as a Python object. For
// the columns bar tables have, the same decision and the same data and mask
// arrays come out of one pass over the raw numbers. Values where pandas'
// own steps warn or do something special (infinities, whole numbers beyond
// int64, columns with no value at all) and columns of any other dtype send
// the whole frame through pandas.
#include "cmds/quotes/sorvel/bar_table.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace sorvel::bar_table {

using namespace native;

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;

// A float64 column as pandas converts it: Int64 when every present value is
// whole (masked slots hold 1, as pandas fills them), Float64 otherwise
// (masked slots hold NaN), NaN being the only missing value.
Ref float_column(const Kit& k, PyObject* values) {
    Items items;
    if (!items.open(values, "d", 8)) return {};
    Py_ssize_t n = items.size();
    std::vector<std::uint8_t> mask(n);
    bool whole = true, any_present = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        double v = items.at<double>(i);
        if (std::isnan(v)) {
            mask[i] = 1;
            continue;
        }
        // pandas' whole-number test casts to int64 first: these warn there.
        if (!std::isfinite(v) || v >= kTwoTo63 || v < -kTwoTo63) return {};
        any_present = true;
        whole = whole && std::trunc(v) == v;
    }
    if (!any_present) return {};
    Ref mask_array = numpy_array(mask.data(), n, k.bool_);
    if (whole) {
        std::vector<std::int64_t> data(n);
        for (Py_ssize_t i = 0; i < n; ++i) data[i] = mask[i] ? 1 : static_cast<std::int64_t>(items.at<double>(i));
        return call(k.integer_array, numpy_array(data.data(), n * 8, k.int64), mask_array);
    }
    std::vector<double> data(n);
    for (Py_ssize_t i = 0; i < n; ++i)
        data[i] = mask[i] ? std::numeric_limits<double>::quiet_NaN() : items.at<double>(i);
    return call(k.floating_array, numpy_array(data.data(), n * 8, k.float64), mask_array);
}

// An int64 column: Int64 over the same numbers, nothing masked.
Ref int_column(const Kit& k, PyObject* values) {
    Items items;
    if (!items.open(values, "lq", 8)) return {};
    Py_ssize_t n = items.size();
    std::vector<std::int64_t> data(n);
    for (Py_ssize_t i = 0; i < n; ++i) data[i] = items.at<std::int64_t>(i);
    std::vector<std::uint8_t> mask(n, 0);
    return call(k.integer_array, numpy_array(data.data(), n * 8, k.int64), numpy_array(mask.data(), n, k.bool_));
}

bool is_nanosecond_zoned(const Kit& k, PyObject* dtype) {
    if (Py_TYPE(dtype) != reinterpret_cast<PyTypeObject*>(k.datetime_tz_dtype)) return false;
    Ref unit = getattr(dtype, "unit"_id);
    return PyUnicode_Check(unit.get()) && PyUnicode_CompareWithASCIIString(unit, "ns") == 0;
}

// The converted column, or none when its dtype is not one handled here.
Ref converted_column(const Kit& k, PyObject* series) {
    Ref dtype = getattr(series, "dtype"_id);
    // Datetimes keep their dtype; pandas copies them, and the frame they
    // come from is dropped by every caller, so sharing them is the same.
    if (is_nanosecond_zoned(k, dtype)) return getattr(series, "array"_id);
    if (!isinstance(dtype, k.numpy_dtype)) return {};
    if (equals(dtype, k.float64)) return float_column(k, call_method(series, "to_numpy"_id));
    if (equals(dtype, k.int64)) return int_column(k, call_method(series, "to_numpy"_id));
    if (equals(dtype, k.datetime64_ns)) return getattr(series, "array"_id);
    return {};
}

bool plain_frame(const Kit& k, PyObject* df) {
    if (!k.known_pandas || Py_TYPE(df) != reinterpret_cast<PyTypeObject*>(k.data_frame)) return false;
    // A replaced method is the one to call.
    if (!getattr(reinterpret_cast<PyObject*>(Py_TYPE(df)), "convert_dtypes"_id).is(k.convert_dtypes)) return false;
    // pandas carries attrs and flags over to its result.
    Ref attrs = getattr(df, "attrs"_id);
    if (!PyDict_CheckExact(attrs.get()) || PyDict_GET_SIZE(attrs.get()) != 0) return false;
    return getattr(getattr(df, "flags"_id), "allows_duplicate_labels"_id).is(Py_True);
}

}  // namespace

Ref converted_dtypes(PyObject* df) {
    const Kit& k = kit();
    if (!plain_frame(k, df)) return {};
    Ref labels = getattr(df, "columns"_id);
    if (!truthy(getattr(labels, "is_unique"_id))) return {};
    Ref keys = call_method(labels, "tolist"_id);
    Py_ssize_t width = PyList_GET_SIZE(keys.get());
    if (width == 0 || truthy(getattr(df, "empty"_id))) return {};

    Ref columns = new_dict();
    for (Py_ssize_t c = 0; c < width; ++c) {
        PyObject* label = PyList_GET_ITEM(keys.get(), c);
        // Text labels only: they name one column each, by getitem and in the dict alike.
        if (!PyUnicode_CheckExact(label)) return {};
        Ref column = converted_column(k, getitem(df, label));
        if (!column) return {};
        dict_set(columns, label, column);
    }
    return call_kw(k.data_frame, {columns},
                   {{"index"_id, getattr(df, "index"_id)}, {"columns"_id, labels}, {"copy"_id, Py_False}});
}

Ref convert_dtypes(PyObject* df) {
    if (Ref converted = converted_dtypes(df)) return converted;
    return call_method(df, "convert_dtypes"_id);
}

}  // namespace sorvel::bar_table
