// Windows as unions of runs along image rows, for the runs (minimum,
// maximum) and sums (mean) methods.
//
// A footprint row (dz, dy) is a few runs dx = x0 .. x1. For every input row
// we make tables of running results along the row, one per run length
// (tables[L][i] combines the L values from i on); the window of pixel
// (z, y, x) is then the combination, over the footprint's runs, of one
// table entry each. Tables of longer runs come from shorter ones at one
// operation per pixel (two overlapping halves for min and max, two adjacent
// pieces for sums), so a pixel costs about one operation per footprint row
// and per distinct run length, not per member.
//
// Input rows are visited in order, once per output plane, so the image is
// read a row at a time. While the tables of the last rows the footprint
// spans fit in cache, each output row combines its sources from them in a
// few passes of up to eight sources ("pull"). Otherwise each input row's
// tables are added into the ring of output rows they reach ("push"): one
// pass per footprint row, but the memory of one input row's tables and one
// footprint's height of accumulators, whatever the footprint.
//
// Tables are padded on both sides with the combination's identity,
// which is what leaving out-of-image pixels uncounted means for min, max
// and sums; rows and planes outside the image are skipped.
#pragma once

#include "engine.hpp"
#include "isa.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <type_traits>
#include <vector>

namespace morvane::engine::rows {

// The combinations, for the loops.
struct Min {
    template <class T> static T f(T a, T b) { return b < a ? b : a; }
};
struct Max {
    template <class T> static T f(T a, T b) { return a < b ? b : a; }
};
struct Add {
    template <class T> static T f(T a, T b) { return static_cast<T>(a + b); }
};

// How two tables make a longer one: Overlap when covering a value twice is
// harmless (min, max), Exact when every value must be counted once (sums).
enum class Combine { Overlap, Exact };

// tables[out][i] = op(tables[a][i], tables[b][i + shift]), i < count.
struct Step {
    int out, a, b;
    Index shift, count;
};

// One run of a footprint row: its table, and where x = 0 reads it.
struct Source {
    int table;
    Index offset;
};

// A footprint row: its runs are sources[first, first + count).
struct RowOp {
    Index dy;
    int first, count;
};

// The footprint rows of one plane offset dz.
struct Slice {
    Index dz = 0;
    int tables = 1;                   // table 0 is the input row itself
    std::vector<Index> fused_lengths; // made from table 0 in one pass
    std::vector<int> fused_tables;
    std::vector<Step> steps; // then these, in order
    std::vector<Source> sources;
    std::vector<RowOp> rows;
};

// Lengths up to this come from one pass over the row (a running result
// per block of lanes); longer ones from two overlapping or adjacent
// shorter ones.
constexpr Index kFused = 16;

// Footprints of at most this many members read every member from the row
// itself: one pass for all of them beats making tables.
constexpr Index kMembersDirect = 8;

struct Plan {
    Index cols = 0;
    Index pad_left = 0; // entries before x = 0 in every table
    Index width = 0;    // entries of a table: pad_left + cols + pad_right
    Index lo_dy = 0, hi_dy = 0;
    int max_tables = 1;
    std::vector<Slice> slices;

    // Counts per output row, for the costs.
    double builds = 0, fused = 0, fused_loads = 0, steps = 0, row_ops = 0, sources = 0;

    // Lanes between tables: room for the fused pass's whole blocks.
    Index table_lanes(Index lane_bytes) const {
        const Index block = 128 / lane_bytes, per = 64 / lane_bytes;
        const Index n = (width + block - 1) / block * block + kFused + per;
        return (n + per - 1) / per * per;
    }
    template <class T> Index table_lanes() const {
        return table_lanes(static_cast<Index>(sizeof(T)));
    }
    int total_tables() const {
        int n = 0;
        for (const Slice &s : slices) n += s.tables;
        return n;
    }
};

namespace detail {

class Lengths {
public:
    Lengths(Slice &s, Combine c, Index width) : s_(s), c_(c), width_(width) { table_[1] = 0; }

