// The Barnes-Hut octree: shape of the build, summaries, traversal against the
// direct sum, and bit-identity of the vector traversals with the scalar one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "panic.hpp"
#include "vpm/common.hpp"
#include "vpm_test_util.hpp"

using namespace aerlox_rs;
using namespace aerlox_rs::vpm;
using vpm_test::first_bit_difference;

namespace {

struct IsaGuard {
  ~IsaGuard() { set_isa_for_testing(std::nullopt); }
};

// Cells a target opens (neither accepted as far field nor evaluated as a leaf).
std::size_t opened_cells(const FlatTree& t, float x, float y, float z, float theta) {
  std::size_t opened = 0, k = 0;
  while (k < t.nodes.size()) {
    const FlatNode& n = t.nodes[k];
    const float ex = x - n.center[0], ey = y - n.center[1], ez = z - n.center[2];
    if (theta * theta * ((ex * ex + ey * ey) + ez * ez) > n.four_half2 || n.leaf_chunks != 0) {
      k = n.escape;
    } else {
      ++opened;
      ++k;
    }
  }
  return opened;
}

struct Errors {
  double max_rel;     // largest |du|/|u| over the targets
  double global_rel;  // sqrt(sum |du|^2 / sum |u|^2)
};

Errors errors(const std::vector<Vel>& got, const std::vector<Vel>& ref) {
  double max_rel = 0, sd = 0, sr = 0;
  for (std::size_t j = 0; j < ref.size(); ++j) {
    double d2 = 0, r2 = 0;
    for (int k = 0; k < 3; ++k) {
      d2 += double(got[j][k] - ref[j][k]) * double(got[j][k] - ref[j][k]);
      r2 += double(ref[j][k]) * double(ref[j][k]);
    }
    max_rel = std::max(max_rel, std::sqrt(d2 / r2));
    sd += d2;
    sr += r2;
  }
  return {max_rel, std::sqrt(sd / sr)};
}

}  // namespace

TEST(VpmTree, ThirtyTwoParticlesAreOneLeafSummedLikeTheDirectSum) {
  const ParticleField f = vpm_test::random_cloud(32, 4);
  const FlatTree t = FlatTree::build(f);
  ASSERT_EQ(t.nodes.size(), 1u);
  EXPECT_EQ(t.nodes[0].leaf_chunks, 4u);
  EXPECT_EQ(t.nodes[0].escape, 1u);
  // At the particles themselves the root is near: the leaf is summed exactly,
  // in the same lanes as the direct sum.
  EXPECT_EQ(first_bit_difference(induced_velocities_bh(f, 0.5f), induced_velocities(f)), -1);
}

TEST(VpmTree, SplitPutsParticlesOnTheCentrePlanesInTheUpperOctants) {
  // 33 particles: 32 at the corners of two nested cubes and one at the centre.
  ParticleField f;
  for (float r : {1.0f, 0.5f, 0.25f, 0.125f})
    for (unsigned o = 0; o < 8; ++o)
      f.push({(o & 1u) ? r : -r, (o & 2u) ? r : -r, (o & 4u) ? r : -r}, {1, 0, 0}, 0.1f);
  f.push({0, 0, 0}, {0, 2, 0}, 0.1f);
  std::vector<TmpNode> tmp;
  const std::uint32_t root = build_tmp_tree(tmp, f);
  ASSERT_FALSE(tmp[root].is_leaf);
  EXPECT_EQ(tmp[root].half, 1.0f * 1.0001f);
  for (unsigned o = 0; o < 8; ++o) {
    const TmpNode& c = tmp[static_cast<std::size_t>(tmp[root].children[o])];
    ASSERT_TRUE(c.is_leaf);
    EXPECT_EQ(c.particles.size(), o == 7 ? 5u : 4u) << o;
  }
  EXPECT_EQ(tmp[static_cast<std::size_t>(tmp[root].children[7])].particles.back(), 32u);
  EXPECT_FLOAT_EQ(tmp[root].sum_a[0], 32.0f);
  EXPECT_FLOAT_EQ(tmp[root].sum_a[1], 2.0f);
  EXPECT_FLOAT_EQ(tmp[root].wsum, 34.0f);
}

