#pragma once
// Shared pieces of the rotor models: hub kinematics of one call and the final
// assembly of hub-frame sums into world-frame loads.
#include "aero_io.hpp"

namespace aerlox_rs {

/// Hub kinematics of one call (SI units).
struct Kinematics {
  double omega_r = 0.0;   ///< tip speed Omega*R
  Vec3 hub_axis;          ///< world components of the hub z axis
  double v_climb = 0.0;   ///< hub_axis . (wind - v_hub), m/s; positive is climb
  Vec3 v_inplane;         ///< world in-plane part of the relative air velocity
  double v_edge = 0.0;    ///< |v_inplane|
  Vec3 v_inplane_hub;     ///< R_hub^T v_inplane (x, y used)
  double mu = 0.0;        ///< advance ratio v_edge / max(omega_r, 1e-6)
};

/// Kinematics for spin rate omega and tip radius r_tip.
Kinematics kinematics(const RotorInputs& inputs, double omega, double r_tip);

/// World-frame loads from hub-frame sums: F_hub = (fx, fy, -T), M_hub = (mx, my, 0).
AeroResult assemble_result(double t_total, double q_total, double mx_hub, double my_hub,
                           double fx_hub, double fy_hub, const Vec3& hub_axis, const Mat3& r_hub);

}  // namespace aerlox_rs
