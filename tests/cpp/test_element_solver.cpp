// The blade-element momentum solver of one element: propeller and windmill
// branches, loss factors, checked against momentum theory.
#include <gtest/gtest.h>

#include <cmath>

#include "bem_fixtures.hpp"
#include "quasi_static_bem.hpp"

using namespace aerlox_rs;
using namespace aerlox_test;

namespace {

constexpr double kOmega = 150.0;  // tip speed 120 m/s on the 0.8 m blade
const LinearPolar kPolar{0.0, 5.7, 0.011, 14.0 * DEG_TO_RAD};

BEMElementGeometry<LinearPolar> element(double r, bool tip_loss, double omega = kOmega) {
  return BEMElementGeometry<LinearPolar>::make(kPolar, r, 0.034, 0.06, -0.1, omega, 1.225, 2, 0.8,
                                               0.12, tip_loss);
}

/// Annulus momentum thrust 4 pi rho r dr V (V - V_climb) F with V the axial
/// speed through the element (no swirl).
double momentum_thrust(const BEMElementGeometry<LinearPolar>& g, double lambda, double v_climb,
                       double f) {
  const double v = lambda * g.omega_r;
  return 4.0 * PI * g.rho * g.r * g.dr * v * (v - v_climb) * f;
}

}  // namespace

TEST(ElementSolver, GeometryDerivedFields) {
  const auto g = element(0.4, true);
  EXPECT_DOUBLE_EQ(g.omega_r, 120.0);
  EXPECT_DOUBLE_EQ(g.inv_omega_r, 1.0 / 120.0);
  EXPECT_DOUBLE_EQ(g.x, 0.5);
  EXPECT_DOUBLE_EQ(g.x_hub, 0.15);
  EXPECT_DOUBLE_EQ(g.sigma_r, 2 * 0.06 / (2 * PI * 0.4));
  const auto still = BEMElementGeometry<LinearPolar>::make(kPolar, 0.0, 0.034, 0.06, 0.0, 0.0, 1.2,
                                                           2, 0.0, 0.0, true);
  EXPECT_EQ(still.inv_omega_r, 1.0);
  EXPECT_EQ(still.inv_r, 0.0);
  EXPECT_EQ(still.x, 0.0);
}

TEST(ElementSolver, StoppedRotorGivesNothing) {
  const auto g = element(0.5, true, 1e-7);
  const BEMElementResult r = solve_bem_element(g, 0.1, 0.0, 0.0);
  EXPECT_EQ(r.d_t, 0.0);
  EXPECT_EQ(r.d_q, 0.0);
  EXPECT_EQ(r.lambda_r, 0.0);
  EXPECT_EQ(r.a_prime, 0.0);
  EXPECT_EQ(r.momentum_residual, 0.0);
  EXPECT_FALSE(solve_bem_element_windmill(g, 0.1, -10.0, 0.0).has_value());
}

TEST(ElementSolver, HoverMatchesAnnulusMomentumTheory) {
  for (double r : {0.2, 0.4, 0.6, 0.75}) {
    const auto g = element(r, false);
    const BEMElementResult res = solve_bem_element(g, 0.15, 0.0, 0.0);
    EXPECT_LT(res.momentum_residual, 1e-8) << r;
    EXPECT_GT(res.d_t, 0.0);
    EXPECT_GT(res.d_q, 0.0);
    EXPECT_GT(res.lambda_r, 0.0);
    // Blade-element thrust equals the annulus momentum thrust; the swirl
    // term in the relative speed is the only (small) difference.
    EXPECT_LT(rel_diff(res.d_t, momentum_thrust(g, res.lambda_r, 0.0, 1.0)), 2.0 * res.a_prime + 1e-6)
        << r;
  }
}

