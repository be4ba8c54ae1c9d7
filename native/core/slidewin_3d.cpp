// slidewin_3d: the 3D sliding-histogram driver `_core_3D` and its C-API table.
//
// A volume is filtered plane by plane: the histogram is rebuilt at the first
// voxel of every plane and carried through the plane along a serpentine by
// the footprint's row and column edge lists.
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

constexpr const char *kFunction = "morvane.filters.rank.slidewin_3d._core_3D";
constexpr const char *kCountFunction =
    "morvane.filters.rank.slidewin_3d._count_attack_border_elements";
constexpr const char *kFile = "slidewin_3d";

// Source lines that traceback entries name, by failing step.
namespace line {
// _count_attack_border_elements: the stacking line, then the difference
// line, of each edge map in the order they are made (east, west, south,
// north).
constexpr int count_map[4][2] = {{150, 151}, {154, 155}, {158, 159}, {162, 163}};
constexpr int centre[3] = {190, 194, 198};
constexpr int histogram = 214;
constexpr int edge_offsets = 220;
constexpr int edge_counts = 223;
constexpr int count_border = 224;
// The checks of `out` and the mask, by ArgumentFault.
constexpr int argument[4] = {0, 226, 227, 228};
constexpr int image_value = 229;
} // namespace line

// Edge lists, by the direction of the window move that makes their entries
// enter. The opposite of d is (d & 3) ^ 2.
enum Direction { DIR_EAST = 0, DIR_NORTH = 1, DIR_WEST = 2, DIR_SOUTH = 3 };

struct Analysis {
    Py_ssize_t planes = 0, rows = 0, cols = 0;
    Py_ssize_t splanes = 0, srows = 0, scols = 0;
    Py_ssize_t centre_p = 0, centre_r = 0, centre_c = 0;
    OwnedRecord histogram, edge_offsets, edge_counts;
    std::vector<Py_ssize_t> bytes; // byte offsets: image and mask, per list
    Grid<3> grid{};
    Edges<3> edges;
    int failed_line = 0;
};

int fail(Analysis &a, int line_number) {
    a.failed_line = line_number;
    return -1;
}

// Fill `edge_offsets` and `edge_counts` from the footprint's edge maps. On
// failure the exception propagates with this function's traceback entry.
int count_attack_border_elements(const Record &footprint, const Record &edge_offsets,
                                 const Record &edge_counts, Py_ssize_t splanes, Py_ssize_t srows,
                                 Py_ssize_t scols, Py_ssize_t centre_p, Py_ssize_t centre_r,
                                 Py_ssize_t centre_c) {
    const rt::Names &n = rt::names();
    static const Axis strided3[3] = {Axis::Strided, Axis::Strided, Axis::Strided};
    struct MapRecipe {
        Direction list;
        bool rows_axis; // stack along rows (hstack) rather than columns (dstack)
        bool zeros_first;
        int op;
    };
    static const MapRecipe recipes[4] = {{DIR_EAST, false, false, Py_LT},
                                         {DIR_WEST, false, true, Py_GT},
                                         {DIR_SOUTH, true, false, Py_LT},
                                         {DIR_NORTH, true, true, Py_GT}};
    OwnedRecord maps[4]; // indexed by Direction
    for (int k = 0; k < 4; ++k) {
        const MapRecipe &r = recipes[k];
        Ref shape(r.rows_axis ? Py_BuildValue("(nnn)", splanes, Py_ssize_t{1}, scols)
                              : Py_BuildValue("(nnn)", splanes, srows, Py_ssize_t{1}));
        EdgeStage stage = EdgeStage::Stack;
        Ref map(shape ? edge_map(footprint, 3, r.rows_axis ? n.hstack : n.dstack, shape.get(),
                                 r.zeros_first, r.rows_axis ? 1 : 2, r.op, stage)
                      : nullptr);
        if (!map || maps[r.list].bind(map.get(), rt::kUnsignedChar, 3, strided3) < 0) {
            int at = line::count_map[k][!map && stage == EdgeStage::Stack ? 0 : 1];
            rt::add_traceback(kCountFunction, __LINE__, at, kFile);
            return -1;
        }
    }

    // Rows outermost, then columns, then planes, so each list is ordered by
    // row offset, column offset, plane offset.
    auto *counts = reinterpret_cast<Py_ssize_t *>(edge_counts.data);
    for (Py_ssize_t j = 0; j < srows; ++j) {
        for (Py_ssize_t k = 0; k < scols; ++k) {
            for (Py_ssize_t i = 0; i < splanes; ++i) {
                for (int d = 0; d < 4; ++d) {
                    const Record &m = maps[d].get();
                    if (m.data[i * m.strides[0] + j * m.strides[1] + k * m.strides[2]] == 0)
                        continue;
                    const Py_ssize_t at = counts[d]++;
                    const Py_ssize_t offsets[3] = {i - centre_p, j - centre_r, k - centre_c};
                    for (int axis = 0; axis < 3; ++axis)
                        *reinterpret_cast<Py_ssize_t *>(
                            edge_offsets.data + d * edge_offsets.strides[0] +
                            axis * edge_offsets.strides[1] + at * edge_offsets.strides[2]) =
                            offsets[axis];
                }
            }
        }
    }
    return 0;
}

