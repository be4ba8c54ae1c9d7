// The column-histogram method's loops (see columns.cpp), compiled once per
// instruction set: columns.cpp includes this file for the portable path
// and, on x86-64, for SSE2 and (between MV_AVX2_BEGIN and MV_AVX2_END) for
// AVX2. No include guard on purpose. MORVANE_COLUMNS_ISA names the
// namespace; MORVANE_COLUMNS_SSE2 or MORVANE_COLUMNS_AVX2 is defined for
// those copies.

namespace morvane::engine::columns_detail::MORVANE_COLUMNS_ISA {

// ---------------------------------------------------------------------------
// Sixteen bins at a time

#if defined(MORVANE_COLUMNS_AVX2)
using Reg = __m256i;
inline Reg load16(const uint16_t *a) {
    return _mm256_loadu_si256(reinterpret_cast<const Reg *>(a));
}
#if MV_VECTOR_EXTENSIONS
// Stored as 16-bit lanes: an __m256i store may alias anything, which would
// make the compiler reload every member after it.
typedef uint16_t U16x16 __attribute__((vector_size(32), aligned(2)));
inline void store16(uint16_t *a, Reg v) {
    *reinterpret_cast<U16x16 *>(a) = reinterpret_cast<U16x16>(v);
}
#else
inline void store16(uint16_t *a, Reg v) { _mm256_storeu_si256(reinterpret_cast<Reg *>(a), v); }
#endif
inline Reg zero16() { return _mm256_setzero_si256(); }
inline Reg add16(Reg a, Reg b) { return _mm256_add_epi16(a, b); }
inline Reg sub16(Reg a, Reg b) { return _mm256_sub_epi16(a, b); }

// The bin of 16 holding rank r, from their running sums: the bins whose
// running sum is at most r, counted from a compare mask; no branch.
MV_INLINE int find16(Reg v, Index r, int nb, Index *below) {
    v = _mm256_add_epi16(v, _mm256_slli_si256(v, 2));
    v = _mm256_add_epi16(v, _mm256_slli_si256(v, 4));
    v = _mm256_add_epi16(v, _mm256_slli_si256(v, 8));
    Reg low_total = _mm256_shuffle_epi32(_mm256_shufflehi_epi16(v, 0xFF), 0xFF);
    v = _mm256_add_epi16(v, _mm256_permute2x128_si256(low_total, low_total, 0x08));
    const Reg le = _mm256_cmpeq_epi16(
        _mm256_subs_epu16(v, _mm256_set1_epi16(static_cast<short>(r))), _mm256_setzero_si256());
    unsigned m = static_cast<unsigned>(_mm256_movemask_epi8(le));
    if (nb < 16) m &= (1u << (2 * nb)) - 1;
    const int s = lowest_zero_bit(m) >> 1;
    alignas(32) uint16_t sums[48];
    sums[15] = 0;
    store16(sums + 16, v);
    *below = sums[15 + s];
    return s;
}
// How many of 16 running sums (not decreasing, the last above r) are at
// most r, and in *below the last of those (0 if none).
MV_INLINE int rank16(Reg cum, Index r, Index *below) {
    const Reg rr = _mm256_set1_epi16(static_cast<short>(r));
    const Reg le = _mm256_cmpeq_epi16(_mm256_subs_epu16(cum, rr), _mm256_setzero_si256());
    const int s = lowest_zero_bit(static_cast<unsigned>(_mm256_movemask_epi8(le))) >> 1;
    if (below != nullptr) {
        alignas(32) uint16_t sums[48];
        sums[15] = 0;
        store16(sums + 16, cum);
        *below = sums[15 + s];
    }
    return s;
}
#elif defined(MORVANE_COLUMNS_SSE2)
struct Reg {
    __m128i lo, hi;
};
inline Reg load16(const uint16_t *a) {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i *>(a)),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + 8))};
}
#if MV_VECTOR_EXTENSIONS
typedef uint16_t U16x8 __attribute__((vector_size(16), aligned(2)));
inline void store8(uint16_t *a, __m128i v) {
    *reinterpret_cast<U16x8 *>(a) = reinterpret_cast<U16x8>(v);
}
#else
inline void store8(uint16_t *a, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(a), v); }
#endif
inline void store16(uint16_t *a, Reg v) {
    store8(a, v.lo);
    store8(a + 8, v.hi);
}
inline Reg zero16() { return {_mm_setzero_si128(), _mm_setzero_si128()}; }
inline Reg add16(Reg a, Reg b) { return {_mm_add_epi16(a.lo, b.lo), _mm_add_epi16(a.hi, b.hi)}; }
inline Reg sub16(Reg a, Reg b) { return {_mm_sub_epi16(a.lo, b.lo), _mm_sub_epi16(a.hi, b.hi)}; }

