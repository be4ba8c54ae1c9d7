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
// do not chain updates to one counter.
//
// The rank query keeps the current answer `cur` and the number of counted
// values below it. Each update tells its caller whether it fell below the
// answer; the caller sums that over a step in a register and hands it over
// once (adjust), and the query walks from the last answer only as far as
// the rank moved.
#pragma once

#include "engine.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace morvane::engine::histogram {

template <class In, class Count, bool Sparse = false> class Histogram {
public:
    static constexpr bool kWide = sizeof(In) == 2;
    static constexpr Index kBins = Index{1} << (8 * sizeof(In));

    static_assert(kWide || !Sparse, "8-bit windows walk their 256 bins directly");

    Histogram() : fine_(kBins), mid_(kWide ? kBins / 16 : 0), occupied_(Sparse ? kBins / 1024 : 0) {}

    void clear() {
        std::fill(fine_.begin(), fine_.end(), Count{0});
        std::fill(mid_.begin(), mid_.end(), uint32_t{0});
        std::fill(occupied_.begin(), occupied_.end(), uint64_t{0});
        cur_ = 0;
        below_ = 0;
        n_ = 0;
    }

    Index population() const { return n_; }
    unsigned answer() const { return cur_; }
    // What the updates of a step changed below the answer and in the
    // population.
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
                const uint32_t left = --mid_[b >> 4];
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
    // values. The walk moves bin by bin near the answer; at aligned
    // positions it crosses 4 empty bins with one load, and whole blocks of
    // 16 and 256 bins by their sums when the rank lies beyond them.
    unsigned rank(Index r) {
        if constexpr (Sparse) return sparse_rank(r);
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
                        if (kWide && (cur & 63) == 0 && empty4(mid_.data() + (cur >> 4) - 4)) {
                            cur -= 64;
                            continue;
                        }
                        const Index s = kWide ? mid_[(cur >> 4) - 1] : sum16(fine_.data() + cur - 16);
                        if (below - s > r) {
                            below -= s;
                            cur -= 16;
                            continue;
                        }
                    }
                    if (empty4(fine_.data() + cur - 4)) {
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
                        if (kWide && (cur & 63) == 0 && empty4(mid_.data() + (cur >> 4))) {
                            cur += 64;
                            continue;
                        }
                        const Index s = kWide ? mid_[cur >> 4] : sum16(fine_.data() + cur);
                        if (below + s <= r) {
                            below += s;
                            cur += 16;
                            continue;
                        }
                    }
                    if (empty4(fine_.data() + cur)) {
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
    // Windows whose values lie far apart: the walk hops from one occupied
    // block of 16 bins to the next through the bitmap of occupied blocks.
    unsigned sparse_rank(Index r) {
        unsigned cur = cur_;
        Index below = below_;
        if (below > r) {
            // Down within the answer's block, then block by block.
            while ((cur & 15) != 0) {
                --cur;
                below -= fine_[cur];
                if (below <= r) goto done;
            }
            for (;;) {
                const unsigned m = previous_block(cur >> 4);
                below -= mid_[m];
                if (below <= r) {
                    cur = m * 16 + 16;
                    below += mid_[m];
                    do {
                        --cur;
                        below -= fine_[cur];
                    } while (below > r);
                    goto done;
                }
                cur = m * 16;
            }
        } else if (below + fine_[cur] <= r) {
            below += fine_[cur];
            ++cur;
            while ((cur & 15) != 0) {
                if (below + fine_[cur] > r) goto done;
                below += fine_[cur];
                ++cur;
            }
            for (;;) {
                const unsigned m = next_block(cur >> 4);
                if (below + mid_[m] > r) {
                    cur = m * 16;
                    while (below + fine_[cur] <= r) {
                        below += fine_[cur];
                        ++cur;
                    }
                    goto done;
                }
                below += mid_[m];
                cur = m * 16 + 16;
            }
        }
    done:
        cur_ = cur;
        below_ = below;
        return cur;
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
            const uint32_t c = mid_[v >> 4] + static_cast<uint32_t>(static_cast<std::make_signed_t<Count>>(d));
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

    // Whether 4 consecutive counters are all 0.
    template <class C> static bool empty4(const C *c) {
        if constexpr (sizeof(C) == 2) {
            uint64_t w;
            std::memcpy(&w, c, sizeof w);
            return w == 0;
        } else {
            return (c[0] | c[1] | c[2] | c[3]) == 0;
        }
    }

    std::vector<Count> fine_;    // bins
    std::vector<uint32_t> mid_;  // 16-bit values: sums of 16 bins
    std::vector<uint64_t> occupied_; // sparse windows: bit m: mid_[m] != 0
    unsigned cur_ = 0;              // the last answer
    Index below_ = 0;               // counted values below cur_
    Index n_ = 0;
};

} // namespace morvane::engine::histogram
