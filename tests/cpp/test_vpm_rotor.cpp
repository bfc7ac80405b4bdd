// The vortex-particle rotor: blade discretisation, lifting line, shedding,
// blade dynamics, wake advance and stepping.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>
#include <tuple>

#include "quasi_static_bem.hpp"
#include "vpm/pool.hpp"
#include "vpm/rotor.hpp"

using namespace aerlox_rs;
using namespace aerlox_rs::vpm;

namespace {

constexpr double kPi = std::numbers::pi;

RotorDefinition blade_def(std::size_t n_blades, std::size_t n_elements, double root = 0.2,
                          double chord = 0.1) {
  RotorDefinition d;
  d.blade.n_blades = n_blades;
  d.blade.radius_m = 1.0;
  d.blade.root_cutout_m = root;
  d.blade.chord_m = chord;
  d.blade.n_elements = n_elements;
  d.airfoil = {0.0, 5.7, 0.01, 25.0};
  return d;
}

const LinearPolar kPolar{0.0, 5.7, 0.01, 0.5};

VpmRotor<LinearPolar> make_rotor(const RotorDefinition& d, VpmRotorConfig cfg = {}) {
  return VpmRotor<LinearPolar>::create(d, kPolar, d.control_gains(), cfg);
}

RotorInputs hover(double omega = 40.0, double collective = 0.14) {
  RotorInputs in;
  in.omega_rad_s = omega;
  in.collective_rad = collective;
  in.rho_kg_m3 = 1.225;
  return in;
}

// Bitwise comparison of two wakes, particle by particle.
bool same_wake(const ParticleField& a, const ParticleField& b) {
  if (a.len() != b.len()) return false;
  for (std::size_t i = 0; i < a.len(); ++i)
    if (a.px[i] != b.px[i] || a.py[i] != b.py[i] || a.pz[i] != b.pz[i] || a.ax[i] != b.ax[i] ||
        a.ay[i] != b.ay[i] || a.az[i] != b.az[i] || a.sigma[i] != b.sigma[i])
      return false;
  return true;
}

bool same_state(const VpmRotorState& a, const VpmRotorState& b) {
  if (a.wake.has_value() != b.wake.has_value()) return false;
  if (a.wake && !same_wake(*a.wake, *b.wake)) return false;
  return a.gamma == b.gamma && a.psi == b.psi && a.beta == b.beta && a.beta_dot == b.beta_dot &&
         a.theta_f == b.theta_f && a.theta_f_dot == b.theta_f_dot;
}

void expect_same_result(const AeroResult& a, const AeroResult& b) {
  EXPECT_EQ(a.F_world, b.F_world);
  EXPECT_EQ(a.M_hub_world, b.M_hub_world);
  EXPECT_EQ(a.Q_spin, b.Q_spin);
}

// Steps `steps` times from `s`, returning the last loads.
AeroResult run(const VpmRotor<LinearPolar>& r, const RotorInputs& in, VpmRotorState& s,
               int steps, double dt) {
  AeroResult last;
  for (int k = 0; k < steps; ++k) {
    auto [res, next] = r.step(in, s, dt);
    s = std::move(next);
    last = res;
  }
  return last;
}

}  // namespace

