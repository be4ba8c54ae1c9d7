// Selection networks for the network method: programs of min and max
// operations that give one rank of a set of values, built from sorted
// chains (sorted columns of the footprint) by merging, and pruned to the
// operations the wanted outputs depend on.
//
// Everything here is constexpr: the same code builds the programs of the
// specialised kernels at compile time and those of any other footprint at
// run time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace morvane::engine::net {

enum OpKind : uint8_t { kMin = 0, kMax = 1 };

// An operation of a program in SSA form: operation k of a graph with
// `inputs` inputs defines the value inputs + k.
struct Op {
    int a, b;
    OpKind kind;
};

struct Graph {
    int inputs = 0;
    std::vector<Op> ops;

    constexpr Graph() = default;
    constexpr explicit Graph(int n) : inputs(n) {}

    constexpr int add(OpKind k, int a, int b) {
        ops.push_back({a, b, k});
        return inputs + static_cast<int>(ops.size()) - 1;
    }
    // Compare-exchange: (min, max). Unused halves are pruned later.
    constexpr std::pair<int, int> exchange(int a, int b) {
        const int lo = add(kMin, a, b);
        const int hi = add(kMax, a, b);
        return {lo, hi};
    }
};

// Values in ascending order.
using Chain = std::vector<int>;

// Sorting networks of the fewest compare-exchanges for 2 to 8 values.
inline constexpr int kSmallSize[9] = {0, 0, 1, 3, 5, 9, 12, 16, 19};
inline constexpr int kSmall[9][19][2] = {
    {},
    {},
    {{0, 1}},
    {{0, 2}, {0, 1}, {1, 2}},
    {{0, 1}, {2, 3}, {0, 2}, {1, 3}, {1, 2}},
    {{0, 1}, {3, 4}, {2, 4}, {2, 3}, {0, 3}, {0, 2}, {1, 4}, {1, 3}, {1, 2}},
    {{1, 2},
     {4, 5},
     {0, 2},
     {3, 5},
     {0, 1},
     {3, 4},
     {2, 5},
     {0, 3},
     {1, 4},
     {2, 4},
     {1, 3},
     {2, 3}},
    {{1, 2},
     {3, 4},
     {5, 6},
     {0, 2},
     {3, 5},
     {4, 6},
     {0, 1},
     {4, 5},
     {2, 6},
     {0, 4},
     {1, 5},
     {0, 3},
     {2, 5},
     {1, 3},
     {2, 4},
     {2, 3}},
    {{0, 2},
     {1, 3},
     {4, 6},
     {5, 7},
     {0, 4},
     {1, 5},
     {2, 6},
     {3, 7},
     {0, 1},
     {2, 3},
     {4, 5},
     {6, 7},
     {2, 4},
     {3, 5},
     {1, 4},
     {3, 6},
     {1, 2},
     {3, 4},
     {5, 6}},
};

// Batcher's odd-even merge over positions lo .. lo+n-1 taken r apart (n a
// power of two); empty positions (-1) stand for values above all others,
// so exchanges with them cost nothing.
constexpr void odd_even_merge(Graph &g, std::vector<int> &pos, int lo, int n, int r) {
    auto cmp = [&](int i, int j) {
        if (pos[j] < 0) return;
        if (pos[i] < 0) {
            pos[i] = pos[j];
            pos[j] = -1;
            return;
        }
        const auto [a, b] = g.exchange(pos[i], pos[j]);
        pos[i] = a;
        pos[j] = b;
    };
    const int step = 2 * r;
    if (step < n) {
        odd_even_merge(g, pos, lo, n, step);
        odd_even_merge(g, pos, lo + r, n, step);
        for (int i = lo + r; i + r < lo + n; i += step) cmp(i, i + r);
    } else {
        cmp(lo, lo + r);
    }
}

// One value into a chain: each output is a clamp, two operations.
constexpr Chain insert(Graph &g, const Chain &c, int v) {
    Chain out;
    const int n = static_cast<int>(c.size());
    out.push_back(g.add(kMin, v, c[0]));
    for (int j = 1; j < n; ++j) out.push_back(g.add(kMax, c[j - 1], g.add(kMin, v, c[j])));
    out.push_back(g.add(kMax, v, c[n - 1]));
    return out;
}

