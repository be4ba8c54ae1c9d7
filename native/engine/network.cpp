// The network method: rank filters of small footprints by selection
// networks, branch-free min/max programs run over whole vectors of pixels
// at once (32 uint8 or 16 uint16 lanes with AVX2, half that with SSE2).
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
#include "engine.hpp"
#include "network_build.hpp"
#include "sort.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "lanes.hpp"

namespace morvane::engine {
namespace {

// Programs as the interpreter runs them ------------------------------------

enum : uint8_t { kOpMin = 0, kOpMax = 1, kOpCopy = 2 };

// Operands and destination index a table of pointers: inputs first, then
// outputs, then scratch slots.
struct IOp {
    uint16_t dst, a, b;
    uint8_t kind;
};

struct Exec {
    int inputs = 0, outputs = 0, slots = 0;
    int block = 1;  // vectors per interpreted operation: 1, 2, 4, 8 or 16
    std::vector<IOp> ops;
    // Consecutive operations of one kind: the interpreter branches once
    // per run, not once per operation.
    struct Run {
        uint8_t kind;
        int begin, end;
    };
    std::vector<Run> runs;
    int table() const { return inputs + outputs + slots; }
};

// The operations of a program ordered by depth, and within a depth mins
// before maxes, so that runs of one kind are long (a compare-exchange
// layer becomes two runs).
net::Program by_depth(const net::Program &p) {
    const int n = p.size();
    std::vector<int> depth(static_cast<size_t>(p.inputs + n), 0);
    for (int k = 0; k < n; ++k) {
        const net::Op &o = p.ops[static_cast<size_t>(k)];
        depth[static_cast<size_t>(p.inputs + k)] =
            1 + std::max(depth[static_cast<size_t>(o.a)], depth[static_cast<size_t>(o.b)]);
    }
    std::vector<int> order(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) order[static_cast<size_t>(k)] = k;
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
        const int dx = depth[static_cast<size_t>(p.inputs + x)], dy = depth[static_cast<size_t>(p.inputs + y)];
        if (dx != dy) return dx < dy;
        return p.ops[static_cast<size_t>(x)].kind < p.ops[static_cast<size_t>(y)].kind;
    });
    std::vector<int> id(static_cast<size_t>(p.inputs + n));
    for (int i = 0; i < p.inputs; ++i) id[static_cast<size_t>(i)] = i;
    for (int k = 0; k < n; ++k) id[static_cast<size_t>(p.inputs + order[static_cast<size_t>(k)])] = p.inputs + k;
    net::Program q;
    q.inputs = p.inputs;
    for (int k = 0; k < n; ++k) {
        const net::Op &o = p.ops[static_cast<size_t>(order[static_cast<size_t>(k)])];
        q.ops.push_back({id[static_cast<size_t>(o.a)], id[static_cast<size_t>(o.b)], o.kind});
    }
    for (int v : p.outs) q.outs.push_back(id[static_cast<size_t>(v)]);
    return q;
}

// Vectors per interpreted operation: as many as hide its overhead (up to
// 16), few enough that the scratch slots stay in the L2 cache (measured:
// blocks of 16 in L2 beat blocks of 4 in L1).
constexpr int kMaxBlock = 16;
constexpr size_t kScratchBytes = 64 * 1024;

// Sets e.block for vectors of `vec` bytes; returns the scratch bytes.
size_t fit_block(Exec &e, size_t vec) {
    e.block = kMaxBlock;
    while (e.block > 1 && static_cast<size_t>(e.slots) * e.block * vec > kScratchBytes) e.block /= 2;
    return static_cast<size_t>(e.slots) * e.block * vec + vec;
}

// Points the scratch entries of a pointer table at their slots.
void scratch_table(const Exec &e, char *scratch, size_t vec, std::vector<char *> &ptr) {
    ptr.assign(static_cast<size_t>(e.table()), nullptr);
    for (int s = 0; s < e.slots; ++s)
        ptr[static_cast<size_t>(e.inputs + e.outputs + s)] = scratch + static_cast<size_t>(s) * e.block * vec;
}

// Gathered windows of a band done one by one before a program is built.
constexpr Index kFewWindows = 64;

// Output rows per call of a specialised kernel (cancelling is checked
// between calls).
constexpr Index kHotRows = 64;

// Output rows per block of the pair mode (the ring of sorted rows starts
// again at each), and the bytes its ring may take.
constexpr Index kPairRows = 128;
constexpr Index kRingBytes = 64 * 1024;

// Output rows per block of a strip (border columns done along columns).
constexpr Index kStripRows = 256;

// Bytes of buffer rows (sorted columns) per chunk of a row.
constexpr Index kBufferBytes = 12 * 1024;

// Scratch slots for the SSA values of a program, each reused once its value
// is dead; outputs are written where they go.
Exec lower(const net::Program &program) {
    const net::Program p = by_depth(program);
    Exec e;
    e.inputs = p.inputs;
    e.outputs = static_cast<int>(p.outs.size());
    const int total = p.inputs + p.size();
    std::vector<int> last(static_cast<size_t>(total), -1), out_of(static_cast<size_t>(total), -1);
    for (int k = 0; k < p.size(); ++k) {
        last[static_cast<size_t>(p.ops[k].a)] = k;
        last[static_cast<size_t>(p.ops[k].b)] = k;
    }
    for (int j = 0; j < e.outputs; ++j) {
        const int v = p.outs[static_cast<size_t>(j)];
        if (v >= p.inputs && out_of[static_cast<size_t>(v)] < 0) out_of[static_cast<size_t>(v)] = j;
    }
    std::vector<int> where(static_cast<size_t>(total), -1), free_slots;
    std::vector<char> is_free;
    for (int i = 0; i < p.inputs; ++i) where[static_cast<size_t>(i)] = i;
    const int slot0 = e.inputs + e.outputs;
    for (int k = 0; k < p.size(); ++k) {
        const net::Op &o = p.ops[static_cast<size_t>(k)];
        for (int v : {o.a, o.b}) {
            const int w = where[static_cast<size_t>(v)];
            if (last[static_cast<size_t>(v)] == k && w >= slot0 && !is_free[static_cast<size_t>(w - slot0)]) {
                is_free[static_cast<size_t>(w - slot0)] = 1;
                free_slots.push_back(w);
            }
        }
        const int v = p.inputs + k;
        int dst;
        if (out_of[static_cast<size_t>(v)] >= 0) {
            dst = e.inputs + out_of[static_cast<size_t>(v)];
        } else if (!free_slots.empty()) {
            dst = free_slots.back();
            free_slots.pop_back();
            is_free[static_cast<size_t>(dst - slot0)] = 0;
        } else {
            dst = slot0 + e.slots++;
            is_free.push_back(0);
        }
        where[static_cast<size_t>(v)] = dst;
        e.ops.push_back({static_cast<uint16_t>(dst), static_cast<uint16_t>(where[static_cast<size_t>(o.a)]),
                         static_cast<uint16_t>(where[static_cast<size_t>(o.b)]),
                         o.kind == net::kMin ? kOpMin : kOpMax});
    }
    // Outputs that are inputs, or repeat an earlier output, are copied.
    for (int j = 0; j < e.outputs; ++j) {
        const int v = p.outs[static_cast<size_t>(j)];
        const int w = where[static_cast<size_t>(v)];
        if (w != e.inputs + j)
            e.ops.push_back({static_cast<uint16_t>(e.inputs + j), static_cast<uint16_t>(w),
                             static_cast<uint16_t>(w), kOpCopy});
    }
    for (int k = 0; k < static_cast<int>(e.ops.size()); ++k) {
        if (e.runs.empty() || e.runs.back().kind != e.ops[static_cast<size_t>(k)].kind)
            e.runs.push_back({e.ops[static_cast<size_t>(k)].kind, k, k});
        e.runs.back().end = k + 1;
    }
    return e;
}

