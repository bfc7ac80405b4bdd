// Shared records, polars, rotor definition, cyclic mapping, spin dynamics and
// number formatting.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "aero_io.hpp"
#include "cyclic.hpp"
#include "mechanical.hpp"
#include "numfmt.hpp"
#include "panic.hpp"
#include "polar.hpp"
#include "rotor_definition.hpp"

using namespace aerlox_rs;

TEST(NumFmt, PlainForm) {
  EXPECT_EQ(fmt_plain(3.0), "3");
  EXPECT_EQ(fmt_plain(0.1), "0.1");
  EXPECT_EQ(fmt_plain(-0.0), "-0");
  EXPECT_EQ(fmt_plain(0.0), "0");
  EXPECT_EQ(fmt_plain(-3.25), "-3.25");
  EXPECT_EQ(fmt_plain(std::ldexp(1.0, 60)), "1152921504606847000");
  EXPECT_EQ(fmt_plain(1e-7), "0.0000001");
  EXPECT_EQ(fmt_plain(123.456), "123.456");
  EXPECT_EQ(fmt_plain(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(fmt_plain(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(NumFmt, DebugForm) {
  EXPECT_EQ(fmt_debug(3.0), "3.0");
  EXPECT_EQ(fmt_debug(0.0), "0.0");
  EXPECT_EQ(fmt_debug(-0.0), "-0.0");
  EXPECT_EQ(fmt_debug(1e-5), "1e-5");
  EXPECT_EQ(fmt_debug(1e-4), "0.0001");
  EXPECT_EQ(fmt_debug(1.5e16), "1.5e16");
  EXPECT_EQ(fmt_debug(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(fmt_debug(-2.5e-7), "-2.5e-7");
  EXPECT_EQ(vec3_debug(Vec3{{0.0, 0.0, 1e-5}}), "Vec3([0.0, 0.0, 1e-5])");
}

TEST(Panic, AssertCarriesConditionText) {
  try {
    const int n_psi = 0;
    AERLOX_ASSERT(n_psi > 0);
    FAIL();
  } catch (const Panic& e) {
    EXPECT_STREQ(e.what(), "assertion failed: n_psi > 0");
  }
  std::vector<int> v(3);
  EXPECT_THROW(at(v, 3), Panic);
  EXPECT_NO_THROW(at(v, 2));
}

TEST(LinearPolar, AttachedAndStalledBranches) {
  const LinearPolar p{0.2, 5.7, 0.01, 0.25};
  auto [cl, cd] = p.cl_cd(0.1);
  EXPECT_DOUBLE_EQ(cl, 0.77);
  EXPECT_EQ(cd, 0.01);
  std::tie(cl, cd) = p.cl_cd(0.25);
  EXPECT_DOUBLE_EQ(cl, 1.625);
  std::tie(cl, cd) = p.cl_cd(0.35);
  EXPECT_EQ(cl, std::fabs(0.2 + 0.25 * 5.7));
  EXPECT_EQ(cd, 0.10999999999999997);
  std::tie(cl, cd) = p.cl_cd(-0.35);
  EXPECT_EQ(cl, -std::fabs(0.2 + 0.25 * 5.7));
  std::tie(cl, cd) = p.cl_cd(-0.2);
  EXPECT_DOUBLE_EQ(cl, -0.94);
}

TEST(LinearPolar, NanTakesDifferentBranchesInScalarAndArrayForms) {
  const LinearPolar p{0.2, 5.7, 0.01, 0.25};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto [cl, cd] = p.cl_cd(nan);
  EXPECT_TRUE(std::isnan(cd));
  EXPECT_EQ(std::fabs(cl), std::fabs(0.2 + 0.25 * 5.7));
  double a[1] = {nan}, l[1], d[1];
  p.cl_cd_into(a, l, d);
  EXPECT_TRUE(std::isnan(l[0]));
  EXPECT_EQ(d[0], 0.01);
}

TEST(TabulatedPolar, InterpolatesAndClamps) {
  const TabulatedPolar t({-0.1, 0.0, 0.1}, {-0.5, 0.0, 0.5}, {0.02, 0.01, 0.02});
  EXPECT_DOUBLE_EQ(t.cl_cd(0.05).first, 0.25);
  EXPECT_EQ(t.cl_cd(1.0).first, 0.5);
  EXPECT_EQ(t.cl_cd(-1.0).first, -0.5);
  EXPECT_EQ(t.cl_cd(0.0).first, 0.0);
  const TabulatedPolar one({0.3}, {1.1}, {0.05});
  EXPECT_EQ(one.cl_cd(-5.0), std::make_pair(1.1, 0.05));
  EXPECT_EQ(one.cl_cd(5.0), std::make_pair(1.1, 0.05));
}

TEST(TabulatedPolar, RejectsMalformedTables) {
  EXPECT_THROW(TabulatedPolar({1, 2}, {1}, {1, 2}), ValueError);
  EXPECT_THROW(TabulatedPolar({}, {}, {}), ValueError);
}

TEST(BladeGeometry, DerivedQuantities) {
  BladeGeometry b;
  b.n_blades = 3;
  b.radius_m = 1.0;
  b.root_cutout_m = 0.2;
  b.chord_m = 0.05;
  EXPECT_DOUBLE_EQ(b.span_m(), 0.8);
  EXPECT_NEAR(b.r_cp_m(), 0.733333, 1e-6);
  EXPECT_DOUBLE_EQ(b.disk_area_m2(), M_PI * 0.96);
  EXPECT_DOUBLE_EQ(b.solidity(), 0.15 / M_PI);
  EXPECT_FALSE(b.has_radial_stations());
  b.r_stations_m = {0.2, 0.6, 1.0};
  b.chord_stations_m = {0.06, 0.05, 0.04};
  b.twist_stations_deg = {0, -4, -8};
  ASSERT_TRUE(b.has_radial_stations());
  EXPECT_DOUBLE_EQ(b.chord_at(0.4), 0.055);
  EXPECT_EQ(b.chord_at(0.1), 0.06);
  EXPECT_EQ(b.chord_at(1.2), 0.04);
  EXPECT_EQ(b.chord_at(0.6), 0.05);
  b.twist_stations_deg.pop_back();  // unequal lengths: uniform values again
  EXPECT_FALSE(b.has_radial_stations());
  EXPECT_EQ(b.chord_at(0.4), 0.05);
}

TEST(Cyclic, GainAndPhase) {
  auto [c, s] = cyclic_coeffs(0.1, 0.0, {});
  EXPECT_EQ(c, -0.1);
  EXPECT_EQ(s, 0.0);
  std::tie(c, s) = cyclic_coeffs(0.1, 0.0, {2.0, 90.0 * DEG_TO_RAD});
  EXPECT_NEAR(c, 0.0, 1e-16);
  EXPECT_DOUBLE_EQ(s, -0.2);
  RotorDefinition d;
  EXPECT_EQ(d.control_gains().gain, 1.0);
  d.control = ControlProperties{0.5, std::nullopt};
  EXPECT_EQ(d.control_gains().gain, 0.5);
  EXPECT_EQ(d.control_gains().phase_rad, 0.0);
}

TEST(Mechanical, DerivativeAndStep) {
  using namespace mechanical;
  EXPECT_EQ(omega_derivative(10, 2, 5, 0.5, 0), 6.0);
  EXPECT_EQ(omega_derivative(10, 2, 5, 0.5, 1), 4.0);
  EXPECT_EQ(omega_derivative(-10, 2, 5, 0.5, 1), 8.0);
  EXPECT_EQ(omega_derivative(0, 2, 5, 0.5, 1), 6.0);
  EXPECT_EQ(step_omega(10, 2, 5, 0.5, 0.1, 0), 11.0 / 1.04);
  EXPECT_EQ(step_omega(10, 0, 5, 0.5, 0.1, 0), 11.0);
  EXPECT_EQ(step_omega(10, -2, 5, 0.5, 0.1, 0), 10 + (7 / 0.5) * 0.1);
  EXPECT_EQ(step_omega(0.001, 0, 0, 1, 1, 1), 0.0);
  EXPECT_EQ(step_omega(0, 0, 0, 1, 1, 1), 0.0);
  // Just below the rest threshold the explicit branch runs whatever q_aero is.
  EXPECT_EQ(step_omega(0.9e-12, 5, 0, 1, 1, 0), 0.0);
}
