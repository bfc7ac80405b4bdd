// Radial grid, azimuth table, the sweep driver and the disk helpers shared by
// the blade-element models, and servo-flap feathering.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "bem_common.hpp"
#include "bem_fixtures.hpp"
#include "servoflap.hpp"

using namespace aerlox_rs;
using namespace aerlox_test;

namespace {

std::string panic_text(auto&& f) {
  try {
    f();
  } catch (const Panic& e) {
    return e.what();
  }
  return "<no panic>";
}

BladeGeometry plain_blade(std::size_t n) {
  BladeGeometry b;
  b.n_blades = 3;
  b.radius_m = 1.0;
  b.root_cutout_m = 0.2;
  b.chord_m = 0.05;
  b.twist_deg = -8.0;
  b.n_elements = n;
  return b;
}

}  // namespace

TEST(RadialGrid, CellCentredUniformBlade) {
  const RadialGrid g = RadialGrid::from_blade(plain_blade(4));
  EXPECT_EQ(g.n_elements, 4u);
  EXPECT_DOUBLE_EQ(g.dr, 0.2);
  const double mids[] = {0.3, 0.5, 0.7, 0.9};
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(g.r_mid[i], mids[i], 1e-15);
    EXPECT_EQ(g.x_mid[i], g.r_mid[i]);
    EXPECT_EQ(g.chord[i], 0.05);
    EXPECT_EQ(g.twist_rad[i], -0.13962634015954636);
  }
  EXPECT_EQ(g.x_hub, 0.2);
  for (std::size_t i = 4; i < MAX_BEM_ELEMENTS; ++i) {
    EXPECT_EQ(g.r_mid[i], 0.0);
    EXPECT_EQ(g.x_mid[i], 0.0);
    EXPECT_EQ(g.chord[i], 0.0);
    EXPECT_EQ(g.twist_rad[i], 0.0);
  }
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(g.r_mid.data()) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(g.twist_rad.data()) % 64, 0u);
}

TEST(RadialGrid, StationsInterpolatedInDegrees) {
  BladeGeometry b = plain_blade(2);
  b.r_stations_m = {0.2, 1.0};
  b.chord_stations_m = {0.06, 0.04};
  b.twist_stations_deg = {0.0, -10.0};
  const RadialGrid g = RadialGrid::from_blade(b);
  EXPECT_NEAR(g.r_mid[0], 0.4, 1e-15);
  EXPECT_NEAR(g.r_mid[1], 0.8, 1e-15);
  EXPECT_NEAR(g.twist_rad[0], -2.5 * DEG_TO_RAD, 1e-15);
  EXPECT_NEAR(g.twist_rad[1], -7.5 * DEG_TO_RAD, 1e-15);
  EXPECT_NEAR(g.chord[0], 0.055, 1e-15);
  EXPECT_NEAR(g.chord[1], 0.045, 1e-15);
}

TEST(RadialGrid, CapacityAndDegenerateBlades) {
  EXPECT_EQ(RadialGrid::from_blade(plain_blade(256)).n_elements, 256u);
  EXPECT_EQ(panic_text([] { RadialGrid::from_blade(plain_blade(257)); }),
            "assertion failed: n <= MAX_BEM_ELEMENTS");
  const RadialGrid empty = RadialGrid::from_blade(plain_blade(0));
  EXPECT_EQ(empty.n_elements, 0u);
  EXPECT_FALSE(std::isfinite(empty.dr));
  BladeGeometry zero_r = plain_blade(3);
  zero_r.radius_m = 0.0;
  const RadialGrid z = RadialGrid::from_blade(zero_r);
  EXPECT_EQ(z.x_mid[1], 0.0);
  EXPECT_EQ(z.x_hub, 0.0);
}

TEST(PsiTable, EquallySpacedFromZero) {
  const auto t4 = build_psi_trig_table(4);
  ASSERT_EQ(t4.size(), 4u);
  const double expect[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(t4[k].first, expect[k][0], 1e-15);
    EXPECT_NEAR(t4[k].second, expect[k][1], 1e-15);
  }
  const auto t1 = build_psi_trig_table(1);
  ASSERT_EQ(t1.size(), 1u);
  EXPECT_EQ(t1[0].first, 1.0);
  EXPECT_EQ(t1[0].second, 0.0);
  EXPECT_EQ(panic_text([] { build_psi_trig_table(0); }), "assertion failed: n_psi > 0");
}

