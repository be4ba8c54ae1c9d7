// Window histograms for the statistics that read more of the histogram than
// one rank: the most frequent value, the entropy, the Otsu threshold and a
// caller's kernel. The histogram method's scan (histogram.cpp) drives them
// exactly as it drives the rank histograms: values enter and leave, in
// pairs along a row and member by member on a step south, and the scan asks
// for the pixel's answer after each step.
//
// Each keeps one counter per bin and whatever lets its answer follow the
// updates instead of reading every bin per pixel:
// - the mode: how many bins hold each count, so the largest count is known
//   after every update, and the smallest bin holding it, kept until an
//   update may have moved it; then found again through blocks of 64 bins
//   whose largest counts are kept as upper bounds (an update only raises
//   them, a search tightens the ones it reads);
// - the entropy: sum of c log2 c over the bins as a fixed-point integer,
//   updated from a table of differences, so it never drifts however long
//   the walk, and read as log2 n - sum / n;
// - Otsu: the population and the sum of values, and blocks of 16 bins with
//   their counts and sums of values, so the search visits occupied bins
//   only and skips blocks whose bound cannot beat the best so far;
// - kernels: plain 32-bit counters, which the kernel reads.
#pragma once

#include "engine.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace morvane::engine::tally {

// What the scan needs of every window histogram, for tallies: the pivot is
// 0 (no rank to keep), so the scan's counts below it stay 0.
template <class Derived> class Base {
public:
    static constexpr bool kAnswers = true;
    // Whether the scan skips pairs whose values are equal (else it updates
    // with them too, which costs less than a branch that images mispredict,
    // and changes nothing).
    static constexpr bool kSkipEqual = false;
    static constexpr bool beyond_l2() { return false; }
    void prefetch(unsigned) const {}
    unsigned pivot() const { return 0; }
    Index population() const { return n_; }
    void adjust(Index, Index population) { n_ += population; }
    void exchange(unsigned a, unsigned b) {
        self().up(a);
        self().down(b);
    }
    void add(unsigned v, unsigned m = 1) {
        if (m != 0) self().up(v);
    }
    void remove(unsigned v, unsigned m = 1) {
        if (m != 0) self().down(v);
    }

protected:
    Index n_ = 0;

private:
    Derived &self() { return static_cast<Derived &>(*this); }
};

// The most frequent value; ties to the smallest. Its answer is a bin.
template <class Count> class Mode : public Base<Mode<Count>> {
public:
    using Result = unsigned;
    static constexpr Index kBlock = 64;
    // An equal pair would raise and lower the largest count, and lose the
    // answer.
    static constexpr bool kSkipEqual = true;

    Mode(Index bins, const Task &t)
        : bins_(bins), counts_(static_cast<size_t>(bins), 0),
          block_(static_cast<size_t>((bins + kBlock - 1) / kBlock), 0),
          holding_(static_cast<size_t>(t.fp->size() + 2), 0) {}

    void clear() {
        std::fill(counts_.begin(), counts_.end(), Count{0});
        std::fill(block_.begin(), block_.end(), Count{0});
        std::fill(holding_.begin(), holding_.end(), uint32_t{0});
        top_ = 0;
        best_ = -1;
        this->n_ = 0;
    }

    void up(unsigned v) {
        const Count k = ++counts_[v];
        --holding_[k - 1];
        ++holding_[k];
        Count &b = block_[v / kBlock];
        if (k > b) b = k;
        if (k > top_) {
            top_ = k;
            best_ = v;
        } else if (k == top_ && best_ > static_cast<Index>(v)) {
            best_ = v;
        }
    }
    void down(unsigned v) {
        const Count k = counts_[v]--;
        --holding_[k];
        ++holding_[k - 1];
        if (k == top_) {
            if (holding_[k] == 0) {
                --top_; // v holds top_ - 1 now
                best_ = -1;
            } else if (best_ == static_cast<Index>(v)) {
                best_ = -1;
            }
        }
    }

    Result answer(unsigned) {
        if (top_ == 0) return 0;
        if (best_ < 0) best_ = search();
        return static_cast<Result>(best_);
    }

private:
    // The smallest bin holding top_ values. Blocks whose bound lies below
    // top_ hold no such bin; the others are read, and their bounds set to
    // what they hold.
    Index search() {
        const Index blocks = static_cast<Index>(block_.size());
        const Count top = top_;
        for (Index b = 0; b < blocks; ++b) {
            if (block_[b] < top) continue;
            const Index lo = b * kBlock, hi = std::min(bins_, lo + kBlock);
            const Count *c = counts_.data();
            for (Index i = lo; i < hi; i += 16) {
                const Index end = std::min(hi, i + 16);
                bool any = false;
                for (Index j = i; j < end; ++j) any |= c[j] == top;
                if (any)
                    for (Index j = i;; ++j)
                        if (c[j] == top) return j;
            }
            Count most = 0;
            for (Index i = lo; i < hi; ++i) most = std::max(most, c[i]);
            block_[b] = most;
        }
        return 0; // not reached: some bin holds top_
    }

    Index bins_;
    std::vector<Count> counts_;
    std::vector<Count> block_;      // upper bounds of each block's largest count
    std::vector<uint32_t> holding_; // holding_[k]: bins that hold k values
    Count top_ = 0;                 // the largest count
    Index best_ = -1;               // the smallest bin holding top_, or -1: not known
};

