// The network method's programs as its interpreter runs them: operations
// on slots of vectors, lowered from a selection program, in blocks that fit
// the scratch memory.
//
// A part of network.cpp, included once inside its unnamed namespace; no
// include guard.

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
    int block = 1; // vectors per interpreted operation: 1, 2, 4, 8 or 16
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
        const int dx = depth[static_cast<size_t>(p.inputs + x)],
                  dy = depth[static_cast<size_t>(p.inputs + y)];
        if (dx != dy) return dx < dy;
        return p.ops[static_cast<size_t>(x)].kind < p.ops[static_cast<size_t>(y)].kind;
    });
    std::vector<int> id(static_cast<size_t>(p.inputs + n));
    for (int i = 0; i < p.inputs; ++i) id[static_cast<size_t>(i)] = i;
    for (int k = 0; k < n; ++k)
        id[static_cast<size_t>(p.inputs + order[static_cast<size_t>(k)])] = p.inputs + k;
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
    while (e.block > 1 && static_cast<size_t>(e.slots) * e.block * vec > kScratchBytes)
        e.block /= 2;
    return static_cast<size_t>(e.slots) * e.block * vec + vec;
}

// Points the scratch entries of a pointer table at their slots.
void scratch_table(const Exec &e, char *scratch, size_t vec, std::vector<char *> &ptr) {
    ptr.assign(static_cast<size_t>(e.table()), nullptr);
    for (int s = 0; s < e.slots; ++s)
        ptr[static_cast<size_t>(e.inputs + e.outputs + s)] =
            scratch + static_cast<size_t>(s) * e.block * vec;
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
            if (last[static_cast<size_t>(v)] == k && w >= slot0 &&
                !is_free[static_cast<size_t>(w - slot0)]) {
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
        e.ops.push_back({static_cast<uint16_t>(dst),
                         static_cast<uint16_t>(where[static_cast<size_t>(o.a)]),
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
