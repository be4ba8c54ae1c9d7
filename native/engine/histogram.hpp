// The histogram of one sliding window, with the answer of its rank query
// kept from pixel to pixel.
//
// Counters are as narrow as the footprint allows (a window never holds more
// values than the footprint has members). 8-bit values keep one level of
// 256 counters: 512 bytes, always in L1, where sums of 16 bins (a few vector
// instructions) let the answer skip ahead. 16-bit values keep three levels:
// 65536 counters, sums of 16 bins and sums of 256 bins, so the answer
// crosses any stretch of empty bins in tens of steps. The upper levels are
// touched only when the entering and the leaving value of a pair fall into
// different blocks, so smooth images, whose pairs mostly share their blocks,
// do not chain updates to one counter. Codes beyond 16 bits (the distinct
// values of other element types, numbered) keep a counter per code under a
// tree of occupancy bitmaps (CodeHistogram).
//
// The rank query keeps a pivot near the last answer (the answer itself, or
// the start of its group of bins) and the number of counted values below
// it. Each update tells its caller whether it fell below the pivot; the
// caller sums that over a step in a register and hands it over once
// (adjust), and the query walks from the pivot only as far as the rank
// moved.
#pragma once

#include "engine.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "isa.hpp"

namespace morvane::engine::histogram {

// A hint to fetch the cache line at p; no effect on results.
inline void prefetch_line(const void *p) { MV_PREFETCH(p); }

// Four 16-bit counters read as one word: their sums in one multiplication
// (the top lane of w * (1 + 2^16 + 2^32 + 2^48) is the sum of w's four
// lanes, lane i the sum of lanes 0 .. i; a window's count never lets one
// overflow).
namespace lanes16 {
constexpr uint64_t kLanes = 0x0001000100010001u;

// Of three rising sums, the largest at most t, or 0 if none is: by masks,
// since which one it is varies from pixel to pixel and a branch on it
// would mispredict.
MV_INLINE Index below_of(Index s0, Index s1, Index s2, Index t, Index *k) {
    const Index m0 = -static_cast<Index>(s0 <= t), m1 = -static_cast<Index>(s1 <= t),
                m2 = -static_cast<Index>(s2 <= t);
    *k = -(m0 + m1 + m2);
    Index below = s0 & m0;
    below = (below & ~m1) | (s1 & m1);
    return (below & ~m2) | (s2 & m2);
}

// The first lane of prefix sums exceeding *t (the last lane does); takes
// the sum before it off *t.
MV_INLINE Index pick(uint64_t prefix, Index *t) {
    const Index p0 = static_cast<Index>(prefix & 0xffff);
    const Index p1 = static_cast<Index>((prefix >> 16) & 0xffff);
    const Index p2 = static_cast<Index>((prefix >> 32) & 0xffff);
    Index k;
    *t -= below_of(p0, p1, p2, *t, &k);
    return k;
}
// The bin among the 16 counters at c where the count from their start
// first exceeds t (their count does).
MV_INLINE Index pick16(const uint16_t *c, Index t) {
    uint64_t w[3];
    std::memcpy(w, c, sizeof w);
    const Index s0 = static_cast<Index>((w[0] * kLanes) >> 48);
    const Index s1 = s0 + static_cast<Index>((w[1] * kLanes) >> 48);
    const Index s2 = s1 + static_cast<Index>((w[2] * kLanes) >> 48);
    Index j;
    t -= below_of(s0, s1, s2, t, &j);
    uint64_t word;
    std::memcpy(&word, c + 4 * j, sizeof word);
    return 4 * j + pick(word * kLanes, &t);
}
// The sum of n consecutive counters (a loop the compiler vectorises).
template <int N> inline uint32_t sum(const uint16_t *c) {
    uint32_t s = 0;
    for (int k = 0; k < N; ++k) s += c[k];
    return s;
}
} // namespace lanes16

// Values below 2^Bits (8 or 16).
template <int Bits, class Count, bool Sparse = false> class Histogram {
public:
    static constexpr bool kWide = Bits == 16;
    static constexpr Index kBins = Index{1} << Bits;

    // The counters fit L2, where the hardware keeps up with the updates:
    // an extra load per pair to fetch ahead costs more than it saves.
    static constexpr bool beyond_l2() { return false; }

    static_assert(Bits == 8 || Bits == 16, "8- or 16-bit values");
    static_assert(kWide || !Sparse, "8-bit windows walk their 256 bins directly");

    explicit Histogram(Index = kBins)
        : fine_(kBins), mid_(kWide ? kBins / 16 : 0), occupied_(Sparse ? kBins / 1024 : 0) {}
    Histogram(Index bins, const Task &) : Histogram(bins) {}

    void clear() {
        std::fill(fine_.begin(), fine_.end(), Count{0});
        std::fill(mid_.begin(), mid_.end(), Count{0});
        std::fill(occupied_.begin(), occupied_.end(), uint64_t{0});
        cur_ = 0;
        below_ = 0;
        n_ = 0;
    }

    void prefetch(unsigned) const {}

    Index population() const { return n_; }
    // The bin that the updates compare their values with (the last answer,
    // or the start of its group of 64 bins), and what they changed below it
    // and in the population over a step.
    unsigned pivot() const { return cur_; }
    void adjust(Index below, Index population) {
        below_ += below;
        n_ += population;
    }

    // Value a enters and value b leaves (a != b).
    void exchange(unsigned a, unsigned b) {
        ++fine_[a];
        --fine_[b];
        if constexpr (kWide) {
            if ((a ^ b) >> 4) {
                ++mid_[a >> 4];
                const Count left = --mid_[b >> 4];
                if constexpr (Sparse) {
                    occupied_[a >> 10] |= uint64_t{1} << ((a >> 4) & 63);
                    occupied_[b >> 10] &= ~(uint64_t{left == 0} << ((b >> 4) & 63));
                }
            }
        }
    }
    // Weight m: a mask byte, 0 or 1.
    void add(unsigned v, unsigned m = 1) { change(v, static_cast<Count>(m)); }
    void remove(unsigned v, unsigned m = 1) { change(v, static_cast<Count>(0u - m)); }

    // The value of 0-based rank r (r < population()) among the counted
    // values. The walk moves bin by bin near the answer, and at aligned
    // positions crosses whole groups of 4, 16, 64 and 256 bins by their
    // sums when the rank lies beyond them.
    unsigned rank(Index r) {
        if constexpr (Sparse) return sparse_rank(r);
        if constexpr (kWide && sizeof(Count) == 2) return group_rank(r);
        unsigned cur = cur_;
        Index below = below_;
        if (below > r) {
            do {
                if ((cur & 3) == 0) {
                    if ((cur & 15) == 0) {
                        if (kWide && (cur & 255) == 0) {
                            const Index s = sum16(mid_.data() + (cur >> 4) - 16);
                            if (below - s > r) {
                                below -= s;
                                cur -= 256;
                                continue;
                            }
                        }
                        if (kWide && (cur & 63) == 0) {
                            const Index s = sum4(mid_.data() + (cur >> 4) - 4);
                            if (below - s > r) {
                                below -= s;
                                cur -= 64;
                                continue;
                            }
                        }
                        const Index s =
                            kWide ? mid_[(cur >> 4) - 1] : sum16(fine_.data() + cur - 16);
                        if (below - s > r) {
                            below -= s;
                            cur -= 16;
                            continue;
                        }
                    }
                    const Index s = sum4(fine_.data() + cur - 4);
                    if (below - s > r) {
                        below -= s;
                        cur -= 4;
                        continue;
                    }
                }
                --cur;
                below -= fine_[cur];
            } while (below > r);
        } else if (below + fine_[cur] <= r) {
            below += fine_[cur];
            ++cur;
            for (;;) {
                if ((cur & 3) == 0) {
                    if ((cur & 15) == 0) {
                        if (kWide && (cur & 255) == 0) {
                            const Index s = sum16(mid_.data() + (cur >> 4));
                            if (below + s <= r) {
                                below += s;
                                cur += 256;
                                continue;
                            }
                        }
                        if (kWide && (cur & 63) == 0) {
                            const Index s = sum4(mid_.data() + (cur >> 4));
                            if (below + s <= r) {
                                below += s;
                                cur += 64;
                                continue;
                            }
                        }
                        const Index s = kWide ? mid_[cur >> 4] : sum16(fine_.data() + cur);
                        if (below + s <= r) {
                            below += s;
                            cur += 16;
                            continue;
                        }
                    }
                    const Index s = sum4(fine_.data() + cur);
                    if (below + s <= r) {
                        below += s;
                        cur += 4;
                        continue;
                    }
                }
                if (below + fine_[cur] > r) break;
                below += fine_[cur];
                ++cur;
            }
        }
        cur_ = cur;
        below_ = below;
        return cur;
    }

private:
    // 16-bit counters of 16-bit values: the walk keeps the start of the
    // answer's group of 64 bins (cur_) and moves group by group, 4 block
    // sums added in one multiplication each, so its only unpredictable
    // branch is where it stops; the answer inside the group is then picked
    // without a branch, block, group of 4 bins and bin from their prefix
    // sums (the top lane of w * (1 + 2^16 + 2^32 + 2^48) is the sum of w's
    // 16-bit lanes, lane i the sum of lanes 0 .. i; a window's count never
    // lets one overflow).
    MV_INLINE unsigned group_rank(Index r) {
        const Count *mid = mid_.data();
        unsigned g = cur_;
        Index below = below_;
        while (below > r) {
            g -= 64;
            below -= sum4(mid + g / 16);
        }
        for (;;) {
            const Index s = sum4(mid + g / 16);
            if (below + s > r) break;
            below += s;
            g += 64;
        }
        cur_ = g;
        below_ = below;
        Index t = r - below;
        const Index block = Index{g} + 16 * pick(prefix4(mid + g / 16), &t);
        return static_cast<unsigned>(pick16(block, t));
    }

    // The bin of the block of 16 bins at `block` where the count from the
    // block's start first exceeds t (the block's count does).
    Index pick16(Index block, Index t) const {
        return block + lanes16::pick16(fine_.data() + block, t);
    }

    static uint64_t prefix4(const Count *c) {
        uint64_t w;
        std::memcpy(&w, c, sizeof w);
        return w * lanes16::kLanes;
    }
    static Index pick(uint64_t prefix, Index *t) { return lanes16::pick(prefix, t); }

    // Windows whose values lie far apart: the walk hops from one occupied
    // block of 16 bins to the next through the bitmap of occupied blocks.
    // The pivot is the start of the answer's block of 16 bins; the walk
    // hops between occupied blocks, then picks the bin as group_rank does.
    unsigned sparse_rank(Index r) {
        static_assert(sizeof(Count) == 2, "sparse windows count few values");
        Index b = cur_ / 16, below = below_;
        if (below > r) {
            do {
                b = previous_block(static_cast<unsigned>(b));
                below -= mid_[b];
            } while (below > r);
        } else {
            while (below + mid_[b] <= r) {
                below += mid_[b];
                b = next_block(static_cast<unsigned>(b + 1));
            }
        }
        cur_ = static_cast<unsigned>(16 * b);
        below_ = below;
        return static_cast<unsigned>(pick16(16 * b, r - below));
    }

    // The first occupied block >= m, and the last one < m; they exist.
    unsigned next_block(unsigned m) const {
        unsigned w = m >> 6;
        uint64_t bits = occupied_[w] & (~uint64_t{0} << (m & 63));
        while (bits == 0) bits = occupied_[++w];
        return (w << 6) | static_cast<unsigned>(std::countr_zero(bits));
    }
    unsigned previous_block(unsigned m) const {
        unsigned w = m >> 6;
        uint64_t bits = (m & 63) == 0 ? 0 : occupied_[w] & (~uint64_t{0} >> (64 - (m & 63)));
        while (bits == 0) bits = occupied_[--w];
        return (w << 6) | (63 - static_cast<unsigned>(std::countl_zero(bits)));
    }

    void change(unsigned v, Count d) {
        fine_[v] = static_cast<Count>(fine_[v] + d);
        if constexpr (kWide) {
            const Count c = static_cast<Count>(mid_[v >> 4] + d);
            mid_[v >> 4] = c;
            if constexpr (Sparse) {
                const uint64_t bit = uint64_t{1} << ((v >> 4) & 63);
                occupied_[v >> 10] = c != 0 ? occupied_[v >> 10] | bit : occupied_[v >> 10] & ~bit;
            }
        }
    }

    // The sum of 16 consecutive counters: a block of the level above,
    // cheaper to add up when the answer crosses it than to keep.
    template <class C> static Index sum16(const C *c) {
        uint32_t s = 0;
        for (int k = 0; k < 16; ++k) s += c[k];
        return s;
    }

    // The sum of 4 consecutive counters. 16-bit ones are added in one
    // multiplication: the top lane of w * (1 + 2^16 + 2^32 + 2^48) is the
    // sum of w's four lanes, which a window's count never lets overflow.
    template <class C> static Index sum4(const C *c) {
        if constexpr (sizeof(C) == 2) {
            uint64_t w;
            std::memcpy(&w, c, sizeof w);
            return static_cast<Index>((w * 0x0001000100010001u) >> 48);
        } else {
            return static_cast<Index>(c[0]) + c[1] + c[2] + c[3];
        }
    }

    std::vector<Count> fine_;        // bins
    std::vector<Count> mid_;         // 16-bit values: sums of 16 bins
    std::vector<uint64_t> occupied_; // sparse windows: bit m: mid_[m] != 0
    unsigned cur_ = 0;               // the last answer
    Index below_ = 0;                // counted values below cur_
    Index n_ = 0;
};

// 16-bit values with 16-bit counters and no level above the bins: an
// update is one counter (the sums of 16 bins cost as much again on every
// pair of most images, whose entering and leaving values seldom share a
// block), and the answer walks groups of 64 bins by adding them up. For
// windows of many pairs, whose answer moves by few groups per step.
class FlatHistogram {
public:
    explicit FlatHistogram(Index = 65536) : fine_(65536) {}
    FlatHistogram(Index bins, const Task &) : FlatHistogram(bins) {}

