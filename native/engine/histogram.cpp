// The sliding-histogram method: rank filters (and minimum, maximum) for any
// footprint, mask, element type and number of dimensions.
//
// Each band keeps one window histogram (histogram.hpp) and walks its rows
// in a serpentine: east along one row, one step south, west along the next,
// so no window is built twice. A step along a row changes the window by the
// ends of the footprint's runs: on a step east, every run gains the pixel
// past its right end and loses the one before its left end, in the same
// image row. The two are handled as a pair; where they hold the same value
// (flat regions) the histogram is not touched at all, which also keeps long
// chains of updates to one counter out of the loop.
//
// Runs whose image row lies outside the image are dropped once per row, so
// rows near the top and bottom borders take the same loop as the interior;
// only the columns whose runs cross the left or right border check each
// pixel. A step south (once per row) uses the footprint's upper and lower
// edges, checked member by member. 3D volumes rebuild the window at the
// start of each plane of their band, as 2D bands do at their first row.
#include "histogram.hpp"
#include "engine.hpp"
#include "tally.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace morvane::engine {
namespace {

using histogram::Histogram;

// Histograms that answer a statistic of their own (tally.hpp) rather than
// a rank.
template <class H> constexpr bool kTally = requires { H::kAnswers; };
template <class H> constexpr bool skips_equal() {
    if constexpr (kTally<H>)
        return H::kSkipEqual;
    else
        return false;
}

// A run's entering and leaving pixels on one kind of step along a row, in
// an image row that lies inside the image: the row's byte offsets in the
// image and the mask, and the two run ends relative to the centre column.
struct RowPair {
    Index image_row, mask_row;
    Index dx_in, dx_out;
};

// Members that enter on a step south (the lower edge: the member below is
// not one) or leave on it (the upper edge), relative to the window centre
// after (entering) or before (leaving) the step.
struct VerticalEdges {
    std::vector<Offset> enter, leave;
};

VerticalEdges vertical_edges(const Footprint &f) {
    const Index planes = f.shape[0], rows = f.shape[1], cols = f.shape[2];
    std::vector<char> dense(static_cast<size_t>(planes * rows * cols), 0);
    auto index = [&](const Offset &o) {
        return ((o.dz + f.centre[0]) * rows + (o.dy + f.centre[1])) * cols + o.dx + f.centre[2];
    };
    for (const Offset &o : f.members) dense[static_cast<size_t>(index(o))] = 1;
    VerticalEdges e;
    for (const Offset &o : f.members) {
        const Index row = o.dy + f.centre[1];
        const Offset below{o.dz, o.dy + 1, o.dx}, above{o.dz, o.dy - 1, o.dx};
        if (row + 1 >= rows || dense[static_cast<size_t>(index(below))] == 0) e.enter.push_back(o);
        if (row == 0 || dense[static_cast<size_t>(index(above))] == 0) e.leave.push_back(o);
    }
    return e;
}

// A member of a vertical edge with its byte offsets from the centre pixel.
struct EdgeMember {
    Offset o;
    Index image, mask;
};

// In: the image's element type; H: the window's histogram.
template <class In, class H, bool Masked> class Scan {
public:
    Scan(const Task &t, Index bins) : t_(t), f_(*t.fp), h_(bins, t) {
        const VerticalEdges e = vertical_edges(f_);
        for (const Offset &o : e.enter) enter_.push_back(edge_member(o));
        for (const Offset &o : e.leave) leave_.push_back(edge_member(o));
        pairs_.reserve(f_.runs.size());
        fast_.reserve(4 * f_.runs.size());
        // Extreme run ends over all runs, for each direction: the columns
        // where no run crosses the left or right border.
        for (const Run &r : f_.runs) {
            east_lo_ = std::min({east_lo_, r.x1, r.x0 - 1});
            east_hi_ = std::max({east_hi_, r.x1, r.x0 - 1});
            west_lo_ = std::min({west_lo_, r.x0, r.x1 + 1});
            west_hi_ = std::max({west_hi_, r.x0, r.x1 + 1});
        }
        switch (t.stat) {
        case Stat::Min: rank_mode_ = 0; break;
        case Stat::Max: rank_mode_ = 1; break;
        default: rank_mode_ = 2;
        }
    }

    void run(const Band &b, const Control &c) {
        const Index width = t_.image.shape[2];
        for (Index z = b.z0; z < b.z1; ++z) {
            if (c.cancelled()) return;
            build(z, b.y0);
            for (Index y = b.y0; y < b.y1; ++y) {
                if (y > b.y0) {
                    if (c.cancelled()) return;
                    const Index x = (y - b.y0) % 2 == 1 ? width - 1 : 0;
                    step_south(z, y, x);
                }
                if ((y - b.y0) % 2 == 0)
                    row<true>(z, y);
                else
                    row<false>(z, y);
            }
        }
    }

private:
    // The window of (z, y, 0) from scratch.
    void build(Index z, Index y) {
        h_.clear();
        Change d{h_.pivot()};
        for (const Offset &o : f_.members) add_checked(d, z + o.dz, y + o.dy, o.dx);
        h_.adjust(d.below, d.population);
        emit(z, y, 0);
    }

    // What a step changed below the answer and in the population.
    struct Change {
        unsigned cur;
        Index below = 0, population = 0;
    };

    void add_checked(Change &d, Index z, Index y, Index x) {
        if (!inside(t_.image, z, y, x)) return;
        if (Masked && *t_.mask.at(z, y, x, 1) == 0) return;
        const unsigned v = load<In>(t_.image.at(z, y, x, sizeof(In)));
        h_.add(v);
        d.below += v < d.cur;
        ++d.population;
    }

    EdgeMember edge_member(const Offset &o) const {
        const Plane3 &im = t_.image, &m = t_.mask;
        return {o, o.dz * im.strides[0] + o.dy * im.strides[1] + o.dx * Index{sizeof(In)},
                Masked ? o.dz * m.strides[0] + o.dy * m.strides[1] + o.dx : 0};
    }

    // Add (Sign +1) or remove the members of a vertical edge around the
    // centre (z, y, x). Members outside the image read the centre pixel
    // with weight 0: no branch on where the border lies.
    template <int Sign>
    void vertical(Change &d, const std::vector<EdgeMember> &edge, Index z, Index y, Index x) {
        const Plane3 &im = t_.image;
        const char *centre = im.at(z, y, x, sizeof(In));
        const unsigned char *mcentre =
            Masked ? reinterpret_cast<const unsigned char *>(t_.mask.at(z, y, x, 1)) : nullptr;
        for (const EdgeMember &e : edge) {
            const bool in = inside(im, z + e.o.dz, y + e.o.dy, x + e.o.dx);
            const unsigned v = load<In>(centre + (in ? e.image : 0));
            unsigned w = in;
            if constexpr (Masked) w &= mcentre[in ? e.mask : 0];
            if constexpr (Sign > 0) {
                h_.add(v, w);
                d.below += w & (v < d.cur);
                d.population += w;
            } else {
                h_.remove(v, w);
                d.below -= w & (v < d.cur);
                d.population -= w;
            }
        }
    }

    // From (z, y - 1, x) to (z, y, x), then the pixel's value.
    void step_south(Index z, Index y, Index x) {
        Change d{h_.pivot()};
        vertical<-1>(d, leave_, z, y - 1, x);
        vertical<+1>(d, enter_, z, y, x);
        h_.adjust(d.below, d.population);
        emit(z, y, x);
    }

    // The rest of row (z, y): east from column 1, or west from the column
    // before the last.
    template <bool East> void row(Index z, Index y) {
        const Index width = t_.image.shape[2];
        const Plane3 &im = t_.image;
        pairs_.clear();
        fast_.clear();
        for (const Run &r : f_.runs) {
            const Index zz = z + r.dz, yy = y + r.dy;
            if (!inside(im, zz, yy, 0)) continue;
            const Index in = East ? r.x1 : r.x0, out = East ? r.x0 - 1 : r.x1 + 1;
            const Index image_row = zz * im.strides[0] + yy * im.strides[1];
            const Index mask_row = Masked ? zz * t_.mask.strides[0] + yy * t_.mask.strides[1] : 0;
            pairs_.push_back({image_row, mask_row, in, out});
            fast_.push_back(image_row + in * Index{sizeof(In)});
            fast_.push_back(image_row + out * Index{sizeof(In)});
            if (Masked) {
                fast_.push_back(mask_row + in);
                fast_.push_back(mask_row + out);
            }
        }
        // Columns whose pairs all lie inside the row.
        const Index lo = East ? east_lo_ : west_lo_, hi = East ? east_hi_ : west_hi_;
        const Index inner0 = std::max<Index>(-lo, 0), inner1 = std::min(width - hi, width);
        // Histograms too large for L2 fetch the counters of the values
        // entering kAhead steps later while this step runs; the last
        // kAhead inner steps have no such values inside the row.
        const Index ahead = (East ? kAhead : -kAhead) * Index{sizeof(In)};
        const bool fetch = h_.beyond_l2();
        if (East) {
            Index x = 1;
            for (; x < std::min(inner0, width); ++x) edge_step(z, y, x);
            if (fetch)
                for (; x < inner1 - kAhead; ++x) inner_step<true>(z, y, x, ahead);
            for (; x < inner1; ++x) inner_step<false>(z, y, x, 0);
            for (; x < width; ++x) edge_step(z, y, x);
        } else {
            Index x = width - 2;
            for (; x >= std::max(inner1, Index{0}); --x) edge_step(z, y, x);
            if (fetch)
                for (; x >= inner0 + kAhead; --x) inner_step<true>(z, y, x, ahead);
            for (; x >= inner0; --x) inner_step<false>(z, y, x, 0);
            for (; x >= 0; --x) edge_step(z, y, x);
        }
    }

    static constexpr Index kAhead = 2;

    // ahead: bytes from a pair's entering pixel to the one entering kAhead
    // steps later.
    // 8-bit values: counters in L1 update faster every time than behind a
    // branch, which smooth images (equal values entering and leaving)
    // mispredict.
    static constexpr bool kAlways = sizeof(In) == 1 && !skips_equal<H>();

    template <bool Fetch> void inner_step(Index z, Index y, Index x, Index ahead) {
        const char *base = t_.image.data + x * Index{sizeof(In)};
        const Index *p = fast_.data();
        const Index *end = p + fast_.size();
        const unsigned cur = h_.pivot();
        Index below = 0, population = 0;
        if constexpr (Masked) {
            const unsigned char *mbase = reinterpret_cast<const unsigned char *>(t_.mask.data) + x;
            for (; p != end; p += 4) {
                const unsigned a = load<In>(base + p[0]), b = load<In>(base + p[1]);
                const unsigned ma = mbase[p[2]], mb = mbase[p[3]];
                if constexpr (Fetch) h_.prefetch(load<In>(base + p[0] + ahead));
                if (kAlways || a != b || ma != mb) {
                    h_.remove(b, mb);
                    h_.add(a, ma);
                    below +=
                        static_cast<Index>(ma & (a < cur)) - static_cast<Index>(mb & (b < cur));
                    population += static_cast<Index>(ma) - static_cast<Index>(mb);
                }
            }
        } else {
            for (; p != end; p += 2) {
                const unsigned a = load<In>(base + p[0]), b = load<In>(base + p[1]);
                if constexpr (Fetch) h_.prefetch(load<In>(base + p[0] + ahead));
                if (kAlways || a != b) {
                    h_.exchange(a, b);
                    below += static_cast<Index>(a < cur) - static_cast<Index>(b < cur);
                }
            }
        }
        h_.adjust(below, population);
        emit(z, y, x);
    }

    // A step where some pairs fall outside the row: those ends read column
    // 0 with weight 0, without a branch.
    void edge_step(Index z, Index y, Index x) {
        const size_t width = static_cast<size_t>(t_.image.shape[2]);
        const char *image = t_.image.data;
        const unsigned char *mask = reinterpret_cast<const unsigned char *>(t_.mask.data);
        const unsigned cur = h_.pivot();
        Index below = 0, population = 0;
        for (const RowPair &p : pairs_) {
            const Index xo = x + p.dx_out, xi = x + p.dx_in;
            const bool out_inside = static_cast<size_t>(xo) < width;
            const bool in_inside = static_cast<size_t>(xi) < width;
            const Index co = out_inside ? xo : 0, ci = in_inside ? xi : 0;
            const unsigned b = load<In>(image + p.image_row + co * Index{sizeof(In)});
            const unsigned a = load<In>(image + p.image_row + ci * Index{sizeof(In)});
            unsigned mb = out_inside, ma = in_inside;
            if constexpr (Masked) {
                mb &= mask[p.mask_row + co];
                ma &= mask[p.mask_row + ci];
            }
            h_.remove(b, mb);
            h_.add(a, ma);
            below += static_cast<Index>(ma & (a < cur)) - static_cast<Index>(mb & (b < cur));
            population += static_cast<Index>(ma) - static_cast<Index>(mb);
        }
        h_.adjust(below, population);
        emit(z, y, x);
    }

    void emit(Index z, Index y, Index x) {
        const Output &o = t_.out;
        char *to = o.data + z * o.strides[0] + y * o.strides[1] + x * o.strides[2];
        if constexpr (kTally<H>) {
            const auto r = h_.answer(load<In>(t_.image.at(z, y, x, sizeof(In))));
            if constexpr (std::is_same_v<decltype(r), const double>) {
                std::memcpy(to, &r, sizeof r);
            } else {
                const In v = static_cast<In>(r);
                std::memcpy(to, &v, sizeof v);
            }
        } else {
            const Index n = h_.population();
            In v = 0;
            if (n > 0) {
                const Index r = rank_mode_ == 0 ? 0 : rank_mode_ == 1 ? n - 1 : t_.rank_of[n];
                v = static_cast<In>(h_.rank(r));
            }
            std::memcpy(to, &v, sizeof v);
        }
    }

    const Task &t_;
    const Footprint &f_;
    std::vector<EdgeMember> enter_, leave_; // vertical edges
    std::vector<RowPair> pairs_;
    // The same pairs for the inner loop: image offsets in and out, then
    // (with a mask) mask offsets in and out.
    std::vector<Index> fast_;
    H h_;
    Index east_lo_ = 0, east_hi_ = 0, west_lo_ = 0, west_hi_ = 0;
    int rank_mode_ = 2;
};

// Whether 16-bit windows hold values so far apart that the answer is
// better found through the bitmap of occupied blocks than by walking the
// blocks: the walk grows with the gap between neighbouring values times the
// rank's move per step (about the square root of the pairs), the bitmap
// costs its updates on every pair. Judged on a few sample windows.
template <class In> bool sparse_windows(const Task &t) {
    const Footprint &f = *t.fp;
    const double pairs = static_cast<double>(std::max<size_t>(f.runs.size(), 1));
    const double threshold = 450.0 * std::sqrt(pairs);
    if (65536.0 / static_cast<double>(f.size()) < threshold) return false;
    const Plane3 &im = t.image;
    double gaps = 0;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            const Index z = im.shape[0] / 2, y = (2 * i + 1) * im.shape[1] / 8,
                        x = (2 * j + 1) * im.shape[2] / 8;
            unsigned lo = 65535, hi = 0;
            Index n = 0;
            for (const Offset &o : f.members) {
                const Index zz = z + o.dz, yy = y + o.dy, xx = x + o.dx;
                if (!inside(im, zz, yy, xx)) continue;
                if (t.has_mask() && *t.mask.at(zz, yy, xx, 1) == 0) continue;
                const unsigned v = load<In>(im.at(zz, yy, xx, sizeof(In)));
                lo = std::min(lo, v);
                hi = std::max(hi, v);
                ++n;
            }
            // A window of one value has nothing near it.
            gaps += n < 2 ? 65536.0 : static_cast<double>(hi - lo) / static_cast<double>(n - 1);
        }
    }
    return gaps / 16 > threshold;
}

