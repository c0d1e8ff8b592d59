// The command class IOpQuoteList: a dataclass registered under "tessik".
#include "cmds/quote_mgmt/tessik/tessik.hpp"

namespace tessik {

using namespace native;

namespace {

constexpr const char* kHelp =
    "Show current quote group names usable by other q* commands.\n"
    "\n"
    "    Usage:\n"
    "        tessik [group...]\n"
    "\n"
    "    Arguments:\n"
    "        * group: Filter to specific group names (optional)\n"
    "\n"
    "    Returns:\n"
    "        Quote group names displayed. No return value.\n"
    "\n"
    "    Examples:\n"
    "        # List all groups\n"
    "        tessik\n"
    "\n"
    "        # List specific groups\n"
    "        tessik mygroup\n"
    "    ";

const FunctionSpec argmap_spec{.name = "argmap", .qualname = "IOpQuoteList.argmap", .params = {{"self"}}};

const FunctionSpec run_spec{.name = "run",
                            .qualname = "IOpQuoteList.run",
                            .params = {{"self"}},
                            .returns = "dict",
                            .result_exact = &PyDict_Type};

}  // namespace

Ref argmap(Ref) {
    Ref groups =
        call_kw(G["DArg"_id], {"*groups"_id},
                {{"convert"_id, G["set"_id]},
                 {"desc"_id, "optional groups to fetch. if not provided, return all groups and their members."_id}});
    return list_of(groups);
}

void bind_command_class() {
    Ref cls = make_class(kModuleName, "IOpQuoteList", {G["IOp"_id]}, [](Ref ns) {
        setitem(ns, "__doc__"_id, str(kHelp));
        setitem(ns, "requires_gateway"_id, Py_False);
        Ref annotations = new_dict();
        setitem(ns, "__annotations__"_id, annotations);
        dict_set(annotations, "groups"_id, "set[str]"_id);
        setitem(ns, "groups"_id, call_kw(G["field"_id], {}, {{"init"_id, Py_False}}));
        setitem(ns, "argmap"_id, function<argmap>(argmap_spec, kModuleName));
        setitem(ns, "run"_id, function<run>(run_spec, kModuleName));
    });
    cls = call(G["dataclass"_id], cls);
    Ref names = list_of("tessik"_id);
    Ref register_ = call_kw(G["command"_id], {}, {{"names"_id, names}});
    G.set("IOpQuoteList", call(register_, cls));
}

}  // namespace tessik
