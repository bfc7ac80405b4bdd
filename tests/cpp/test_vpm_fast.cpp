// The fast summation against the direct sum: velocity and gradient errors
// within the requested rtol, the same bits on every worker count and
// instruction set, and the edge cases of its input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "panic.hpp"
#include "vpm/common.hpp"
#include "vpm/fast_sum.hpp"
#include "vpm/fast_tree.hpp"
#include "vpm/pool.hpp"
#include "vpm_test_util.hpp"

using namespace aerlox_rs::vpm;

namespace {

// sqrt(sum |a - b|^2 / sum |b|^2) over N-component rows.
template <std::size_t N>
double rms_rel(const std::vector<std::array<float, N>>& a, const std::vector<std::array<float, N>>& b) {
  double e = 0, r = 0;
  for (std::size_t j = 0; j < b.size(); ++j)
    for (std::size_t k = 0; k < N; ++k) {
      const double d = double(a[j][k]) - double(b[j][k]);
      e += d * d;
      r += double(b[j][k]) * double(b[j][k]);
    }
  return std::sqrt(e / r);
}

std::vector<float> coords(std::size_t n, unsigned seed, float lo, float hi) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

}  // namespace

TEST(VpmFast, MeetsRtolForVelocityAndGradientAtParticlesAndTargets) {
  for (const ParticleField& f : {vpm_test::helical_wake(6000, 4), vpm_test::random_cloud(6000, 5)}) {
    const VelGrad ref = induced_with_gradient(f);
    const std::vector<float> tx = coords(700, 1, -1.2f, 1.2f), ty = coords(700, 2, -1.2f, 1.2f),
                             tz = coords(700, 3, -1.2f, 1.2f);
    const VelGrad ref_t = induced_with_gradient_at(f, tx, ty, tz);
    for (double rtol : {1e-2, 1e-3, 1e-4}) {
      const VelGrad fv = induced_velocities_fast(f, rtol, true);
      EXPECT_LE(rms_rel(fv.vel, ref.vel), rtol) << rtol;
      // The gradient is one derivative further from the expansion's truncation.
      EXPECT_LE(rms_rel(fv.grad, ref.grad), 4 * rtol) << rtol;
      const VelGrad ft = induced_at_points_fast(f, tx, ty, tz, rtol, true);
      EXPECT_LE(rms_rel(ft.vel, ref_t.vel), rtol) << rtol;
      EXPECT_LE(rms_rel(ft.grad, ref_t.grad), 4 * rtol) << rtol;
      // The velocity alone has a plan of its own (the hexadecapole from 1e-3
      // down), which meets rtol too.
      EXPECT_LE(rms_rel(induced_velocities_fast(f, rtol, false).vel, ref.vel), rtol) << rtol;
      EXPECT_LE(rms_rel(induced_at_points_fast(f, tx, ty, tz, rtol, false).vel, ref_t.vel), rtol) << rtol;
      // Without the gradient, the same plan gives the same velocities.
      const VelGrad v = induced_velocities_planned(f, fast_plan(rtol, true), false);
      EXPECT_EQ(vpm_test::first_bit_difference(v.vel, fv.vel), -1);
    }
    // With every cell opened it is the direct sum, up to the summation order.
    EXPECT_LE(rms_rel(induced_velocities_fast(f, 1e-9, true).vel, ref.vel), 2e-6);
  }
}

TEST(VpmFast, SameBitsOnEveryWorkerCountAndInstructionSet) {
  vpm_test::IsaPoolGuard restore;
  const ParticleField f = vpm_test::helical_wake(5000, 7);
  // With the gradient the octupole, without it the hexadecapole at 1e-3 and
  // the octupole alone at 1e-2: each kernel's fused products, and the units'
  // different blockings of targets, must round alike.
  for (auto [rtol, grad] : {std::pair{1e-3, true}, std::pair{1e-3, false}, std::pair{1e-2, false}}) {
    set_isa_for_testing(Isa::Baseline);
    pool::set_worker_count_for_testing(1);
    const VelGrad one = induced_velocities_fast(f, rtol, grad);
    for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
      if (!isa_supported(isa)) continue;
      set_isa_for_testing(isa);
      for (std::size_t workers : {1u, 2u, 3u}) {
        pool::set_worker_count_for_testing(workers);
        const VelGrad v = induced_velocities_fast(f, rtol, grad);
        EXPECT_EQ(vpm_test::first_bit_difference(v.vel, one.vel), -1) << isa_name(isa) << " " << workers << " " << rtol;
        if (grad) {
          EXPECT_EQ(std::memcmp(v.grad.data(), one.grad.data(), one.grad.size() * sizeof(Grad)), 0)
              << isa_name(isa) << " " << workers;
        }
      }
    }
  }
}

