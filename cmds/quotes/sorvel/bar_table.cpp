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
    Ref columns = bar_table::bar_columns(bars);
    Ref df = call(getattr(G["pd"_id], "DataFrame"_id), columns ? columns.get() : bars);
    df = call_method(df, "convert_dtypes"_id);
    return call(G["_strip_tz"_id], df);
}

Ref table_to_records(PyObject* table) {
    if (Ref records = bar_table::records_of(table)) return records;
    return call_kw(getattr(table, "to_dict"_id), {}, {{"orient"_id, "records"_id}});
}

}  // namespace sorvel
