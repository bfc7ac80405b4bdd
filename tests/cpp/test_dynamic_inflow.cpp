// Pitt-Peters and Oye dynamic inflow: momentum-theory equilibria, lag
// dynamics, integration methods and their state vectors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "bem_fixtures.hpp"
#include "oye.hpp"
#include "pitt_peters.hpp"
#include "quasi_static_bem.hpp"

using namespace aerlox_rs;
using namespace aerlox_test;

namespace {

using PpLinear = PittPetersModel<LinearPolar>;
using OyeLinear = OyeBEMModel<LinearPolar>;

PpLinear pp_model(const RotorDefinition& d = small_rotor(), std::size_t n_psi = 36) {
  return PpLinear::build(d, polar_of(d), n_psi);
}

/// A more heavily loaded rotor (4 blades) whose hover inflow ratio is above
/// the 0.05 floor the Oye momentum balance puts on the mass-flow ratio.
RotorDefinition four_blades() {
  RotorDefinition d = small_rotor();
  d.blade.n_blades = 4;
  return d;
}

OyeLinear oye_model(const RotorDefinition& d = four_blades(), double k = 0.0) {
  return OyeLinear::build_with_k(d, polar_of(d), 36, k);
}

template <class M, class S>
S relax(const M& m, const RotorInputs& in, S s, int n, double dt,
        IntegrationMethod method = IntegrationMethod::SemiImplicitEuler) {
  for (int i = 0; i < n; ++i) s = m.step(in, s, dt, method).second;
  return s;
}

double thrust(const AeroResult& r) { return -r.F_world.z(); }

constexpr double kArea = PI * 0.8 * 0.8;

}  // namespace

TEST(PittPeters, HoverRelaxesToMomentumInflow) {
  const PpLinear m = pp_model();
  const RotorInputs in = axial_inputs(10.0, 150.0);
  const auto s = relax(m, in, m.initial_state(), 1500, 0.005);
  const double t = thrust(m.compute_forces(in, s).first);
  ASSERT_GT(t, 0.0);
  // Uniform momentum inflow v = sqrt(T / (2 rho A)).
  EXPECT_NEAR(s.lambda_0 * 120.0, std::sqrt(t / (2.0 * 1.225 * kArea)), 1e-6);
  EXPECT_NEAR(s.lambda_c, 0.0, 1e-12);
  EXPECT_NEAR(s.lambda_s, 0.0, 1e-12);
  // At equilibrium every method leaves the state where it is.
  for (auto method : {IntegrationMethod::ExplicitEuler, IntegrationMethod::SemiImplicitEuler,
                      IntegrationMethod::ExponentialRelaxation}) {
    const auto next = m.step(in, s, 0.01, method).second;
    EXPECT_NEAR(next.lambda_0, s.lambda_0, 1e-10);
  }
}

TEST(PittPeters, HarmonicInflowDisturbanceDecaysInHover) {
  // The hub moment a cyclic inflow disturbance produces must feed back as a
  // restoring target; with the moment normalised by the mass-flow velocity
  // twice it instead grows without bound.
  const PpLinear m = pp_model();
  const RotorInputs in = axial_inputs(10.0, 150.0);
  auto s = relax(m, in, m.initial_state(), 1500, 0.005);
  s.lambda_c = 1e-6;
  s = relax(m, in, s, 200, 0.005);
  double worst = 0.0;
  for (int i = 0; i < 200; ++i) {
    s = m.step(in, s, 0.005, IntegrationMethod::SemiImplicitEuler).second;
    worst = std::fmax(worst, std::fabs(s.lambda_c) + std::fabs(s.lambda_s));
  }
  EXPECT_LT(worst, 1e-9);
}

