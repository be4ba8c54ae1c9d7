// The network method's plans: how the windows of a footprint share their
// sorted columns (pass A, pass B) or their sorted rows in vertical pairs,
// built once per call and band.
//
// A part of network.cpp, included once inside its unnamed namespace; no
// include guard.

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
        bool buffered; // from a buffer row (else from the image)
        Index dz, dy, dx;
        int buffer; // buffer row, when buffered; -1 when never read
    };
    struct Column {
        Index dz;
        std::vector<Index> dy;
        Exec exec;
        std::vector<int> rows; // buffer row of each output
        std::vector<char *> origin, ptr;
    };
    bool empty = false;          // no member counted: the answer is 0
    std::vector<Column> columns; // pass A
    Exec select;                 // pass B
    std::vector<Input> inputs;
    std::vector<char *> origin, ptr;
    int buffers = 0;
    Index chunk = 0, pitch = 0; // output columns per chunk; pixels per buffer row
    Aligned scratch, buffer;
};

// The groups of a member subset: one per (dz, dx), members by dy.
struct ColumnOf {
    Index dz, dx;
    std::vector<Index> dy;
    std::vector<int> member; // index into the subset
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

std::unique_ptr<Plan> build_plan(const std::vector<Offset> &members, Index rank, bool quick) {
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
        while (p < patterns.size() &&
               !(patterns[p].dz == cols[c].dz && patterns[p].dy == cols[c].dy))
            ++p;
        if (p == patterns.size()) patterns.push_back({cols[c].dz, cols[c].dy, 0});
        ++patterns[p].uses;
        pattern_of[c] = static_cast<int>(p);
    }
    std::vector<net::Group> groups;
    struct Source {
        int pattern, rank; // pattern < 0: image member
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
            const int row =
                used[i] ? buffer_of[static_cast<size_t>(s.pattern)][static_cast<size_t>(s.rank)]
                        : -1;
            plan->inputs.push_back({true, s.dz, 0, s.dx, row});
        } else {
            plan->inputs.push_back({false, s.dz, s.dy, s.dx, 0});
        }
    }
    plan->select = lower(select);
    return plan;
}

// Plans and programs built for earlier calls, by what they were built
// from: building one costs about as much as filtering thousands of pixels,
// copying it a few allocations. Shared by every call and thread; dropped
// whole when it holds too many operations.
class Built {
public:
    using Key = std::vector<Index>;

    // A copy of the plan for `members` at `rank`, built if not yet known.
    std::unique_ptr<Plan> plan(const std::vector<Offset> &members, Index rank, bool quick) {
        Key key{rank, quick ? 1 : 0};
        append(key, members);
        return find_or_make(
            plans_, std::move(key),
            [&] {
                auto made = build_plan(members, rank, quick);
                size_t ops = made->select.ops.size();
                for (const Plan::Column &c : made->columns) ops += c.exec.ops.size();
                return std::make_pair(std::move(made), ops);
            },
            [](const std::unique_ptr<Plan> &p) { return copy(*p); });
    }

    // The program `make` builds for `members` at `rank` (from them alone).
    template <class Make> Exec exec(const std::vector<Offset> &members, Index rank, Make make) {
        Key key{rank};
        append(key, members);
        return find_or_make(
            execs_, std::move(key),
            [&] {
                Exec e = make();
                const size_t ops = e.ops.size();
                return std::make_pair(std::move(e), ops);
            },
            [](const Exec &e) { return e; });
    }

private:
    static constexpr size_t kMaxOps = size_t{1} << 20;

    static void append(Key &key, const std::vector<Offset> &members) {
        for (const Offset &o : members) {
            key.push_back(o.dz);
            key.push_back(o.dy);
            key.push_back(o.dx);
        }
    }
    static std::unique_ptr<Plan> copy(const Plan &p) {
        auto c = std::make_unique<Plan>();
        c->empty = p.empty;
        c->columns = p.columns;
        c->select = p.select;
        c->inputs = p.inputs;
        c->buffers = p.buffers;
        return c;
    }
    // What `out` gives of the value kept under `key` in `map`, made (with
    // its count of operations) by `make` if not yet there.
    template <class V, class Make, class Out>
    std::invoke_result_t<Out, const V &> find_or_make(std::map<Key, V> &map, Key key, Make make,
                                                      Out out) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = map.find(key);
            if (it != map.end()) return out(it->second);
        }
        auto [value, ops] = make();
        auto result = out(value);
        std::lock_guard<std::mutex> lock(mutex_);
        make_room(ops);
        map.emplace(std::move(key), std::move(value));
        return result;
    }
    void make_room(size_t ops) {
        ops_ += ops;
        if (ops_ <= kMaxOps) return;
        plans_.clear();
        execs_.clear();
        ops_ = ops;
    }

    std::mutex mutex_;
    std::map<Key, std::unique_ptr<Plan>> plans_;
    std::map<Key, Exec> execs_;
    size_t ops_ = 0;
};

Built &built() {
    static Built b;
    return b;
}

std::unique_ptr<Plan> make_plan(const std::vector<Offset> &members, Index rank, bool quick) {
    return built().plan(members, rank, quick);
}

// Interior rows in vertical pairs: the values of each footprint row
// (members sharing dz and dy) are sorted once per image row into a ring of
// buffer rows, and two windows one above the other share the merge of the
// rows they both hold.
struct PairPlan {
    struct Pattern {
        Index dz;
        std::vector<Index> dx;
        std::vector<int> ranks; // sorted ranks kept
        int first = 0;          // its first buffer row within a ring slot
        Exec exec;
        std::vector<char *> origin, ptr;
    };
    struct Input {
        bool buffered; // from the ring (else from the image)
        Index dz, o;   // plane; image row offset from the upper output row
        int pattern, rank;
        Index dx; // for image inputs
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
        if (rows.empty() || rows.back().dz != o.dz || rows.back().dy != o.dy)
            rows.push_back({o.dz, o.dy, {}});
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
            if (q.buffered == in.buffered && q.dz == in.dz && q.o == in.o &&
                q.pattern == in.pattern && q.rank == in.rank && q.dx == in.dx)
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
        (std::find(below.begin(), below.end(), c) != below.end() ? shared : upper_only)
            .push_back(c);
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
                std::find(pat.ranks.begin(), pat.ranks.end(), plan->inputs[i].rank) ==
                    pat.ranks.end())
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