MV_INLINE int find16(Reg v, Index r, int nb, Index *below) {
    __m128i lo = v.lo, hi = v.hi;
    lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 2));
    hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 2));
    lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 4));
    hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 4));
    lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 8));
    hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 8));
    hi = _mm_add_epi16(hi, _mm_shuffle_epi32(_mm_shufflehi_epi16(lo, 0xFF), 0xFF));
    const __m128i rr = _mm_set1_epi16(static_cast<short>(r));
    const __m128i zero = _mm_setzero_si128();
    const __m128i le_lo = _mm_cmpeq_epi16(_mm_subs_epu16(lo, rr), zero);
    const __m128i le_hi = _mm_cmpeq_epi16(_mm_subs_epu16(hi, rr), zero);
    unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(le_lo, le_hi)));
    m &= (1u << nb) - 1;
    const int s = lowest_zero_bit(m);
    alignas(16) uint16_t sums[24];
    sums[7] = 0;
    store8(sums + 8, lo);
    store8(sums + 16, hi);
    *below = sums[7 + s];
    return s;
}

MV_INLINE int rank16(Reg cum, Index r, Index *below) {
    const __m128i rr = _mm_set1_epi16(static_cast<short>(r));
    const __m128i zero = _mm_setzero_si128();
    const __m128i le_lo = _mm_cmpeq_epi16(_mm_subs_epu16(cum.lo, rr), zero);
    const __m128i le_hi = _mm_cmpeq_epi16(_mm_subs_epu16(cum.hi, rr), zero);
    const int s =
        lowest_zero_bit(static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(le_lo, le_hi))));
    if (below != nullptr) {
        alignas(16) uint16_t sums[24];
        sums[7] = 0;
        store8(sums + 8, cum.lo);
        store8(sums + 16, cum.hi);
        *below = sums[7 + s];
    }
    return s;
}
#endif

// Sixteen bins of counts T: in vector registers for 16-bit counts where
// there are vectors, else plain arrays.
template <class T> struct Bins {
    T v[16];
    static Bins zero() {
        Bins b;
        std::fill_n(b.v, 16, T{0});
        return b;
    }
    static Bins load(const T *a) {
        Bins b;
        std::copy_n(a, 16, b.v);
        return b;
    }
    void store(T *a) const { std::copy_n(v, 16, a); }
    void add(const T *a) {
        for (int i = 0; i < 16; ++i) v[i] = static_cast<T>(v[i] + a[i]);
    }
    void sub(const T *a) {
        for (int i = 0; i < 16; ++i) v[i] = static_cast<T>(v[i] - a[i]);
    }
    void move(const T *in, const T *out) {
        for (int i = 0; i < 16; ++i) v[i] = static_cast<T>(v[i] + in[i] - out[i]);
    }
    int find(Index r, int nb, Index *below) const { return find_bin(v, r, nb, below); }
    int rank(Index r, Index *below) const {
        int s = 0;
        for (int i = 0; i < 16; ++i) s += static_cast<Index>(v[i]) <= r;
        if (below != nullptr) *below = s > 0 ? static_cast<Index>(v[s - 1]) : 0;
        return s;
    }
};

#if defined(MORVANE_COLUMNS_AVX2) || defined(MORVANE_COLUMNS_SSE2)
template <> struct Bins<uint16_t> {
    Reg v;
    static Bins zero() { return {zero16()}; }
    static Bins load(const uint16_t *a) { return {load16(a)}; }
    void store(uint16_t *a) const { store16(a, v); }
    void add(const uint16_t *a) { v = add16(v, load16(a)); }
    void sub(const uint16_t *a) { v = sub16(v, load16(a)); }
    void move(const uint16_t *in, const uint16_t *out) {
        v = add16(v, sub16(load16(in), load16(out)));
    }
    int find(Index r, int nb, Index *below) const { return find16(v, r, nb, below); }
    int rank(Index r, Index *below) const { return rank16(v, r, below); }
};
#endif

