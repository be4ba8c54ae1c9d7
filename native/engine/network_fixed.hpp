// The network method's specialised footprints (3x3 and 5x5 squares, disks
// of radius 1 and 2, the ball of radius 1): their programs, built at compile
// time for every rank.
//
// A part of network.cpp, included once inside its unnamed namespace; no
// include guard.

// Specialised footprints ---------------------------------------------------

// The merge strategies (bits of net::select) that win somewhere for these
// footprints; trying the others only costs compile time.
constexpr uint32_t kHotStrategies = 0x10F;
constexpr int kHotMaxPlanes = 3, kHotMaxRows = 5, kHotMaxLen = 5;
constexpr Index kHotChunk = 256; // columns per chunk of the row-sorting kernel

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
// Shapes marked `by_columns` (squares) run otherwise where registers hold
// 64 bytes: the columns of each pair of output rows sorted once into
// buffer rows (per chunk of columns), and every window selecting from the
// k sorted columns it spans (a third of the operations of kFused for the
// 3 x 3; with 32-byte registers no faster than kFused, measured, nor with
// 64-byte ones split into halves, where it is slower).
enum HotMode { kFused, kRows };

struct HotShape {
    int planes, rows, cols, count;
    HotMode mode;
    std::array<HotGroup, 8> g;
    bool by_columns = false;
    constexpr int members() const {
        int m = 0;
        for (int i = 0; i < count; ++i) m += g[static_cast<size_t>(i)].len;
        return m;
    }
};

