// The sums method: the mean of any footprint from exact integer running
// sums along image rows (runs_rows.hpp), one table per run length, so a
// pixel costs about one addition per footprint row and per distinct run
// length, whatever the footprint's area.
//
// Integer values. The mean is (sum - offset * n) / n, one division of two
// exact doubles, as the reference does; an empty window gives 0 / 0, NaN.
// Sums run in 32-bit lanes when every possible numerator (members times
// the largest value, less the offset's share) lies within +-2^31, else in
// 64-bit lanes; sums wrap harmlessly, since the numerator taken modulo the
// lanes' range and read as signed is exact.
//
// Counts: without a mask they follow from the geometry (the footprint's
// size inside the image; per pixel only at the borders). With a mask the
// mask bytes are summed alongside, packed above the sums in the same lanes
// when both fit, else as a second set of lanes.
//
// Doubles. Compensated sums (runs_loops.hpp: each table and accumulator a
// plain sum and the exact rounding errors of its additions) keep a
// window's sum to well within an ulp however long the rows or mixed the
// magnitudes; the tables hold sums of the window's own values only, so a
// huge value elsewhere in the row costs nothing, and non-finite values
// give NumPy's result (see Compensated::means). Counts come from the
// geometry, or with a mask are summed alongside.
#include "engine.hpp"
#include "runs_rows.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace morvane::engine {
namespace {

#include "runs_targets.hpp"

using rows::Plan;

enum class Counting { Geometry, Packed, Lanes };

// Counts of windows without a mask: the members inside the image.
class GeometryCounts {
public:
    explicit GeometryCounts(const Task &t) : t_(t) {
        interior_columns(t, &x_lo_, &x_hi_);
        // Footprints entirely to one side of the centre give bounds past
        // the row's ends.
        const Index X = t.image.shape[2];
        x_lo_ = std::clamp<Index>(x_lo_, 0, X);
        x_hi_ = std::clamp<Index>(x_hi_, x_lo_, X);
    }

    Index x_lo() const { return x_lo_; }
    Index x_hi() const { return x_hi_; }

