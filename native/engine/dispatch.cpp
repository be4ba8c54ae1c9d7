// Choosing a method for a call and running it in bands.
#include "dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>

namespace morvane::engine {

MethodFn method_fn(Method m) {
    switch (m) {
    case Method::Network: return run_network;
    case Method::Histogram: return run_histogram;
    case Method::Columns: return run_columns;
    case Method::Runs: return run_runs;
    case Method::Sums: return run_sums;
    default: return run_sort;
    }
}

namespace {

bool applies(Method m, const Task &t) {
    switch (m) {
    case Method::Sort: return true;
    case Method::Network: return network_applies(t);
    case Method::Histogram: return histogram_applies(t);
    case Method::Columns: return columns_applies(t);
    case Method::Runs: return runs_applies(t);
    case Method::Sums: return sums_applies(t);
    default: return false;
    }
}

double cost_of(Method m, const Task &t) {
    switch (m) {
    case Method::Network: return network_cost(t);
    case Method::Histogram: return histogram_cost(t);
    case Method::Columns: return columns_cost(t);
    case Method::Runs: return runs_cost(t);
    case Method::Sums: return sums_cost(t);
    default: return sort_cost(t);
    }
}

// Rows (in bytes apart) whose lines fall into few sets of a 32 KiB, 8-way
// L1 cache evict each other when a window spans many of them: such images
// are read from a copy with a better pitch.
bool aliases(Index stride, Index rows_spanned) {
    const Index s = stride < 0 ? -stride : stride;
    if (s == 0 || s % 64 != 0) return false;
    const Index sets = 64 / std::gcd(s / 64, Index{64});
    return sets * 8 < 4 * rows_spanned;
}

// A pitch of an odd number of cache lines: consecutive rows (planes) then
// fall into every set.
Index good_pitch(Index bytes) {
    Index p = (bytes + 63) / 64 * 64;
    if ((p / 64) % 2 == 0) p += 64;
    return p;
}

} // namespace

Method choose(const Task &t) {
    Method best = Method::Sort;
    double best_cost = sort_cost(t);
    for (Method m : {Method::Network, Method::Histogram, Method::Columns, Method::Runs,
                     Method::Sums}) {
        if (!applies(m, t)) continue;
        const double c = cost_of(m, t);
        if (c < best_cost) {
            best = m;
            best_cost = c;
        }
    }
    return best;
}

bool method_applies(Method m, const Task &t) { return applies(m, t); }

double method_cost(Method m, const Task &t) { return cost_of(m, t); }

void Working::adopt(const Plane3 &source, Index item, Index rows_spanned, Index planes_spanned,
                    bool force) {
    plane = source;
    const bool contiguous = source.shape[2] <= 1 || source.strides[2] == item;
    const bool bad_rows = source.shape[1] > 1 && aliases(source.strides[1], rows_spanned);
    const bool bad_planes = source.shape[0] > 1 && aliases(source.strides[0], planes_spanned);
    if (!force && contiguous && !bad_rows && !bad_planes) return;
    const Index pitch = good_pitch(source.shape[2] * item);
    const Index plane_pitch = good_pitch(pitch * source.shape[1]);
    storage.assign(static_cast<size_t>(plane_pitch * source.shape[0]), 0);
    for (Index z = 0; z < source.shape[0]; ++z) {
        for (Index y = 0; y < source.shape[1]; ++y) {
            const char *from = source.data + z * source.strides[0] + y * source.strides[1];
            char *to = storage.data() + z * plane_pitch + y * pitch;
            if (source.strides[2] == item) {
                std::memcpy(to, from, static_cast<size_t>(source.shape[2] * item));
            } else {
                for (Index x = 0; x < source.shape[2]; ++x)
                    std::memcpy(to + x * item, from + x * source.strides[2],
                                static_cast<size_t>(item));
            }
        }
    }
    plane.data = storage.data();
    plane.strides[0] = plane_pitch;
    plane.strides[1] = pitch;
    plane.strides[2] = item;
}

} // namespace morvane::engine
