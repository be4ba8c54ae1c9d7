// Choosing a method, and the working copies the methods read.
#pragma once

#include "engine.hpp"
#include "isa.hpp"

#include <vector>

namespace morvane::engine {

// Methods by name ("sort", "network", ...; "auto" for Method::Auto), and
// Method::Auto for a name that is none of them.
const char *method_name(Method m);
Method method_named(const char *name);

// What runs a method over one band, whether it computes a task, and its
// cost per pixel (nanoseconds, calibrated for the active instruction set).
// None of these reads a pixel.
MethodFn method_fn(Method m);
bool method_applies(Method m, const Task &t);
double method_cost(Method m, const Task &t);
// The active instruction set's factor on the method's cost model.
double method_scale(Method m);

// The cheapest method that applies (Method::Auto when none does), and
// every method's cost (-1 where it does not apply). An empty footprint
// takes the sort method, for the statistics it computes.
struct Decision {
    Method method = Method::Auto;
    double cost[kMethodCount];
};
Decision decide(const Task &t);

// Whether a rank filter of 32-bit values reads dense codes (ranks among the
// image's distinct values) rather than the values' order-preserving keys:
// codes when only sorting would take the keys (windows too large, or
// masked, for a selection network), since codes let the histogram method
// run. Decided from the task's shapes alone; reads no pixel.
bool reads_codes(const Task &t);

// Whether every value is one the task says the image may hold (codes below
// `bins`): the methods index tables by them. Reads every pixel.
bool values_fit(const Task &t);

// How many rows (planes) apart a method reads pixels at once.
struct Reading {
    Index rows_spanned, planes_spanned;
};
Reading reading(const Task &t, Method m);

// A pitch of an odd number of cache lines, at least `bytes`: consecutive
// rows (planes) then fall into every cache set.
Index good_pitch(Index bytes);

// An image or mask as the methods read it: the caller's memory when its
// layout suits them (last axis contiguous, rows and planes that do not
// crowd a few cache sets), else a copy with a padded pitch.
struct Working {
    Plane3 plane;
    std::vector<char> storage;
    // Whether adopt() copies `source`. `force`: always copy.
    static bool copies(const Plane3 &source, Index item, const Reading &r);
    void adopt(const Plane3 &source, Index item, const Reading &r, bool force = false);
};

} // namespace morvane::engine