TEST(VpmRotorBuild, CosineAndUniformSpacingWithLocalCores) {
  const auto r = make_rotor(blade_def(2, 4));
  const std::vector<double> edge{0.2, 0.3171572875, 0.6, 0.8828427125, 1.0};
  const std::vector<double> mid{0.2585786438, 0.4585786438, 0.7414213562, 0.9414213562};
  const std::vector<double> dr{0.1171572875, 0.2828427125, 0.2828427125, 0.1171572875};
  ASSERT_EQ(r.r_edge().size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_NEAR(r.r_edge()[i], edge[i], 1e-10);
  EXPECT_EQ(r.r_edge().front(), 0.2);
  EXPECT_EQ(r.r_edge().back(), 1.0);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(r.r_mid()[i], mid[i], 1e-10);
    EXPECT_NEAR(r.dr()[i], dr[i], 1e-10);
  }
  const float thin = 0.18f * static_cast<float>(dr[0] / 0.2);
  EXPECT_NEAR(thin, 0.10544157f, 1e-7f);
  EXPECT_EQ(r.sigma_mid(), (std::vector<float>{thin, 0.18f, 0.18f, thin}));
  EXPECT_EQ(r.sigma_edge(), (std::vector<float>{thin, 0.18f, 0.18f, 0.18f, thin}));
  EXPECT_NEAR(r.feather_span_integral(), 0.0326627417, 1e-9);

  VpmRotorConfig uniform;
  uniform.tip_clustering = false;
  const auto u = make_rotor(blade_def(2, 4), uniform);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_NEAR(u.r_edge()[i], 0.2 + 0.2 * i, 1e-15);
  for (float s : u.sigma_mid()) EXPECT_EQ(s, 0.18f);
  for (float s : u.sigma_edge()) EXPECT_EQ(s, 0.18f);

  VpmRotorConfig no_local;
  no_local.local_core = false;
  no_local.sigma = 0.3f;
  const auto nl = make_rotor(blade_def(2, 4), no_local);
  for (float s : nl.sigma_mid()) EXPECT_EQ(s, 0.3f);
  for (float s : nl.sigma_edge()) EXPECT_EQ(s, 0.3f);
}

TEST(VpmRotorBuild, DefinitionRecordsAreCarriedOver) {
  RotorDefinition d = blade_def(3, 5);
  d.blade.r_stations_m = {0.2, 1.0};
  d.blade.chord_stations_m = {0.12, 0.04};
  d.blade.twist_stations_deg = {10.0, 0.0};
  const auto r = make_rotor(d);
  EXPECT_EQ(r.n_blades(), 3u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(r.chord()[i], d.blade.chord_at(r.r_mid()[i]));
    EXPECT_EQ(r.twist()[i], d.blade.twist_at(r.r_mid()[i]) * DEG_TO_RAD);
  }
  EXPECT_EQ(r.ctrl().gain, 1.0);
  EXPECT_EQ(r.ctrl().phase_rad, 0.0);
  EXPECT_FALSE(r.feather().has_value());
  EXPECT_FALSE(r.flap().has_value());

  ServoFlapActuation sf;
  sf.I_theta_kgm2 = 0.02;
  sf.flap.r_inner_m = 0.5;
  d.pitch_actuation = ServoFlap{sf};
  d.flap = FlapProperties{2.0, 5.0};
  // The tabulated rotor still takes its lift slope from the definition.
  const auto t = VpmRotor<TabulatedPolar>::create(
      d, TabulatedPolar({-1.0, 1.0}, {-1.0, 1.0}, {0.0, 0.0}), {}, {});
  ASSERT_TRUE(t.feather().has_value());
  EXPECT_EQ(t.feather()->I_theta_kgm2, 0.02);
  EXPECT_EQ(t.feather()->flap.r_inner_m, 0.5);
  EXPECT_EQ(t.flap()->omega_nr_rad_s, 5.0);
  EXPECT_EQ(t.cl_alpha(), 5.7);
}

TEST(VpmRotorBuild, BladeWithoutElementsIsRefused) {
  try {
    make_rotor(blade_def(2, 0));
    FAIL() << "expected ValueError";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("n_elements = 0"), std::string::npos);
  }
  // Nor does a blade whose tip is at its root cutout have a lifting line.
  RotorDefinition flat = blade_def(2, 4);
  flat.blade.root_cutout_m = flat.blade.radius_m;
  EXPECT_THROW(make_rotor(flat), ValueError);
  // One element is the smallest valid blade: both end edges take its width.
  const auto one = make_rotor(blade_def(2, 1));
  EXPECT_EQ(one.r_edge(), (std::vector<double>{0.2, 1.0}));
  EXPECT_EQ(one.sigma_edge().size(), 2u);
}