constexpr Chain merge(Graph &g, const Chain &a, const Chain &b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    if (a.size() == 1) return insert(g, b, a[0]);
    if (b.size() == 1) return insert(g, a, b[0]);
    int half = 1;
    while (half < static_cast<int>(std::max(a.size(), b.size()))) half *= 2;
    std::vector<int> pos(static_cast<size_t>(2 * half), -1);
    for (size_t i = 0; i < a.size(); ++i) pos[i] = a[i];
    for (size_t i = 0; i < b.size(); ++i) pos[half + i] = b[i];
    odd_even_merge(g, pos, 0, 2 * half, 1);
    Chain out;
    for (int v : pos)
        if (v >= 0) out.push_back(v);
    return out;
}

constexpr Chain sort(Graph &g, Chain v) {
    const int n = static_cast<int>(v.size());
    if (n <= 8) {
        for (int k = 0; k < kSmallSize[n]; ++k) {
            const int i = kSmall[n][k][0], j = kSmall[n][k][1];
            const auto [lo, hi] = g.exchange(v[i], v[j]);
            v[i] = lo;
            v[j] = hi;
        }
        return v;
    }
    const Chain left(v.begin(), v.begin() + n / 2), right(v.begin() + n / 2, v.end());
    return merge(g, sort(g, left), sort(g, right));
}

// Rank k of the union of two chains: the largest of min(a[i], b[k - i]), or
// the smallest of max(a[i], b[k - 1 - i]); whichever needs fewer operations.
constexpr int select2(Graph &g, const Chain &a, const Chain &b, int k) {
    const int na = static_cast<int>(a.size()), nb = static_cast<int>(b.size());
    // Visits the pairs (a[i], b[j]) of one form; ia/jb: whether each side has
    // a member there.
    auto pairs = [&](bool low, auto &&visit) {
        for (int i = -1; i <= na; ++i) {
            const int j = low ? k - i : k - 1 - i;
            if (low ? (i < 0 || j < 0 || j > nb) : (j < -1 || j >= nb)) continue;
            const bool ia = low ? i < na : i >= 0, jb = low ? j < nb : j >= 0;
            if (ia || jb) visit(i, j, ia, jb);
        }
    };
    auto count = [&](bool low) {
        int ops = -1;
        pairs(low, [&](int, int, bool ia, bool jb) { ops += (ia && jb) ? 2 : 1; });
        return ops;
    };
    const bool low = count(true) <= count(false);
    int acc = -1;
    pairs(low, [&](int i, int j, bool ia, bool jb) {
        int v;
        if (ia && jb)
            v = g.add(low ? kMin : kMax, a[i], b[j]);
        else
            v = ia ? a[i] : b[j];
        acc = acc < 0 ? v : g.add(low ? kMax : kMin, acc, v);
    });
    return acc;
}

// Drops the values of the chains that cannot be rank r of the n values
// (those with more than r known below, or n - r known above), adjusting n
// and r; empty chains go.
constexpr void trim(std::vector<Chain> &chains, int &n, int &r) {
    bool changed = true;
    while (changed) {
        changed = false;
        for (Chain &c : chains) {
            if (static_cast<int>(c.size()) > r + 1) {
                n -= static_cast<int>(c.size()) - (r + 1);
                c.resize(static_cast<size_t>(r + 1));
                changed = true;
            }
            const int cut = static_cast<int>(c.size()) - (n - r);
            if (cut > 0) {
                c.erase(c.begin(), c.begin() + cut);
                n -= cut;
                r -= cut;
                changed = true;
            }
        }
        std::erase_if(chains, [](const Chain &c) { return c.empty(); });
    }
}

enum class Order { Balanced, Sequential, SmallFirst, LargeFirst };

// Rank r of the union of sorted chains, merging them in the given order
// and dropping what can no longer be the answer after each merge.
constexpr int select_merging(Graph &g, std::vector<Chain> chains, int r, Order order,
                             bool pair_formula) {
    int n = 0;
    for (const Chain &c : chains) n += static_cast<int>(c.size());
    trim(chains, n, r);
    while (chains.size() > 1) {
        if (chains.size() == 2 && pair_formula) return select2(g, chains[0], chains[1], r);
        if (order == Order::Balanced) {
            std::vector<Chain> next;
            for (size_t i = 0; i + 1 < chains.size(); i += 2)
                next.push_back(merge(g, chains[i], chains[i + 1]));
            if (chains.size() % 2) next.push_back(chains.back());
            chains = std::move(next);
        } else {
            if (order != Order::Sequential) {
                // Stable insertion sort by length (std::stable_sort is not constexpr).
                const bool small = order == Order::SmallFirst;
                for (size_t i = 1; i < chains.size(); ++i)
                    for (size_t j = i; j > 0; --j) {
                        const size_t x = chains[j - 1].size(), y = chains[j].size();
                        if (small ? y >= x : y <= x) break;
                        std::swap(chains[j - 1], chains[j]);
                    }
            }
            Chain m = merge(g, chains[0], chains[1]);
            chains.erase(chains.begin());
            chains[0] = std::move(m);
        }
        trim(chains, n, r);
    }
    return chains[0][static_cast<size_t>(r)];
}

