// The engine on its own, without Python: every method that applies to a
// random case gives exactly what the plain sort method gives, for every
// element type, statistic, footprint, shift, mask and band split, on the
// instruction set the engine picks (MORVANE_ISA forces one).
//
//   engine_test [cases]      exit status 0 when every result agrees
#include "engine/dispatch.hpp"
#include "engine/engine.hpp"
#include "engine/isa.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace morvane::engine;

namespace {

std::mt19937_64 rng(20261209);

Index uniform(Index lo, Index hi) { return std::uniform_int_distribution<Index>(lo, hi)(rng); }
double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng); }

struct Case {
    Stat stat;
    int item;       // 1, 2, 4 (keys or codes) or 8 (doubles, the mean only)
    Index bins;     // item 4 (and 2 for Otsu): number of codes, or 0
    Index shape[3]; // planes, rows, cols
    std::vector<char> image, mask;
    std::vector<uint8_t> footprint;
    Index fshape[3], centre[3];
    double p; // the variance's ddof
    int64_t offset;
    std::vector<double> bin_values; // Otsu: the value of every bin
    std::string describe() const {
        const char *stats[] = {"rank", "mean",    "min",  "max",   "variance",
                               "mode", "entropy", "otsu", "kernel"};
        char text[256];
        std::snprintf(text, sizeof text,
                      "%s item=%d bins=%td image=%tdx%tdx%td footprint=%tdx%tdx%td centre=%td,%td,"
                      "%td p=%.3f mask=%d",
                      stats[static_cast<int>(stat)], item, bins, shape[0], shape[1], shape[2],
                      fshape[0], fshape[1], fshape[2], centre[0], centre[1], centre[2], p,
                      mask.empty() ? 0 : 1);
        return text;
    }
};

Case random_case() {
    Case c;
    const Stat stats[] = {Stat::Rank,     Stat::Rank, Stat::Min,     Stat::Max, Stat::Mean,
                          Stat::Variance, Stat::Mode, Stat::Entropy, Stat::Otsu};
    c.stat = stats[uniform(0, 8)];
    const int items[] = {1, 2, 4, 4, 8};
    const bool doubles = c.stat == Stat::Mean || c.stat == Stat::Variance;
    c.item = items[uniform(0, doubles ? 4 : 3)];
    if (c.stat == Stat::Variance && c.item == 4) c.item = 2;
    const bool volume = uniform(0, 3) == 0;
    c.shape[0] = volume ? uniform(1, 6) : 1;
    c.shape[1] = uniform(1, volume ? 12 : 40);
    c.shape[2] = uniform(1, volume ? 12 : 70);
    // Footprints: boxes, disks and random shapes, the centre anywhere.
    c.fshape[0] = volume ? uniform(1, 3) : 1;
    c.fshape[1] = uniform(1, 7);
    c.fshape[2] = uniform(1, 7);
    const Index members = c.fshape[0] * c.fshape[1] * c.fshape[2];
    c.footprint.assign(static_cast<size_t>(members), 1);
    const int kind = static_cast<int>(uniform(0, 2));
    for (Index i = 0; i < c.fshape[0]; ++i)
        for (Index j = 0; j < c.fshape[1]; ++j)
            for (Index k = 0; k < c.fshape[2]; ++k) {
                uint8_t &m =
                    c.footprint[static_cast<size_t>((i * c.fshape[1] + j) * c.fshape[2] + k)];
                const double dy = j - (c.fshape[1] - 1) / 2.0, dx = k - (c.fshape[2] - 1) / 2.0;
                if (kind == 1) m = dy * dy + dx * dx <= (c.fshape[2] / 2.0) * (c.fshape[2] / 2.0);
                if (kind == 2) m = unit() < 0.6;
            }
    for (int d = 0; d < 3; ++d) c.centre[d] = uniform(0, c.fshape[d] - 1);
    c.p = uniform(0, 3) == 0 ? static_cast<double>(uniform(0, 1)) : unit();
    // Values over the type's whole range, or a few distinct ones.
    const Index n = c.shape[0] * c.shape[1] * c.shape[2];
    const size_t bytes = static_cast<size_t>(n * c.item);
    c.image.assign(bytes, 0);
    const bool few = uniform(0, 1) == 0;
    c.bins = 0;
    // The statistics of the whole histogram count codes of 32-bit values;
    // Otsu those of 16-bit ones too.
    const bool whole = c.stat == Stat::Mode || c.stat == Stat::Entropy || c.stat == Stat::Otsu;
    if ((c.item == 4 && (whole || uniform(0, 1) == 0)) || (c.item == 2 && c.stat == Stat::Otsu))
        c.bins = uniform(1, few ? 20 : 5000);
    for (Index i = 0; i < n; ++i) {
        char *at = c.image.data() + i * c.item;
        if (c.item == 8) {
            const double v = few ? static_cast<double>(uniform(-3, 3)) : (unit() - 0.5) * 1e6;
            std::memcpy(at, &v, 8);
            continue;
        }
        uint64_t v = rng();
        if (c.bins > 0)
            v %= static_cast<uint64_t>(c.bins);
        else if (few)
            v = (v % 5) * (c.item == 1 ? 50 : c.item == 2 ? 16000 : 1000000000u);
        std::memcpy(at, &v, static_cast<size_t>(c.item)); // little-endian low bytes
    }
    if (uniform(0, 2) == 0) {
        c.mask.assign(static_cast<size_t>(n), 0);
        for (char &m : c.mask) m = unit() < 0.7;
    }
    if (c.stat == Stat::Variance) c.p = static_cast<double>(uniform(0, 1));
    if (c.stat == Stat::Otsu) {
        // Ascending values: integers, or fractions whose sums round.
        const Index bins = c.bins > 0 ? c.bins : 256;
        const bool integral = uniform(0, 1) == 0;
        for (Index i = 0; i < bins; ++i)
            c.bin_values.push_back(integral ? static_cast<double>(3 * i - 7) : 0.37 * i - 2.1);
    }
    c.offset = c.stat == Stat::Mean && c.item < 8 && uniform(0, 1) == 0
                   ? int64_t{1} << (8 * c.item - 1)
                   : 0;
    return c;
}

