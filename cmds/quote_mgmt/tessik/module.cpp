// The tessik command module: what it binds when it is loaded, in order.
#include "cmds/quote_mgmt/tessik/tessik.hpp"

namespace tessik {

void exec_module(PyObject* module) {
    G.bind(module);
    G.import_from("dataclasses", {"dataclass", "field"});
    G.import_from("typing", {"TYPE_CHECKING"});
    // `if TYPE_CHECKING:` guards imports for type checkers only; it binds nothing at run time.
    (void)native::truthy(G["TYPE_CHECKING"_id]);
    G.import_from("loguru", {"logger"});
    G.import_from("ferrut.dispatch", {"DArg"});
    G.import_from("corvane.cmds.base", {"IOp", "command"});
    G.import_star("corvane.helpers");
    G.import_as("prettyprinter", "pp");
    bind_command_class();
}

}  // namespace tessik

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessik() {
    return native::init_module<"tessik", "Command: tessik\n\nCategory: Quote Management\n", tessik::exec_module>();
}
