// Inflow relaxation and cyclic trim over the blade-element models.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "bem_fixtures.hpp"
#include "oye.hpp"
#include "pitt_peters.hpp"
#include "quasi_static_bem.hpp"
#include "trim.hpp"

using namespace aerlox_rs;
using namespace aerlox_test;

namespace {

/// A stiff flapping blade (flap frequency ratio about 1.3 at 150 rad/s), so
/// the hub moment lags the cyclic pitch by well under 60 degrees.
RotorDefinition flapping_rotor() {
  RotorDefinition d = small_rotor();
  d.flap = FlapProperties{0.1, 120.0};
  return d;
}

std::string panic_text(auto&& f) {
  try {
    f();
  } catch (const Panic& e) {
    return e.what();
  }
  return "<no panic>";
}

template <class Model>
void expect_trims_forward_flight(const Model& m) {
  const RotorInputs in = forward_inputs(10.0, 150.0, 0.8, 0.15);
  const auto [mx0, my0] = eval_moment(m, relax_inflow(m, m.initial_state(), in, 100, 0.005), in);
  ASSERT_GT(std::hypot(mx0, my0), 5.0);  // far from trim to begin with
  TrimOptions opt;
  const auto out = solve_trim_cyclic(m, m.initial_state(), in, opt);
  EXPECT_TRUE(out.converged);
  EXPECT_LT(std::fabs(out.Mx_residual), opt.tolerance_Nm);
  EXPECT_LT(std::fabs(out.My_residual), opt.tolerance_Nm);
  EXPECT_GE(out.iterations, 2u);
  EXPECT_LT(out.iterations, opt.max_iterations);
  EXPECT_GT(out.tilt_lat, 0.01);  // cyclic against the advancing-side roll
  // The residuals are those of the returned state at the returned tilt.
  RotorInputs trimmed = in;
  trimmed.tilt_lon = out.tilt_lon;
  trimmed.tilt_lat = out.tilt_lat;
  const auto [mx, my] = eval_moment(m, out.final_state, trimmed);
  EXPECT_EQ(mx, out.Mx_residual);
  EXPECT_EQ(my, out.My_residual);
  // Starting at the answer: converged on the first pass, tilt untouched.
  opt.tilt_lon_init = out.tilt_lon;
  opt.tilt_lat_init = out.tilt_lat;
  const auto again = solve_trim_cyclic(m, out.final_state, in, opt);
  EXPECT_TRUE(again.converged);
  EXPECT_EQ(again.iterations, 1u);
  EXPECT_EQ(again.tilt_lon, out.tilt_lon);
  EXPECT_EQ(again.tilt_lat, out.tilt_lat);
}

}  // namespace

TEST(Trim, ForwardFlightFlappingRotorEveryModel) {
  const RotorDefinition d = flapping_rotor();
  expect_trims_forward_flight(PittPetersModel<LinearPolar>::build(d, polar_of(d), 36));
  expect_trims_forward_flight(QuasiStaticBEM<LinearPolar>::build(d, polar_of(d), 36));
  expect_trims_forward_flight(OyeBEMModel<TabulatedPolar>::build_with_k(d, sampled_table(polar_of(d)), 36, 0.0));
}

TEST(Trim, NonZeroTargetInHubAxesOfATiltedHub) {
  const RotorDefinition d = flapping_rotor();
  const auto m = PittPetersModel<LinearPolar>::build(d, polar_of(d), 24);
  RotorInputs in = forward_inputs(10.0, 150.0, 0.8, 0.1);
  in.R_hub = rotation(0.0, 1.0, 0.0, -0.1);  // nose-down shaft
  TrimOptions opt;
  opt.target_mx = 2.0;
  opt.target_my = -1.0;
  const auto out = solve_trim_cyclic(m, m.initial_state(), in, opt);
  ASSERT_TRUE(out.converged);
  RotorInputs at_trim = in;
  at_trim.tilt_lon = out.tilt_lon;
  at_trim.tilt_lat = out.tilt_lat;
  const AeroResult r = m.compute_forces(at_trim, out.final_state).first;
  const Vec3 hub = in.R_hub.transpose() * r.M_hub_world;
  EXPECT_NEAR(hub.x(), 2.0, opt.tolerance_Nm);
  EXPECT_NEAR(hub.y(), -1.0, opt.tolerance_Nm);
}

TEST(Trim, UnreachableTargetEndsOnABound) {
  const RotorDefinition d = flapping_rotor();
  const auto m = QuasiStaticBEM<LinearPolar>::build(d, polar_of(d), 24);
  TrimOptions opt;
  opt.target_mx = 1e4;
  opt.max_iterations = 12;
  const auto out = solve_trim_cyclic(m, m.initial_state(), forward_inputs(10.0, 150.0, 0.8, 0.1), opt);
  EXPECT_FALSE(out.converged);
  EXPECT_EQ(out.iterations, 12u);
  EXPECT_TRUE(std::fabs(out.tilt_lat) == opt.tilt_max || std::fabs(out.tilt_lon) == opt.tilt_max);
  EXPECT_GT(std::fabs(out.Mx_residual), 1e3);
}