    static constexpr bool beyond_l2() { return false; }
    void prefetch(unsigned) const {}

    void clear() {
        std::fill(fine_.begin(), fine_.end(), uint16_t{0});
        cur_ = 0;
        below_ = 0;
        n_ = 0;
    }

    Index population() const { return n_; }
    // The start of the answer's group of 64 bins, and the counted values
    // below it.
    unsigned pivot() const { return cur_; }
    void adjust(Index below, Index population) {
        below_ += below;
        n_ += population;
    }

    void exchange(unsigned a, unsigned b) {
        ++fine_[a];
        --fine_[b];
    }
    void add(unsigned v, unsigned m = 1) { fine_[v] = static_cast<uint16_t>(fine_[v] + m); }
    void remove(unsigned v, unsigned m = 1) { fine_[v] = static_cast<uint16_t>(fine_[v] - m); }

    // The value of 0-based rank r (r < population()): group by group of
    // 64 bins from the pivot, then the block of 16 and the bin without a
    // branch.
    unsigned rank(Index r) {
        Index g = cur_, below = below_;
        while (below > r) {
            g -= 64;
            below -= lanes16::sum<64>(fine_.data() + g);
        }
        for (;;) {
            const Index s = lanes16::sum<64>(fine_.data() + g);
            if (below + s > r) break;
            below += s;
            g += 64;
        }
        cur_ = static_cast<unsigned>(g);
        below_ = below;
        Index t = r - below;
        const uint16_t *c = fine_.data() + g;
        const uint64_t blocks =
            uint64_t{lanes16::sum<16>(c)} | uint64_t{lanes16::sum<16>(c + 16)} << 16 |
            uint64_t{lanes16::sum<16>(c + 32)} << 32 | uint64_t{lanes16::sum<16>(c + 48)} << 48;
        const Index k = lanes16::pick(blocks * lanes16::kLanes, &t);
        return static_cast<unsigned>(g + 16 * k + lanes16::pick16(c + 16 * k, t));
    }

private:
    std::vector<uint16_t> fine_;
    unsigned cur_ = 0;
    Index below_ = 0;
    Index n_ = 0;
};

// Codes below any number of bins (up to 2^32): a window holds at most the
// footprint's size of them, so with many bins it is sparse however the
// image looks. One counter per bin, and over the counters a tree of
// bitmaps, 64 children to a word. The bottom bitmap and the level above it
// are exact (bit v: bin v counts something; bit w: word w of the bottom
// has a bit set), kept without a branch; the levels above those only
// promise that nothing is counted under a clear bit: an update sets the
// bits above an occupied bin but never clears them, and the walk of the
// answer clears the stale ones it meets, once each (kept exact, their few
// words would chain every update through one another). So an update costs
// a few stores and no unpredictable branch, and the answer moves from one
// occupied bin to the next in a few word scans whatever lies between; a
// step moves it across about as many values as the step changed, so no
// level needs counts. The counters and the bottom bitmap are as large as the bins
// (bins bytes to 4 bins bytes, plus bins / 8); the levels above fit in L1.
//
// Count = Once: windows that hold each code at most once (their image
// repeats none), whose bottom bitmap is their count: no counters, an
// eighth of a byte per bin.
struct Once {};

template <class Count> class CodeHistogram {
public:
    static constexpr int kMaxLevels = 6; // 64^6 > 2^32
    static constexpr bool kOnce = std::is_same_v<Count, Once>;

    explicit CodeHistogram(Index bins)
        : fine_(kOnce ? 0 : static_cast<size_t>(std::max<Index>(bins, 1))) {
        // Level sizes in words; each level has a spare zero word so that
        // scans may read one word past the last.
        Index positions = std::max<Index>(bins, 1);
        size_t total = 0;
        do {
            const Index words = (positions + 63) / 64;
            start_[levels_] = total;
            total += static_cast<size_t>(words) + 1;
            ++levels_;
            positions = words;
        } while (positions > 1);
        bits_.assign(total, 0);
        for (int l = 0; l < levels_; ++l) level_[l] = bits_.data() + start_[l];
        beyond_l2_ = fine_.size() * sizeof(Counter) + total * 8 > (size_t{384} << 10);
    }
    CodeHistogram(Index bins, const Task &) : CodeHistogram(bins) {}

    // Whether the counters outgrow L2 (512 KiB on the machines this was
    // tuned on): their updates then wait on L3 unless fetched ahead.
    bool beyond_l2() const { return beyond_l2_; }

    // Empties the window: zeroes what the bitmaps say may be occupied, so
    // a rebuild costs what the window held, not the bins.
    void clear() {
        clear_word(levels_ - 1, 0);
        cur_ = 0;
        below_ = 0;
        n_ = 0;
    }

    Index population() const { return n_; }
    unsigned pivot() const { return cur_; }
    void adjust(Index below, Index population) {
        below_ += below;
        n_ += population;
    }

    void prefetch(unsigned v) const {
        if constexpr (!kOnce) prefetch_line(fine_.data() + v);
        prefetch_line(bits_.data() + (v >> 6));
    }

    void exchange(unsigned a, unsigned b) {
        if constexpr (kOnce) {
            occupy(a);
            vacate(b, 0);
        } else {
            ++fine_[a];
            occupy(a);
            vacate(b, --fine_[b]);
        }
    }
    // Weight m: a mask byte, 0 or 1.
    void add(unsigned v, unsigned m = 1) {
        if constexpr (!kOnce) fine_[v] = static_cast<Counter>(fine_[v] + m);
        if (m != 0) occupy(v);
    }
    void remove(unsigned v, unsigned m = 1) {
        if constexpr (kOnce) {
            vacate(v, static_cast<Counter>(1 - m));
        } else {
            const Counter left = static_cast<Counter>(fine_[v] - m);
            fine_[v] = left;
            vacate(v, left);
        }
    }

    unsigned rank(Index r) {
        unsigned cur = cur_;
        Index below = below_;
        if (below > r) {
            do {
                cur = previous(cur);
                below -= count(cur);
            } while (below > r);
        } else {
            while (below + count(cur) <= r) {
                below += count(cur);
                cur = next(cur + 1);
            }
        }
        cur_ = cur;
        below_ = below;
        return cur;
    }

private:
    using Counter = std::conditional_t<kOnce, uint8_t, Count>;

    uint64_t *level(int l) { return level_[l]; }
    // What bin v counts.
    Index count(unsigned v) const {
        if constexpr (kOnce)
            return static_cast<Index>((level_[0][v >> 6] >> (v & 63)) & 1);
        else
            return fine_[v];
    }

    // A bit already set has its ancestors set: the climb stops there. The
    // bit above the bin's word is set without asking (whether it was set
    // is a branch no predictor learns), the higher ones, nearly always set
    // already, with a branch.
    void occupy(unsigned v) {
        level(0)[v >> 6] |= uint64_t{1} << (v & 63);
        if (levels_ < 2) return;
        Index u = v >> 6;
        level(1)[u >> 6] |= uint64_t{1} << (u & 63);
        u >>= 6;
        for (int l = 2; l < levels_; ++l, u >>= 6) {
            uint64_t &w = level(l)[u >> 6];
            const uint64_t bit = uint64_t{1} << (u & 63);
            if (w & bit) return;
            w |= bit;
        }
    }
    // Bin v now counts `left`. The bit above its word goes with the word's
    // last occupied bin, so the walk meets no stale bit on that level.
    void vacate(unsigned v, Counter left) {
        uint64_t &w = level(0)[v >> 6];
        w &= ~(uint64_t{left == 0} << (v & 63));
        if (levels_ >= 2) {
            const unsigned u = v >> 6;
            level(1)[u >> 6] &= ~(uint64_t{w == 0} << (u & 63));
        }
    }

    // The first occupied bin under bit `child` of level l + 1, i.e. in word
    // `child` of level l; -1 when there is none, after clearing that stale
    // bit.
    Index first_under(int l, Index child) {
        uint64_t w = level(l)[child];
        while (w != 0) {
            const Index c = child * 64 + std::countr_zero(w);
            if (l == 0) return c;
            const Index found = first_under(l - 1, c);
            if (found >= 0) return found;
            w &= w - 1;
        }
        level(l + 1)[child >> 6] &= ~(uint64_t{1} << (child & 63));
        return -1;
    }
    Index last_under(int l, Index child) {
        uint64_t w = level(l)[child];
        while (w != 0) {
            const int top = 63 - std::countl_zero(w);
            const Index c = child * 64 + top;
            if (l == 0) return c;
            const Index found = last_under(l - 1, c);
            if (found >= 0) return found;
            w &= ~(uint64_t{1} << top);
        }
        level(l + 1)[child >> 6] &= ~(uint64_t{1} << (child & 63));
        return -1;
    }

    // The first occupied bin >= v, and the last one < v; the caller knows
    // they exist, so the climb stops below the top word.
    unsigned next(unsigned v) {
        Index u = v;
        for (int l = 0;; ++l, u = (u >> 6) + 1) {
            uint64_t w = level(l)[u >> 6] & (~uint64_t{0} << (u & 63));
            while (w != 0) {
                const Index c = (u & ~Index{63}) | std::countr_zero(w);
                if (l == 0) return static_cast<unsigned>(c);
                const Index found = first_under(l - 1, c);
                if (found >= 0) return static_cast<unsigned>(found);
                w &= w - 1;
            }
        }
    }
    unsigned previous(unsigned v) {
        Index u = v;
        for (int l = 0;; ++l, u >>= 6) {
            uint64_t w = level(l)[u >> 6] & ((uint64_t{1} << (u & 63)) - 1);
            while (w != 0) {
                const int top = 63 - std::countl_zero(w);
                const Index c = (u & ~Index{63}) | top;
                if (l == 0) return static_cast<unsigned>(c);
                const Index found = last_under(l - 1, c);
                if (found >= 0) return static_cast<unsigned>(found);
                w &= ~(uint64_t{1} << top);
            }
        }
    }

    void clear_word(int l, Index word) {
        uint64_t w = level(l)[word];
        level(l)[word] = 0;
        while (w != 0) {
            const Index child = word * 64 + std::countr_zero(w);
            w &= w - 1;
            if (l == 0) {
                if constexpr (!kOnce) fine_[static_cast<size_t>(child)] = 0;
            } else
                clear_word(l - 1, child);
        }
    }

    std::vector<Counter> fine_;     // none when kOnce
    std::vector<uint64_t> bits_;    // the levels, bottom first
    size_t start_[kMaxLevels] = {}; // where each level starts in bits_
    uint64_t *level_[kMaxLevels] = {};
    int levels_ = 0;
    bool beyond_l2_ = false;
    unsigned cur_ = 0;
    Index below_ = 0;
    Index n_ = 0;
};

} // namespace morvane::engine::histogram
