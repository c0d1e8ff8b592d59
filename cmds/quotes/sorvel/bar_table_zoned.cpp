// Timezone-aware bar times as the datetime64[ns, zone] column pandas infers.
//
// pandas turns each aware datetime into nanoseconds since the epoch as its
// wall-clock time minus the zone's utcoffset for that datetime, and keeps
// the zone of the values as the column's zone. Its per-value inference is
// the slowest step of building a bar table; the same arithmetic here, with
// the zone's own utcoffset, gives the same numbers.
#include "cmds/quotes/sorvel/bar_table.hpp"
#include "cmds/quotes/sorvel/bar_table_civil.hpp"

#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

namespace sorvel::bar_table {

using namespace native;

namespace {

// Years whose times, shifted by any real zone offset, stay well inside the
// nanosecond range (1677-09-21 to 2262-04-11); pandas treats values
// beyond it differently, so they are left to pandas.
constexpr int kFirstYear = 1678;
constexpr int kLastYear = 2261;

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

// a < b for exact timedeltas, whose seconds and microseconds are kept
// normalised (non-negative, below a day and a second).
bool shorter(PyObject* a, PyObject* b) {
    auto parts = [](PyObject* d) {
        return std::tuple{PyDateTime_DELTA_GET_DAYS(d), PyDateTime_DELTA_GET_SECONDS(d),
                          PyDateTime_DELTA_GET_MICROSECONDS(d)};
    };
    return parts(a) < parts(b);
}

// pandas drops a zone the other way round from how it applied it: each
// instant is turned back into wall time through the zone (astimezone) and
// that wall time is kept. For a ZoneInfo zone this gives every value its own
// wall time back, except a time inside a gap of the clock (the hour skipped
// when clocks go forward), which comes back shifted. ZoneInfo answers such a
// time with the earlier offset for fold 0 and the later one for fold 1, so
// the two folds disagree with the earlier offset the smaller one there; in
// the repeated hour they disagree the other way, and both folds come back
// as they were. Times in a gap take pandas' own steps, one by one.
class WallTimes {
public:
    WallTimes(const Kit& k, PyObject* tz, Py_ssize_t n)
        : k_(k), tz_(tz), zoneinfo_(k.known_pandas && Py_TYPE(tz) == k.zoneinfo_type), known_(zoneinfo_) {
        if (zoneinfo_) {
            if (!PyDateTimeAPI) {
                PyDateTime_IMPORT;  // per translation unit
                if (!PyDateTimeAPI) throw_current();
            }
            // ZoneInfo's own method: nothing can shadow it on the instance.
            utcoffset_ = getattr(tz, "utcoffset"_id);
            nanos_.resize(n);
        }
    }

    // The zone's answer for v (whatever it is, as pandas asks it).
    Ref offset(PyObject* v) { return zoneinfo_ ? call(utcoffset_, v) : call_method(tz_, "utcoffset"_id, v); }

    // Notes the naive value pandas would give for v, whose instant is `instant`.
    void keep(Py_ssize_t i, PyObject* v, std::int64_t wall_seconds, PyObject* offset, std::int64_t instant) {
        if (!known_) return;
        if (!in_gap(v, offset))
            nanos_[i] = wall_seconds * kNanosPerSecond + std::int64_t{PyDateTime_DATE_GET_MICROSECOND(v)} * 1000;
        else
            known_ = pandas_naive(instant, nanos_[i]);
    }

    void fill(NaiveDates& out, Ref instants) {
        if (!known_) return;
        out.naive = numpy_array(nanos_.data(), static_cast<Py_ssize_t>(nanos_.size() * 8), k_.datetime64_ns);
        out.instants = std::move(instants);
        out.zone = Ref::borrow(tz_);
    }

private:
    bool in_gap(PyObject* v, PyObject* offset) {
        int fold = PyDateTime_DATE_GET_FOLD(v);
        Ref flipped = own(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
            PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v), PyDateTime_DATE_GET_HOUR(v),
            PyDateTime_DATE_GET_MINUTE(v), PyDateTime_DATE_GET_SECOND(v), PyDateTime_DATE_GET_MICROSECOND(v), tz_,
            !fold, PyDateTimeAPI->DateTimeType));
        Ref other = call(utcoffset_, flipped);
        if (Py_TYPE(other.get()) != k_.timedelta_type) return true;
        return fold ? shorter(other, offset) : shorter(offset, other);
    }