TEST(Trim, ZeroIterationsAndClampedStart) {
  const RotorDefinition d = flapping_rotor();
  const auto m = PittPetersModel<LinearPolar>::build(d, polar_of(d), 24);
  const RotorInputs in = forward_inputs(10.0, 150.0, 0.8, 0.1);
  TrimOptions opt;
  opt.max_iterations = 0;
  opt.tilt_lon_init = 1.0;
  opt.tilt_lat_init = -1.0;
  const auto out = solve_trim_cyclic(m, m.initial_state(), in, opt);
  EXPECT_EQ(out.iterations, 0u);
  EXPECT_FALSE(out.converged);
  EXPECT_EQ(out.tilt_lon, opt.tilt_max);
  EXPECT_EQ(out.tilt_lat, opt.tilt_min);
  // The state was relaxed once, at the clamped tilt.
  RotorInputs clamped = in;
  clamped.tilt_lon = opt.tilt_max;
  clamped.tilt_lat = opt.tilt_min;
  const auto relaxed = relax_inflow(m, m.initial_state(), clamped, opt.n_inflow_relax, opt.dt_relax);
  EXPECT_EQ(out.final_state.lambda_0, relaxed.lambda_0);
  EXPECT_EQ(out.final_state.lambda_c, relaxed.lambda_c);
}

TEST(Trim, FlatResponseLeavesTiltAlone) {
  // A stopped rotor: no moment at any tilt, so no Newton step is taken.
  const RotorDefinition d = flapping_rotor();
  const auto m = PittPetersModel<LinearPolar>::build(d, polar_of(d), 12);
  TrimOptions opt;
  opt.target_my = 1.0;
  opt.max_iterations = 3;
  opt.tilt_lon_init = 0.05;
  const auto out = solve_trim_cyclic(m, m.initial_state(), axial_inputs(10.0, 0.0), opt);
  EXPECT_EQ(out.tilt_lon, 0.05);
  EXPECT_EQ(out.tilt_lat, 0.0);
  EXPECT_EQ(out.iterations, 3u);
  EXPECT_FALSE(out.converged);
  EXPECT_EQ(out.My_residual, -1.0);
}

TEST(Trim, BadBoundsFailBeforeAnyEvaluation) {
  const RotorDefinition d = small_rotor();
  const auto m = OyeBEMModel<LinearPolar>::build_with_k(d, polar_of(d), 12, 0.0);
  // A state that would fail inside the model if it were ever evaluated.
  const OyeRotorState wrong = OyeRotorState::zeros(3);
  TrimOptions opt;
  opt.tilt_min = 0.1;
  opt.tilt_max = -0.1;
  EXPECT_EQ(panic_text([&] { solve_trim_cyclic(m, wrong, axial_inputs(8.0, 150.0), opt); }),
            "min > max, or either was NaN. min = 0.1, max = -0.1");
  opt.tilt_min = std::numeric_limits<double>::quiet_NaN();
  opt.tilt_max = 0.25;
  EXPECT_EQ(panic_text([&] { solve_trim_cyclic(m, wrong, axial_inputs(8.0, 150.0), opt); }),
            "min > max, or either was NaN. min = NaN, max = 0.25");
  // With usable bounds the mismatched state is the failure: a caller's
  // mistake, refused before any evaluation.
  opt.tilt_min = -0.25;
  EXPECT_THROW(solve_trim_cyclic(m, wrong, axial_inputs(8.0, 150.0), opt), ValueError);
  EXPECT_EQ(clamp_checked(0.3, -0.2, 0.2), 0.2);
  EXPECT_EQ(clamp_checked(-0.3, -0.2, 0.2), -0.2);
  EXPECT_EQ(clamp_checked(0.1, 0.1, 0.1), 0.1);
}

TEST(Relax, QuasiStaticUnchangedAndZeroStepsCopy) {
  const RotorDefinition d = small_rotor();
  const auto qs = QuasiStaticBEM<LinearPolar>::build(d, polar_of(d), 12);
  EXPECT_TRUE(relax_inflow(qs, qs.initial_state(), axial_inputs(8.0, 150.0), 50, 0.005).get_inflow().empty());
  const auto pp = PittPetersModel<LinearPolar>::build(d, polar_of(d), 12);
  const PittPetersRotorState s{0.03, 0.001, -0.002};
  const auto r = relax_inflow(pp, s, axial_inputs(8.0, 150.0), 0, 0.005);
  EXPECT_EQ(r.get_inflow(), s.get_inflow());
  // Relaxation settles where time stepping settles.
  const RotorInputs in = forward_inputs(10.0, 150.0, 0.8, 0.15);
  const auto a = relax_inflow(pp, pp.initial_state(), in, 2000, 0.005);
  auto b = pp.initial_state();
  for (int i = 0; i < 2000; ++i) b = pp.step(in, b, 0.005, IntegrationMethod::ExponentialRelaxation).second;
  EXPECT_NEAR(a.lambda_0, b.lambda_0, 1e-10);
  EXPECT_NEAR(a.lambda_s, b.lambda_s, 1e-10);
}

TEST(Relax, SemiImplicitStepRule) {
  const PittPetersRotorState x{1.0, 2.0, 3.0}, xdot{0.5, -1.0, 2.0};
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> taus{0.1, inf, 0.2};
  const auto n = semi_implicit_step(x, xdot, taus, 0.1);
  EXPECT_DOUBLE_EQ(n.lambda_0, 1.0 + 0.05 * 0.5);
  EXPECT_DOUBLE_EQ(n.lambda_c, 2.0 - 0.1);
  EXPECT_DOUBLE_EQ(n.lambda_s, 3.0 + 0.2 / 1.5);
  EXPECT_THROW(semi_implicit_step(x, xdot, std::vector<double>{0.1, 0.1}, 0.1), Panic);
}
