// The inner loops of the runs and sums methods, over whole table rows.
//
// No include guard on purpose: runs.cpp and sums.cpp include this once per
// instruction set, inside a namespace of its own (runs_targets.hpp; the
// AVX2 copy between MV_AVX2_BEGIN and MV_AVX2_END, with MV_VECTORS).
// Everything the loops call is inlined, so each copy is vectorised for its
// set.

template <class Op, class T> struct Loops {
    static void step(T *__restrict out, const T *__restrict a, const T *__restrict b, Index n) {
        for (Index i = 0; i < n; ++i) out[i] = Op::f(a[i], b[i]);
    }

    static void fill(T *__restrict acc, T v, Index n) {
        for (Index i = 0; i < n; ++i) acc[i] = v;
    }

    // out = op(s[0], ..., s[count - 1]) (count >= 1) and acc = op(acc, s[0],
    // ...): up to eight sources per pass, so that the result row is stored
    // (and loaded) once for them.
    static void gather(T *__restrict out, const T *const *s, int count, Index n) {
        const int k = count < 8 ? count : 8;
        switch (k) {
        case 8: combine<8, false>(out, s, n); break;
        case 7: combine<7, false>(out, s, n); break;
        case 6: combine<6, false>(out, s, n); break;
        case 5: combine<5, false>(out, s, n); break;
        case 4: combine<4, false>(out, s, n); break;
        case 3: combine<3, false>(out, s, n); break;
        case 2: combine<2, false>(out, s, n); break;
        default: combine<1, false>(out, s, n); break;
        }
        if (count > k) merge(out, s + k, count - k, n);
    }

    static void merge(T *__restrict acc, const T *const *s, int count, Index n) {
        for (; count >= 7; count -= 7, s += 7) combine<7, true>(acc, s, n);
        switch (count) {
        case 6: combine<6, true>(acc, s, n); break;
        case 5: combine<5, true>(acc, s, n); break;
        case 4: combine<4, true>(acc, s, n); break;
        case 3: combine<3, true>(acc, s, n); break;
        case 2: combine<2, true>(acc, s, n); break;
        case 1: combine<1, true>(acc, s, n); break;
        default: break;
        }
    }

    template <int K, bool Into> static void combine(T *__restrict out, const T *const *s, Index n) {
        const T *__restrict a = s[0];
        const T *__restrict b = s[K > 1 ? 1 : 0];
        const T *__restrict c = s[K > 2 ? 2 : 0];
        const T *__restrict d = s[K > 3 ? 3 : 0];
        const T *__restrict e = s[K > 4 ? 4 : 0];
        const T *__restrict f = s[K > 5 ? 5 : 0];
        const T *__restrict g = s[K > 6 ? 6 : 0];
        const T *__restrict h = s[K > 7 ? 7 : 0];
        for (Index i = 0; i < n; ++i) {
            T v = a[i];
            if constexpr (K > 1) v = Op::f(v, b[i]);
            if constexpr (K > 2) v = Op::f(v, c[i]);
            if constexpr (K > 3) v = Op::f(v, d[i]);
            if constexpr (K > 4) v = Op::f(v, e[i]);
            if constexpr (K > 5) v = Op::f(v, f[i]);
            if constexpr (K > 6) v = Op::f(v, g[i]);
            if constexpr (K > 7) v = Op::f(v, h[i]);
            if constexpr (Into) v = Op::f(out[i], v);
            out[i] = v;
        }
    }

    // outs[k][i] = op(t0[i], ..., t0[i + lens[k] - 1]) for increasing
    // lens (all > 1), in one pass: the running result of a block stays in
    // registers while it grows. Reads t0 up to n rounded up to kBlock plus
    // the longest length; writes outs up to n rounded up to kBlock.
    static constexpr Index kBlock = 128 / static_cast<Index>(sizeof(T));
#ifdef MV_VECTORS
    // Four vector registers hold a block's running results.
    typedef T V __attribute__((vector_size(32)));
    static constexpr Index kLanes = 32 / static_cast<Index>(sizeof(T));
    static V vload(const T *p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void vstore(T *p, V v) { std::memcpy(p, &v, sizeof v); }
    static V vop(V a, V b) {
        if constexpr (std::is_same_v<Op, rows::Add>)
            return a + b;
        else if constexpr (std::is_same_v<Op, rows::Min>)
            return b < a ? b : a;
        else
            return a < b ? b : a;
    }
    static void running(T *const *outs, const Index *lens, int count, const T *__restrict t0,
                        Index n) {
        const Index top = lens[count - 1];
        for (Index i0 = 0; i0 < n; i0 += kBlock) {
            const T *in = t0 + i0;
            V v0 = vload(in), v1 = vload(in + kLanes), v2 = vload(in + 2 * kLanes),
              v3 = vload(in + 3 * kLanes);
            int k = 0;
            for (Index l = 1; l < top; ++l) {
                v0 = vop(v0, vload(in + l));
                v1 = vop(v1, vload(in + l + kLanes));
                v2 = vop(v2, vload(in + l + 2 * kLanes));
                v3 = vop(v3, vload(in + l + 3 * kLanes));
                if (l + 1 == lens[k]) {
                    T *o = outs[k] + i0;
                    vstore(o, v0);
                    vstore(o + kLanes, v1);
                    vstore(o + 2 * kLanes, v2);
                    vstore(o + 3 * kLanes, v3);
                    ++k;
                }
            }
        }
    }
#else
    static void running(T *const *outs, const Index *lens, int count, const T *__restrict t0,
                        Index n) {
        const Index top = lens[count - 1];
        for (Index i0 = 0; i0 < n; i0 += kBlock) {
            T v[kBlock];
            const T *__restrict in = t0 + i0;
            for (Index j = 0; j < kBlock; ++j) v[j] = in[j];
            int k = 0;
            for (Index l = 1; l < top; ++l) {
                for (Index j = 0; j < kBlock; ++j) v[j] = Op::f(v[j], in[j + l]);
                if (l + 1 == lens[k]) {
                    T *__restrict o = outs[k] + i0;
                    for (Index j = 0; j < kBlock; ++j) o[j] = v[j];
                    ++k;
                }
            }
        }
    }
#endif

    // Input values widened to lanes; with a mask, uncounted ones become `off`.
    template <class In> static void widen(T *__restrict out, const In *__restrict in, Index n) {
        for (Index i = 0; i < n; ++i) out[i] = static_cast<T>(in[i]);
    }
    template <class In>
    static void widen_masked(T *__restrict out, const In *__restrict in,
                             const uint8_t *__restrict mask, T off, Index n) {
        for (Index i = 0; i < n; ++i) {
            const T v = static_cast<T>(in[i]);
            out[i] = mask[i] ? v : off;
        }
    }
    // Sums: value times mask byte (0 / 1), the mask itself, or both packed
    // in one lane as value + (mask << shift).
    template <class In>
    static void widen_weighted(T *__restrict out, const In *__restrict in,
                               const uint8_t *__restrict mask, Index n) {
        for (Index i = 0; i < n; ++i) out[i] = static_cast<T>(static_cast<T>(in[i]) * mask[i]);
    }
    template <class In>
    static void widen_packed(T *__restrict out, const In *__restrict in,
                             const uint8_t *__restrict mask, int shift, Index n) {
        for (Index i = 0; i < n; ++i)
            out[i] = static_cast<T>(static_cast<T>(in[i]) * mask[i] +
                                    (static_cast<T>(mask[i]) << shift));
    }
    static void widen_mask(T *__restrict out, const uint8_t *__restrict mask, Index n) {
        for (Index i = 0; i < n; ++i) out[i] = mask[i];
    }
    // Minima of any 32-bit value: 0 for a counted pixel, all ones for one
    // that is not; a window's minimum stays all ones only when it is empty.
    static void flags(T *__restrict out, const uint8_t *__restrict mask, Index n) {
        for (Index i = 0; i < n; ++i) out[i] = mask[i] ? T(0) : T(~T(0));
    }
    template <class Out>
    static void clear_flagged(Out *__restrict out, const T *__restrict flag, Index n) {
        for (Index i = 0; i < n; ++i) out[i] = flag[i] ? Out(0) : out[i];
    }

    // Min and max results: as they are, or 0 where the lane holds the
    // marker of an empty window (anything above `top`).
    template <class Out> static void narrow(Out *__restrict out, const T *__restrict acc, Index n) {
        for (Index i = 0; i < n; ++i) out[i] = static_cast<Out>(acc[i]);
    }
    template <class Out>
    static void narrow_marked(Out *__restrict out, const T *__restrict acc, T top, Index n) {
        for (Index i = 0; i < n; ++i) out[i] = acc[i] > top ? Out(0) : static_cast<Out>(acc[i]);
    }

    // Means: (sum - offset * count) / count, the difference taken modulo
    // the lanes' range and read as signed, which is exact whenever the
    // difference itself fits (the lanes are chosen so); sums by one count
    // (`less` = offset * count), by counts per pixel, or packed as sum +
    // (count << shift).
    //
    // 64-bit lanes convert by the exponent of 2^52 + 2^51 (exact for
    // |value| < 2^51, and vectorised, unlike the conversion instruction
    // before AVX-512) when `biased`, else one by one.
    using S = std::make_signed_t<T>;
    static double to_double(T v, bool biased) {
        if constexpr (sizeof(T) == 8) {
            if (biased) {
                const double b = 6755399441055744.0; // 2^52 + 2^51
                return std::bit_cast<double>(
                           static_cast<uint64_t>(v + std::bit_cast<uint64_t>(b))) -
                       b;
            }
        }
        return static_cast<double>(static_cast<S>(v));
    }
    static void divide(double *__restrict out, const T *__restrict sum, T less, double n,
                       bool biased, Index count) {
        if (biased) {
            for (Index i = 0; i < count; ++i)
                out[i] = to_double(static_cast<T>(sum[i] - less), true) / n;
            return;
        }
        for (Index i = 0; i < count; ++i)
            out[i] = to_double(static_cast<T>(sum[i] - less), false) / n;
    }
    static void divide_each(double *__restrict out, const T *__restrict sum, const T *__restrict n,
                            T offset, bool biased, Index count) {
        if (biased) {
            for (Index i = 0; i < count; ++i)
                out[i] =
                    to_double(static_cast<T>(sum[i] - offset * n[i]), true) / to_double(n[i], true);
            return;
        }
        for (Index i = 0; i < count; ++i)
            out[i] =
                to_double(static_cast<T>(sum[i] - offset * n[i]), false) / to_double(n[i], false);
    }
    static void divide_packed(double *__restrict out, const T *__restrict acc, int shift, T offset,
                              bool biased, Index count) {
        const T low = static_cast<T>((T(1) << shift) - 1);
        if (biased) {
            for (Index i = 0; i < count; ++i) {
                const T n = acc[i] >> shift;
                out[i] = to_double(static_cast<T>((acc[i] & low) - offset * n), true) /
                         to_double(n, true);
            }
            return;
        }
        for (Index i = 0; i < count; ++i) {
            const T n = acc[i] >> shift;
            out[i] =
                to_double(static_cast<T>((acc[i] & low) - offset * n), false) / to_double(n, false);
        }
    }
};

// Compensated sums of doubles: a table or accumulator is Parts arrays of
// lanes `stride` apart, the plain sum h, the sum c of the exact rounding
// errors of the additions that made h (each found by a two-sum), and with
// Parts == 3 the count w of counted pixels. h + c is then the window's sum
// but for errors of the order of the rounding errors' own rounding: far
// below one unit in the last place of the sum, unless it cancels beyond
// what one level of compensation holds. Every pass reads and writes all
// parts; the additions, not the memory, bound them.
template <int Parts> struct Compensated {
    static constexpr bool counts = Parts == 3;

    // o = a + b, or o += a (+ b): the kernels of every pass.
    static void add2(double *__restrict oh, double *__restrict oc, double *__restrict ow,
                     const double *__restrict ah, const double *__restrict ac,
                     const double *__restrict aw, const double *__restrict bh,
                     const double *__restrict bc, const double *__restrict bw, Index n) {
        for (Index i = 0; i < n; ++i) {
            const double x = ah[i], y = bh[i], s = x + y, z = s - x;
            oh[i] = s;
            oc[i] = ac[i] + bc[i] + ((x - (s - z)) + (y - z));
            if constexpr (counts) ow[i] = aw[i] + bw[i];
        }
    }
    static void into1(double *__restrict oh, double *__restrict oc, double *__restrict ow,
                      const double *__restrict ah, const double *__restrict ac,
                      const double *__restrict aw, Index n) {
        for (Index i = 0; i < n; ++i) {
            const double x = oh[i], y = ah[i], s = x + y, z = s - x;
            oh[i] = s;
            oc[i] = oc[i] + ac[i] + ((x - (s - z)) + (y - z));
            if constexpr (counts) ow[i] += aw[i];
        }
    }
    static void into2(double *__restrict oh, double *__restrict oc, double *__restrict ow,
                      const double *__restrict ah, const double *__restrict ac,
                      const double *__restrict aw, const double *__restrict bh,
                      const double *__restrict bc, const double *__restrict bw, Index n) {
        for (Index i = 0; i < n; ++i) {
            const double x = ah[i], y = bh[i], s = x + y, z = s - x;
            const double e = ac[i] + bc[i] + ((x - (s - z)) + (y - z));
            const double u = oh[i], v = u + s, q = v - u;
            oh[i] = v;
            oc[i] = oc[i] + e + ((u - (v - q)) + (s - q));
            if constexpr (counts) ow[i] += aw[i] + bw[i];
        }
    }
    static void copy(double *__restrict oh, double *__restrict oc, double *__restrict ow,
                     const double *__restrict ah, const double *__restrict ac,
                     const double *__restrict aw, Index n) {
        for (Index i = 0; i < n; ++i) {
            oh[i] = ah[i];
            oc[i] = ac[i];
            if constexpr (counts) ow[i] = aw[i];
        }
    }

    // The driver's loops, on tables and accumulators given by their first
    // part.
    static void step(double *o, const double *a, const double *b, Index n, Index stride) {
        add2(o, o + stride, w(o, stride), a, a + stride, w(a, stride), b, b + stride, w(b, stride),
             n);
    }
    static void merge(double *acc, const double *const *s, int count, Index n, Index stride) {
        for (; count >= 2; count -= 2, s += 2)
            into2(acc, acc + stride, w(acc, stride), s[0], s[0] + stride, w(s[0], stride), s[1],
                  s[1] + stride, w(s[1], stride), n);
        if (count == 1)
            into1(acc, acc + stride, w(acc, stride), s[0], s[0] + stride, w(s[0], stride), n);
    }
    static void gather(double *o, const double *const *s, int count, Index n, Index stride) {
        if (count == 1) {
            copy(o, o + stride, w(o, stride), s[0], s[0] + stride, w(s[0], stride), n);
            return;
        }
        step(o, s[0], s[1], n, stride);
        merge(o, s + 2, count - 2, n, stride);
    }
    static void fill(double *acc, double v, Index n, Index stride) {
        for (int j = 0; j < Parts; ++j)
            for (Index i = 0; i < n; ++i) acc[j * stride + i] = v;
    }

    // The first table of a row: the values, with no rounding error; with a
    // mask, 0 for uncounted pixels (selected, not multiplied: NaN * 0 is
    // NaN) and their counts.
    static void values(double *__restrict h, const double *__restrict in, Index n) {
        for (Index i = 0; i < n; ++i) h[i] = in[i];
    }
    static void counted_values(double *__restrict h, double *__restrict count,
                               const double *__restrict in, const uint8_t *__restrict mask,
                               Index n) {
        for (Index i = 0; i < n; ++i) {
            const bool counted = mask[i] != 0;
            h[i] = counted ? in[i] : 0.0;
            count[i] = counted ? 1.0 : 0.0;
        }
    }

    // Means: (h + c) / n. An h that is not finite stands for itself: h is
    // the plain IEEE sum of exactly the window's values (tables are sums of
    // their own values, never differences), so it is NaN when a NaN or
    // infinities of both signs are among them, else the infinity there is,
    // which is NumPy's rule; c is then meaningless. 0 / 0 is NaN for an
    // empty window.
    static void means(double *__restrict out, const double *__restrict h,
                      const double *__restrict c, double n, Index count) {
        for (Index i = 0; i < count; ++i) out[i] = total(h[i], c[i]) / n;
    }
    static void counted_means(double *__restrict out, const double *__restrict h,
                              const double *__restrict c, const double *__restrict n, Index count) {
        for (Index i = 0; i < count; ++i) out[i] = total(h[i], c[i]) / n[i];
    }

private:
    // Selections by bits, which the compiler vectorises (it keeps branches
    // for comparisons that NaN may reach).
    static uint64_t finite(double x) {
        const uint64_t e = uint64_t{0x7ff} << 52;
        return (std::bit_cast<uint64_t>(x) & e) == e ? 0 : ~uint64_t{0};
    }
    static double either(uint64_t m, double a, double b) {
        return std::bit_cast<double>((std::bit_cast<uint64_t>(a) & m) |
                                     (std::bit_cast<uint64_t>(b) & ~m));
    }
    static double total(double h, double c) { return either(finite(h), h + c, h); }

    static double *w(double *p, Index stride) { return counts ? p + 2 * stride : nullptr; }
    static const double *w(const double *p, Index stride) {
        return counts ? p + 2 * stride : nullptr;
    }
};
