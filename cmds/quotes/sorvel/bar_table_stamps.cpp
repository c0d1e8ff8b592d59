// Zone-less nanosecond times boxed as the Timestamps pandas' iteration gives.
//
// Iterating a datetime64[ns] column, pandas makes each Timestamp by calling
// datetime's constructor with the value's fields (an argument tuple and a
// keyword dict per value) and then filling its own four fields: the C
// vtable pointer, the nanosecond value, the nanosecond part and the year.
// That constructor call is most of a record build's time. The same object
// comes out of datetime's C-level constructor for the Timestamp type plus
// the same four fields. Their place in the object is what pandas' compiled
// class declares; rather than trusting that, the layout is confirmed once
// per process by building probe values both ways and comparing the objects
// byte for byte. Any difference, or any NaT, leaves the column to pandas.
#include "cmds/quotes/sorvel/bar_table.hpp"
#include "cmds/quotes/sorvel/bar_table_civil.hpp"

#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace sorvel::bar_table {

using namespace native;

namespace {

// Behind datetime's fields: the vtable pointer, then three int64 fields
// (value, nanosecond, year) and the unit, padded to 8 bytes.
constexpr Py_ssize_t kHead = sizeof(PyDateTime_DateTime);
constexpr Py_ssize_t kValueAt = kHead + 8, kNanosecondAt = kHead + 16, kYearAt = kHead + 24, kUnitAt = kHead + 32;
constexpr Py_ssize_t kSize = kHead + 40;

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

class StampMaker {
public:
    // Whether the objects made here are pandas' own, byte for byte.
    bool usable() {
        if (state_ == State::unknown) {
            bool same = false;
            try {
                same = confirmed();
            } catch (const PyError& e) {
                // Probes pandas cannot make: its own iteration stays in charge.
                if (!e.ordinary()) throw;
            }
            state_ = same ? State::usable : State::unusable;
        }
        return state_ == State::usable;
    }

    PyObject* make(std::int64_t value) const {
        std::int64_t seconds = 0, below = 0;
        split_nanos(value, seconds, below);
        std::int64_t days = floor_div(seconds, kSecondsPerDay);
        int of_day = static_cast<int>(seconds - days * kSecondsPerDay);
        int y = 0, m = 0, d = 0;
        civil_from_days(days, y, m, d);
        PyObject* stamp = PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
            y, m, d, of_day / 3600, of_day % 3600 / 60, of_day % 60, static_cast<int>(below / 1000), Py_None, 0, type_);
        if (!stamp) throw_current();
        char* raw = reinterpret_cast<char*>(stamp);
        // The vtable pointer and the unit, as in every Timestamp of this unit.
        std::memcpy(raw + kHead, vtable_, 8);
        std::memcpy(raw + kUnitAt, unit_, 8);
        std::int64_t nanosecond = below % 1000, year = y;
        std::memcpy(raw + kValueAt, &value, 8);
        std::memcpy(raw + kNanosecondAt, &nanosecond, 8);
        std::memcpy(raw + kYearAt, &year, 8);
        return stamp;
    }

private:
    enum class State { unknown, usable, unusable };

    bool confirmed() {
        const Kit& k = kit();
        type_ = k.timestamp_type;
        if (!k.known_pandas || type_->tp_basicsize != kSize || type_->tp_itemsize != 0 ||
            type_->tp_alloc != PyType_GenericAlloc)
            return false;
        if (!PyDateTimeAPI) {
            PyDateTime_IMPORT;  // per translation unit
            if (!PyDateTimeAPI) throw_current();
        }
        // Before and after the epoch, with and without sub-microsecond parts,
        // near both ends of the range, on and around leap days.
        const std::int64_t probes[] = {0,
                                       1,
                                       -1,
                                       999,
                                       1'000,
                                       -1'001,
                                       1'741'012'200'000'000'000,
                                       1'709'164'799'123'456'789,
                                       -5'000'000'000'000'000'123,
                                       9'223'372'036'854'775'807,
                                       kNaT + 1,
                                       951'782'400'000'000'001};
        constexpr Py_ssize_t n = sizeof probes / sizeof probes[0];
        Ref theirs = own(
            PySequence_List(getattr(call(k.datetime_index, numpy_array(probes, n * 8, k.datetime64_ns)), "array"_id)));
        if (PyList_GET_SIZE(theirs.get()) != n) return false;
        PyObject* first = PyList_GET_ITEM(theirs.get(), 0);
        if (Py_TYPE(first) != type_) return false;
        std::memcpy(vtable_, reinterpret_cast<char*>(first) + kHead, 8);
        std::memcpy(unit_, reinterpret_cast<char*>(first) + kUnitAt, 8);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* their = PyList_GET_ITEM(theirs.get(), i);
            Ref ours = Ref::steal(make(probes[i]));
            // Everything but the reference count: the type, datetime's
            // fields, pandas' fields and the padding (zeroed in both).
            if (Py_TYPE(their) != type_ || PyObject_GC_IsTracked(their) != PyObject_GC_IsTracked(ours) ||
                std::memcmp(reinterpret_cast<char*>(their) + sizeof(Py_ssize_t),
                            reinterpret_cast<char*>(ours.get()) + sizeof(Py_ssize_t), kSize - sizeof(Py_ssize_t)) != 0)
                return false;
        }
        return true;
    }

    State state_ = State::unknown;
    PyTypeObject* type_ = nullptr;
    char vtable_[8] = {};
    char unit_[8] = {};  // the unit and its padding
};

StampMaker maker;

}  // namespace

Ref naive_timestamps(PyObject* series) {
    if (!maker.usable()) return {};
    Ref values = getattr(getattr(series, "array"_id), "asi8"_id);
    Items nanos;
    if (!nanos.open(values, "lq", 8)) return {};
    Py_ssize_t n = nanos.size();
    for (Py_ssize_t i = 0; i < n; ++i)
        if (nanos.at<std::int64_t>(i) == kNaT) return {};
    Ref list = new_list(n);
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, maker.make(nanos.at<std::int64_t>(i)));
    return list;
}

}  // namespace sorvel::bar_table
