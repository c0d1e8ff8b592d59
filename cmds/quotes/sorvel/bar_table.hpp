// The fast way from gateway bars to a table and from a table to bar records.
//
// Both directions must give exactly what pandas gives on its own (the
// records are cached and returned to users), so each fast path handles only
// inputs whose pandas outcome it reproduces with certainty and answers
// "not handled" (an empty Ref) for everything else; the callers then take
// pandas' own path.
#pragma once

#include "cmds/quotes/sorvel/sorvel.hpp"

namespace sorvel::bar_table {

// The library objects the fast paths compare against or call. Resolved on
// first use and kept for the life of the process (never released: they
// outlive any call and the interpreter's teardown frees them).
struct Kit {
    PyObject* pandas;             // the module, to recognise the real `pd`
    PyObject* data_frame;         // pandas.DataFrame
    PyObject* datetime_index;     // pandas.DatetimeIndex
    PyObject* na;                 // pandas.NA
    PyObject* na_type;            // type(pandas.NA)
    PyObject* maybe_box_native;   // what to_dict applies to object/extension values
    PyObject* masked_dtype;       // BaseMaskedDtype: Int64, Float64, boolean...
    PyObject* extension_dtype;    // ExtensionDtype
    PyObject* numpy_dtype;        // numpy.dtype
    PyObject* numpy_generic;      // numpy.generic: every numpy scalar type
    PyObject* frombuffer;         // numpy.frombuffer
    PyObject* float64;            // numpy.dtype("float64")
    PyObject* int64;              // numpy.dtype("int64")
    PyObject* datetime64_ns;      // numpy.dtype("M8[ns]")
    PyObject* dataclass_fields;   // dataclasses.fields
    PyObject* deepcopy;           // copy.deepcopy
    PyTypeObject* date_type;      // datetime.date
    PyTypeObject* datetime_type;  // datetime.datetime
    PyTypeObject* timedelta_type; // datetime.timedelta
    PyTypeObject* timezone_type;  // datetime.timezone
    PyObject* utc;                // datetime.timezone.utc
};
const Kit& kit();

// The bars as {field name: column} for pd.DataFrame, when they are a
// non-empty list of instances of one dataclass whose values pandas' own
// path would see unchanged; otherwise an empty Ref.
Ref bar_columns(PyObject* bars);

// A column of timezone-aware datetimes (all sharing one tzinfo object) as
// the DatetimeArray pandas would infer from them; an empty Ref when the
// values fall outside what this reproduces exactly.
Ref zoned_datetime_column(PyObject* values);

// table.to_dict(orient="records") for a plain DataFrame with unique column
// labels and columns of dtypes whose values are known; otherwise an empty Ref.
Ref records_of(PyObject* table);

}  // namespace sorvel::bar_table