TEST(VpmMarch, SegmentInduction) {
  const V3 a{0, 0, 0}, b{1, 0, 0}, p{0.5, 1, 0};
  const double k = 2.0 * 0.5 / std::sqrt(1.25) / (4.0 * kPi);
  V3 v = segment_induced(p, a, b, 0.0);
  EXPECT_EQ(v[0], 0.0);
  EXPECT_EQ(v[1], 0.0);
  EXPECT_NEAR(v[2], k, 1e-15);
  EXPECT_NEAR(v[2], 0.0711763, 1e-7);
  v = segment_induced(p, a, b, 1.0);
  EXPECT_NEAR(v[2], 0.5 * k, 1e-15);
  // On the segment's line, or at an end point: nothing.
  EXPECT_EQ(segment_induced({2, 0, 0}, a, b, 0.0), (V3{0, 0, 0}));
  EXPECT_EQ(segment_induced(a, a, b, 0.1), (V3{0, 0, 0}));
  // A zero-length segment (dt = 0) induces nothing either.
  EXPECT_EQ(segment_induced(p, a, a, 0.1), (V3{0, 0, 0}));
}

TEST(VpmMarch, DrainFrontKeepsOrderAndChecksCount) {
  ParticleField f;
  for (int i = 0; i < 6; ++i) f.push({float(i), 0, 0}, {0, 0, float(i)}, 0.1f);
  drain_front(f, 4);
  ASSERT_EQ(f.len(), 2u);
  EXPECT_EQ(f.px[0], 4.0f);
  EXPECT_EQ(f.az[1], 5.0f);
  drain_front(f, 0);
  EXPECT_EQ(f.len(), 2u);
  EXPECT_THROW(drain_front(f, 3), Panic);
  drain_front(f, 2);
  EXPECT_EQ(f.len(), 0u);
}

TEST(VpmMarch, BladeDynamicsIntegrators) {
  std::vector<double> beta{0.1, 0.0}, beta_dot{0.0, 1.0};
  const std::vector<double> m{4.0, 0.0};
  integrate_flap(beta, beta_dot, m, 2.0, 3.0, 4.0, 0.01);
  // a = 4/2 - 25*0.1; semi-implicit: the angle uses the new rate.
  EXPECT_DOUBLE_EQ(beta_dot[0], 0.01 * (2.0 - 2.5));
  EXPECT_DOUBLE_EQ(beta[0], 0.1 + 0.01 * beta_dot[0]);
  EXPECT_DOUBLE_EQ(beta_dot[1], 1.0);
  EXPECT_DOUBLE_EQ(beta[1], 0.01);

  std::vector<double> th{0.2}, th_dot{0.5};
  integrate_feather(th, th_dot, std::vector<double>{1.0}, 0.5, 2.0, 3.0, 0.1);
  const double a = (1.0 - 3.0 * 0.2) / 0.5;
  EXPECT_DOUBLE_EQ(th_dot[0], (0.5 + 0.1 * a) / (1.0 + 0.1 * 2.0 / 0.5));
  EXPECT_DOUBLE_EQ(th[0], 0.2 + 0.1 * th_dot[0]);
}

