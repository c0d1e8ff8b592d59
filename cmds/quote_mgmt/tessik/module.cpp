// The tessik command module: what it binds when it is loaded, in order.
#include "cmds/quote_mgmt/tessik/tessik.hpp"

namespace tessik {
namespace {

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

int exec_slot(PyObject* module) { return native::exec_module_once(module, exec_module); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(native::create_module_once)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tessik",
    "Command: tessik\n\nCategory: Quote Management\n",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessik

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessik() {
    return PyModuleDef_Init(&tessik::definition);
}
