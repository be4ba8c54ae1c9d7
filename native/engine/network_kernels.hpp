// The network method's inner loops, for one instruction set: network.cpp
// includes this file once per set, inside a namespace of its own (for
// AVX2 between MV_AVX2_BEGIN and MV_AVX2_END), after naming that set's
// lanes U8, U16 and U32 (lanes.hpp).
//
// No include guard: it is meant to be included more than once.

// Runs `e` over vectors of pixels: ptr[0 .. io) are set to origin[i] +
// offset, the rest point at scratch slots B vectors long.
template <class V, int B>
inline void run_block(const Exec &e, char *const *origin, Index offset, char **ptr) {
    const int io = e.inputs + e.outputs;
    for (int i = 0; i < io; ++i) ptr[i] = origin[i] + offset;
    const IOp *ops = e.ops.data();
    for (const Exec::Run &run : e.runs) {
        const IOp *o = ops + run.begin, *end = ops + run.end;
        switch (run.kind) {
        case kOpMin:
            for (; o != end; ++o) {
                const char *a = ptr[o->a], *b = ptr[o->b];
                char *d = ptr[o->dst];
                for (int k = 0; k < B; ++k)
                    V::store(d + k * V::bytes,
                             V::min(V::load(a + k * V::bytes), V::load(b + k * V::bytes)));
            }
            break;
        case kOpMax:
            for (; o != end; ++o) {
                const char *a = ptr[o->a], *b = ptr[o->b];
                char *d = ptr[o->dst];
                for (int k = 0; k < B; ++k)
                    V::store(d + k * V::bytes,
                             V::max(V::load(a + k * V::bytes), V::load(b + k * V::bytes)));
            }
            break;
        default:
            for (; o != end; ++o) {
                const char *a = ptr[o->a];
                char *d = ptr[o->dst];
                for (int k = 0; k < B; ++k) V::store(d + k * V::bytes, V::load(a + k * V::bytes));
            }
        }
    }
}

// Runs `e` for the pixels 0 .. count-1 (count >= lanes) relative to the
// origins, pixels `item` bytes apart: in blocks of e.block vectors, then of
// halves of that down to one, the last vector overlapping the one before.
template <class V> void run_range(const Exec &e, char *const *origin, Index count, char **ptr) {
    constexpr Index item = sizeof(typename V::T), L = V::lanes;
    Index x = 0;
    for (int b = e.block; b >= 1; b /= 2) {
        while (x + b * L <= count) {
            switch (b) {
            case 16: run_block<V, 16>(e, origin, x * item, ptr); break;
            case 8: run_block<V, 8>(e, origin, x * item, ptr); break;
            case 4: run_block<V, 4>(e, origin, x * item, ptr); break;
            case 2: run_block<V, 2>(e, origin, x * item, ptr); break;
            default: run_block<V, 1>(e, origin, x * item, ptr);
            }
            x += b * L;
            if (b < e.block) break;
        }
    }
    if (x < count) run_block<V, 1>(e, origin, (count - L) * item, ptr);
}

// Specialised kernels ------------------------------------------------------

// One step of a fixed program's schedule on values held in registers:
// an input loaded (once, into a register: folded into the operations that
// use it, a load that splits cache lines would be repeated), or an
// operation.
template <class V, const auto &F, const auto &Src, int Step>
MV_INLINE void step(typename V::R *s, const char *const *base, Index off) {
    constexpr Index item = sizeof(typename V::T);
    if constexpr (Step < 0) {
        constexpr int i = -1 - Step;
        // Pinned before it enters the array: the array stays in registers.
        typename V::R v = V::load(base[Src.base[i]] + Src.col[i] * item + off);
        V::pin(v);
        s[i] = v;
    } else {
        constexpr net::Op op = F.ops[Step];
        s[F.inputs + Step] =
            op.kind == net::kMin ? V::min(s[op.a], s[op.b]) : V::max(s[op.a], s[op.b]);
    }
}