namespace {

/// Records every call; dT = r, dQ = r^2 so that sums have a closed form.
struct CountingKernel {
  std::vector<ElementCtx> calls;
  template <class Ctx>
  std::pair<double, double> element(const Ctx&, const ElementCtx& e) {
    calls.push_back(e);
    return {e.r, e.r * e.r};
  }
};

struct SweepFixture {
  RadialGrid grid;
  LinearPolar polar{0.0, 5.7, 0.01, 0.25};
  std::vector<std::pair<double, double>> psi;
  explicit SweepFixture(std::size_t n_r = 4, std::size_t n_psi = 8)
      : grid(RadialGrid::from_blade(plain_blade(n_r))), psi(build_psi_trig_table(n_psi)) {}
  SweepCtx<LinearPolar> ctx(double omega, double vx = 0.0, double vy = 0.0, double t1c = 0.0,
                            double t1s = 0.0) const {
    return SweepCtx<LinearPolar>{grid, polar, psi, 0.1, omega, omega * 1.0, 1.2, 3, psi.size(),
                                 1.0 / static_cast<double>(psi.size()), vx, vy, t1c, t1s};
  }
};

}  // namespace

TEST(Sweep, SumsAndAveragesAgainstDirectReference) {
  SweepFixture f(4, 8);
  CountingKernel k;
  const auto ctx = f.ctx(10.0, 0.0, 0.0, 0.02, -0.03);
  const SweepSums s = ctx.run(k);
  ASSERT_EQ(k.calls.size(), 32u);
  // Stations outer, elements inner, root to tip.
  EXPECT_EQ(k.calls[0].i, 0u);
  EXPECT_EQ(k.calls[3].i, 3u);
  EXPECT_EQ(k.calls[4].i, 0u);
  double sum_r = 0, sum_r2 = 0;
  for (int i = 0; i < 4; ++i) {
    sum_r += f.grid.r_mid[i];
    sum_r2 += f.grid.r_mid[i] * f.grid.r_mid[i];
  }
  EXPECT_NEAR(s.t_total, sum_r, 1e-14);
  EXPECT_NEAR(s.q_total, sum_r2, 1e-14);
  // Axisymmetric loads leave no net in-plane force or first-harmonic moment.
  EXPECT_NEAR(s.fx_hub, 0.0, 1e-14);
  EXPECT_NEAR(s.fy_hub, 0.0, 1e-14);
  EXPECT_NEAR(s.mx_hub, 0.0, 1e-14);
  EXPECT_NEAR(s.my_hub, 0.0, 1e-14);
  // Pitch schedule handed to the kernel.
  for (const auto& e : k.calls) {
    EXPECT_NEAR(e.col_psi, 0.1 + 0.02 * e.cos_psi - 0.03 * e.sin_psi, 1e-15);
    EXPECT_EQ(e.u_t, 10.0 * e.r + e.v_t);
  }
}

TEST(Sweep, ReversedFlowSkippedAndSlowRotorNotSwept) {
  SweepFixture f(4, 4);
  {
    // Edgewise wind of 6 m/s against Omega r = 3..9 m/s: at psi = 90 deg the
    // blade moves with the wind (v_t = -6), so the inner two elements
    // (Omega r = 3, 5) see reversed flow.
    CountingKernel k;
    f.ctx(10.0, -6.0, 0.0).run(k);
    std::size_t at_90 = 0;
    for (const auto& e : k.calls)
      if (e.sin_psi > 0.5) {
        ++at_90;
        EXPECT_GT(e.u_t, 0.0);
      }
    EXPECT_EQ(at_90, 2u);
    EXPECT_EQ(k.calls.size(), 14u);
  }
  {
    CountingKernel k;
    const SweepSums s = f.ctx(1.0).run(k);  // the test is Omega > 1
    EXPECT_TRUE(k.calls.empty());
    EXPECT_EQ(s.t_total, 0.0);
    EXPECT_EQ(s.q_total, 0.0);
  }
}

