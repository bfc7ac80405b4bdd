#include "cyclic.hpp"

#include <cmath>

namespace aerlox_rs {

std::pair<double, double> cyclic_coeffs(double tilt_lon, double tilt_lat, const ControlGains& g) {
  const double c = std::cos(g.phase_rad);
  const double s = std::sin(g.phase_rad);
  const double theta_1c = g.gain * (-tilt_lon * c - tilt_lat * s);
  const double theta_1s = g.gain * (tilt_lat * c - tilt_lon * s);
  return {theta_1c, theta_1s};
}

}  // namespace aerlox_rs
