// The fast summation's kernels on AVX2 (flags from kernels.cmake); the same
// bits as the baseline unit, in half the instructions. Only x86-64 builds
// have this unit.
#if defined(__x86_64__)
#define AERLOX_FAST_AVX2 1
// Two blocks per near source for the velocity, and per far cell to the
// quadrupole; one for the gradient or the octupole, whose terms fill the
// sixteen registers (measured).
#define AERLOX_FAST_K (Grad ? 1 : 2)
#define AERLOX_FAST_KF ((Grad || P >= 3) ? 1 : 2)
#include "fast_eval_impl.hpp"

namespace aerlox_rs::vpm::fast {
extern const Table table_avx2 = {"avx2", &eval_group_impl};
}  // namespace aerlox_rs::vpm::fast
#endif
