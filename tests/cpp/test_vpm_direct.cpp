// The direct induced-velocity sum: closed forms, an independent
// double-precision evaluation, and bit-identity of every instruction-set path
// with the scalar reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "panic.hpp"
#include "vpm/common.hpp"
#include "vpm_test_util.hpp"

using namespace aerlox_rs;
using namespace aerlox_rs::vpm;
using vpm_test::first_bit_difference;

namespace {

// Restores the CPU's own instruction set when a test ends.
struct IsaGuard {
  ~IsaGuard() { set_isa_for_testing(std::nullopt); }
};

std::vector<Isa> vector_isas() {
  std::vector<Isa> out;
  for (Isa i : {Isa::Baseline, Isa::Avx2, Isa::Avx512})
    if (isa_supported(i)) out.push_back(i);
  return out;
}

using vpm_test::velocity_double;

}  // namespace

TEST(VpmDirect, SingleParticleClosedFormAndSelfInduction) {
  ParticleField f;
  f.push({0, 0, 0}, {0, 0, 1}, 1.0f);
  const std::vector<float> tx{1.0f, 0.0f}, ty{0.0f, 0.0f}, tz{0.0f, 0.0f};
  const auto u = induced_at_points(f, tx, ty, tz);
  const double expect = 3.5 / (4.0 * std::sqrt(2.0)) / (4.0 * M_PI);  // 0.049236
  EXPECT_EQ(u[0][0], 0.0f);
  EXPECT_NEAR(u[0][1], expect, 1e-7);
  EXPECT_EQ(u[0][2], 0.0f);
  // A target on the particle receives nothing from it.
  EXPECT_EQ(u[1], (Vel{0.0f, 0.0f, 0.0f}));
  // Far away the kernel tends to the singular Biot-Savart law |alpha|/(4 pi r^2).
  const std::vector<float> fx{50.0f}, fy{0.0f}, fz{0.0f};
  EXPECT_NEAR(induced_at_points(f, fx, fy, fz)[0][1], 1.0 / (4.0 * M_PI * 2500.0), 1e-9);
}

TEST(VpmDirect, EmptyInputsAndShortTargetArrays) {
  const ParticleField empty;
  const std::vector<float> t{1, 2, 3};
  const auto u = induced_at_points(empty, t, t, t);
  ASSERT_EQ(u.size(), 3u);
  for (const Vel& v : u) EXPECT_EQ(v, (Vel{0.0f, 0.0f, 0.0f}));
  EXPECT_TRUE(induced_velocities(empty).empty());
  const ParticleField f = vpm_test::random_cloud(5);
  EXPECT_TRUE(induced_at_points(f, {}, {}, {}).empty());
  const std::vector<float> shorter{1, 2};
  EXPECT_THROW(induced_at_points(f, t, shorter, t), Panic);
  EXPECT_THROW(induced_at_points(f, t, t, shorter), Panic);
}

TEST(VpmDirect, MatchesDoublePrecisionFormula) {
  // Three particles (one chunk, five inert lanes) and a larger cloud.
  for (std::size_t n : {3u, 203u}) {
    const ParticleField f = vpm_test::random_cloud(n, 7);
    const std::vector<float> tx{0.3f, -0.7f, 1.5f, 0.01f}, ty{0.2f, 0.4f, -1.2f, 0.02f},
        tz{-0.5f, 0.9f, 0.1f, 0.03f};
    const auto u = induced_at_points(f, tx, ty, tz);
    for (std::size_t j = 0; j < tx.size(); ++j) {
      const auto e = velocity_double(f, tx[j], ty[j], tz[j]);
      const double norm = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(u[j][k], e[k], 1e-5 * norm) << "n=" << n << " j=" << j;
    }
  }
}

