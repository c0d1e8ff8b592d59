// Bar lists to tables and tables to bar records.
#include "cmds/quotes/sorvel/query.hpp"

namespace sorvel {

using namespace native;

Ref bars_to_table(PyObject* bars) {
    Ref df = call(getattr(G["pd"_id], "DataFrame"_id), bars);
    df = call_method(df, "convert_dtypes"_id);
    return call(G["_strip_tz"_id], df);
}

Ref table_to_records(PyObject* table) {
    return call_kw(getattr(table, "to_dict"_id), {}, {{"orient"_id, "records"_id}});
}

}  // namespace sorvel