    // Row (z, y): the count of the interior columns; *border: per-pixel
    // counts of the others (indexed by x). Rows whose windows lie inside
    // the image along the first axes share theirs.
    Index row(Index z, Index y, const Index **border_out) {
        const bool whole = interior_row(t_, z, y);
        if (whole && have_whole_) {
            *border_out = whole_border_.data();
            return t_.fp->size();
        }
        std::vector<Index> &border = whole ? whole_border_ : border_;
        inside_.clear();
        Index n = 0;
        for (const Run &r : t_.fp->runs) {
            if (!inside(t_.image, z + r.dz, y + r.dy, 0)) continue;
            inside_.push_back(r);
            n += r.length();
        }
        const Index X = t_.image.shape[2];
        border.assign(static_cast<size_t>(X), 0);
        auto count_at = [&](Index x) {
            Index c = 0;
            for (const Run &r : inside_) {
                const Index a = std::max<Index>(0, x + r.x0), b = std::min<Index>(X - 1, x + r.x1);
                if (b >= a) c += b - a + 1;
            }
            return c;
        };
        for (Index x = 0; x < x_lo_; ++x) border[x] = count_at(x);
        for (Index x = std::max(x_hi_, x_lo_); x < X; ++x) border[x] = count_at(x);
        have_whole_ = have_whole_ || whole;
        *border_out = border.data();
        return n;
    }

private:
    const Task &t_;
    Index x_lo_ = 0, x_hi_ = 0;
    std::vector<Run> inside_;
    std::vector<Index> whole_border_, border_;
    bool have_whole_ = false;
};

template <class L, class In, class T, int Channels> struct SumRows : rows::Loops<L, T> {
    static constexpr int channels = Channels;
    static constexpr int parts = 1;
    const Task &t;
    Counting counting;
    int shift;   // of the packed counts
    T offset;    // modulo the lanes' range
    bool biased; // numerators convert by the exponent trick
    std::vector<In> in_copy;
    rows::OutRow<double> out;
    GeometryCounts geometry;

    SumRows(const Task &task, Counting c, int count_shift, bool biased_conversion)
        : t(task), counting(c), shift(count_shift), offset(static_cast<T>(task.offset)),
          biased(biased_conversion), out(task.out, task.image.shape[2]), geometry(task) {}

    T identity() const { return 0; }

    void build(Index z, Index y, T *const *table) {
        const Index X = t.image.shape[2];
        const In *in = rows::typed_row<In>(t.image.at(z, y, 0, t.item), X, in_copy);
        const auto *mask =
            reinterpret_cast<const uint8_t *>(t.has_mask() ? t.mask.at(z, y, 0, 1) : nullptr);
        switch (counting) {
        case Counting::Geometry: L::widen(table[0], in, X); break;
        case Counting::Packed: L::widen_packed(table[0], in, mask, shift, X); break;
        case Counting::Lanes:
            L::widen_weighted(table[0], in, mask, X);
            L::widen_mask(table[1], mask, X);
            break;
        }
    }

    T *lanes_for(Index, Index, T *scratch) { return scratch; }

    void done(Index z, Index y, T *const *lanes) {
        const Index X = t.image.shape[2];
        double *o = out.begin(z, y);
        switch (counting) {
        case Counting::Packed: L::divide_packed(o, lanes[0], shift, offset, biased, X); break;
        case Counting::Lanes: L::divide_each(o, lanes[0], lanes[1], offset, biased, X); break;
        case Counting::Geometry: {
            const Index *border = nullptr;
            const Index n = geometry.row(z, y, &border);
            const Index a = geometry.x_lo(), b = std::max(geometry.x_hi(), a);
            if (b > a)
                L::divide(o + a, lanes[0] + a, static_cast<T>(offset * static_cast<T>(n)),
                          static_cast<double>(n), biased, b - a);
            for (Index x = 0; x < a; ++x) o[x] = quotient(lanes[0][x], border[x]);
            for (Index x = b; x < X; ++x) o[x] = quotient(lanes[0][x], border[x]);
            break;
        }
        }
        out.store(z, y);
    }

    double quotient(T sum, Index n) const {
        const T d = static_cast<T>(sum - offset * static_cast<T>(n));
        return L::to_double(d, biased) / static_cast<double>(n);
    }
};

// How a task's sums and counts are laid out in lanes.
struct Layout {
    bool wide;   // 64-bit lanes
    bool biased; // of 64-bit lanes: numerators below 2^51
    Counting counting;
    int shift;
};

Layout layout(const Task &t) {
    const uint64_t top = t.top();
    const uint64_t members = static_cast<uint64_t>(t.fp->size());
    const int sum_bits = std::bit_width(members * top);
    const int count_bits = std::bit_width(members);
    // Numerators lie within +-range; doubles hold it to far better than the
    // margin.
    const double off = static_cast<double>(t.offset);
    const double range = std::max(std::fabs(off), std::fabs(static_cast<double>(top) - off)) *
                         static_cast<double>(members) * (1 + 1e-9);
    const bool wide = sum_bits > 32 || range >= 0x1p31;
    const bool biased = wide && range < 0x1p51;
    if (!t.has_mask()) return {wide, biased, Counting::Geometry, 0};
    // Packed lanes hold the sum below the count, both unsigned.
    if (sum_bits + count_bits <= (wide ? 64 : 32))
        return {wide, biased, Counting::Packed, sum_bits};
    return {wide, biased, Counting::Lanes, 0};
}

template <template <class, class> class L, class In, class T, int Channels>
void sums(const Task &t, const Band &b, const Control &c, const Layout &l) {
    const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Exact);
    SumRows<L<rows::Add, T>, In, T, Channels> m(t, l.counting, l.shift, l.biased);
    rows::run_rows<T>(t, b, c, p, m);
}

template <template <class, class> class L, class In>
void run_in(const Task &t, const Band &b, const Control &c) {
    const Layout l = layout(t);
    const bool lanes = l.counting == Counting::Lanes;
    if (l.wide) {
        if (lanes)
            sums<L, In, uint64_t, 2>(t, b, c, l);
        else
            sums<L, In, uint64_t, 1>(t, b, c, l);
    } else {
        if (lanes)
            sums<L, In, uint32_t, 2>(t, b, c, l);
        else
            sums<L, In, uint32_t, 1>(t, b, c, l);
    }
}

