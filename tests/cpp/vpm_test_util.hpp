#pragma once
// Shared helpers for the particle-wake tests: wake-like random fields and
// exact (bitwise) comparison of velocity arrays.
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "vpm/common.hpp"
#include "vpm/pool.hpp"

namespace vpm_test {

/// Restores the CPU's own instruction set and the default worker pool when a test ends.
struct IsaPoolGuard {
  ~IsaPoolGuard() {
    aerlox_rs::vpm::set_isa_for_testing(std::nullopt);
    aerlox_rs::vpm::pool::set_worker_count_for_testing(0);
  }
};

using aerlox_rs::vpm::ParticleField;
using aerlox_rs::vpm::Vel;

/// Particles shed along nb helical tip-vortex paths of a rotor of radius 1
/// (pitch 0.3 per turn, a few turns), with jitter, strengths along the path
/// and core radii around 0.05: a field with the clustering of a real wake.
inline ParticleField helical_wake(std::size_t n, unsigned seed = 1, int nb = 3) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  ParticleField f;
  for (std::size_t i = 0; i < n; ++i) {
    const int b = static_cast<int>(i % nb);
    const float s = static_cast<float>(i / nb) * 0.02f;
    const float psi = s + 2.0943951f * b;
    const float r = 1.0f - 0.15f * std::fabs(u(rng));
    const float x = r * std::cos(psi) + 0.01f * u(rng);
    const float y = r * std::sin(psi) + 0.01f * u(rng);
    const float z = -0.3f * s / 6.2831853f + 0.01f * u(rng);
    const float g = 0.02f * (1.0f + 0.2f * u(rng));
    f.push({x, y, z}, {-std::sin(psi) * g, std::cos(psi) * g, 0.1f * g * u(rng)}, 0.05f + 0.01f * u(rng));
  }
  return f;
}

/// n particles uniformly in a cube of edge 2 with random strengths.
inline ParticleField random_cloud(std::size_t n, unsigned seed = 2) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  ParticleField f;
  for (std::size_t i = 0; i < n; ++i)
    f.push({u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)}, 0.1f + 0.05f * u(rng));
  return f;
}

/// The kernel in double precision, straight from its formula: the velocity
/// the field induces at (x, y, z).
inline std::array<double, 3> velocity_double(const ParticleField& f, double x, double y, double z) {
  std::array<double, 3> u{0, 0, 0};
  for (std::size_t p = 0; p < f.len(); ++p) {
    const double d[3] = {x - f.px[p], y - f.py[p], z - f.pz[p]};
    const double a[3] = {f.ax[p], f.ay[p], f.az[p]};
    const double s = f.sigma[p];
    const double rho2 = (d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) / (s * s);
    const double g = (rho2 + 2.5) / (s * s * s * std::pow(rho2 + 1.0, 2.5));
    u[0] += (a[1] * d[2] - a[2] * d[1]) * g;
    u[1] += (a[2] * d[0] - a[0] * d[2]) * g;
    u[2] += (a[0] * d[1] - a[1] * d[0]) * g;
  }
  for (double& c : u) c /= 4.0 * M_PI;
  return u;
}

/// Index of the first velocity that differs in any bit, or -1.
inline long first_bit_difference(const std::vector<Vel>& a, const std::vector<Vel>& b) {
  if (a.size() != b.size()) return 0;
  for (std::size_t j = 0; j < a.size(); ++j)
    for (int k = 0; k < 3; ++k)
      if (std::bit_cast<std::uint32_t>(a[j][k]) != std::bit_cast<std::uint32_t>(b[j][k]))
        return static_cast<long>(j);
  return -1;
}

}  // namespace vpm_test