// Specialised footprints ---------------------------------------------------

// The merge strategies (bits of net::select) that win somewhere for these
// footprints; trying the others only costs compile time.
constexpr uint32_t kHotStrategies = 0x10F;
constexpr int kHotMaxPlanes = 3, kHotMaxRows = 5, kHotMaxLen = 5, kHotMaxInputs = 25;
constexpr Index kHotChunk = 256;  // columns per chunk of the row-sorting kernel

// A column of a specialised footprint: members dy0 .. dy0+len-1 of plane dz
// and column dx, all counted from the footprint's first plane, row, column.
struct HotGroup {
    int dz, dy0, len, dx;
};

// How a specialised kernel shares work between windows:
//  kFused: each pair of output rows in one program straight from the image
//    (columns sorted again by every window, but no memory traffic);
//  kRows (squares): rows sorted once into buffers, and the output rows
//    taken in pairs that share the merge of their common rows.
enum HotMode { kFused, kRows };

struct HotShape {
    int planes, rows, cols, count;
    HotMode mode;
    std::array<HotGroup, 8> g;
    constexpr int members() const {
        int m = 0;
        for (int i = 0; i < count; ++i) m += g[static_cast<size_t>(i)].len;
        return m;
    }
};

constexpr HotShape kSquare3{1, 3, 3, 3, kFused, {{{0, 0, 3, 0}, {0, 0, 3, 1}, {0, 0, 3, 2}}}};
constexpr HotShape kSquare5{
    1, 5, 5, 5, kRows, {{{0, 0, 5, 0}, {0, 0, 5, 1}, {0, 0, 5, 2}, {0, 0, 5, 3}, {0, 0, 5, 4}}}};
constexpr HotShape kDisk1{1, 3, 3, 3, kFused, {{{0, 1, 1, 0}, {0, 0, 3, 1}, {0, 1, 1, 2}}}};
constexpr HotShape kDisk2{
    1, 5, 5, 5, kFused, {{{0, 2, 1, 0}, {0, 1, 3, 1}, {0, 0, 5, 2}, {0, 1, 3, 3}, {0, 2, 1, 4}}}};
constexpr HotShape kBall1{
    3, 3, 3, 5, kFused, {{{1, 1, 1, 0}, {0, 1, 1, 1}, {1, 0, 3, 1}, {2, 1, 1, 1}, {1, 1, 1, 2}}}};

constexpr const HotShape *kHotShapes[] = {&kSquare3, &kSquare5, &kDisk1, &kDisk2, &kBall1};
constexpr int kHotCount = 5;

// A program fixed at compile time, for the unrolled kernels.
template <int NOps, int NOuts> struct Fixed {
    int inputs = 0;
    std::array<net::Op, NOps> ops{};
    std::array<int, NOuts> outs{};
};

// Programs are evaluated once, into arrays of a fixed capacity, then cut to
// size: constant evaluation is slow.
constexpr int kFixCap = 160, kFixOuts = 10;
struct Capped {
    int inputs = 0, ops = 0, outs = 0;
    std::array<net::Op, kFixCap> op{};
    std::array<int, kFixOuts> out{};
};

template <net::Program (*Make)()> struct Fix {
    static constexpr Capped capped = [] {
        Capped c;
        const net::Program p = Make();
        c.inputs = p.inputs;
        c.ops = p.size();
        c.outs = static_cast<int>(p.outs.size());
        if (c.ops > kFixCap || c.outs > kFixOuts) throw "program too large for a fixed kernel";
        for (int k = 0; k < c.ops; ++k) c.op[static_cast<size_t>(k)] = p.ops[static_cast<size_t>(k)];
        for (int j = 0; j < c.outs; ++j) c.out[static_cast<size_t>(j)] = p.outs[static_cast<size_t>(j)];
        return c;
    }();
    static constexpr Fixed<capped.ops, capped.outs> value = [] {
        Fixed<capped.ops, capped.outs> f;
        f.inputs = capped.inputs;
        for (int k = 0; k < capped.ops; ++k) f.ops[static_cast<size_t>(k)] = capped.op[static_cast<size_t>(k)];
        for (int j = 0; j < capped.outs; ++j) f.outs[static_cast<size_t>(j)] = capped.out[static_cast<size_t>(j)];
        return f;
    }();
};

// Both output rows of a row pair in one program, straight from the image:
// inputs are, column by column, its len + 1 rows (at the column's offset),
// outputs the two answers. Each window sorts its own columns again, which
// for small footprints costs less than sharing them through memory.
template <const HotShape &S, int R> constexpr net::Program hot_fused_program() {
    int n = 0;
    for (int i = 0; i < S.count; ++i) n += S.g[static_cast<size_t>(i)].len + 1;
    net::Graph g(n);
    std::vector<net::Chain> top, bottom;
    int v = 0;
    for (int i = 0; i < S.count; ++i) {
        const int len = S.g[static_cast<size_t>(i)].len;
        net::Chain mid;
        for (int k = 1; k < len; ++k) mid.push_back(v + k);
        mid = net::sort(g, mid);
        if (mid.empty()) {
            top.push_back(net::Chain(1, v));
            bottom.push_back(net::Chain(1, v + 1));
        } else {
            top.push_back(net::insert(g, mid, v));
            bottom.push_back(net::insert(g, mid, v + len));
        }
        v += len + 1;
    }
    std::vector<int> outs;
    outs.push_back(net::select_into(g, top, R, kHotStrategies));
    outs.push_back(net::select_into(g, bottom, R, kHotStrategies));
    return net::prune(g, outs);
}

// A pair of output rows of a k x k square from its k + 1 sorted image rows
// (inputs: row d's ranks at d * k ..): the k - 1 rows both windows hold are
// merged once, then each adds its own row.
template <const HotShape &S, int R> constexpr net::Program rows_pair_program() {
    constexpr int k = S.rows;
    std::vector<net::Chain> rows;
    for (int d = 0; d <= k; ++d) {
        net::Chain c;
        for (int j = 0; j < k; ++j) c.push_back(d * k + j);
        rows.push_back(c);
    }
    // Balanced merges beat sequential ones at every rank of the 5 x 5.
    net::Graph g((k + 1) * k);
    const std::vector<net::Chain> shared(rows.begin() + 1, rows.begin() + k);
    const net::Chain common = net::merge_all(g, shared, true);
    std::vector<net::Chain> top, bottom;
    top.push_back(common);
    top.push_back(rows[0]);
    bottom.push_back(common);
    bottom.push_back(rows[static_cast<size_t>(k)]);
    std::vector<int> outs;
    outs.push_back(net::select_into(g, top, R, kHotStrategies));
    outs.push_back(net::select_into(g, bottom, R, kHotStrategies));
    return net::prune(g, outs);
}

template <const HotShape &S, int R> struct HotRowsPair {
    static constexpr const auto &program = Fix<&rows_pair_program<S, R>>::value;
};

template <const HotShape &S, int R> struct HotFused {
    static constexpr const auto &program = Fix<&hot_fused_program<S, R>>::value;
};

// The k values of a sliding window of a row, sorted.
template <int L> constexpr net::Program sorted_window_program() {
    std::vector<int> all;
    for (int j = 0; j < L; ++j) all.push_back(j);
    return net::sorted_ranks(L, all);
}

// A block of interior output rows for a specialised kernel.
struct HotBlock {
    const char *origin;  // image pixel under the first window's first member plane, row, column
    Index row_pitch, plane_pitch;
    char *out;           // output pixel of the first window
    Index out_pitch;
    Index rows, count;   // output rows; windows per row (interior columns)
    char *spare;         // a row of count values for results thrown away
};
using HotFn = void (*)(const HotBlock &, char *);

