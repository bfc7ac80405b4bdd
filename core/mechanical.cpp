#include "mechanical.hpp"

#include <cmath>

namespace aerlox_rs::mechanical {

double friction_torque(double omega, double bearing_friction_nm) {
  if (omega > 0.0) return bearing_friction_nm;
  if (omega < 0.0) return -bearing_friction_nm;
  return 0.0;
}

double omega_derivative(double omega, double q_aero, double motor_torque_nm, double i_ode_kgm2,
                        double bearing_friction_nm) {
  return ((motor_torque_nm - q_aero) - friction_torque(omega, bearing_friction_nm)) / i_ode_kgm2;
}

double clamp_zero_crossing(double omega, double omega_new) {
  if ((omega > 0.0 && omega_new < 0.0) || (omega < 0.0 && omega_new > 0.0)) return 0.0;
  return omega_new;
}

double step_omega(double omega, double q_aero, double motor_torque_nm, double i_ode_kgm2,
                  double dt, double bearing_friction_nm) {
  const double f = friction_torque(omega, bearing_friction_nm);
  const auto explicit_step = [&] {
    return omega + ((motor_torque_nm - q_aero - f) / i_ode_kgm2) * dt;
  };
  double omega_new;
  if (std::fabs(omega) < 1e-12) {
    omega_new = explicit_step();
  } else {
    const double tau = omega * i_ode_kgm2 / q_aero;
    if (tau > 0.0 && std::isfinite(tau)) {
      omega_new = (omega + dt * (motor_torque_nm - f) / i_ode_kgm2) / (1.0 + dt / tau);
    } else {
      omega_new = explicit_step();
    }
  }
  return clamp_zero_crossing(omega, omega_new);
}

}  // namespace aerlox_rs::mechanical
