// The velocity kernels instantiated for one instruction set (baseline); the
// build adds this unit's instruction-set flags in kernels.cmake.

#include "kernel_impl.hpp"

namespace aerlox_rs::vpm::kern {
extern const Table table_baseline = {"baseline", &accumulate_impl, &eval_targets_impl, &eval_tree_impl,
                                     &quotients_impl, kTreeGroup, &eval_grad_impl};
}  // namespace aerlox_rs::vpm::kern