TEST(VpmDirect, EveryVectorPathIsBitIdenticalToTheScalarReference) {
  IsaGuard guard;
  // Field sizes on and off multiples of eight; target counts that leave
  // partial groups; a target on a particle and targets far away.
  for (std::size_t n : {1u, 3u, 8u, 13u, 64u, 301u}) {
    const ParticleField f = vpm_test::helical_wake(n, static_cast<unsigned>(n));
    std::vector<float> tx(f.px.begin(), f.px.end()), ty(f.py.begin(), f.py.end()), tz(f.pz.begin(), f.pz.end());
    for (float s : {5.0f, -40.0f, 1e-3f}) {
      tx.push_back(s);
      ty.push_back(0.5f * s);
      tz.push_back(-s);
    }
    set_isa_for_testing(Isa::Scalar);
    const auto ref = induced_at_points(f, tx, ty, tz);
    for (Isa isa : vector_isas()) {
      set_isa_for_testing(isa);
      for (std::size_t m : {tx.size(), std::size_t{1}, std::size_t{5}, std::size_t{7}}) {
        if (m > tx.size()) continue;
        const std::span<const float> sx(tx.data(), m), sy(ty.data(), m), sz(tz.data(), m);
        const auto got = induced_at_points(f, sx, sy, sz);
        const std::vector<Vel> want(ref.begin(), ref.begin() + static_cast<long>(m));
        EXPECT_EQ(first_bit_difference(got, want), -1) << isa_name(isa) << " n=" << n << " m=" << m;
      }
    }
  }
}

TEST(VpmDirect, BuildingBlocksAgreeAndCheckTheirRanges) {
  IsaGuard guard;
  const ParticleField f = vpm_test::random_cloud(21, 3);
  const AVec<float> x = padded_copy(f.px, 0.0f), y = padded_copy(f.py, 0.0f), z = padded_copy(f.pz, 0.0f),
                    ax = padded_copy(f.ax, 0.0f), ay = padded_copy(f.ay, 0.0f), az = padded_copy(f.az, 0.0f),
                    sg = padded_copy(f.sigma, 1.0f);
  const Chunks c = Chunks::from_avecs(x, y, z, ax, ay, az, sg);
  ASSERT_EQ(c.len(), 3u);
  const std::vector<float> t{0.25f};
  const Vel whole = induced_at_points(f, t, t, t)[0];
  for (Isa isa : {Isa::Scalar, Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) continue;
    set_isa_for_testing(isa);
    EXPECT_EQ(eval_target(0.25f, 0.25f, 0.25f, c, 3), whole) << isa_name(isa);
    // Accumulating in two ranges is the same as in one.
    Lane8 ux = broadcast8(0), uy = ux, uz = ux;
    const Lane8 b = broadcast8(0.25f);
    accumulate_chunks(b, b, b, c, 0, 1, ux, uy, uz);
    accumulate_chunks(b, b, b, c, 1, 3, ux, uy, uz);
    EXPECT_EQ(reduce_velocity(ux, uy, uz), whole) << isa_name(isa);
  }
  Lane8 u = broadcast8(0);
  const Lane8 b = broadcast8(0);
  try {
    accumulate_chunks(b, b, b, c, 2, 1, u, u, u);
    FAIL();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "assertion failed: c0 <= c1");
  }
  const AVec<float> short_sg = AVec<float>::filled(16, 1.0f);
  const Chunks uneven = Chunks::from_avecs(x, y, z, ax, ay, az, short_sg);
  try {
    accumulate_chunks(b, b, b, uneven, 0, 3, u, u, u);
    FAIL();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "assertion failed: c1 <= src.sg.len()");
  }
}

TEST(VpmDirect, ReductionScalesThenSumsInLaneOrder) {
  Lane8 ux, uy = broadcast8(0.0f), uz = broadcast8(-0.0f);
  // Large and small lanes: the order of the additions shows in the bits.
  const float lanes[8] = {1e8f, 1.0f, -1e8f, 3.0f, 0.5f, 7.0f, -2.0f, 1e-3f};
  for (int i = 0; i < 8; ++i) ux.v[i] = lanes[i];
  float want = lanes[0] * kInv4Pi;
  for (int i = 1; i < 8; ++i) want = want + lanes[i] * kInv4Pi;
  const Vel r = reduce_velocity(ux, uy, uz);
  EXPECT_EQ(r[0], want);
  EXPECT_EQ(r[1], 0.0f);
  EXPECT_TRUE(std::signbit(r[2]));  // no +0 seed: all -0 lanes stay -0
}

