// The plain method: gather each window's counted values and select from
// them. Its cost is the footprint's size per pixel, so it suits small
// footprints, and any footprint where the faster methods do not apply; it
// is also how the other methods fill the pixels they leave to it.
#include "sort.hpp"
#include "engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace morvane::engine {
namespace {

template <class In> struct Gather {
    const Task &t;
    std::vector<Index> image_bytes, mask_bytes;
    std::vector<In> values;

    explicit Gather(const Task &task) : t(task) {
        const Footprint &f = *t.fp;
        values.resize(f.members.size());
        for (const Offset &o : f.members) {
            image_bytes.push_back(o.dz * t.image.strides[0] + o.dy * t.image.strides[1] +
                                  o.dx * t.item);
            mask_bytes.push_back(o.dz * t.mask.strides[0] + o.dy * t.mask.strides[1] + o.dx);
        }
    }

    // The counted values of pixel (z, y, x)'s window into `values`; returns
    // their number. `whole`: the window lies inside the image.
    Index collect(Index z, Index y, Index x, bool whole) {
        const Footprint &f = *t.fp;
        const Index m = f.size();
        Index n = 0;
        if (whole) {
            const char *base = t.image.at(z, y, x, t.item);
            if (!t.has_mask()) {
                for (Index k = 0; k < m; ++k) values[k] = load<In>(base + image_bytes[k]);
                return m;
            }
            const char *mbase = t.mask.at(z, y, x, 1);
            for (Index k = 0; k < m; ++k) {
                if (mbase[mask_bytes[k]] == 0) continue;
                values[n++] = load<In>(base + image_bytes[k]);
            }
            return n;
        }
        for (Index k = 0; k < m; ++k) {
            const Offset &o = f.members[k];
            const Index zz = z + o.dz, yy = y + o.dy, xx = x + o.dx;
            if (!inside(t.image, zz, yy, xx)) continue;
            if (t.has_mask() && *t.mask.at(zz, yy, xx, 1) == 0) continue;
            values[n++] = load<In>(t.image.at(zz, yy, xx, t.item));
        }
        return n;
    }

    void pixel(Index z, Index y, Index x, bool whole) {
        const Index n = collect(z, y, x, whole);
        const Output &out = t.out;
        if (t.stat == Stat::Mean) {
            if (n == 0) {
                out.put_value(z, y, x, std::numeric_limits<double>::quiet_NaN());
                return;
            }
            if constexpr (std::is_floating_point_v<In>) {
                double total = 0;
                for (Index k = 0; k < n; ++k) total += values[k];
                out.put_value(z, y, x, total / static_cast<double>(n));
            } else {
                int64_t total = 0;
                for (Index k = 0; k < n; ++k) total += static_cast<int64_t>(values[k]);
                total -= t.offset * n;
                out.put_value(z, y, x, static_cast<double>(total) / static_cast<double>(n));
            }
            return;
        }
        if (real_result(t.stat)) {
            out.put_value(z, y, x,
                          n == 0                     ? std::numeric_limits<double>::quiet_NaN()
                          : t.stat == Stat::Variance ? variance(n)
                                                     : entropy(n));
            return;
        }
        if (n == 0) {
            out.put_value(z, y, x, 0);
            return;
        }
        In v;
        switch (t.stat) {
        case Stat::Mode: v = mode(n); break;
        case Stat::Otsu: v = otsu(n); break;
        case Stat::Min: v = *std::min_element(values.begin(), values.begin() + n); break;
        case Stat::Max: v = *std::max_element(values.begin(), values.begin() + n); break;
        default: {
            auto nth = values.begin() + t.rank_of[n];
            std::nth_element(values.begin(), nth, values.begin() + n);
            v = *nth;
        }
        }
        out.put_value(z, y, x, v);
    }

    // The statistics of the whole window, from its values sorted: runs of
    // equal values are the histogram's occupied bins, in order.
    double variance(Index n) const {
        double mean = 0;
        for (Index k = 0; k < n; ++k) mean += static_cast<double>(values[k]);
        mean /= static_cast<double>(n);
        double squares = 0;
        for (Index k = 0; k < n; ++k) {
            const double d = static_cast<double>(values[k]) - mean;
            squares += d * d;
        }
        const double divisor = static_cast<double>(n) - t.ddof;
        return divisor > 0 ? squares / divisor : std::numeric_limits<double>::quiet_NaN();
    }
    double entropy(Index n) {
        std::sort(values.begin(), values.begin() + n);
        double h = 0;
        for (Index k = 0; k < n;) {
            Index e = k;
            while (e < n && values[e] == values[k]) ++e;
            const double p = static_cast<double>(e - k) / static_cast<double>(n);
            h -= p * std::log2(p);
            k = e;
        }
        return h;
    }
    In mode(Index n) {
        std::sort(values.begin(), values.begin() + n);
        In best = values[0];
        Index most = 0;
        for (Index k = 0; k < n;) {
            Index e = k;
            while (e < n && values[e] == values[k]) ++e;
            if (e - k > most) {
                most = e - k;
                best = values[k];
            }
            k = e;
        }
        return best;
    }
    // Values are bins of t.bin_values.
    In otsu(Index n) {
        std::sort(values.begin(), values.begin() + n);
        auto value = [&](Index k) { return t.bin_values[static_cast<size_t>(values[k])]; };
        // Sums by bin, in the bins' order, as the histogram adds them.
        double total = 0;
        for (Index k = 0; k < n;) {
            Index e = k;
            while (e < n && values[e] == values[k]) ++e;
            total += static_cast<double>(e - k) * value(k);
            k = e;
        }
        if (total != total) return values[n - 1];
        const double nd = static_cast<double>(n);
        double best = -1, m0 = 0;
        In best_value = values[0];
        for (Index k = 0; k < n;) {
            Index e = k;
            while (e < n && values[e] == values[k]) ++e;
            m0 += static_cast<double>(e - k) * value(k);
            if (e == n) break;
            const double w0 = static_cast<double>(e);
            const double d = total * w0 - nd * m0;
            const double f = d * d / (w0 * (nd - w0));
            if (f > best) {
                best = f;
                best_value = values[k];
            }
            k = e;
        }
        return best_value;
    }
};

template <class G>
void sort_row(G &g, Index z, Index y, Index from, Index to, bool row_inside, Index x_lo,
              Index x_hi) {
    for (Index x = from; x < to; ++x) g.pixel(z, y, x, row_inside && x >= x_lo && x < x_hi);
}

template <class In> void run(const Task &t, const Band &b, const Control &c) {
    Gather<In> g(t);
    Index x_lo, x_hi;
    interior_columns(t, &x_lo, &x_hi);
    for (Index z = b.z0; z < b.z1; ++z) {
        for (Index y = b.y0; y < b.y1; ++y) {
            if (c.cancelled()) return;
            sort_row(g, z, y, 0, t.image.shape[2], interior_row(t, z, y), x_lo, x_hi);
        }
    }
}

} // namespace