// The centre and its checks, made whatever Python's optimisation level.
int check_centre(Analysis &a, const Record &footprint, signed char shift_x, signed char shift_y,
                 signed char shift_z) {
    a.splanes = footprint.shape[0];
    a.srows = footprint.shape[1];
    a.scols = footprint.shape[2];
    a.centre_p = a.splanes / 2 + static_cast<Py_ssize_t>(shift_x);
    a.centre_r = a.srows / 2 + static_cast<Py_ssize_t>(shift_y);
    a.centre_c = a.scols / 2 + static_cast<Py_ssize_t>(shift_z);
    const Py_ssize_t centres[3] = {a.centre_p, a.centre_r, a.centre_c};
    const Py_ssize_t extents[3] = {a.splanes, a.srows, a.scols};
    for (int axis = 0; axis < 3; ++axis) {
        if (centres[axis] >= 0 && centres[axis] < extents[axis]) continue;
        Ref error(PyObject_Call(rt::builtin("AssertionError"), rt::message_tuple(axis), nullptr));
        if (error) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
        return fail(a, line::centre[axis]);
    }
    return 0;
}

bool has_mask(const Record &mask) { return mask.data != nullptr; }

int prepare(Analysis &a, const Record &image, const Record &footprint, const Record &mask,
            const Record &out, signed char shift_x, signed char shift_y, signed char shift_z,
            Py_ssize_t bin_count, Py_ssize_t out_item) {
    static const Axis contiguous1[1] = {Axis::Contiguous};
    static const Axis row_major3[3] = {Axis::Follow, Axis::Follow, Axis::Contiguous};
    PyObject *zeros = rt::names().zeros;
    if (check_centre(a, footprint, shift_x, shift_y, shift_z) < 0) return -1;
    a.planes = image.shape[0];
    a.rows = image.shape[1];
    a.cols = image.shape[2];

    {
        Ref args(Py_BuildValue("((n))", bin_count));
        Ref hist(intp_array(zeros, args.get()));
        if (!hist || a.histogram.bind(hist.get(), rt::kSsize, 1, contiguous1) < 0)
            return fail(a, line::histogram);
    }
    const Py_ssize_t capacity = a.splanes * a.srows * a.scols;
    {
        Ref args(Py_BuildValue("([iin])", 4, 3, capacity));
        Ref offsets(intp_array(zeros, args.get()));
        if (!offsets || a.edge_offsets.bind(offsets.get(), rt::kSsize, 3, row_major3) < 0)
            return fail(a, line::edge_offsets);
        try {
            a.bytes.resize(static_cast<size_t>(8 * capacity));
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return fail(a, line::edge_offsets);
        }
    }
    {
        Ref counts(intp_array(zeros, rt::int_tuple()));
        if (!counts || a.edge_counts.bind(counts.get(), rt::kSsize, 1, contiguous1) < 0)
            return fail(a, line::edge_counts);
    }
    if (count_attack_border_elements(footprint, a.edge_offsets.get(), a.edge_counts.get(),
                                     a.splanes, a.srows, a.scols, a.centre_p, a.centre_r,
                                     a.centre_c) < 0)
        return fail(a, line::count_border);

    static const char *const axes[3] = {"planes", "rows", "cols"};
    ArgumentFault fault =
        check_out_and_mask(3, axes, image.shape, mask, has_mask(mask), out, out_item);
    if (fault != ArgumentFault::None) return fail(a, line::argument[static_cast<int>(fault)]);

    const bool masked = has_mask(mask);
    a.grid.data = image.data;
    a.grid.mask = masked ? reinterpret_cast<const unsigned char *>(mask.data) : nullptr;
    for (int d = 0; d < 3; ++d) {
        a.grid.shape[d] = image.shape[d];
        a.grid.strides[d] = image.strides[d];
        a.grid.mask_strides[d] = masked ? mask.strides[d] : 0;
    }
    const Record &offsets = a.edge_offsets.get();
    const auto *counts = a.edge_counts.data<Py_ssize_t>();
    EdgeList<3> *lists[4] = {&a.edges.east, &a.edges.north, &a.edges.west, &a.edges.south};
    for (int d = 0; d < 4; ++d) {
        EdgeList<3> &list = *lists[d];
        list.count = counts[d];
        for (int axis = 0; axis < 3; ++axis)
            list.offset[axis] = reinterpret_cast<const Py_ssize_t *>(
                offsets.data + d * offsets.strides[0] + axis * offsets.strides[1]);
        list.image_bytes = a.bytes.data() + 2 * d * capacity;
        list.mask_bytes = a.bytes.data() + (2 * d + 1) * capacity;
        list.prepare(a.grid);
    }
    return 0;
}