TEST(VpmTree, CoincidentParticlesStopAtTheHalfWidthFloor) {
  ParticleField f;
  for (int i = 0; i < 100; ++i) f.push({0.5f, 0.5f, 0.5f}, {0, 0, 1}, 0.2f);
  std::vector<TmpNode> tmp;
  const std::uint32_t root = build_tmp_tree(tmp, f);
  EXPECT_EQ(tmp[root].half, kMinHalf);
  ASSERT_EQ(tmp.size(), 2u);
  EXPECT_EQ(tmp[root].children[7], 1);
  EXPECT_TRUE(tmp[1].is_leaf);
  EXPECT_EQ(tmp[1].particles.size(), 100u);
  const FlatTree t = FlatTree::build(f);
  ASSERT_EQ(t.nodes.size(), 2u);
  EXPECT_EQ(t.nodes[1].leaf_chunks, 13u);
  EXPECT_EQ(t.sx.size(), 104u);
}

TEST(VpmTree, SummariesOfCancellingAndStrengthlessCells) {
  ParticleField f;
  f.push({0, 0, 0}, {1, 0, 0}, 0.1f);
  f.push({2, 0, 0}, {-1, 0, 0}, 0.3f);
  std::vector<TmpNode> tmp;
  build_tmp_tree(tmp, f);
  EXPECT_EQ(tmp[0].sum_a, (std::array<float, 3>{0, 0, 0}));
  EXPECT_FLOAT_EQ(tmp[0].center[0], 1.0f);  // weighted centroid
  EXPECT_FLOAT_EQ(tmp[0].sigma_rep, 0.2f);

  ParticleField z;
  z.push({0, 0, 0}, {0, 0, 0}, 0.1f);
  z.push({4, 2, 0}, {0, 0, 0}, 0.3f);
  std::vector<TmpNode> tz;
  build_tmp_tree(tz, z);
  EXPECT_EQ(tz[0].center, (std::array<float, 3>{2, 1, 0}));  // geometric centre
  EXPECT_EQ(tz[0].sigma_rep, 1.0f);
}

TEST(VpmTree, NonFiniteCoordinatesDoNotBreakTheBuild) {
  ParticleField f = vpm_test::random_cloud(40, 6);
  f.px[3] = std::numeric_limits<float>::infinity();
  const FlatTree t = FlatTree::build(f);
  EXPECT_EQ(t.nodes.size(), 1u);  // infinite extent: the root is a leaf
  ParticleField g = vpm_test::random_cloud(40, 6);
  g.py[5] = std::numeric_limits<float>::quiet_NaN();
  std::size_t placed = 0;
  const FlatTree tg = FlatTree::build(g);
  for (const FlatNode& n : tg.nodes) placed += n.leaf_chunks != 0 ? 1 : 0;
  EXPECT_GT(placed, 1u);
  EXPECT_EQ(induced_velocities_bh(g, 0.5f).size(), 40u);
}

TEST(VpmTree, AgreesWithTheDirectSumAndErrorFallsWithTheta) {
  const ParticleField f = vpm_test::helical_wake(20000, 11);
  // Every tenth particle as a target keeps the direct reference cheap.
  std::vector<float> tx, ty, tz;
  for (std::size_t i = 0; i < f.len(); i += 10) {
    tx.push_back(f.px[i]);
    ty.push_back(f.py[i]);
    tz.push_back(f.pz[i]);
  }
  const auto direct = induced_at_points(f, tx, ty, tz);
  const Errors e0 = errors(induced_at_points_bh(f, tx, ty, tz, 0.0f), direct);
  EXPECT_LT(e0.max_rel, 1e-4);  // the same sum, grouped by leaves
  // Cells are summarised by their total strength alone, so the error grows
  // roughly as theta^2 (about 2e-2 at theta 0.5 on this wake).
  double prev = e0.global_rel;
  for (float theta : {0.1f, 0.3f, 0.5f, 0.7f}) {
    const Errors e = errors(induced_at_points_bh(f, tx, ty, tz, theta), direct);
    EXPECT_GT(e.global_rel, prev) << theta;
    EXPECT_LT(e.global_rel, 0.15 * theta * theta) << theta;
    prev = e.global_rel;
  }
  // A larger opening angle never opens more cells.
  const FlatTree t = FlatTree::build(f);
  for (std::size_t j = 0; j < tx.size(); j += 97) {
    std::size_t last = opened_cells(t, tx[j], ty[j], tz[j], 0.0f);
    EXPECT_EQ(last, t.nodes.size() - [&] {
      std::size_t leaves = 0;
      for (const FlatNode& n : t.nodes) leaves += n.leaf_chunks != 0;
      return leaves;
    }());
    for (float theta : {0.1f, 0.3f, 0.5f, 0.7f, 1.0f}) {
      const std::size_t o = opened_cells(t, tx[j], ty[j], tz[j], theta);
      EXPECT_LE(o, last);
      last = o;
    }
  }
}

