#pragma once
// Swashplate tilt to first-harmonic cyclic pitch: a rotation by the
// swashplate phase and a scaling by its gain.
#include <utility>

namespace aerlox_rs {

struct ControlGains {
  double gain = 1.0;       ///< blade pitch per unit tilt
  double phase_rad = 0.0;  ///< swashplate phase, rad
};

/// (theta_1c, theta_1s) in rad for the given tilts (rad).
std::pair<double, double> cyclic_coeffs(double tilt_lon, double tilt_lat, const ControlGains& g);

}  // namespace aerlox_rs