struct Result {
    std::vector<char> out;
    int out_item;
};

// The case as the methods read it (all but the output).
Task task_of(const Case &c, const Footprint &f) {
    Task t;
    t.stat = c.stat;
    t.item = c.item;
    t.bins = c.bins;
    t.offset = c.offset;
    t.ddof = c.p;
    t.bin_values = c.bin_values.empty() ? nullptr : c.bin_values.data();
    t.fp = &f;
    t.rank_of = ranks_for(c.p, f.size());
    t.image.data = c.image.data();
    for (int d = 0; d < 3; ++d) t.image.shape[d] = c.shape[d];
    t.image.strides[2] = c.item;
    t.image.strides[1] = c.item * c.shape[2];
    t.image.strides[0] = t.image.strides[1] * c.shape[1];
    if (!c.mask.empty()) {
        t.mask = t.image;
        t.mask.data = c.mask.data();
        t.mask.strides[2] = 1;
        t.mask.strides[1] = c.shape[2];
        t.mask.strides[0] = c.shape[1] * c.shape[2];
    }
    return t;
}

// Runs `method` over the case in `bands` bands along the first axis.
Result run(const Case &c, const Footprint &f, Method method, Index bands) {
    Task t = task_of(c, f);
    Result r;
    const bool real = real_result(c.stat);
    r.out_item = real ? 8 : c.item;
    t.out.type = real          ? OutType::F64
                 : c.item == 1 ? OutType::U8
                 : c.item == 2 ? OutType::U16
                               : OutType::U32;
    r.out.assign(c.image.size() / static_cast<size_t>(c.item) * static_cast<size_t>(r.out_item),
                 '\x5a');
    t.out.data = r.out.data();
    t.out.strides[2] = r.out_item;
    t.out.strides[1] = r.out_item * c.shape[2];
    t.out.strides[0] = t.out.strides[1] * c.shape[1];
    const bool volume = c.shape[0] > 1 || c.fshape[0] > 1;
    const Index extent = volume ? c.shape[0] : c.shape[1];
    bands = std::min(bands, extent);
    const Control control;
    for (Index k = 0; k < bands; ++k) {
        const Index a = k * extent / bands, b = (k + 1) * extent / bands;
        const Band band = volume ? Band{a, b, 0, c.shape[1]} : Band{0, 1, a, b};
        method_fn(method)(t, band, control);
    }
    return r;
}

// Means: NaN where both are NaN (of either sign), the same value where the
// values are integers (one exact division), within rounding for doubles
// and for the variance and the entropy (which the methods sum otherwise).
bool same(const Result &a, const Result &b, bool real, bool doubles) {
    if (!real) return a.out == b.out;
    for (size_t i = 0; i < a.out.size(); i += 8) {
        double x, y;
        std::memcpy(&x, a.out.data() + i, 8);
        std::memcpy(&y, b.out.data() + i, 8);
        if (std::isnan(x) || std::isnan(y)) {
            if (std::isnan(x) != std::isnan(y)) return false;
        } else if (doubles ? std::fabs(x - y) > 1e-9 * std::max(1.0, std::fabs(y)) : x != y) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (const char *error = isa_error()) {
        std::fprintf(stderr, "%s\n", error);
        return 2;
    }
    const long cases = argc > 1 ? std::atol(argv[1]) : 3000;
    long runs = 0, failures = 0;
    const Method methods[] = {Method::Network, Method::Histogram, Method::Columns, Method::Runs,
                              Method::Sums};
    for (long k = 0; k < cases; ++k) {
        const Case c = random_case();
        const Footprint f = analyse(c.footprint.data(), c.fshape, c.centre);
        const Task probe = task_of(c, f);
        const Result want = run(c, f, Method::Sort, 1);
        for (Method m : methods) {
            if (!method_applies(m, probe)) continue;
            for (Index bands : {Index{1}, Index{3}}) {
                ++runs;
                const bool rounded = c.item == 8 || c.stat != Stat::Mean;
                if (same(run(c, f, m, bands), want, real_result(c.stat), rounded)) continue;
                ++failures;
                if (failures <= 10)
                    std::fprintf(stderr, "%s differs from sort (%td bands): %s\n", method_name(m),
                                 bands, c.describe().c_str());
            }
        }
    }
    std::printf("%s: %ld cases, %ld method runs, %ld differ\n", isa_name(active_isa()), cases, runs,
                failures);
    return failures == 0 ? 0 : 1;
}
