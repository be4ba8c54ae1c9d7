// The row loops twice over: `portable::` for every CPU and, on x86-64,
// `avx2::` compiled for AVX2 (run where active_isa() says so). No include
// guard: each method includes it once, inside its own unnamed namespace,
// for copies of its own.
namespace portable {
#include "runs_loops.hpp"
} // namespace portable

#if MV_X86
MV_AVX2_BEGIN
namespace avx2 {
#define MV_VECTORS 1
#include "runs_loops.hpp"
#undef MV_VECTORS
} // namespace avx2
MV_AVX2_END
#endif
