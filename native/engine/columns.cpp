// Rank statistics over boxes by column histograms.
//
// Every image column keeps the histogram of its pixels over the box's
// height (and depth, in a volume). Going down one row moves one pixel out of
// and one into each column; along a row the window's histogram gains the
// column entering on the right and loses the one leaving on the left. So a
// pixel costs the same whatever the box's size.
//
// The histograms have levels so that moving a column is a few vector
// operations. 8-bit codes: 16 coarse bins of 16 fine ones. The window keeps
// its coarse bins exact at every pixel; its fine bins are brought up to date
// only in the coarse bin where the rank lies, by replaying the columns that
// entered and left since that coarse bin was last looked at (or summing the
// window's columns afresh when that is cheaper).
//
// Wider codes (uint16 images with more than 256 distinct values) split
// their top 8 bits the same way and add a third level below: its bins live
// only in the window, for a range of the columns' 256 bins around where the
// rank lies. Each column entering or leaving adds or removes its pixels in
// that range (found by vector compares in a transposed copy, where a column
// is contiguous); when the rank strays out, the range moves and is counted
// afresh. Column histograms of all 65536 values would not fit any cache.
// The running sums keep counts of 16 bits (32 for boxes of more than 65535
// pixels). Columns and windows hold running sums within each level, so a
// search is one vector compare.
//
// uint16 images are first recoded by the rank of each value among the
// values present (only the order of values matters to a rank): images with
// at most 256 distinct values run as 8-bit, others with as few bits as their
// distinct values need.
//
// Volumes: a column spans the box's planes as well as its rows.
//
// Border rule: a column histogram holds the pixels of the column inside the
// image (and not masked out); windows cut by the left or right border sum
// fewer columns, and n, the counted pixels, is the sum of the columns'
// counts.
#include "engine.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "isa.hpp"

#if MV_X86
#include <immintrin.h>
#endif

namespace morvane::engine {
namespace columns_detail {

constexpr Index kStale = std::numeric_limits<Index>::min() / 4;

inline int lowest_zero_bit(unsigned m) { return MV_CTZ(~m); }

// The bin of bins[0 .. nb) holding the value of rank r (0-based), and in
// *below how many values lie in the bins before it. The bins hold more than
// r values.
template <class T> inline int find_bin(const T *bins, Index r, int nb, Index *below) {
    (void)nb;
    Index acc = 0;
    int i = 0;
    while (acc + static_cast<Index>(bins[i]) <= r) acc += bins[i++];
    *below = acc;
    return i;
}

// What a band reads: codes (the uint8 image itself, or recoded values) in
// planes [pa, pb) x rows [ra, rb) x all columns.
struct Source {
    const char *codes = nullptr; // code of (p, r, c): codes + origin + p*ps + r*rs + c*size
    Index origin = 0, ps = 0, rs = 0;
    const uint16_t *value_of = nullptr; // null: codes are the values
    int bits = 8;                       // codes < 2^bits
    // Wide codes only: the codes column by column, rows contiguous, and the
    // mask likewise: element ((p - pa) * cols + c) * rows + (r - ra).
    const uint16_t *by_column = nullptr;
    const uint8_t *mask_by_column = nullptr;
};

struct Geometry {
    Index P, R, C;        // image planes, rows, cols
    Index lo[3], hi[3];   // box offsets
    Index pa, pb, ra, rb; // what a band reads
};

} // namespace columns_detail
} // namespace morvane::engine

#define MORVANE_COLUMNS_ISA portable
#include "columns_core.hpp"
#undef MORVANE_COLUMNS_ISA

#if MV_X86
#define MORVANE_COLUMNS_ISA sse2
#define MORVANE_COLUMNS_SSE2 1
#include "columns_core.hpp"
#undef MORVANE_COLUMNS_SSE2
#undef MORVANE_COLUMNS_ISA

MV_AVX2_BEGIN
#define MORVANE_COLUMNS_ISA avx2
#define MORVANE_COLUMNS_AVX2 1
#include "columns_core.hpp"
#undef MORVANE_COLUMNS_AVX2
#undef MORVANE_COLUMNS_ISA
MV_AVX2_END
#endif

