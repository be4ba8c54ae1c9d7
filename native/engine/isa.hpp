// The instruction sets the engine's vector code is compiled for, the one
// CPU probe that picks one of them, and the switch that forces one.
//
// Compilers: GCC 10 or newer and clang 14 or newer, for x86-64 (AVX-512,
// AVX2, SSE2)
// and AArch64 (NEON); any other C++20 compiler or CPU gets the portable
// path. Everything that only some compilers accept is in this header.
//
// MORVANE_ISA (avx512, avx2, sse2, neon or portable), read once, forces a
// path; a
// path this build or CPU cannot run is refused (isa_error()).
#pragma once

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define MV_X86 1
#else
#define MV_X86 0
#endif
#if (defined(__GNUC__) || defined(__clang__)) && defined(__aarch64__) && defined(__ARM_NEON)
#define MV_NEON 1
#else
#define MV_NEON 0
#endif

// GCC's vector extensions (vector_size types), which clang has too.
#if defined(__GNUC__) || defined(__clang__)
#define MV_VECTOR_EXTENSIONS 1
#else
#define MV_VECTOR_EXTENSIONS 0
#endif

// Small steps of vector loops that must inline into them (compilers weigh
// some as too large on their own).
#if defined(__GNUC__) || defined(__clang__)
#define MV_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define MV_INLINE __forceinline
#else
#define MV_INLINE inline
#endif

// A region of code compiled for AVX2 (with BMI1 and BMI2), run only where
// the CPU has them: MV_AVX2_BEGIN ... MV_AVX2_END around whole functions,
// templates included.
// clang-format off
#if MV_X86 && defined(__clang__)
// (_Pragma takes one string literal, so this line is long.)
#define MV_AVX2_BEGIN _Pragma("clang attribute push(__attribute__((target(\"avx2,bmi,bmi2\"))), apply_to = function)")
#define MV_AVX2_END _Pragma("clang attribute pop")
#elif MV_X86
#define MV_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,bmi,bmi2\")")
#define MV_AVX2_END _Pragma("GCC pop_options")
#endif
// Likewise for AVX-512 (F, BW, VL and DQ, with AVX2, BMI1 and BMI2).
#if MV_X86 && defined(__clang__)
#define MV_AVX512_BEGIN _Pragma("clang attribute push(__attribute__((target(\"avx512f,avx512bw,avx512vl,avx512dq,avx2,bmi,bmi2\"))), apply_to = function)")
#define MV_AVX512_END _Pragma("clang attribute pop")
#elif MV_X86
#define MV_AVX512_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f,avx512bw,avx512vl,avx512dq,avx2,bmi,bmi2\")")
#define MV_AVX512_END _Pragma("GCC pop_options")
#endif
// clang-format on

// A hint that memory at p will be read soon.
#if defined(__GNUC__) || defined(__clang__)
#define MV_PREFETCH(p) __builtin_prefetch(p)
#else
#define MV_PREFETCH(p) ((void)(p))
#endif

// The index of the lowest set bit of a non-zero m.
#if defined(__GNUC__) || defined(__clang__)
#define MV_CTZ(m) __builtin_ctz(m)
#define MV_CTZLL(m) __builtin_ctzll(m)
#else
#include <bit>
#define MV_CTZ(m) std::countr_zero(static_cast<unsigned>(m))
#define MV_CTZLL(m) std::countr_zero(static_cast<unsigned long long>(m))
#endif

namespace morvane::engine {

// AVX-512 runs the network method's specialised kernels with 64-byte
// registers and everything else as AVX2 does.
enum class Isa { Portable = 0, Sse2, Avx2, Neon, Avx512, Count };

// "portable", "sse2", "avx2", "neon", "avx512".
const char *isa_name(Isa isa);

// Whether this build has the path and this CPU can run it.
bool isa_runs(Isa isa);

// The path the engine runs: MORVANE_ISA's, else the fastest that runs.
Isa active_isa();

// Whether the active path runs the code compiled for AVX2 (AVX2 itself, or
// AVX-512 outside its own kernels).
inline bool avx2_code() { return active_isa() == Isa::Avx2 || active_isa() == Isa::Avx512; }

// Whether this CPU runs 64-byte vector operations at full width, rather
// than as two 32-byte halves (AMD's Zen 4): kernels that win by doing fewer
// operations on 64-byte vectors at the cost of more memory traffic lose
// where the halves make each operation twice as dear. False off x86-64.
// MORVANE_AVX512_FULL_WIDTH (1 or 0), read once, overrides the probe.
bool full_width_512();

// Why MORVANE_ISA cannot be followed (an unknown name, or a path that does
// not run here), or null.
const char *isa_error();

} // namespace morvane::engine