// Bytes of scratch a specialised kernel may use.
constexpr size_t kHotBuffer = (kHotMaxRows + 2) * kHotMaxLen * (kHotChunk + 32) * 4;

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

// What one instruction set offers for one element type.
struct Kernels {
    int lanes;
    void (*range)(const Exec &, char *const *, Index, char **);
    const HotFn *hot[kHotCount];
};

// Specialised kernels are compiled for AVX2 only: elsewhere the
// interpreter runs every footprint.
#if MV_X86
template <class V> struct Avx2Kernels {
    static constexpr auto square3 = avx2::hot_table<V, kSquare3>(std::make_index_sequence<9>{});
    static constexpr auto square5 = avx2::hot_table<V, kSquare5>(std::make_index_sequence<25>{});
    static constexpr auto disk1 = avx2::hot_table<V, kDisk1>(std::make_index_sequence<5>{});
    static constexpr auto disk2 = avx2::hot_table<V, kDisk2>(std::make_index_sequence<13>{});
    static constexpr auto ball1 = avx2::hot_table<V, kBall1>(std::make_index_sequence<7>{});
    static constexpr Kernels kernels{
        V::lanes,
        &avx2::run_range<V>,
        {square3.data(), square5.data(), disk1.data(), disk2.data(), ball1.data()}};
};
// 32-bit values: no 3D ball (each kernel set costs compile time).
struct Avx2Kernels32 {
    using V = avx2::U32;
    static constexpr auto square3 = avx2::hot_table<V, kSquare3>(std::make_index_sequence<9>{});
    static constexpr auto square5 = avx2::hot_table<V, kSquare5>(std::make_index_sequence<25>{});
    static constexpr auto disk1 = avx2::hot_table<V, kDisk1>(std::make_index_sequence<5>{});
    static constexpr auto disk2 = avx2::hot_table<V, kDisk2>(std::make_index_sequence<13>{});
    static constexpr Kernels kernels{
        V::lanes, &avx2::run_range<V>, {square3.data(), square5.data(), disk1.data(), disk2.data(), nullptr}};
};
#endif