namespace morvane::engine {
namespace {

using columns_detail::Geometry;
using columns_detail::Source;

void run_source(const Task &t, const Geometry &g, const Source &s, const Band &b,
                const Control &control) {
    switch (active_isa()) {
#if MV_X86
    case Isa::Avx2:
    case Isa::Avx512: return columns_detail::avx2::run(t, g, s, b, control);
    case Isa::Sse2: return columns_detail::sse2::run(t, g, s, b, control);
#endif
    default: return columns_detail::portable::run(t, g, s, b, control);
    }
}

} // namespace

bool columns_applies(const Task &t) {
    return t.item <= 2 && t.stat == Stat::Rank && t.fp->box && t.fp->size() > 0;
}

// Measured on 1024 x 1024 images and 64 x 128 x 128 volumes (uniform
// values, one core). 8-bit codes: about 18 ns whatever the box, a little
// more per plane of a volume's box and with a mask. Wider codes: the range
// of finest bins is scanned in the columns entering and leaving, so the
// box's height counts, and narrow tall boxes move their range more often.
// The small-box terms keep the plain method for boxes of one or two pixels;
// the fixed part (recoding tables, histograms) matters for small images.
double columns_cost(const Task &t) {
    const Footprint &f = *t.fp;
    const double m = static_cast<double>(f.size());
    const double depth = static_cast<double>(f.shape[0]);
    const double height = static_cast<double>(f.shape[1]) * depth;
    const double width = static_cast<double>(f.shape[2]);
    const double pixels = static_cast<double>(t.image.shape[0]) *
                          static_cast<double>(t.image.shape[1]) *
                          static_cast<double>(t.image.shape[2]);
    if (t.item == 1)
        return 18.0 + 30.0 / m + 4.0 * (depth - 1.0) + (t.has_mask() ? 8.0 : 0.0) +
               5000.0 / std::max(1.0, pixels);
    return 65.0 + 60.0 / m + 1.2 * height + (4.0 * width < height ? 60.0 : 0.0) +
           25.0 * (depth - 1.0) + (t.has_mask() ? 10.0 : 0.0) + 80000.0 / std::max(1.0, pixels);
}

void run_columns(const Task &t, const Band &b, const Control &control) {
    const Footprint &f = *t.fp;
    Geometry g;
    g.P = t.image.shape[0];
    g.R = t.image.shape[1];
    g.C = t.image.shape[2];
    for (int d = 0; d < 3; ++d) {
        g.lo[d] = f.lo[d];
        g.hi[d] = f.hi[d];
    }
    g.pa = std::max<Index>(0, b.z0 + g.lo[0]);
    g.pb = std::min<Index>(g.P, b.z1 - 1 + g.hi[0] + 1);
    g.ra = std::max<Index>(0, b.y0 + g.lo[1]);
    g.rb = std::min<Index>(g.R, b.y1 - 1 + g.hi[1] + 1);
    if (g.pb < g.pa) g.pb = g.pa;
    if (g.rb < g.ra) g.rb = g.ra;

    Source s;
    if (t.item == 1) {
        s.codes = t.image.data;
        s.ps = t.image.strides[0];
        s.rs = t.image.strides[1];
        run_source(t, g, s, b, control);
        return;
    }

    // uint16: recode by rank among the values present in what the band reads.
    const Index planes = g.pb - g.pa, rows = g.rb - g.ra, cols = g.C;
    std::vector<uint16_t> code_of(65536, 0), value_of;
    for (Index p = g.pa; p < g.pb; ++p) {
        for (Index r = g.ra; r < g.rb; ++r) {
            const char *v = t.image.at(p, r, 0, 2);
            const char *m = t.has_mask() ? t.mask.at(p, r, 0, 1) : nullptr;
            for (Index c = 0; c < cols; ++c)
                if (m == nullptr || m[c] != 0) code_of[load<uint16_t>(v + 2 * c)] = 1;
        }
    }
    for (unsigned v = 0; v < 65536; ++v) {
        if (code_of[v] == 0) continue;
        code_of[v] = static_cast<uint16_t>(value_of.size());
        value_of.push_back(static_cast<uint16_t>(v));
    }
    const size_t distinct = value_of.size();
    int bits = 8;
    while ((size_t{1} << bits) < distinct) ++bits;
    s.value_of = value_of.data();
    s.bits = bits;
    s.ps = rows * cols;
    s.rs = cols;
    s.origin = -(g.pa * s.ps + g.ra * s.rs);
    const size_t total = static_cast<size_t>(planes * rows * cols);
    std::vector<uint8_t> codes8;
    std::vector<uint16_t> codes16, by_column;
    std::vector<uint8_t> mask_by_column;
    if (bits == 8) {
        codes8.resize(total);
        size_t k = 0;
        for (Index p = g.pa; p < g.pb; ++p)
            for (Index r = g.ra; r < g.rb; ++r) {
                const char *v = t.image.at(p, r, 0, 2);
                for (Index c = 0; c < cols; ++c)
                    codes8[k++] = static_cast<uint8_t>(code_of[load<uint16_t>(v + 2 * c)]);
            }
        s.codes = reinterpret_cast<const char *>(codes8.data());
    } else {
        codes16.resize(total);
        by_column.resize(total + 16);
        if (t.has_mask()) mask_by_column.resize(total + 16);
        size_t k = 0;
        for (Index p = g.pa; p < g.pb; ++p)
            for (Index r = g.ra; r < g.rb; ++r) {
                const char *v = t.image.at(p, r, 0, 2);
                const char *m = t.has_mask() ? t.mask.at(p, r, 0, 1) : nullptr;
                const size_t column0 = static_cast<size_t>((p - g.pa) * cols * rows + (r - g.ra));
                for (Index c = 0; c < cols; ++c, ++k) {
                    const uint16_t code = code_of[load<uint16_t>(v + 2 * c)];
                    codes16[k] = code;
                    by_column[column0 + static_cast<size_t>(c * rows)] = code;
                    if (m)
                        mask_by_column[column0 + static_cast<size_t>(c * rows)] =
                            static_cast<uint8_t>(m[c]);
                }
            }
        s.codes = reinterpret_cast<const char *>(codes16.data());
        s.ps *= 2;
        s.rs *= 2;
        s.origin *= 2;
        s.by_column = by_column.data();
        s.mask_by_column = t.has_mask() ? mask_by_column.data() : nullptr;
    }
    run_source(t, g, s, b, control);
}

} // namespace morvane::engine