template <class V, const auto &F, const auto &Src, size_t... I>
MV_INLINE void run_steps(typename V::R *s, const char *const *base, Index off,
                         std::index_sequence<I...>) {
    (step<V, F, Src, Schedule<F>::order.step[I]>(s, base, off), ...);
}

template <class V, const auto &F, size_t... I>
MV_INLINE void store_outputs(const typename V::R *s, char *const *out, Index off,
                             std::index_sequence<I...>) {
    (V::store(out[I] + off, s[F.outs[I]]), ...);
}

// One vector of a fixed program, outputs out[j] + off.
template <class V, const auto &F, const auto &Src>
MV_INLINE void fixed_vector(const char *const *base, char *const *out, Index off) {
    typename V::R s[F.inputs + F.ops.size()];
    run_steps<V, F, Src>(s, base, off, std::make_index_sequence<Schedule<F>::kSteps>{});
    store_outputs<V, F>(s, out, off, std::make_index_sequence<F.outs.size()>{});
}

// A fixed program over pixels 0 .. count-1 (count >= lanes), its inputs
// from `bases` bases as Src says; Backward: from the right (see
// stores_ahead).
template <class V, const auto &F, const auto &Src, int Bases, bool Backward = false>
void fixed_range(const char *const *base, char *const *out, Index count) {
    constexpr Index item = sizeof(typename V::T);
    // Local copies: stores through char pointers could otherwise change the
    // caller's pointers, and each would be reloaded after every store.
    const char *bp[Bases > 0 ? Bases : 1];
    char *op[F.outs.size() > 0 ? F.outs.size() : 1];
    for (int i = 0; i < Bases; ++i) bp[i] = base[i];
    for (size_t j = 0; j < F.outs.size(); ++j) op[j] = out[j];
    // One copy of the unrolled body: the last vector moves back to end at
    // count (overlapping the one before) instead of running in a tail of
    // its own, which would double the code of every kernel.
    const Index last = count - V::lanes;
    if constexpr (Backward) {
        for (Index x = last;; x -= V::lanes) {
            const Index at = x > 0 ? x : 0;
            fixed_vector<V, F, Src>(bp, op, at * item);
            if (at == 0) break;
        }
    } else {
        for (Index x = 0;; x += V::lanes) {
            const Index at = x < last ? x : last;
            fixed_vector<V, F, Src>(bp, op, at * item);
            if (at == last) break;
        }
    }
}

// A fixed program whose input i is in[i] + pixel.
template <class V, const auto &F>
void fixed_range(const char *const *in, char *const *out, Index count) {
    static constexpr Sources<F.inputs> own = own_bases<F.inputs>();
    fixed_range<V, F, own, F.inputs>(in, out, count);
}

// Two output rows of a footprint straight from the image; the rows both
// windows of a column hold are sorted once. Bases: the image rows of each
// plane, dz * (kHotMaxRows + 1) + dy.
template <class V, const HotShape &S, int R, bool Backward>
void hot_fused(const char *const (*row)[kHotMaxRows + 1], char *const *out, Index count) {
    constexpr int rows = kHotMaxRows + 1;
    const char *base[kHotMaxPlanes * rows] = {};
    for (int dz = 0; dz < S.planes; ++dz)
        for (int dy = 0; dy <= S.rows; ++dy) base[dz * rows + dy] = row[dz][dy];
    fixed_range<V, HotFused<S, R>::program, HotSources<S>::value, S.planes * rows, Backward>(
        base, out, count);
}

// Pairs of output rows straight from the image (hot_fused), the columns
// walked from the right where Backward.
template <class V, const HotShape &S, int R, bool Backward> void hot_fused_rows(const HotBlock &h) {
    for (Index y = 0; y < h.rows; y += 2) {
        // A last single row runs as a pair, as in hot_block.
        const bool pair = y + 1 < h.rows;
        const char *row[kHotMaxPlanes][kHotMaxRows + 1];
        for (int dz = 0; dz < S.planes; ++dz)
            for (int dy = 0; dy <= S.rows; ++dy)
                row[dz][dy] = h.origin + dz * h.plane_pitch +
                              (y + std::min(dy, S.rows - 1 + pair)) * h.row_pitch;
        char *out[2] = {h.out + y * h.out_pitch, pair ? h.out + (y + 1) * h.out_pitch : h.spare};
        hot_fused<V, S, R, Backward>(row, out, h.count);
    }
}

