// The spanwise view of the blade-element models: the recording sink sees every
// swept element once, and its per-blade loads add up to the hub loads. Run
// under the sanitizers, this also covers the sink's indexing.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "bem_fixtures.hpp"
#include "oye.hpp"
#include "pitt_peters.hpp"
#include "quasi_static_bem.hpp"

using namespace aerlox_test;

namespace {

template <class M>
void expect_sums_match(const M& model, const RotorInputs& in, const typename M::State& st) {
  const auto [res, deriv] = model.compute_forces(in, st);
  const SpanwiseLoads s = model.spanwise(in, st);
  ASSERT_EQ(s.n_r, model.grid().n_elements);
  ASSERT_EQ(s.n_psi, model.n_psi_elements());
  ASSERT_EQ(s.thrust_n.size(), s.n_psi * s.n_r);
  const double k = static_cast<double>(s.n_blades) / static_cast<double>(s.n_psi);
  const double t = k * std::accumulate(s.thrust_n.begin(), s.thrust_n.end(), 0.0);
  const double q = k * std::accumulate(s.torque_nm.begin(), s.torque_nm.end(), 0.0);
  // Thrust is -F_z in hub axes; the fixtures use the identity hub.
  EXPECT_LT(rel_diff(t, -res.F_world.z()), 1e-12);
  EXPECT_LT(rel_diff(q, res.Q_spin), 1e-12);
  for (std::size_t j = 0; j < s.thrust_n.size(); ++j) {
    if (s.thrust_n[j] != 0.0) {
      EXPECT_TRUE(std::isfinite(s.alpha_rad[j]) && std::isfinite(s.q_dyn_pa[j])) << j;
    }
  }
}

}  // namespace

TEST(Spanwise, SumsMatchTheHubLoadsOfEveryModel) {
  const RotorDefinition d = small_rotor();
  const auto qs = QuasiStaticBEM<LinearPolar>::build(d, polar_of(d), 24);
  const auto qs_tab = QuasiStaticBEM<TabulatedPolar>::build(d, sampled_table(polar_of(d)), 24);
  const auto pp = PittPetersModel<LinearPolar>::build(d, polar_of(d), 24);
  const auto oye = OyeBEMModel<LinearPolar>::build_with_k(d, polar_of(d), 24, 0.0);
  PittPetersRotorState pp_state{0.05, 0.01, -0.02};
  OyeRotorState oye_state = OyeRotorState::zeros(20);
  for (std::size_t i = 0; i < 20; ++i) oye_state.W[i] = 0.03 + 0.001 * static_cast<double>(i);

  for (const RotorInputs& in : {axial_inputs(10.0, 180.0), forward_inputs(10.0, 180.0, 0.8, 0.25),
                                forward_inputs(10.0, 180.0, 0.8, 0.7)}) {
    expect_sums_match(qs, in, {});
    expect_sums_match(qs_tab, in, {});
    expect_sums_match(pp, in, pp_state);
    expect_sums_match(oye, in, oye_state);
  }
}

TEST(Spanwise, AxisymmetricPassFillsEveryStationAndARestingRotorNone) {
  const RotorDefinition d = small_rotor(8);
  const auto qs = QuasiStaticBEM<LinearPolar>::build(d, polar_of(d), 5);
  const SpanwiseLoads s = qs.spanwise(axial_inputs(8.0, 150.0), {});
  for (std::size_t k = 1; k < s.n_psi; ++k)
    for (std::size_t i = 0; i < s.n_r; ++i) {
      EXPECT_EQ(s.thrust_n[k * s.n_r + i], s.thrust_n[i]);
      EXPECT_EQ(s.alpha_rad[k * s.n_r + i], s.alpha_rad[i]);
    }
  // Below the sweep's spin threshold nothing is swept: no loads, NaN flow.
  const auto pp = PittPetersModel<LinearPolar>::build(d, polar_of(d), 5);
  const SpanwiseLoads rest = pp.spanwise(axial_inputs(8.0, 0.5), {});
  for (std::size_t j = 0; j < rest.thrust_n.size(); ++j) {
    EXPECT_EQ(rest.thrust_n[j], 0.0);
    EXPECT_TRUE(std::isnan(rest.cl[j]));
  }
}
