// The fast summation's kernels for any processor (on x86-64, the baseline
// instruction set).
// Sixteen registers: two blocks per near source and far cell for the
// velocity to the quadrupole, one for the gradient or the octupole.
#define AERLOX_FAST_K ((Grad || P >= 3) ? 1 : 2)
#define AERLOX_FAST_KF AERLOX_FAST_K
#include "fast_eval_impl.hpp"

namespace aerlox_rs::vpm::fast {
extern const Table table_baseline = {"baseline", &eval_group_impl};
}  // namespace aerlox_rs::vpm::fast
