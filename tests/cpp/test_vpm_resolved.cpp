// The resolved free wake: overlapping shedding, the blade-tied near wake,
// vortex stretching, and the plain rotor left as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>

#include "panic.hpp"
#include "vpm/march.hpp"
#include "vpm/pool.hpp"
#include "vpm/resolved.hpp"
#include "vpm/rotor.hpp"
#include "vpm_test_util.hpp"

using namespace aerlox_rs;
using namespace aerlox_rs::vpm;

namespace {

constexpr double kPi = std::numbers::pi;

RotorDefinition ct_like(std::size_t n_elements) {
  RotorDefinition d;
  d.blade.n_blades = 2;
  d.blade.radius_m = 1.143;
  d.blade.root_cutout_m = 0.1905;
  d.blade.chord_m = 0.1905;
  d.blade.n_elements = n_elements;
  d.airfoil = {0.0, 5.73, 0.011, 15.0};
  return d;
}

std::array<double, 3> impulse(const ParticleField& f) {
  std::array<double, 3> s{0, 0, 0};
  for (std::size_t i = 0; i < f.len(); ++i) {
    s[0] += 0.5 * (static_cast<double>(f.py[i]) * f.az[i] - static_cast<double>(f.pz[i]) * f.ay[i]);
    s[1] += 0.5 * (static_cast<double>(f.pz[i]) * f.ax[i] - static_cast<double>(f.px[i]) * f.az[i]);
    s[2] += 0.5 * (static_cast<double>(f.px[i]) * f.ay[i] - static_cast<double>(f.py[i]) * f.ax[i]);
  }
  return s;
}

}  // namespace

TEST(VpmResolved, ShedFilamentCutsIntoOverlappingPiecesOfTheSameStrength) {
  WakePhysics ph;
  ParticleField f;
  std::vector<double> age;
  std::vector<Filament> fil;
  // 0.45 m at core 0.1 and overlap 1: five pieces of 0.09 m, midpoints 0.045 + 0.09 k.
  const std::size_t m = shed_filament(f, &age, &fil, {1.0, 0.0, 0.0}, {0.0, 0.45, 0.0}, 2.0, 0.1f, 0.02, ph);
  ASSERT_EQ(m, 5u);
  ASSERT_EQ(f.len(), 5u);
  double sum = 0.0;
  for (std::size_t k = 0; k < m; ++k) {
    EXPECT_NEAR(f.py[k], 0.045 + 0.09 * static_cast<double>(k), 1e-6);
    sum += f.ay[k];
    EXPECT_FLOAT_EQ(fil[k].gamma, 2.0f);
    EXPECT_FLOAT_EQ(fil[k].core0, 0.02f);
    EXPECT_EQ(age[k], 0.0);
  }
  EXPECT_NEAR(sum, 2.0 * 0.45, 1e-6);
  // Overlap 0 is the plain shedding: one particle at the start; a NaN length
  // takes the largest split instead of an undefined count.
  ph.overlap = 0.0f;
  EXPECT_EQ(shed_filament(f, nullptr, nullptr, {1.0, 0.0, 0.0}, {0.0, 0.45, 0.0}, 2.0, 0.1f, 0.02, ph), 1u);
  EXPECT_FLOAT_EQ(f.py[5], 0.0f);
  ph.overlap = 1.0f;
  EXPECT_EQ(shed_filament(f, nullptr, nullptr, {0, 0, 0}, {NAN, 0, 0}, 1.0, 0.1f, 0.02, ph), ph.max_split);
}

TEST(VpmResolved, TrailingLegsOfSuccessiveStepsMeetOnTheEdgesArc) {
  // Caradonna-Tung's tip at 18 steps per revolution, in air drifting down at 5 m/s.
  const double re = 1.143, omega = 2.0 * kPi * 1250.0 / 60.0, dt = 2.0 * kPi / (18.0 * omega), beta = 0.02;
  const V3 w{0.0, 0.0, 5.0};
  auto relative = [&](double psi) {
    const V3 t = t_hat(psi);
    return V3{w[0] - omega * re * t[0], w[1] - omega * re * t[1], w[2] - omega * re * t[2]};
  };
  const double psi = 0.7;
  const std::vector<V3> now = trailing_path(re, psi, beta, omega, dt, relative(psi), 0.02, 64);
  const std::vector<V3> before = trailing_path(re, psi - omega * dt, beta, omega, dt, relative(psi - omega * dt), 0.02, 64);
  ASSERT_GT(now.size(), 10u);
  // This step's leg ends where the last one started, carried a step by the air.
  const V3 joint{before[0][0] + dt * w[0], before[0][1] + dt * w[1], before[0][2] + dt * w[2]};
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(now.back()[c], joint[c], 1e-12);
  // Every point stays on the edge's circle, drifted with the air; no piece is longer than asked.
  for (std::size_t k = 0; k < now.size(); ++k) {
    const double s = static_cast<double>(k) / static_cast<double>(now.size() - 1);
    EXPECT_NEAR(std::hypot(now[k][0], now[k][1]), re, 1e-12);
    EXPECT_NEAR(now[k][2], -re * beta + s * dt * w[2], 1e-12);
    if (k > 0) {
      EXPECT_LE(std::hypot(now[k][0] - now[k - 1][0], now[k][1] - now[k - 1][1], now[k][2] - now[k - 1][2]),
                0.02 + 1e-12);
    }
  }
  // No piece length asked (or a NaN flow): one piece, or the largest split.
  EXPECT_EQ(trailing_path(re, psi, beta, omega, dt, relative(psi), 0.0, 64).size(), 2u);
  EXPECT_EQ(trailing_path(re, psi, beta, omega, dt, {NAN, 0.0, 0.0}, 0.02, 64).size(), 65u);
}

