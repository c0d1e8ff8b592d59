// Method bodies still to be written.
#include "cmds/quotes/sorvel/sorvel.hpp"

namespace sorvel {

using namespace native;

static Coro not_yet() {
    raise(PyExc_NotImplementedError, "not implemented yet");
    co_return Ref::none();
}

Coro run(Ref) { return not_yet(); }
Coro latest_via_gateway(Ref, Ref, Ref) { return not_yet(); }
Coro range_via_gateway(Ref, Ref, Ref) { return not_yet(); }
Coro intraday_via_gateway(Ref, Ref) { return not_yet(); }
Coro yf_history(Ref, Ref) { return not_yet(); }
Coro run_yfinance(Ref, Ref) { return not_yet(); }
Coro latest_via_yfinance(Ref, Ref) { return not_yet(); }
Coro range_via_yfinance(Ref, Ref) { return not_yet(); }
Coro intraday_via_yfinance(Ref) { return not_yet(); }

}  // namespace sorvel
