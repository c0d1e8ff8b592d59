// Timezone-aware bar times as the datetime64[ns, zone] column pandas infers.
//
// pandas turns each aware datetime into nanoseconds since the epoch as its
// wall-clock time minus the zone's utcoffset for that datetime, and keeps
// the zone of the values as the column's zone. Its per-value inference is
// the slowest step of building a bar table; the same arithmetic here, with
// the zone's own utcoffset, gives the same numbers.
#include "cmds/quotes/sorvel/bar_table.hpp"

#include <datetime.h>

#include <cstdint>
#include <vector>

namespace sorvel::bar_table {

using namespace native;

namespace {

// Days from 1970-01-01 to the given proleptic Gregorian date.
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Years whose times, shifted by any real zone offset, stay well inside the
// nanosecond range (1677-09-21 to 2262-04-11); pandas treats values
// beyond it differently, so they are left to pandas.
constexpr int kFirstYear = 1678;
constexpr int kLastYear = 2261;

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// The instants, in nanoseconds since the epoch, that the same years span.
// A zone may answer any timedelta, however far (a tzinfo's utcoffset is not
// bounded the way datetime bounds it), so the instant is range-checked too.
constexpr std::int64_t kFirstNanos = days_from_civil(kFirstYear, 1, 1) * kSecondsPerDay * kNanosPerSecond;
constexpr std::int64_t kEndNanos = days_from_civil(kLastYear + 1, 1, 1) * kSecondsPerDay * kNanosPerSecond;

// wall - offset in nanoseconds, when every step fits in 64 bits and the
// instant lies within the years above; pandas' own path decides otherwise
// (for far offsets it overflows and says so).
bool instant_nanos(std::int64_t wall_seconds, std::int64_t offset_days, std::int64_t offset_seconds,
                   std::int64_t micros, std::int64_t& out) {
    std::int64_t offset = 0, seconds = 0, nanos = 0;
    if (__builtin_mul_overflow(offset_days, kSecondsPerDay, &offset) ||
        __builtin_add_overflow(offset, offset_seconds, &offset) ||
        __builtin_sub_overflow(wall_seconds, offset, &seconds) ||
        __builtin_mul_overflow(seconds, kNanosPerSecond, &nanos) ||
        __builtin_add_overflow(nanos, micros * 1000, &nanos))
        return false;
    if (nanos < kFirstNanos || nanos >= kEndNanos) return false;
    out = nanos;
    return true;
}

}  // namespace

Ref zoned_datetime_column(PyObject* values) {
    const Kit& k = kit();
    Py_ssize_t n = PyList_GET_SIZE(values);
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(PyList_GET_ITEM(values, 0));
    // pandas reads a pytz zone's fixed `_utcoffset` instead of asking it.
    if (PyObject_HasAttr(tz, "_utcoffset"_id)) return {};

    std::vector<std::int64_t> nanos(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyList_GET_ITEM(values, i);
        int year = PyDateTime_GET_YEAR(v);
        if (year < kFirstYear || year > kLastYear) return {};
        Ref offset = call_method(tz, "utcoffset"_id, v);
        // A zone that answers None leaves the value naive; sub-second
        // offsets go through floating point in pandas.
        if (Py_TYPE(offset.get()) != k.timedelta_type || PyDateTime_DELTA_GET_MICROSECONDS(offset.get()) != 0)
            return {};
        std::int64_t wall_seconds =
            days_from_civil(year, PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v)) * kSecondsPerDay +
            PyDateTime_DATE_GET_HOUR(v) * 3600 + PyDateTime_DATE_GET_MINUTE(v) * 60 + PyDateTime_DATE_GET_SECOND(v);
        if (!instant_nanos(wall_seconds, PyDateTime_DELTA_GET_DAYS(offset.get()),
                           PyDateTime_DELTA_GET_SECONDS(offset.get()), PyDateTime_DATE_GET_MICROSECOND(v), nanos[i]))
            return {};
    }

    Ref buffer = own(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(nanos.data()), n * 8));
    Ref utc_times = call_kw(k.frombuffer, {buffer}, {{"dtype"_id, k.datetime64_ns}});
    Ref index = call(k.datetime_index, utc_times);
    index = call_method(index, "tz_localize"_id, k.utc);
    index = call_method(index, "tz_convert"_id, tz);
    return getattr(index, "array"_id);
}

}  // namespace sorvel::bar_table