TEST(VpmTree, VectorTraversalsAreBitIdenticalToTheScalarOne) {
  IsaGuard guard;
  const ParticleField f = vpm_test::helical_wake(3001, 12);
  // 131 targets: two full blocks of 64 and a short one of odd size (its
  // last register half has no target).
  std::vector<float> tx, ty, tz;
  for (std::size_t i = 0; i < 131; ++i) {
    tx.push_back(f.px[i * 23]);
    ty.push_back(f.py[i * 23] + 0.01f);
    tz.push_back(f.pz[i * 23]);
  }
  for (float theta : {0.0f, 0.5f}) {
    set_isa_for_testing(Isa::Scalar);
    const auto ref = induced_at_points_bh(f, tx, ty, tz, theta);
    for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
      if (!isa_supported(isa)) continue;
      set_isa_for_testing(isa);
      EXPECT_EQ(first_bit_difference(induced_at_points_bh(f, tx, ty, tz, theta), ref), -1)
          << isa_name(isa) << " theta=" << theta;
    }
  }
  // evaluate() on one target gives the parallel call's answer.
  const FlatTree t = FlatTree::build(f);
  Scratch s = Scratch::with_capacity(t.nodes.size());
  const auto all = induced_at_points_bh(f, tx, ty, tz, 0.5f);
  EXPECT_EQ(FlatTree::evaluate(t, tx[129], ty[129], tz[129], 0.25f, s), all[129]);
  EXPECT_EQ(s.len % 8, 0u);
}

TEST(VpmTree, DeepTreesWalkTheSameOnEveryPath) {
  // Clusters at distances doubling from 1 m to 2^39 m make a tree some forty
  // levels deep, so a group's walk holds many nested resume points at once.
  IsaGuard guard;
  ParticleField f;
  for (int level = 0; level < 40; ++level) {
    const float d = std::ldexp(1.0f, level);
    for (int i = 0; i < 40; ++i) {
      const float s = 0.01f * d * static_cast<float>(i % 7);
      f.push({d + s, 0.5f * d - s, (i % 2 ? 0.25f : -0.25f) * d}, {0.01f * static_cast<float>(i % 5), 0.02f, -0.01f},
             0.05f * d + 1e-6f);
    }
  }
  // Depth: the cells whose subtree (up to the escape) still holds the cell.
  const FlatTree t = FlatTree::build(f);
  std::vector<std::uint32_t> open;
  std::size_t depth = 0;
  for (std::uint32_t k = 0; k < t.nodes.size(); ++k) {
    while (!open.empty() && open.back() <= k) open.pop_back();
    open.push_back(t.nodes[k].escape);
    depth = std::max(depth, open.size());
  }
  EXPECT_GE(depth, 35u) << depth;
  set_isa_for_testing(Isa::Scalar);
  const auto ref = induced_velocities_bh(f, 0.5f);
  for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) continue;
    set_isa_for_testing(isa);
    EXPECT_EQ(first_bit_difference(induced_velocities_bh(f, 0.5f), ref), -1) << isa_name(isa);
  }
}

TEST(VpmTree, EmptyAndShortInputs) {
  const std::vector<float> t{1, 2, 3}, shorter{1};
  const auto u = induced_at_points_bh(ParticleField{}, t, t, t, 0.5f);
  ASSERT_EQ(u.size(), 3u);
  EXPECT_EQ(u[2], (Vel{0, 0, 0}));
  const ParticleField f = vpm_test::random_cloud(50);
  EXPECT_THROW(induced_at_points_bh(f, t, shorter, t, 0.5f), Panic);
  EXPECT_THROW(FlatTree::build(ParticleField{}), Panic);
}
