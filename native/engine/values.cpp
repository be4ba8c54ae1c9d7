// Keys, codes and the way back (see values.hpp).
#include "values.hpp"

#include "isa.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

namespace morvane::engine::values {
namespace {

template <class T> T load(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class T> void store(char *p, T v) { std::memcpy(p, &v, sizeof v); }

// Calls row(p, step, n) for every run of n elements along the last axis,
// where p[k] is the first element's address in array k and step[k] the
// last axis' stride. Every array has the first one's shape.
template <int K, class F> void each_row(const Strided *const (&a)[K], F &&row) {
    const Strided &s = *a[0];
    char *p[K];
    Index step[K];
    if (s.ndim == 0) {
        for (int k = 0; k < K; ++k) p[k] = a[k]->data, step[k] = 0;
        row(p, step, Index{1});
        return;
    }
    const int last = s.ndim - 1;
    const Index n = s.shape[last];
    if (n == 0) return;
    for (int k = 0; k < K; ++k) step[k] = a[k]->strides[last];
    Index index[kMaxDims] = {};
    for (;;) {
        for (int k = 0; k < K; ++k) {
            p[k] = a[k]->data;
            for (int d = 0; d < last; ++d) p[k] += index[d] * a[k]->strides[d];
        }
        row(p, step, n);
        int d = last - 1;
        for (; d >= 0; --d) {
            if (++index[d] < s.shape[d]) break;
            index[d] = 0;
        }
        if (d < 0) return;
    }
}

template <class U> constexpr U kSign = static_cast<U>(U{1} << (sizeof(U) * 8 - 1));

template <class U> struct FloatBits;
template <> struct FloatBits<uint16_t> {
    static constexpr uint16_t exponent = 0x7C00, nan = 0x7E00;
};
template <> struct FloatBits<uint32_t> {
    static constexpr uint32_t exponent = 0x7F800000u, nan = 0x7FC00000u;
};
template <> struct FloatBits<uint64_t> {
    static constexpr uint64_t exponent = 0x7FF0000000000000ull, nan = 0x7FF8000000000000ull;
};

// Branch free, in signed arithmetic (which SSE2 compares), so that the
// loops over rows vectorise.
template <class U> U key_of(Kind kind, U u) {
    if (kind == Kind::Signed) return static_cast<U>(u ^ kSign<U>);
    if constexpr (sizeof(U) >= 2) {
        if (kind == Kind::Float) {
            using S = std::make_signed_t<U>;
            constexpr int top = static_cast<int>(sizeof(U) * 8 - 1);
            // Every NaN has the one key above +inf's.
            if (static_cast<S>(u & ~kSign<U>) > static_cast<S>(FloatBits<U>::exponent))
                u = FloatBits<U>::nan;
            // Negative: every bit flipped; positive: the sign bit set.
            return static_cast<U>(u ^ (static_cast<U>(static_cast<S>(u) >> top) | kSign<U>));
        }
    }
    return u;
}

template <class U> U value_of(Kind kind, U k) {
    if (kind == Kind::Signed) return static_cast<U>(k ^ kSign<U>);
    // Key 0 (all ones, a NaN's bits) is no value's key: it stands for 0.
    if constexpr (sizeof(U) >= 2) {
        if (kind == Kind::Float) {
            using S = std::make_signed_t<U>;
            constexpr int top = static_cast<int>(sizeof(U) * 8 - 1);
            const U v = static_cast<U>(
                k ^ (static_cast<U>(~static_cast<U>(static_cast<S>(k) >> top)) | kSign<U>));
            return k == 0 ? U{0} : v;
        }
    }
    return k;
}

// A contiguous run converted: the loop the compiler vectorises, inlined
// into a function for the baseline instruction set and, on x86-64, into
// one for AVX2 (src and dst may be one array).
template <class U, class F> MV_INLINE void convert_loop(const char *s, char *d, Index n, F f) {
    constexpr Index item = sizeof(U);
    for (Index i = 0; i < n; ++i) store<U>(d + i * item, f(load<U>(s + i * item)));
}
template <class U, class F> void convert_span(const char *s, char *d, Index n, F f) {
    convert_loop<U>(s, d, n, f);
}
#if MV_X86
MV_AVX2_BEGIN
template <class U, class F> void convert_span_avx2(const char *s, char *d, Index n, F f) {
    convert_loop<U>(s, d, n, f);
}
MV_AVX2_END
#endif

// The conversions, with the kind fixed at compile time and a loop of their
// own for contiguous rows: an image is converted on every call of a rank
// filter of floats or signed values.
template <class U, Kind K, class F> void convert_rows(const Strided &src, const Strided &dst, F f) {
    const Strided *a[2] = {&src, &dst};
#if MV_X86
    const bool avx2 = avx2_code();
#endif
    each_row(a, [&](char *const *p, const Index *step, Index n) {
        const char *s = p[0];
        char *d = p[1];
        if (step[0] == sizeof(U) && step[1] == sizeof(U)) {
#if MV_X86
            if (avx2) return convert_span_avx2<U>(s, d, n, f);
#endif
            return convert_span<U>(s, d, n, f);
        }
        for (Index i = 0; i < n; ++i, s += step[0], d += step[1]) store<U>(d, f(load<U>(s)));
    });
}

template <class U, Kind K> void to_keys_of(const Strided &src, const Strided &dst) {
    convert_rows<U, K>(src, dst, [](U u) { return key_of<U>(K, u); });
}

template <class U> void to_keys_as(Kind kind, const Strided &src, const Strided &dst) {
    if (kind == Kind::Signed) return to_keys_of<U, Kind::Signed>(src, dst);
    if (kind == Kind::Float) return to_keys_of<U, Kind::Float>(src, dst);
    to_keys_of<U, Kind::Unsigned>(src, dst);
}

template <class U>
void from_keys_as(Kind kind, const Strided &src, const Strided &dst, const Strided *counted) {
    if (counted == nullptr) {
        if (kind == Kind::Signed)
            return convert_rows<U, Kind::Signed>(src, dst,
                                                 [](U k) { return value_of<U>(Kind::Signed, k); });
        if (kind == Kind::Float)
            return convert_rows<U, Kind::Float>(src, dst,
                                                [](U k) { return value_of<U>(Kind::Float, k); });
        return convert_rows<U, Kind::Unsigned>(src, dst, [](U k) { return k; });
    }
    const Strided *a[3] = {&src, &dst, counted};
    each_row(a, [kind](char *const *p, const Index *step, Index n) {
        const char *s = p[0], *c = p[2];
        char *d = p[1];
        for (Index i = 0; i < n; ++i, s += step[0], d += step[1], c += step[2])
            store<U>(d, *c ? value_of<U>(kind, load<U>(s)) : U{0});
    });
}

// Sorted distinct keys, searched through tables of where each bucket of
// the keys' range begins: a lookup is a short search in one bucket. The
// range is cut into 4096 equal parts, and each part into as many buckets
// as about a quarter of the keys it holds (a power of two), so buckets hold
// a few keys however unevenly the keys spread (the keys of floats crowd
// towards the largest values), and the tables take about a byte a key.
// Lookups go in batches, in passes that first fetch every bucket's bounds,
// then every bucket's keys, so that the cache misses of a batch overlap
// (the keys rarely fit the cache).
template <class U> class Lookup {
public:
    static constexpr int kBatch = 64;
    static constexpr int kPartBits = 12;

    Lookup(const U *keys, Index n) : keys_(keys), n_(n) {
        lo_ = keys[0];
        const U span = static_cast<U>(keys[n - 1] - lo_);
        const int width = static_cast<int>(std::bit_width(span));
        part_shift_ = std::max(width - kPartBits, 0);
        const Index parts = static_cast<Index>(span >> part_shift_) + 1;
        parts_.resize(static_cast<size_t>(parts));
        Index i = 0;
        for (Index p = 0; p < parts; ++p) {
            const Index first = i;
            while (i < n && static_cast<Index>(offset(keys[i]) >> part_shift_) == p) ++i;
            // About a quarter as many buckets as keys, none finer than a key.
            const int bits = std::min(
                std::max(static_cast<int>(std::bit_width(static_cast<uint64_t>(i - first))) - 2, 0),
                part_shift_);
            Part &part = parts_[static_cast<size_t>(p)];
            part.base = static_cast<uint32_t>(starts_.size());
            part.shift = part_shift_ - bits;
            Index k = first;
            for (Index b = 0; b < (Index{1} << bits); ++b) {
                while (k < i && bucket_in_part(part, keys[k]) < b) ++k;
                starts_.push_back(static_cast<uint32_t>(k));
            }
        }
        starts_.push_back(static_cast<uint32_t>(n));
    }

    // found[i] = the index of k[i] among the keys, for count <= kBatch
    // keys; false when one is not among them.
    bool find(const U *k, Index *found, int count) const {
        const U hi = keys_[n_ - 1];
        size_t bucket[kBatch];
        for (int i = 0; i < count; ++i) {
            const U key = std::clamp(k[i], lo_, hi);
            const Part &part = parts_[static_cast<size_t>(offset(key) >> part_shift_)];
            bucket[i] = part.base + static_cast<size_t>(bucket_in_part(part, key));
            MV_PREFETCH(&starts_[bucket[i]]);
        }
        for (int i = 0; i < count; ++i) MV_PREFETCH(keys_ + starts_[bucket[i]]);
        bool ok = true;
        for (int i = 0; i < count; ++i) {
            const U *first = keys_ + starts_[bucket[i]], *last = keys_ + starts_[bucket[i] + 1];
            const U *at = first;
            if (last - first <= 8) {
                while (at < last && *at < k[i]) ++at;
            } else {
                at = std::lower_bound(first, last, k[i]);
            }
            ok = ok && at != last && *at == k[i];
            found[i] = at - keys_;
        }
        return ok;
    }

private:
    struct Part {
        uint32_t base; // its first bucket in starts_
        int shift;     // of a key's offset, to its bucket in the part
    };

    U offset(U key) const { return static_cast<U>(key - lo_); }
    Index bucket_in_part(const Part &part, U key) const {
        const U within = static_cast<U>(offset(key) & ((U{1} << part_shift_) - 1));
        return static_cast<Index>(within >> part.shift);
    }

    const U *keys_;
    Index n_;
    U lo_;
    int part_shift_ = 0;
    std::vector<Part> parts_;
    std::vector<uint32_t> starts_; // codes are 32-bit: fewer than 2^32 keys
};

template <class U, class C>
bool codes_as(Kind kind, const Strided &values, const Lookup<U> &lookup, const Strided &dst) {
    bool ok = true;
    const Strided *a[2] = {&values, &dst};
    each_row(a, [&](char *const *p, const Index *step, Index n) {
        constexpr int batch = Lookup<U>::kBatch;
        U keys[batch];
        Index found[batch];
        for (Index i = 0; i < n && ok; i += batch) {
            const int count = static_cast<int>(std::min<Index>(batch, n - i));
            for (int j = 0; j < count; ++j)
                keys[j] = key_of<U>(kind, load<U>(p[0] + (i + j) * step[0]));
            ok = lookup.find(keys, found, count);
            for (int j = 0; j < count; ++j)
                store<C>(p[1] + (i + j) * step[1], static_cast<C>(found[j] + 1));
        }
    });
    return ok;
}

template <class U>
bool codes_in(Kind kind, const Strided &values, const void *distinct, Index n, const Strided &dst) {
    if (n <= 0) return values.size() == 0;
    const Lookup<U> lookup(static_cast<const U *>(distinct), n);
    switch (dst.item) {
    case 1: return n < 0x100 && codes_as<U, uint8_t>(kind, values, lookup, dst);
    case 2: return n < 0x10000 && codes_as<U, uint16_t>(kind, values, lookup, dst);
    case 4: return n < 0xffffffff && codes_as<U, uint32_t>(kind, values, lookup, dst);
    default: return false;
    }
}

template <class T, class C>
bool take_as(const T *table, Index n, const Strided &codes, const Strided &dst,
             const Strided *counted) {
    if (codes.data == dst.data) {
        // One buffer: codes of C bytes at the front of items of T bytes,
        // sizeof(C) <= sizeof(T). Item i overwrites codes i * sizeof(T) /
        // sizeof(C) onwards, never below i: from the last item down, every
        // code is read before it is overwritten.
        const Index total = dst.size();
        const char *c = counted ? counted->data : nullptr;
        for (Index i = total - 1; i >= 0; --i) {
            const C code = load<C>(codes.data + i * Index{sizeof(C)});
            if (code >= n) return false;
            store<T>(dst.data + i * Index{sizeof(T)}, c && !c[i] ? T{0} : table[code]);
        }
        return true;
    }
    bool ok = true;
    auto one = [&](const char *s, char *d, bool keep) {
        const C code = load<C>(s);
        if (code >= n) ok = false;
        store<T>(d, keep && code < n ? table[code] : T{0});
    };
    if (counted == nullptr) {
        const Strided *a[2] = {&codes, &dst};
        each_row(a, [&](char *const *p, const Index *step, Index m) {
            for (Index i = 0; i < m; ++i) one(p[0] + i * step[0], p[1] + i * step[1], true);
        });
    } else {
        const Strided *a[3] = {&codes, &dst, counted};
        each_row(a, [&](char *const *p, const Index *step, Index m) {
            for (Index i = 0; i < m; ++i)
                one(p[0] + i * step[0], p[1] + i * step[1], p[2][i * step[2]] != 0);
        });
    }
    return ok;
}

template <class T>
bool take_in(const void *table, Index n, const Strided &codes, const Strided &dst,
             const Strided *counted) {
    const auto *t = static_cast<const T *>(table);
    switch (codes.item) {
    case 1: return take_as<T, uint8_t>(t, n, codes, dst, counted);
    case 2: return take_as<T, uint16_t>(t, n, codes, dst, counted);
    case 4: return take_as<T, uint32_t>(t, n, codes, dst, counted);
    default: return false;
    }
}

} // namespace

bool Strided::contiguous() const {
    Index expect = item;
    for (int d = ndim - 1; d >= 0; --d) {
        if (shape[d] != 1 && strides[d] != expect) return false;
        expect *= shape[d];
    }
    return true;
}

bool same_shape(const Strided &a, const Strided &b) {
    if (a.ndim != b.ndim) return false;
    for (int d = 0; d < a.ndim; ++d)
        if (a.shape[d] != b.shape[d]) return false;
    return true;
}

namespace {

// The largest element of a contiguous run, as unsigned: the loop the
// compiler vectorises, for the baseline and (x86-64) AVX2.
template <class U> MV_INLINE U largest_loop(const char *s, Index n) {
    U m = 0;
    for (Index i = 0; i < n; ++i) m = std::max(m, load<U>(s + i * Index{sizeof(U)}));
    return m;
}
template <class U> U largest_span(const char *s, Index n) { return largest_loop<U>(s, n); }
#if MV_X86
MV_AVX2_BEGIN
template <class U> U largest_span_avx2(const char *s, Index n) { return largest_loop<U>(s, n); }
MV_AVX2_END
#endif

template <class U> bool bits_in_order_as(const Strided &values) {
    const Strided *a[1] = {&values};
#if MV_X86
    const bool avx2 = avx2_code();
#endif
    U most = 0;
    each_row(a, [&](char *const *p, const Index *step, Index n) {
        if (most > FloatBits<U>::exponent) return; // decided
        if (step[0] == sizeof(U)) {
#if MV_X86
            if (avx2) {
                most = std::max(most, largest_span_avx2<U>(p[0], n));
                return;
            }
#endif
            most = std::max(most, largest_span<U>(p[0], n));
            return;
        }
        for (Index i = 0; i < n; ++i) most = std::max(most, load<U>(p[0] + i * step[0]));
    });
    return most <= FloatBits<U>::exponent;
}

} // namespace

bool bits_in_order(const Strided &floats) {
    switch (floats.item) {
    case 2: return bits_in_order_as<uint16_t>(floats);
    case 4: return bits_in_order_as<uint32_t>(floats);
    default: return false;
    }
}

void to_keys(Kind kind, const Strided &src, const Strided &dst) {
    switch (src.item) {
    case 1: to_keys_as<uint8_t>(kind, src, dst); break;
    case 2: to_keys_as<uint16_t>(kind, src, dst); break;
    case 4: to_keys_as<uint32_t>(kind, src, dst); break;
    case 8: to_keys_as<uint64_t>(kind, src, dst); break;
    default: break;
    }
}

void from_keys(Kind kind, const Strided &src, const Strided &dst, const Strided *counted) {
    switch (src.item) {
    case 1: from_keys_as<uint8_t>(kind, src, dst, counted); break;
    case 2: from_keys_as<uint16_t>(kind, src, dst, counted); break;
    case 4: from_keys_as<uint32_t>(kind, src, dst, counted); break;
    case 8: from_keys_as<uint64_t>(kind, src, dst, counted); break;
    default: break;
    }
}

Index dedupe(void *keys, int item, Index n, bool shift) {
    auto run = [n, shift](auto *k) -> Index {
        const Index d = n <= 0 ? 0 : static_cast<Index>(std::unique(k, k + n) - k);
        if (shift) std::memmove(k + 1, k, static_cast<size_t>(d) * sizeof *k);
        return d;
    };
    switch (item) {
    case 1: return run(static_cast<uint8_t *>(keys));
    case 2: return run(static_cast<uint16_t *>(keys));
    case 4: return run(static_cast<uint32_t *>(keys));
    case 8: return run(static_cast<uint64_t *>(keys));
    default: return 0;
    }
}

bool codes(Kind kind, const Strided &values, const void *distinct, Index n, const Strided &dst) {
    switch (values.item) {
    case 1: return codes_in<uint8_t>(kind, values, distinct, n, dst);
    case 2: return codes_in<uint16_t>(kind, values, distinct, n, dst);
    case 4: return codes_in<uint32_t>(kind, values, distinct, n, dst);
    case 8: return codes_in<uint64_t>(kind, values, distinct, n, dst);
    default: return false;
    }
}

bool take(const void *table, Index n, const Strided &codes, const Strided &dst,
          const Strided *counted) {
    if (codes.data == dst.data &&
        (!codes.contiguous() || !dst.contiguous() || codes.item > dst.item ||
         (counted != nullptr && !counted->contiguous())))
        return false;
    switch (dst.item) {
    case 1: return take_in<uint8_t>(table, n, codes, dst, counted);
    case 2: return take_in<uint16_t>(table, n, codes, dst, counted);
    case 4: return take_in<uint32_t>(table, n, codes, dst, counted);
    case 8: return take_in<uint64_t>(table, n, codes, dst, counted);
    default: return false;
    }
}

namespace {

// The first n keys in ascending order, in place: passes of 11 bits from
// the lowest, each a counting sort into `scratch` (n more keys) and back,
// skipping those whose digit every key shares.
template <class U> void radix_sort(U *keys, Index n, U *scratch) {
    constexpr int kBits = 11, kDigits = (8 * int{sizeof(U)} + kBits - 1) / kBits;
    constexpr Index kBuckets = Index{1} << kBits;
    std::vector<Index> counts(static_cast<size_t>(kDigits * kBuckets), 0);
    for (Index i = 0; i < n; ++i)
        for (int d = 0; d < kDigits; ++d)
            ++counts[static_cast<size_t>(d * kBuckets +
                                         ((keys[i] >> (kBits * d)) & (kBuckets - 1)))];
    U *src = keys, *dst = scratch;
    for (int d = 0; d < kDigits; ++d) {
        Index *c = counts.data() + d * kBuckets;
        const int shift = kBits * d;
        if (c[(src[0] >> shift) & (kBuckets - 1)] == n) continue;
        Index total = 0;
        for (Index b = 0; b < kBuckets; ++b) {
            const Index m = c[b];
            c[b] = total;
            total += m;
        }
        for (Index i = 0; i < n; ++i) {
            const U k = src[i];
            dst[c[(k >> shift) & (kBuckets - 1)]++] = k;
        }
        std::swap(src, dst);
    }
    if (src != keys) std::memcpy(keys, src, static_cast<size_t>(n) * sizeof *keys);
}

} // namespace

void sort_keys(void *keys, int item, Index n) {
    if (n <= 0) return;
    auto run = [n](auto *k) {
        using U = std::remove_pointer_t<decltype(k)>;
        std::vector<U> scratch(static_cast<size_t>(n));
        radix_sort(k, n, scratch.data());
    };
    switch (item) {
    case 1: run(static_cast<uint8_t *>(keys)); break;
    case 2: run(static_cast<uint16_t *>(keys)); break;
    case 4: run(static_cast<uint32_t *>(keys)); break;
    case 8: run(static_cast<uint64_t *>(keys)); break;
    default: break;
    }
}

} // namespace morvane::engine::values