// Equal chains side by side form a matrix sorted down its columns; sorting
// its rows too leaves value (i, j) with at least (i+1)(j+1)-1 values below
// and (rows-i)(cols-j)-1 above, which rules out its corners at once.
constexpr int select_rows_first(Graph &g, const std::vector<Chain> &chains, int r, Order order,
                                bool pair_formula) {
    const int cols = static_cast<int>(chains.size());
    const int rows = static_cast<int>(chains[0].size());
    const int n = rows * cols;
    std::vector<Chain> kept;
    int below = 0;
    for (int i = 0; i < rows; ++i) {
        int first = cols, last = -1;
        for (int j = 0; j < cols; ++j) {
            if ((i + 1) * (j + 1) - 1 >= r + 1) continue;
            if ((rows - i) * (cols - j) - 1 >= n - r) {
                ++below;
                continue;
            }
            first = std::min(first, j);
            last = j;
        }
        if (last < 0) continue;
        // A single rank of the row is selected, not sorted for: a pruned
        // sorting network leaves more than e.g. the two operations of a max
        // of three.
        if (first == last) {
            std::vector<Chain> singles;
            for (const Chain &c : chains) singles.push_back(Chain(1, c[static_cast<size_t>(i)]));
            kept.push_back(Chain(1, select_merging(g, singles, first, Order::Sequential, true)));
            continue;
        }
        Chain row;
        for (const Chain &c : chains) row.push_back(c[static_cast<size_t>(i)]);
        row = sort(g, row);
        kept.push_back(Chain(row.begin() + first, row.begin() + last + 1));
    }
    return select_merging(g, kept, r - below, order, pair_formula);
}

// All chains merged into one: in pairs (balanced) or one after another.
constexpr Chain merge_all(Graph &g, std::vector<Chain> chains, bool balanced) {
    if (chains.empty()) return {};
    while (chains.size() > 1) {
        if (balanced) {
            std::vector<Chain> next;
            for (size_t i = 0; i + 1 < chains.size(); i += 2)
                next.push_back(merge(g, chains[i], chains[i + 1]));
            if (chains.size() % 2) next.push_back(chains.back());
            chains = std::move(next);
        } else {
            Chain m = merge(g, chains[0], chains[1]);
            chains.erase(chains.begin());
            chains[0] = std::move(m);
        }
    }
    return chains[0];
}

// Rank r of the union of chains already in g, appended to g by the
// cheapest of the strategies in the mask (bits as for select below).
constexpr int select_into(Graph &g, const std::vector<Chain> &chains, int r, uint32_t strategies);

// A program: the operations the outputs depend on, in SSA form.
struct Program {
    int inputs = 0;
    std::vector<Op> ops;
    std::vector<int> outs;

    constexpr int size() const { return static_cast<int>(ops.size()); }
    // Whether input i is read (or is itself an output).
    constexpr std::vector<char> inputs_used() const {
        std::vector<char> used(static_cast<size_t>(inputs), false);
        for (const Op &o : ops) {
            if (o.a < inputs) used[static_cast<size_t>(o.a)] = true;
            if (o.b < inputs) used[static_cast<size_t>(o.b)] = true;
        }
        for (int v : outs)
            if (v < inputs) used[static_cast<size_t>(v)] = true;
        return used;
    }
};

constexpr Program prune(const Graph &g, const std::vector<int> &outs) {
    const int total = g.inputs + static_cast<int>(g.ops.size());
    std::vector<char> live(static_cast<size_t>(total), false);
    for (int v : outs) live[static_cast<size_t>(v)] = true;
    for (int k = static_cast<int>(g.ops.size()) - 1; k >= 0; --k) {
        if (!live[static_cast<size_t>(g.inputs + k)]) continue;
        live[static_cast<size_t>(g.ops[k].a)] = true;
        live[static_cast<size_t>(g.ops[k].b)] = true;
    }
    std::vector<int> id(static_cast<size_t>(total), -1);
    for (int i = 0; i < g.inputs; ++i) id[static_cast<size_t>(i)] = i;
    Program p;
    p.inputs = g.inputs;
    for (int k = 0; k < static_cast<int>(g.ops.size()); ++k) {
        if (!live[static_cast<size_t>(g.inputs + k)]) continue;
        const Op &o = g.ops[static_cast<size_t>(k)];
        id[static_cast<size_t>(g.inputs + k)] = p.inputs + p.size();
        p.ops.push_back({id[static_cast<size_t>(o.a)], id[static_cast<size_t>(o.b)], o.kind});
    }
    for (int v : outs) p.outs.push_back(id[static_cast<size_t>(v)]);
    return p;
}