// Bins [0, nb) of a (nb <= 16; a padded to 16 readable bins).
template <class T> inline int find_in(const T *a, Index r, int nb, Index *below) {
    return Bins<T>::load(a).find(r, nb, below);
}

// ---------------------------------------------------------------------------
// The method

// Adds sign to the finest bins (win_l[code], and win_g[code >> group]
// when there are groups) of the codes of v[0 .. len) in [lo, lo + span)
// (and with a non-zero mask byte). v and m are readable 16 elements past len.
template <class T, bool Masked>
MV_INLINE void count_codes(const uint16_t *v, const uint8_t *m, Index len, unsigned lo,
                           unsigned span, int sign, T *win_l, T *win_g, int group) {
#if defined(MORVANE_COLUMNS_AVX2)
    const __m256i first = _mm256_set1_epi16(static_cast<short>(lo));
    const __m256i last = _mm256_set1_epi16(static_cast<short>(span - 1));
    for (Index i = 0; i < len; i += 16) {
        const __m256i d =
            _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(v + i)), first);
        __m256i in = _mm256_cmpeq_epi16(_mm256_min_epu16(d, last), d);
        if constexpr (Masked) {
            const __m256i bytes =
                _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(m + i)));
            in = _mm256_andnot_si256(_mm256_cmpeq_epi16(bytes, _mm256_setzero_si256()), in);
        }
        // One bit per lane.
        unsigned bits = static_cast<unsigned>(_mm256_movemask_epi8(in)) & 0x55555555u;
        if (len - i < 16) bits &= (1u << (2 * (len - i))) - 1;
        const uint16_t *chunk = v + i;
        while (bits != 0) {
            const unsigned code = chunk[lowest_zero_bit(~bits) >> 1];
            bits &= bits - 1;
            win_l[code] = static_cast<T>(win_l[code] + sign);
            if (win_g != nullptr)
                win_g[code >> group] = static_cast<T>(win_g[code >> group] + sign);
        }
    }
#else
    for (Index i = 0; i < len; ++i) {
        const unsigned code = v[i];
        if (static_cast<unsigned>(static_cast<uint16_t>(code - lo)) >= span ||
            (Masked && m[i] == 0))
            continue;
        win_l[code] = static_cast<T>(win_l[code] + sign);
        if (win_g != nullptr) win_g[code >> group] = static_cast<T>(win_g[code >> group] + sign);
    }
#endif
}