TEST(VpmFast, EdgeCases) {
  const ParticleField empty;
  const std::vector<float> t{0.5f, 1.0f};
  const VelGrad none = induced_at_points_fast(empty, t, t, t, 1e-3, true);
  ASSERT_EQ(none.vel.size(), 2u);
  EXPECT_EQ(none.vel[1][2], 0.0f);
  EXPECT_TRUE(induced_velocities_fast(empty, 1e-3, false).vel.empty());
  EXPECT_THROW(induced_velocities_fast(empty, 0.0, false), aerlox_rs::ValueError);
  EXPECT_THROW(induced_velocities_fast(empty, NAN, false), aerlox_rs::ValueError);
  // Many particles on one point: the tree stops halving and the sum stays
  // finite and exact.
  ParticleField f;
  for (int i = 0; i < 100; ++i) f.push({0.25f, 0.25f, 0.25f}, {0.0f, 0.0f, 1.0f}, 0.1f);
  f.push({0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.1f);
  const VelGrad fv = induced_velocities_fast(f, 1e-3, true);
  const VelGrad ref = induced_with_gradient(f);
  EXPECT_LE(rms_rel(fv.vel, ref.vel), 1e-5);
}

TEST(VpmFast, EachOrderCutsTheErrorAtAGivenAngle) {
  // A wrong sign or index in any moment shows as an order no better than the
  // one below it.
  for (const ParticleField& f : {vpm_test::helical_wake(4000, 4), vpm_test::random_cloud(4000, 5)}) {
    const VelGrad ref = induced_with_gradient(f);
    double prev = 1.0;
    for (int order : {1, 2, 3, 4}) {
      const std::vector<Vel> vel = induced_velocities_planned(f, FastPlan{order, 0.5f}, false).vel;
      const double err = rms_rel(vel, ref.vel);
      EXPECT_LT(err, 0.6 * prev) << order;
      prev = err;
      // The gradient rides along without touching the velocity's bits.
      const VelGrad vg = induced_velocities_planned(f, FastPlan{order, 0.5f}, true);
      EXPECT_EQ(vpm_test::first_bit_difference(vg.vel, vel), -1) << order;
      EXPECT_LT(rms_rel(vg.grad, ref.grad), 0.05) << order;
    }
  }
}

TEST(VpmFast, InnerCellsMomentsFromChildrenMatchTheirParticles) {
  // Inner cells shift their children's moments to their own centre; summed
  // afresh from the particles about that centre they must agree (to the
  // hexadecapole, which the table carries when asked to).
  const ParticleField f = vpm_test::random_cloud(3000, 9);
  const fast::SourceTree s = fast::SourceTree::build(f, 8, 4);
  int inner = 0;
  for (std::size_t k = 0; k < s.tree.cells.size(); ++k) {
    const fast::Cell& cell = s.tree.cells[k];
    if (cell.n_children == 0) continue;
    ++inner;
    const float* row = s.moments.data() + k * fast::kMomentStride4;
    double D[9] = {}, Q[18] = {}, O[30] = {}, H[45] = {}, N[3] = {}, scale = 0;
    for (std::uint32_t p = cell.first; p < cell.first + cell.count; ++p) {
      const double d[3] = {double(s.x[p]) - row[fast::kMoC], double(s.y[p]) - row[fast::kMoC + 1],
                           double(s.z[p]) - row[fast::kMoC + 2]};
      const double a[3] = {s.ax[p], s.ay[p], s.az[p]};
      const double dd[6] = {d[0] * d[0], d[1] * d[1], d[2] * d[2], d[0] * d[1], d[0] * d[2], d[1] * d[2]};
      const double ddd[10] = {dd[0] * d[0], dd[1] * d[1], dd[2] * d[2], dd[0] * d[1], dd[0] * d[2],
                              dd[1] * d[0], dd[1] * d[2], dd[2] * d[0], dd[2] * d[1], dd[3] * d[2]};
      // The hexadecapole's monomials and their multiplicities (see fast_tree.cpp).
      const double d4[15] = {dd[0] * dd[0], dd[1] * dd[1], dd[2] * dd[2], ddd[0] * d[1], ddd[0] * d[2],
                             ddd[1] * d[0], ddd[1] * d[2], ddd[2] * d[0], ddd[2] * d[1], dd[0] * dd[1],
                             dd[0] * dd[2], dd[1] * dd[2], dd[0] * dd[5], dd[1] * dd[4], dd[2] * dd[3]};
      const double mult4[15] = {1, 1, 1, 4, 4, 4, 4, 4, 4, 6, 6, 6, 12, 12, 12};
      // Multiplicity of each octupole monomial in the table (see fast_api.hpp).
      const double mult[10] = {1, 1, 1, 3, 3, 3, 3, 3, 3, 6};
      for (int c = 0; c < 3; ++c) {
        for (int m = 0; m < 15; ++m) H[15 * c + m] += mult4[m] * d4[m] * a[c] / 24.0;
        for (int i = 0; i < 3; ++i) D[3 * i + c] += d[i] * a[c];
        for (int m = 0; m < 6; ++m) Q[6 * c + m] += 0.5 * dd[m] * a[c];
        for (int m = 0; m < 10; ++m) O[10 * c + m] += mult[m] * ddd[m] * a[c] / 6.0;
        N[c] += (double(s.s2[p]) - row[fast::kMoC + 3]) * a[c];
      }
      scale += std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    }
    const double r = cell.radius;
    const auto near = [&](const double* want, std::size_t at, int n, double unit) {
      for (int i = 0; i < n; ++i) EXPECT_NEAR(row[at + i], want[i], 2e-5 * unit) << k << " " << at + i;
    };
    near(D, fast::kMoD, 9, scale * r);
    near(Q, fast::kMoQ, 18, scale * r * r);
    near(O, fast::kMoO, 30, scale * r * r * r);
    near(H, fast::kMoH, 45, scale * r * r * r * r);
    near(N, fast::kMoN, 3, scale * 0.01);
  }
  EXPECT_GT(inner, 50);
}