    // The instant as an aware UTC datetime, astimezone(zone), and the
    // offset of that wall time added to the instant: pandas' steps.
    bool pandas_naive(std::int64_t instant, std::int64_t& out) {
        std::int64_t seconds = 0, below = 0;
        split_nanos(instant, seconds, below);
        int micros = static_cast<int>(below / 1000);
        std::int64_t days = floor_div(seconds, kSecondsPerDay);
        int of_day = static_cast<int>(seconds - days * kSecondsPerDay);
        int y = 0, m = 0, d = 0;
        civil_from_days(days, y, m, d);
        Ref utc_time = own(PyDateTimeAPI->DateTime_FromDateAndTime(
            y, m, d, of_day / 3600, of_day % 3600 / 60, of_day % 60, micros, k_.utc, PyDateTimeAPI->DateTimeType));
        Ref local = call_method(utc_time, "astimezone"_id, tz_);
        Ref offset = call(utcoffset_, local);
        if (Py_TYPE(offset.get()) != k_.timedelta_type || PyDateTime_DELTA_GET_MICROSECONDS(offset.get()) != 0)
            return false;
        std::int64_t shift = 0;
        return !__builtin_mul_overflow(std::int64_t{PyDateTime_DELTA_GET_DAYS(offset.get())}, kSecondsPerDay, &shift) &&
               !__builtin_add_overflow(shift, std::int64_t{PyDateTime_DELTA_GET_SECONDS(offset.get())}, &shift) &&
               !__builtin_mul_overflow(shift, kNanosPerSecond, &shift) && !__builtin_add_overflow(instant, shift, &out);
    }

    const Kit& k_;
    PyObject* tz_;
    const bool zoneinfo_;
    bool known_;  // every naive value so far is known
    Ref utcoffset_;
    std::vector<std::int64_t> nanos_;
};

}  // namespace

Ref zoned_datetime_column(PyObject* values, NaiveDates& naive) {
    const Kit& k = kit();
    Py_ssize_t n = PyList_GET_SIZE(values);
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(PyList_GET_ITEM(values, 0));
    // pandas reads a pytz zone's fixed `_utcoffset` instead of asking it.
    if (PyObject_HasAttr(tz, "_utcoffset"_id)) return {};

    WallTimes walls(k, tz, n);
    std::vector<std::int64_t> nanos(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyList_GET_ITEM(values, i);
        int year = PyDateTime_GET_YEAR(v);
        if (year < kFirstYear || year > kLastYear) return {};
        Ref offset = walls.offset(v);
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
        walls.keep(i, v, wall_seconds, offset, nanos[i]);
    }

    Ref buffer = own(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(nanos.data()), n * 8));
    Ref utc_times = call_kw(k.frombuffer, {buffer}, {{"dtype"_id, k.datetime64_ns}});
    Ref index = call(k.datetime_index, utc_times);
    index = call_method(index, "tz_localize"_id, k.utc);
    index = call_method(index, "tz_convert"_id, tz);
    Ref column = getattr(index, "array"_id);
    walls.fill(naive, own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(nanos.data()), n * 8)));
    return column;
}

Ref with_naive_dates(PyObject* df, const NaiveDates& naive) {
    const Kit& k = kit();
    if (!naive || Py_TYPE(df) != reinterpret_cast<PyTypeObject*>(k.data_frame)) return {};
    Ref column = getitem(df, "date"_id);
    Ref dtype = getattr(column, "dtype"_id);
    if (Py_TYPE(dtype.get()) != reinterpret_cast<PyTypeObject*>(k.datetime_tz_dtype) ||
        !getattr(dtype, "tz"_id).is(naive.zone))
        return {};
    // The same instants, checked whole: the naive values were worked out for them.
    Ref instants = call_method(getattr(getattr(column, "array"_id), "asi8"_id), "tobytes"_id);
    if (PyBytes_GET_SIZE(instants.get()) != PyBytes_GET_SIZE(naive.instants.get()) ||
        std::memcmp(PyBytes_AS_STRING(instants.get()), PyBytes_AS_STRING(naive.instants.get()),
                    PyBytes_GET_SIZE(instants.get())) != 0)
        return {};
    setitem(df, "date"_id, naive.naive);
    return Ref::borrow(df);
}

}  // namespace sorvel::bar_table
