#pragma once
// The last step of the velocity-gradient sum, shared by the vector units and
// the scalar reference. Internal linkage on purpose: each kernel unit keeps its
// own copy (see kernel_api.hpp for why nothing inline may be shared).
#include "kernel_api.hpp"

namespace aerlox_rs::vpm::kern {

/// du_i/dx_m = (f alpha x e_m)_i - (h c_i d_m), from the reduced sums
/// fa = sum f alpha and hcd[3 i + m] = sum h c_i d_m (both already scaled by
/// 1/(4 pi)). alpha x e_x = (0, az, -ay), alpha x e_y = (-az, 0, ax),
/// alpha x e_z = (ay, -ax, 0).
[[maybe_unused]] static Grad grad_combine(const float* fa, const float* hcd) {
  return Grad{-hcd[0],         -fa[2] - hcd[1], fa[1] - hcd[2],
              fa[2] - hcd[3],  -hcd[4],         -fa[0] - hcd[5],
              -fa[1] - hcd[6], fa[0] - hcd[7],  -hcd[8]};
}

}  // namespace aerlox_rs::vpm::kern
