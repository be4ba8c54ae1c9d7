// Choosing a method and running it in bands on the engine's threads.
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

// Runs `method` over the whole image in bands along the caller's first axis
// (rows in 2D, planes in 3D) on up to `workers` threads, cancellable by
// Ctrl-C. `bands`: 0 to choose, else how many to cut; `progress`: null, or a
// callable told progress(done, total). Called with the interpreter lock
// held; returns 0, or -1 with an exception set.
int run(Task &t, Method method, int workers, int ndim, Index bands = 0,
        PyObject *progress = nullptr);

} // namespace morvane::engine