template <class V, void (*Range)(const Exec &, char *const *, Index, char **)> struct Interpreted {
    static constexpr Kernels kernels{V::lanes, Range, {}};
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
        return item == 1   ? Avx2Kernels<avx2::U8>::kernels
               : item == 2 ? Avx2Kernels<avx2::U16>::kernels
                           : Avx2Kernels32::kernels;
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

// Memory aligned for vectors.
struct Aligned {
    std::vector<char> raw;
    char *data = nullptr;
    Aligned() = default;
    Aligned(const Aligned &) = delete;
    Aligned &operator=(const Aligned &) = delete;
    void resize(size_t bytes) {
        raw.assign(bytes + 64, 0);
        data = raw.data() + (64 - reinterpret_cast<uintptr_t>(raw.data()) % 64) % 64;
    }
};

// A program for the member subset of a row class: pass A sorts the shared
// columns into buffer rows, pass B selects from them and single members.
struct Plan {
    struct Input {
        bool buffered;  // from a buffer row (else from the image)
        Index dz, dy, dx;
        int buffer;     // buffer row, when buffered; -1 when never read
    };
    struct Column {
        Index dz;
        std::vector<Index> dy;
        Exec exec;
        std::vector<int> rows;  // buffer row of each output
        std::vector<char *> origin, ptr;
    };
    bool empty = false;           // no member counted: the answer is 0
    std::vector<Column> columns;  // pass A
    Exec select;                  // pass B
    std::vector<Input> inputs;
    std::vector<char *> origin, ptr;
    int buffers = 0;
    Index chunk = 0, pitch = 0;   // output columns per chunk; pixels per buffer row
    Aligned scratch, buffer;
};

// The groups of a member subset: one per (dz, dx), members by dy.
struct ColumnOf {
    Index dz, dx;
    std::vector<Index> dy;
    std::vector<int> member;  // index into the subset
};

std::vector<ColumnOf> columns_of(const std::vector<Offset> &members) {
    std::vector<ColumnOf> cols;
    for (size_t k = 0; k < members.size(); ++k) {
        const Offset &o = members[k];
        auto it = std::find_if(cols.begin(), cols.end(),
                               [&](const ColumnOf &c) { return c.dz == o.dz && c.dx == o.dx; });
        if (it == cols.end()) {
            cols.push_back({o.dz, o.dx, {}, {}});
            it = cols.end() - 1;
        }
        it->dy.push_back(o.dy);
        it->member.push_back(static_cast<int>(k));
    }
    // Members come in row-major order, so dy ascends within each column.
    return cols;
}

// Strategies tried for programs that run on few pixels (border rows,
// gathered windows): building is then the larger cost.
constexpr uint32_t kQuickStrategies = (1u << 0) | (1u << 10);

std::unique_ptr<Plan> make_plan(const std::vector<Offset> &members, Index rank, bool quick) {
    auto plan = std::make_unique<Plan>();
    if (members.empty()) {
        plan->empty = true;
        return plan;
    }
    const std::vector<ColumnOf> cols = columns_of(members);
    // Column shapes used by more than one column are sorted once, in pass A.
    struct Pattern {
        Index dz;
        std::vector<Index> dy;
        int uses = 0;
    };
    std::vector<Pattern> patterns;
    std::vector<int> pattern_of(cols.size(), -1);
    for (size_t c = 0; c < cols.size(); ++c) {
        if (cols[c].dy.size() < 2) continue;
        size_t p = 0;
        while (p < patterns.size() && !(patterns[p].dz == cols[c].dz && patterns[p].dy == cols[c].dy))
            ++p;
        if (p == patterns.size()) patterns.push_back({cols[c].dz, cols[c].dy, 0});
        ++patterns[p].uses;
        pattern_of[c] = static_cast<int>(p);
    }
    std::vector<net::Group> groups;
    struct Source {
        int pattern, rank;  // pattern < 0: image member
        Index dz, dy, dx;
    };
    std::vector<Source> sources;
    for (size_t c = 0; c < cols.size(); ++c) {
        const int p = pattern_of[c];
        net::Group g;
        g.sorted = p >= 0 && patterns[static_cast<size_t>(p)].uses > 1;
        for (size_t j = 0; j < cols[c].dy.size(); ++j) {
            g.values.push_back(static_cast<int>(sources.size()));
            if (g.sorted)
                sources.push_back({p, static_cast<int>(j), cols[c].dz, 0, cols[c].dx});
            else
                sources.push_back({-1, 0, cols[c].dz, cols[c].dy[j], cols[c].dx});
        }
        groups.push_back(std::move(g));
    }
    const net::Program select = net::select(static_cast<int>(sources.size()), groups,
                                            static_cast<int>(rank), quick ? kQuickStrategies : ~0u);
    const std::vector<char> used = select.inputs_used();
    // Pass A computes only the ranks of each sorted column that are read.
    std::vector<std::vector<int>> buffer_of(patterns.size());
    for (size_t p = 0; p < patterns.size(); ++p) {
        if (patterns[p].uses < 2) continue;
        const int len = static_cast<int>(patterns[p].dy.size());
        std::vector<int> wanted;
        for (size_t i = 0; i < sources.size(); ++i)
            if (used[i] && sources[i].pattern == static_cast<int>(p) &&
                std::find(wanted.begin(), wanted.end(), sources[i].rank) == wanted.end())
                wanted.push_back(sources[i].rank);
        std::sort(wanted.begin(), wanted.end());
        buffer_of[p].assign(static_cast<size_t>(len), -1);
        if (wanted.empty()) continue;
        Plan::Column col;
        col.dz = patterns[p].dz;
        col.dy = patterns[p].dy;
        col.exec = lower(net::sorted_ranks(len, wanted));
        for (int j : wanted) {
            buffer_of[p][static_cast<size_t>(j)] = plan->buffers;
            col.rows.push_back(plan->buffers++);
        }
        plan->columns.push_back(std::move(col));
    }
    for (size_t i = 0; i < sources.size(); ++i) {
        const Source &s = sources[i];
        if (s.pattern >= 0) {
            const int row = used[i] ? buffer_of[static_cast<size_t>(s.pattern)][static_cast<size_t>(s.rank)] : -1;
            plan->inputs.push_back({true, s.dz, 0, s.dx, row});
        } else {
            plan->inputs.push_back({false, s.dz, s.dy, s.dx, 0});
        }
    }
    plan->select = lower(select);
    return plan;
}

// Interior rows in vertical pairs: the values of each footprint row
// (members sharing dz and dy) are sorted once per image row into a ring of
// buffer rows, and two windows one above the other share the merge of the
// rows they both hold.
struct PairPlan {
    struct Pattern {
        Index dz;
        std::vector<Index> dx;
        std::vector<int> ranks;  // sorted ranks kept
        int first = 0;           // its first buffer row within a ring slot
        Exec exec;
        std::vector<char *> origin, ptr;
    };
    struct Input {
        bool buffered;  // from the ring (else from the image)
        Index dz, o;    // plane; image row offset from the upper output row
        int pattern, rank;
        Index dx;       // for image inputs
    };
    std::vector<Pattern> patterns;
    int per_slot = 0;         // buffer rows per image row
    Index o_lo = 0, o_hi = 0; // image row offsets read
    Exec exec;                // the pair: outputs upper, lower
    std::vector<Input> inputs;
    std::vector<char *> origin, ptr;
    double ops_per_row = 0;
    Index chunk = 0, pitch = 0, slots = 0;
    Aligned scratch, ring;
};

std::unique_ptr<PairPlan> make_pair_plan(const std::vector<Offset> &members, Index rank) {
    auto plan = std::make_unique<PairPlan>();
    // Footprint rows: members by (dz, dy), dx ascending (row-major order).
    struct Row {
        Index dz, dy;
        std::vector<Index> dx;
    };
    std::vector<Row> rows;
    for (const Offset &o : members) {
        if (rows.empty() || rows.back().dz != o.dz || rows.back().dy != o.dy) rows.push_back({o.dz, o.dy, {}});
        rows.back().dx.push_back(o.dx);
    }
    std::vector<int> pattern_of(rows.size(), -1);
    for (size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].dx.size() < 2) continue;
        size_t p = 0;
        while (p < plan->patterns.size() &&
               !(plan->patterns[p].dz == rows[r].dz && plan->patterns[p].dx == rows[r].dx))
            ++p;
        if (p == plan->patterns.size()) {
            PairPlan::Pattern pat;
            pat.dz = rows[r].dz;
            pat.dx = rows[r].dx;
            plan->patterns.push_back(std::move(pat));
        }
        pattern_of[r] = static_cast<int>(p);
    }
    plan->o_lo = rows.front().dy;
    plan->o_hi = rows.front().dy;
    for (const Row &r : rows) {
        plan->o_lo = std::min(plan->o_lo, r.dy);
        plan->o_hi = std::max(plan->o_hi, r.dy + 1);
    }
    // Inputs: one per (row offset, plane, pattern, rank) or single member.
    auto input = [&](const PairPlan::Input &in) {
        for (size_t i = 0; i < plan->inputs.size(); ++i) {
            const PairPlan::Input &q = plan->inputs[i];
            if (q.buffered == in.buffered && q.dz == in.dz && q.o == in.o && q.pattern == in.pattern &&
                q.rank == in.rank && q.dx == in.dx)
                return static_cast<int>(i);
        }
        plan->inputs.push_back(in);
        return static_cast<int>(plan->inputs.size()) - 1;
    };
    auto chain = [&](size_t r, Index shift) {
        net::Chain c;
        const Row &row = rows[r];
        if (pattern_of[r] < 0) {
            c.push_back(input({false, row.dz, row.dy + shift, -1, 0, row.dx[0]}));
        } else {
            for (int j = 0; j < static_cast<int>(row.dx.size()); ++j)
                c.push_back(input({true, row.dz, row.dy + shift, pattern_of[r], j, 0}));
        }
        return c;
    };
    std::vector<net::Chain> upper, below;
    for (size_t r = 0; r < rows.size(); ++r) {
        upper.push_back(chain(r, 0));
        below.push_back(chain(r, 1));
    }
    std::vector<net::Chain> shared, upper_only, lower_only;
    for (const net::Chain &c : upper)
        (std::find(below.begin(), below.end(), c) != below.end() ? shared : upper_only).push_back(c);
    for (const net::Chain &c : below)
        if (std::find(upper.begin(), upper.end(), c) == upper.end()) lower_only.push_back(c);
    net::Graph g(static_cast<int>(plan->inputs.size()));
    if (!shared.empty()) {
        const net::Chain common = net::merge_all(g, shared, true);
        upper_only.push_back(common);
        lower_only.push_back(common);
    }
    std::vector<int> outs;
    outs.push_back(net::select_into(g, upper_only, static_cast<int>(rank), ~0u));
    outs.push_back(net::select_into(g, lower_only, static_cast<int>(rank), ~0u));
    const net::Program pair = net::prune(g, outs);
    const std::vector<char> used = pair.inputs_used();
    double ops = pair.size() / 2.0;
    for (size_t p = 0; p < plan->patterns.size(); ++p) {
        PairPlan::Pattern &pat = plan->patterns[p];
        for (size_t i = 0; i < plan->inputs.size(); ++i)
            if (used[i] && plan->inputs[i].pattern == static_cast<int>(p) &&
                std::find(pat.ranks.begin(), pat.ranks.end(), plan->inputs[i].rank) == pat.ranks.end())
                pat.ranks.push_back(plan->inputs[i].rank);
        std::sort(pat.ranks.begin(), pat.ranks.end());
        pat.first = plan->per_slot;
        plan->per_slot += static_cast<int>(pat.ranks.size());
        if (pat.ranks.empty()) continue;
        pat.exec = lower(net::sorted_ranks(static_cast<int>(pat.dx.size()), pat.ranks));
        ops += static_cast<double>(pat.exec.ops.size());
    }
    plan->exec = lower(pair);
    plan->ops_per_row = ops;
    return plan;
}