// One band's column histograms and window, for output columns [xs, xe).
template <class T, bool Wide, bool Masked> class Core {
public:
    using V = std::conditional_t<Wide, uint16_t, uint8_t>;

    Core(const Task &t, const Geometry &g, const Source &s, Index xs, Index xe)
        : t_(t), g_(g), s_(s), xs_(xs), xe_(xe) {
        ca_ = std::max<Index>(0, xs + g.lo[2]);
        cb_ = std::max(ca_, std::min<Index>(g.C, xe - 1 + g.hi[2] + 1));
        const size_t nc = static_cast<size_t>(cb_ - ca_);
        codes_.assign(static_cast<size_t>(xe - xs), 0);
        rank_of_ = t.rank_of.data();
        col_a_.assign(nc * 16, 0);
        col_b_.assign(nc * 256, 0);
        if (Masked) col_n_.assign(nc, 0);
        sa_ = Wide ? s.bits - 4 : 4;
        sb_ = Wide ? s.bits - 8 : 0;
        if constexpr (Wide) {
            l3_ = s.bits - 8;
            group_ = l3_ > 4 ? l3_ - 4 : 0;
            win_l_.assign((size_t{1} << s.bits) + 16, 0);
            if (group_ > 0) win_g_.assign(256 * 16 + 16, 0);
            // For uniform values the range spans some five standard
            // deviations of the window's median (in bins, 5 * 128 / sqrt(n)),
            // stretched for narrow windows and shrunk for wide ones (whose
            // range is moved at the cost of their width): 640 / height bins,
            // about 2.5 pixels of a column in the range.
            const Index height = (g.hi[0] - g.lo[0] + 1) * (g.hi[1] - g.lo[1] + 1);
            const double bins = 640.0 / static_cast<double>(std::max<Index>(1, height));
            track_bins_ = static_cast<unsigned>(std::clamp(bins, 4.0, 256.0));
        }
        for (int b = 0; b < 32; ++b)
            for (int i = 0; i < 16; ++i) unit_[b][i] = b < 16 && i >= b ? T{1} : T{0};
        const size_t depth = static_cast<size_t>(g.hi[0] - g.lo[0] + 1);
        in_rows_.resize(depth);
        out_rows_.resize(depth);
        in_mask_.resize(depth);
        out_mask_.resize(depth);
    }

    // Rows [y0, y1) of plane z; false when cancelled.
    bool rows(Index z, Index y0, Index y1, const Control &control) {
        for (Index y = y0; y < y1; ++y) {
            if (control.cancelled()) return false;
            if (y == y0)
                build(z, y);
            else
                prepare_step(z, y);
            row(z, y, y == y0);
        }
        return true;
    }

private:
    // Columns are stepped down a row a few columns before the window takes
    // them in: a vector load right after the narrow stores that stepped a
    // column would wait for them.
    static constexpr Index kAhead = 8;

    const Task &t_;
    const Geometry &g_;
    const Source &s_;
    Index xs_, xe_, ca_, cb_;
    int sa_, sb_, l3_ = 0, group_ = 0;
    std::vector<T> col_a_, col_b_, col_n_;
    alignas(32) T win_b_[256 + 16];
    alignas(32) T unit_[32][16];
    Index last_b_[16];
    std::vector<T> win_l_, win_g_;
    unsigned track_lo_ = 0, track_bins_ = 16;
    bool tracked_ = false;
    Index scan_r0_ = 0, scan_len_ = 0; // the rows of a column, in the by-column copy
    // The row step: planes [p0, p1), the rows moving in and out, the
    // counted pixels of a column (no mask).
    Index p0_ = 0, p1_ = 0, row_in_ = 0, row_out_ = 0, height_ = 0;
    bool has_in_ = false, has_out_ = false, both_ = false;
    size_t planes_ = 0;
    std::vector<const V *> in_rows_, out_rows_;
    std::vector<const uint8_t *> in_mask_, out_mask_;
    // The row being filled.
    bool built_ = false;
    Index step_end_ = 0; // columns [ca_, step_end_) are stepped as they come
    const Index *rank_of_ = nullptr;
    std::vector<uint32_t> codes_;
    static constexpr uint32_t kEmpty = ~uint32_t{0};

    T *col_a(Index c) { return col_a_.data() + (c - ca_) * 16; }
    T *col_b(Index c) { return col_b_.data() + (c - ca_) * 256; }
    T &col_n(Index c) { return col_n_[static_cast<size_t>(c - ca_)]; }

    const V *code_row(Index p, Index r) const {
        return reinterpret_cast<const V *>(s_.codes + s_.origin + p * s_.ps + r * s_.rs);
    }
    const uint8_t *mask_row(Index p, Index r) const {
        return reinterpret_cast<const uint8_t *>(t_.mask.at(p, r, 0, 1));
    }

    // Column histograms hold running sums (bins 0 .. i at bin i; within
    // each coarse bin for the fine ones), so that the window's, their sum,
    // is searched by one compare. A pixel moving in or out adds or removes
    // a row of the unit table: ones from its bin on (weight 0: zeros).
    const T *unit(unsigned bin, T weight) const {
        return unit_[Masked ? bin + 16 * (1u - weight) : bin];
    }

    MV_INLINE void move_pixels(Index c, unsigned v_in, T m_in, unsigned v_out, T m_out) {
        const unsigned a_in = v_in >> sa_, a_out = v_out >> sa_;
        T *col = col_a(c);
        Bins<T> coarse = Bins<T>::load(col);
        coarse.move(unit(a_in, m_in), unit(a_out, m_out));
        coarse.store(col);
        T *seg_out = col_b(c) + 16 * a_out;
        Bins<T> out = Bins<T>::load(seg_out);
        out.sub(unit((v_out >> sb_) & 15, m_out));
        out.store(seg_out);
        T *seg_in = col_b(c) + 16 * a_in;
        Bins<T> in = Bins<T>::load(seg_in);
        in.add(unit((v_in >> sb_) & 15, m_in));
        in.store(seg_in);
        if (Masked) col_n(c) = static_cast<T>(col_n(c) + m_in - m_out);
    }

    void add_pixel(Index c, unsigned v, T m, bool in) {
        const unsigned a = v >> sa_;
        T *col = col_a(c);
        Bins<T> coarse = Bins<T>::load(col);
        T *seg = col_b(c) + 16 * a;
        Bins<T> fine = Bins<T>::load(seg);
        if (in) {
            coarse.add(unit(a, m));
            fine.add(unit((v >> sb_) & 15, m));
            if (Masked) col_n(c) = static_cast<T>(col_n(c) + m);
        } else {
            coarse.sub(unit(a, m));
            fine.sub(unit((v >> sb_) & 15, m));
            if (Masked) col_n(c) = static_cast<T>(col_n(c) - m);
        }
        coarse.store(col);
        fine.store(seg);
    }

    // Pixels of bin b (of the columns' 256) in column c.
    Index bin_count(Index c, unsigned b) {
        const T *cum = col_b(c);
        return (b & 15) == 0 ? Index{cum[b]} : Index{cum[b]} - Index{cum[b - 1]};
    }

    void rows_of(Index z, Index y) {
        p0_ = std::max<Index>(g_.pa, z + g_.lo[0]);
        p1_ = std::max(p0_, std::min<Index>(g_.pb, z + g_.hi[0] + 1));
        const Index r0 = std::max<Index>(0, y + g_.lo[1]);
        const Index r1 = std::min<Index>(g_.R, y + g_.hi[1] + 1);
        height_ = (p1_ - p0_) * std::max<Index>(0, r1 - r0);
    }

    // Every column afresh for row y: counts, then running sums.
    void build(Index z, Index y) {
        std::fill(col_a_.begin(), col_a_.end(), T{0});
        std::fill(col_b_.begin(), col_b_.end(), T{0});
        std::fill(col_n_.begin(), col_n_.end(), T{0});
        rows_of(z, y);
        const Index r0 = std::max<Index>(0, y + g_.lo[1]);
        const Index r1 = std::min<Index>(g_.R, y + g_.hi[1] + 1);
        for (Index p = p0_; p < p1_; ++p) {
            for (Index r = r0; r < r1; ++r) {
                const V *v = code_row(p, r);
                const uint8_t *m = Masked ? mask_row(p, r) : nullptr;
                for (Index c = ca_; c < cb_; ++c) {
                    const T w = Masked ? static_cast<T>(m[c]) : T{1};
                    const unsigned code = v[c];
                    T &ca = col_a(c)[code >> sa_];
                    T &cb = col_b(c)[code >> sb_];
                    ca = static_cast<T>(ca + w);
                    cb = static_cast<T>(cb + w);
                    if (Masked) col_n(c) = static_cast<T>(col_n(c) + w);
                }
            }
        }
        for (T *bins = col_a_.data(), *end = bins + col_a_.size(); bins < end; bins += 16)
            for (int i = 1; i < 16; ++i) bins[i] = static_cast<T>(bins[i] + bins[i - 1]);
        for (T *bins = col_b_.data(), *end = bins + col_b_.size(); bins < end; bins += 16)
            for (int i = 1; i < 16; ++i) bins[i] = static_cast<T>(bins[i] + bins[i - 1]);
    }

    void prepare_step(Index z, Index y) {
        rows_of(z, y);
        row_in_ = y + g_.hi[1];
        row_out_ = y - 1 + g_.lo[1];
        has_in_ = row_in_ >= 0 && row_in_ < g_.R;
        has_out_ = row_out_ >= 0 && row_out_ < g_.R;
        for (Index p = p0_; p < p1_; ++p) {
            const size_t k = static_cast<size_t>(p - p0_);
            if (has_in_) {
                in_rows_[k] = code_row(p, row_in_);
                if (Masked) in_mask_[k] = mask_row(p, row_in_);
            }
            if (has_out_) {
                out_rows_[k] = code_row(p, row_out_);
                if (Masked) out_mask_[k] = mask_row(p, row_out_);
            }
        }
        both_ = has_in_ && has_out_;
        planes_ = static_cast<size_t>(p1_ - p0_);
    }

    T weight(const uint8_t *const *mask, size_t k, Index c) const {
        return Masked ? static_cast<T>(mask[k][c]) : T{1};
    }

    // Column c down one row.
    MV_INLINE void step(Index c) {
        if (planes_ == 1 && both_) {
            move_pixels(c, in_rows_[0][c], weight(in_mask_.data(), 0, c), out_rows_[0][c],
                        weight(out_mask_.data(), 0, c));
            return;
        }
        if (both_) {
            for (size_t k = 0; k < planes_; ++k)
                move_pixels(c, in_rows_[k][c], weight(in_mask_.data(), k, c), out_rows_[k][c],
                            weight(out_mask_.data(), k, c));
            return;
        }
        if (has_out_)
            for (size_t k = 0; k < planes_; ++k)
                add_pixel(c, out_rows_[k][c], weight(out_mask_.data(), k, c), false);
        if (has_in_)
            for (size_t k = 0; k < planes_; ++k)
                add_pixel(c, in_rows_[k][c], weight(in_mask_.data(), k, c), true);
    }

    // Columns [ca_, end) down at this row.
    void step_to(Index end) {
        if (built_) return;
        for (Index c = ca_, e = std::min(end, cb_); c < e; ++c) step(c);
    }

    // Columns of the window of x: [x + lo, x + hi] inside the image.
    Index first_col(Index x) const { return std::max<Index>(0, x + g_.lo[2]); }
    Index end_col(Index x) const { return std::min<Index>(g_.C, x + g_.hi[2] + 1); }

    // The window's fine bins of coarse bin a, at x.
    template <bool Edge> MV_INLINE void refresh_b(int a, Index x) {
        T *w = win_b_ + 16 * a;
        const Index last = last_b_[a];
        last_b_[a] = x;
        if (last == x - 1) {
            // The common case: the same coarse bin as one column ago.
            const Index in = x + g_.hi[2], out = x - 1 + g_.lo[2];
            const bool has_in = !Edge || (in >= 0 && in < g_.C);
            const bool has_out = !Edge || (out >= 0 && out < g_.C);
            Bins<T> b = Bins<T>::load(w);
            if (has_in && has_out)
                b.move(col_b(in) + 16 * a, col_b(out) + 16 * a);
            else if (has_in)
                b.add(col_b(in) + 16 * a);
            else if (has_out)
                b.sub(col_b(out) + 16 * a);
            b.store(w);
            return;
        }
        const Index c0 = first_col(x), c1 = end_col(x);
        if (last == kStale || 2 * (x - last) > c1 - c0) {
            Bins<T> b = Bins<T>::zero();
            for (Index c = c0; c < c1; ++c) b.add(col_b(c) + 16 * a);
            b.store(w);
            return;
        }
        Bins<T> b = Bins<T>::load(w);
        for (Index j = last + 1; j <= x; ++j) {
            const Index jin = j + g_.hi[2], jout = j - 1 + g_.lo[2];
            if (jin >= 0 && jin < g_.C) b.add(col_b(jin) + 16 * a);
            if (jout >= 0 && jout < g_.C) b.sub(col_b(jout) + 16 * a);
        }
        b.store(w);
    }

    // Wide codes: column c's pixels in bin b of the columns' 256, into (or
    // out of) the window's finest bins.
    // Wide codes. The window's finest bins are kept for a range of bins
    // of the columns' 256 around where the rank lies (wide enough that it
    // rarely strays out), moving with it: each column entering or leaving
    // the window adds or removes its pixels in the range.
    MV_INLINE void track(Index c, int sign) {
        const unsigned lo = track_lo_ << l3_, span = track_bins_ << l3_;
        T *win_g = group_ > 0 ? win_g_.data() : nullptr;
        const Index rows = g_.rb - g_.ra;
        for (Index p = p0_; p < p1_; ++p) {
            const size_t base = static_cast<size_t>(((p - g_.pa) * g_.C + c) * rows + scan_r0_);
            count_codes<T, Masked>(s_.by_column + base, Masked ? s_.mask_by_column + base : nullptr,
                                   scan_len_, lo, span, sign, win_l_.data(), win_g, group_);
        }
    }

    // Moves the range to hold bin b, and counts it afresh for the window of x.
    void recentre(unsigned b, Index x) {
        clear_range(x);
        const unsigned width = track_bins_;
        track_lo_ = b >= width / 2 ? std::min(b - width / 2, 256 - width) : 0;
        tracked_ = true;
        for (Index c = first_col(x), e = end_col(x); c < e; ++c) track(c, +1);
    }

    // Empties the range's bins, which count the window of x: by taking its
    // columns out again when that is cheaper than clearing every bin.
    void clear_range(Index x) {
        if (!tracked_) return;
        tracked_ = false;
        const size_t bins = size_t{track_bins_} << l3_;
        const Index c0 = first_col(x), c1 = end_col(x);
        if (static_cast<size_t>((c1 - c0) * (scan_len_ + 16) * (p1_ - p0_)) < bins) {
            for (Index c = c0; c < c1; ++c) track(c, -1);
            return;
        }
        std::fill_n(win_l_.begin() + (size_t{track_lo_} << l3_), bins, T{0});
        if (group_ > 0) std::fill_n(win_g_.begin() + track_lo_ * 16, track_bins_ * 16, T{0});
    }

    // The code of the value of rank r in the window of x.
    template <bool Edge> MV_INLINE unsigned select(const Bins<T> &coarse, Index r, Index x) {
        Index below;
        const int a = coarse.rank(r, &below);
        r -= below;
        refresh_b<Edge>(a, x);
        const Bins<T> fine_bins = Bins<T>::load(win_b_ + 16 * a);
        if constexpr (!Wide) {
            return static_cast<unsigned>(16 * a + fine_bins.rank(r, nullptr));
        } else {
            const int fine = fine_bins.rank(r, &below);
            const unsigned b = static_cast<unsigned>(16 * a + fine);
            r -= below;
            if (!tracked_ || b < track_lo_ || b >= track_lo_ + track_bins_) recentre(b, x);
            const T *bins = win_l_.data() + (size_t{b} << l3_);
            if (group_ == 0) return (b << l3_) + find_in(bins, r, 1 << l3_, &below);
            const int k = find_in(win_g_.data() + b * 16, r, 16, &below);
            r -= below;
            const int width = 1 << group_;
            return (b << l3_) + k * width + find_in(bins + k * width, r, width, &below);
        }
    }

    // Codes go to a row buffer of a type no histogram shares (stores to
    // the output's bytes could alias everything and force reloads).
    template <bool Edge> MV_INLINE void emit(const Bins<T> &coarse, Index n, Index x) {
        codes_[static_cast<size_t>(x - xs_)] =
            n > 0 ? select<Edge>(coarse, rank_of_[n], x) : kEmpty;
    }

    void write_row(Index z, Index y) {
        const Output &o = t_.out;
        char *dst = o.data + z * o.strides[0] + y * o.strides[1] + xs_ * o.strides[2];
        const Index step = o.strides[2], n = xe_ - xs_;
        const uint32_t *codes = codes_.data();
        if (o.type == OutType::U8) {
            // Codes of uint8 images are their values.
            for (Index i = 0; i < n; ++i)
                dst[i * step] = static_cast<char>(codes[i] == kEmpty ? 0u : codes[i]);
            return;
        }
        const uint16_t *value_of = s_.value_of;
        for (Index i = 0; i < n; ++i) {
            const uint16_t v = codes[i] == kEmpty ? uint16_t{0} : value_of[codes[i]];
            std::memcpy(dst + i * step, &v, 2);
        }
    }

    // Pixels [x0, x1) of the row, x0 > xs_. Edge: the entering or the
    // leaving column may lie outside the image.
    template <bool Edge> void span(Index x0, Index x1, Bins<T> &coarse, Index &count) {
        for (Index x = x0; x < x1; ++x) {
            const Index in = x + g_.hi[2], out = x - 1 + g_.lo[2];
            const bool has_in = !Edge || (in >= 0 && in < g_.C);
            const bool has_out = !Edge || (out >= 0 && out < g_.C);
            // Columns are stepped once per row, in order: those of the first
            // window and kAhead more before the row's first pixel, then one
            // per pixel.
            const Index ahead = in + kAhead;
            if (ahead < step_end_ && (!Edge || ahead >= ca_)) step(ahead);
            if (has_in) count += Masked ? Index{col_n(in)} : 1;
            if (has_out) count -= Masked ? Index{col_n(out)} : 1;
            if (!Edge || (has_in && has_out))
                coarse.move(col_a(in), col_a(out));
            else if (has_in)
                coarse.add(col_a(in));
            else if (has_out)
                coarse.sub(col_a(out));
            if constexpr (Wide) {
                if (tracked_) {
                    if (has_in) track(in, +1);
                    if (has_out) track(out, -1);
                }
            }
            emit<Edge>(coarse, Masked ? count : count * height_, x);
        }
    }

    void row(Index z, Index y, bool built) {
        for (int i = 0; i < 16; ++i) last_b_[i] = kStale;
        if constexpr (Wide) {
            scan_r0_ = std::max<Index>(0, y + g_.lo[1]) - g_.ra;
            scan_len_ =
                std::max<Index>(0, std::min<Index>(g_.R, y + g_.hi[1] + 1) - g_.ra - scan_r0_);
        }
        built_ = built;
        step_end_ = built ? ca_ : cb_;
        // count: the window's pixels (mask) or columns (no mask).
        Bins<T> coarse = Bins<T>::zero();
        Index count = 0;
        const Index e0 = end_col(xs_);
        step_to(e0 + kAhead);
        for (Index c = first_col(xs_); c < e0; ++c) {
            coarse.add(col_a(c));
            count += Masked ? Index{col_n(c)} : 1;
        }
        emit<true>(coarse, Masked ? count : count * height_, xs_);
        // Where both the entering and the leaving column lie in the image.
        const Index first = xs_ + 1;
        const Index xa = std::clamp<Index>(std::max(1 - g_.lo[2], -g_.hi[2]), first, xe_);
        const Index xb = std::clamp<Index>(std::min(g_.C - g_.hi[2], g_.C + 1 - g_.lo[2]), xa, xe_);
        span<true>(first, xa, coarse, count);
        span<false>(xa, xb, coarse, count);
        span<true>(xb, xe_, coarse, count);
        if constexpr (Wide) clear_range(xe_ - 1);
        write_row(z, y);
    }
};