// Whether no code below `bins` occurs twice among the pixels that a band's
// windows read (its planes and rows widened by the footprint's reach): a
// window then holds each code at most once. Stops at the first repeat.
template <class In> bool codes_once(const Task &t, const Band &b, Index bins) {
    const Plane3 &im = t.image;
    const Footprint &f = *t.fp;
    const Index z0 = std::max<Index>(0, b.z0 + f.lo[0]), z1 = std::min(im.shape[0], b.z1 + f.hi[0]);
    const Index y0 = std::max<Index>(0, b.y0 + f.lo[1]), y1 = std::min(im.shape[1], b.y1 + f.hi[1]);
    const Index width = im.shape[2];
    if ((z1 - z0) * (y1 - y0) * width > bins) return false; // some code repeats
    std::vector<uint64_t> seen(static_cast<size_t>((bins + 63) / 64), 0);
    for (Index z = z0; z < z1; ++z) {
        for (Index y = y0; y < y1; ++y) {
            const char *row = im.at(z, y, 0, sizeof(In));
            for (Index x = 0; x < width; ++x) {
                const unsigned v = load<In>(row + x * im.strides[2]);
                uint64_t &w = seen[v >> 6];
                const uint64_t bit = uint64_t{1} << (v & 63);
                if (w & bit) return false;
                w |= bit;
            }
        }
    }
    return true;
}

