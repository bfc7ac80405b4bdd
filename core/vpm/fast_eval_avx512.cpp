// The fast summation's kernels on AVX-512 machines (flags from
// kernels.cmake): the same eight-lane code as the AVX2 unit, so the same
// bits, with twice the registers and broadcasts folded into the arithmetic.
// Only x86-64 builds have this unit.
#if defined(__x86_64__)
#define AERLOX_FAST_AVX2 1
// Thirty-two registers: two blocks per near source for the velocity, one
// per far cell for the gradient or the octupole (measured).
#define AERLOX_FAST_K (Grad ? 1 : 2)
#define AERLOX_FAST_KF ((Grad || P >= 3) ? 1 : 2)
#include "fast_eval_impl.hpp"

namespace aerlox_rs::vpm::fast {
extern const Table table_avx512 = {"avx512", &eval_group_impl};
}  // namespace aerlox_rs::vpm::fast
#endif