// The most frequent value of at most a few hundred bins, with counters
// below 2^15: found per pixel by one pass for the largest count and one for
// the first bin holding it, both over blocks the compiler keeps in vector
// registers; updates are plain counts.
template <class Count> class FewMode : public Base<FewMode<Count>> {
public:
    using Result = unsigned;
    static constexpr Index kBlock = 16;

    FewMode(Index bins, const Task &)
        : bins_(bins), counts_(static_cast<size_t>((bins + kBlock - 1) / kBlock * kBlock), 0) {}

    void clear() {
        std::fill(counts_.begin(), counts_.end(), Count{0});
        this->n_ = 0;
    }
    void up(unsigned v) { ++counts_[v]; }
    void down(unsigned v) { --counts_[v]; }
    void exchange(unsigned a, unsigned b) {
        ++counts_[a];
        --counts_[b];
    }

    Result answer(unsigned) const {
        if (this->n_ <= 0) return 0;
        const Count *c = counts_.data();
        const Index size = static_cast<Index>(counts_.size());
        Count top = 0;
        for (Index i = 0; i < size; ++i) top = std::max(top, c[i]);
        for (Index i = 0; i < size; i += kBlock) {
            bool any = false;
            for (Index j = 0; j < kBlock; ++j) any |= c[i + j] == top;
            if (any)
                for (Index j = i;; ++j)
                    if (c[j] == top) return static_cast<Result>(j);
        }
        return 0;
    }

private:
    Index bins_;
    std::vector<Count> counts_;
};

// The Shannon entropy of the values, in bits: log2 n - (sum of c log2 c) / n.
template <class Count> class Entropy : public Base<Entropy<Count>> {
public:
    using Result = double;

    Entropy(Index bins, const Task &t) : counts_(static_cast<size_t>(bins), 0) {
        const Index m = std::max<Index>(t.fp->size(), 1);
        // c log2 c for c <= m in fixed point, as many fraction bits as keep
        // m of them (a window's sum) below 2^62.
        const double most = static_cast<double>(m) * std::log2(static_cast<double>(m)) + 1.0;
        const int bits = std::clamp(62 - static_cast<int>(std::ceil(std::log2(most))), 0, 52);
        scale_ = std::ldexp(1.0, bits);
        std::vector<int64_t> g(static_cast<size_t>(m + 2), 0);
        for (Index c = 2; c <= m + 1; ++c) {
            const double x = static_cast<double>(c);
            g[static_cast<size_t>(c)] = std::llround(x * std::log2(x) * scale_);
        }
        rise_.resize(static_cast<size_t>(m + 1));
        for (Index c = 0; c <= m; ++c)
            rise_[static_cast<size_t>(c)] =
                g[static_cast<size_t>(c + 1)] - g[static_cast<size_t>(c)];
        log_n_.resize(static_cast<size_t>(m + 1));
        for (Index n = 1; n <= m; ++n)
            log_n_[static_cast<size_t>(n)] = std::log2(static_cast<double>(n));
    }

    void clear() {
        std::fill(counts_.begin(), counts_.end(), Count{0});
        sum_ = 0;
        this->n_ = 0;
    }
    void up(unsigned v) { sum_ += rise_[counts_[v]++]; }
    void down(unsigned v) { sum_ -= rise_[--counts_[v]]; }
    // Both counters read before either is written: an equal pair then
    // waits on no store.
    void exchange(unsigned a, unsigned b) {
        const Count ca = counts_[a];
        const Count cb = static_cast<Count>(counts_[b] + (a == b));
        sum_ += rise_[ca] - rise_[cb - 1];
        counts_[a] = static_cast<Count>(ca + 1);
        counts_[b] = static_cast<Count>(cb - 1);
    }

    Result answer(unsigned) const {
        const Index n = this->n_;
        if (n <= 0) return std::numeric_limits<double>::quiet_NaN();
        const double h = log_n_[static_cast<size_t>(n)] -
                         static_cast<double>(sum_) / (scale_ * static_cast<double>(n));
        return h > 0 ? h : 0.0; // a window of one value: 0, not a rounding below it
    }

private:
    std::vector<Count> counts_;
    std::vector<int64_t> rise_; // g(c + 1) - g(c), g(c) = c log2 c in fixed point
    std::vector<double> log_n_; // log2 n
    double scale_ = 1;
    int64_t sum_ = 0;
};

