// The sorvel command module: what it binds when it is loaded, in order.
#include "cmds/quotes/sorvel/sorvel.hpp"

namespace sorvel {

void exec_module(PyObject* module) {
    G.bind(module);
    for (const char* name : {"asyncio", "copy", "datetime", "math", "re"}) G.import(name);
    loaded_re_match.remember(G["re"_id], "match"_id);
    loaded_math_ceil.remember(G["math"_id], "ceil"_id);
    G.import_from("dataclasses", {"dataclass", "field"});
    G.import_from("typing", {"TYPE_CHECKING"});
    // `if TYPE_CHECKING:` guards imports for type checkers only; it binds nothing at run time.
    (void)native::truthy(G["TYPE_CHECKING"_id]);
    G.import_from("ib_async", {"Contract"});
    G.import_from("loguru", {"logger"});
    G.import_from("ferrut.dispatch", {"DArg"});
    G.import_from("ferrut.frame", {"printFrame"});
    G.import_as("pandas", "pd");
    G.import_from("corvane.cmds.base", {"IOp", "command"});
    G.import_from("corvane.gateway.sorvel_cache", {"SorvelCache"});
    G.import_star("corvane.helpers");
    bind_tables();
    G.set("_sorvel_cache", Py_None);
    bind_helpers();
    bind_frame_functions();
    bind_command_class();
}

}  // namespace sorvel

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_sorvel() {
    return native::init_module<"sorvel", "Command: sorvel\n\nCategory: Live Market Quotes\n", sorvel::exec_module>();
}