TEST(VpmResolved, StretchingKeepsTheRingsImpulseAndTotalStrength) {
  // A vortex ring of radius 1 and circulation 1 in overlapping particles.
  ParticleField f;
  const int n = 96;
  for (int k = 0; k < n; ++k) {
    const double a = 2 * kPi * k / n, ds = 2 * kPi / n;
    f.push({static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)), 0.0f},
           {static_cast<float>(-std::sin(a) * ds), static_cast<float>(std::cos(a) * ds), 0.0f}, 0.12f);
  }
  WakePhysics ph;
  ph.stretching = true;
  const auto i0 = impulse(f);
  double top = 0.0;
  for (int s = 0; s < 30; ++s) top = std::fmax(top, advect_resolved(f, {0.0f, 0.0f, 0.0f}, 0.05f, ph));
  const auto i1 = impulse(f);
  EXPECT_NEAR(i0[2], kPi, 1e-3);
  EXPECT_NEAR(i1[2] / i0[2], 1.0, 1e-3);
  double sx = 0, sy = 0, sz = 0;
  for (std::size_t i = 0; i < f.len(); ++i) sx += f.ax[i], sy += f.ay[i], sz += f.az[i];
  EXPECT_NEAR(std::hypot(sx, sy, sz), 0.0, 1e-5);
  // The ring moves along its axis (+z for this sense) at a finite speed.
  EXPECT_GT(f.pz[0], 0.0f);
  EXPECT_TRUE(std::isfinite(top) && top > 0.0);
}

TEST(VpmResolved, OnlyYoungParticlesStretchAndUpstreamStragglersAreDropped) {
  // Two coaxial rings pass through each other, so both change radius and
  // their strengths stretch; the second ring is old and must keep its own.
  ParticleField f;
  const int n = 64;
  for (int ring = 0; ring < 2; ++ring)
    for (int k = 0; k < n; ++k) {
      const double a = 2 * kPi * k / n, ds = 2 * kPi / n, r = ring ? 1.0 : 0.7;
      f.push({static_cast<float>(r * std::cos(a)), static_cast<float>(r * std::sin(a)), ring ? 0.3f : 0.0f},
             {static_cast<float>(-std::sin(a) * ds * r), static_cast<float>(std::cos(a) * ds * r), 0.0f}, 0.15f);
    }
  std::vector<double> age(2 * n, 0.0);
  for (int k = n; k < 2 * n; ++k) age[k] = 10.0;
  const ParticleField before = f.clone();
  WakePhysics ph;
  ph.stretching = true;
  for (int s = 0; s < 10; ++s) advect_resolved(f, {0.0f, 0.0f, 0.0f}, 0.05f, ph, &age, 1.0);
  bool old_same = true, young_moved = false;
  for (int k = 0; k < 2 * n; ++k) {
    const bool same = f.ax[k] == before.ax[k] && f.ay[k] == before.ay[k] && f.az[k] == before.az[k];
    if (k < n)
      young_moved = young_moved || !same;
    else
      old_same = old_same && same;
  }
  EXPECT_TRUE(old_same);
  EXPECT_TRUE(young_moved);
  // Dropping keeps the rest in order, with their ages and filaments.
  std::vector<Filament> fil(2 * n);
  for (int k = 0; k < 2 * n; ++k) fil[k].gamma = static_cast<float>(k);
  f.pz[3] = -0.5f;
  f.pz[70] = -0.2f;
  EXPECT_EQ(drop_upstream(f, &age, &fil, 0.1), 2u);
  ASSERT_EQ(f.len(), 2u * n - 2);
  ASSERT_EQ(age.size(), f.len());
  ASSERT_EQ(fil.size(), f.len());
  EXPECT_EQ(fil[3].gamma, 4.0f);
  EXPECT_EQ(fil[68].gamma, 69.0f);
  EXPECT_EQ(fil[69].gamma, 71.0f);
  EXPECT_EQ(age[68], 10.0);
}

