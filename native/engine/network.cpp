// The network method: rank filters of small footprints by selection
// networks, branch-free min/max programs run over whole vectors of pixels
// at once (32 uint8 or 16 uint16 lanes with AVX2, half that with SSE2;
// twice that in the specialised kernels with AVX-512).
//
// Programs (network_build.hpp) select one rank from sorted chains: merges
// of chains in a few orders, dropping after each merge whatever can no
// longer be the answer, and pruned to the operations the answer depends on.
// Work is shared between windows through the chains:
//  - interior rows: columns of the footprint (members sharing dz and dx) of
//    the same shape are sorted once per image column and row (pass A) into
//    buffer rows, which every window reading them shares (pass B selects);
//    boxes take rows in vertical pairs instead: each footprint row is sorted
//    once per image row, and two windows one above the other merge the rows
//    they both hold once;
//  - the most used footprints (3x3 and 5x5 squares, disks of radius 1 and
//    2, the 3D ball of radius 1) have programs built at compile time, for
//    every rank, run from registers two output rows at a time.
// Other programs are built once per call and band and run by an
// interpreter over blocks of vectors in scratch memory.
//
// Borders: rows whose windows are cut by the top or bottom (or the first
// and last planes) keep the same members for all their interior columns,
// so they run a program of their own for that member subset. Columns cut by
// the left or right border are run along the columns of the image (strips:
// the columns they read copied transposed, output rows as lanes), and the
// few windows left (corners, images too small for either) are gathered one
// by one into vectors. Both use one program for the rows' member subset: a
// window that counts n of those m members takes rank rank_of[n], which is
// rank rank_of[m] once its m - n missing members are filled with rank_of[m]
// - rank_of[n] zeros and the rest with the largest value.
//
// The parts, each a file: network_build.hpp (building selection programs),
// network_program.hpp (the interpreter's program format), network_fixed.hpp
// (the specialised footprints), network_kernels.hpp (the loops, once per
// instruction set), network_plans.hpp (how windows share sorted columns and
// rows), network_driver.hpp (a band's interior rows) and
// network_borders.hpp (border strips and gathered windows); this file ties
// them together: the kernels of each instruction set, and the method's
// entry points.
#include "engine.hpp"
#include "network_build.hpp"
#include "sort.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "lanes.hpp"