TEST(Sweep, CapacityAndTableChecks) {
  {
    SweepFixture f(255, 2);
    CountingKernel k;
    EXPECT_NO_THROW(f.ctx(10.0).run(k));
  }
  {
    SweepFixture f(256, 2);
    CountingKernel k;
    EXPECT_EQ(panic_text([&] { f.ctx(10.0).run(k); }), "assertion failed: n_r < MAX_BEM_ELEMENTS");
  }
  {
    SweepFixture f(4, 4);
    auto ctx = f.ctx(10.0);
    ctx.n_psi = 5;
    CountingKernel k;
    EXPECT_THROW(ctx.run(k), Panic);
  }
}

TEST(ElementForce, LiftAndDragResolvedIntoThrustAndTorque) {
  SweepFixture f(4, 4);
  const auto ctx = f.ctx(10.0);
  ElementCtx e{};
  e.r = 0.5;
  e.chord = 0.05;
  e.dr = 0.2;
  e.col_psi = 0.1;
  e.twist = -0.02;
  const double u_p = 2.0, u_t = 40.0;
  const auto [d_t, d_q] = element_force(ctx, e, u_p, u_t);
  // Independent: lift normal to the relative wind, drag along it.
  const double w = std::hypot(u_p, u_t);
  const double alpha = 0.08 - std::atan(u_p / u_t);
  const double cl = 5.7 * alpha, cd = 0.01;
  const double qdyn = 0.5 * 1.2 * w * w * 0.05 * 0.2 * 3;
  const double lift = qdyn * cl, drag = qdyn * cd;
  EXPECT_NEAR(d_t, lift * u_t / w - drag * u_p / w, 1e-12);
  EXPECT_NEAR(d_q, 0.5 * (lift * u_p / w + drag * u_t / w), 1e-12);
}

TEST(DiskHelpers, VortexRingRegimeAndInflowCurve) {
  EXPECT_EQ(vrs_lambda1(0.0), 1.0);
  EXPECT_NEAR(vrs_lambda1(1.0), 1.816, 1e-15);
  const double area = PI * 0.64;
  const VrsRegime hover = vrs_regime(100.0, 0.0, 1.225, area);
  EXPECT_NEAR(hover.v_h, std::sqrt(100.0 / (2 * 1.225 * area)), 1e-12);
  EXPECT_FALSE(hover.in_vrs);
  const VrsRegime half = vrs_regime(100.0, -0.5 * hover.v_h, 1.225, area);
  EXPECT_TRUE(half.in_vrs);
  EXPECT_NEAR(half.lam2, 0.5, 1e-12);
  EXPECT_FALSE(vrs_regime(100.0, -0.001, 1.225, area).in_vrs);  // strict
  EXPECT_FALSE(vrs_regime(100.0, -2.5 * hover.v_h, 1.225, area).in_vrs);
  const VrsRegime no_thrust = vrs_regime(-5.0, -3.0, 1.225, area);
  EXPECT_EQ(no_thrust.v_h, 0.0);
  EXPECT_FALSE(no_thrust.in_vrs);
}

TEST(DiskHelpers, MassFlowVelocityFloorAndNaN) {
  EXPECT_DOUBLE_EQ(v_mass_flow_disk(3.0, 1.0, 3.0, 100.0), 5.0);
  EXPECT_DOUBLE_EQ(v_mass_flow_disk(0.0, 0.0, 0.0, 100.0), 1.0);
  EXPECT_DOUBLE_EQ(v_mass_flow_disk(0.0, 0.0, 0.0, 0.0), 0.01);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_DOUBLE_EQ(v_mass_flow_disk(nan, 0.0, 0.0, 100.0), 1.0);
}