template <class Out, class In>
void core_3d(Kernel<Out, In> kernel, Record image, Record footprint, Record mask, Record out,
             signed char shift_x, signed char shift_y, signed char shift_z, double fparam0,
             double fparam1, Py_ssize_t iparam0, Py_ssize_t iparam1, Py_ssize_t bin_count) {
    Analysis a;
    if (prepare(a, image, footprint, mask, out, shift_x, shift_y, shift_z, bin_count, sizeof(Out)) <
        0) {
        rt::add_traceback(kFunction, __LINE__, a.failed_line, kFile);
        return;
    }
    if (bin_count <= kLargestValue<In>) {
        Py_ssize_t largest;
        {
            rt::GilRelease unlocked;
            largest = largest_unmasked<In, 3>(a.grid);
        }
        if (largest >= bin_count) {
            raise_value_not_below(largest, bin_count);
            rt::add_traceback(kFunction, __LINE__, line::image_value, kFile);
            return;
        }
    }
    // Planes without rows or columns have no voxel to visit.
    if (a.planes <= 0 || a.rows <= 0 || a.cols <= 0) return;

    const Record &hist = a.histogram.get();
    auto *bins = a.histogram.data<Py_ssize_t>();
    Window<In, 3> window(a.grid, bins);
    const Py_ssize_t middle_bin = bin_count / 2;
    const Py_ssize_t out_depth = out.shape[3];
    auto visit = [&](const Py_ssize_t *pos) {
        Out *o = reinterpret_cast<Out *>(out.data + pos[0] * out.strides[0] +
                                         pos[1] * out.strides[1] + pos[2] * out.strides[2]);
        kernel(o, out_depth, hist, window.population(), window.value(pos), bin_count, middle_bin,
               fparam0, fparam1, iparam0, iparam1);
    };

    for (Py_ssize_t p = 0; p < a.planes; ++p) {
        if (bin_count > 0) std::memset(bins, 0, bin_count * sizeof(Py_ssize_t));
        window.reset();
        for (Py_ssize_t j = 0; j < a.srows; ++j) {
            for (Py_ssize_t k = 0; k < a.scols; ++k) {
                for (Py_ssize_t i = 0; i < a.splanes; ++i) {
                    if (footprint.data[i * footprint.strides[0] + j * footprint.strides[1] +
                                       k * footprint.strides[2]] == 0)
                        continue;
                    const Py_ssize_t pos[3] = {p - a.centre_p + i, j - a.centre_r, k - a.centre_c};
                    window.add(pos);
                }
            }
        }
        const Py_ssize_t first[3] = {p, 0, 0};
        visit(first); // with the interpreter lock held
        rt::GilRelease unlocked;
        serpentine(a.rows, a.cols, [&](auto move, Py_ssize_t r, Py_ssize_t c) {
            const Py_ssize_t pos[3] = {p, r, c};
            window.step(move, a.edges, pos);
            visit(pos);
        });
    }
}

const rt::Export exports[12] = MORVANE_RANK_EXPORTS(slidewin_exports_3d, core_3d);

const char *const centre_messages[3] = {
    "half footprint + shift_x must be between 0 and footprint",
    "half footprint + shift_y must be between 0 and footprint",
    "half footprint + shift_z must be between 0 and footprint",
};

} // namespace
} // namespace morvane::rank

namespace morvane::rt {
const ModuleConfig module_config = {
    "slidewin_3d",
    "morvane.filters.rank.slidewin_3d",
    "slidewin_3d",
    "native/core/slidewin_3d.cpp",
    {"range", "ValueError", "__import__", "MemoryError", "enumerate", "TypeError", "AssertionError",
     "Ellipsis", "id", "IndexError", "ImportError"},
    morvane::rank::centre_messages,
    3,
    4,
    morvane::rank::exports,
    12,
};
} // namespace morvane::rt

PyMODINIT_FUNC PyInit_slidewin_3d(void) {
    return PyModuleDef_Init(morvane::rt::module_definition());
}