// Squares by sorted rows: each image row's sliding windows of k values are
// sorted once into a ring of buffer rows (per chunk of columns), and output
// rows are taken in pairs.
template <class V, const HotShape &S, int R> void hot_by_rows(const HotBlock &h, char *buffer) {
    constexpr int k = S.rows;
    constexpr Index item = sizeof(typename V::T);
    constexpr Index chunk = kHotChunk;
    constexpr Index pitch = chunk + V::lanes;
    constexpr Index ring = k + 2;
    auto slot = [&](Index r, int j) { return buffer + ((r % ring) * k + j) * pitch * item; };
    for (Index a = 0; a < h.count; a += chunk) {
        Index b = std::min(h.count, a + chunk);
        if (h.count - b < V::lanes) b = h.count;
        const Index width = b - a;
        Index done = 0; // image rows sorted so far
        auto sorted_up_to = [&](Index rows) {
            for (; done < rows; ++done) {
                const char *in[k];
                char *out[k];
                for (int dx = 0; dx < k; ++dx)
                    in[dx] = h.origin + done * h.row_pitch + (a + dx) * item;
                for (int j = 0; j < k; ++j) out[j] = slot(done, j);
                fixed_range<V, Fix<&sorted_window_program<k>>::value>(in, out, width);
            }
        };
        for (Index y = 0; y < h.rows; y += 2) {
            // A last single row runs as a pair whose second row, computed
            // from a repeated image row, is thrown away.
            const bool pair = y + 1 < h.rows;
            sorted_up_to(y + k + pair);
            const char *in[(k + 1) * k];
            for (int d = 0; d <= k; ++d)
                for (int j = 0; j < k; ++j)
                    in[d * k + j] = slot(y + std::min<Index>(d, k - 1 + pair), j);
            char *out[2] = {h.out + y * h.out_pitch + a * item,
                            pair ? h.out + (y + 1) * h.out_pitch + a * item : h.spare + a * item};
            fixed_range<V, HotRowsPair<S, R>::program>(in, out, width);
        }
        if (b == h.count) break;
    }
}

// Squares by sorted columns: for each pair of output rows and chunk of
// columns, the columns both windows of a pair span are sorted once into
// 2k buffer rows, then each window selects from its k sorted columns.
template <class V, const HotShape &S, int R> void hot_by_columns(const HotBlock &h, char *buffer) {
    constexpr int k = S.rows;
    constexpr Index item = sizeof(typename V::T);
    constexpr Index chunk = kColumnChunkBytes / item;
    // A last chunk takes up to a vector more rather than leave a narrower
    // one; the sort reads k - 1 columns beyond the chunk. Buffer rows start
    // on cache lines: the sort's stores do not split lines.
    constexpr Index pitch = ((chunk + V::lanes + k - 1) * item + 63) / 64 * 64;
    static_assert(2 * k * pitch <= static_cast<Index>(kHotBuffer));
    char *rows[2 * k];
    for (int j = 0; j < 2 * k; ++j) rows[j] = buffer + j * pitch;
    for (Index y = 0; y < h.rows; y += 2) {
        // A last single row runs as a pair, as in hot_block.
        const bool pair = y + 1 < h.rows;
        const char *image[k + 1];
        for (int d = 0; d <= k; ++d)
            image[d] = h.origin + (y + std::min(d, k - 1 + pair)) * h.row_pitch;
        char *out[2] = {h.out + y * h.out_pitch, pair ? h.out + (y + 1) * h.out_pitch : h.spare};
        for (Index a = 0; a < h.count; a += chunk) {
            Index b = std::min(h.count, a + chunk);
            if (h.count - b < V::lanes) b = h.count;
            const char *from[k + 1];
            for (int d = 0; d <= k; ++d) from[d] = image[d] + a * item;
            fixed_range<V, HotColumnPair<S>::program>(from, rows, b - a + k - 1);
            char *to[2] = {out[0] + a * item, out[1] + a * item};
            fixed_range<V, HotColumnsSelect<S, R>::program, ColumnSources<S>::value, 2 * k>(
                rows, to, b - a);
            if (b == h.count) break;
        }
    }
}

