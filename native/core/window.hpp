// The sliding window: a histogram of the image values under the footprint,
// updated by edge lists as the window moves one step at a time.
//
// Shared by the 2D and the 3D drivers (D = 2 or 3). Everything here runs
// without the interpreter lock: no allocation, no Python call, no failure.
#pragma once

#include <morvane/slidewin.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace morvane::rank {

template <class Out, class In> using Kernel = morvane::slidewin::rank_kernel<Out, In>;

template <class In> inline In load(const char *p) {
    In v;
    std::memcpy(&v, p, sizeof v); // strides need not keep elements aligned
    return v;
}

// The image (and its optional mask) as the scan reads them: every axis
// through its own stride.
template <int D> struct Grid {
    const char *data;
    Py_ssize_t shape[D];
    Py_ssize_t strides[D];
    const unsigned char *mask; // null: every pixel may be counted
    Py_ssize_t mask_strides[D];

    bool inside(const Py_ssize_t *pos) const {
        for (int d = 0; d < D; ++d)
            if (static_cast<size_t>(pos[d]) >= static_cast<size_t>(shape[d])) return false;
        return true;
    }
    const char *pixel(const Py_ssize_t *pos) const {
        const char *p = data;
        for (int d = 0; d < D; ++d) p += pos[d] * strides[d];
        return p;
    }
    bool unmasked(const Py_ssize_t *pos) const {
        if (mask == nullptr) return true;
        const unsigned char *m = mask;
        for (int d = 0; d < D; ++d) m += pos[d] * mask_strides[d];
        return *m != 0;
    }
};

// Footprint entries that enter (or leave) the window on one kind of step,
// as offsets from the window centre. `image_bytes` / `mask_bytes` are the
// same offsets in bytes, for windows that lie wholly inside the image.
template <int D> struct EdgeList {
    Py_ssize_t count = 0;
    const Py_ssize_t *offset[D] = {};
    Py_ssize_t *image_bytes = nullptr;
    Py_ssize_t *mask_bytes = nullptr;
    Py_ssize_t lo[D] = {}, hi[D] = {};

    Py_ssize_t at(int d, Py_ssize_t i) const { return offset[d][i]; }

    // Fill byte offsets and extremes from the per-axis offsets.
    void prepare(const Grid<D> &g) {
        for (int d = 0; d < D; ++d) lo[d] = hi[d] = 0;
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_ssize_t ib = 0, mb = 0;
            for (int d = 0; d < D; ++d) {
                Py_ssize_t o = at(d, i);
                if (i == 0 || o < lo[d]) lo[d] = o;
                if (i == 0 || o > hi[d]) hi[d] = o;
                ib += o * g.strides[d];
                mb += o * g.mask_strides[d];
            }
            image_bytes[i] = ib;
            mask_bytes[i] = mb;
        }
    }

    // True when every entry around `pos` lies inside the image.
    bool all_inside(const Grid<D> &g, const Py_ssize_t *pos) const {
        for (int d = 0; d < D; ++d)
            if (pos[d] + lo[d] < 0 || pos[d] + hi[d] >= g.shape[d]) return false;
        return true;
    }
};

// The one-step moves of the serpentine walk, within a row or a plane.
enum class Move { East, West, South };
template <Move M> using MoveTag = std::integral_constant<Move, M>;

// The four edge lists of a footprint. On a step east the `east` entries
// enter and the `west` ones leave; west the other way round; on a step south
// the `south` entries enter and the `north` ones leave.
template <int D> struct Edges {
    EdgeList<D> east, west, north, south;
};

