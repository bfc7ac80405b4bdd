#include "servoflap.hpp"

#include <cmath>

namespace aerlox_rs {

FeatheringState solve_feathering(const ServoFlapActuation& actuation, double theta_0,
                                 double theta_1c, double theta_1s, double rho, double omega,
                                 double mu, double R, double chord, double cl_alpha) {
  FeatheringState out;
  // A stopped (or reversed) rotor has no dynamic pressure to feather with.
  if (omega < 1e-6) return out;
  const double inertia = actuation.I_theta_kgm2;
  const double damper = actuation.damper_Nms_per_rad;
  const double c = chord;
  const double q = 0.5 * rho * (omega * omega);
  const double r3 = R * R * R;

  // Stiffness of the aerodynamic centre sitting off the feathering axis:
  // q r^2 cl_alpha c e integrated from the hub to the tip.
  double k_aero = 0.0;
  if (!(std::fabs(actuation.ac_offset_m) <= 1e-9)) {
    k_aero = r3 * (q * cl_alpha * c * actuation.ac_offset_m) / 3.0;
  }

  // Servo-flap moments, the flap span clipped to the blade.
  const double r_o = std::fmin(actuation.flap.r_outer_m, R);
  const double r_i = actuation.flap.r_inner_m;
  double m0 = 0.0, m1c = 0.0, m1s = 0.0;
  if (r_i < r_o) {
    const double d = q * actuation.flap.C_M_delta_per_rad * c;
    const double a0 = (r_o * r_o * r_o - r_i * r_i * r_i) / 3.0 * d;
    m0 = a0 * theta_0;
    m1c = a0 * theta_1c;
    // Forward flight: the advancing side sees more dynamic pressure, which
    // turns the collective flap moment partly into a sine harmonic.
    m1s = a0 * theta_1s - theta_0 * ((r_o * r_o - r_i * r_i) * 0.5 * (R * (2.0 * d * mu)));
  }
  if (std::fabs(actuation.blade_Cm_AC) > 1e-12) {
    m0 += r3 / 3.0 * (c * (q * actuation.blade_Cm_AC));
  }

  const double omega2 = omega * omega;
  const double u = damper / (2.0 * inertia * omega);
  const double s = (k_aero / (inertia * omega2) + 1.0) - 1.0;
  const double e = 4.0 * (u * u) + s * s;
  if (std::fabs(e) < 1e-30) return out;

  // Without aerodynamic stiffness nothing opposes a steady flap moment, so the
  // commanded collective is taken to hold.
  out.delta_theta_0 = std::fabs(k_aero) > 1e-12 ? m0 / k_aero : theta_0;
  const double m1c_n = m1c / (inertia * omega2);
  const double m1s_n = m1s / (inertia * omega2);
  out.delta_theta_1c = (s * m1c_n - 2.0 * u * m1s_n) / e;
  out.delta_theta_1s = (2.0 * u * m1c_n + s * m1s_n) / e;
  return out;
}

}  // namespace aerlox_rs
