// Placeholder until the method is written: it never applies.
#include "engine.hpp"

namespace morvane::engine {

bool histogram_applies(const Task &) { return false; }
double histogram_cost(const Task &) { return 1e30; }
void run_histogram(const Task &, const Band &, const Control &) {}

} // namespace morvane::engine
