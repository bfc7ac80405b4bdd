// Blades with an airfoil per station: blending between stations, Reynolds and
// Mach number per element, rotational augmentation, and the opt-in model
// refinements (consistent swirl, Pitt-Peters tip loss).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "bem_fixtures.hpp"
#include "oye.hpp"
#include "pitt_peters.hpp"
#include "quasi_static_bem.hpp"
#include "section_polar.hpp"

using namespace aerlox_rs;
using namespace aerlox_test;

namespace {

SectionTable table_of(const TabulatedPolar& t, double re = 0.0) {
  SectionTable s;
  s.table = t;
  s.reynolds = re;
  s.cl0 = 0.0;
  s.cl_alpha_per_rad = 5.7;
  s.attached_lo_rad = -14.0 * DEG_TO_RAD;
  s.attached_hi_rad = 14.0 * DEG_TO_RAD;
  return s;
}

SectionTable linear_of(double cl_alpha, double stall_deg) {
  SectionTable s;
  s.linear = LinearPolar{0.0, cl_alpha, 0.01, stall_deg * DEG_TO_RAD};
  s.cl_alpha_per_rad = cl_alpha;
  s.attached_lo_rad = -stall_deg * DEG_TO_RAD;
  s.attached_hi_rad = stall_deg * DEG_TO_RAD;
  return s;
}

/// A table of constant lift cl and drag cd over +-90 deg.
TabulatedPolar flat_table(double cl, double cd) {
  return TabulatedPolar({-1.6, 1.6}, {cl, cl}, {cd, cd});
}

void expect_same_bits(const AeroResult& a, const AeroResult& b) {
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(a.F_world[k], b.F_world[k]) << k;
    EXPECT_EQ(a.M_hub_world[k], b.M_hub_world[k]) << k;
  }
  EXPECT_EQ(a.Q_spin, b.Q_spin);
}

template <template <class> class M, class P>
M<P> build(const RotorDefinition& d, P p, const BemOptions& o = {}) {
  if constexpr (std::is_same_v<M<P>, OyeBEMModel<P>>) return M<P>::build_with_k(d, std::move(p), 12, 0.0, o);
  else return M<P>::build(d, std::move(p), 12, o);
}

template <template <class> class M>
void three_same_airfoils_case(const RotorInputs& in) {
  const RotorDefinition d = small_rotor();
  const TabulatedPolar tab = sampled_table(polar_of(d));
  const SectionPolar one({SectionAirfoil{{table_of(tab)}, {}}}, {}, {}, {});
  const SectionAirfoil af{{table_of(tab)}, {}};
  const SectionPolar three({af, af, af}, {0.12, 0.4, 0.8}, {0, 1, 2}, {});
  const auto old_model = build<M>(d, tab);
  const auto m1 = build<M>(d, one);
  const auto m3 = build<M>(d, three);
  const auto st = old_model.initial_state();
  // A state with inflow, so the dynamic-inflow models load their elements.
  auto moved = st;
  auto x = moved.get_inflow();
  for (double& v : x) v = 0.03;
  moved.set_inflow(x);
  for (const auto& s : {st, moved}) {
    const AeroResult r_old = old_model.compute_forces(in, s).first;
    expect_same_bits(m1.compute_forces(in, s).first, r_old);
    expect_same_bits(m3.compute_forces(in, s).first, r_old);
  }
}

}  // namespace

TEST(SectionPolar, ThreeSameAirfoilsGiveTheOneAirfoilBits) {
  // Hover (the quasi-static axisymmetric pass) and edgewise flight (the sweep).
  for (const RotorInputs& in : {axial_inputs(8.0, 150.0), forward_inputs(6.0, 150.0, 0.8, 0.2)}) {
    three_same_airfoils_case<QuasiStaticBEM>(in);
    three_same_airfoils_case<PittPetersModel>(in);
    three_same_airfoils_case<OyeBEMModel>(in);
  }
}

TEST(SectionPolar, ElementBetweenStationsIsTheBlendOfItsAirfoils) {
  const RotorDefinition d = small_rotor();
  // Root airfoil thick and steep-stalling, tip airfoil thin: linear laws.
  const SectionAirfoil root{{linear_of(4.0, 10.0)}, {}};
  const SectionAirfoil tip{{linear_of(6.0, 14.0)}, {}};
  SectionPolar p({root, tip}, {0.2, 0.6}, {0, 1}, {});
  const RadialGrid g = RadialGrid::from_blade(d.blade);
  p.bind(g);
  for (std::size_t i = 0; i < g.n_elements; ++i) {
    const double r = g.r_mid[i];
    const double alpha = 0.1;
    const double t = r <= 0.2 ? 0.0 : (r >= 0.6 ? 1.0 : (r - 0.2) / 0.4);
    // By hand: 4.0 * 0.1 inboard, 6.0 * 0.1 outboard, drag 0.01 on both.
    const auto [cl, cd] = p.element_cl_cd(i, 1.225, alpha, 0.0, 50.0);
    EXPECT_NEAR(cl, 0.4 + t * 0.2, 1e-15) << r;
    EXPECT_DOUBLE_EQ(cd, 0.01);
  }
  // Past the root airfoil's stall but not the tip's, half way between.
  const auto [cl_root, cd_root] = LinearPolar{0.0, 4.0, 0.01, 10.0 * DEG_TO_RAD}.cl_cd(0.2);
  const auto [cl_tip, cd_tip] = LinearPolar{0.0, 6.0, 0.01, 14.0 * DEG_TO_RAD}.cl_cd(0.2);
  std::size_t mid = 0;
  while (g.r_mid[mid] < 0.4) ++mid;
  const double t = (g.r_mid[mid] - 0.2) / 0.4;
  const auto [cl, cd] = p.element_cl_cd(mid, 1.225, 0.2, 0.0, 50.0);
  EXPECT_DOUBLE_EQ(cl, cl_root + t * (cl_tip - cl_root));
  EXPECT_DOUBLE_EQ(cd, cd_root + t * (cd_tip - cd_root));
}

