// The velocity kernels instantiated for one instruction set (avx2); the
// build adds this unit's instruction-set flags in kernels.cmake.
// Only x86-64 builds have this unit; elsewhere the dispatcher never names it.
#if defined(__x86_64__)
#define AERLOX_KERNEL_AVX2 1
#include "kernel_impl.hpp"

namespace aerlox_rs::vpm::kern {
extern const Table table_avx2 = {"avx2", &accumulate_impl, &eval_targets_impl, &eval_tree_impl,
                                     &quotients_impl, kTreeGroup, &eval_grad_impl};
}  // namespace aerlox_rs::vpm::kern
#endif