TEST(VpmStep, FirstStepFromRest) {
  // Without the blade's own downwash and with no wake yet, one relaxed sweep
  // moves the circulation 35 % of the way to its Kutta-Joukowski value.
  VpmRotorConfig cfg;
  cfg.nonlinear_lifting_line = false;
  const RotorDefinition d = blade_def(2, 4);
  const auto r = make_rotor(d, cfg);
  const RotorInputs in = hover();
  VpmRotorState s0;
  const auto [res, s1] = r.step(in, s0, 0.0);
  ASSERT_TRUE(s1.gamma.has_value());
  for (std::size_t b = 0; b < 2; ++b)
    for (std::size_t i = 0; i < 4; ++i) {
      const double U = 40.0 * r.r_mid()[i];
      const double g_kj = 0.5 * U * 0.1 * (5.7 * 0.14);
      EXPECT_NEAR((*s1.gamma)[b][i], 0.35 * g_kj, 1e-12 * g_kj);
    }
  EXPECT_GT(-res.F_world.z(), 0.0);
  EXPECT_GT(res.Q_spin, 0.0);
  EXPECT_NEAR(res.M_hub_world.norm(), 0.0, 1e-9);
  EXPECT_EQ(res.M_spin, (Vec3{{0.0, 0.0, res.Q_spin}}));

  // dt = 0: nothing moves, so every particle sits where it was shed: blade 0
  // along +x, blade 1 along -x; trailing particles first, then shed ones.
  ASSERT_EQ(s1.n_particles(), 2u * (2 * 4 + 1));
  const ParticleField& w = *s1.wake;
  for (std::size_t j = 0; j <= 4; ++j) {
    EXPECT_EQ(w.px[j], static_cast<float>(r.r_edge()[j]));
    EXPECT_EQ(w.px[9 + j], static_cast<float>(-r.r_edge()[j]));
    EXPECT_EQ(w.ax[j], 0.0f);  // zero-length trailing segment
    EXPECT_EQ(w.sigma[j], r.sigma_edge()[j]);
  }
  EXPECT_EQ(w.px[5], static_cast<float>(r.r_mid()[0]));
  EXPECT_EQ(w.sigma[5], r.sigma_mid()[0]);
  // Shed vorticity opposes the growth of bound circulation.
  EXPECT_EQ(w.ax[5], static_cast<float>(-(*s1.gamma)[0][0] * r.dr()[0]));

  // A section in still air keeps a tiny speed instead of zero.
  const auto [still, s_still] = r.step(hover(0.0), s0, 0.01);
  EXPECT_DOUBLE_EQ((*s_still.gamma)[0][0], 0.35 * (0.5 * 1e-6 * 0.1 * (5.7 * 0.14)));
  EXPECT_TRUE(std::isfinite(still.F_world.z()));
}

TEST(VpmStep, AzimuthWrapsAndForeignStatesRestart) {
  const auto r = make_rotor(blade_def(2, 4));
  RotorInputs in = hover(1.0);
  VpmRotorState s;
  s.psi = 6.2;
  auto [res, next] = r.step(in, s, 0.2);
  EXPECT_NEAR(next.psi, 6.4 - 2.0 * kPi, 1e-12);
  EXPECT_GE(next.psi, 0.0);
  auto [res2, back] = r.step(in, s, -7.0);
  EXPECT_GE(back.psi, 0.0);
  EXPECT_LT(back.psi, 2.0 * kPi);

  // Circulation of the wrong shape is ignored, not rejected.
  in = hover();
  VpmRotorState foreign;
  foreign.gamma = std::vector<std::vector<double>>(2, std::vector<double>(5, 3.0));
  auto [ra, sa] = r.step(in, foreign, 0.01);
  auto [rb, sb] = r.step(in, VpmRotorState{}, 0.01);
  expect_same_result(ra, rb);
  EXPECT_TRUE(same_state(sa, sb));
}