template <class In, class H>
void run_scan(const Task &t, const Band &b, const Control &c, Index bins) {
    if (t.has_mask())
        Scan<In, H, true>(t, bins).run(b, c);
    else
        Scan<In, H, false>(t, bins).run(b, c);
}

// Pairs per step from which 16-bit windows keep no sums of blocks: their
// answer moves by a few groups of bins per step, which adding up costs
// less than keeping the sums on every pair (measured).
constexpr size_t kFlatPairs = 40;

// Counters as narrow as the footprint allows: a window never counts more
// values than the footprint has members.
template <class In> void run_typed(const Task &t, const Band &b, const Control &c, Index bins) {
    const Index m = t.fp->size();
    if (bins <= 256) {
        // 256 bins fit in L1 anyway, where 32-bit counters update fastest.
        run_scan<In, Histogram<8, uint32_t>>(t, b, c, bins);
    } else if (bins <= 65536) {
        // 16-bit counters keep the 65536 bins in half the cache.
        const bool narrow = m <= std::numeric_limits<uint16_t>::max();
        if (narrow && sparse_windows<In>(t)) {
            run_scan<In, Histogram<16, uint16_t, true>>(t, b, c, bins);
        } else {
            if (narrow && t.fp->runs.size() >= kFlatPairs)
                run_scan<In, histogram::FlatHistogram>(t, b, c, bins);
            else if (narrow)
                run_scan<In, Histogram<16, uint16_t>>(t, b, c, bins);
            else
                run_scan<In, Histogram<16, uint32_t>>(t, b, c, bins);
        }
    } else if constexpr (sizeof(In) == 4) {
        if (codes_once<In>(t, b, bins))
            run_scan<In, histogram::CodeHistogram<histogram::Once>>(t, b, c, bins);
        else if (m <= std::numeric_limits<uint8_t>::max())
            run_scan<In, histogram::CodeHistogram<uint8_t>>(t, b, c, bins);
        else if (m <= std::numeric_limits<uint16_t>::max())
            run_scan<In, histogram::CodeHistogram<uint16_t>>(t, b, c, bins);
        else
            run_scan<In, histogram::CodeHistogram<uint32_t>>(t, b, c, bins);
    }
}

