#include "bem_common.hpp"

#include <algorithm>

namespace aerlox_rs {

Kinematics kinematics(const RotorInputs& inputs, double omega, double r_tip) {
  Kinematics k;
  const Mat3& R = inputs.R_hub;
  k.hub_axis = R * Vec3{{0.0, 0.0, 1.0}};
  const Vec3 v_rel = inputs.wind_world - inputs.v_hub_world;
  k.v_climb = k.hub_axis.dot(v_rel);
  k.v_inplane = v_rel - k.hub_axis * k.v_climb;
  k.v_edge = k.v_inplane.norm();
  k.omega_r = omega * r_tip;
  k.mu = k.v_edge / std::max(k.omega_r, 1e-6);
  k.v_inplane_hub = R.transpose() * k.v_inplane;
  return k;
}

AeroResult assemble_result(double t_total, double q_total, double mx_hub, double my_hub,
                           double fx_hub, double fy_hub, const Vec3& hub_axis, const Mat3& r_hub) {
  AeroResult r;
  r.F_world = r_hub * Vec3{{fx_hub, fy_hub, -t_total}};
  r.M_hub_world = r_hub * Vec3{{mx_hub, my_hub, 0.0}};
  r.Q_spin = q_total;
  r.M_spin = hub_axis * q_total;
  return r;
}

}  // namespace aerlox_rs