// Calls f(tag) with a value of the task's input type.
template <class F> void by_item(const Task &t, F &&f) {
    switch (t.item) {
    case 1: f(uint8_t{}); break;
    case 2: f(uint16_t{}); break;
    case 4: f(uint32_t{}); break;
    default: f(double{}); break;
    }
}

void run_sort(const Task &t, const Band &b, const Control &c) {
    by_item(t, [&](auto tag) { run<decltype(tag)>(t, b, c); });
}

struct SortFill::Impl {
    Gather<uint8_t> g8;
    Gather<uint16_t> g16;
    Gather<uint32_t> g32;
    Index x_lo, x_hi;
    explicit Impl(const Task &t) : g8(t), g16(t), g32(t) { interior_columns(t, &x_lo, &x_hi); }
};

SortFill::SortFill(const Task &t) : t_(t), impl_(new Impl(t)) {}
SortFill::~SortFill() = default;

void SortFill::fill(Index z, Index y, Index from, Index to) {
    const bool row_inside = interior_row(t_, z, y);
    if (t_.item == 1)
        sort_row(impl_->g8, z, y, from, to, row_inside, impl_->x_lo, impl_->x_hi);
    else if (t_.item == 2)
        sort_row(impl_->g16, z, y, from, to, row_inside, impl_->x_lo, impl_->x_hi);
    else
        sort_row(impl_->g32, z, y, from, to, row_inside, impl_->x_lo, impl_->x_hi);
}

// Costs of all methods are nanoseconds per pixel on one core of the
// machine the engine was tuned on (a 2-core AMD EPYC with AVX2): only their
// ratios matter.
double sort_cost(const Task &t) {
    const double m = static_cast<double>(t.fp->size());
    // Gathering, plus selection (std::nth_element, slow for few values).
    const bool sorts = t.stat == Stat::Rank || t.stat == Stat::Mode || t.stat == Stat::Entropy ||
                       t.stat == Stat::Otsu;
    return sorts ? 11.0 * m + 10 : 0.9 * m + 10;
}

} // namespace morvane::engine