TEST(SectionPolar, ReynoldsInterpolatesInLogAndCountsClampedLookups) {
  const RotorDefinition d = small_rotor();
  const SectionAirfoil af{{table_of(flat_table(0.5, 0.02), 1e5), table_of(flat_table(1.0, 0.01), 4e5)}, {}};
  SectionPolar p({af}, {}, {}, {});
  p.bind(RadialGrid::from_blade(d.blade));
  const double per_speed = 1.225 * 0.06 / 1.789e-5;  // Re per m/s of the 6 cm chord
  take_reynolds_clamps();
  // Re = 2e5 is half way between 1e5 and 4e5 in ln Re.
  const auto [cl, cd] = p.element_cl_cd(3, 1.225, 0.05, 0.0, 2e5 / per_speed);
  EXPECT_NEAR(cl, 0.75, 1e-12);
  EXPECT_NEAR(cd, 0.015, 1e-12);
  EXPECT_EQ(take_reynolds_clamps().count, 0u);
  EXPECT_EQ(p.element_cl_cd(3, 1.225, 0.05, 0.0, 1e4 / per_speed).first, 0.5);
  EXPECT_EQ(p.element_cl_cd(3, 1.225, 0.05, 0.0, 1e6 / per_speed).first, 1.0);
  const ReynoldsClamps c = take_reynolds_clamps();
  EXPECT_EQ(c.count, 2u);
  EXPECT_NEAR(c.lowest, 1e4, 1e-6);
  EXPECT_NEAR(c.highest, 1e6, 1e-4);
  EXPECT_EQ(take_reynolds_clamps().count, 0u);
}

TEST(SectionPolar, CompressibilityAndAugmentationActWhereTheyShould) {
  const RotorDefinition d = small_rotor();
  const RadialGrid g = RadialGrid::from_blade(d.blade);
  const SectionAirfoil af{{linear_of(6.0, 12.0)}, {}};
  SectionOptions o;
  o.compressibility = Compressibility::prandtl_glauert;
  SectionPolar pg({af}, {}, {}, o);
  pg.bind(g);
  const double a = o.speed_of_sound_m_s;
  // Attached: 1/sqrt(1 - 0.6^2) = 1.25; far past stall (beyond the fade): none.
  EXPECT_NEAR(pg.element_cl_cd(5, 1.225, 0.1, 0.0, 0.6 * a).first, 0.6 * 1.25, 1e-12);
  EXPECT_EQ(pg.element_cl_cd(5, 1.225, 0.5, 0.0, 0.6 * a).first, 6.0 * 12.0 * DEG_TO_RAD);
  // Held at the Mach limit 0.7.
  EXPECT_NEAR(pg.element_cl_cd(5, 1.225, 0.1, 0.0, 0.95 * a).first, 0.6 / std::sqrt(1.0 - 0.49), 1e-12);

  o = SectionOptions{};
  o.augmentation = Augmentation::snel;
  SectionPolar sn({af}, {}, {}, o);
  sn.bind(g);
  const double alpha = 20.0 * DEG_TO_RAD;  // past stall, inside the full range
  for (std::size_t i : {std::size_t{0}, g.n_elements - 1}) {
    const double k = 3.0 * std::pow(g.chord[i] / g.r_mid[i], 2);
    const double cl2d = 6.0 * 12.0 * DEG_TO_RAD;
    EXPECT_NEAR(sn.element_cl_cd(i, 1.225, alpha, 0.0, 50.0).first, cl2d + k * (6.0 * alpha - cl2d), 1e-12);
    // Attached flow is left alone.
    EXPECT_EQ(sn.element_cl_cd(i, 1.225, 0.1, 0.0, 50.0).first, 0.0 + 0.1 * 6.0);
  }
}