namespace morvane::engine {
namespace {

// The parts, in the order they build on each other.
// clang-format off
#include "network_program.hpp"
#include "network_fixed.hpp"
// clang-format on

// Vector types and the kernels of each instruction set ----------------------

#if MV_X86
MV_AVX2_BEGIN
namespace avx2 {
using lanes::avx2::U16;
using lanes::avx2::U32;
using lanes::avx2::U8;
#include "network_kernels.hpp"
} // namespace avx2
MV_AVX2_END
MV_AVX512_BEGIN
namespace avx512 {
using lanes::avx512::U16;
using lanes::avx512::U32;
using lanes::avx512::U8;
#include "network_kernels.hpp"
} // namespace avx512
MV_AVX512_END
namespace sse2 {
using lanes::sse2::U16;
using lanes::sse2::U32;
using lanes::sse2::U8;
#include "network_kernels.hpp"
} // namespace sse2
#endif
#if MV_NEON
namespace neon {
using lanes::neon::U16;
using lanes::neon::U32;
using lanes::neon::U8;
#include "network_kernels.hpp"
} // namespace neon
#endif
namespace portable {
using lanes::portable::U16;
using lanes::portable::U32;
using lanes::portable::U8;
#include "network_kernels.hpp"
} // namespace portable

// What one instruction set offers for one element type: the interpreter
// (and the border paths) on vectors of `lanes`, and specialised kernels,
// where there are any, for rows of at least `hot_lanes` windows; `narrow`,
// if not null, offers them for narrower rows.
struct Kernels {
    int lanes;
    void (*range)(const Exec &, char *const *, Index, char **);
    const HotFn *hot[kHotCount];
    int hot_lanes;
    const Kernels *narrow;
};

// The specialised kernels (one per rank) of footprint `shape` for rows of
// `count` windows, or null.
const HotFn *hot_kernels(const Kernels &k, int shape, Index count) {
    for (const Kernels *s = &k; s != nullptr; s = s->narrow)
        if (count >= s->hot_lanes) return s->hot[shape];
    return nullptr;
}

// Specialised kernels are compiled for AVX2 and AVX-512 only: elsewhere
// the interpreter runs every footprint. AVX-512 interprets as AVX2 does.
// 32-bit values have no 3D ball (each kernel set costs compile time).
#if MV_X86
template <template <class, const HotShape &, size_t> class Table, class V, class I, bool Ball,
          const Kernels *Narrow, const HotShape &Square3 = kSquare3>
struct Specialised {
    static constexpr const HotFn *ball() {
        if constexpr (Ball)
            return Table<V, kBall1, 7>::value.data();
        else
            return nullptr;
    }
    static constexpr Kernels kernels{
        I::lanes,
        &avx2::run_range<I>,
        {Table<V, Square3, 9>::value.data(), Table<V, kSquare5, 25>::value.data(),
         Table<V, kDisk1, 5>::value.data(), Table<V, kDisk2, 13>::value.data(), ball()},
        V::lanes,
        Narrow};
};
template <class V, class I, bool Ball>
using Avx2Kernels = Specialised<avx2::HotTable, V, I, Ball, nullptr>;
// Rows narrower than a 64-byte vector of windows take AVX2's kernels.
// The 3 x 3 square by columns where 64-byte operations run at full width.
template <class V, class I, bool Ball, const HotShape &Square3>
using Avx512Kernels =
    Specialised<avx512::HotTable, V, I, Ball, &Avx2Kernels<I, I, Ball>::kernels, Square3>;
template <class V, class I, bool Ball> const Kernels &avx512_kernels() {
    return full_width_512() ? Avx512Kernels<V, I, Ball, kSquare3Columns>::kernels
                            : Avx512Kernels<V, I, Ball, kSquare3>::kernels;
}
#endif

template <class V, void (*Range)(const Exec &, char *const *, Index, char **)> struct Interpreted {
    static constexpr Kernels kernels{V::lanes, Range, {}, V::lanes, nullptr};
};

template <class U8, class U16, class U32, auto R8, auto R16, auto R32>
const Kernels &interpreted(int item) {
    return item == 1   ? Interpreted<U8, R8>::kernels
           : item == 2 ? Interpreted<U16, R16>::kernels
                       : Interpreted<U32, R32>::kernels;
}

const Kernels &kernels_for(int item) {
    switch (active_isa()) {
#if MV_X86
    case Isa::Avx2:
        return item == 1   ? Avx2Kernels<avx2::U8, avx2::U8, true>::kernels
               : item == 2 ? Avx2Kernels<avx2::U16, avx2::U16, true>::kernels
                           : Avx2Kernels<avx2::U32, avx2::U32, false>::kernels;
    case Isa::Avx512:
        return item == 1   ? avx512_kernels<avx512::U8, avx2::U8, true>()
               : item == 2 ? avx512_kernels<avx512::U16, avx2::U16, true>()
                           : avx512_kernels<avx512::U32, avx2::U32, false>();
    case Isa::Sse2:
        return interpreted<sse2::U8, sse2::U16, sse2::U32, &sse2::run_range<sse2::U8>,
                           &sse2::run_range<sse2::U16>, &sse2::run_range<sse2::U32>>(item);
#endif
#if MV_NEON
    case Isa::Neon:
        return interpreted<neon::U8, neon::U16, neon::U32, &neon::run_range<neon::U8>,
                           &neon::run_range<neon::U16>, &neon::run_range<neon::U32>>(item);
#endif
    default:
        return interpreted<portable::U8, portable::U16, portable::U32,
                           &portable::run_range<portable::U8>, &portable::run_range<portable::U16>,
                           &portable::run_range<portable::U32>>(item);
    }
}

// Which specialised footprint, if any, the task's footprint is (any shift).
int hot_shape_of(const Footprint &f) {
    for (int s = 0; s < kHotCount; ++s) {
        const HotShape &h = *kHotShapes[s];
        if (f.shape[0] != h.planes || f.shape[1] != h.rows || f.shape[2] != h.cols ||
            f.size() != h.members())
            continue;
        // Members relative to the footprint's corner, against the columns.
        std::vector<uint8_t> dense(static_cast<size_t>(h.planes * h.rows * h.cols), 0);
        for (int i = 0; i < h.count; ++i) {
            const HotGroup &g = h.g[static_cast<size_t>(i)];
            for (int j = 0; j < g.len; ++j)
                dense[static_cast<size_t>((g.dz * h.rows + g.dy0 + j) * h.cols + g.dx)] = 1;
        }
        bool same = true;
        for (const Offset &o : f.members) {
            const Index z = o.dz + f.centre[0], y = o.dy + f.centre[1], x = o.dx + f.centre[2];
            same = same && dense[static_cast<size_t>((z * h.rows + y) * h.cols + x)];
        }
        if (same) return s;
    }
    return -1;
}

// clang-format off
#include "network_plans.hpp"
#include "network_driver.hpp"
#include "network_borders.hpp"
// clang-format on

} // namespace

// Largest footprint the method takes: beyond about 60 members the
// histogram methods cost less per pixel, and programs grow as m log^2 m.
constexpr Index kMaxMembers = 128;

// The minimum and maximum run as the ranks 0 and n - 1 of the n counted
// values (0 for an empty window, as for every rank).
bool network_applies(const Task &t) {
    if (!(t.item == 1 || t.item == 2 || t.item == 4) || t.has_mask() || t.fp->size() < 1 ||
        t.fp->size() > kMaxMembers)
        return false;
    if (t.stat == Stat::Rank) return true;
    // The minimum and maximum only by the specialised kernels: the runs
    // method is faster than the interpreter at these ranks (measured).
    if (t.stat != Stat::Min && t.stat != Stat::Max) return false;
    const int hot = hot_shape_of(*t.fp);
    return hot >= 0 && kernels_for(t.item).hot[hot] != nullptr;
}

namespace {

// Rank of the n counted values the task takes (n >= 1).
Index rank_among(const Task &t, Index n) {
    return t.stat == Stat::Min   ? 0
           : t.stat == Stat::Max ? n - 1
                                 : t.rank_of[static_cast<size_t>(n)];
}

// The share of a median's operations that a rank q = min(p, 1 - p) of the
// way in needs (measured on squares and disks: 0.8 at q = 0.25, 0.4 at 0.1).
double rank_share(double q) {
    if (q <= 0.1) return 0.05 + 3.5 * q;
    if (q <= 0.25) return 0.4 + (q - 0.1) / 0.15 * 0.4;
    return 0.8 + (q - 0.25) / 0.25 * 0.2;
}

// What a specialised kernel costs at any rank: reading and writing the
// pixels (measured, disk of radius 1, its minimum; uint8, uint16, 32 bits).
constexpr double kHotFloor[3] = {0.05, 0.16, 0.38};

// Nanoseconds per pixel of the specialised kernels for the median, AVX2,
// 1024 x 1024 (128^3 for the ball), uint8, uint16 and 32 bits, less the
// call's fixed costs (which `overhead` below counts).
constexpr double kHotCost[kHotCount][3] = {{0.12, 0.26, 0.55},
                                           {0.43, 0.79, 1.51},
                                           {0.055, 0.15, 0.43},
                                           {0.26, 0.51, 1.16},
                                           {0.42, 0.65, 1.3}};

} // namespace

// Costs measured on the machine the engine is tuned on, one core.
double network_cost(const Task &t) {
    const Footprint &f = *t.fp;
    const double m = static_cast<double>(f.size());
    const Index n = f.size();
    const double p = n > 1 ? static_cast<double>(rank_among(t, n)) / (m - 1) : 0.5;
    const double share = rank_share(std::min(p, 1 - p));
    const int column = t.item == 1 ? 0 : t.item == 2 ? 1 : 2;
    const double width = static_cast<double>(std::max<Index>(1, t.image.shape[2]));
    const double pixels =
        static_cast<double>(t.image.shape[0]) * t.image.shape[1] * t.image.shape[2];
    // Programs are built per call and band (border rows, border columns);
    // rows cost a little each, and their border columns about three
    // interior pixels each.
    const double build =
        100.0 * static_cast<double>(f.shape[0] * f.shape[1]) * m * std::log2(m + 1) + 10000.0;
    const double border = 1.0 + 3.0 * static_cast<double>(f.shape[2] - 1) / width;
    const double overhead = build / std::max(1.0, pixels) + 20.0 / width;
    const int hot = hot_shape_of(f);
    const Kernels &k = kernels_for(t.item);
    if (hot >= 0 && hot_kernels(k, hot, t.image.shape[2] - f.shape[2] + 1) != nullptr)
        return std::max(kHotFloor[column], kHotCost[hot][column] * (0.4 + 0.6 * share)) * border +
               overhead;
    // The interpreter: about one store of a vector per operation, and
    // 0.3 m log^2 m operations for a median from sorted columns.
    const double lanes = kernels_for(t.item).lanes;
    // Rows narrower than 16 vectors run in smaller blocks (measured at
    // 1024 and 128 columns).
    const double per_op = 0.86 / lanes * (1 + 4 * lanes / width) / (1 + 4 * lanes / 1024.0);
    // Boxes run as vertical pairs sharing their common rows: 0.6 of that.
    const double ops = 0.3 * m * std::log2(m + 1) * std::log2(m + 1) * share * (f.box ? 0.6 : 1.0);
    return (ops * per_op + 0.3) * border + overhead;
}

void run_network(const Task &task, const Band &b, const Control &c) {
    const Kernels &k = kernels_for(task.item);
    Task ranked;
    const Task *t = &task;
    if (task.stat != Stat::Rank) {
        ranked = task;
        ranked.stat = Stat::Rank;
        ranked.rank_of.assign(static_cast<size_t>(task.fp->size()) + 1, 0);
        for (Index n = 1; n <= task.fp->size(); ++n)
            ranked.rank_of[static_cast<size_t>(n)] = rank_among(task, n);
        t = &ranked;
    }
    if (t->item == 1)
        Driver<uint8_t>(*t, k).run(b, c);
    else if (t->item == 2)
        Driver<uint16_t>(*t, k).run(b, c);
    else
        Driver<uint32_t>(*t, k).run(b, c);
}

} // namespace morvane::engine
