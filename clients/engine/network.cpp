// Placeholder until the method is written: it never applies.
#include "engine.hpp"

namespace morvane::engine {

bool network_applies(const Task &) { return false; }
double network_cost(const Task &) { return 1e30; }
void run_network(const Task &, const Band &, const Control &) {}

} // namespace morvane::engine