// What the rows of doubles over compensated lanes CL share: the driver's
// loops (the lanes' parts lie `stride` apart), the task, its input rows,
// output rows and counts.
template <class CL> struct CompensatedRows {
    const Task &t;
    Index stride;
    std::vector<double> in_copy;
    rows::OutRow<double> out;
    GeometryCounts geometry;

    CompensatedRows(const Task &task, const Plan &p)
        : t(task), stride(p.table_lanes<double>()), out(task.out, task.image.shape[2]),
          geometry(task) {}

    double identity() const { return 0.0; }
    const double *input(Index z, Index y) {
        return rows::typed_row<double>(t.image.at(z, y, 0, t.item), t.image.shape[2], in_copy);
    }

    // Plans for these lanes have no fused lengths.
    void running(double *const *, const Index *, int, const double *, Index) {}
    void step(double *o, const double *a, const double *b, Index n) {
        CL::step(o, a, b, n, stride);
    }
    void merge(double *acc, const double *const *s, int count, Index n) {
        CL::merge(acc, s, count, n, stride);
    }
    void gather(double *o, const double *const *s, int count, Index n) {
        CL::gather(o, s, count, n, stride);
    }
    void fill(double *acc, double v, Index n) { CL::fill(acc, v, n, stride); }

    double *lanes_for(Index, Index, double *scratch) { return scratch; }
};

// Doubles, over compensated lanes (CL: Compensated<Parts>).
template <class CL, int Parts> struct FloatRows : CompensatedRows<CL> {
    static constexpr int channels = 1;
    static constexpr int parts = Parts;
    using CompensatedRows<CL>::CompensatedRows;
    using CompensatedRows<CL>::t, CompensatedRows<CL>::stride, CompensatedRows<CL>::out,
        CompensatedRows<CL>::geometry;

    void build(Index z, Index y, double *const *table) {
        const Index X = t.image.shape[2];
        const double *in = this->input(z, y);
        if constexpr (Parts == 3) {
            const auto *mask = reinterpret_cast<const uint8_t *>(t.mask.at(z, y, 0, 1));
            CL::counted_values(table[0], table[0] + 2 * stride, in, mask, X);
        } else {
            CL::values(table[0], in, X);
        }
    }

    void done(Index z, Index y, double *const *lanes) {
        const Index X = t.image.shape[2];
        double *o = out.begin(z, y);
        const double *h = lanes[0], *c = lanes[0] + stride;
        if constexpr (Parts == 3) {
            CL::counted_means(o, h, c, h + 2 * stride, X);
        } else {
            const Index *border = nullptr;
            const Index n = geometry.row(z, y, &border);
            const Index a = geometry.x_lo(), b = std::max(geometry.x_hi(), a);
            if (b > a) CL::means(o + a, h + a, c + a, static_cast<double>(n), b - a);
            for (Index x = 0; x < a; ++x) CL::means(o + x, h + x, c + x, double(border[x]), 1);
            for (Index x = b; x < X; ++x) CL::means(o + x, h + x, c + x, double(border[x]), 1);
        }
        out.store(z, y);
    }
};

// The variance --------------------------------------------------------------
//
// Integer values of up to 16 bits: exact sums of the values and of their
// squares in 64-bit lanes (with a mask, the counts packed above the sums of
// values), and the variance (n S2 - S1^2) / (n (n - ddof)) from an exact
// numerator. Keys of signed types serve as they are: the variance does not
// see an offset. Doubles: compensated sums of the values and of their
// squares (each square's rounding error kept with it), so S2 - S1^2 / n
// loses only what the spread of the window's values, small beside their
// magnitude, must lose.