TEST(FlapDynamics, FlapAnglesSolveTheFlapEquations) {
  const RadialGrid g = RadialGrid::from_blade(plain_blade(10));
  const double a_s = 3.0, a_c = -2.0, t = 200.0, omega = 40.0, rho = 1.2, cla = 5.7;
  const std::size_t nb = 3;
  // Rigid: no record, record without inertia, or a stopped rotor.
  for (const auto& flap : {std::optional<FlapProperties>{}, std::optional(FlapProperties{0.0, 5.0})}) {
    const FlapOutput o = apply_flap_dynamics(t, a_s, a_c, flap, g, cla, rho, nb, omega);
    EXPECT_EQ(o.mx_out, a_s);
    EXPECT_EQ(o.my_out, a_c);
    EXPECT_EQ(o.dfx_hub, 0.0);
  }
  const FlapProperties fp{0.05, 12.0};
  EXPECT_EQ(apply_flap_dynamics(t, a_s, a_c, fp, g, cla, rho, nb, 0.0).mx_out, a_s);

  const FlapOutput o = apply_flap_dynamics(t, a_s, a_c, fp, g, cla, rho, nb, omega);
  // Recover the flap angles from the in-plane forces and check the harmonic
  // balance of flap inertia/spring against the aerodynamic moments.
  const double beta_c = -o.dfx_hub / (0.5 * t);
  const double beta_s = o.dfy_hub / (0.5 * t);
  double sigma = 0.0;
  for (int i = 0; i < 10; ++i) sigma += g.chord[i] * std::pow(g.r_mid[i], 3) * g.dr;
  const double k = std::pow(12.0 / omega, 2), j = 0.5 * rho * cla * sigma / 0.05;
  const double w2i = omega * omega * 0.05;
  EXPECT_NEAR(w2i * (k * beta_c + j * beta_s), 2 * a_c / nb, 1e-12);
  EXPECT_NEAR(w2i * (k * beta_s - j * beta_c), 2 * a_s / nb, 1e-12);
  // Hub moment carried by the hinge spring.
  EXPECT_NEAR(o.mx_out, nb / 2.0 * 0.05 * omega * omega * k * beta_s, 1e-12);

  // No spring: no hub moment, the tilted thrust still gives in-plane force.
  const FlapOutput hinge = apply_flap_dynamics(t, a_s, a_c, FlapProperties{0.05, 0.0}, g, cla, rho, nb, omega);
  EXPECT_EQ(hinge.mx_out, 0.0);
  EXPECT_EQ(hinge.my_out, 0.0);
  EXPECT_NE(hinge.dfx_hub, 0.0);
  // Tiny Lock number: the stiff spring carries the rigid-hub moments.
  const FlapOutput stiff = apply_flap_dynamics(t, a_s, a_c, fp, g, cla, 1e-12, nb, omega);
  EXPECT_NEAR(stiff.mx_out, a_s, 1e-9);
  EXPECT_NEAR(stiff.my_out, a_c, 1e-9);
}

TEST(PitchSchedule, GainsPhaseAndServoFlap) {
  RotorDefinition d = small_rotor();
  RotorInputs in = axial_inputs(6.0, 150.0);
  in.tilt_lon = 0.02;
  in.tilt_lat = -0.01;
  Kinematics kin = kinematics(in, in.omega_rad_s, d.blade.radius_m);
  PitchSchedule p = pitch_schedule(d, in, kin);
  EXPECT_FALSE(p.feathered);
  EXPECT_EQ(p.theta_0, in.collective_rad);
  EXPECT_EQ(p.sw_1c, -0.02);
  EXPECT_EQ(p.sw_1s, -0.01);
  EXPECT_EQ(p.theta_1c, p.sw_1c);

  d.control = ControlProperties{2.0, 90.0};
  p = pitch_schedule(d, in, kin);
  EXPECT_NEAR(p.sw_1c, 0.02, 1e-15);   // -2 * tilt_lat
  EXPECT_NEAR(p.sw_1s, -0.04, 1e-15);  // -2 * tilt_lon

  ServoFlapActuation act;
  act.I_theta_kgm2 = 0.002;
  act.damper_Nms_per_rad = 0.01;
  act.ac_offset_m = 0.005;
  act.flap = {-0.6, 0.5, 0.75};
  d.pitch_actuation = ServoFlap{act};
  p = pitch_schedule(d, in, kin);
  EXPECT_TRUE(p.feathered);
  const FeatheringState f = solve_feathering(act, in.collective_rad, p.sw_1c, p.sw_1s, 1.225, 150.0,
                                             kin.mu, 0.8, 0.06, 5.7);
  EXPECT_EQ(p.theta_0, f.delta_theta_0);
  EXPECT_EQ(p.theta_1c, f.delta_theta_1c);
  EXPECT_EQ(p.theta_1s, f.delta_theta_1s);
}

namespace {
ServoFlapActuation servo(double offset, double damper) {
  ServoFlapActuation a;
  a.I_theta_kgm2 = 0.002;
  a.damper_Nms_per_rad = damper;
  a.ac_offset_m = offset;
  a.flap = {-0.6, 0.5, 0.75};
  return a;
}
}  // namespace

