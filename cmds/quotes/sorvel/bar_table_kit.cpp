// The library objects the bar-table fast paths rely on, resolved once.
#include "cmds/quotes/sorvel/bar_table.hpp"

namespace sorvel::bar_table {

using namespace native;

namespace {

Ref from(const char* module, PyObject* name) { return getattr(native::import(module), name); }

PyTypeObject* as_type(const Ref& obj) {
    if (!PyType_Check(obj.get())) raise(PyExc_TypeError, "expected a type");
    return reinterpret_cast<PyTypeObject*>(obj.get());
}

// No C++ static-initialisation guard here: an import may release the GIL,
// and another thread blocked on such a guard while holding the GIL would
// deadlock. Two threads racing through the first call both resolve the
// same objects; one copy is kept and the other leaks a few references.
Kit* resolved = nullptr;

Kit resolve() {
    // Held until every lookup has succeeded, so a failure leaks nothing.
    Ref pandas = native::import("pandas");
    Ref numpy = native::import("numpy");
    Ref na = getattr(pandas, "NA"_id);
    Ref numpy_dtype = getattr(numpy, "dtype"_id);
    Ref held[] = {
        pandas,
        getattr(pandas, "DataFrame"_id),
        getattr(pandas, "DatetimeIndex"_id),
        na,
        Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(na.get()))),
        from("pandas.core.dtypes.cast", "maybe_box_native"_id),
        from("pandas.core.dtypes.dtypes", "BaseMaskedDtype"_id),
        from("pandas.api.extensions", "ExtensionDtype"_id),
        numpy_dtype,
        getattr(numpy, "generic"_id),
        getattr(numpy, "frombuffer"_id),
        call(numpy_dtype, "float64"_id),
        call(numpy_dtype, "int64"_id),
        call(numpy_dtype, "M8[ns]"_id),
        from("dataclasses", "fields"_id),
        from("copy", "deepcopy"_id),
        from("datetime", "date"_id),
        from("datetime", "datetime"_id),
        from("datetime", "timedelta"_id),
        from("datetime", "timezone"_id),
        getattr(from("datetime", "timezone"_id), "utc"_id),
    };
    Kit k{
        .pandas = held[0],
        .data_frame = held[1],
        .datetime_index = held[2],
        .na = held[3],
        .na_type = held[4],
        .maybe_box_native = held[5],
        .masked_dtype = held[6],
        .extension_dtype = held[7],
        .numpy_dtype = held[8],
        .numpy_generic = held[9],
        .frombuffer = held[10],
        .float64 = held[11],
        .int64 = held[12],
        .datetime64_ns = held[13],
        .dataclass_fields = held[14],
        .deepcopy = held[15],
        .date_type = as_type(held[16]),
        .datetime_type = as_type(held[17]),
        .timedelta_type = as_type(held[18]),
        .timezone_type = as_type(held[19]),
        .utc = held[20],
    };
    for (Ref& r : held) r.release();
    return k;
}

}  // namespace

const Kit& kit() {
    if (!resolved) {
        Kit k = resolve();
        if (!resolved) resolved = new Kit(k);
    }
    return *resolved;
}

}  // namespace sorvel::bar_table
