// The command's vocabulary: period words, adjustment words, bar sizes and
// the yfinance equivalents. Built once at load and never changed.
#include "cmds/quotes/sorvel/sorvel.hpp"

#include <utility>

namespace sorvel {
namespace {

using native::str;

template <class V>
Ref table(std::initializer_list<std::pair<const char*, V>> rows) {
    Ref d = native::new_dict();
    for (const auto& [key, value] : rows) {
        Ref v;
        if constexpr (std::is_same_v<V, const char*>)
            v = str(value);
        else if constexpr (std::is_same_v<V, int>)
            v = native::integer(value);
        else
            v = native::floating(value);
        native::check(PyDict_SetItemString(d, key, v));
    }
    return d;
}

}  // namespace

void bind_tables() {
    G.set("PERIOD_MAP", table<const char*>({
                            {"1m", "1 min"},
                            {"5m", "5 mins"},
                            {"15m", "15 mins"},
                            {"30m", "30 mins"},
                            {"1h", "1 hour"},
                            {"day", "1 day"},
                            {"week", "1 week"},
                            {"month", "1 month"},
                            {"year", "1 month"},
                            {"minute", "1 min"},
                            {"hour", "1 hour"},
                            {"d", "1 day"},
                            {"w", "1 week"},
                            {"m", "1 month"},
                            {"y", "1 month"},
                            {"1d", "1 day"},
                            {"1mo", "1 month"},
                        }));

    Ref adjust = native::own(PySet_New(nullptr));
    for (const char* word : {"adj", "forward"}) native::check(PySet_Add(adjust, str(word)));
    G.set("ADJUST_KEYWORDS", adjust);

    G.set("BAR_SECONDS", table<int>({
                             {"1 secs", 1},
                             {"1 min", 60},
                             {"5 mins", 300},
                             {"15 mins", 900},
                             {"30 mins", 1800},
                             {"1 hour", 3600},
                             {"1 day", 86400},
                             {"1 week", 604800},
                             {"1 month", 2592000},
                         }));
    G.set("PERIOD_DEFAULT_COUNT", table<int>({
                                      {"1m", 120},
                                      {"5m", 78},
                                      {"15m", 130},
                                      {"30m", 130},
                                      {"1h", 130},
                                      {"day", 250},
                                      {"week", 156},
                                      {"month", 60},
                                      {"year", 120},
                                  }));
    G.set("DURATION_FACTOR", table<double>({{"day", 1.4}, {"week", 1.02}}));
    G.set("YF_PERIOD", table<const char*>({
                           {"1m", "5d"},
                           {"5m", "5d"},
                           {"15m", "1mo"},
                           {"30m", "1mo"},
                           {"1h", "6mo"},
                           {"day", "5y"},
                           {"week", "max"},
                           {"month", "max"},
                           {"year", "max"},
                       }));
    G.set("YF_INTERVAL", table<const char*>({
                             {"1m", "1m"},
                             {"5m", "5m"},
                             {"15m", "15m"},
                             {"30m", "30m"},
                             {"1h", "60m"},
                             {"day", "1d"},
                             {"week", "1wk"},
                             {"month", "1mo"},
                             {"year", "1mo"},
                         }));
}

}  // namespace sorvel