TEST(VpmResolved, AxialStretchingKeepsEachRingsCirculationUpToTheLongestResolvedElement) {
  // Two coaxial rings of unit circulation leapfrog: the first widens to
  // 1.16 while the second contracts through it, then the roles swap (after
  // 40 steps the first is at 0.82, the second at 1.15). Kelvin: each keeps
  // its circulation, so a particle's strength must follow its ring's
  // circumference.
  const int n = 64;
  const auto rings = [&] {
    ParticleField f;
    for (int ring = 0; ring < 2; ++ring)
      for (int k = 0; k < n; ++k) {
        const double a = 2 * kPi * k / n, ds = 2 * kPi / n;
        f.push({static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)), ring ? -0.4f : 0.0f},
               {static_cast<float>(-std::sin(a) * ds), static_cast<float>(std::cos(a) * ds), 0.0f}, 0.15f);
      }
    return f;
  };
  // Circulation of each ring as its particles carry it, against its radius.
  const auto circulation = [&](const ParticleField& f, int ring, double& radius) {
    double r = 0.0, a = 0.0;
    for (int k = ring * n; k < (ring + 1) * n; ++k) {
      r += std::hypot(f.px[k], f.py[k]);
      a += std::sqrt(f.ax[k] * f.ax[k] + f.ay[k] * f.ay[k] + f.az[k] * f.az[k]);
    }
    radius = r / n;
    return a / (2 * kPi * radius);
  };
  for (const bool axial : {true, false}) {
    ParticleField f = rings();
    WakePhysics ph;
    ph.stretching = axial;
    ph.axial_stretching = axial;
    for (int s = 0; s < 40; ++s) advect_resolved(f, {0.0f, 0.0f, 0.0f}, 0.05f, ph);
    double rear = 0.0, front = 0.0;
    const double g_rear = circulation(f, 0, rear), g_front = circulation(f, 1, front);
    ASSERT_LT(rear, 0.85);
    ASSERT_GT(front, 1.1);
    if (axial) {
      EXPECT_NEAR(g_rear, 1.0, 0.01);
      EXPECT_NEAR(g_front, 1.0, 0.01);
    } else {
      EXPECT_GT(g_rear, 1.15);  // unstretched: the contracted ring is too strong
      EXPECT_LT(g_front, 0.9);
    }
  }
  // With a longest line element of 1.05 times the shed one, the widening ring
  // stops growing there while the contracting one still shrinks freely
  // (after 15 steps, both at their extremes).
  ParticleField f = rings();
  const std::vector<Filament> fil(2 * n, Filament{1.0f, 0.0f});
  WakePhysics ph;
  ph.stretching = ph.axial_stretching = true;
  const double shed = 2 * kPi / n;
  ph.stretching_max_length = 1.05 * shed / 0.15;
  for (int s = 0; s < 15; ++s) advect_resolved(f, {0.0f, 0.0f, 0.0f}, 0.05f, ph, nullptr, 0.0, &fil);
  double wide = 0.0, narrow = 0.0, longest = 0.0;
  circulation(f, 0, wide);
  EXPECT_NEAR(circulation(f, 1, narrow), 1.0, 0.01);
  for (int k = 0; k < n; ++k)
    longest = std::fmax(longest, std::sqrt(f.ax[k] * f.ax[k] + f.ay[k] * f.ay[k] + f.az[k] * f.az[k]));
  ASSERT_GT(wide, 1.1);
  ASSERT_LT(narrow, 0.85);
  EXPECT_LE(longest, 1.05 * shed * (1 + 1e-6));
  EXPECT_GT(longest, 1.04 * shed);
}

