// Bar lists to tables and tables to bar records.
//
// A one-minute query brings up to about 100,000 bars, and pandas' generic
// paths (a deep-copied dict per bar in, a Python loop per row out) take
// seconds for that. The fast paths of bar_table.hpp give the same tables
// and records; what they do not cover still goes through pandas.
#include "cmds/quotes/sorvel/bar_table.hpp"
#include "cmds/quotes/sorvel/query.hpp"

namespace sorvel {

using namespace native;

Ref bars_to_table(PyObject* bars) {
    bar_table::NaiveDates naive;
    Ref columns = bar_table::bar_columns(bars, naive);
    Ref df = call(getattr(G["pd"_id], "DataFrame"_id), columns ? columns.get() : bars);
    df = bar_table::convert_dtypes(df);
    Ref strip = G["_strip_tz"_id];
    // Our own _strip_tz, while the module still holds it, need not ask the
    // zone for every bar again when the zone-less times are already known.
    if (naive && is_module_strip_tz(strip)) {
        try {
            if (Ref stripped = bar_table::with_naive_dates(df, naive)) return stripped;
        } catch (const PyError& e) {
            if (!e.ordinary()) throw;
        }
    }
    return call(strip, df);
}

Ref table_to_records(PyObject* table) {
    if (Ref records = bar_table::records_of(table)) return records;
    return call_kw(getattr(table, "to_dict"_id), {}, {{"orient"_id, "records"_id}});
}

}  // namespace sorvel