    // The fused pass makes every wanted length up to kFused, and kFused
    // itself when longer ones build on it.
    void fuse(const std::vector<Index> &wanted) {
        std::vector<Index> fused;
        for (Index len : wanted)
            if (len > 1 && len <= kFused && (fused.empty() || fused.back() != len))
                fused.push_back(len);
        if (!wanted.empty() && wanted.back() > kFused && (fused.empty() || fused.back() != kFused))
            fused.push_back(std::min(kFused, wanted.back()));
        for (Index len : fused) {
            const int out = s_.tables++;
            table_[len] = out;
            s_.fused_lengths.push_back(len);
            s_.fused_tables.push_back(out);
        }
    }

    int table(Index len) {
        ensure(len);
        return table_[len];
    }

private:
    void add(Index len, Index a, Index b, Index shift) {
        const int out = s_.tables++;
        s_.steps.push_back({out, table_[a], table_[b], shift, width_ - len + 1});
        table_[len] = out;
    }

    Index largest_below(Index len) const { return std::prev(table_.lower_bound(len))->first; }

    void ensure(Index len) {
        if (table_.count(len)) return;
        if (c_ == Combine::Overlap) {
            // Two overlapping halves of at least len / 2 each.
            while (!table_.count(len)) {
                const Index a = largest_below(len);
                if (2 * a >= len)
                    add(len, a, a, len - a);
                else
                    add(2 * a, a, a, a);
            }
            return;
        }
        for (auto it = table_.rbegin(); it != table_.rend(); ++it) {
            const Index a = it->first;
            if (a >= len) continue;
            if (table_.count(len - a)) {
                add(len, a, len - a, a);
                return;
            }
        }
        const Index a = largest_below(len);
        ensure(len - a);
        add(len, a, len - a, a);
    }