TEST(VpmResolved, ResolvedRotorLoadsInboardOfTheTipAndRecordsItsBlades) {
  VpmRotorConfig cfg;
  cfg.sigma = 0.19f;
  const auto plain = VpmRotor<LinearPolar>::create(ct_like(16), LinearPolar{0.0, 5.73, 0.011, 0.26},
                                                    ControlGains{}, cfg);
  WakePhysics ph;
  const auto rotor = plain.with_physics(ph);
  EXPECT_FALSE(plain.physics().has_value());
  ASSERT_TRUE(rotor.physics().has_value());
  RotorInputs in;
  in.omega_rad_s = 1250.0 * 2 * kPi / 60.0;
  in.collective_rad = 8.0 * kPi / 180.0;
  in.rho_kg_m3 = 1.225;
  const double dt = 2 * kPi / in.omega_rad_s / 18.0;
  VpmRotorState st;
  for (int k = 0; k < 36; ++k) st = rotor.step(in, st, dt).second;
  ASSERT_TRUE(st.wake && st.wake_filament && st.wake_age_s && st.blade);
  EXPECT_EQ(st.wake_filament->size(), st.wake->len());
  EXPECT_EQ(st.blade->alpha_rad.size(), 2u * 16u);
  EXPECT_GT(st.blade->shed, 2u * (2u * 16u + 1u));  // more than one particle per segment
  // Peak circulation inboard of the last element, falling towards the tip.
  const auto& g = (*st.gamma)[0];
  std::size_t peak = 0;
  for (std::size_t i = 1; i < g.size(); ++i)
    if (g[i] > g[peak]) peak = i;
  EXPECT_LT(peak, g.size() - 1);
  EXPECT_LT(g.back(), 0.95 * g[peak]);
  // Taken at the three-quarter chord, the angle of attack sees more of the
  // tip vortex's relief: the tip carries less than on the lifting line.
  WakePhysics ph_col;
  ph_col.collocation = 0.5;
  const auto col = plain.with_physics(ph_col);
  VpmRotorState sc;
  for (int k = 0; k < 36; ++k) sc = col.step(in, sc, dt).second;
  const auto& gc = (*sc.gamma)[0];
  EXPECT_LT(gc[gc.size() - 2], 0.9 * g[g.size() - 2]);
  EXPECT_NEAR(gc[8] / g[8], 1.0, 0.1);
  // A cap keeps the filament record in step with the wake.
  cfg.max_particles = 100;
  const auto capped = VpmRotor<LinearPolar>::create(ct_like(16), LinearPolar{0.0, 5.73, 0.011, 0.26},
                                                     ControlGains{}, cfg).with_physics(ph);
  VpmRotorState cs;
  for (int k = 0; k < 3; ++k) cs = capped.step(in, cs, dt).second;
  EXPECT_EQ(cs.wake->len(), 100u);
  EXPECT_EQ(cs.wake_filament->size(), 100u);
  EXPECT_EQ(cs.wake_age_s->size(), 100u);
}

TEST(VpmResolved, OptionsOutOfRangeAreRefused) {
  const auto plain = VpmRotor<LinearPolar>::create(ct_like(4), LinearPolar{0.0, 5.73, 0.011, 0.26},
                                                    ControlGains{}, VpmRotorConfig{});
  const auto refused = [&](auto set) {
    WakePhysics ph;
    set(ph);
    EXPECT_THROW((void)plain.with_physics(ph), ValueError);
  };
  refused([](WakePhysics& p) { p.overlap = -1.0f; });
  refused([](WakePhysics& p) { p.near_core_chord = NAN; });
  refused([](WakePhysics& p) { p.near_core_chord = 0.0, p.near_core_width = 0.0; });
  refused([](WakePhysics& p) { p.relaxation = 1.5; });
  refused([](WakePhysics& p) { p.max_split = 0; });
  refused([](WakePhysics& p) { p.collocation = 1.5; });
  refused([](WakePhysics& p) { p.upstream_cut_radii = -0.1; });
  refused([](WakePhysics& p) { p.stretching_max_length = -1.0; });
}

TEST(VpmResolved, SameBitsOnEveryInstructionSetAndWorkerCount) {
  VpmRotorConfig cfg;
  cfg.sigma = 0.19f;
  WakePhysics ph;
  ph.stretching = true;    // the gradient kernel too
  ph.collocation = 0.5;    // and the whole-blade Newton solve
  const auto rotor = VpmRotor<LinearPolar>::create(ct_like(8), LinearPolar{0.0, 5.73, 0.011, 0.26},
                                                    ControlGains{}, cfg).with_physics(ph);
  RotorInputs in;
  in.omega_rad_s = 130.9;
  in.collective_rad = 0.14;
  in.rho_kg_m3 = 1.225;
  const auto run = [&] {
    VpmRotorState st;
    for (int k = 0; k < 6; ++k) st = rotor.step(in, st, 2.0e-3).second;
    return st;
  };
  vpm_test::IsaPoolGuard restore;
  set_isa_for_testing(Isa::Scalar);
  pool::set_worker_count_for_testing(1);
  const VpmRotorState ref = run();
  for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) continue;
    set_isa_for_testing(isa);
    for (std::size_t workers : {1u, 2u}) {
      pool::set_worker_count_for_testing(workers);
      const VpmRotorState got = run();
      ASSERT_EQ(got.wake->len(), ref.wake->len());
      bool same = true;
      for (std::size_t i = 0; i < ref.wake->len(); ++i)
        same = same && got.wake->px[i] == ref.wake->px[i] && got.wake->ax[i] == ref.wake->ax[i] &&
               got.wake->az[i] == ref.wake->az[i] && got.wake->sigma[i] == ref.wake->sigma[i];
      EXPECT_TRUE(same && *got.gamma == *ref.gamma) << isa_name(isa) << " workers=" << workers;
    }
  }
}
