// The fast summation's kernels for any processor (on x86-64, the baseline
// instruction set).
#include "fast_eval_impl.hpp"

namespace aerlox_rs::vpm::fast {
extern const Table table_baseline = {"baseline", &eval_group_impl};
}  // namespace aerlox_rs::vpm::fast