    Slice &s_;
    Combine c_;
    Index width_;
    std::map<Index, int> table_; // run length -> table
};

} // namespace detail

// fuse: make short lengths in the fused pass. Sums whose additions cost
// more than their loads and stores (compensated ones) make every length by
// steps, the fewest additions.
inline Plan make_plan(const Footprint &f, Index cols, Combine combine, bool fuse = true) {
    Plan p;
    p.cols = cols;
    p.pad_left = std::max<Index>(0, -f.lo[2]);
    p.width = p.pad_left + cols + std::max<Index>(0, f.hi[2]);
    p.lo_dy = f.lo[1];
    p.hi_dy = f.hi[1];
    // Small footprints: every member a run of its own.
    std::vector<Run> runs;
    if (f.size() <= kMembersDirect) {
        for (const Offset &o : f.members) runs.push_back({o.dz, o.dy, o.dx, o.dx});
    } else {
        runs = f.runs;
    }
    for (size_t k = 0; k < runs.size();) {
        Slice s;
        s.dz = runs[k].dz;
        size_t end = k;
        while (end < runs.size() && runs[end].dz == s.dz) ++end;
        // Lengths in increasing order, so that each builds on shorter ones.
        std::vector<Index> lengths;
        for (size_t j = k; j < end; ++j) lengths.push_back(runs[j].length());
        std::sort(lengths.begin(), lengths.end());
        detail::Lengths made(s, combine, p.width);
        if (fuse) made.fuse(lengths);
        for (Index len : lengths) made.table(len);
        for (size_t j = k; j < end; ++j) {
            const Run &r = runs[j];
            if (s.rows.empty() || s.rows.back().dy != r.dy)
                s.rows.push_back({r.dy, static_cast<int>(s.sources.size()), 0});
            s.sources.push_back({made.table(r.length()), r.x0 + p.pad_left});
            ++s.rows.back().count;
        }
        p.max_tables = std::max(p.max_tables, s.tables);
        p.builds += 1;
        if (!s.fused_lengths.empty()) {
            p.fused += static_cast<double>(s.fused_lengths.size());
            p.fused_loads += static_cast<double>(s.fused_lengths.back());
        }
        p.steps += static_cast<double>(s.steps.size());
        p.row_ops += static_cast<double>(s.rows.size());
        p.sources += static_cast<double>(s.sources.size());
        p.slices.push_back(std::move(s));
        k = end;
    }
    return p;
}

// Rows of the image and of the output as typed pointers. Values are read
// in place when aligned for their type, else from a copy.
template <class In> const In *typed_row(const char *p, Index n, std::vector<In> &copy) {
    if (reinterpret_cast<uintptr_t>(p) % alignof(In) == 0) return reinterpret_cast<const In *>(p);
    copy.resize(static_cast<size_t>(n));
    std::memcpy(copy.data(), p, static_cast<size_t>(n) * sizeof(In));
    return copy.data();
}

// Output row (z, y): written in place when contiguous and aligned, else
// into `scratch` and stored by store().
template <class Out> struct OutRow {
    const Output &out;
    Index cols;
    std::vector<Out> scratch;

    OutRow(const Output &o, Index n) : out(o), cols(n) {}
    bool direct(const char *p) const {
        return out.strides[2] == static_cast<Index>(sizeof(Out)) &&
               reinterpret_cast<uintptr_t>(p) % alignof(Out) == 0;
    }
    Out *begin(Index z, Index y) {
        char *p = out.data + z * out.strides[0] + y * out.strides[1];
        if (direct(p)) return reinterpret_cast<Out *>(p);
        scratch.resize(static_cast<size_t>(cols));
        return scratch.data();
    }
    void store(Index z, Index y) {
        char *p = out.data + z * out.strides[0] + y * out.strides[1];
        if (direct(p)) return;
        for (Index x = 0; x < cols; ++x)
            std::memcpy(p + x * out.strides[2], &scratch[static_cast<size_t>(x)], sizeof(Out));
    }
};

// Row lengths rounded up to whole cache lines of lanes.
template <class T> Index lanes_per_line(Index n) {
    const Index per = 64 / static_cast<Index>(sizeof(T));
    return (n + per - 1) / per * per;
}

// Bytes of cached tables below which a band keeps the tables of the last
// rows and pulls each output row from them (fewest passes); above, it
// pushes each input row into a ring of output rows (least memory).
constexpr size_t kPullBytes = size_t{384} << 10;

// Sums of several parts (compensated ones) cost more additions per byte:
// measured, pulling their sources from tables beyond the cache still beats
// pushing them into a ring of accumulators, up to a few MiB.
inline size_t pull_limit(int parts) { return parts > 1 ? kPullBytes * 10 : kPullBytes; }

// parts: arrays of lanes per table and channel (see RowDriver).
inline size_t pull_bytes(const Plan &p, Index lane_bytes, int channels, int parts = 1) {
    return static_cast<size_t>(p.total_tables()) *
           static_cast<size_t>(channels * parts * (p.hi_dy - p.lo_dy + 1) *
                               p.table_lanes(lane_bytes)) *
           static_cast<size_t>(lane_bytes);
}

// Nanoseconds per output pixel of running a plan over lanes of `lane_bytes`
// (`channels` sets of them), fitted to timings of disks, boxes, lines and
// random footprints in 2D (1024 columns) and balls in 3D (128 columns): a
// pass over the lanes of a row costs in proportion to their bytes; the
// per-row work of each source counts more on short rows.
inline double plan_cost(const Plan &p, Index lane_bytes, int channels) {
    const double w = static_cast<double>(lane_bytes * channels);
    const bool pull = pull_bytes(p, lane_bytes, channels) <= kPullBytes;
    const double combine = pull ? 0.096 * p.sources / 8 : 0.026 * (p.row_ops + p.sources / 7);
    return w * (0.07 * p.builds + 0.012 * p.fused_loads + 0.022 * p.fused + 0.027 * p.steps +
                combine) +
           9.3 * p.sources / static_cast<double>(std::max<Index>(1, p.cols));
}

// What a method supplies, over `T` lanes, to the row drivers:
//   channels                      accumulators per pixel (1 or 2)
//   parts                         arrays making one accumulator: 1, or more
//                                 when the loops combine several arrays
//                                 jointly (a sum and its rounding errors);
//                                 part j of a table or accumulator row
//                                 starting at p is at p + j * table_lanes
//   identity()                    the combination's neutral value
//   build(z, y, table0[channels]) input row (z, y) into the first tables at
//                                 pad_left (their pads hold the identity)
//   running, step, merge, gather, fill   the loops (runs_loops.hpp)
//   lanes_for(z, y, scratch)      where output row (z, y) is best combined:
//                                 the output itself, or scratch
//   done(z, y, lanes[channels])   stores the finished output row
// The loops of one element-wise lanes type L (runs_loops.hpp), as a
// method supplies them to the drivers.
template <class L, class T> struct Loops {
    void running(T *const *o, const Index *lens, int count, const T *t0, Index n) {
        L::running(o, lens, count, t0, n);
    }
    void step(T *o, const T *a, const T *b, Index n) { L::step(o, a, b, n); }
    void merge(T *acc, const T *const *s, int count, Index n) { L::merge(acc, s, count, n); }
    void gather(T *o, const T *const *s, int count, Index n) { L::gather(o, s, count, n); }
    void fill(T *acc, T v, Index n) { L::fill(acc, v, n); }
};

template <class T, class M> class RowDriver {
public:
    RowDriver(const Task &t, const Band &b, const Control &c, const Plan &p, M &m)
        : t_(t), b_(b), c_(c), p_(p), m_(m), H_(p.hi_dy - p.lo_dy + 1),
          tw_(p.template table_lanes<T>()), ts_(P * tw_),
          aw_(P == 1 ? lanes_per_line<T>(t.image.shape[2]) : P * tw_) {
        size_t most = 0;
        for (const Slice &s : p.slices) most = std::max(most, s.sources.size());
        srcs_.resize(std::max<size_t>(4, most * static_cast<size_t>(H_ * p.slices.size())));
    }

    void run() {
        if (pull_bytes(p_, sizeof(T), M::channels, P) <= pull_limit(P))
            pull();
        else
            push();
    }

private:
    static constexpr int C = M::channels;
    static constexpr int P = M::parts;

    // Pull: tables of each slice for the last H input rows.
    void pull() {
        const Index Z = t_.image.shape[0], Y = t_.image.shape[1], X = t_.image.shape[2];
        std::vector<size_t> base(p_.slices.size());
        size_t total = 0;
        for (size_t k = 0; k < p_.slices.size(); ++k) {
            base[k] = total;
            total += static_cast<size_t>(C * H_ * p_.slices[k].tables * ts_);
        }
        std::vector<T> tables(total, m_.identity());
        std::vector<T> scratch(static_cast<size_t>(C * aw_));
        auto table = [&](size_t k, int ch, Index yi, int j) {
            const Slice &s = p_.slices[k];
            return tables.data() + base[k] + ((ch * H_ + yi % H_) * s.tables + j) * ts_;
        };
        for (Index z = b_.z0; z < b_.z1; ++z) {
            Index made = std::max<Index>(0, b_.y0 + p_.lo_dy); // next input row to tabulate
            for (Index y = b_.y0; y < b_.y1; ++y) {
                if (c_.cancelled()) return;
                for (; made <= std::min(Y - 1, y + p_.hi_dy); ++made) {
                    for (size_t k = 0; k < p_.slices.size(); ++k) {
                        const Slice &s = p_.slices[k];
                        const Index zi = z + s.dz;
                        if (zi < 0 || zi >= Z) continue;
                        T *first[2] = {table(k, 0, made, 0) + p_.pad_left,
                                       table(k, C - 1, made, 0) + p_.pad_left};
                        m_.build(zi, made, first);
                        for (int ch = 0; ch < C; ++ch) {
                            if (!s.fused_tables.empty()) {
                                for (size_t j = 0; j < s.fused_tables.size(); ++j)
                                    fused_[j] = table(k, ch, made, s.fused_tables[j]);
                                m_.running(fused_.data(), s.fused_lengths.data(),
                                           static_cast<int>(s.fused_tables.size()),
                                           table(k, ch, made, 0), p_.width);
                            }
                            for (const Step &st : s.steps)
                                m_.step(table(k, ch, made, st.out), table(k, ch, made, st.a),
                                        table(k, ch, made, st.b) + st.shift, st.count);
                        }
                    }
                }
                T *lanes[2] = {m_.lanes_for(z, y, scratch.data()), scratch.data() + (C - 1) * aw_};
                for (int ch = 0; ch < C; ++ch) {
                    int n = 0;
                    for (size_t k = 0; k < p_.slices.size(); ++k) {
                        const Slice &s = p_.slices[k];
                        const Index zi = z + s.dz;
                        if (zi < 0 || zi >= Z) continue;
                        for (const RowOp &r : s.rows) {
                            const Index yi = y + r.dy;
                            if (yi < 0 || yi >= Y) continue;
                            for (int j = 0; j < r.count; ++j) {
                                const Source &src = s.sources[r.first + j];
                                srcs_[n++] = table(k, ch, yi, src.table) + src.offset;
                            }
                        }
                    }
                    if (n == 0)
                        m_.fill(lanes[ch], m_.identity(), X);
                    else
                        m_.gather(lanes[ch], srcs_.data(), n, X);
                }
                m_.done(z, y, lanes);
            }
        }
    }

    // Push: each input row into the ring of output rows it reaches.
    void push() {
        const Index Z = t_.image.shape[0], Y = t_.image.shape[1], X = t_.image.shape[2];
        std::vector<T> tables(static_cast<size_t>(C * p_.max_tables * ts_), m_.identity());
        std::vector<T> acc(static_cast<size_t>(C * H_ * aw_));
        auto table = [&](int ch, int k) { return tables.data() + (ch * p_.max_tables + k) * ts_; };
        auto acc_row = [&](int ch, Index y) { return acc.data() + (ch * H_ + y % H_) * aw_; };
        const Index bz0 = b_.y0, bz1 = b_.y1;
        for (Index z = b_.z0; z < b_.z1; ++z) {
            Index next_init = bz0, next_out = bz0;
            auto init_to = [&](Index last) {
                for (; next_init < bz1 && next_init <= last; ++next_init)
                    for (int ch = 0; ch < C; ++ch)
                        m_.fill(acc_row(ch, next_init), m_.identity(), X);
            };
            auto emit_to = [&](Index last) {
                for (; next_out < next_init && next_out <= last; ++next_out) {
                    T *rows_out[2] = {acc_row(0, next_out), acc_row(C - 1, next_out)};
                    m_.done(z, next_out, rows_out);
                }
            };
            const Index first = std::max<Index>(0, bz0 + p_.lo_dy);
            const Index last = std::min<Index>(Y - 1, bz1 - 1 + p_.hi_dy);
            for (Index yi = first; yi <= last; ++yi) {
                if (c_.cancelled()) return;
                // Rows finished before this one (also those no input row
                // reaches) leave the ring before new ones enter it.
                init_to(yi - 1 - p_.hi_dy);
                emit_to(yi - 1 - p_.hi_dy);
                init_to(yi - p_.lo_dy);
                for (const Slice &s : p_.slices) {
                    const Index zi = z + s.dz;
                    if (zi < 0 || zi >= Z) continue;
                    T *first_tables[2] = {table(0, 0) + p_.pad_left, table(C - 1, 0) + p_.pad_left};
                    m_.build(zi, yi, first_tables);
                    for (int ch = 0; ch < C; ++ch) {
                        if (!s.fused_tables.empty()) {
                            for (size_t j = 0; j < s.fused_tables.size(); ++j)
                                fused_[j] = table(ch, s.fused_tables[j]);
                            m_.running(fused_.data(), s.fused_lengths.data(),
                                       static_cast<int>(s.fused_tables.size()), table(ch, 0),
                                       p_.width);
                        }
                        for (const Step &st : s.steps)
                            m_.step(table(ch, st.out), table(ch, st.a), table(ch, st.b) + st.shift,
                                    st.count);
                        for (const RowOp &r : s.rows) {
                            const Index y = yi - r.dy;
                            if (y < next_out || y >= next_init) continue;
                            for (int j = 0; j < r.count; ++j) {
                                const Source &src = s.sources[r.first + j];
                                srcs_[j] = table(ch, src.table) + src.offset;
                            }
                            m_.merge(acc_row(ch, y), srcs_.data(), r.count, X);
                        }
                    }
                }
                emit_to(yi - p_.hi_dy);
            }
            while (next_out < bz1) {
                if (c_.cancelled()) return;
                init_to(next_out);
                emit_to(next_out);
            }
        }
    }

    const Task &t_;
    const Band &b_;
    const Control &c_;
    const Plan &p_;
    M &m_;
    // Lanes per table part, per table, per accumulator row (all parts).
    const Index H_, tw_, ts_, aw_;
    std::vector<const T *> srcs_;
    std::vector<T *> fused_ = std::vector<T *>(static_cast<size_t>(kFused));
};

template <class T, class M>
void run_rows(const Task &t, const Band &b, const Control &c, const Plan &p, M &m) {
    RowDriver<T, M>(t, b, c, p, m).run();
}

} // namespace morvane::engine::rows
