// The runs method: minimum and maximum of any footprint, as combinations of
// running minima (maxima) along image rows, one per run length
// (runs_rows.hpp). A pixel costs about one vector operation per footprint
// row and per distinct run length, whatever the footprint's area.
//
// Lanes are the narrowest type that holds every value: the input's, or for
// uint32 codes below `bins` a narrower one. Uncounted pixels (outside the
// image, or masked out) take the identity: the largest value for the
// minimum, 0 for the maximum. A window with no counted pixel must give 0;
// for the maximum that is the identity already. For the minimum it can
// only happen with a mask or a footprint without its centre, and then
// uncounted pixels hold a marker above every value in lanes one size wider,
// and a marker left in the result means 0. Any 32-bit value leaves no room
// for a marker: a second set of lanes then holds the minimum of
// "uncounted" flags (0 counted, all ones not), which stays set only for
// empty windows.
#include "engine.hpp"
#include "runs_rows.hpp"
#include "sort.hpp"

#include <limits>

namespace morvane::engine {
namespace {

#include "runs_targets.hpp"

using rows::Plan;

// Flags: the second set of lanes, of uncounted flags.
template <class L, class In, class T, bool Flags> struct ExtremeRows : rows::Loops<L, T> {
    static constexpr int channels = Flags ? 2 : 1;
    static constexpr int parts = 1;
    const Task &t;
    T id, top;
    bool marked;
    std::vector<In> in_copy;
    rows::OutRow<In> out;

    ExtremeRows(const Task &task, T identity_value, T top_value, bool with_marker)
        : t(task), id(identity_value), top(top_value), marked(with_marker),
          out(task.out, task.image.shape[2]) {}

    T identity() const { return id; }

    void build(Index z, Index y, T *const *table) {
        const Index X = t.image.shape[2];
        const In *in = rows::typed_row<In>(t.image.at(z, y, 0, t.item), X, in_copy);
        const auto *mask =
            reinterpret_cast<const uint8_t *>(t.has_mask() ? t.mask.at(z, y, 0, 1) : nullptr);
        if (mask)
            L::widen_masked(table[0], in, mask, id, X);
        else
            L::widen(table[0], in, X);
        if constexpr (Flags) {
            if (mask)
                L::flags(table[1], mask, X);
            else
                L::fill(table[1], T(0), X);
        }
    }

    T *lanes_for(Index z, Index y, T *scratch) {
        if constexpr (std::is_same_v<In, T>)
            if (!marked) return out.begin(z, y);
        return scratch;
    }
    void done(Index z, Index y, T *const *lanes) {
        const Index X = t.image.shape[2];
        In *o = out.begin(z, y);
        if (marked)
            L::narrow_marked(o, lanes[0], top, X);
        else if (static_cast<const void *>(o) != static_cast<const void *>(lanes[0]))
            L::narrow(o, lanes[0], X);
        if constexpr (Flags) L::clear_flagged(o, lanes[1], X);
        out.store(z, y);
    }
};

// The lanes of a task (see the top of this file).
struct Lanes {
    int bytes;    // 1, 2 or 4
    bool marker;  // uncounted pixels hold top + 1
    bool flags;   // a second set of lanes flags empty windows
    uint32_t top; // the largest value
};

// Whether a minimum can meet an empty window.
bool marked(const Task &t) { return t.stat == Stat::Min && (t.has_mask() || !t.fp->centre_member); }

Lanes lanes_of(const Task &t) {
    const uint64_t any = 0xffffffffu;
    const uint64_t top = t.top();
    const bool empty = marked(t);
    const uint64_t need = top + (empty ? 1 : 0);
    const int bytes = need <= 0xff ? 1 : need <= 0xffff ? 2 : 4;
    const bool flags = need > any;
    return {bytes, empty && !flags, flags, static_cast<uint32_t>(top)};
}

template <template <class, class> class L, class Op, class In, class T, bool Flags = false>
void extreme(const Task &t, const Band &b, const Control &c, const Lanes &l) {
    const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Overlap);
    const T top = static_cast<T>(l.top);
    const T id = std::is_same_v<Op, rows::Max> ? T(0) : l.marker ? T(top + 1) : top;
    ExtremeRows<L<Op, T>, In, T, Flags> m(t, id, top, l.marker);
    rows::run_rows<T>(t, b, c, p, m);
}

// Lanes no narrower than the input's, or narrower ones for codes.
template <template <class, class> class L, class Op, class In>
void extreme_in(const Task &t, const Band &b, const Control &c, const Lanes &l) {
    constexpr bool codes = sizeof(In) == 4;
    if constexpr (sizeof(In) == 1 || codes)
        if (l.bytes == 1) return extreme<L, Op, In, uint8_t>(t, b, c, l);
    if constexpr (sizeof(In) <= 2 || codes)
        if (l.bytes == 2) return extreme<L, Op, In, uint16_t>(t, b, c, l);
    if constexpr (sizeof(In) >= 2) {
        if constexpr (codes && std::is_same_v<Op, rows::Min>)
            if (l.flags) return extreme<L, Op, In, uint32_t, true>(t, b, c, l);
        extreme<L, Op, In, uint32_t>(t, b, c, l);
    }
}

constexpr Index kDirectMembers = rows::kMembersDirect;

// Footprints of a few members without a mask: the members of interior
// columns straight from the image rows in one pass per output row (no
// padded copy of the rows), the few border columns gathered. Returns false
// (and does nothing) when the layout does not suit it.
template <class L, class In> bool direct(const Task &t, const Band &b, const Control &c) {
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
                const Index head = static_cast<Index>((32 - reinterpret_cast<uintptr_t>(o) % 32) %
                                                      32 / sizeof(In));
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

// Measured: for uint8 the padded copy costs less than it saves.
bool reads_directly(const Task &t, const Lanes &l) {
    return t.item >= 2 && l.bytes == t.item && !l.marker && !l.flags && !t.has_mask() &&
           t.fp->size() <= kDirectMembers;
}

template <template <class, class> class L, class Op>
void run_op(const Task &t, const Band &b, const Control &c) {
    const Lanes l = lanes_of(t);
    if (reads_directly(t, l)) {
        const bool done = t.item == 2 ? direct<L<Op, uint16_t>, uint16_t>(t, b, c)
                                      : direct<L<Op, uint32_t>, uint32_t>(t, b, c);
        if (done) return;
    }
    switch (t.item) {
    case 1: extreme_in<L, Op, uint8_t>(t, b, c, l); break;
    case 2: extreme_in<L, Op, uint16_t>(t, b, c, l); break;
    default: extreme_in<L, Op, uint32_t>(t, b, c, l); break;
    }
}

template <template <class, class> class L>
void run_on(const Task &t, const Band &b, const Control &c) {
    if (t.stat == Stat::Max)
        run_op<L, rows::Max>(t, b, c);
    else
        run_op<L, rows::Min>(t, b, c);
}

} // namespace

bool runs_applies(const Task &t) {
    return (t.item == 1 || t.item == 2 || t.item == 4) &&
           (t.stat == Stat::Min || t.stat == Stat::Max) && t.fp->size() > 0;
}

double runs_cost(const Task &t) {
    const Plan p = rows::make_plan(*t.fp, t.image.shape[2], rows::Combine::Overlap);
    const Lanes l = lanes_of(t);
    return 0.02 + rows::plan_cost(p, l.bytes, l.flags ? 2 : 1);
}

void run_runs(const Task &t, const Band &b, const Control &c) {
#if MV_X86
    if (avx2_code()) return run_on<avx2::Loops>(t, b, c);
#endif
    run_on<portable::Loops>(t, b, c);
}

} // namespace morvane::engine