constexpr HotShape kSquare3{1, 3, 3, 3, kFused, {{{0, 0, 3, 0}, {0, 0, 3, 1}, {0, 0, 3, 2}}}};
// The same square by columns where 64-byte registers run at full width.
constexpr HotShape kSquare3Columns{
    1, 3, 3, 3, kFused, {{{0, 0, 3, 0}, {0, 0, 3, 1}, {0, 0, 3, 2}}}, true};
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
        for (int k = 0; k < c.ops; ++k)
            c.op[static_cast<size_t>(k)] = p.ops[static_cast<size_t>(k)];
        for (int j = 0; j < c.outs; ++j)
            c.out[static_cast<size_t>(j)] = p.outs[static_cast<size_t>(j)];
        return c;
    }();
    static constexpr Fixed<capped.ops, capped.outs> value = [] {
        Fixed<capped.ops, capped.outs> f;
        f.inputs = capped.inputs;
        for (int k = 0; k < capped.ops; ++k)
            f.ops[static_cast<size_t>(k)] = capped.op[static_cast<size_t>(k)];
        for (int j = 0; j < capped.outs; ++j)
            f.outs[static_cast<size_t>(j)] = capped.out[static_cast<size_t>(j)];
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

// Pairs pairs of output rows of a k x k square from their k + 2 Pairs - 1
// sorted image rows (inputs: row d's ranks at d * k ..): in each pair, the
// k - 1 rows both windows hold are merged once, then each adds its own row.
// Sorted: the rows come sorted; else they are sorted first, each once for
// every window that holds it (straight from the image).
template <const HotShape &S, int R, bool Sorted = true, int Pairs = 1>
constexpr net::Program rows_pair_program() {
    constexpr int k = S.rows, n = k + 2 * Pairs - 1;
    net::Graph g(n * k);
    std::vector<net::Chain> rows;
    for (int d = 0; d < n; ++d) {
        net::Chain c;
        for (int j = 0; j < k; ++j) c.push_back(d * k + j);
        if (!Sorted) c = net::sort(g, c);
        rows.push_back(c);
    }
    std::vector<int> outs;
    for (int p = 0; p < Pairs; ++p) {
        // Balanced merges beat sequential ones at every rank of the 5 x 5.
        const auto first = rows.begin() + 2 * p;
        const std::vector<net::Chain> shared(first + 1, first + k);
        const net::Chain common = net::merge_all(g, shared, true);
        std::vector<net::Chain> top, bottom;
        top.push_back(common);
        top.push_back(*first);
        bottom.push_back(common);
        bottom.push_back(*(first + k));
        outs.push_back(net::select_into(g, top, R, kHotStrategies));
        outs.push_back(net::select_into(g, bottom, R, kHotStrategies));
    }
    return net::prune(g, outs);
}

// How many more of the pairs (row of `in_rows` rows read from `in`, row of
// `out_rows` written from `out`, pitches apart) lie near ahead than near
// behind, modulo 4 KiB: above 0, a kernel walks its columns from the
// right. A load whose address matches a pending store's in its low 12 bits
// waits for that store (the core compares only those bits before it knows
// the whole address): walking from the left, stores just ahead of the
// loads are met by the next vectors' loads, which costs a 3 x 3 median or
// a disk of radius 1 up to a third more time (float32, 64 bytes ahead; an
// np.empty_like allocated right after its image often lies a few dozen
// bytes ahead of it). From the right those stores are behind the loads.
inline int stores_ahead(const char *in, Index in_pitch, int in_rows, const char *out,
                        Index out_pitch, int out_rows) {
    constexpr uintptr_t kPage = 4096, kNear = 192;
    const uintptr_t a = reinterpret_cast<uintptr_t>(in), b = reinterpret_cast<uintptr_t>(out);
    int ahead = 0;
    for (int i = 0; i < in_rows; ++i)
        for (int j = 0; j < out_rows; ++j) {
            const uintptr_t d = (b + static_cast<uintptr_t>(j * out_pitch) - a -
                                 static_cast<uintptr_t>(i * in_pitch)) %
                                kPage;
            ahead += (d < kNear) - (kPage - d < kNear);
        }
    return ahead;
}

// The order an unrolled kernel runs a fixed program in: operations by
// depth, and each input loaded just before its first use, so that few
// values are live at once (its inputs all loaded first, a program keeps
// more values than there are vector registers). Step s is an input
// (step[s] < 0: input -1 - step[s]) or operation step[s].
template <const auto &F> struct Schedule {
    static constexpr int kValues = F.inputs + static_cast<int>(F.ops.size());
    struct Order {
        int steps = 0;
        std::array<int, kValues> step{};
    };
    static constexpr Order order = [] {
        Order o;
        std::array<int, kValues> depth{};
        int deepest = 0;
        for (size_t k = 0; k < F.ops.size(); ++k) {
            const net::Op &op = F.ops[k];
            const int d =
                1 + std::max(depth[static_cast<size_t>(op.a)], depth[static_cast<size_t>(op.b)]);
            depth[static_cast<size_t>(F.inputs) + k] = d;
            deepest = std::max(deepest, d);
        }
        std::array<bool, kValues> done{};
        for (int d = 1; d <= deepest; ++d)
            for (size_t k = 0; k < F.ops.size(); ++k) {
                if (depth[static_cast<size_t>(F.inputs) + k] != d) continue;
                const net::Op &op = F.ops[k];
                for (int v : {op.a, op.b})
                    if (v < F.inputs && !done[static_cast<size_t>(v)]) {
                        done[static_cast<size_t>(v)] = true;
                        o.step[static_cast<size_t>(o.steps++)] = -1 - v;
                    }
                o.step[static_cast<size_t>(o.steps++)] = static_cast<int>(k);
            }
        for (size_t j = 0; j < F.outs.size(); ++j) {
            const int v = F.outs[j];
            if (v < F.inputs && !done[static_cast<size_t>(v)]) {
                done[static_cast<size_t>(v)] = true;
                o.step[static_cast<size_t>(o.steps++)] = -1 - v;
            }
        }
        return o;
    }();
    static constexpr int kSteps = order.steps;
};

// Where a fixed program's inputs come from: input i is pixel column
// col[i] of base pointer base[i] (an image row, or a buffer row). Shared
// bases and displacements known when compiling keep a kernel's pointers in
// registers.
template <int N> struct Sources {
    std::array<int, N> base{}, col{};
};

// Input i from base i.
template <int N> constexpr Sources<N> own_bases() {
    Sources<N> s;
    for (int i = 0; i < N; ++i) s.base[static_cast<size_t>(i)] = i;
    return s;
}

// The inputs of hot_fused_program<S, ...> as image rows and columns: row
// dz * (kHotMaxRows + 1) + dy of a table of row pointers, column dx.
template <const HotShape &S> struct HotSources {
    static constexpr int kInputs = [] {
        int n = 0;
        for (int i = 0; i < S.count; ++i) n += S.g[static_cast<size_t>(i)].len + 1;
        return n;
    }();
    static constexpr Sources<kInputs> value = [] {
        Sources<kInputs> t;
        size_t k = 0;
        for (int i = 0; i < S.count; ++i) {
            const HotGroup &g = S.g[static_cast<size_t>(i)];
            for (int j = 0; j <= g.len; ++j, ++k) {
                t.base[k] = g.dz * (kHotMaxRows + 1) + g.dy0 + j;
                t.col[k] = g.dx;
            }
        }
        return t;
    }();
};

// The columns of a pair of output rows of a k x k square, sorted: inputs
// the k + 1 image rows of one column, outputs the upper window's k rows
// sorted (ascending), then the lower window's.
template <const HotShape &S> constexpr net::Program column_pair_program() {
    constexpr int k = S.rows;
    net::Graph g(k + 1);
    net::Chain mid;
    for (int d = 1; d < k; ++d) mid.push_back(d);
    mid = net::sort(g, mid);
    const net::Chain top = net::insert(g, mid, 0), bottom = net::insert(g, mid, k);
    std::vector<int> outs(top.begin(), top.end());
    outs.insert(outs.end(), bottom.begin(), bottom.end());
    return net::prune(g, outs);
}

// Rank R of the windows of a pair of output rows from their sorted
// columns: input (h * k + dx) * k + j is rank j of column dx of window h
// (0 upper, 1 lower).
template <const HotShape &S, int R> constexpr net::Program columns_select_program() {
    constexpr int k = S.rows;
    net::Graph g(2 * k * k);
    std::vector<int> outs;
    for (int h = 0; h < 2; ++h) {
        std::vector<net::Chain> columns;
        for (int dx = 0; dx < k; ++dx) {
            net::Chain c;
            for (int j = 0; j < k; ++j) c.push_back((h * k + dx) * k + j);
            columns.push_back(c);
        }
        outs.push_back(net::select_into(g, columns, R, kHotStrategies));
    }
    return net::prune(g, outs);
}

// The inputs of columns_select_program as buffer rows (h * k + j, as
// column_pair_program writes them) and columns dx.
template <const HotShape &S> struct ColumnSources {
    static constexpr int k = S.rows;
    static constexpr Sources<2 *k *k> value = [] {
        Sources<2 * k * k> t;
        for (int i = 0; i < 2 * k * k; ++i) {
            t.base[static_cast<size_t>(i)] = (i / (k * k)) * k + i % k;
            t.col[static_cast<size_t>(i)] = (i % (k * k)) / k;
        }
        return t;
    }();
};

template <const HotShape &S> struct HotColumnPair {
    static constexpr const auto &program = Fix<&column_pair_program<S>>::value;
};

template <const HotShape &S, int R> struct HotColumnsSelect {
    static constexpr const auto &program = Fix<&columns_select_program<S, R>>::value;
};

template <const HotShape &S, int R> struct HotRowsPair {
    static constexpr const auto &program = Fix<&rows_pair_program<S, R>>::value;
};

template <const HotShape &S, int R> struct HotFused {
    static constexpr const auto &program = Fix<&hot_fused_program<S, R>>::value;
};

// A square's Pairs pairs of output rows straight from the image with each
// image row sorted once for all its windows (hot_fused_program sorts each
// column again for every window that spans it): inputs d * k + j are image
// row d (0 .. k + 2 Pairs - 2), column j. Taken at the ranks where a pair
// has fewer operations (the 3 x 3's median: 46 against 54). Two pairs in
// one program (80 operations for the median) on AVX-512: a uint8 megapixel
// 0.087 to 0.075 ms, uint16 0.148 to 0.130, float32 the same; on AVX2, with
// half the registers, no faster.
template <const HotShape &S, int R, int Pairs = 1> struct HotFusedRows {
    static constexpr int kBases = S.rows + 2 * Pairs - 1;
    static constexpr int kInputs = kBases * S.rows;
    static constexpr const auto &program = Fix<&rows_pair_program<S, R, false, Pairs>>::value;
    static constexpr Sources<kInputs> sources = [] {
        Sources<kInputs> t;
        for (int i = 0; i < kInputs; ++i) {
            t.base[static_cast<size_t>(i)] = i / S.rows;
            t.col[static_cast<size_t>(i)] = i % S.rows;
        }
        return t;
    }();
};

// Whether a shape's kernel at rank R takes its pairs of output rows by rows
// (squares only), not by columns.
template <const HotShape &S, int R> constexpr bool fused_by_rows() {
    if constexpr (S.planes == 1 && S.members() == S.rows * S.cols)
        return HotFusedRows<S, R>::program.ops.size() < HotFused<S, R>::program.ops.size();
    else
        return false;
}

// The k values of a sliding window of a row, sorted.
template <int L> constexpr net::Program sorted_window_program() {
    std::vector<int> all;
    for (int j = 0; j < L; ++j) all.push_back(j);
    return net::sorted_ranks(L, all);
}

// A block of interior output rows for a specialised kernel.
struct HotBlock {
    const char *origin; // image pixel under the first window's first member plane, row, column
    Index row_pitch, plane_pitch;
    char *out; // output pixel of the first window
    Index out_pitch;
    Index rows, count; // output rows; windows per row (interior columns)
    char *spare;       // a row of count values for results thrown away
};
using HotFn = void (*)(const HotBlock &, char *);

// Bytes of image row per chunk of the column-sorting kernel: its buffer
// rows stay in L1, and a chunk's first sorted columns have left the store
// buffer when the windows read them.
constexpr Index kColumnChunkBytes = 1024;

// Bytes of scratch a specialised kernel may use.
constexpr size_t kHotBuffer = (kHotMaxRows + 2) * kHotMaxLen * (kHotChunk + 32) * 4;
