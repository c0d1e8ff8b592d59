// The fast way from gateway bars to a table and from a table to bar records.
//
// Both directions must give exactly what pandas gives on its own (the
// records are cached and returned to users), so each fast path handles only
// inputs whose pandas outcome it reproduces with certainty and answers
// "not handled" (an empty Ref) for everything else; the callers then take
// pandas' own path.
#pragma once

#include "cmds/quotes/sorvel/sorvel.hpp"

#include <cstring>
#include <string_view>

namespace sorvel::bar_table {

// The library objects the fast paths compare against or call. Resolved on
// first use and kept for the life of the process (never released: they
// outlive any call and the interpreter's teardown frees them).
struct Kit {
    PyObject* pandas;              // the module, to recognise the real `pd`
    PyObject* data_frame;          // pandas.DataFrame
    PyObject* datetime_index;      // pandas.DatetimeIndex
    PyObject* na;                  // pandas.NA
    PyObject* na_type;             // type(pandas.NA)
    PyObject* maybe_box_native;    // what to_dict applies to object/extension values
    PyObject* masked_dtype;        // BaseMaskedDtype: Int64, Float64, boolean...
    PyObject* extension_dtype;     // ExtensionDtype
    PyObject* numpy_dtype;         // numpy.dtype
    PyObject* numpy_generic;       // numpy.generic: every numpy scalar type
    PyObject* frombuffer;          // numpy.frombuffer
    PyObject* float64;             // numpy.dtype("float64")
    PyObject* int64;               // numpy.dtype("int64")
    PyObject* datetime64_ns;       // numpy.dtype("M8[ns]")
    PyObject* dataclass_fields;    // dataclasses.fields
    PyObject* deepcopy;            // copy.deepcopy
    PyTypeObject* date_type;       // datetime.date
    PyTypeObject* datetime_type;   // datetime.datetime
    PyTypeObject* timedelta_type;  // datetime.timedelta
    PyTypeObject* timezone_type;   // datetime.timezone
    PyObject* utc;                 // datetime.timezone.utc
    PyObject* convert_dtypes;      // NDFrame.convert_dtypes, where pandas defines it
    PyObject* datetime_tz_dtype;   // pandas.DatetimeTZDtype
    PyObject* integer_array;       // pandas.arrays.IntegerArray
    PyObject* floating_array;      // pandas.arrays.FloatingArray
    PyObject* bool_;               // numpy.dtype("bool")
    PyTypeObject* zoneinfo_type;   // zoneinfo.ZoneInfo
    PyTypeObject* timestamp_type;  // pandas.Timestamp
    // Whether the installed pandas is the series whose convert_dtypes rules
    // dtypes.cpp reproduces; other versions always take pandas' own path.
    bool known_pandas;
};
const Kit& kit();

// A one-dimensional array's items, read through the buffer protocol.
class Items {
public:
    Items() = default;
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    ~Items() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False (and nothing held) when `array` is not one-dimensional with
    // items of `itemsize` bytes in one of the struct formats given.
    bool open(PyObject* array, std::string_view formats, Py_ssize_t itemsize) {
        if (PyObject_GetBuffer(array, &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        std::string_view f = view_.format ? view_.format : "B";
        if (!f.empty() && (f[0] == '<' || f[0] == '=' || f[0] == '@'))
            f.remove_prefix(1);  // native: little-endian here
        if (view_.ndim == 1 && view_.itemsize == itemsize && f.size() == 1 && formats.find(f[0]) != f.npos) return true;
        PyBuffer_Release(&view_);
        held_ = false;
        return false;
    }
    Py_ssize_t size() const { return view_.shape[0]; }
    template <class T>
    T at(Py_ssize_t i) const {
        T v;
        std::memcpy(&v, static_cast<const char*>(view_.buf) + i * view_.strides[0], sizeof v);
        return v;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A numpy array of the given dtype over a fresh writable copy of `bytes`.
Ref numpy_array(const void* data, Py_ssize_t bytes, PyObject* dtype);

// What the bar times of a zoned date column look like once pandas has
// dropped their zone (`.dt.tz_localize(None)`), known while building the
// column: pandas would ask the zone again for every value.
struct NaiveDates {
    Ref instants;  // the column's values: int64 nanoseconds since the epoch (bytes)
    Ref zone;      // the column's zone
    Ref naive;     // the zone-less column pandas would give: a datetime64[ns] array
    explicit operator bool() const noexcept { return static_cast<bool>(naive); }
};

// A column of timezone-aware datetimes (all sharing one tzinfo object) as
// the DatetimeArray pandas would infer from them; an empty Ref when the
// values fall outside what this reproduces exactly. Fills `naive` when the
// zone-less column is known too.
Ref zoned_datetime_column(PyObject* values, NaiveDates& naive);

// The bars as {field name: column} for pd.DataFrame, when they are a
// non-empty list of instances of one dataclass whose values pandas' own
// path would see unchanged; otherwise an empty Ref. Fills `naive` when the
// zone-less date column is known too.
Ref bar_columns(PyObject* bars, NaiveDates& naive);

// df.convert_dtypes() by whole-array steps, for a plain DataFrame whose
// columns are all float64, int64 or nanosecond datetimes and whose result
// is certainly pandas' own; otherwise an empty Ref.
Ref converted_dtypes(PyObject* df);

// df.convert_dtypes(): the whole-array way where it applies, pandas' otherwise.
Ref convert_dtypes(PyObject* df);

// `df` with its "date" column replaced by the known zone-less one, as
// _strip_tz would leave it, when the column still holds exactly the
// instants and zone it was built from; otherwise an empty Ref.
Ref with_naive_dates(PyObject* df, const NaiveDates& naive);

// Holds the cyclic garbage collector off while records are built by the
// hundred thousand: its young-generation passes would walk every fresh dict
// and time stamp again and again, and none of them can be part of a cycle
// yet. Puts back what it found, however the build ends.
class GcPause {
public:
    GcPause() noexcept : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

// The values of a zone-less datetime64[ns] series as the Timestamps its
// iteration gives, when made the quick way is certainly the same;
// otherwise an empty Ref.
Ref naive_timestamps(PyObject* series);

// table.to_dict(orient="records") for a plain DataFrame with unique column
// labels and columns of dtypes whose values are known; otherwise an empty Ref.
Ref records_of(PyObject* table);

}  // namespace sorvel::bar_table

namespace sorvel {

// Whether `f` is the _strip_tz function object this module defined.
bool is_module_strip_tz(PyObject* f);

}  // namespace sorvel