// Output columns per stripe: a stripe's column histograms stay within about
// half the core's L2 cache.
inline Index stripe_width(const Geometry &g, size_t count_bytes) {
    const Index width = g.hi[2] - g.lo[2] + 1;
    const Index per_column = static_cast<Index>(272 * count_bytes);
    const Index fit = (256 * 1024) / per_column;
    return std::max<Index>(std::max<Index>(64, width), fit - width + 1);
}

template <class T, bool Wide, bool Masked>
void run_core(const Task &t, const Geometry &g, const Source &s, const Band &b,
              const Control &control) {
    const Index stripe = stripe_width(g, sizeof(T));
    for (Index xs = 0; xs < g.C; xs += stripe) {
        Core<T, Wide, Masked> core(t, g, s, xs, std::min(g.C, xs + stripe));
        for (Index z = b.z0; z < b.z1; ++z)
            if (!core.rows(z, b.y0, b.y1, control)) return;
    }
}

template <class T>
void run_counted(const Task &t, const Geometry &g, const Source &s, const Band &b,
                 const Control &control) {
    const bool wide = s.bits > 8;
    if (t.has_mask()) {
        if (wide)
            run_core<T, true, true>(t, g, s, b, control);
        else
            run_core<T, false, true>(t, g, s, b, control);
    } else {
        if (wide)
            run_core<T, true, false>(t, g, s, b, control);
        else
            run_core<T, false, false>(t, g, s, b, control);
    }
}

inline void run(const Task &t, const Geometry &g, const Source &s, const Band &b,
                const Control &control) {
    // Counts fit in 16 bits unless the box holds more pixels.
    if (t.fp->size() <= 65535)
        run_counted<uint16_t>(t, g, s, b, control);
    else
        run_counted<uint32_t>(t, g, s, b, control);
}

} // namespace morvane::engine::columns_detail::MORVANE_COLUMNS_ISA
