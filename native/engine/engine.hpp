// The rank-filter engine behind morvane.filters.rank's median, percentile,
// minimum, maximum and mean.
//
// It computes exactly what the sliding-histogram core and the filters'
// kernels compute (the same windows, border rule, mask rule, ranks and
// empty-window values), by whichever method is fastest for the call: the
// dispatcher (dispatch.cpp) picks one, each method lives in a file of its
// own. Everything here runs without the interpreter lock and touches no
// Python object; memory is prepared before the work starts.
//
// Geometry. Every image is a volume of planes x rows x cols (a 2D image has
// one plane). A footprint member at (dz, dy, dx) from the centre covers the
// pixel (z + dz, y + dy, x + dx) of the window of pixel (z, y, x); members
// outside the image, or masked out, are not counted.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace morvane::engine {

using Index = std::ptrdiff_t;

// Rank, mean, minimum and maximum filters; the variance of the values (Task::ddof); the
// most frequent value (ties to the smallest); the Shannon entropy of the values in bits;
// the Otsu threshold of the window's histogram (Task::bin_values); a caller's kernel of
// the window's histogram (Task::kernel).
enum class Stat { Rank, Mean, Min, Max, Variance, Mode, Entropy, Otsu, Kernel };

// Whether a statistic's result is a double (else a value of the image's type).
inline bool real_result(Stat s) {
    return s == Stat::Mean || s == Stat::Variance || s == Stat::Entropy || s == Stat::Kernel;
}

// A kernel of a window's histogram: counts[i] pixels of the window hold the value
// values[i] (i < bins), population their sum, centre the bin of the pixel's own value;
// returns the pixel's result. It must be callable from any thread.
using HistogramKernel = double (*)(const uint32_t *counts, const double *values, intptr_t bins,
                                   intptr_t population, intptr_t centre);

// Forced by a private switch in the tests; Auto lets the dispatcher choose.
enum class Method { Auto = 0, Sort, Network, Histogram, Columns, Runs, Sums };
constexpr int kMethodCount = 6; // Sort .. Sums

// A footprint member, relative to the centre.
struct Offset {
    Index dz, dy, dx;
};

// Members of one footprint row (fixed dz, dy) with consecutive dx: the run
// covers dx = x0 .. x1 (inclusive) relative to the centre.
struct Run {
    Index dz, dy, x0, x1;
    Index length() const { return x1 - x0 + 1; }
};

// What every method needs to know of the footprint; made once per call.
struct Footprint {
    Index shape[3] = {1, 1, 1};                 // planes, rows, cols (1 plane in 2D)
    Index centre[3] = {0, 0, 0};                // index of the centre entry along each axis
    std::vector<Offset> members;                // row-major order of the footprint
    std::vector<Run> runs;                      // row-major order: by dz, dy, then x0
    Index lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0}; // extreme member offsets
    bool centre_member = false;                 // the centre entry is a member
    bool box = false;                           // every entry is a member
    Index rows_used = 0;                        // distinct (dz, dy) with a member

    Index size() const { return static_cast<Index>(members.size()); }
};

// dense: planes x rows x cols bytes in C order, non-zero = member.
Footprint analyse(const uint8_t *dense, const Index shape[3], const Index centre[3]);

// An image (or mask) as the methods read it: the last axis contiguous,
// strides in bytes. Masks hold 0 (not counted) or 1 (counted).
struct Plane3 {
    const char *data = nullptr;
    Index shape[3] = {1, 1, 1};
    Index strides[3] = {0, 0, 0};

    const char *at(Index z, Index y, Index x, Index item) const {
        return data + z * strides[0] + y * strides[1] + x * item;
    }
};

// Output element types.
enum class OutType { U8, U16, U32, F64 };

struct Output {
    char *data = nullptr;
    Index strides[3] = {0, 0, 0};
    OutType type = OutType::U8;

    // Stores a pixel's statistic: an input value (0 for an empty window) for
    // rank, min and max filters, a double for the mean (NaN when empty).
    template <class T> void put_value(Index z, Index y, Index x, T value) const {
        char *p = data + z * strides[0] + y * strides[1] + x * strides[2];
        switch (type) {
        case OutType::U8: {
            const uint8_t v = static_cast<uint8_t>(value);
            std::memcpy(p, &v, 1);
            break;
        }
        case OutType::U16: {
            const uint16_t v = static_cast<uint16_t>(value);
            std::memcpy(p, &v, 2);
            break;
        }
        case OutType::U32: {
            const uint32_t v = static_cast<uint32_t>(value);
            std::memcpy(p, &v, 4);
            break;
        }
        case OutType::F64: {
            const double v = static_cast<double>(value);
            std::memcpy(p, &v, 8);
            break;
        }
        }
    }
};

// The calls' cancel flag, checked by the methods once per output row.
struct Control {
    const std::atomic<bool> *cancel = nullptr;
    bool cancelled() const { return cancel != nullptr && cancel->load(std::memory_order_relaxed); }
};