// One band of one call.
template <class T> class Driver {
public:
    Driver(const Task &t, const Kernels &k) : t_(t), f_(*t.fp), k_(k) {
        W_ = t.image.shape[2];
        H_ = t.image.shape[1];
        D_ = t.image.shape[0];
        // Footprints without their centre may lie wholly to one side.
        interior_columns(t, &x_lo_, &x_hi_);
        x_lo_ = std::max<Index>(0, x_lo_);
        x_hi_ = std::max(x_lo_, std::min(W_, x_hi_));
        L_ = k.lanes;
        vector_rows_ = x_hi_ - x_lo_ >= L_;
        direct_ = t.out.strides[2] == static_cast<Index>(sizeof(T));
        if (!direct_) row_out_.resize(static_cast<size_t>(W_) * sizeof(T) + 64);
        full_rank_ = t.rank_of[static_cast<size_t>(f_.size())];
        const int hot = vector_rows_ ? hot_shape_of(f_) : -1;
        if (hot >= 0 && k.hot[hot] != nullptr) {
            hot_ = k.hot[hot][full_rank_];
            hot_buffer_.resize(kHotBuffer + static_cast<size_t>(W_) * sizeof(T));
        }
    }

    void run(const Band &b, const Control &c) {
        for (Index z = b.z0; z < b.z1; ++z) {
            Index y = b.y0;
            while (y < b.y1) {
                // Rows with the same member subset: their border columns
                // go through strips when there are enough of them.
                const Key key = key_of(z, y);
                Index end = y + 1;
                while (end < b.y1 && key_of(z, end) == key) ++end;
                if (vector_rows_ && hot_ != nullptr && interior_row(t_, z, y)) {
                    for (Index r = y; r < end; r += kHotRows) {
                        if (c.cancelled()) return;
                        hot_block(z, r, std::min(end, r + kHotRows));
                    }
                } else if (vector_rows_ && interior_row(t_, z, y) && pair_plan() != nullptr) {
                    for (Index r = y; r < end; r += kPairRows) {
                        if (c.cancelled()) return;
                        pair_block(z, r, std::min(end, r + kPairRows));
                    }
                } else {
                    for (Index r = y; r < end; ++r) {
                        if (c.cancelled()) return;
                        if (vector_rows_) plan_row(z, r);
                    }
                }
                if (end - y >= L_) {
                    // Blocks of rows, none narrower than a vector.
                    for (Index a = y; a < end;) {
                        Index e = std::min(end, a + kStripRows);
                        if (end - e < L_) e = end;
                        if (c.cancelled()) return;
                        strip_pass(z, a, e, key);
                        a = e;
                    }
                } else {
                    for (Index r = y; r < end; ++r) {
                        if (vector_rows_) {
                            gather_row(z, r, 0, x_lo_);
                            gather_row(z, r, x_hi_, W_);
                        } else {
                            gather_row(z, r, 0, W_);
                        }
                    }
                }
                y = end;
            }
        }
        flush();
    }

private:
    static constexpr T kTop = std::numeric_limits<T>::max();

    const char *image_row(Index z, Index y) const { return t_.image.at(z, y, 0, sizeof(T)); }

    // Where a row's vector results go: the output row, or a row buffer
    // copied out afterwards when the output's pixels are not adjacent.
    char *out_row(Index z, Index y) {
        if (direct_) return t_.out.data + z * t_.out.strides[0] + y * t_.out.strides[1];
        return row_out_.data();
    }
    void finish_row(Index z, Index y) {
        if (direct_) return;
        for (Index x = x_lo_; x < x_hi_; ++x) t_.out.put_value(z, y, x, load<T>(row_out_.data() + x * sizeof(T)));
    }

    // Interior rows [ya, yb) of plane z by the specialised kernel.
    void hot_block(Index z, Index ya, Index yb) {
        const Index item = sizeof(T);
        HotBlock h;
        h.origin = t_.image.at(z + f_.lo[0], ya + f_.lo[1], x_lo_ + f_.lo[2], item);
        h.row_pitch = t_.image.strides[1];
        h.plane_pitch = t_.image.strides[0];
        h.rows = yb - ya;
        h.count = x_hi_ - x_lo_;
        h.spare = hot_buffer_.data + kHotBuffer;
        if (direct_) {
            h.out = t_.out.data + z * t_.out.strides[0] + ya * t_.out.strides[1] + x_lo_ * item;
            h.out_pitch = t_.out.strides[1];
            hot_(h, hot_buffer_.data);
            return;
        }
        // Adjacent rows first, copied out after.
        const size_t need = static_cast<size_t>(h.rows * h.count * item);
        if (block_out_.size() < need) block_out_.resize(need);
        h.out = block_out_.data();
        h.out_pitch = h.count * item;
        hot_(h, hot_buffer_.data);
        for (Index y = ya; y < yb; ++y)
            for (Index x = x_lo_; x < x_hi_; ++x)
                t_.out.put_value(z, y, x, load<T>(h.out + (y - ya) * h.out_pitch + (x - x_lo_) * item));
    }

    // The plan of the member subset of row (z, y).
    // The planes and rows of the footprint inside the image for the
    // windows of row (z, y): dz in [key[0], key[1]], dy in [key[2], key[3]].
    using Key = std::array<Index, 4>;
    Key key_of(Index z, Index y) const {
        return {std::max(f_.lo[0], -z), std::min(f_.hi[0], D_ - 1 - z), std::max(f_.lo[1], -y),
                std::min(f_.hi[1], H_ - 1 - y)};
    }

    Plan &plan_for(Index z, Index y) {
        const Key key = key_of(z, y);
        const Index z_first = key[0], z_last = key[1], y_first = key[2], y_last = key[3];
        for (auto &p : plans_)
            if (p.first == key) return *p.second;
        std::vector<Offset> subset;
        for (const Offset &o : f_.members)
            if (o.dz >= z_first && o.dz <= z_last && o.dy >= y_first && o.dy <= y_last)
                subset.push_back(o);
        const Index rank = subset.empty() ? 0 : t_.rank_of[subset.size()];
        const bool whole = subset.size() == f_.members.size();
        plans_.emplace_back(key, make_plan(subset, rank, !whole));
        Plan &plan = *plans_.back().second;
        prepare(plan);
        return plan;
    }

    // Buffers and pointer tables of a new plan.
    void prepare(Plan &plan) {
        if (plan.empty) return;
        const Index item = sizeof(T), span = f_.hi[2] - f_.lo[2];
        const size_t vec = static_cast<size_t>(L_) * sizeof(T);
        size_t scratch = fit_block(plan.select, vec);
        for (Plan::Column &c : plan.columns) scratch = std::max(scratch, fit_block(c.exec, vec));
        plan.scratch.resize(scratch);
        // Chunks of columns narrow enough for the buffer rows to stay in
        // the L1 cache.
        plan.chunk = x_hi_ - x_lo_;
        if (plan.buffers > 0) {
            const Index fit = kBufferBytes / (plan.buffers * item) - span - L_;
            plan.chunk = std::min(plan.chunk, std::max<Index>(2 * L_, fit));
        }
        // A chunk widens by up to a vector rather than leave a narrower one.
        plan.pitch = std::min(plan.chunk + L_, x_hi_ - x_lo_) + span + L_;
        if (plan.buffers > 0) plan.buffer.resize(static_cast<size_t>(plan.buffers * plan.pitch * item));
        auto table = [&](const Exec &e, std::vector<char *> &ptr, std::vector<char *> &origin) {
            scratch_table(e, plan.scratch.data, vec, ptr);
            origin.assign(static_cast<size_t>(e.inputs + e.outputs), plan.scratch.data);
        };
        for (Plan::Column &c : plan.columns) table(c.exec, c.ptr, c.origin);
        table(plan.select, plan.ptr, plan.origin);
    }

    void plan_row(Index z, Index y) {
        Plan &plan = plan_for(z, y);
        char *out = out_row(z, y);
        const Index item = sizeof(T), span = f_.hi[2] - f_.lo[2];
        if (plan.empty) {
            std::memset(out + x_lo_ * item, 0, static_cast<size_t>((x_hi_ - x_lo_) * item));
            finish_row(z, y);
            return;
        }
        char *buffer = plan.buffer.data;
        for (Index a = x_lo_; a < x_hi_; a += plan.chunk) {
            Index b = std::min(x_hi_, a + plan.chunk);
            if (x_hi_ - b < L_) b = x_hi_;
            for (Plan::Column &c : plan.columns) {
                for (size_t k = 0; k < c.dy.size(); ++k)
                    c.origin[k] = const_cast<char *>(image_row(z + c.dz, y + c.dy[k])) + (a + f_.lo[2]) * item;
                for (size_t j = 0; j < c.rows.size(); ++j)
                    c.origin[c.dy.size() + j] = buffer + c.rows[j] * plan.pitch * item;
                k_.range(c.exec, c.origin.data(), b - a + span, c.ptr.data());
            }
            for (size_t i = 0; i < plan.inputs.size(); ++i) {
                const Plan::Input &in = plan.inputs[i];
                if (in.buffered)
                    plan.origin[i] = in.buffer < 0 ? plan.scratch.data
                                                   : buffer + (in.buffer * plan.pitch + in.dx - f_.lo[2]) * item;
                else
                    plan.origin[i] = const_cast<char *>(image_row(z + in.dz, y + in.dy)) + (a + in.dx) * item;
            }
            plan.origin[plan.inputs.size()] = out + a * item;
            k_.range(plan.select, plan.origin.data(), b - a, plan.ptr.data());
            if (b == x_hi_) break;
        }
        finish_row(z, y);
    }

    // The pair plan of the interior rows, when it costs less than the plan
    // of single rows; null otherwise.
    PairPlan *pair_plan() {
        if (pair_checked_) return pair_.get();
        pair_checked_ = true;
        if (f_.size() < 2) return nullptr;
        const Plan &single = plan_for(-f_.lo[0], -f_.lo[1]);
        double single_ops = static_cast<double>(single.select.ops.size());
        for (const Plan::Column &c : single.columns) single_ops += static_cast<double>(c.exec.ops.size());
        auto plan = make_pair_plan(f_.members, full_rank_);
        if (plan->ops_per_row > 0.9 * single_ops) return nullptr;
        PairPlan &p = *plan;
        const Index item = sizeof(T);
        const size_t vec = static_cast<size_t>(L_) * sizeof(T);
        size_t scratch = fit_block(p.exec, vec);
        for (PairPlan::Pattern &pat : p.patterns)
            if (!pat.ranks.empty()) scratch = std::max(scratch, fit_block(pat.exec, vec));
        p.scratch.resize(scratch);
        scratch_table(p.exec, p.scratch.data, vec, p.ptr);
        p.origin.assign(static_cast<size_t>(p.exec.inputs + p.exec.outputs), p.scratch.data);
        for (PairPlan::Pattern &pat : p.patterns) {
            if (pat.ranks.empty()) continue;
            scratch_table(pat.exec, p.scratch.data, vec, pat.ptr);
            pat.origin.assign(static_cast<size_t>(pat.exec.inputs + pat.exec.outputs), nullptr);
        }
        // A ring slot per image row the pair reads, and two to move on; the
        // chunk of columns keeps the ring in the L1 and L2 caches.
        p.slots = p.o_hi - p.o_lo + 3;
        const Index count = x_hi_ - x_lo_;
        p.chunk = count;
        if (p.per_slot > 0) {
            const Index fit = kRingBytes / (p.slots * p.per_slot * item) - L_;
            p.chunk = std::min(count, std::max<Index>(2 * L_, fit));
        }
        p.pitch = std::min(p.chunk + L_, count) + L_;
        if (p.per_slot > 0) p.ring.resize(static_cast<size_t>(p.slots * p.per_slot * p.pitch * item));
        if (spare_.size() < static_cast<size_t>(W_ * item)) spare_.resize(static_cast<size_t>(W_ * item));
        pair_ = std::move(plan);
        return pair_.get();
    }

    // Interior rows [ya, yb) of plane z by pairs.
    void pair_block(Index z, Index ya, Index yb) {
        PairPlan &p = *pair_;
        const Index item = sizeof(T), count = x_hi_ - x_lo_;
        char *out = nullptr;
        Index out_pitch = 0;
        if (direct_) {
            out = t_.out.data + z * t_.out.strides[0] + ya * t_.out.strides[1] + x_lo_ * item;
            out_pitch = t_.out.strides[1];
        } else {
            const size_t need = static_cast<size_t>((yb - ya) * count * item);
            if (block_out_.size() < need) block_out_.resize(need);
            out = block_out_.data();
            out_pitch = count * item;
        }
        auto ring_row = [&](Index r, const PairPlan::Pattern &pat, int rank) {
            const Index at = std::find(pat.ranks.begin(), pat.ranks.end(), rank) - pat.ranks.begin();
            return p.ring.data + (((r % p.slots) * p.per_slot + pat.first + at) * p.pitch) * item;
        };
        for (Index a = 0; a < count; a += p.chunk) {
            Index b = std::min(count, a + p.chunk);
            if (count - b < L_) b = count;
            const Index width = b - a;
            Index done = 0;  // image rows ya + o_lo + 0 .. done-1 sorted
            auto sorted_up_to = [&](Index rows) {
                for (; done < rows; ++done) {
                    for (PairPlan::Pattern &pat : p.patterns) {
                        if (pat.ranks.empty()) continue;
                        const char *row = image_row(z + pat.dz, ya + p.o_lo + done) + (x_lo_ + a) * item;
                        for (size_t k = 0; k < pat.dx.size(); ++k)
                            pat.origin[k] = const_cast<char *>(row) + pat.dx[k] * item;
                        for (size_t j = 0; j < pat.ranks.size(); ++j)
                            pat.origin[pat.dx.size() + j] = ring_row(done, pat, pat.ranks[j]);
                        k_.range(pat.exec, pat.origin.data(), width, pat.ptr.data());
                    }
                }
            };
            for (Index y = ya; y < yb; y += 2) {
                // A last single row runs as a pair whose lower row, read
                // from a repeated image row, is thrown away.
                const bool pair = y + 1 < yb;
                const Index rel = y - ya;
                sorted_up_to(rel + p.o_hi - p.o_lo + pair);
                for (size_t i = 0; i < p.inputs.size(); ++i) {
                    const PairPlan::Input &in = p.inputs[i];
                    const Index o = !pair && in.o == p.o_hi ? p.o_hi - 1 : in.o;
                    if (in.buffered)
                        p.origin[i] = ring_row(rel + o - p.o_lo, p.patterns[static_cast<size_t>(in.pattern)], in.rank);
                    else
                        p.origin[i] = const_cast<char *>(image_row(z + in.dz, y + o)) + (x_lo_ + a + in.dx) * item;
                }
                p.origin[p.inputs.size()] = out + rel * out_pitch + a * item;
                p.origin[p.inputs.size() + 1] = pair ? out + (rel + 1) * out_pitch + a * item : spare_.data() + a * item;
                k_.range(p.exec, p.origin.data(), width, p.ptr.data());
            }
            if (b == count) break;
        }
        if (!direct_)
            for (Index y = ya; y < yb; ++y)
                for (Index x = x_lo_; x < x_hi_; ++x)
                    t_.out.put_value(z, y, x, load<T>(out + (y - ya) * out_pitch + (x - x_lo_) * item));
    }

    // Strips: the border columns of a block of rows with the same member
    // subset, vectorised along the columns of the image. The image columns
    // they read are copied transposed (a strip row per image column), so
    // that consecutive output rows are adjacent lanes. One program per
    // subset serves every border column: the members a column's windows
    // miss are filled with zeros and largest values as for gathered windows.
    struct KeyProgram {
        Key key;
        std::vector<Offset> members;  // the subset, in footprint order
        Index rank = 0;
        Exec exec;
        std::vector<char *> origin, ptr;
        Aligned scratch;
    };

    KeyProgram &key_program(const Key &key) {
        for (auto &p : key_programs_)
            if (p->key == key) return *p;
        auto p = std::make_unique<KeyProgram>();
        p->key = key;
        for (const Offset &o : f_.members)
            if (o.dz >= key[0] && o.dz <= key[1] && o.dy >= key[2] && o.dy <= key[3])
                p->members.push_back(o);
        if (!p->members.empty()) {
            p->rank = t_.rank_of[p->members.size()];
            const std::vector<ColumnOf> cols = columns_of(p->members);
            std::vector<net::Group> groups;
            for (const ColumnOf &c : cols) {
                net::Group g;
                g.values = c.member;
                groups.push_back(std::move(g));
            }
            p->exec = lower(net::select(static_cast<int>(p->members.size()), groups,
                                        static_cast<int>(p->rank), kQuickStrategies));
            const size_t vec = static_cast<size_t>(L_) * sizeof(T);
            p->scratch.resize(fit_block(p->exec, vec));
            scratch_table(p->exec, p->scratch.data, vec, p->ptr);
            p->origin.assign(static_cast<size_t>(p->exec.inputs + p->exec.outputs), nullptr);
        }
        key_programs_.push_back(std::move(p));
        return *key_programs_.back();
    }

    // Rows of zeros and of largest values, as long as a strip block.
    void constant_rows() {
        if (zeros_.data != nullptr) return;
        const size_t n = static_cast<size_t>(kStripRows + 2 * L_);
        zeros_.resize(n * sizeof(T));
        tops_.resize(n * sizeof(T));
        T *top = reinterpret_cast<T *>(tops_.data);
        for (size_t i = 0; i < n; ++i) top[i] = kTop;
    }

    // The border columns of rows [ya, yb) of plane z (yb - ya >= lanes).
    void strip_pass(Index z, Index ya, Index yb, const Key &key) {
        const Index item = sizeof(T);
        // Image columns read by the border windows.
        if (strip_column_.empty()) {
            strip_column_.assign(static_cast<size_t>(W_), -1);
            auto add = [&](Index x) {
                for (Index c = std::max<Index>(0, x + f_.lo[2]); c <= std::min(W_ - 1, x + f_.hi[2]); ++c)
                    if (strip_column_[static_cast<size_t>(c)] < 0) {
                        strip_column_[static_cast<size_t>(c)] = strip_columns_++;
                        strip_image_column_.push_back(c);
                    }
            };
            for (Index x = 0; x < W_; ++x)
                if (!vector_rows_ || x < x_lo_ || x >= x_hi_) {
                    strip_x_.push_back(x);
                    add(x);
                }
        }
        KeyProgram &p = key_program(key);
        if (p.members.empty()) {
            // The footprint's planes or rows all miss the image.
            for (Index x : strip_x_)
                for (Index y = ya; y < yb; ++y) t_.out.put_value(z, y, x, 0);
            return;
        }
        const Index planes = key[1] - key[0] + 1;
        const Index row0 = ya + key[2], rows = (yb - ya) + (key[3] - key[2]);
        const size_t need = static_cast<size_t>(planes * strip_columns_ * rows) * sizeof(T);
        if (strip_.raw.size() < need + 64) strip_.resize(need);
        T *strip = reinterpret_cast<T *>(strip_.data);
        for (Index p = 0; p < planes; ++p) {
            for (Index r = 0; r < rows; ++r) {
                const char *src = image_row(z + key[0] + p, row0 + r);
                T *dst = strip + p * strip_columns_ * rows + r;
                for (Index s = 0; s < strip_columns_; ++s)
                    dst[s * rows] = load<T>(src + strip_image_column_[static_cast<size_t>(s)] * item);
            }
        }
        if (strip_out_.raw.size() < static_cast<size_t>(yb - ya) * sizeof(T) + 64)
            strip_out_.resize(static_cast<size_t>(kStripRows + L_) * sizeof(T));
        constant_rows();
        for (Index x : strip_x_) {
            // The members of this column's windows inside the image.
            const Index first = std::max(f_.lo[2], -x), last = std::min(f_.hi[2], W_ - 1 - x);
            Index n = 0;
            for (const Offset &o : p.members) n += o.dx >= first && o.dx <= last;
            const Index low = n == 0 ? 0 : p.rank - t_.rank_of[static_cast<size_t>(n)];
            if (n == 0 || low < 0 || low > static_cast<Index>(p.members.size()) - n) {
                for (Index y = ya; y < yb; ++y) single(z, y, x, n == 0);
                continue;
            }
            Index filled = 0;
            for (size_t k = 0; k < p.members.size(); ++k) {
                const Offset &o = p.members[k];
                if (o.dx < first || o.dx > last) {
                    p.origin[k] = filled++ < low ? zeros_.data : tops_.data;
                    continue;
                }
                const Index s = strip_column_[static_cast<size_t>(x + o.dx)];
                p.origin[k] = reinterpret_cast<char *>(
                    strip + ((o.dz - key[0]) * strip_columns_ + s) * rows + (o.dy - key[2]));
            }
            p.origin[p.members.size()] = strip_out_.data;
            k_.range(p.exec, p.origin.data(), yb - ya, p.ptr.data());
            const T *res = reinterpret_cast<const T *>(strip_out_.data);
            if (direct_) {
                char *o = t_.out.data + z * t_.out.strides[0] + ya * t_.out.strides[1] + x * item;
                for (Index y = ya; y < yb; ++y, o += t_.out.strides[1]) std::memcpy(o, res + (y - ya), sizeof(T));
            } else {
                for (Index y = ya; y < yb; ++y) t_.out.put_value(z, y, x, res[y - ya]);
            }
        }
    }

    // Gathered windows -----------------------------------------------------

    // The members of a window inside the image when it is cut only by the
    // left or right border (columns first .. last of the footprint), as
    // byte offsets from the pixel, and the fill of the missing members.
    struct Cut {
        Index first, last;
        std::vector<std::pair<int, Index>> inside;  // member, offset
        std::vector<std::pair<int, T>> fill;        // member, value
        bool sort = false;                          // left to SortFill
        bool empty = false;                         // no member counted
    };

    const Cut &cut_of(Index x) {
        const Index first = std::max(f_.lo[2], -x), last = std::min(f_.hi[2], W_ - 1 - x);
        for (const Cut &c : cuts_)
            if (c.first == first && c.last == last) return c;
        Cut c;
        c.first = first;
        c.last = last;
        std::vector<int> missing;
        for (Index k = 0; k < f_.size(); ++k) {
            const Offset &o = f_.members[static_cast<size_t>(k)];
            if (o.dx >= first && o.dx <= last)
                c.inside.push_back({static_cast<int>(k), o.dz * t_.image.strides[0] +
                                                             o.dy * t_.image.strides[1] +
                                                             o.dx * Index(sizeof(T))});
            else
                missing.push_back(static_cast<int>(k));
        }
        const Index n = static_cast<Index>(c.inside.size());
        c.empty = n == 0;
        if (!c.empty) {
            const Index low = full_rank_ - t_.rank_of[static_cast<size_t>(n)];
            c.sort = low < 0 || low > static_cast<Index>(missing.size());
            for (size_t i = 0; i < missing.size(); ++i)
                c.fill.push_back({missing[i], static_cast<Index>(i) < low ? T(0) : kTop});
        }
        cuts_.push_back(std::move(c));
        return cuts_.back();
    }

    void gather_row(Index z, Index y, Index from, Index to) {
        if (from >= to) return;
        if (whole_ == nullptr) {
            // A few windows (corners) cost less one by one than the program.
            if (singles_ + (to - from) <= kFewWindows) {
                singles_ += to - from;
                if (!fallback_) fallback_ = std::make_unique<SortFill>(t_);
                fallback_->fill(z, y, from, to);
                return;
            }
            start_gather();
        }
        const Index vec = static_cast<Index>(L_) * Index(sizeof(T));
        const bool inner = interior_row(t_, z, y);
        for (Index x = from; x < to; ++x) {
            const int lane = batch_;
            auto slot = [&](int k) -> T & { return reinterpret_cast<T *>(values_.data + k * vec)[lane]; };
            if (inner) {
                // Only the left and right borders cut the window.
                const Cut &c = cut_of(x);
                if (c.empty || c.sort) {
                    single(z, y, x, c.empty);
                    continue;
                }
                const char *base = t_.image.at(z, y, x, sizeof(T));
                for (const auto &[k, off] : c.inside) slot(k) = load<T>(base + off);
                for (const auto &[k, v] : c.fill) slot(k) = v;
            } else {
                Index n = 0, missing = 0;
                for (Index k = 0; k < f_.size(); ++k) {
                    const Offset &o = f_.members[static_cast<size_t>(k)];
                    const Index zz = z + o.dz, yy = y + o.dy, xx = x + o.dx;
                    if (inside(t_.image, zz, yy, xx)) {
                        slot(static_cast<int>(k)) = load<T>(t_.image.at(zz, yy, xx, sizeof(T)));
                        ++n;
                    } else {
                        missing_[static_cast<size_t>(missing++)] = static_cast<int>(k);
                    }
                }
                const Index low = n == 0 ? 0 : full_rank_ - t_.rank_of[static_cast<size_t>(n)];
                if (n == 0 || low < 0 || low > missing) {
                    single(z, y, x, n == 0);
                    continue;
                }
                for (Index i = 0; i < missing; ++i) slot(missing_[static_cast<size_t>(i)]) = i < low ? T(0) : kTop;
            }
            where_[static_cast<size_t>(lane)] = {z, y, x};
            if (++batch_ == L_) flush();
        }
    }

    // A pixel outside the batches: an empty window, or ranks the missing
    // members cannot be filled for.
    void single(Index z, Index y, Index x, bool empty) {
        if (empty) {
            t_.out.put_value(z, y, x, 0);
            return;
        }
        if (!fallback_) fallback_ = std::make_unique<SortFill>(t_);
        fallback_->fill(z, y, x, x + 1);
    }

    void start_gather() {
        whole_ = &key_program({f_.lo[0], f_.hi[0], f_.lo[1], f_.hi[1]});
        const size_t vec = static_cast<size_t>(L_) * sizeof(T);
        values_.resize(static_cast<size_t>(f_.size()) * vec);
        result_.resize(vec);
        gather_origin_.assign(static_cast<size_t>(f_.size() + 1), nullptr);
        for (Index i = 0; i < f_.size(); ++i) gather_origin_[static_cast<size_t>(i)] = values_.data + i * vec;
        gather_origin_[static_cast<size_t>(f_.size())] = result_.data;
        missing_.assign(static_cast<size_t>(f_.size()), 0);
        where_.assign(static_cast<size_t>(L_), {0, 0, 0});
    }

    void flush() {
        if (batch_ == 0) return;
        k_.range(whole_->exec, gather_origin_.data(), L_, whole_->ptr.data());
        const T *r = reinterpret_cast<const T *>(result_.data);
        for (int lane = 0; lane < batch_; ++lane) {
            const auto &w = where_[static_cast<size_t>(lane)];
            if (direct_)
                std::memcpy(t_.out.data + w[0] * t_.out.strides[0] + w[1] * t_.out.strides[1] +
                                w[2] * Index(sizeof(T)),
                            r + lane, sizeof(T));
            else
                t_.out.put_value(w[0], w[1], w[2], r[lane]);
        }
        batch_ = 0;
    }

    const Task &t_;
    const Footprint &f_;
    const Kernels &k_;
    Index W_, H_, D_, x_lo_, x_hi_;
    int L_;
    bool vector_rows_, direct_;
    Index full_rank_;
    std::vector<char> row_out_, block_out_, spare_;
    std::unique_ptr<PairPlan> pair_;
    bool pair_checked_ = false;
    HotFn hot_ = nullptr;
    Aligned hot_buffer_;
    std::vector<std::pair<std::array<Index, 4>, std::unique_ptr<Plan>>> plans_;
    // gathering
    KeyProgram *whole_ = nullptr;  // the program of the whole footprint
    Aligned values_, result_;
    std::vector<char *> gather_origin_;
    std::vector<int> missing_;
    std::vector<std::array<Index, 3>> where_;
    int batch_ = 0;
    std::vector<Cut> cuts_;
    Index singles_ = 0;
    // strips
    std::vector<std::unique_ptr<KeyProgram>> key_programs_;
    Aligned zeros_, tops_;
    std::vector<Index> strip_column_, strip_image_column_, strip_x_;
    Index strip_columns_ = 0;
    Aligned strip_, strip_out_;
    std::unique_ptr<SortFill> fallback_;
};

} // namespace

