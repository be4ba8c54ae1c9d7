// The sums method: the mean of any footprint from exact integer running
// sums along image rows (runs_rows.hpp), one table per run length, so a
// pixel costs about one addition per footprint row and per distinct run
// length, whatever the footprint's area.
//
// Sums are exact in 32-bit lanes when the largest possible one (members
// times the largest value) stays below 2^31, else in 64-bit lanes; running
// sums wrap harmlessly, since every window's true sum fits. The mean is one
// division of two exact doubles, as the reference does; an empty window
// gives 0 / 0, NaN.
//
// Counts: without a mask they follow from the geometry (the footprint's
// size inside the image; per pixel only at the borders). With a mask the
// mask bytes are summed alongside, packed above the sums in the same lanes
// when both fit, else as a second set of lanes.
#include "engine.hpp"
#include "runs_rows.hpp"

#include <bit>
#include <limits>

namespace morvane::engine {
namespace {

namespace portable {
#define MV_TARGET
#include "runs_loops.hpp"
#undef MV_TARGET
} // namespace portable

#ifdef MORVANE_ROWS_AVX2
namespace avx2 {
#define MV_TARGET __attribute__((target("avx2")))
#define MV_VECTORS 1
#include "runs_loops.hpp"
#undef MV_VECTORS
#undef MV_TARGET
} // namespace avx2
#endif

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

template <class L, class In, class T, int Channels> struct SumRows {
    static constexpr int channels = Channels;
    const Task &t;
    Counting counting;
    int shift;  // of the packed counts
    std::vector<In> in_copy;
    rows::OutRow<double> out;
    GeometryCounts geometry;

    SumRows(const Task &task, Counting c, int count_shift)
        : t(task), counting(c), shift(count_shift), out(task.out, task.image.shape[2]),
          geometry(task) {}

    T identity() const { return 0; }

    void build(Index z, Index y, T *const *table) {
        const Index X = t.image.shape[2];
        const In *in = rows::typed_row<In>(t.image.at(z, y, 0, t.item), X, in_copy);
        const auto *mask = reinterpret_cast<const uint8_t *>(t.has_mask() ? t.mask.at(z, y, 0, 1)
                                                                          : nullptr);
        switch (counting) {
        case Counting::Geometry: L::widen(table[0], in, X); break;
        case Counting::Packed: L::widen_packed(table[0], in, mask, shift, X); break;
        case Counting::Lanes:
            L::widen_weighted(table[0], in, mask, X);
            L::widen_mask(table[1], mask, X);
            break;
        }
    }
    void running(T *const *o, const Index *lens, int count, const T *t0, Index n) {
        L::running(o, lens, count, t0, n);
    }
    void step(T *o, const T *a, const T *b, Index n) { L::step(o, a, b, n); }
    void merge(T *acc, const T *const *s, int count, Index n) { L::merge(acc, s, count, n); }
    void gather(T *o, const T *const *s, int count, Index n) { L::gather(o, s, count, n); }
    void fill(T *acc, T v, Index n) { L::fill(acc, v, n); }

    T *lanes_for(Index, Index, T *scratch) { return scratch; }

    void done(Index z, Index y, T *const *lanes) {
        const Index X = t.image.shape[2];
        double *o = out.begin(z, y);
        switch (counting) {
        case Counting::Packed: L::divide_packed(o, lanes[0], shift, X); break;
        case Counting::Lanes: L::divide_each(o, lanes[0], lanes[1], X); break;
        case Counting::Geometry: {
            const Index *border = nullptr;
            const Index n = geometry.row(z, y, &border);
            const Index a = geometry.x_lo(), b = std::max(geometry.x_hi(), a);
            if (b > a) L::divide(o + a, lanes[0] + a, static_cast<double>(n), b - a);
            for (Index x = 0; x < a; ++x) o[x] = quotient(lanes[0][x], border[x]);
            for (Index x = b; x < X; ++x) o[x] = quotient(lanes[0][x], border[x]);
            break;
        }
        }
        out.store(z, y);
    }

    static double quotient(T sum, Index n) {
        return static_cast<double>(static_cast<std::make_signed_t<T>>(sum)) /
               static_cast<double>(n);
    }
};

template <template <class, class> class L, class In, class T, int Channels>
void sums(const Task &t, const Band &b, const Control &c, Counting counting, int shift) {
    const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Exact);
    SumRows<L<rows::Add, T>, In, T, Channels> m(t, counting, shift);
    rows::run_rows<T>(t, b, c, p, m);
}

// How a task's sums and counts are laid out in lanes.
struct Layout {
    bool wide;          // 64-bit lanes
    Counting counting;
    int shift;
};

Layout layout(const Task &t) {
    const uint64_t top = t.item == 1 ? 255 : 65535;
    const uint64_t members = static_cast<uint64_t>(t.fp->size());
    const int sum_bits = std::bit_width(members * top);
    const int count_bits = std::bit_width(members);
    const bool wide = sum_bits > 31;
    if (!t.has_mask()) return {wide, Counting::Geometry, 0};
    // The packed lane must stay below 2^31 (2^63) to convert as signed.
    if (sum_bits + count_bits <= (wide ? 63 : 31)) return {wide, Counting::Packed, sum_bits};
    return {wide, Counting::Lanes, 0};
}

template <template <class, class> class L, class In>
void run_in(const Task &t, const Band &b, const Control &c) {
    const Layout l = layout(t);
    if (l.wide) {
        if (l.counting == Counting::Lanes)
            sums<L, In, uint64_t, 2>(t, b, c, l.counting, l.shift);
        else
            sums<L, In, uint64_t, 1>(t, b, c, l.counting, l.shift);
    } else {
        if (l.counting == Counting::Lanes)
            sums<L, In, uint32_t, 2>(t, b, c, l.counting, l.shift);
        else
            sums<L, In, uint32_t, 1>(t, b, c, l.counting, l.shift);
    }
}

template <template <class, class> class L>
void run_on(const Task &t, const Band &b, const Control &c) {
    if (t.item == 1)
        run_in<L, uint8_t>(t, b, c);
    else
        run_in<L, uint16_t>(t, b, c);
}

} // namespace

bool sums_applies(const Task &t) {
    return t.item <= 2 && t.offset == 0 && t.stat == Stat::Mean && t.fp->size() > 0;
}

double sums_cost(const Task &t) {
    const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Exact);
    const Layout l = layout(t);
    // Plus converting and dividing; with a mask, counts that vary.
    return 0.29 + (t.has_mask() ? 0.27 : 0.0) +
           rows::plan_cost(p, l.wide ? 8 : 4, l.counting == Counting::Lanes ? 2 : 1);
}

void run_sums(const Task &t, const Band &b, const Control &c) {
#ifdef MORVANE_ROWS_AVX2
    if (rows::have_avx2()) return run_on<avx2::Loops>(t, b, c);
#endif
    run_on<portable::Loops>(t, b, c);
}

} // namespace morvane::engine
