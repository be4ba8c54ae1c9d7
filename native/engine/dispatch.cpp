// The method table, the calibration of its costs, the choice of a method,
// and the working copies the methods read.
#include "dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>
#include <numeric>

namespace morvane::engine {

namespace {

// Sorting computes every statistic but a caller's kernel (Otsu's from the
// values of the bins); an empty footprint takes it.
bool sort_applies(const Task &t) {
    if (t.stat == Stat::Kernel) return false;
    return t.stat != Stat::Otsu || t.bin_values != nullptr;
}

// The methods, in Method order after Auto.
struct Entry {
    const char *name;
    bool (*applies)(const Task &);
    double (*cost)(const Task &);
    MethodFn run;
};
constexpr Entry kTable[] = {
    {"sort", sort_applies, sort_cost, run_sort},
    {"network", network_applies, network_cost, run_network},
    {"histogram", histogram_applies, histogram_cost, run_histogram},
    {"columns", columns_applies, columns_cost, run_columns},
    {"runs", runs_applies, runs_cost, run_runs},
    {"sums", sums_applies, sums_cost, run_sums},
};
static_assert(std::size(kTable) == kMethodCount);

const Entry &entry(Method m) { return kTable[static_cast<int>(m) - 1]; }

// The cost models give nanoseconds per pixel as measured, one core, on the
// AVX2 machine the engine was first tuned on; each instruction set scales
// each method's model by its own factor. benchmarks/calibrate.py measures
// the factors on a machine and prints this table (the last refit: a shared
// 2-core x86-64 machine; NEON's row is estimated from the paths it shares:
// 16-byte lanes like SSE2 for networks, the portable code elsewhere; runs
// on AVX2 refit against the specialised kernels' minimum and maximum on
// small footprints; AVX-512 as AVX2, whose code it runs but for the
// network's specialised kernels, which are no slower).
constexpr double kCalibration[static_cast<int>(Isa::Count)][kMethodCount] = {
    //  sort  network histogram columns runs  sums
    {0.87, 0.72, 0.80, 2.50, 1.51, 1.35}, // portable
    {0.85, 0.64, 0.78, 1.41, 1.61, 1.39}, // sse2
    {0.87, 0.90, 0.79, 1.02, 0.52, 0.96}, // avx2
    {0.87, 0.64, 0.80, 2.50, 1.51, 1.35}, // neon (estimated)
    {0.87, 0.90, 0.79, 1.02, 0.52, 0.96}, // avx512
};

} // namespace

const char *method_name(Method m) { return m == Method::Auto ? "auto" : entry(m).name; }

Method method_named(const char *name) {
    for (int m = 1; m <= kMethodCount; ++m)
        if (std::strcmp(name, kTable[m - 1].name) == 0) return static_cast<Method>(m);
    return Method::Auto;
}

MethodFn method_fn(Method m) { return entry(m).run; }

bool method_applies(Method m, const Task &t) { return entry(m).applies(t); }

double method_scale(Method m) {
    return kCalibration[static_cast<int>(active_isa())][static_cast<int>(m) - 1];
}

double method_cost(Method m, const Task &t) { return method_scale(m) * entry(m).cost(t); }

Decision decide(const Task &t) {
    Decision d;
    for (int k = 0; k < kMethodCount; ++k) {
        const auto m = static_cast<Method>(k + 1);
        const bool runs =
            m == Method::Sort ? sort_applies(t) : t.fp->size() > 0 && method_applies(m, t);
        d.cost[k] = runs ? method_cost(m, t) : -1;
        if (runs &&
            (d.method == Method::Auto || d.cost[k] < d.cost[static_cast<int>(d.method) - 1]))
            d.method = m;
    }
    return d;
}

bool reads_codes(const Task &t) {
    if (t.stat != Stat::Rank || t.item != 4) return false;
    Task keys = t;
    keys.bins = 0;
    return decide(keys).method == Method::Sort;
}

bool values_fit(const Task &t) {
    if (t.bins <= 0 || t.item > 4) return true;
    const Plane3 &im = t.image;
    const uint64_t top = t.top();
    for (Index z = 0; z < im.shape[0]; ++z)
        for (Index y = 0; y < im.shape[1]; ++y) {
            const char *row = im.data + z * im.strides[0] + y * im.strides[1];
            uint32_t most = 0;
            for (Index x = 0; x < im.shape[2]; ++x) {
                const char *p = row + x * im.strides[2];
                const uint32_t v = t.item == 1   ? load<uint8_t>(p)
                                   : t.item == 2 ? load<uint16_t>(p)
                                                 : load<uint32_t>(p);
                most = std::max(most, v);
            }
            if (most > top) return false;
        }
    return true;
}

Reading reading(const Task &t, Method m) {
    const Footprint &f = *t.fp;
    Index rows_spanned = f.hi[1] - f.lo[1] + 1;
    Index planes_spanned = f.hi[0] - f.lo[0] + 1;
    // Methods that read the image a row at a time, and networks over a few
    // rows (which the cache holds anyway), need no better pitch.
    const bool by_rows = m == Method::Runs || m == Method::Sums ||
                         (m == Method::Network && rows_spanned <= 5 && planes_spanned <= 3);
    if (by_rows) rows_spanned = planes_spanned = 1;
    return {rows_spanned, planes_spanned};
}

namespace {

// Rows (in bytes apart) whose lines fall into few sets of a 32 KiB, 8-way
// L1 cache evict each other when a window spans many of them: such images
// are read from a copy with a better pitch.
bool aliases(Index stride, Index rows_spanned) {
    const Index s = stride < 0 ? -stride : stride;
    if (s == 0 || s % 64 != 0) return false;
    const Index sets = 64 / std::gcd(s / 64, Index{64});
    return sets * 8 < 4 * rows_spanned;
}

} // namespace

Index good_pitch(Index bytes) {
    Index p = (bytes + 63) / 64 * 64;
    if ((p / 64) % 2 == 0) p += 64;
    return p;
}

bool Working::copies(const Plane3 &source, Index item, const Reading &r) {
    const bool contiguous = source.shape[2] <= 1 || source.strides[2] == item;
    const bool bad_rows = source.shape[1] > 1 && aliases(source.strides[1], r.rows_spanned);
    const bool bad_planes = source.shape[0] > 1 && aliases(source.strides[0], r.planes_spanned);
    return !contiguous || bad_rows || bad_planes;
}

void Working::adopt(const Plane3 &source, Index item, const Reading &r, bool force) {
    plane = source;
    if (!force && !copies(source, item, r)) return;
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