// Largest footprint the method takes: beyond about 60 members the
// histogram methods cost less per pixel, and programs grow as m log^2 m.
constexpr Index kMaxMembers = 128;

bool network_applies(const Task &t) {
    return (t.item == 1 || t.item == 2 || t.item == 4) && t.stat == Stat::Rank &&
           !t.has_mask() && t.fp->size() >= 1 && t.fp->size() <= kMaxMembers;
}

namespace {

// The share of a median's operations that a rank q = min(p, 1 - p) of the
// way in needs (measured on squares and disks: 0.8 at q = 0.25, 0.4 at 0.1).
double rank_share(double q) {
    if (q <= 0.1) return 0.05 + 3.5 * q;
    if (q <= 0.25) return 0.4 + (q - 0.1) / 0.15 * 0.4;
    return 0.8 + (q - 0.25) / 0.25 * 0.2;
}

// Nanoseconds per pixel of the specialised kernels for the median, AVX2,
// 1024 x 1024 (128^3 for the ball), uint8 and uint16.
constexpr double kHotCost[kHotCount][3] = {
    {0.18, 0.30, 0.6}, {0.50, 0.95, 1.9}, {0.11, 0.19, 0.4}, {0.32, 0.57, 1.1}, {0.42, 0.65, 1.3}};

} // namespace