// A square's output rows straight from the image, by rows (HotFusedRows),
// the columns walked from the right where Backward.
template <class V, const HotShape &S, int R, bool Backward>
void hot_square_rows(const HotBlock &h) {
    Index y = 0;
    // Two pairs at a time where 32 vector registers hold their values,
    // sharing the sorts of the rows between them (see HotFusedRows).
    if constexpr (V::bytes == 64) {
        using Q = HotFusedRows<S, R, 2>;
        for (; y + 4 <= h.rows; y += 4) {
            const char *base[Q::kBases];
            for (int d = 0; d < Q::kBases; ++d) base[d] = h.origin + (y + d) * h.row_pitch;
            char *out[4];
            for (int j = 0; j < 4; ++j) out[j] = h.out + (y + j) * h.out_pitch;
            fixed_range<V, Q::program, Q::sources, Q::kBases, Backward>(base, out, h.count);
        }
    }
    using P = HotFusedRows<S, R>;
    for (; y < h.rows; y += 2) {
        // A last single row runs as a pair, as in hot_block.
        const Index last = y + S.rows - 1 + (y + 1 < h.rows);
        const char *base[S.rows + 1];
        for (int d = 0; d <= S.rows; ++d)
            base[d] = h.origin + std::min<Index>(y + d, last) * h.row_pitch;
        char *out[2] = {h.out + y * h.out_pitch,
                        y + 1 < h.rows ? h.out + (y + 1) * h.out_pitch : h.spare};
        fixed_range<V, P::program, P::sources, S.rows + 1, Backward>(base, out, h.count);
    }
}

// A block of interior rows, two at a time.
template <class V, const HotShape &S, int R> void hot_block(const HotBlock &h, char *buffer) {
    // By columns where it costs less than fused (measured): not for the
    // ranks at the ends, whose fused programs are short.
    if constexpr (S.by_columns && V::bytes == 64 && R >= 1 && R + 2 <= S.members()) {
        hot_by_columns<V, S, R>(h, buffer);
    } else if constexpr (S.mode == kRows) {
        hot_by_rows<V, S, R>(h, buffer);
    } else if constexpr (fused_by_rows<S, R>()) {
        // Rows y .. y + k + 2 are read, y .. y + 3 written, at every step.
        if (stores_ahead(h.origin, h.row_pitch, S.rows + 3, h.out, h.out_pitch, 4) > 0)
            hot_square_rows<V, S, R, true>(h);
        else
            hot_square_rows<V, S, R, false>(h);
    } else {
        int ahead = 0;
        for (int dz = 0; dz < S.planes; ++dz)
            ahead += stores_ahead(h.origin + dz * h.plane_pitch, h.row_pitch, S.rows + 1, h.out,
                                  h.out_pitch, 2);
        if (ahead > 0)
            hot_fused_rows<V, S, R, true>(h);
        else
            hot_fused_rows<V, S, R, false>(h);
    }
}

template <class V, const HotShape &S, size_t... R>
constexpr std::array<HotFn, sizeof...(R)> hot_table(std::index_sequence<R...>) {
    return {&hot_block<V, S, static_cast<int>(R)>...};
}

// The specialised kernels of a footprint at each of its Ranks ranks.
template <class V, const HotShape &S, size_t Ranks> struct HotTable {
    static constexpr auto value = hot_table<V, S>(std::make_index_sequence<Ranks>{});
};