TEST(VpmStep, NoBladesStillAdvancesTheWake) {
  const auto r = make_rotor(blade_def(0, 4));
  RotorInputs in = hover();
  in.wind_world = Vec3{{0.0, 0.0, 2.0}};  // air through the disk along +z
  VpmRotorState s;
  s.wake = ParticleField{};
  s.wake->push({0.5f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, 0.1f);
  auto [res, next] = r.step(in, s, 0.1);
  EXPECT_EQ(res.F_world, Vec3{});
  EXPECT_EQ(res.Q_spin, 0.0);
  ASSERT_EQ(next.n_particles(), 1u);
  EXPECT_FLOAT_EQ(next.wake->pz[0], 0.2f);
}

TEST(VpmStep, FlapAndServoStatesAppearAndRespond) {
  RotorDefinition d = blade_def(2, 4);
  d.blade.twist_deg = 6.0;
  d.flap = FlapProperties{0.5, 2.0};
  ServoFlapActuation sf;
  sf.I_theta_kgm2 = 0.01;
  sf.damper_Nms_per_rad = 0.1;
  sf.flap.C_M_delta_per_rad = -0.5;
  sf.blade_Cm_AC = 1e-12;  // at the threshold: adds no moment
  VpmRotorConfig cfg;
  cfg.nonlinear_lifting_line = false;
  {
    const auto probe = make_rotor(d, cfg);
    // Elements whose midpoints lie exactly on the flap's ends are inside it.
    sf.flap.r_inner_m = probe.r_mid()[1];
    sf.flap.r_outer_m = probe.r_mid()[2];
  }
  d.pitch_actuation = ServoFlap{sf};
  const auto r = make_rotor(d, cfg);
  const double dt = 0.01, omega = 40.0, col = 0.1;
  auto [res, s1] = r.step(hover(omega, col), VpmRotorState{}, dt);
  ASSERT_TRUE(s1.beta && s1.beta_dot && s1.theta_f && s1.theta_f_dot);
  EXPECT_EQ(s1.beta->size(), 2u);
  // Hover from rest: the blade is at zero feathering, flow is purely in-plane
  // (U = Omega r) and the flap command is the collective.
  double m_theta = 0.0;
  for (std::size_t i = 1; i <= 2; ++i) {
    const double U = omega * r.r_mid()[i];
    const double q = U * (0.5 * 1.225 * U) * 0.1;
    m_theta += q * -0.5 * col * r.dr()[i];
  }
  const double rate = (dt * (m_theta / 0.01)) / (1.0 + dt * 0.1 / 0.01);
  for (std::size_t b = 0; b < 2; ++b) {
    EXPECT_NEAR((*s1.theta_f_dot)[b], rate, 1e-12 * std::fabs(rate));
    EXPECT_GT((*s1.beta_dot)[b], 0.0);  // thrust lifts the blades
  }
  // The blade pitch is the feathering angle, not the command: with zero
  // feathering the first step's circulation comes from the twist alone.
  for (std::size_t i = 0; i < 4; ++i) {
    const double g_kj = 0.5 * (omega * r.r_mid()[i]) * 0.1 * (5.7 * 6.0 * DEG_TO_RAD);
    EXPECT_NEAR((*s1.gamma)[0][i], 0.35 * g_kj, 1e-12 * g_kj);
  }
}

TEST(VpmStep, TabulatedRotorFollowsItsTableInForwardFlight) {
  // A table that samples the linear law (never stalling, since reversed flow
  // on the retreating side reaches large angles) reproduces the linear rotor
  // to rounding; edgewise flight makes the hub moments non-zero.
  const RotorDefinition d = blade_def(3, 6);
  std::vector<double> a, cl, cd;
  for (int k = -400; k <= 400; ++k) {
    a.push_back(0.01 * k);
    cl.push_back(5.7 * a.back());
    cd.push_back(0.01);
  }
  const auto tab = VpmRotor<TabulatedPolar>::create(d, TabulatedPolar(a, cl, cd), {}, {});
  const auto lin = VpmRotor<LinearPolar>::create(d, LinearPolar{0.0, 5.7, 0.01, 10.0}, {}, {});
  RotorInputs in = hover();
  in.wind_world = Vec3{{-12.0, 0.0, 0.5}};
  in.tilt_lon = 0.03;
  VpmRotorState st, sl;
  AeroResult rt, rl;
  for (int k = 0; k < 6; ++k) {
    std::tie(rt, st) = tab.step(in, st, 0.01);
    std::tie(rl, sl) = lin.step(in, sl, 0.01);
  }
  EXPECT_NEAR(rt.F_world.z(), rl.F_world.z(), 1e-6 * std::fabs(rl.F_world.z()));
  EXPECT_NEAR(rt.Q_spin, rl.Q_spin, 1e-6 * std::fabs(rl.Q_spin));
  EXPECT_GT(rl.M_hub_world.norm(), 1e-3);
  EXPECT_NEAR(rt.M_hub_world.x(), rl.M_hub_world.x(), 1e-5 * rl.M_hub_world.norm());
}

TEST(VpmStep, StatesAreValues) {
  const auto r = make_rotor(blade_def(2, 5));
  const RotorInputs in = hover();
  VpmRotorState s;
  run(r, in, s, 4, 0.01);
  const VpmRotorState kept = s;  // deep copy
  EXPECT_TRUE(same_state(kept, s));
  auto [ra, sa] = r.step(in, s, 0.01);
  auto [rb, sb] = r.step(in, s, 0.01);
  EXPECT_TRUE(same_state(s, kept));  // the input is never changed
  expect_same_result(ra, rb);
  EXPECT_TRUE(same_state(sa, sb));
  // Changing a copy leaves the original alone.
  VpmRotorState copy = sa;
  copy.wake->px[0] += 1.0f;
  (*copy.gamma)[0][0] = 9.0;
  EXPECT_TRUE(same_state(sa, sb));
}

TEST(VpmStep, BitIdenticalForAnyWorkerCount) {
  const RotorInputs in = hover();
  for (bool tree : {false, true}) {
    VpmRotorConfig cfg;
    cfg.barnes_hut = tree;
    cfg.bh_min_particles = 64;
    const auto r = make_rotor(blade_def(2, 6), cfg);
    VpmRotorState states[2];
    AeroResult loads[2];
    for (std::size_t workers : {1u, 2u}) {
      pool::set_worker_count_for_testing(workers);
      loads[workers - 1] = run(r, in, states[workers - 1], 12, 0.01);
    }
    pool::set_worker_count_for_testing(0);
    expect_same_result(loads[0], loads[1]);
    EXPECT_TRUE(same_state(states[0], states[1])) << "tree " << tree;
    EXPECT_GT(states[0].n_particles(), 64u);
  }
}

TEST(VpmStep, CapKeepsTheNewestParticles) {
  const RotorDefinition d = blade_def(2, 4);
  VpmRotorConfig capped;
  capped.max_particles = 10;
  const auto small = make_rotor(d, capped);
  const auto large = make_rotor(d);
  const RotorInputs in = hover();
  // The cap acts after the advection, so after one step the capped wake is
  // exactly the back of the uncapped one.
  auto [ra, sa] = small.step(in, VpmRotorState{}, 0.01);
  auto [rb, sb] = large.step(in, VpmRotorState{}, 0.01);
  ASSERT_EQ(sa.n_particles(), 10u);
  ASSERT_GT(sb.n_particles(), 10u);
  const std::size_t off = sb.n_particles() - 10;
  for (std::size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(sa.wake->px[i], sb.wake->px[off + i]);
    EXPECT_EQ(sa.wake->az[i], sb.wake->az[off + i]);
  }
  VpmRotorState s = sa;
  for (int k = 0; k < 5; ++k) {
    run(small, in, s, 1, 0.01);
    EXPECT_LE(s.n_particles(), 10u);
  }
}

TEST(VpmStep, WakeStorageStaysBoundedAtTheDefaultCap) {
  // Start just below the default cap with a spread-out weak wake and keep
  // stepping: the count sits at the cap and no array keeps growing.
  const auto r = make_rotor(blade_def(2, 6));
  const RotorInputs in = hover();
  VpmRotorState s;
  s.wake = ParticleField{};
  for (std::size_t i = 0; i < 4790; ++i) {
    const float a = 0.01f * static_cast<float>(i);
    s.wake->push({std::cos(a), std::sin(a), 0.001f * static_cast<float>(i)},
                 {0.0f, 0.0f, 1e-4f}, 0.18f);
  }
  const std::size_t per_step = 2 * (2 * 6 + 1);
  for (int k = 0; k < 8; ++k) {
    run(r, in, s, 1, 0.005);
    EXPECT_LE(s.n_particles(), 4800u);
    for (const auto* a : {&s.wake->px, &s.wake->py, &s.wake->pz, &s.wake->ax, &s.wake->ay,
                          &s.wake->az, &s.wake->sigma})
      EXPECT_LE(a->capacity(), 4800u + per_step);
  }
  EXPECT_EQ(s.n_particles(), 4800u);
}

TEST(VpmWake, StrengthDecayPerStep) {
  VpmRotorConfig cfg;
  cfg.strength_decay_tau_rev = 1.0;
  ParticleField f;
  f.push({1.0f, 0.0f, 0.0f}, {1.0f, -2.0f, 0.0f}, 0.2f);
  const double omega = 10.0, dt = (2.0 * kPi / 36.0) / omega;
  advance_wake(f, cfg, {0.0, 0.0, 0.0}, dt, omega, 0.0);
  const float k = static_cast<float>(std::exp(-1.0 / 36.0));
  EXPECT_FLOAT_EQ(f.ax[0], k);
  EXPECT_FLOAT_EQ(f.ay[0], -2.0f * k);
  EXPECT_NEAR(f.ax[0], 0.97260, 1e-5);
  // A backwards step neither decays nor spreads.
  cfg.core_spread_nu = 0.01;
  advance_wake(f, cfg, {0.0, 0.0, 0.0}, -dt, omega, 0.0);
  EXPECT_FLOAT_EQ(f.ax[0], k);
  EXPECT_EQ(f.sigma[0], 0.2f);
}

TEST(VpmWake, MergeScheduleCountsAzimuthMultiples) {
  // Omega dt = 10 degrees and merge_every = 10: a merge in the steps whose
  // azimuth interval reaches 100, 200 and 300 degrees (accumulated rounding
  // may push one to the following step), and the count restarts every turn.
  VpmRotorConfig cfg;
  cfg.merge_wake = true;
  cfg.merge_every = 10;
  cfg.merge_kappa = 1000.0f;  // everything close enough merges
  cfg.merge_chi_min = 0.0f;
  const double omega = 10.0, dt = (2.0 * kPi / 36.0) / omega;
  double psi = 0.0;
  std::vector<int> merged_at;
  for (int k = 0; k < 72; ++k) {
    ParticleField f;
    f.push({1.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.2f);
    f.push({1.01f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.2f);
    advance_wake(f, cfg, {0.0, 0.0, 0.0}, dt, omega, psi);
    if (f.len() == 1) merged_at.push_back(k);
    psi = std::fmod(psi + omega * dt, 2.0 * kPi);
  }
  ASSERT_EQ(merged_at.size(), 6u);
  for (std::size_t m = 0; m < 6; ++m) {
    const int due = 36 * static_cast<int>(m / 3) + 9 + 10 * static_cast<int>(m % 3);
    EXPECT_TRUE(merged_at[m] == due || merged_at[m] == due + 1) << merged_at[m];
  }
  // Switched off, or below the minimum wake size: never.
  for (auto tweak : {0, 1, 2}) {
    VpmRotorConfig off = cfg;
    if (tweak == 0) off.merge_wake = false;
    if (tweak == 1) off.merge_every = 0;
    if (tweak == 2) off.merge_min_particles = 3;
    ParticleField f;
    f.push({1.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.2f);
    f.push({1.01f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.2f);
    advance_wake(f, off, {0.0, 0.0, 0.0}, dt, omega, 90.0 * kPi / 180.0 + 1e-9);
    EXPECT_EQ(f.len(), 2u) << tweak;
  }
}

TEST(VpmWake, MergingBoundsTheWakeAndKeepsItsStrength) {
  VpmRotorConfig cfg;
  cfg.merge_wake = true;
  cfg.merge_every = 1;
  cfg.merge_kappa = 3.0f;
  cfg.merge_chi_min = 0.5f;
  cfg.max_particles = 600;
  const auto merging = make_rotor(blade_def(2, 6), cfg);
  const auto plain = make_rotor(blade_def(2, 6));
  const RotorInputs in = hover();
  const double dt = (2.0 * kPi / 18.0) / 40.0;
  VpmRotorState sm, sp;
  for (int k = 0; k < 36; ++k) {
    run(merging, in, sm, 1, dt);
    run(plain, in, sp, 1, dt);
    EXPECT_LE(sm.n_particles(), 600u);
  }
  EXPECT_LT(sm.n_particles(), sp.n_particles());

  // One wake advance that merges: advection leaves strengths alone, so the
  // total vector strength before and after is the merge's doing.
  ParticleField f = sp.wake->clone();
  auto total = [](const ParticleField& w) {
    std::array<double, 3> t{0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < w.len(); ++i) {
      t[0] += w.ax[i];
      t[1] += w.ay[i];
      t[2] += w.az[i];
    }
    return t;
  };
  const auto before = total(f);
  const std::size_t n_before = f.len();
  VpmRotorConfig wide = cfg;
  wide.max_particles = 100000;
  advance_wake(f, wide, {0.0, 0.0, 0.0}, dt, 40.0, 0.0);
  ASSERT_LT(f.len(), n_before);
  const auto after = total(f);
  const double scale_ = std::fabs(before[0]) + std::fabs(before[1]) + std::fabs(before[2]);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(after[c], before[c], 1e-4 * scale_);
}

TEST(VpmHover, SettlesNearQuasiStaticBemAndConvectsDown) {
  // A coarse 2-bladed rotor stepped from rest for five revolutions, against
  // the quasi-static blade-element momentum model of the same rotor.
  const RotorDefinition d = blade_def(2, 6, 0.15, 0.08);
  const auto r = make_rotor(d);
  const RotorInputs in = hover(40.0, 0.14);
  const double t_bem =
      -QuasiStaticBEM<LinearPolar>::build(d, kPolar, 36).compute_forces(in, {}).first.F_world.z();
  const int steps_per_rev = 18;
  const double dt = (2.0 * kPi / steps_per_rev) / 40.0;

  VpmRotorState s;
  double t_rev = 0.0;
  for (int rev = 0; rev < 5; ++rev) {
    t_rev = 0.0;
    for (int k = 0; k < steps_per_rev; ++k) t_rev += -run(r, in, s, 1, dt).F_world.z();
    t_rev /= steps_per_rev;
    std::printf("VPM hover thrust, revolution %d: %.3f N (quasi-static BEM %.3f N)\n", rev, t_rev,
                t_bem);
  }
  EXPECT_NEAR(t_rev, t_bem, 0.2 * t_bem);
  EXPECT_LT(s.n_particles(), 4800u);  // the cap never cut the run short

  double z_mean = 0.0;
  for (std::size_t i = 0; i < s.wake->len(); ++i) z_mean += s.wake->pz[i];
  z_mean /= static_cast<double>(s.wake->len());
  EXPECT_GT(z_mean, 0.1);  // the wake moves away along +hub z
}

TEST(VpmStep, ForkedChildCanStep) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in a child of a threaded process";
#endif
  const auto r = make_rotor(blade_def(2, 4));
  const RotorInputs in = hover();
  VpmRotorState s;
  run(r, in, s, 3, 0.01);  // the parent has used the pool
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    VpmRotorState c = s;
    run(r, in, c, 3, 0.01);
    _exit(c.n_particles() > s.n_particles() ? 0 : 1);
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "forked child did not finish its steps";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