// n * s2 - s1 * s1 (never negative), exactly, as a double.
inline double spread(uint64_t n, uint64_t s2, uint64_t s1, bool narrow) {
    if (narrow) return static_cast<double>(n * s2 - s1 * s1);
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 a = static_cast<unsigned __int128>(n) * s2;
    const unsigned __int128 b = static_cast<unsigned __int128>(s1) * s1;
    return static_cast<double>(a - b);
#else
    // 64 x 64 bits in 32-bit halves.
    auto wide = [](uint64_t x, uint64_t y, uint64_t *hi) {
        const uint64_t xl = x & 0xffffffffu, xh = x >> 32, yl = y & 0xffffffffu, yh = y >> 32;
        const uint64_t ll = xl * yl, lh = xl * yh, hl = xh * yl, hh = xh * yh;
        const uint64_t mid = (ll >> 32) + (lh & 0xffffffffu) + (hl & 0xffffffffu);
        *hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
        return (mid << 32) | (ll & 0xffffffffu);
    };
    uint64_t ah, bh;
    const uint64_t al = wide(n, s2, &ah), bl = wide(s1, s1, &bh);
    const uint64_t lo = al - bl, hi = ah - bh - (al < bl);
    return static_cast<double>(hi) * 0x1p64 + static_cast<double>(lo);
#endif
}

inline double variance_of(double spread_nn, double n, double ddof) {
    const double d = n - ddof;
    return d > 0 ? spread_nn / (n * d) : std::numeric_limits<double>::quiet_NaN();
}

// Bits below the packed counts of a masked variance.
inline int moment_shift(const Task &t) {
    return std::bit_width(static_cast<uint64_t>(t.fp->size()) * t.top());
}

// Whether a variance's sums (and packed counts) fit 32-bit lanes, which
// halve what every pass moves.
inline bool moments_fit_32(const Task &t) {
    const uint64_t top = t.top(), members = static_cast<uint64_t>(t.fp->size());
    if (std::bit_width(members * top * top) > 32) return false;
    return !t.has_mask() || moment_shift(t) + std::bit_width(members) <= 32;
}

template <class L, class In, class T> struct MomentRows : rows::Loops<L, T> {
    static constexpr int channels = 2;
    static constexpr int parts = 1;
    const Task &t;
    bool masked, narrow;
    int shift; // of the packed counts
    std::vector<In> in_copy;
    rows::OutRow<double> out;
    GeometryCounts geometry;

    explicit MomentRows(const Task &task)
        : t(task), masked(task.has_mask()), out(task.out, task.image.shape[2]), geometry(task) {
        const uint64_t top = task.top(), members = static_cast<uint64_t>(task.fp->size());
        shift = moment_shift(task);
        // n S2 and S1^2 both below 2^63: 64-bit arithmetic is exact.
        narrow = std::bit_width(members) * 2 + std::bit_width(top) * 2 <= 63;
    }

    T identity() const { return 0; }

    void build(Index z, Index y, T *const *table) {
        const Index X = t.image.shape[2];
        const In *in = rows::typed_row<In>(t.image.at(z, y, 0, t.item), X, in_copy);
        T *__restrict sums = table[0], *__restrict squares = table[1];
        if (masked) {
            const auto *mask = reinterpret_cast<const uint8_t *>(t.mask.at(z, y, 0, 1));
            for (Index x = 0; x < X; ++x) {
                const T v = in[x], m = mask[x];
                sums[x] = v * m + (m << shift);
                squares[x] = v * v * m;
            }
        } else {
            for (Index x = 0; x < X; ++x) {
                const T v = in[x];
                sums[x] = v;
                squares[x] = v * v;
            }
        }
    }

    T *lanes_for(Index, Index, T *scratch) { return scratch; }

    void done(Index z, Index y, T *const *lanes) {
        const Index X = t.image.shape[2];
        double *o = out.begin(z, y);
        const T *s1 = lanes[0], *s2 = lanes[1];
        if (masked) {
            const T low = (T{1} << shift) - 1;
            for (Index x = 0; x < X; ++x) {
                const T n = s1[x] >> shift;
                o[x] = variance_of(spread(n, s2[x], s1[x] & low, narrow), double(n), t.ddof);
            }

        } else {
            const Index *border = nullptr;
            const Index n = geometry.row(z, y, &border);
            const Index a = geometry.x_lo(), b = std::max(geometry.x_hi(), a);
            const double nd = static_cast<double>(n);
            for (Index x = a; x < b; ++x)
                o[x] = variance_of(spread(T(n), s2[x], s1[x], narrow), nd, t.ddof);
            auto edge = [&](Index x) {
                const T m = static_cast<T>(border[x]);
                o[x] = variance_of(spread(m, s2[x], s1[x], narrow), double(m), t.ddof);
            };
            for (Index x = 0; x < a; ++x) edge(x);
            for (Index x = b; x < X; ++x) edge(x);
        }
        out.store(z, y);
    }
};