// Costs measured on the machine the engine is tuned on, one core.
double network_cost(const Task &t) {
    const Footprint &f = *t.fp;
    const double m = static_cast<double>(f.size());
    const Index n = f.size();
    const double p = n > 1 ? static_cast<double>(t.rank_of[static_cast<size_t>(n)]) / (m - 1) : 0.5;
    const double share = rank_share(std::min(p, 1 - p));
    const int column = t.item == 1 ? 0 : t.item == 2 ? 1 : 2;
    const double width = static_cast<double>(std::max<Index>(1, t.image.shape[2]));
    const double pixels =
        static_cast<double>(t.image.shape[0]) * t.image.shape[1] * t.image.shape[2];
    // Programs are built per call and band (border rows, border columns);
    // rows cost a little each, and their border columns about three
    // interior pixels each.
    const double build = 100.0 * static_cast<double>(f.shape[0] * f.shape[1]) * m *
                             std::log2(m + 1) + 10000.0;
    const double border = 1.0 + 3.0 * static_cast<double>(f.shape[2] - 1) / width;
    const double overhead = build / std::max(1.0, pixels) + 20.0 / width;
    const int hot = hot_shape_of(f);
    if (hot >= 0 && kernels_for(t.item).hot[hot] != nullptr)
        return kHotCost[hot][column] * (0.4 + 0.6 * share) * border + overhead;
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

void run_network(const Task &t, const Band &b, const Control &c) {
    const Kernels &k = kernels_for(t.item);
    if (t.item == 1)
        Driver<uint8_t>(t, k).run(b, c);
    else if (t.item == 2)
        Driver<uint16_t>(t, k).run(b, c);
    else
        Driver<uint32_t>(t, k).run(b, c);
}

} // namespace morvane::engine