TEST(PittPeters, CollectiveStepFollowsClosedLoopTimeConstant) {
  const PpLinear m = pp_model();
  const RotorInputs before = axial_inputs(10.0, 150.0);
  const RotorInputs after = axial_inputs(10.5, 150.0);
  const auto s0 = relax(m, before, m.initial_state(), 1500, 0.005);
  const auto s1 = relax(m, after, s0, 1500, 0.005);
  const double l0 = s0.lambda_0, l1 = s1.lambda_0;
  ASSERT_GT(l1, l0);
  // The target of a momentum lag is T(lambda)/(2 rho A (Omega R)^2 lambda):
  // linearised, the state closes on it with tau0 / (2 - (lambda/T) dT/dlambda),
  // faster than the open-loop apparent-mass constant tau0.
  const double tau0 = m.inflow_taus(after, s1)[0];
  auto sp = s1, sm = s1;
  sp.lambda_0 += 1e-6;
  sm.lambda_0 -= 1e-6;
  const double t = thrust(m.compute_forces(after, s1).first);
  const double dtdl =
      (thrust(m.compute_forces(after, sp).first) - thrust(m.compute_forces(after, sm).first)) / 2e-6;
  ASSERT_LT(dtdl, 0.0);
  const double tau_eff = tau0 / (2.0 - l1 / t * dtdl);
  auto s = s0;
  double time = 0.0;
  const double dt = 2e-5;
  while (s.lambda_0 - l0 < 0.632 * (l1 - l0) && time < 1.0) {
    s = m.step(after, s, dt, IntegrationMethod::ExponentialRelaxation).second;
    time += dt;
  }
  EXPECT_NEAR(time, tau_eff, 0.05 * tau_eff);
  EXPECT_LT(time, tau0);
}

TEST(PittPeters, VortexRingTargetInSteepDescent) {
  const PpLinear m = pp_model();
  // Start in hover equilibrium and descend at about half the hover inflow.
  const RotorInputs hover = axial_inputs(10.0, 150.0);
  const auto s = relax(m, hover, m.initial_state(), 1500, 0.005);
  const RotorInputs in = axial_inputs(10.0, 150.0, -0.5 * s.lambda_0 * 120.0);
  const auto [res, deriv] = m.compute_forces(in, s);
  const double t = thrust(res);
  const double v_h = std::sqrt(t / (2.0 * 1.225 * kArea));
  const double ratio = -in.wind_world.z() / v_h;
  ASSERT_GT(ratio, 0.0);
  ASSERT_LT(ratio, 2.0);
  const double tau0 = m.inflow_taus(in, s)[0];
  const double target = s.lambda_0 + tau0 * deriv.lambda_0;
  EXPECT_NEAR(target, vrs_lambda1(ratio) * v_h / 120.0, 1e-12);
}

TEST(PittPeters, ForwardFlightMethodsAgreeAndImplicitStaysStable) {
  const PpLinear m = pp_model();
  const RotorInputs in = forward_inputs(10.0, 150.0, 0.8, 0.2);
  const auto ref = relax(m, in, m.initial_state(), 3000, 0.002, IntegrationMethod::ExplicitEuler);
  EXPECT_GT(ref.lambda_0, 0.0);
  EXPECT_NE(ref.lambda_c, 0.0);  // skewed wake: fore-aft gradient
  for (auto method : {IntegrationMethod::SemiImplicitEuler, IntegrationMethod::ExponentialRelaxation}) {
    const auto s = relax(m, in, m.initial_state(), 3000, 0.002, method);
    EXPECT_NEAR(s.lambda_0, ref.lambda_0, 1e-9);
    EXPECT_NEAR(s.lambda_c, ref.lambda_c, 1e-9);
    EXPECT_NEAR(s.lambda_s, ref.lambda_s, 1e-9);
    // A step many times the harmonic time constant: still converges.
    const auto big = relax(m, in, m.initial_state(), 400, 0.1, method);
    EXPECT_NEAR(big.lambda_0, ref.lambda_0, 1e-6);
    EXPECT_NEAR(big.lambda_c, ref.lambda_c, 1e-6);
  }
  const auto blown = relax(m, in, m.initial_state(), 60, 0.1, IntegrationMethod::ExplicitEuler);
  EXPECT_FALSE(std::isfinite(blown.lambda_c) && std::fabs(blown.lambda_c - ref.lambda_c) < 1e-3);
}