// Doubles, over compensated lanes; parts 3 carry counts (a mask).
template <class CL, int Parts> struct FloatMomentRows : CompensatedRows<CL> {
    static constexpr int channels = 2;
    static constexpr int parts = Parts;
    using CompensatedRows<CL>::CompensatedRows;
    using CompensatedRows<CL>::t, CompensatedRows<CL>::stride, CompensatedRows<CL>::out,
        CompensatedRows<CL>::geometry;
    std::vector<double> squares, errors;

    void build(Index z, Index y, double *const *table) {
        const Index X = t.image.shape[2];
        const double *in = this->input(z, y);
        squares.resize(static_cast<size_t>(X));
        errors.resize(static_cast<size_t>(X));
        for (Index x = 0; x < X; ++x) {
            const double q = in[x] * in[x];
            squares[x] = q;
            errors[x] = std::isfinite(q) ? std::fma(in[x], in[x], -q) : 0.0;
        }
        if constexpr (Parts == 3) {
            const auto *mask = reinterpret_cast<const uint8_t *>(t.mask.at(z, y, 0, 1));
            CL::counted_values(table[0], table[0] + 2 * stride, in, mask, X);
            CL::counted_values(table[1], table[1] + 2 * stride, squares.data(), mask, X);
            for (Index x = 0; x < X; ++x) table[1][stride + x] = mask[x] ? errors[x] : 0.0;
        } else {
            CL::values(table[0], in, X);
            CL::values(table[1], squares.data(), X);
            for (Index x = 0; x < X; ++x) table[1][stride + x] = errors[x];
        }
    }

    // n S2 - S1^2 from the sums' two parts (S = h + c): every product
    // split exactly into its rounded value and its error (by fma), and the
    // pieces added with their rounding errors kept (only c1^2, far below
    // them, is left out), so that a window's spread survives values far
    // larger than it. Sums that are not finite stand for themselves.
    static double spread(double n, double h1, double c1, double h2, double c2) {
        if (!std::isfinite(h1) || !std::isfinite(h2)) return n * h2 - h1 * h1;
        const double a = n * h2, b = h1 * h1, p = n * c2, q = 2 * h1 * c1;
        const double pieces[] = {a,
                                 -b,
                                 std::fma(n, h2, -a),
                                 -std::fma(h1, h1, -b),
                                 p,
                                 std::fma(n, c2, -p),
                                 -q,
                                 -std::fma(2 * h1, c1, -q)};
        double sum = 0, error = 0;
        for (const double x : pieces) {
            const double t = sum + x, z = t - sum;
            error += (sum - (t - z)) + (x - z);
            sum = t;
        }
        return sum + error;
    }

    void done(Index z, Index y, double *const *lanes) {
        const Index X = t.image.shape[2];
        double *o = out.begin(z, y);
        const double *h1 = lanes[0], *c1 = lanes[0] + stride;
        const double *h2 = lanes[1], *c2 = lanes[1] + stride;
        const Index *border = nullptr;
        Index n_all = 0;
        if constexpr (Parts != 3) n_all = geometry.row(z, y, &border);
        const Index a = Parts == 3 ? X : geometry.x_lo(), b = std::max(geometry.x_hi(), a);
        for (Index x = 0; x < X; ++x) {
            double n;
            if constexpr (Parts == 3)
                n = lanes[0][2 * stride + x];
            else
                n = static_cast<double>(x >= a && x < b ? n_all : border[x]);
            const double d = n - t.ddof;
            const double v = spread(n, h1[x], c1[x], h2[x], c2[x]) / (n * d);
            o[x] = d > 0 ? (v > 0 || v != v ? v : 0.0) : std::numeric_limits<double>::quiet_NaN();
        }
        out.store(z, y);
    }
};