TEST(SectionPolar, RefusesMalformedBlades) {
  const SectionAirfoil af{{linear_of(6.0, 12.0)}, {}};
  EXPECT_THROW(SectionPolar({}, {}, {}, {}), ValueError);
  EXPECT_THROW(SectionPolar({af, af}, {}, {}, {}), ValueError);
  EXPECT_THROW(SectionPolar({af}, {0.3, 0.2}, {0, 0}, {}), ValueError);
  EXPECT_THROW(SectionPolar({af}, {0.3}, {1}, {}), ValueError);
  const SectionAirfoil two_re{{table_of(flat_table(0.5, 0.02), 4e5), table_of(flat_table(1.0, 0.01), 1e5)}, {}};
  EXPECT_THROW(SectionPolar({two_re}, {}, {}, {}), ValueError);
  SectionOptions o;
  o.mach_limit = 1.0;
  EXPECT_THROW(SectionPolar({af}, {}, {}, o), ValueError);
}

TEST(SectionPolar, ConsistentSwirlBalancesMomentumAtTheLoadsSpeed) {
  const RotorDefinition d = small_rotor();
  const LinearPolar p = polar_of(d);
  const RadialGrid g = RadialGrid::from_blade(d.blade);
  const double omega = 150.0;
  for (std::size_t i : {std::size_t{2}, std::size_t{10}, std::size_t{18}}) {
    auto geom = BEMElementGeometry<LinearPolar>::make(p, g.r_mid[i], g.dr, g.chord[i], g.twist_rad[i], omega,
                                                      1.225, 2, 0.8, 0.12, true);
    const BEMElementResult plain = solve_bem_element(geom, 8.0 * DEG_TO_RAD, 1.0, 0.0);
    geom.consistent_swirl = true;
    const BEMElementResult res = solve_bem_element(geom, 8.0 * DEG_TO_RAD, 1.0, 0.0);
    ASSERT_GT(res.a_prime, 0.0);
    // Momentum thrust of the annulus against the element's thrust, both at
    // the speed the section sees: W^2 = U_P^2 + ((1 - a') Omega r)^2.
    const double omega_r = omega * 0.8;
    const double lam = res.lambda_r;
    const double ut = (1.0 - res.a_prime) * omega * g.r_mid[i];
    const double f = 0.25 * four_f_from_sin_abs(std::fabs(std::sin(res.phi)), geom.x, geom.x_hub, 2, true);
    const double dt_momentum = 4.0 * f * PI * g.r_mid[i] * 1.225 * (lam * omega_r) *
                               (lam * omega_r - 1.0) * g.dr;
    EXPECT_LT(rel_diff(res.d_t, dt_momentum), 1e-5) << i;
    EXPECT_NEAR(res.q_dyn, 0.5 * 1.225 * (lam * lam * omega_r * omega_r + ut * ut), 1e-9 * res.q_dyn);
    // Less tangential speed in the balance: a little less inflow.
    EXPECT_LT(res.lambda_r, plain.lambda_r) << i;
  }
}

TEST(SectionPolar, PittPetersTipLossIsAnEffectiveRadius) {
  const RotorDefinition d = small_rotor();
  const LinearPolar p = polar_of(d);
  BemOptions o;
  o.pitt_peters_tip_loss = true;
  const auto plain = PittPetersModel<LinearPolar>::build(d, p, 12);
  const auto lossy = PittPetersModel<LinearPolar>::build(d, p, 12, o);
  const PittPetersRotorState st{0.05, 0.0, 0.0};
  const RotorInputs in = axial_inputs(14.0, 150.0);
  const SpanwiseLoads a = plain.spanwise(in, st);
  const SpanwiseLoads b = lossy.spanwise(in, st);
  // B = 1 / (1 + 2 sqrt(lambda_0 lambda_mf) / N_b), lambda_mf = lambda_0 in hover.
  const double r_eff = 0.8 / (1.0 + 2.0 * 0.05 / 2.0);
  const RadialGrid& g = lossy.grid();
  for (std::size_t i = 0; i < a.n_r; ++i) {
    const double share = std::clamp((r_eff - (g.r_mid[i] - 0.5 * g.dr)) / g.dr, 0.0, 1.0);
    if (share == 1.0) {
      EXPECT_EQ(b.thrust_n[i], a.thrust_n[i]) << i;
    }
    EXPECT_NEAR(b.cl[i], share * a.cl[i], 1e-14) << i;
    EXPECT_GT(b.torque_nm[i], 0.0) << i;  // drag still acts
  }
  // Momentum over the smaller disk: the same thrust asks for more inflow.
  const auto [r_plain, d_plain] = plain.compute_forces(in, st);
  const auto [r_lossy, d_lossy] = lossy.compute_forces(in, st);
  const double target_plain = 0.05 + d_plain.lambda_0 * plain.inflow_taus(in, st)[0];
  const double target_lossy = 0.05 + d_lossy.lambda_0 * lossy.inflow_taus(in, st)[0];
  const double t_ratio = -r_lossy.F_world.z() / -r_plain.F_world.z();
  EXPECT_NEAR(target_lossy / target_plain, t_ratio / (r_eff / 0.8) / (r_eff / 0.8), 1e-9);
}