TEST(PittPeters, TimeConstantsAndStoppedRotor) {
  const PpLinear m = pp_model();
  const PittPetersRotorState s{0.05, 0.0, 0.0};
  const auto taus = m.inflow_taus(axial_inputs(10.0, 150.0), s);
  ASSERT_EQ(taus.size(), 3u);
  EXPECT_NEAR(taus[0], 8.0 * 0.8 / (3.0 * PI * 6.0), 1e-12);
  EXPECT_NEAR(taus[1], 16.0 * 0.8 / (45.0 * PI * 6.0), 1e-12);
  EXPECT_EQ(taus[1], taus[2]);
  // Not spinning: no loads, the uniform state decays, time constants finite.
  const RotorInputs stopped = axial_inputs(10.0, 0.0);
  const auto [r, d] = m.compute_forces(stopped, s);
  EXPECT_EQ(thrust(r), 0.0);
  EXPECT_LT(d.lambda_0, 0.0);
  for (double tau : m.inflow_taus(stopped, s)) EXPECT_TRUE(std::isfinite(tau));
}

TEST(PittPeters, TabulatedMatchesLinear) {
  const RotorDefinition d = small_rotor();
  const PpLinear lin = pp_model(d);
  const auto tab = PittPetersModel<TabulatedPolar>::build(d, sampled_table(polar_of(d)), 36);
  const RotorInputs in = forward_inputs(10.0, 150.0, 0.8, 0.2);
  const PittPetersRotorState s{0.04, 0.01, -0.005};
  const auto [ra, da] = lin.compute_forces(in, s);
  const auto [rb, db] = tab.compute_forces(in, s);
  EXPECT_LT(rel_diff(thrust(ra), thrust(rb)), 1e-12);
  EXPECT_LT(rel_diff(da.lambda_c, db.lambda_c), 1e-9);
}

TEST(PittPeters, StateVector) {
  const PittPetersRotorState s{1.0, 2.0, 3.0};
  EXPECT_EQ(s.get_inflow(), (std::vector<double>{1.0, 2.0, 3.0}));
  const std::vector<double> v{4.0, 5.0, 6.0};
  const auto t = PittPetersRotorState::from_array(v);
  EXPECT_EQ(t.lambda_s, 6.0);
  try {
    PittPetersRotorState::from_array(std::vector<double>{1.0, 2.0});
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "PittPetersRotorState expects 3 states, got 2");
  }
  PittPetersRotorState u;
  EXPECT_THROW(u.set_inflow(std::vector<double>{1.0, 2.0}), Panic);
}

TEST(Oye, ZeroStateInHoverBuildsInflowWhereThereIsThrust) {
  const OyeLinear m = oye_model();
  const auto [r, d] = m.compute_forces(axial_inputs(12.0, 150.0), m.initial_state());
  EXPECT_GT(thrust(r), 0.0);
  ASSERT_EQ(d.n_elements, 20u);
  for (std::size_t i = 0; i < 20; ++i) {
    EXPECT_GT(d.W_int[i], 0.0) << i;  // every element is at positive pitch here
    EXPECT_EQ(d.W[i], 0.0);
  }
}