template <template <class, class> class L, template <int> class CL>
void run_variance(const Task &t, const Band &b, const Control &c) {
    if (t.item == 8) {
        const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Exact, false);
        if (t.has_mask()) {
            FloatMomentRows<CL<3>, 3> m(t, p);
            rows::run_rows<double>(t, b, c, p, m);
        } else {
            FloatMomentRows<CL<2>, 2> m(t, p);
            rows::run_rows<double>(t, b, c, p, m);
        }
        return;
    }
    const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Exact);
    if (t.item == 1 && moments_fit_32(t)) {
        MomentRows<L<rows::Add, uint32_t>, uint8_t, uint32_t> m(t);
        rows::run_rows<uint32_t>(t, b, c, p, m);
    } else if (t.item == 1) {
        MomentRows<L<rows::Add, uint64_t>, uint8_t, uint64_t> m(t);
        rows::run_rows<uint64_t>(t, b, c, p, m);
    } else {
        MomentRows<L<rows::Add, uint64_t>, uint16_t, uint64_t> m(t);
        rows::run_rows<uint64_t>(t, b, c, p, m);
    }
}

template <template <class, class> class L, template <int> class CL>
void run_on(const Task &t, const Band &b, const Control &c) {
    if (t.stat == Stat::Variance) return run_variance<L, CL>(t, b, c);
    switch (t.item) {
    case 1: run_in<L, uint8_t>(t, b, c); break;
    case 2: run_in<L, uint16_t>(t, b, c); break;
    case 4: run_in<L, uint32_t>(t, b, c); break;
    default: {
        const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Exact, false);
        if (t.has_mask()) {
            FloatRows<CL<3>, 3> m(t, p);
            rows::run_rows<double>(t, b, c, p, m);
        } else {
            FloatRows<CL<2>, 2> m(t, p);
            rows::run_rows<double>(t, b, c, p, m);
        }
    }
    }
}

} // namespace

bool sums_applies(const Task &t) {
    if (t.fp->size() == 0) return false;
    if (t.stat == Stat::Variance) {
        // Packed counts and sums of values within 64 bits.
        const uint64_t members = static_cast<uint64_t>(t.fp->size());
        const bool fits =
            !t.has_mask() || std::bit_width(members * t.top()) + std::bit_width(members) <= 64;
        return t.item == 8 || ((t.item == 1 || t.item == 2) && fits);
    }
    return (t.item == 1 || t.item == 2 || t.item == 4 || t.item == 8) && t.stat == Stat::Mean;
}

double sums_cost(const Task &t) {
    if (t.stat == Stat::Variance) {
        // Two sets of lanes, as the mean's widest.
        const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Exact);
        const Index lanes = t.item == 1 && moments_fit_32(t) ? 4 : 8;
        return 1.0 + rows::plan_cost(p, lanes, 2) * (t.item == 8 ? 2.0 : 1.0);
    }
    if (t.item == 8) {
        // Fitted to disks, boxes, lines, rings and random footprints in 2D
        // (1024 and 256 columns) and balls in 3D (128 columns): compensated
        // additions dominate, a third more with weights; a step makes a
        // table, a source is added from a table the cache may not hold.
        const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Exact, false);
        const int parts = t.has_mask() ? 3 : 2;
        const bool pull = rows::pull_bytes(p, 8, 1, parts) <= rows::pull_limit(parts);
        const double combine = pull ? 0.38 * p.sources : 0.31 * p.sources + 0.21 * p.row_ops;
        return 2.1 + 0.5 * parts * (0.62 * p.steps + combine) +
               16.2 * p.sources / static_cast<double>(std::max<Index>(1, p.cols));
    }
    const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Exact);
    const Layout l = layout(t);
    // Plus converting and dividing; with a mask, counts that vary.
    return 0.29 + (t.has_mask() ? 0.27 : 0.0) +
           rows::plan_cost(p, l.wide ? 8 : 4, l.counting == Counting::Lanes ? 2 : 1);
}

void run_sums(const Task &t, const Band &b, const Control &c) {
#if MV_X86
    if (avx2_code()) return run_on<avx2::Loops, avx2::Compensated>(t, b, c);
#endif
    run_on<portable::Loops, portable::Compensated>(t, b, c);
}

} // namespace morvane::engine