TEST(ElementSolver, ClimbMatchesMomentumWithLosses) {
  const auto g = element(0.7, true);
  const double v_climb = 6.0;
  const BEMElementResult res = solve_bem_element(g, 0.2, v_climb, 0.0);
  EXPECT_LT(res.momentum_residual, 1e-8);
  EXPECT_GT(res.lambda_r, v_climb / g.omega_r);  // induced flow adds to the climb speed
  const double phi = std::atan2(res.lambda_r * g.omega_r, (1 - res.a_prime) * g.omega * g.r);
  const double f = prandtl_tip_loss(phi, g.x, 2) * prandtl_hub_loss(phi, g.x, g.x_hub, 2);
  EXPECT_LT(f, 1.0);
  EXPECT_LT(rel_diff(res.d_t, momentum_thrust(g, res.lambda_r, v_climb, f)), 2.0 * res.a_prime + 1e-6);
}

TEST(ElementSolver, LossFactors) {
  EXPECT_EQ(four_f_from_sin_abs(0.3, 0.999, 0.1, 2, false), 4.0);
  EXPECT_EQ(prandtl_tip_loss_from_sin_abs(0.3, 1.0, 2), 1.0);
  EXPECT_EQ(prandtl_tip_loss_from_sin_abs(0.3, 1.2, 2), 1.0);
  EXPECT_EQ(prandtl_tip_loss_from_sin_abs(1e-10, 0.5, 2), 1.0);
  EXPECT_EQ(prandtl_hub_loss_from_sin_abs(0.3, 0.1, 0.1, 2), 1.0);
  EXPECT_EQ(prandtl_hub_loss_from_sin_abs(0.3, 0.05, 0.1, 2), 1.0);
  EXPECT_EQ(prandtl_hub_loss_from_sin_abs(0.3, 0.5, 0.0, 2), 1.0);
  // Classic values: F = (2/pi) acos(exp(-B(1-x)/(2 x sin phi))).
  EXPECT_NEAR(prandtl_tip_loss_from_sin_abs(0.1, 0.95, 3),
              2 / PI * std::acos(std::exp(-3 * 0.05 / (2 * 0.95 * 0.1))), 1e-15);
  EXPECT_NEAR(prandtl_tip_loss(-0.1, 0.95, 3), prandtl_tip_loss(0.1, 0.95, 3), 1e-15);
  // Near the tip the loss drives F to zero; the floor keeps 4F at 4e-4.
  EXPECT_EQ(four_f_from_sin_abs(1.0, 0.999999999, 0.1, 2, true), 4e-4);
  // Tip loss turned off at the tip element: plain momentum theory.
  const auto g = element(0.79, false);
  const auto res = solve_bem_element(g, 0.2, 0.0, 0.0);
  ASSERT_GT(res.d_t, 0.0);
  EXPECT_LT(rel_diff(res.d_t, momentum_thrust(g, res.lambda_r, 0.0, 1.0)), 2.0 * res.a_prime + 1e-6);
}

TEST(ElementSolver, SlowDescentStaysOnPropellerBranch) {
  const auto g = element(0.6, true);
  // Between -0.02 Omega R (-2.4 m/s) and -1e-9 the windmill branch declines.
  for (double v : {-1e-9 * 2, -1.0, -2.39}) {
    EXPECT_FALSE(solve_bem_element_windmill(g, 0.15, v, 0.0).has_value()) << v;
    const auto a = solve_bem_element_auto(g, 0.15, v, 0.0);
    const auto p = solve_bem_element(g, 0.15, v, 0.0);
    EXPECT_EQ(a.d_t, p.d_t);
  }
  EXPECT_LT(solve_bem_element(g, 0.15, -1.0, 0.0).momentum_residual, 1e-8);
}

TEST(ElementSolver, UnsettledIterationStillAnswers) {
  // Negative loading in slow descent: the fixed point never settles, the
  // answer is produced anyway and says so through its residual.
  const auto g = element(0.6, true);
  const auto res = solve_bem_element(g, -0.2, -1.0, 0.0);
  EXPECT_TRUE(std::isfinite(res.d_t));
  EXPECT_GT(res.momentum_residual, 1e-3);
}

