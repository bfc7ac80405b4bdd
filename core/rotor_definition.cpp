#include "rotor_definition.hpp"

#include <algorithm>

namespace aerlox_rs {

double lerp_clamped(double r, std::span<const double> xs, std::span<const double> ys) {
  const std::size_t n = xs.size();
  AERLOX_ASSERT(n >= 2 && ys.size() == n);
  if (xs[0] >= r) return ys[0];
  if (r >= xs[n - 1]) return ys[n - 1];
  // Number of stations at or below r: the first station above r.
  // (a plain binary search: well defined even for a table out of order).
  std::size_t lo = 0, hi = n;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (xs[mid] <= r) lo = mid + 1;
    else hi = mid;
  }
  std::size_t i = std::min(std::max<std::size_t>(lo, 1), n - 1);
  return ys[i - 1] + (r - xs[i - 1]) / (xs[i] - xs[i - 1]) * (ys[i] - ys[i - 1]);
}

ControlGains control_gains(const std::optional<ControlProperties>& control) {
  if (!control) return {1.0, 0.0};
  return {control->swashplate_pitch_gain_rad,
          control->swashplate_phase_deg ? *control->swashplate_phase_deg * DEG_TO_RAD : 0.0};
}

}  // namespace aerlox_rs
