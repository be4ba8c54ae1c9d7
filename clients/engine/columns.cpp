// Placeholder until the method is written: it never applies.
#include "engine.hpp"

namespace morvane::engine {

bool columns_applies(const Task &) { return false; }
double columns_cost(const Task &) { return 1e30; }
void run_columns(const Task &, const Band &, const Control &) {}

} // namespace morvane::engine