TEST(ElementSolver, WindmillStateSatisfiesMomentumAndInflowAngle) {
  const auto g = element(0.6, false);
  const double v_climb = -40.0;
  const auto w = solve_bem_element_windmill(g, 0.0, v_climb, 0.0);
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(w->momentum_residual, 0.0);
  EXPECT_LT(w->d_q, 0.0);  // the air drives the rotor
  EXPECT_GT(w->d_t, 0.0);  // and pushes it along the relative wind
  const double v_a = w->lambda_r * g.omega_r;
  const double a = 1.0 - v_a / v_climb;
  ASSERT_GT(a, 0.0);
  ASSERT_LT(a, 0.4);
  // Below a = 0.4: the annulus momentum thrust 4 pi rho r dr V^2 a (1 - a).
  const double t_mom = 4.0 * PI * g.rho * g.r * g.dr * v_climb * v_climb * a * (1.0 - a);
  EXPECT_LT(rel_diff(w->d_t, t_mom), 1e-6);
  // The inflow angle of the answer reproduces the answer's induction.
  const double phi = std::atan2(v_a, g.r * g.omega * (1.0 + w->a_prime));
  const auto ind = induction_at_phi(g, phi, 0.0 + g.twist_rad);
  ASSERT_TRUE(ind.has_value());
  EXPECT_NEAR(ind->a, a, 1e-7);
  EXPECT_NEAR(ind->ap, w->a_prime, 1e-7);
  // The automatic choice takes the windmill answer in this descent.
  EXPECT_EQ(solve_bem_element_auto(g, 0.0, v_climb, 0.0).d_t, w->d_t);
}

TEST(ElementSolver, WindmillHighInductionUsesBuhlCurve) {
  const auto g = element(0.6, false);
  // A heavily loaded section at an inflow angle where plain momentum would
  // give a > 0.4: the Buhl root lies in [0.4, 1] and satisfies its quadratic.
  const double phi = -0.12;
  const auto ind = induction_at_phi(g, phi, 0.2);
  ASSERT_TRUE(ind.has_value());
  const double s2 = std::sin(phi) * std::sin(phi);
  const double k = ind->cn * g.sigma_r / (s2 * 4.0);
  ASSERT_GT(k / (k + 1.0), 0.4);
  EXPECT_GE(ind->a, 0.4);
  EXPECT_LE(ind->a, 1.0);
  const double o = ind->cn * g.sigma_r / s2;
  const double a = ind->a;
  EXPECT_NEAR((50.0 / 9.0 - 4.0 - o) * a * a + (4.0 - 40.0 / 9.0 + 2 * o) * a + (8.0 / 9.0 - o), 0.0, 1e-12);
  // No induction at zero inflow angle.
  EXPECT_FALSE(induction_at_phi(g, 0.0, 0.2).has_value());
}

TEST(ElementSolver, WindmillDeclinesWithoutNormalForce) {
  // Negative lift, no drag: C_n <= 0 on the whole bracket, the residual is
  // 1000 at both ends, and the propeller branch answers instead.
  const LinearPolar down{-1.0, 0.0, 0.0, 10.0};
  const auto g = BEMElementGeometry<LinearPolar>::make(down, 0.6, 0.034, 0.06, 0.0, kOmega, 1.225,
                                                       2, 0.8, 0.12, true);
  EXPECT_FALSE(solve_bem_element_windmill(g, 0.0, -30.0, 0.0).has_value());
  const auto a = solve_bem_element_auto(g, 0.0, -30.0, 0.0);
  const auto p = solve_bem_element(g, 0.0, -30.0, 0.0);
  EXPECT_EQ(a.d_t, p.d_t);
  EXPECT_EQ(a.d_q, p.d_q);
}

TEST(ElementSolver, TabulatedTwinMatchesLinearInsideStall) {
  const TabulatedPolar table = sampled_table(kPolar);
  for (double v : {0.0, 5.0, -40.0}) {
    const auto gl = element(0.5, true);
    const auto gt = BEMElementGeometry<TabulatedPolar>::make(table, 0.5, 0.034, 0.06, -0.1, kOmega,
                                                             1.225, 2, 0.8, 0.12, true);
    const auto rl = solve_bem_element_auto(gl, 0.12, v, 0.0);
    const auto rt = solve_bem_element_auto(gt, 0.12, v, 0.0);
    EXPECT_LT(rel_diff(rl.d_t, rt.d_t), 1e-6) << v;
    EXPECT_LT(rel_diff(rl.d_q, rt.d_q), 1e-6) << v;
  }
}
