// slidewin: the 2D sliding-histogram driver `_core` and its C-API table.
//
// For every pixel of an image, `_core` keeps the histogram of the values
// under the footprint (centred on the pixel, moved by the shifts, limited by
// the mask) and calls the client's kernel with it. The window walks the
// image in a serpentine, so each step adds and removes only the footprint's
// edge entries.
#include "checks.hpp"
#include "exports.hpp"
#include "footprint.hpp"
#include "runtime/memview.hpp"
#include "runtime/module.hpp"
#include "window.hpp"

#include <cstdint>
#include <new>
#include <vector>

namespace morvane::rank {
namespace {

using rt::Axis;
using rt::OwnedRecord;
using rt::Record;
using rt::Ref;

constexpr const char *kFunction = "morvane.filters.rank.slidewin._core";
constexpr const char *kFile = "slidewin";

// Source lines that traceback entries of `_core` name, by failing step.
namespace line {
constexpr int centre_r_negative = 72;
constexpr int centre_c_negative = 73;
constexpr int centre_r_too_large = 74;
constexpr int centre_c_too_large = 75;
// Edge maps: the stacking line, then the difference line (east, west,
// south, north).
constexpr int edge_map[4][2] = {{91, 92}, {94, 95}, {97, 98}, {100, 101}};
constexpr int histogram = 105;
constexpr int offsets[8] = {111, 112, 114, 115, 117, 118, 120, 121};
// The checks of `out` and the mask, by ArgumentFault.
constexpr int argument[4] = {0, 123, 124, 125};
constexpr int image_value = 126;
} // namespace line

// Edge maps and lists in the order the fill tests them; the maps are made
// in the order east, west, south, north.
enum List { East = 0, West = 1, North = 2, South = 3 };

// Everything `_core` prepares with the interpreter lock held. The records
// release themselves when the driver returns.
struct Analysis {
    Py_ssize_t rows = 0, cols = 0, srows = 0, scols = 0, centre_r = 0, centre_c = 0;
    OwnedRecord maps[4]; // indexed by List
    OwnedRecord histogram;
    OwnedRecord offsets[8];        // row and column offsets of each List
    std::vector<Py_ssize_t> bytes; // byte offsets: image and mask, per List
    Grid<2> grid{};
    Edges<2> edges;
    EdgeList<2> *lists[4] = {&edges.east, &edges.west, &edges.north, &edges.south};
    int failed_line = 0; // non-zero once a step failed (exception set)
};

int fail(Analysis &a, int line_number) {
    a.failed_line = line_number;
    return -1;
}

// Extents, centre and its checks.
int analyse_centre(Analysis &a, const Record &image, const Record &footprint, signed char shift_x,
                   signed char shift_y) {
    a.srows = footprint.shape[0];
    a.scols = footprint.shape[1];
    a.rows = image.shape[0];
    a.cols = image.shape[1];
    a.centre_r = a.srows / 2 + static_cast<Py_ssize_t>(shift_y);
    a.centre_c = a.scols / 2 + static_cast<Py_ssize_t>(shift_x);
    if (Py_OptimizeFlag) return 0;
    PyObject *assertion = rt::builtin("AssertionError");
    if (a.centre_r < 0) {
        PyErr_Format(assertion, "centre_r %zd < 0", a.centre_r);
        return fail(a, line::centre_r_negative);
    }
    if (a.centre_c < 0) {
        PyErr_Format(assertion, "centre_c %zd < 0", a.centre_c);
        return fail(a, line::centre_c_negative);
    }
    if (a.centre_r >= a.srows) {
        PyErr_Format(assertion, "centre_r %zd >= srows %zd", a.centre_r, a.srows);
        return fail(a, line::centre_r_too_large);
    }
    if (a.centre_c >= a.scols) {
        PyErr_Format(assertion, "centre_c %zd >= scols %zd", a.centre_c, a.scols);
        return fail(a, line::centre_c_too_large);
    }
    return 0;
}

// The four edge maps, the histogram and the offset arrays.
int allocate(Analysis &a, const Record &footprint, Py_ssize_t bin_count) {
    const rt::Names &n = rt::names();
    static const Axis strided2[2] = {Axis::Strided, Axis::Strided};
    static const Axis contiguous1[1] = {Axis::Contiguous};

    struct MapRecipe {
        List list;
        bool rows_axis; // stack along rows (vstack) rather than columns
        bool zeros_first;
        int op;
    };
    static const MapRecipe recipes[4] = {{East, false, false, Py_LT},
                                         {West, false, true, Py_GT},
                                         {South, true, false, Py_LT},
                                         {North, true, true, Py_GT}};
    for (int k = 0; k < 4; ++k) {
        const MapRecipe &r = recipes[k];
        Ref shape(r.rows_axis ? Py_BuildValue("(nn)", Py_ssize_t{1}, a.scols)
                              : Py_BuildValue("(nn)", a.srows, Py_ssize_t{1}));
        if (!shape) return fail(a, line::edge_map[k][0]);
        EdgeStage stage;
        Ref map(edge_map(footprint, 2, r.rows_axis ? n.vstack : n.hstack, shape.get(),
                         r.zeros_first, r.rows_axis ? 0 : 1, r.op, stage));
        if (!map) return fail(a, line::edge_map[k][stage == EdgeStage::Stack ? 0 : 1]);
        if (a.maps[r.list].bind(map.get(), rt::kUnsignedChar, 2, strided2) < 0)
            return fail(a, line::edge_map[k][1]);
    }

    {
        Ref args(Py_BuildValue("(n)", bin_count));
        Ref hist(intp_array(n.zeros, args.get()));
        if (!hist || a.histogram.bind(hist.get(), rt::kSsize, 1, contiguous1) < 0)
            return fail(a, line::histogram);
    }

    // Offset arrays: row then column offsets of east, west, north, south.
    const Py_ssize_t capacity = a.srows * a.scols;
    for (int k = 0; k < 8; ++k) {
        Ref args(Py_BuildValue("(n)", capacity));
        Ref array(intp_array(n.empty, args.get()));
        if (!array || a.offsets[k].bind(array.get(), rt::kSsize, 1, contiguous1) < 0)
            return fail(a, line::offsets[k]);
    }
    try {
        a.bytes.resize(static_cast<size_t>(8 * capacity));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return fail(a, line::offsets[7]);
    }
    return 0;
}

bool has_mask(const Record &mask) {
    return mask.memview != nullptr && reinterpret_cast<PyObject *>(mask.memview) != Py_None;
}

// What the scan relies on about `out` and `mask`.
int check_arguments(Analysis &a, const Record &mask, const Record &out, Py_ssize_t out_item) {
    static const char *const axes[2] = {"rows", "cols"};
    const Py_ssize_t shape[2] = {a.rows, a.cols};
    ArgumentFault fault = check_out_and_mask(2, axes, shape, mask, has_mask(mask), out, out_item);
    return fault == ArgumentFault::None ? 0 : fail(a, line::argument[static_cast<int>(fault)]);
}

int prepare(Analysis &a, const Record &image, const Record &footprint, const Record &mask,
            const Record &out, signed char shift_x, signed char shift_y, Py_ssize_t bin_count,
            Py_ssize_t out_item) {
    if (analyse_centre(a, image, footprint, shift_x, shift_y) < 0) return -1;
    if (allocate(a, footprint, bin_count) < 0) return -1;
    if (check_arguments(a, mask, out, out_item) < 0) return -1;

    const bool masked = has_mask(mask);
    a.grid.data = image.data;
    a.grid.mask = masked ? reinterpret_cast<const unsigned char *>(mask.data) : nullptr;
    for (int d = 0; d < 2; ++d) {
        a.grid.shape[d] = image.shape[d];
        a.grid.strides[d] = image.strides[d];
        a.grid.mask_strides[d] = masked ? mask.strides[d] : 0;
    }
    const Py_ssize_t capacity = a.srows * a.scols;
    for (int k = 0; k < 4; ++k) {
        EdgeList<2> &list = *a.lists[k];
        list.offset[0] = a.offsets[2 * k].data<Py_ssize_t>();
        list.offset[1] = a.offsets[2 * k + 1].data<Py_ssize_t>();
        list.image_bytes = a.bytes.data() + 2 * k * capacity;
        list.mask_bytes = a.bytes.data() + (2 * k + 1) * capacity;
    }
    return 0;
}

// Fill the edge lists from the maps, in footprint order.
void fill_lists(Analysis &a) {
    Py_ssize_t *rows_of[4], *cols_of[4];
    for (int k = 0; k < 4; ++k) {
        rows_of[k] = a.offsets[2 * k].data<Py_ssize_t>();
        cols_of[k] = a.offsets[2 * k + 1].data<Py_ssize_t>();
        a.lists[k]->count = 0;
    }
    for (Py_ssize_t i = 0; i < a.srows; ++i) {
        for (Py_ssize_t j = 0; j < a.scols; ++j) {
            for (int k = 0; k < 4; ++k) {
                const Record &m = a.maps[k].get();
                if (m.data[i * m.strides[0] + j * m.strides[1]] == 0) continue;
                Py_ssize_t &count = a.lists[k]->count;
                rows_of[k][count] = i - a.centre_r;
                cols_of[k][count] = j - a.centre_c;
                ++count;
            }
        }
    }
    for (EdgeList<2> *list : a.lists) list->prepare(a.grid);
}

template <class Out, class In>
void scan(Analysis &a, const Record &footprint, const Record &out, Kernel<Out, In> kernel,
          double fparam0, double fparam1, Py_ssize_t iparam0, Py_ssize_t iparam1,
          Py_ssize_t bin_count) {
    const Record &hist = a.histogram.get();
    Window<In, 2> window(a.grid, a.histogram.data<Py_ssize_t>());
    const Py_ssize_t middle_bin = bin_count / 2;
    const Py_ssize_t out_depth = out.shape[2];

    auto visit = [&](Py_ssize_t y, Py_ssize_t x) {
        const Py_ssize_t pos[2] = {y, x};
        Out *o = reinterpret_cast<Out *>(out.data + y * out.strides[0] + x * out.strides[1]);
        kernel(o, out_depth, hist, window.population(), window.value(pos), bin_count, middle_bin,
               fparam0, fparam1, iparam0, iparam1);
    };

    // First window, from the whole footprint.
    for (Py_ssize_t fy = 0; fy < a.srows; ++fy) {
        for (Py_ssize_t fx = 0; fx < a.scols; ++fx) {
            if (footprint.data[fy * footprint.strides[0] + fx * footprint.strides[1]] == 0)
                continue;
            const Py_ssize_t pos[2] = {fy - a.centre_r, fx - a.centre_c};
            window.add(pos);
        }
    }
    visit(0, 0);
    serpentine(a.rows, a.cols, [&](auto move, Py_ssize_t y, Py_ssize_t x) {
        const Py_ssize_t pos[2] = {y, x};
        window.step(move, a.edges, pos);
        visit(y, x);
    });
}

template <class Out, class In>
void core(Kernel<Out, In> kernel, Record image, Record footprint, Record mask, Record out,
          signed char shift_x, signed char shift_y, double fparam0, double fparam1,
          Py_ssize_t iparam0, Py_ssize_t iparam1, Py_ssize_t bin_count) {
    Analysis a;
    if (prepare(a, image, footprint, mask, out, shift_x, shift_y, bin_count, sizeof(Out)) < 0) {
        rt::add_traceback(kFunction, __LINE__, a.failed_line, kFile);
        return;
    }
    Py_ssize_t bad_value = -1;
    {
        rt::GilRelease unlocked;
        if (bin_count > 0) std::memset(a.histogram.data<char>(), 0, bin_count * sizeof(Py_ssize_t));
        fill_lists(a);
        if (bin_count <= kLargestValue<In>) {
            Py_ssize_t largest = largest_unmasked<In, 2>(a.grid);
            if (largest >= bin_count) bad_value = largest;
        }
        if (bad_value < 0 && a.rows > 0 && a.cols > 0)
            scan<Out, In>(a, footprint, out, kernel, fparam0, fparam1, iparam0, iparam1, bin_count);
    }
    if (bad_value >= 0) {
        raise_value_not_below(bad_value, bin_count);
        rt::add_traceback(kFunction, __LINE__, line::image_value, kFile);
    }
}

const rt::Export exports[12] = MORVANE_RANK_EXPORTS(slidewin_exports_2d, core);

} // namespace
} // namespace morvane::rank

namespace morvane::rt {
const ModuleConfig module_config = {
    "slidewin",
    "morvane.filters.rank.slidewin",
    "slidewin",
    "native/core/slidewin.cpp",
    {"AssertionError", "range", "__import__", "ValueError", "MemoryError", "enumerate", "TypeError",
     "Ellipsis", "id", "IndexError", "ImportError"},
    nullptr,
    0,
    0,
    morvane::rank::exports,
    12,
};
} // namespace morvane::rt

PyMODINIT_FUNC PyInit_slidewin(void) { return PyModuleDef_Init(morvane::rt::module_definition()); }
