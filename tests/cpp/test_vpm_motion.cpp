// Advection, aging and merging of the wake.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include "vpm/aging.hpp"
#include "vpm/common.hpp"
#include "vpm/merge.hpp"
#include "vpm_test_util.hpp"

using namespace aerlox_rs;
using namespace aerlox_rs::vpm;

namespace {

// A ring of circulation gamma, radius r and core radius sigma in the plane
// z = 0, made of n particles whose strengths follow the circle (dl * gamma).
ParticleField vortex_ring(std::size_t n, float r, float sigma, float gamma) {
  ParticleField f;
  const double dl = 2.0 * M_PI * r / double(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = 2.0 * M_PI * double(i) / double(n);
    f.push({float(r * std::cos(t)), float(r * std::sin(t)), 0.0f},
           {float(-std::sin(t) * gamma * dl), float(std::cos(t) * gamma * dl), 0.0f}, sigma);
  }
  return f;
}

std::array<double, 3> total_strength(const ParticleField& f) {
  std::array<double, 3> s{0, 0, 0};
  for (std::size_t i = 0; i < f.len(); ++i) {
    s[0] += f.ax[i];
    s[1] += f.ay[i];
    s[2] += f.az[i];
  }
  return s;
}

double mean(const AVec<float>& a) {
  double s = 0;
  for (float v : a) s += v;
  return s / double(a.size());
}

using Particle = std::tuple<float, float, float, float, float, float, float>;
std::vector<Particle> sorted_particles(const ParticleField& f) {
  std::vector<Particle> p;
  for (std::size_t i = 0; i < f.len(); ++i)
    p.emplace_back(f.px[i], f.py[i], f.pz[i], f.ax[i], f.ay[i], f.az[i], f.sigma[i]);
  std::sort(p.begin(), p.end());
  return p;
}

}  // namespace

TEST(VpmAdvect, FreeStreamOnlyAndEmptyField) {
  for (bool tree : {false, true}) {
    ParticleField f;
    f.push({0, 0, 0}, {0, 0, 0}, 0.1f);
    if (tree)
      advect_rk2_bh(f, {1, 0, 0}, 0.1f, 0.5f);
    else
      advect_rk2(f, {1, 0, 0}, 0.1f);
    EXPECT_EQ(f.px[0], 0.1f);
    EXPECT_EQ(f.py[0], 0.0f);
    EXPECT_EQ(f.pz[0], 0.0f);
    EXPECT_EQ(f.sigma[0], 0.1f);
    ParticleField e;
    advect_rk2(e, {1, 0, 0}, 0.1f);
    advect_rk2_bh(e, {1, 0, 0}, 0.1f, 0.5f);
    EXPECT_EQ(e.len(), 0u);
  }
}

TEST(VpmAdvect, VortexRingTranslatesAtItsSelfInducedSpeed) {
  const float radius = 1.0f, sigma = 0.1f, gamma = 1.0f;
  // Thin-ring speed, Saffman/Kelvin: U = G/(4 pi R) (ln(8R/a) - C); a uniform
  // core of radius a has C = 1/4. With a = sigma the algebraic smoothing acts
  // like C of about 0.5; accept 0.3 to 0.7.
  const double base = gamma / (4.0 * M_PI * radius);
  const double u_hi = base * (std::log(8.0 * radius / sigma) - 0.3);
  const double u_lo = base * (std::log(8.0 * radius / sigma) - 0.7);
  for (bool tree : {false, true}) {
    ParticleField f = vortex_ring(400, radius, sigma, gamma);
    const auto s0 = total_strength(f);
    const float dt = 0.02f;
    const int steps = 50;
    for (int k = 0; k < steps; ++k) {
      if (tree)
        advect_rk2_bh(f, {0, 0, 0}, dt, 0.3f);
      else
        advect_rk2(f, {0, 0, 0}, dt);
    }
    const double speed = mean(f.pz) / (dt * steps);
    EXPECT_GT(speed, u_lo) << "tree=" << tree;
    EXPECT_LT(speed, u_hi) << "tree=" << tree;
    // It moves along its axis, keeps its radius and its total strength.
    EXPECT_NEAR(mean(f.px), 0.0, 1e-4);
    EXPECT_NEAR(mean(f.py), 0.0, 1e-4);
    for (std::size_t i = 0; i < f.len(); i += 37)
      EXPECT_NEAR(std::hypot(f.px[i], f.py[i]), radius, 2e-3);
    const auto s1 = total_strength(f);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(s1[k], s0[k]);
  }
}

