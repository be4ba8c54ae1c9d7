// The row loops twice over: `portable::` for every x86-64 CPU and, where the
// compiler can target it, `avx2::` for CPUs that have AVX2 (chosen at run
// time). No include guard: each method includes it once, inside its own
// unnamed namespace, for copies of its own.
namespace portable {
#define MV_TARGET
#include "runs_loops.hpp"
#undef MV_TARGET
} // namespace portable

#ifdef MORVANE_ROWS_AVX2
namespace avx2 {
#define MV_TARGET __attribute__((target("avx2")))
#define MV_VECTORS 1
#include "runs_loops.hpp"
#undef MV_VECTORS
#undef MV_TARGET
} // namespace avx2
#endif