template <class In, int D> class Window {
public:
    Window(const Grid<D> &grid, Py_ssize_t *bins) : g_(grid), bins_(bins) {}

    double population() const { return static_cast<double>(count_); }
    void reset() { count_ = 0; }

    // Count the pixel at `pos` if it is inside the image and unmasked.
    void add(const Py_ssize_t *pos) {
        if (g_.inside(pos) && g_.unmasked(pos)) {
            ++bins_[load<In>(g_.pixel(pos))];
            ++count_;
        }
    }

    // Add (Sign = +1) or remove (Sign = -1) the entries of `list` around
    // the centre `pos`. Entries outside the image or masked were never
    // counted and are skipped on both ways.
    template <int Sign> void apply(const EdgeList<D> &list, const Py_ssize_t *pos) {
        if (list.count == 0) return;
        if (list.all_inside(g_, pos)) {
            const char *base = g_.pixel(pos);
            if (g_.mask == nullptr) {
                for (Py_ssize_t i = 0; i < list.count; ++i)
                    bins_[load<In>(base + list.image_bytes[i])] += Sign;
                count_ += Sign * list.count;
            } else {
                const unsigned char *mbase = g_.mask;
                for (int d = 0; d < D; ++d) mbase += pos[d] * g_.mask_strides[d];
                for (Py_ssize_t i = 0; i < list.count; ++i) {
                    if (mbase[list.mask_bytes[i]] == 0) continue;
                    bins_[load<In>(base + list.image_bytes[i])] += Sign;
                    count_ += Sign;
                }
            }
            return;
        }
        Py_ssize_t at[D];
        for (Py_ssize_t i = 0; i < list.count; ++i) {
            for (int d = 0; d < D; ++d) at[d] = pos[d] + list.at(d, i);
            if (!g_.inside(at) || !g_.unmasked(at)) continue;
            bins_[load<In>(g_.pixel(at))] += Sign;
            count_ += Sign;
        }
    }

    // Move the window onto `pos` from its neighbour: entering entries are
    // added before leaving ones are removed. Rows and columns are the last
    // two axes.
    template <Move M> void step(MoveTag<M>, const Edges<D> &e, const Py_ssize_t *pos) {
        Py_ssize_t before[D];
        for (int d = 0; d < D; ++d) before[d] = pos[d];
        if constexpr (M == Move::East) {
            before[D - 1] -= 1;
            apply<+1>(e.east, pos);
            apply<-1>(e.west, before);
        } else if constexpr (M == Move::West) {
            before[D - 1] += 1;
            apply<+1>(e.west, pos);
            apply<-1>(e.east, before);
        } else {
            before[D - 2] -= 1;
            apply<+1>(e.south, pos);
            apply<-1>(e.north, before);
        }
    }

    In value(const Py_ssize_t *pos) const { return load<In>(g_.pixel(pos)); }

private:
    const Grid<D> &g_;
    Py_ssize_t *bins_;
    Py_ssize_t count_ = 0;
};

// The serpentine walk over the rows x cols positions of the last two axes,
// after (0, 0): row 0 west to east, row 1 east to west, and so on, each row
// reached by one step south where the previous row ended. `step(tag, row,
// col)` moves the window and visits the new position.
template <class Step> void serpentine(Py_ssize_t rows, Py_ssize_t cols, Step &&step) {
    for (Py_ssize_t y = 0;; y += 2) {
        for (Py_ssize_t x = 1; x < cols; ++x) step(MoveTag<Move::East>{}, y, x);
        if (y + 1 >= rows) return;
        step(MoveTag<Move::South>{}, y + 1, cols - 1);
        for (Py_ssize_t x = cols - 2; x >= 0; --x) step(MoveTag<Move::West>{}, y + 1, x);
        if (y + 2 >= rows) return;
        step(MoveTag<Move::South>{}, y + 2, Py_ssize_t{0});
    }
}

// Largest unmasked value of an image, or -1 when no pixel is unmasked.
template <class In, int D> Py_ssize_t largest_unmasked(const Grid<D> &g) {
    Py_ssize_t largest = -1;
    Py_ssize_t pos[D] = {};
    for (int d = 0; d < D; ++d)
        if (g.shape[d] <= 0) return largest;
    // Row by row along the last axis.
    for (;;) {
        const char *row = g.pixel(pos);
        const Py_ssize_t n = g.shape[D - 1], step = g.strides[D - 1];
        if (g.mask == nullptr) {
            In m = 0;
            for (Py_ssize_t i = 0; i < n; ++i) {
                In v = load<In>(row + i * step);
                m = v > m ? v : m;
            }
            if (static_cast<Py_ssize_t>(m) > largest) largest = m;
        } else {
            const unsigned char *mrow = g.mask;
            for (int d = 0; d < D - 1; ++d) mrow += pos[d] * g.mask_strides[d];
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (mrow[i * g.mask_strides[D - 1]] == 0) continue;
                Py_ssize_t v = load<In>(row + i * step);
                if (v > largest) largest = v;
            }
        }
        int d = D - 2;
        for (; d >= 0; --d) {
            if (++pos[d] < g.shape[d]) break;
            pos[d] = 0;
        }
        if (d < 0) return largest;
    }
}

} // namespace morvane::rank