TEST(VpmAging, CoreSpreadAndStrengthDecay) {
  ParticleField f;
  f.push({0, 0, 0}, {1, -2, 4}, 0.1f);
  ParticleField g = f.clone();
  aging::core_spread(g, 0.005, 1.0);
  EXPECT_EQ(g.sigma[0], std::sqrt(0.1f * 0.1f + 0.01f));
  EXPECT_NEAR(g.sigma[0], 0.141421, 1e-6);
  for (auto [nu, dt] : {std::pair{0.005, 0.0}, std::pair{0.0, 1.0}, std::pair{-1.0, 1.0}}) {
    ParticleField h = f.clone();
    aging::core_spread(h, nu, dt);
    EXPECT_EQ(h.sigma[0], 0.1f);
  }
  ParticleField d = f.clone();
  aging::strength_decay(d, 0.5f);
  EXPECT_EQ(d.ax[0], 0.5f);
  EXPECT_EQ(d.ay[0], -1.0f);
  EXPECT_EQ(d.az[0], 2.0f);
  for (float factor : {1.0f, 0.0f, -0.5f, 2.0f, std::nanf("")}) {
    ParticleField h = f.clone();
    aging::strength_decay(h, factor);
    EXPECT_EQ(h.ax[0], 1.0f) << factor;
    EXPECT_EQ(h.az[0], 4.0f) << factor;
  }
}

TEST(VpmMerge, SmallFieldsAreReturnedAsTheyAre) {
  const ParticleField f = vpm_test::random_cloud(40);
  const ParticleField m = merge_particles(f, {0.7f, 0.9f, 0.0f, 40});
  ASSERT_EQ(m.len(), 40u);
  for (std::size_t i = 0; i < 40; ++i) {
    EXPECT_EQ(m.px[i], f.px[i]);
    EXPECT_EQ(m.sigma[i], f.sigma[i]);
  }
}

TEST(VpmMerge, KappaZeroOnlyReorders) {
  const ParticleField f = vpm_test::helical_wake(500, 3);
  const ParticleField m = merge_particles(f, {0.0f, 0.0f, 0.0f, 0});
  EXPECT_EQ(m.len(), f.len());
  EXPECT_EQ(sorted_particles(m), sorted_particles(f));
}

TEST(VpmMerge, PairsAndProtectedRegion) {
  ParticleField pair;
  pair.push({10.0f, 0, 0}, {1, 0, 0}, 0.2f);
  pair.push({10.01f, 0, 0}, {1, 0, 0}, 0.2f);
  const ParticleField m = merge_particles(pair, {0.7f, 0.9f, 0.0f, 0});
  ASSERT_EQ(m.len(), 1u);
  EXPECT_NEAR(m.px[0], 10.005f, 1e-5);
  EXPECT_EQ(m.ax[0], 2.0f);
  EXPECT_EQ(m.ay[0], 0.0f);
  EXPECT_FLOAT_EQ(m.sigma[0], 0.2f);
  EXPECT_EQ(merge_particles(pair, {0.7f, 0.9f, 20.0f, 0}).len(), 2u);

  // Misaligned strengths: |sum| = sqrt(2) < 0.9 * 2.
  ParticleField cross;
  cross.push({0, 0, 0}, {1, 0, 0}, 0.2f);
  cross.push({0.01f, 0, 0}, {0, 1, 0}, 0.2f);
  const ParticleField c = merge_particles(cross, {0.7f, 0.9f, 0.0f, 0});
  ASSERT_EQ(c.len(), 2u);
  EXPECT_EQ(c.ax[0], 1.0f);
  EXPECT_EQ(c.ay[1], 1.0f);

  // Strengthless particles merge into one at the cell centre with core 1.
  ParticleField still;
  still.push({0, 0, 0}, {0, 0, 0}, 0.2f);
  still.push({0.02f, 0, 0}, {0, 0, 0}, 0.2f);
  const ParticleField s = merge_particles(still, {100.0f, 0.9f, 0.0f, 0});
  ASSERT_EQ(s.len(), 1u);
  EXPECT_FLOAT_EQ(s.px[0], 0.01f);
  EXPECT_EQ(s.sigma[0], 1.0f);
}

TEST(VpmMerge, ThinsAWakeAndKeepsItsTotalStrength) {
  const ParticleField f = vpm_test::helical_wake(6000, 9);
  const ParticleField m = merge_particles(f, {8.0f, 0.5f, 0.0f, 100});
  EXPECT_LT(m.len(), f.len());
  EXPECT_GT(m.len(), 0u);
  const auto a = total_strength(f), b = total_strength(m);
  double scale = 0;
  for (std::size_t i = 0; i < f.len(); ++i) scale += std::fabs(f.ax[i]) + std::fabs(f.ay[i]) + std::fabs(f.az[i]);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(a[k], b[k], 1e-5 * scale);
  for (float s : m.sigma) EXPECT_GT(s, 0.0f);
  // Seen from afar, the thinned wake induces nearly the same flow.
  const std::vector<float> tx{0.0f, 6.0f}, ty{0.0f, 0.0f}, tz{8.0f, -9.0f};
  const auto uf = induced_at_points(f, tx, ty, tz), um = induced_at_points(m, tx, ty, tz);
  for (std::size_t j = 0; j < 2; ++j) {
    const double norm = std::hypot(uf[j][0], uf[j][1], uf[j][2]);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(um[j][k], uf[j][k], 0.02 * norm);
  }
}
