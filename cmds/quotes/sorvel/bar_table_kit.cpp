// The library objects the bar-table fast paths rely on, resolved once.
#include "cmds/quotes/sorvel/bar_table.hpp"

#include <string_view>

namespace sorvel::bar_table {

using namespace native;

namespace {

Ref from(const char* module, PyObject* name) { return getattr(native::import(module), name); }

PyTypeObject* as_type(const Ref& obj) {
    if (!PyType_Check(obj.get())) raise(PyExc_TypeError, "expected a type");
    return reinterpret_cast<PyTypeObject*>(obj.get());
}

bool starts_with(const Ref& text, std::string_view prefix) {
    if (!PyUnicode_Check(text.get())) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) throw_current();
    return std::string_view(utf8, size).starts_with(prefix);
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
        // Where pandas defines it: DataFrame's own attribute may be replaced already.
        getattr(from("pandas.core.generic", "NDFrame"_id), "convert_dtypes"_id),
        getattr(pandas, "DatetimeTZDtype"_id),
        from("pandas.arrays", "IntegerArray"_id),
        from("pandas.arrays", "FloatingArray"_id),
        call(numpy_dtype, "bool"_id),
        from("zoneinfo", "ZoneInfo"_id),
        getattr(pandas, "Timestamp"_id),
    };
    bool known = starts_with(getattr(pandas, "__version__"_id), "2.3.");
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
        .convert_dtypes = held[21],
        .datetime_tz_dtype = held[22],
        .integer_array = held[23],
        .floating_array = held[24],
        .bool_ = held[25],
        .zoneinfo_type = as_type(held[26]),
        .timestamp_type = as_type(held[27]),
        .known_pandas = known,
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

Ref numpy_array(const void* data, Py_ssize_t bytes, PyObject* dtype) {
    Ref buffer = own(PyByteArray_FromStringAndSize(static_cast<const char*>(data), bytes));
    return call_kw(kit().frombuffer, {buffer}, {{"dtype"_id, dtype}});
}

}  // namespace sorvel::bar_table
