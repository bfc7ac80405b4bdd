// The velocity gradient of the direct sum: against the derivative of the
// kernel in double precision, and the same bits on every instruction set and
// worker count.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "vpm/common.hpp"
#include "vpm/pool.hpp"
#include "vpm_test_util.hpp"

using namespace aerlox_rs::vpm;

namespace {

bool same_bits(const VelGrad& a, const VelGrad& b) {
  if (a.vel.size() != b.vel.size() || a.grad.size() != b.grad.size()) return false;
  for (std::size_t j = 0; j < a.vel.size(); ++j) {
    for (int k = 0; k < 3; ++k)
      if (std::bit_cast<std::uint32_t>(a.vel[j][k]) != std::bit_cast<std::uint32_t>(b.vel[j][k])) return false;
    for (int k = 0; k < 9; ++k)
      if (std::bit_cast<std::uint32_t>(a.grad[j][k]) != std::bit_cast<std::uint32_t>(b.grad[j][k])) return false;
  }
  return true;
}

}  // namespace

TEST(VpmGradient, MatchesTheKernelsDerivativeAndIsDivergenceFree) {
  const ParticleField f = vpm_test::helical_wake(200, 7);
  std::vector<float> tx(f.px.begin(), f.px.begin() + 20), ty(f.py.begin(), f.py.begin() + 20),
      tz(f.pz.begin(), f.pz.begin() + 20);
  tx.push_back(0.3f), ty.push_back(-0.2f), tz.push_back(0.1f);  // a point off the wake
  const VelGrad vg = induced_with_gradient_at(f, tx, ty, tz);
  // The velocity is the direct sum's, bit for bit.
  EXPECT_EQ(vpm_test::first_bit_difference(vg.vel, induced_at_points(f, tx, ty, tz)), -1);
  for (std::size_t j = 0; j < tx.size(); ++j) {
    double scale = 0.0;
    for (float g : vg.grad[j]) scale = std::fmax(scale, std::fabs(g));
    const double h = 1e-4;
    for (int m = 0; m < 3; ++m) {
      double xp[3] = {tx[j], ty[j], tz[j]}, xm[3] = {tx[j], ty[j], tz[j]};
      xp[m] += h;
      xm[m] -= h;
      const auto up = vpm_test::velocity_double(f, xp[0], xp[1], xp[2]);
      const auto um = vpm_test::velocity_double(f, xm[0], xm[1], xm[2]);
      for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(vg.grad[j][3 * i + m], (up[i] - um[i]) / (2 * h), 2e-3 * scale + 1e-6) << j << " " << i << m;
    }
    EXPECT_NEAR(vg.grad[j][0] + vg.grad[j][4] + vg.grad[j][8], 0.0, 1e-4 * scale + 1e-7);
  }
}

TEST(VpmGradient, SameBitsOnEveryInstructionSetAndWorkerCount) {
  vpm_test::IsaPoolGuard restore;
  for (std::size_t n : {1u, 13u, 301u}) {
    const ParticleField f = vpm_test::random_cloud(n, static_cast<unsigned>(n));
    set_isa_for_testing(Isa::Scalar);
    pool::set_worker_count_for_testing(1);
    const VelGrad ref = induced_with_gradient(f);
    for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
      if (!isa_supported(isa)) continue;
      set_isa_for_testing(isa);
      for (std::size_t workers : {1u, 2u, 3u}) {
        pool::set_worker_count_for_testing(workers);
        EXPECT_TRUE(same_bits(induced_with_gradient(f), ref)) << isa_name(isa) << " n=" << n << " w=" << workers;
      }
    }
  }
  const VelGrad none = induced_with_gradient(ParticleField{});
  EXPECT_TRUE(none.vel.empty() && none.grad.empty());
}