// Statistics of the whole histogram: 32-bit counters, which hold any
// window and, for kernels, are what the kernel reads.
template <class In> void run_tally(const Task &t, const Band &b, const Control &c, Index bins) {
    switch (t.stat) {
    case Stat::Mode:
        if (bins <= 1024 && t.fp->size() < (1 << 15))
            run_scan<In, tally::FewMode<int16_t>>(t, b, c, bins);
        else
            run_scan<In, tally::Mode<uint32_t>>(t, b, c, bins);
        break;
    case Stat::Entropy: run_scan<In, tally::Entropy<uint32_t>>(t, b, c, bins); break;
    case Stat::Otsu:
        if (tally::integral_values(t, bins))
            run_scan<In, tally::Otsu<uint32_t, int64_t>>(t, b, c, bins);
        else
            run_scan<In, tally::Otsu<uint32_t, double>>(t, b, c, bins);
        break;
    default: run_scan<In, tally::Kernel>(t, b, c, bins);
    }
}

bool tallied(Stat s) {
    return s == Stat::Mode || s == Stat::Entropy || s == Stat::Otsu || s == Stat::Kernel;
}

} // namespace

bool histogram_applies(const Task &t) {
    if (t.stat == Stat::Mean || t.stat == Stat::Variance || t.fp->size() == 0) return false;
    if ((t.stat == Stat::Otsu || t.stat == Stat::Kernel) && t.bin_values == nullptr) return false;
    if (t.stat == Stat::Kernel && t.kernel == nullptr) return false;
    if (t.item == 4) return t.bins > 0; // the entry checks values_fit()
    return t.item <= 2;
}