// Whether Otsu's sums are exact in 64-bit integers: every bin's value an
// integer of magnitude below 2^62 / members^2 (so M w0 and n m0 are).
inline bool integral_values(const Task &t, Index bins) {
    const double m = static_cast<double>(std::max<Index>(t.fp->size(), 1));
    const double limit = 0x1p62 / (m * m);
    for (Index i = 0; i < bins; ++i) {
        const double v = t.bin_values[i];
        if (!(v == std::floor(v) && std::fabs(v) < limit)) return false;
    }
    return true;
}

// The Otsu threshold: among the window's values t that leave a value above
// them, the smallest maximising d^2 / q, d = M w0 - n m0 and q = w0 (n - w0)
// (w0, m0: count and sum of values <= t; n, M: of all), both as doubles;
// the only value of a window of one, the NaN of a window holding one. Its
// answer is a bin.
//
// V: int64_t where integral_values() holds (sums exact however they were
// reached), else double (the window's sum is then taken again from its
// counts per pixel, and no block is skipped on sums that drift).
//
// The search starts in the block of 16 bins of the last answer, then runs
// over the other blocks from their counts and sums, skipping those whose
// bound (see bound()) lies below the best so far. The bound is taken
// generously, so rounding never skips the answer.
template <class Count, class V> class Otsu : public Base<Otsu<Count, V>> {
public:
    using Result = unsigned;
    static constexpr Index kBlock = 16;
    static constexpr bool kExact = std::is_integral_v<V>;

    Otsu(Index bins, const Task &t)
        : bins_(bins), counts_(static_cast<size_t>(bins), 0), blocks_((bins + kBlock - 1) / kBlock),
          block_count_(static_cast<size_t>(blocks_), 0),
          block_sum_(static_cast<size_t>(blocks_), V{0}),
          below_count_(static_cast<size_t>(blocks_)), below_sum_(static_cast<size_t>(blocks_)),
          occupied_(static_cast<size_t>((blocks_ + 63) / 64), 0),
          words_(static_cast<size_t>((blocks_ + 4095) / 4096), 0) {
        order_.reserve(static_cast<size_t>(std::min<Index>(blocks_, t.fp->size() + 1)));
        values_.resize(static_cast<size_t>(bins));
        for (Index i = 0; i < bins; ++i) values_[i] = static_cast<V>(t.bin_values[i]);
        // The bounds read each block's values as ascending: code 0 (no
        // value's, never counted) takes the value of code 1.
        if (bins > 1 && values_[0] > values_[1]) values_[0] = values_[1];
        // Integers whose sums times the population stay below 2^53 are
        // exact in doubles too, whose arithmetic pipelines better.
        double most = 0;
        for (Index i = 0; i < bins; ++i) most = std::max(most, std::fabs(t.bin_values[i]));
        const double m = static_cast<double>(std::max<Index>(t.fp->size(), 1));
        in_doubles_ = kExact && most * m * m < 0x1p52;
    }

    void clear() {
        std::fill(counts_.begin(), counts_.end(), Count{0});
        std::fill(block_count_.begin(), block_count_.end(), Index{0});
        std::fill(block_sum_.begin(), block_sum_.end(), V{0});
        std::fill(occupied_.begin(), occupied_.end(), uint64_t{0});
        std::fill(words_.begin(), words_.end(), uint64_t{0});
        this->n_ = 0;
    }
    void up(unsigned v) {
        ++counts_[v];
        if (++block_count_[v / kBlock] == 1) occupy(v / kBlock);
        block_sum_[v / kBlock] += values_[v];
    }
    void down(unsigned v) {
        --counts_[v];
        if (--block_count_[v / kBlock] == 0) vacate(v / kBlock);
        block_sum_[v / kBlock] -= values_[v];
    }
    void exchange(unsigned a, unsigned b) {
        const Count ca = counts_[a];
        const Count cb = static_cast<Count>(counts_[b] + (a == b));
        counts_[a] = static_cast<Count>(ca + 1);
        counts_[b] = static_cast<Count>(cb - 1);
        const V delta = values_[a] - values_[b];
        const Index ba = a / kBlock, bb = b / kBlock;
        if (ba == bb) {
            block_sum_[ba] += delta;
        } else {
            if (++block_count_[ba] == 1) occupy(ba);
            if (--block_count_[bb] == 0) vacate(bb);
            block_sum_[ba] += values_[a];
            block_sum_[bb] -= values_[b];
        }
    }

    Result answer(unsigned) {
        const Index n = this->n_;
        if (n <= 0) return 0;
        // The occupied blocks in order, through their bitmaps (a window
        // holds few of many bins), with the counts and sums below them;
        // the window's sum.
        Index w = 0;
        V m = 0;
        order_.clear();
        for (Index k = 0; k < static_cast<Index>(words_.size()); ++k)
            for (uint64_t top = words_[k]; top != 0; top &= top - 1) {
                const Index word = 64 * k + std::countr_zero(top);
                for (uint64_t bits = occupied_[word]; bits != 0; bits &= bits - 1) {
                    const Index b = 64 * word + std::countr_zero(bits);
                    order_.push_back(b);
                    below_count_[b] = w;
                    below_sum_[b] = m;
                    w += block_count_[b];
                    if constexpr (kExact) {
                        m += block_sum_[b];
                    } else {
                        const Index lo = b * kBlock, hi = std::min(bins_, lo + kBlock);
                        for (Index i = lo; i < hi; ++i)
                            if (counts_[i]) m += static_cast<V>(counts_[i]) * values_[i];
                    }
                }
            }
        const Index first = order_.front(), last = order_.back();
        const V total = m;
        if constexpr (!kExact) {
            if (total != total) { // a NaN among the values: the last bin
                last_ = last_bin(last);
                return static_cast<Result>(last_);
            }
        }
        best_ = -1;
        best_bin_ = -1;
        total_ = total;
        // The block of the last answer first: it most often holds this one.
        const Index start = std::clamp<Index>(last_ / kBlock, 0, blocks_ - 1);
        if (block_count_[start] != 0) scan(start, n);
        for (const Index b : order_) {
            if (b == start) continue;
            if (kExact && best_ >= 0 && bound(b, n) * (1 + 1e-9) < best_) continue;
            scan(b, n);
        }
        last_ = best_bin_ >= 0 ? best_bin_ : first_bin(first);
        return static_cast<Result>(last_);
    }

private:
    // The largest f any threshold in block b may reach. In the plane of
    // (w0, d) the thresholds lie on a path from the block's start (W0, d0)
    // to its end (W1, d1) whose slopes n (mean - v) fall as v rises within
    // the block's values [lo, hi]: a concave path, below the line from its
    // start of slope n (mean - lo) and the line to its end of slope
    // n (mean - hi). d never falls below 0, and d / sqrt(q) of a line is
    // quasiconvex in w0 (a linear function over a concave one), so over each
    // stretch where one line is the lower, f is largest at an end: the
    // bound is the largest of three values.
    double bound(Index b, Index n) const {
        const double nd = static_cast<double>(n), t = static_cast<double>(total_);
        const double w_start = static_cast<double>(below_count_[b]);
        const double w_end = static_cast<double>(below_count_[b] + block_count_[b]);
        const double d0 = t * w_start - nd * static_cast<double>(below_sum_[b]);
        const double d1 = t * w_end - nd * static_cast<double>(below_sum_[b] + block_sum_[b]);
        const Index lo = b * kBlock, hi = std::min(bins_, lo + kBlock) - 1;
        const double mean = t / nd;
        const double rise = nd * (mean - static_cast<double>(values_[lo]));
        const double fall = nd * (mean - static_cast<double>(values_[hi]));
        const double a = w_start + 1, z = std::min(w_end, nd - 1); // thresholds' w0
        if (a > z) return -1;
        auto f = [&](double w) {
            const double d = std::min(d0 + rise * (w - w_start), d1 - fall * (w_end - w));
            return d * d / (w * (nd - w));
        };
        double most = std::max(f(a), f(z));
        if (rise > fall) {
            const double cross = (d1 - d0 - fall * w_end + rise * w_start) / (rise - fall);
            most = std::max(most, f(std::clamp(cross, a, z)));
        }
        return most;
    }

    // The thresholds of block b: f = d^2 / q at each occupied bin (but the
    // last value), the best kept, the smaller bin on a tie. Empty bins run
    // through the same steps (adding nothing) rather than behind a branch
    // that images mispredict; the division is made only where f may reach
    // the best.
    void scan(Index b, Index n) {
        const Index lo = b * kBlock, hi = std::min(bins_, lo + kBlock);
        Index w0 = below_count_[b];
        V m0 = below_sum_[b];
        const double nd = static_cast<double>(n), t = static_cast<double>(total_);
        for (Index i = lo; i < hi; ++i) {
            const Count c = counts_[i];
            w0 += c;
            m0 += static_cast<V>(c) * values_[i];
            double d;
            if (!kExact || in_doubles_)
                d = t * static_cast<double>(w0) - nd * static_cast<double>(m0);
            else
                d = static_cast<double>(total_ * static_cast<V>(w0) - static_cast<V>(n) * m0);
            const double q = static_cast<double>(w0) * static_cast<double>(n - w0);
            const double dd = d * d;
            const bool valid = c != 0 && w0 < n;
            if (valid && dd >= best_ * q * (1 - 1e-12)) {
                const double f = dd / q;
                if (f > best_ || (f == best_ && i < best_bin_)) {
                    best_ = f;
                    best_bin_ = i;
                }
            }
        }
    }

    void occupy(Index b) {
        uint64_t &word = occupied_[static_cast<size_t>(b / 64)];
        if (word == 0) words_[static_cast<size_t>(b / 4096)] |= uint64_t{1} << ((b / 64) % 64);
        word |= uint64_t{1} << (b % 64);
    }
    void vacate(Index b) {
        uint64_t &word = occupied_[static_cast<size_t>(b / 64)];
        word &= ~(uint64_t{1} << (b % 64));
        if (word == 0) words_[static_cast<size_t>(b / 4096)] &= ~(uint64_t{1} << ((b / 64) % 64));
    }

    Index first_bin(Index block) const {
        const Index lo = block * kBlock, hi = std::min(bins_, lo + kBlock);
        for (Index i = lo; i < hi; ++i)
            if (counts_[i]) return i;
        return lo;
    }
    Index last_bin(Index block) const {
        const Index lo = block * kBlock, hi = std::min(bins_, lo + kBlock);
        for (Index i = hi - 1; i > lo; --i)
            if (counts_[i]) return i;
        return lo;
    }

    Index bins_;
    std::vector<V> values_;
    std::vector<Count> counts_;
    Index blocks_;
    std::vector<Index> block_count_;
    std::vector<V> block_sum_;
    std::vector<Index> below_count_; // per block: counted values in the blocks before it
    std::vector<V> below_sum_;       // and their sum
    std::vector<uint64_t> occupied_; // bit b: block b counts something
    std::vector<uint64_t> words_;    // bit k: word k of occupied_ is not 0
    std::vector<Index> order_;       // the occupied blocks, in order
    V total_ = 0;
    double best_ = -1;
    Index best_bin_ = -1;
    Index last_ = 0;
    bool in_doubles_ = false;
};

// A caller's kernel of the histogram, with 32-bit counters.
class Kernel : public Base<Kernel> {
public:
    using Result = double;

    Kernel(Index bins, const Task &t)
        : counts_(static_cast<size_t>(bins), 0), values_(t.bin_values), kernel_(t.kernel),
          bins_(bins) {}

    void clear() {
        std::fill(counts_.begin(), counts_.end(), uint32_t{0});
        this->n_ = 0;
    }
    void up(unsigned v) { ++counts_[v]; }
    void down(unsigned v) { --counts_[v]; }

    Result answer(unsigned centre) const {
        return kernel_(counts_.data(), values_, static_cast<intptr_t>(bins_),
                       static_cast<intptr_t>(this->n_), static_cast<intptr_t>(centre));
    }

private:
    std::vector<uint32_t> counts_;
    const double *values_;
    HistogramKernel kernel_;
    Index bins_;
};

} // namespace morvane::engine::tally