TEST(ServoFlap, DegenerateCasesAndPassThrough) {
  // Not spinning: zero pitch.
  for (double w : {0.0, -10.0}) {
    const auto f = solve_feathering(servo(0.01, 0.1), 0.1, 0.02, 0.03, 1.2, w, 0.1, 0.8, 0.06, 5.7);
    EXPECT_EQ(f.delta_theta_0, 0.0);
    EXPECT_EQ(f.delta_theta_1c, 0.0);
    EXPECT_EQ(f.delta_theta_1s, 0.0);
  }
  // No stiffness and no damping: nothing determines the response.
  const auto z = solve_feathering(servo(0.0, 0.0), 0.1, 0.02, 0.03, 1.2, 100.0, 0.1, 0.8, 0.06, 5.7);
  EXPECT_EQ(z.delta_theta_0, 0.0);
  EXPECT_EQ(z.delta_theta_1s, 0.0);
  // Damper only: collective passes through, cyclic lags by 90 degrees.
  const double omega = 100.0, rho = 1.2, mu = 0.1, R = 0.8, c = 0.06;
  const auto f = solve_feathering(servo(0.0, 0.05), 0.1, 0.02, 0.03, rho, omega, mu, R, c, 5.7);
  EXPECT_EQ(f.delta_theta_0, 0.1);
  const double q = 0.5 * rho * omega * omega;
  const double d = q * -0.6 * c;
  const double a0 = (std::pow(0.75, 3) - std::pow(0.5, 3)) / 3 * d;
  const double m1c = a0 * 0.02;
  const double m1s = a0 * 0.03 - 0.1 * ((0.75 * 0.75 - 0.25) * 0.5 * R * 2 * d * mu);
  const double i_w2 = 0.002 * omega * omega;
  const double u = 0.05 / (2 * 0.002 * omega);
  EXPECT_NEAR(f.delta_theta_1c, -(m1s / i_w2) / (2 * u), 1e-12);
  EXPECT_NEAR(f.delta_theta_1s, (m1c / i_w2) / (2 * u), 1e-12);
}

TEST(ServoFlap, SpanClippingSectionMomentAndSpeedIndependence) {
  // A flap reaching past the tip acts only up to the tip.
  ServoFlapActuation beyond = servo(0.01, 0.05), at_tip = servo(0.01, 0.05);
  beyond.flap.r_outer_m = 1.5;
  at_tip.flap.r_outer_m = 0.8;
  const auto fb = solve_feathering(beyond, 0.1, 0.02, 0.03, 1.2, 100.0, 0.1, 0.8, 0.06, 5.7);
  const auto ft = solve_feathering(at_tip, 0.1, 0.02, 0.03, 1.2, 100.0, 0.1, 0.8, 0.06, 5.7);
  EXPECT_EQ(fb.delta_theta_0, ft.delta_theta_0);
  EXPECT_EQ(fb.delta_theta_1s, ft.delta_theta_1s);
  // Inner edge beyond the outer: only the section moment drives collective.
  ServoFlapActuation none = servo(0.01, 0.05);
  none.flap.r_inner_m = 0.9;
  const auto fn = solve_feathering(none, 0.1, 0.02, 0.03, 1.2, 100.0, 0.1, 0.8, 0.06, 5.7);
  EXPECT_EQ(fn.delta_theta_0, 0.0);
  EXPECT_EQ(fn.delta_theta_1c, 0.0);
  none.blade_Cm_AC = -0.02;
  const auto fm = solve_feathering(none, 0.1, 0.02, 0.03, 1.2, 100.0, 0.1, 0.8, 0.06, 5.7);
  // Steady balance: section moment against the offset-AC stiffness.
  EXPECT_NEAR(fm.delta_theta_0, -0.02 / (5.7 * 0.01), 1e-12);
  // Collective balance scales with q on both sides: independent of speed.
  const auto slow = solve_feathering(servo(0.01, 0.05), 0.1, 0.0, 0.0, 1.2, 50.0, 0.0, 0.8, 0.06, 5.7);
  const auto fast = solve_feathering(servo(0.01, 0.05), 0.1, 0.0, 0.0, 1.2, 200.0, 0.0, 0.8, 0.06, 5.7);
  EXPECT_NEAR(slow.delta_theta_0, fast.delta_theta_0, 1e-15);
}