TEST(VpmDirect, ForcingAnIsaTheCpuLacksIsRefused) {
  IsaGuard guard;
  for (Isa isa : {Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) {
      EXPECT_THROW(set_isa_for_testing(isa), ValueError);
    }
  }
  set_isa_for_testing(Isa::Baseline);
  EXPECT_EQ(active_isa(), Isa::Baseline);
}

TEST(VpmDirect, VectorPathsKeepTheReferenceBitsForExtremeValues) {
  IsaGuard guard;
  // One extreme value planted in one field of one particle, at a random place
  // (so it lands in the first, a middle or the last chunk and in any lane); the
  // targets include the particles themselves and points made of the value.
  constexpr float inf = std::numeric_limits<float>::infinity();
  const float specials[] = {0.0f,   -0.0f, std::numeric_limits<float>::denorm_min(), -1e-40f, 1e-30f,
                            3e38f, -3e38f, inf, -inf, std::numeric_limits<float>::quiet_NaN()};
  std::mt19937 rng(11);
  for (std::size_t n : {1u, 9u, 24u, 37u}) {
    const ParticleField base = vpm_test::random_cloud(n, static_cast<unsigned>(n));
    for (float s : specials) {
      for (int field = 0; field < 7; ++field) {
        ParticleField f = base.clone();
        AVec<float>* arrays[7] = {&f.px, &f.py, &f.pz, &f.ax, &f.ay, &f.az, &f.sigma};
        (*arrays[field])[rng() % n] = s;
        std::vector<float> tx(f.px.begin(), f.px.end()), ty(f.py.begin(), f.py.end()), tz(f.pz.begin(), f.pz.end());
        tx.insert(tx.end(), {s, 0.3f, 0.0f});
        ty.insert(ty.end(), {0.0f, -0.2f, s});
        tz.insert(tz.end(), {0.0f, s, s});
        set_isa_for_testing(Isa::Scalar);
        const auto ref = induced_at_points(f, tx, ty, tz);
        for (Isa isa : vector_isas()) {
          set_isa_for_testing(isa);
          EXPECT_EQ(first_bit_difference(induced_at_points(f, tx, ty, tz), ref), -1)
              << isa_name(isa) << " n=" << n << " value=" << s << " field=" << field;
        }
      }
    }
  }
}

TEST(VpmDirect, SameBitsOnEveryMachine) {
  IsaGuard guard;
  // A field from integer arithmetic only (no libm), so every machine builds
  // the same one; the kernels use only correctly rounded operations, so the
  // velocities' bits are fixed: these hashes hold on x86-64 with every
  // instruction set and on aarch64 alike.
  ParticleField f;
  std::uint32_t h = 2463534242u;
  const auto next = [&h] {
    h ^= h << 13;
    h ^= h >> 17;
    h ^= h << 5;
    return static_cast<float>(h >> 8) / 16777216.0f - 0.5f;
  };
  // One value per statement: the order in which a call's arguments are
  // evaluated differs between compilers' targets.
  for (int i = 0; i < 333; ++i) {
    std::array<float, 7> v{};
    for (float& x : v) x = next();
    f.push({v[0], v[1], 0.2f * v[2]}, {0.01f * v[3], 0.01f * v[4], 0.01f * v[5]}, 0.05f + 0.02f * v[6]);
  }
  const auto hash = [](const std::vector<Vel>& v) {
    std::uint64_t x = 1469598103934665603ull;
    for (const Vel& u : v)
      for (const float c : u) {
        std::uint32_t b = 0;
        std::memcpy(&b, &c, 4);
        x = (x ^ b) * 1099511628211ull;
      }
    return x;
  };
  for (Isa isa : {Isa::Scalar, Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) continue;
    set_isa_for_testing(isa);
    for (bool reciprocal : {false, true}) {
      set_reciprocal_quotient_for_testing(reciprocal);
      EXPECT_EQ(hash(induced_velocities(f)), 8892693457463588486ull) << isa_name(isa) << reciprocal;
      EXPECT_EQ(hash(induced_velocities_bh(f, 0.5f)), 5028051910415703683ull) << isa_name(isa);
    }
  }
  set_reciprocal_quotient_for_testing(std::nullopt);
}
