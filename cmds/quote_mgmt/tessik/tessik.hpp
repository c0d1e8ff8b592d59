// What the parts of the tessik command module share: its globals and the
// bodies of its methods.
#pragma once

#include "native/module.hpp"

namespace tessik {

using native::Coro;
using native::Ref;
using native::operator""_id;

inline constexpr const char* kModuleName = "corvane.cmds.quote_mgmt.tessik";

// The module's globals, read by name at call time like any Python module's.
inline native::Globals G;

void bind_command_class();

// Methods of IOpQuoteList.
Ref argmap(Ref self);
Coro run(Ref self);

}  // namespace tessik
