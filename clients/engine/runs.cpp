// Placeholder until the method is written: it never applies.
#include "engine.hpp"

namespace morvane::engine {

bool runs_applies(const Task &) { return false; }
double runs_cost(const Task &) { return 1e30; }
void run_runs(const Task &, const Band &, const Control &) {}

} // namespace morvane::engine
