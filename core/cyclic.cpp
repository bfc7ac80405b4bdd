#include "cyclic.hpp"

#include <cmath>

namespace aerlox_rs {

std::pair<double, double> cyclic_coeffs(double tilt_lon, double tilt_lat, const ControlGains& g) {
  // The usual zero phase skips the trigonometry (cos 0 = 1 and sin +0 = +0 exactly).
  const bool plain = g.phase_rad == 0.0 && !std::signbit(g.phase_rad);
  const double c = plain ? 1.0 : std::cos(g.phase_rad);
  const double s = plain ? 0.0 : std::sin(g.phase_rad);
  const double theta_1c = g.gain * (-tilt_lon * c - tilt_lat * s);
  const double theta_1s = g.gain * (tilt_lat * c - tilt_lon * s);
  return {theta_1c, theta_1s};
}

}  // namespace aerlox_rs
