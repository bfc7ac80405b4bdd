#pragma once
// Servo-flap feathering: the swashplate deflects a trailing-edge flap whose
// pitching moment turns the blade about its feathering axis. The blade's
// response to the commanded collective and first-harmonic cyclic is solved as
// a steady part plus a once-per-revolution harmonic of a damped
// spring-inertia system (the spring being the offset aerodynamic centre).
#include "rotor_definition.hpp"

namespace aerlox_rs {

/// Blade feathering angles, rad.
struct FeatheringState {
  double delta_theta_0 = 0.0;   ///< collective
  double delta_theta_1c = 0.0;  ///< cosine cyclic
  double delta_theta_1s = 0.0;  ///< sine cyclic
};

/// Feathering response to the commanded collective theta_0 and cyclic
/// (theta_1c, theta_1s), rad, at density rho (kg/m^3), spin rate omega
/// (rad/s) and advance ratio mu; R blade radius (m), chord the blade's
/// reference chord (m), cl_alpha the lift slope (1/rad). All zero for
/// omega < 1e-6.
FeatheringState solve_feathering(const ServoFlapActuation& actuation, double theta_0,
                                 double theta_1c, double theta_1s, double rho, double omega,
                                 double mu, double R, double chord, double cl_alpha);

}  // namespace aerlox_rs