// A group of values: a column of the footprint. Sorted groups come sorted
// (ascending, by an earlier pass); the others are sorted here first.
struct Group {
    std::vector<int> values;
    bool sorted = false;
};

// The program giving rank r of the values of all groups (inputs 0 ..
// inputs-1), the cheapest of the strategies in the mask (bit s: strategy
// s below) or of all of them.
constexpr Program select(int inputs, const std::vector<Group> &groups, int r,
                         uint32_t strategies = ~0u) {
    Program best;
    bool have = false;
    bool unsorted = false;
    for (const Group &grp : groups) unsorted = unsorted || (!grp.sorted && grp.values.size() > 1);
    for (int strategy = 0; strategy < 20; ++strategy) {
        // Unsorted groups are sorted first, or (when only a few of their
        // values matter) taken value by value.
        const bool singles = strategy >= 10;
        if (singles && !unsorted) break;
        if (!((strategies >> strategy) & 1u)) continue;
        const bool rows_first = strategy % 10 >= 8;
        const Order order = static_cast<Order>(strategy % 10 % 4);
        const bool pair_formula = (strategy % 10 / 4) % 2 == 0;
        Graph g(inputs);
        std::vector<Chain> chains;
        for (const Group &grp : groups) {
            if (grp.values.empty()) continue;
            if (grp.sorted) {
                chains.push_back(grp.values);
            } else if (singles) {
                for (int v : grp.values) chains.push_back(Chain(1, v));
            } else {
                chains.push_back(sort(g, grp.values));
            }
        }
        // With two chains or fewer the merge order makes no difference.
        if (order != Order::Balanced && chains.size() <= 2) continue;
        if (rows_first) {
            bool equal = chains.size() >= 2 && chains[0].size() >= 2;
            for (const Chain &c : chains) equal = equal && c.size() == chains[0].size();
            if (!equal) continue;
        }
        const int out = rows_first ? select_rows_first(g, chains, r, order, pair_formula)
                                   : select_merging(g, chains, r, order, pair_formula);
        const std::vector<int> outs(1, out);
        Program p = prune(g, outs);
        if (!have || p.size() < best.size()) {
            best = std::move(p);
            have = true;
        }
    }
    return best;
}

// The program sorting `n` inputs that gives the ranks `wanted` (in order).
constexpr Program sorted_ranks(int n, const std::vector<int> &wanted) {
    Graph g(n);
    Chain v;
    for (int i = 0; i < n; ++i) v.push_back(i);
    const Chain s = sort(g, v);
    std::vector<int> outs;
    for (int j : wanted) outs.push_back(s[static_cast<size_t>(j)]);
    return prune(g, outs);
}

} // namespace morvane::engine::net

namespace morvane::engine::net {

constexpr int select_into(Graph &g, const std::vector<Chain> &chains, int r, uint32_t strategies) {
    Graph best;
    int best_out = -1, best_size = 0;
    for (int strategy = 0; strategy < 10; ++strategy) {
        if (!((strategies >> strategy) & 1u)) continue;
        const bool rows_first = strategy >= 8;
        const Order order = static_cast<Order>(strategy % 4);
        const bool pair_formula = (strategy / 4) % 2 == 0;
        if (order != Order::Balanced && chains.size() <= 2) continue;
        if (rows_first) {
            bool equal = chains.size() >= 2 && chains[0].size() >= 2;
            for (const Chain &c : chains) equal = equal && c.size() == chains[0].size();
            if (!equal) continue;
        }
        Graph h = g;
        const int out = rows_first ? select_rows_first(h, chains, r, order, pair_formula)
                                   : select_merging(h, chains, r, order, pair_formula);
        if (best_out < 0) {
            // Sizes are only needed to compare: not for a single strategy.
            best = std::move(h);
            best_out = out;
            best_size = -1;
            continue;
        }
        if (best_size < 0) best_size = prune(best, std::vector<int>(1, best_out)).size();
        const int size = prune(h, std::vector<int>(1, out)).size();
        if (size < best_size) {
            best = std::move(h);
            best_out = out;
            best_size = size;
        }
    }
    g = std::move(best);
    return best_out;
}

} // namespace morvane::engine::net
