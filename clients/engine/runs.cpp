// The runs method: minimum and maximum of any footprint, as combinations of
// running minima (maxima) along image rows, one per run length
// (runs_rows.hpp). A pixel costs about one vector operation per footprint
// row and per distinct run length, whatever the footprint's area.
//
// Uncounted pixels (outside the image, or masked out) take the identity:
// the largest value for the minimum, 0 for the maximum. A window with no
// counted pixel must give 0; for the maximum that is the identity already.
// For the minimum it can only happen with a mask or a footprint without
// its centre, and then lanes are one size wider, uncounted pixels hold a
// marker above every value, and a marker left in the result means 0.
#include "engine.hpp"
#include "runs_rows.hpp"
#include "sort.hpp"

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

template <class L, class In, class T> struct ExtremeRows {
    static constexpr int channels = 1;
    const Task &t;
    T id, top;
    bool marked;
    std::vector<In> in_copy;
    rows::OutRow<In> out;

    ExtremeRows(const Task &task, T identity_value, bool with_marker)
        : t(task), id(identity_value), top(std::numeric_limits<In>::max()), marked(with_marker),
          out(task.out, task.image.shape[2]) {}

    T identity() const { return id; }

    void build(Index z, Index y, T *const *table) {
        const Index X = t.image.shape[2];
        const In *in = rows::typed_row<In>(t.image.at(z, y, 0, t.item), X, in_copy);
        if (t.has_mask())
            L::widen_masked(table[0], in, reinterpret_cast<const uint8_t *>(t.mask.at(z, y, 0, 1)),
                            id, X);
        else
            L::widen(table[0], in, X);
    }
    void running(T *const *o, const Index *lens, int count, const T *t0, Index n) {
        L::running(o, lens, count, t0, n);
    }
    void step(T *o, const T *a, const T *b, Index n) { L::step(o, a, b, n); }
    void merge(T *acc, const T *const *s, int count, Index n) { L::merge(acc, s, count, n); }
    void gather(T *o, const T *const *s, int count, Index n) { L::gather(o, s, count, n); }
    void fill(T *acc, T v, Index n) { L::fill(acc, v, n); }

    T *lanes_for(Index z, Index y, T *scratch) {
        if constexpr (std::is_same_v<In, T>)
            if (!marked) return out.begin(z, y);
        return scratch;
    }
    void done(Index z, Index y, T *const *lanes) {
        In *o = out.begin(z, y);
        if (marked)
            L::narrow_marked(o, lanes[0], top, t.image.shape[2]);
        else if (static_cast<const void *>(o) != static_cast<const void *>(lanes[0]))
            L::narrow(o, lanes[0], t.image.shape[2]);
        out.store(z, y);
    }
};

template <template <class, class> class L, class Op, class In, class T>
void extreme(const Task &t, const Band &b, const Control &c, bool marked) {
    const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Overlap);
    const T top = std::numeric_limits<In>::max();
    const T id = std::is_same_v<Op, rows::Max> ? T(0) : marked ? T(top + 1) : top;
    ExtremeRows<L<Op, T>, In, T> m(t, id, marked);
    rows::run_rows<T>(t, b, c, p, m);
}

constexpr Index kDirectMembers = rows::kMembersDirect;

// Footprints of a few members without a mask: the members of interior
// columns straight from the image rows in one pass per output row (no
// padded copy of the rows), the few border columns gathered. Returns false
// (and does nothing) when the layout does not suit it.
template <class L, class In>
bool direct(const Task &t, const Band &b, const Control &c) {
    const Footprint &f = *t.fp;
    const Index X = t.image.shape[2];
    Index x_lo, x_hi;
    interior_columns(t, &x_lo, &x_hi);
    x_lo = std::clamp<Index>(x_lo, 0, X);
    x_hi = std::clamp<Index>(x_hi, x_lo, X);
    const Index a = alignof(In);
    if (x_hi - x_lo < 64 || t.out.strides[2] != t.item ||
        reinterpret_cast<uintptr_t>(t.image.data) % a != 0 || t.image.strides[0] % a != 0 ||
        t.image.strides[1] % a != 0)
        return false;
    SortFill border(t);
    const In *srcs[kDirectMembers];
    for (Index z = b.z0; z < b.z1; ++z) {
        for (Index y = b.y0; y < b.y1; ++y) {
            if (c.cancelled()) return true;
            int n = 0;
            for (const Offset &o : f.members)
                if (inside(t.image, z + o.dz, y + o.dy, 0))
                    srcs[n++] = reinterpret_cast<const In *>(
                        t.image.at(z + o.dz, y + o.dy, x_lo + o.dx, t.item));
            char *row = t.out.data + z * t.out.strides[0] + y * t.out.strides[1];
            In *o = reinterpret_cast<In *>(row + x_lo * t.item);
            if (n == 0 || reinterpret_cast<uintptr_t>(o) % alignof(In) != 0) {
                border.fill(z, y, x_lo, x_hi);
            } else {
                // Stores split across cache lines cost more than a short
                // first pass up to a 32-byte boundary.
                const Index head = static_cast<Index>(
                    (32 - reinterpret_cast<uintptr_t>(o) % 32) % 32 / sizeof(In));
                const Index first = std::min(head, x_hi - x_lo);
                if (first > 0) L::gather(o, srcs, n, first);
                for (int k = 0; k < n; ++k) srcs[k] += first;
                L::gather(o + first, srcs, n, x_hi - x_lo - first);
            }
            border.fill(z, y, 0, x_lo);
            border.fill(z, y, x_hi, X);
        }
    }
    return true;
}

// Whether a minimum needs the empty-window marker.
bool marked(const Task &t) {
    return t.stat == Stat::Min && (t.has_mask() || !t.fp->centre_member);
}

template <template <class, class> class L>
void run_on(const Task &t, const Band &b, const Control &c) {
    const bool mark = marked(t);
    // Measured: for uint8 the padded copy costs less than it saves.
    if (t.item == 2 && !mark && !t.has_mask() && t.fp->size() <= kDirectMembers) {
        const bool done = t.stat == Stat::Max
                              ? direct<L<rows::Max, uint16_t>, uint16_t>(t, b, c)
                              : direct<L<rows::Min, uint16_t>, uint16_t>(t, b, c);
        if (done) return;
    }
    if (t.stat == Stat::Max) {
        if (t.item == 1)
            extreme<L, rows::Max, uint8_t, uint8_t>(t, b, c, false);
        else
            extreme<L, rows::Max, uint16_t, uint16_t>(t, b, c, false);
    } else if (t.item == 1) {
        if (mark)
            extreme<L, rows::Min, uint8_t, uint16_t>(t, b, c, true);
        else
            extreme<L, rows::Min, uint8_t, uint8_t>(t, b, c, false);
    } else {
        if (mark)
            extreme<L, rows::Min, uint16_t, uint32_t>(t, b, c, true);
        else
            extreme<L, rows::Min, uint16_t, uint16_t>(t, b, c, false);
    }
}

} // namespace

bool runs_applies(const Task &t) {
    return t.item <= 2 && (t.stat == Stat::Min || t.stat == Stat::Max) && t.fp->size() > 0;
}

double runs_cost(const Task &t) {
    const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Overlap);
    return 0.02 + rows::plan_cost(p, t.item * (marked(t) ? 2 : 1), 1);
}

void run_runs(const Task &t, const Band &b, const Control &c) {
#ifdef MORVANE_ROWS_AVX2
    if (rows::have_avx2()) return run_on<avx2::Loops>(t, b, c);
#endif
    run_on<portable::Loops>(t, b, c);
}

} // namespace morvane::engine