TEST(Oye, HoverInflowMatchesQuasiStaticElementInflow) {
  const RotorDefinition def = four_blades();
  const OyeLinear m = oye_model(def);
  const RotorInputs in = axial_inputs(12.0, 150.0);
  const auto s = relax(m, in, m.initial_state(), 3000, 0.003);
  const RadialGrid& g = m.grid();
  for (std::size_t i = 0; i < g.n_elements; ++i) {
    EXPECT_NEAR(s.W[i], s.W_int[i], 1e-9);
    if (g.x_mid[i] < 0.4 || g.x_mid[i] > 0.95) continue;
    const auto geom = BEMElementGeometry<LinearPolar>::make(m.polar(), g.r_mid[i], g.dr, g.chord[i],
                                                            g.twist_rad[i], 150.0, 1.225, 4, 0.8,
                                                            0.12, true);
    const double lam = solve_bem_element(geom, in.collective_rad, 0.0, 0.0).lambda_r;
    EXPECT_LT(rel_diff(s.W[i], lam), 0.06) << "x = " << g.x_mid[i];
  }
  // The rotor's mean inflow carries its thrust by momentum theory.
  const double t = thrust(m.compute_forces(in, s).first);
  double mean = 0.0;
  for (double w : s.W) mean += w / 20.0;
  EXPECT_LT(rel_diff(mean * 120.0, std::sqrt(t / (2.0 * 1.225 * kArea))), 0.1);
}

TEST(Oye, MethodsAgreeAndImplicitStaysStable) {
  const OyeLinear m = oye_model();
  const RotorInputs in = forward_inputs(12.0, 150.0, 0.8, 0.2);
  const auto ref = relax(m, in, m.initial_state(), 3000, 0.002, IntegrationMethod::ExplicitEuler);
  for (auto method : {IntegrationMethod::SemiImplicitEuler, IntegrationMethod::ExponentialRelaxation}) {
    const auto s = relax(m, in, m.initial_state(), 3000, 0.002, method);
    const auto big = relax(m, in, m.initial_state(), 300, 0.1, method);
    for (std::size_t i = 0; i < 20; ++i) {
      EXPECT_NEAR(s.W[i], ref.W[i], 1e-9);
      EXPECT_NEAR(big.W[i], ref.W[i], 1e-6);
    }
  }
  const auto blown = relax(m, in, m.initial_state(), 60, 0.1, IntegrationMethod::ExplicitEuler);
  double worst = 0.0;
  for (std::size_t i = 0; i < 20; ++i)
    worst = std::isfinite(blown.W[i]) ? std::fmax(worst, std::fabs(blown.W[i] - ref.W[i])) : 1e300;
  EXPECT_GT(worst, 1e-2);
}

TEST(Oye, VortexRingGivesUniformTarget) {
  const OyeLinear m = oye_model();
  // Zero state, slow descent: thrust positive, descent well under 2 v_h.
  const RotorInputs in = axial_inputs(12.0, 150.0, -2.0);
  const auto [r, d] = m.compute_forces(in, m.initial_state());
  const double t = thrust(r);
  const double v_h = std::sqrt(t / (2.0 * 1.225 * kArea));
  ASSERT_LT(2.0 / v_h, 2.0);
  const double tau1 = m.inflow_taus(in, m.initial_state())[0];
  const double expect = vrs_lambda1(2.0 / v_h) * v_h / 120.0;
  for (std::size_t i = 0; i < 20; ++i) EXPECT_NEAR(tau1 * d.W_int[i], expect, 1e-12);
}

TEST(Oye, FilterTimeConstants) {
  const std::vector<double> x{0.2, 0.5, 1.0};
  const auto [tau1, tau2] = oye_taus(0.8, x, 10.0, 0.1, 3);
  EXPECT_DOUBLE_EQ(tau1, 1.1 / (1.0 - 0.13) * 0.08);
  EXPECT_NEAR(tau2[0], 0.3796 * tau1, 1e-15);
  EXPECT_NEAR(tau2[2], 0.13 * tau1, 1e-15);
  // Induction above 0.5 is held at 0.5; a slow flow is floored at 0.01 m/s.
  EXPECT_DOUBLE_EQ(oye_taus(0.8, x, 10.0, 0.9, 3).first, 1.1 / 0.35 * 0.8 / 10.0);
  EXPECT_DOUBLE_EQ(oye_taus(0.8, x, 0.0, -1.0, 3).first, 1.1 * 0.8 / 0.01);
}