// Everything a method needs. Rank filters take the value of rank
// rank_of[n] (0-based, ascending) among the n counted values.
struct Task {
    Stat stat = Stat::Rank;
    // Bytes per input value: 1 (uint8), 2 (uint16), 4 (uint32: values of
    // other types as order-preserving keys, or their codes), or 8 (float64,
    // for the mean of values that no integer type holds exactly).
    int item = 1;
    // When not 0, every value is a code below `bins` (the image's distinct
    // values numbered in order); 0: any value of the item's width. Only
    // 32-bit values, and those of the statistics of the whole histogram,
    // carry it.
    Index bins = 0;
    // Mean of integer values: subtracted from each value (exactly, as the
    // sum less offset * n) before the division; keys of signed types carry
    // such an offset.
    int64_t offset = 0;
    Plane3 image; // values
    Plane3 mask;  // data null: every pixel inside the image counts
    Output out;
    const Footprint *fp = nullptr;
    std::vector<Index> rank_of; // for n = 0 .. fp->size(); rank_of[0] unused
    // Variance: the divisor is n - ddof (NaN where it is not positive).
    double ddof = 0;
    // Otsu and kernels: the value of each bin (the bins of Task::top() + 1).
    const double *bin_values = nullptr;
    HistogramKernel kernel = nullptr;
    bool has_mask() const { return mask.data != nullptr; }

    // The largest value the image may hold: of its element type, or the
    // last code below `bins`.
    uint64_t top() const {
        const uint64_t any = 0xffffffffu;
        const uint64_t last = bins > 0 ? static_cast<uint64_t>(bins) - 1 : any;
        if (item == 1) return std::min<uint64_t>(0xff, last);
        if (item == 2) return std::min<uint64_t>(0xffff, last);
        return bins > 0 && static_cast<uint64_t>(bins) <= any + 1 ? static_cast<uint64_t>(bins) - 1
                                                                  : any;
    }
};

// The part of the image one band fills: planes [z0, z1) x rows [y0, y1),
// all columns. Bands cut the first axis of the caller's array: rows of a
// 2D image, planes of a volume.
struct Band {
    Index z0, z1, y0, y1;
};

// A method fills `out` for every pixel of the band. It reads any pixel of
// the image it needs (bands share the whole image, read-only), allocates
// what it needs up front (std::bad_alloc propagates), and returns early
// once `control` says the call is cancelled.
using MethodFn = void (*)(const Task &, const Band &, const Control &);

void run_sort(const Task &, const Band &, const Control &);
void run_network(const Task &, const Band &, const Control &);
void run_histogram(const Task &, const Band &, const Control &);
void run_columns(const Task &, const Band &, const Control &);
void run_runs(const Task &, const Band &, const Control &);
void run_sums(const Task &, const Band &, const Control &);

// Whether a method can compute a task at all (some handle only some
// statistics, footprints, masks or element types: see Task::item).
bool network_applies(const Task &);
bool columns_applies(const Task &);
bool runs_applies(const Task &);
bool sums_applies(const Task &);
bool histogram_applies(const Task &);

// Relative cost per pixel of each method for a task, for the dispatcher;
// only compared with each other.
double network_cost(const Task &);
double histogram_cost(const Task &);
double columns_cost(const Task &);
double runs_cost(const Task &);
double sums_cost(const Task &);
double sort_cost(const Task &);

// The rank a rank filter takes among n > 0 counted values: floor(p * n),
// n - 1 for p = 1. A tiny allowance keeps decimal fractions such as 0.29
// of 100 values on the rank a person expects.
inline Index rank_for(double p, Index n) {
    const auto r = static_cast<Index>(std::floor(p * static_cast<double>(n) + 1e-9));
    return r < 0 ? 0 : r > n - 1 ? n - 1 : r;
}

// rank_for(p, n) for n = 0 .. members (entry 0 unused), as Task::rank_of.
inline std::vector<Index> ranks_for(double p, Index members) {
    std::vector<Index> r(static_cast<size_t>(members + 1), 0);
    for (Index n = 1; n <= members; ++n) r[static_cast<size_t>(n)] = rank_for(p, n);
    return r;
}

// Helpers shared by the methods -------------------------------------------

template <class In> inline In load(const char *p) {
    In v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whether pixel (z, y, x) lies inside the image.
inline bool inside(const Plane3 &g, Index z, Index y, Index x) {
    return static_cast<size_t>(z) < static_cast<size_t>(g.shape[0]) &&
           static_cast<size_t>(y) < static_cast<size_t>(g.shape[1]) &&
           static_cast<size_t>(x) < static_cast<size_t>(g.shape[2]);
}

// Columns x (of a row) whose whole window lies inside the image along the
// last axis: [x_lo, x_hi). Empty when the footprint is wider than the row.
inline void interior_columns(const Task &t, Index *x_lo, Index *x_hi) {
    *x_lo = -t.fp->lo[2];
    *x_hi = t.image.shape[2] - t.fp->hi[2];
    if (*x_hi < *x_lo) *x_hi = *x_lo;
}

// Whether every window of row (z, y) lies inside the image along the first
// two axes.
inline bool interior_row(const Task &t, Index z, Index y) {
    const Footprint &f = *t.fp;
    return z + f.lo[0] >= 0 && z + f.hi[0] < t.image.shape[0] && y + f.lo[1] >= 0 &&
           y + f.hi[1] < t.image.shape[1];
}

} // namespace morvane::engine