// Measured on random images, one core (ns per pixel): a fixed part (the
// step, the output, the rank's bookkeeping), the pairs of each step (more
// where the window crosses the left or right border, where every pixel is
// checked), the walk of the answer, and what each row's step south and each
// band's (3D: plane's) first window cost spread over their pixels. The walk
// grows with how far the rank moves per step (about half the square root of
// the pixels that change) times the bins between neighbouring values, which
// the block sums and the bitmap of 16-bit windows shorten to about its
// square root. Codes beyond 16 bits: the walk crosses about as many values
// per step, each in as many word scans as levels lie between neighbouring
// values (log64 of the bins per counted value), and counters beyond L2 cost
// a little more per pair; their histogram is allocated per band.
double histogram_cost(const Task &t) {
    const Footprint &f = *t.fp;
    const double bins = t.item == 1 ? 256.0 : t.item == 2 ? 65536.0 : static_cast<double>(t.bins);
    const bool wide = bins > 256, codes = bins > 65536;
    const double size = static_cast<double>(std::max<Index>(f.size(), 1));
    const double pairs = static_cast<double>(f.runs.size());
    const double width = static_cast<double>(std::max<Index>(t.image.shape[2], 1));
    const double rows = static_cast<double>(std::max<Index>(t.image.shape[1], 1));
    const double pixels = width * rows * static_cast<double>(std::max<Index>(t.image.shape[0], 1));
    const double span = static_cast<double>(f.hi[2] - f.lo[2] + 1);
    const double height = static_cast<double>(f.hi[1] - f.lo[1] + 1);

    const double masked = t.has_mask() ? (wide ? 1.3 : 1.9) : 1.0;
    const double crossing = 1.0 + std::min(span, width) / width;
    const double south = 2.0 * 3.0 * (size / height) / width;
    const double first = 3.0 * size / (rows * width) * (t.image.shape[0] > 1 ? 1.0 : 2.0);
    if (codes) {
        const double counter = size < 256 ? 1.0 : size < 65536 ? 2.0 : 4.0;
        const double bytes = bins * (counter + 0.125);
        const double beyond_l2 = std::clamp(std::log2(bytes / 4e5) / 3.0, 0.0, 1.0);
        const double levels = std::log(std::max(bins / size, 1.0)) / std::log(64.0);
        return (6.3 + 0.9 * beyond_l2) * masked * pairs * crossing +
               13.5 * std::sqrt(pairs) * levels + south + first + 0.2 * bytes / pixels;
    }
    const double per_pair = (wide ? 3.5 : 1.6) * masked;
    const double moved = 0.5 * std::sqrt(2.0 * pairs) * bins / size;
    const double walk =
        wide ? std::min(8.0 * std::sqrt(moved / 16.0), 60.0) : 5.5 * std::sqrt(moved);
    return (wide ? 20.0 : 10.0) + per_pair * pairs * crossing + walk + south + first;
}

void run_histogram(const Task &t, const Band &b, const Control &c) {
    if (tallied(t.stat)) {
        switch (t.item) {
        case 1: run_tally<uint8_t>(t, b, c, static_cast<Index>(t.top()) + 1); break;
        case 2: run_tally<uint16_t>(t, b, c, static_cast<Index>(t.top()) + 1); break;
        default: run_tally<uint32_t>(t, b, c, std::min<Index>(t.bins, Index{1} << 32));
        }
        return;
    }
    switch (t.item) {
    case 1: run_typed<uint8_t>(t, b, c, 256); break;
    case 2: run_typed<uint16_t>(t, b, c, 65536); break;
    // Codes are 32-bit: more bins than 2^32 would stay empty.
    default: run_typed<uint32_t>(t, b, c, std::min<Index>(t.bins, Index{1} << 32));
    }
}

} // namespace morvane::engine