TEST(Oye, StoppedRotorHasNoFiniteTimeConstant) {
  const OyeLinear m = oye_model();
  const RotorInputs in = axial_inputs(12.0, 0.0);
  OyeRotorState s = OyeRotorState::zeros(20);
  s.W_int.assign(20, 0.05);
  const auto taus = m.inflow_taus(in, s);
  ASSERT_EQ(taus.size(), 40u);
  for (double tau : taus) EXPECT_TRUE(std::isinf(tau));
  const auto [r, d] = m.compute_forces(in, s);
  EXPECT_EQ(thrust(r), 0.0);
  EXPECT_LT(d.W_int[3], 0.0);  // decays towards zero inflow
  // With no finite time constant the implicit step is the explicit one.
  const auto a = m.step(in, s, 0.01, IntegrationMethod::SemiImplicitEuler).second;
  const auto b = m.step(in, s, 0.01, IntegrationMethod::ExplicitEuler).second;
  EXPECT_EQ(a.W_int, b.W_int);
}

TEST(Oye, CouplingConstantIsCarriedButUnused) {
  const OyeLinear a = oye_model(four_blades(), 0.0);
  const OyeLinear b = oye_model(four_blades(), 0.7);
  EXPECT_EQ(b.coupling_k(), 0.7);
  const RotorInputs in = forward_inputs(12.0, 150.0, 0.8, 0.15);
  OyeRotorState s = OyeRotorState::zeros(20);
  s.W.assign(20, 0.03);
  const auto [ra, da] = a.compute_forces(in, s);
  const auto [rb, db] = b.compute_forces(in, s);
  EXPECT_EQ(ra.F_world, rb.F_world);
  EXPECT_EQ(da.W_int, db.W_int);
  EXPECT_EQ(a.inflow_taus(in, s), b.inflow_taus(in, s));
}

TEST(Oye, StateVectorAndShortStates) {
  const OyeRotorState z = OyeRotorState::zeros(0);
  EXPECT_TRUE(z.get_inflow().empty());
  const std::vector<double> arr{1, 2, 3, 4, 5, 6};
  const OyeRotorState s = OyeRotorState::from_array(arr);
  EXPECT_EQ(s.n_elements, 3u);
  EXPECT_EQ(s.W_int, (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(s.get_inflow(), arr);
  try {
    OyeRotorState::from_array(std::vector<double>{1, 2, 3});
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "OyeRotorState array length 3 invalid; expected 2*n_elements");
  }
  EXPECT_EQ(OyeRotorState::from_array(std::vector<double>{}).n_elements, 0u);
  EXPECT_THROW(OyeRotorState::from_vectors({1.0}, {1.0, 2.0}), ValueError);
  OyeRotorState t = s;
  EXPECT_THROW(t.set_inflow(std::vector<double>{1, 2, 3, 4, 5}), Panic);
  // A state that does not fit the blade is the caller's mistake, refused
  // before anything is computed, spinning or not, shorter or longer.
  const OyeLinear m = oye_model();
  try {
    m.compute_forces(forward_inputs(12.0, 150.0, 0.8, 0.1), s);
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(),
                 "OyeRotorState holds 6 inflow values; this model needs 40 (W_int and W for each "
                 "of its 20 elements)");
  }
  EXPECT_THROW(m.compute_forces(axial_inputs(12.0, 0.0), s), ValueError);
  EXPECT_THROW(m.inflow_taus(axial_inputs(12.0, 150.0), OyeRotorState::zeros(21)), ValueError);
  EXPECT_THROW(m.step(axial_inputs(12.0, 150.0), OyeRotorState::zeros(21), 0.01,
                      IntegrationMethod::SemiImplicitEuler),
               ValueError);
  // A state whose arrays are shorter than its own count is caught too.
  OyeRotorState bad = OyeRotorState::zeros(20);
  bad.W.resize(5);
  EXPECT_THROW(m.compute_forces(axial_inputs(12.0, 150.0), bad), ValueError);
  EXPECT_THROW(bad.get_inflow(), Panic);
}
