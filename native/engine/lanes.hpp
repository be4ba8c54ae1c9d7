// Lanes: a vector register of unsigned 8-, 16- or 32-bit values for each
// instruction set of the engine, with what the selection networks need.
//
//   struct V { using T = ...;            // uint8_t, uint16_t or uint32_t
//              using R = ...;            // a register of `lanes` values
//              static constexpr int lanes, bytes;
//              static R load(const char *); static void store(char *, R);
//              static R min(R, R); static R max(R, R);
//              static void pin(R &); };  // keeps a loaded value in a register
//
// lanes::avx2 is compiled for AVX2 and must run only where active_isa()
// says so; code that uses it lies between MV_AVX2_BEGIN and MV_AVX2_END
// (lanes::avx512: AVX-512, MV_AVX512_BEGIN and MV_AVX512_END).
#pragma once

#include "isa.hpp"

#include <cstdint>
#include <cstring>

#if MV_X86
#include <immintrin.h>
#endif
#if MV_NEON
#include <arm_neon.h>
#endif

namespace morvane::engine::lanes {

// Plain arrays the compiler vectorises for whatever it targets.
template <class Tp, int N> struct Plain {
    using T = Tp;
    struct R {
        Tp v[N];
    };
    static constexpr int lanes = N, bytes = N * static_cast<int>(sizeof(Tp));
    static R load(const char *p) {
        R r;
        std::memcpy(r.v, p, bytes);
        return r;
    }
    static void store(char *p, R v) { std::memcpy(p, v.v, bytes); }
    // Keeps a loaded value in a register (see the kernels); nothing here.
    static void pin(R &) {}
    static R min(R a, R b) {
        for (int i = 0; i < N; ++i) a.v[i] = b.v[i] < a.v[i] ? b.v[i] : a.v[i];
        return a;
    }
    static R max(R a, R b) {
        for (int i = 0; i < N; ++i) a.v[i] = b.v[i] > a.v[i] ? b.v[i] : a.v[i];
        return a;
    }
};

namespace portable {
using U8 = Plain<uint8_t, 16>;
using U16 = Plain<uint16_t, 8>;
using U32 = Plain<uint32_t, 4>;
} // namespace portable

#if MV_X86
namespace sse2 {
struct Io {
    using R = __m128i;
    static constexpr int bytes = 16;
    static R load(const char *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    static void store(char *p, R v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
    static void pin(R &r) { asm("" : "+x"(r)); }
};
struct U8 : Io {
    using T = uint8_t;
    static constexpr int lanes = 16;
    static R min(R a, R b) { return _mm_min_epu8(a, b); }
    static R max(R a, R b) { return _mm_max_epu8(a, b); }
};
// SSE2 has no unsigned 16-bit min/max: a saturating difference gives both.
struct U16 : Io {
    using T = uint16_t;
    static constexpr int lanes = 8;
    static R min(R a, R b) { return _mm_sub_epi16(a, _mm_subs_epu16(a, b)); }
    static R max(R a, R b) { return _mm_add_epi16(b, _mm_subs_epu16(a, b)); }
};
// Nor 32-bit ones: a signed comparison of the values with their top bits
// flipped orders them as unsigned, and picks by mask.
struct U32 : Io {
    using T = uint32_t;
    static constexpr int lanes = 4;
    static R above(R a, R b) {
        const R top = _mm_set1_epi32(static_cast<int>(0x80000000u));
        return _mm_cmpgt_epi32(_mm_xor_si128(a, top), _mm_xor_si128(b, top));
    }
    static R min(R a, R b) {
        const R m = above(a, b);
        return _mm_or_si128(_mm_and_si128(m, b), _mm_andnot_si128(m, a));
    }
    static R max(R a, R b) {
        const R m = above(a, b);
        return _mm_or_si128(_mm_and_si128(m, a), _mm_andnot_si128(m, b));
    }
};
} // namespace sse2

MV_AVX2_BEGIN
namespace avx2 {
struct Io {
    using R = __m256i;
    static constexpr int bytes = 32;
    static R load(const char *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    static void store(char *p, R v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }
    static void pin(R &r) { asm("" : "+x"(r)); }
};
struct U8 : Io {
    using T = uint8_t;
    static constexpr int lanes = 32;
    static R min(R a, R b) { return _mm256_min_epu8(a, b); }
    static R max(R a, R b) { return _mm256_max_epu8(a, b); }
};
struct U16 : Io {
    using T = uint16_t;
    static constexpr int lanes = 16;
    static R min(R a, R b) { return _mm256_min_epu16(a, b); }
    static R max(R a, R b) { return _mm256_max_epu16(a, b); }
};
struct U32 : Io {
    using T = uint32_t;
    static constexpr int lanes = 8;
    static R min(R a, R b) { return _mm256_min_epu32(a, b); }
    static R max(R a, R b) { return _mm256_max_epu32(a, b); }
};
} // namespace avx2
MV_AVX2_END

MV_AVX512_BEGIN
namespace avx512 {
struct Io {
    using R = __m512i;
    static constexpr int bytes = 64;
    static R load(const char *p) { return _mm512_loadu_si512(p); }
    static void store(char *p, R v) { _mm512_storeu_si512(p, v); }
    static void pin(R &r) { asm("" : "+v"(r)); }
};
struct U8 : Io {
    using T = uint8_t;
    static constexpr int lanes = 64;
    static R min(R a, R b) { return _mm512_min_epu8(a, b); }
    static R max(R a, R b) { return _mm512_max_epu8(a, b); }
};
struct U16 : Io {
    using T = uint16_t;
    static constexpr int lanes = 32;
    static R min(R a, R b) { return _mm512_min_epu16(a, b); }
    static R max(R a, R b) { return _mm512_max_epu16(a, b); }
};
struct U32 : Io {
    using T = uint32_t;
    static constexpr int lanes = 16;
    static R min(R a, R b) { return _mm512_min_epu32(a, b); }
    static R max(R a, R b) { return _mm512_max_epu32(a, b); }
};
} // namespace avx512
MV_AVX512_END
#endif

#if MV_NEON
namespace neon {
struct U8 {
    using T = uint8_t;
    using R = uint8x16_t;
    static constexpr int lanes = 16, bytes = 16;
    static R load(const char *p) { return vld1q_u8(reinterpret_cast<const uint8_t *>(p)); }
    static void store(char *p, R v) { vst1q_u8(reinterpret_cast<uint8_t *>(p), v); }
    static void pin(R &r) { asm("" : "+w"(r)); }
    static R min(R a, R b) { return vminq_u8(a, b); }
    static R max(R a, R b) { return vmaxq_u8(a, b); }
};
struct U16 {
    using T = uint16_t;
    using R = uint16x8_t;
    static constexpr int lanes = 8, bytes = 16;
    // Bytes in and out: pixels need not be aligned to their size.
    static R load(const char *p) {
        return vreinterpretq_u16_u8(vld1q_u8(reinterpret_cast<const uint8_t *>(p)));
    }
    static void store(char *p, R v) {
        vst1q_u8(reinterpret_cast<uint8_t *>(p), vreinterpretq_u8_u16(v));
    }
    static void pin(R &r) { asm("" : "+w"(r)); }
    static R min(R a, R b) { return vminq_u16(a, b); }
    static R max(R a, R b) { return vmaxq_u16(a, b); }
};
struct U32 {
    using T = uint32_t;
    using R = uint32x4_t;
    static constexpr int lanes = 4, bytes = 16;
    static R load(const char *p) {
        return vreinterpretq_u32_u8(vld1q_u8(reinterpret_cast<const uint8_t *>(p)));
    }
    static void store(char *p, R v) {
        vst1q_u8(reinterpret_cast<uint8_t *>(p), vreinterpretq_u8_u32(v));
    }
    static void pin(R &r) { asm("" : "+w"(r)); }
    static R min(R a, R b) { return vminq_u32(a, b); }
    static R max(R a, R b) { return vmaxq_u32(a, b); }
};
} // namespace neon
#endif

} // namespace morvane::engine::lanes
