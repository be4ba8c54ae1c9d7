// Choosing a method, and the working copies the methods read.
#pragma once

#include "engine.hpp"

#include <vector>

namespace morvane::engine {

// The fastest applicable method for a task.
Method choose(const Task &t);
bool method_applies(Method m, const Task &t);
double method_cost(Method m, const Task &t);

// An image or mask as the methods read it: the caller's memory when its
// layout suits them (last axis contiguous, rows and planes that do not
// crowd a few cache sets), else a copy with a padded pitch.
struct Working {
    Plane3 plane;
    std::vector<char> storage;
    // rows_spanned / planes_spanned: how many rows (planes) one window
    // covers. `force`: always copy.
    void adopt(const Plane3 &source, Index item, Index rows_spanned, Index planes_spanned,
               bool force = false);
};

// The function that runs a method over one band.
MethodFn method_fn(Method m);

} // namespace morvane::engine
