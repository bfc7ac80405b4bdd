// Particle storage: the aligned vector, the field, the far-field scratch list,
// chunk views and the min/max fold.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "panic.hpp"
#include "vpm/common.hpp"

using namespace aerlox_rs;
using namespace aerlox_rs::vpm;

namespace {
bool aligned(const void* p, std::size_t a) { return reinterpret_cast<std::uintptr_t>(p) % a == 0; }
}  // namespace

TEST(VpmField, GrowthCloneAndAlignment) {
  ParticleField f;
  EXPECT_EQ(f.len(), 0u);
  EXPECT_EQ(f.px.capacity(), 0u);
  EXPECT_EQ(f.px.data(), nullptr);
  for (int i = 0; i < 4; ++i) f.push({float(i), 0, 0}, {0, 0, 1}, 0.1f);
  EXPECT_EQ(f.sigma.capacity(), 4u);
  f.push({4, 5, 6}, {7, 8, 9}, 0.5f);
  for (const AVec<float>* a : {&f.px, &f.py, &f.pz, &f.ax, &f.ay, &f.az, &f.sigma}) {
    EXPECT_EQ(a->capacity(), 8u);
    EXPECT_EQ(a->size(), 5u);
    EXPECT_TRUE(aligned(a->data(), 128));
  }
  EXPECT_EQ(f.py[4], 5.0f);
  EXPECT_EQ(f.az[4], 9.0f);
  EXPECT_EQ(f.sigma[4], 0.5f);

  ParticleField c = f.clone();
  EXPECT_EQ(c.len(), 5u);
  EXPECT_EQ(c.px.capacity(), 5u);
  EXPECT_TRUE(aligned(c.px.data(), 128));
  c.push({0, 0, 0}, {0, 0, 0}, 1.0f);
  EXPECT_EQ(c.px.capacity(), 10u);
  EXPECT_EQ(f.len(), 5u);  // the original is independent

  ParticleField e = ParticleField().clone();
  EXPECT_EQ(e.px.data(), nullptr);
  ParticleField w = ParticleField::with_capacity(7);
  EXPECT_EQ(w.len(), 0u);
  EXPECT_EQ(w.az.capacity(), 7u);
  EXPECT_EQ(ParticleField::with_capacity(0).px.data(), nullptr);
}

TEST(VpmField, EraseFrontKeepsOrderAndRejectsOverlongDrain) {
  AVec<float> v;
  for (int i = 0; i < 10; ++i) v.push_back(float(i));
  v.erase_front(3);
  ASSERT_EQ(v.size(), 7u);
  EXPECT_EQ(v[0], 3.0f);
  EXPECT_EQ(v[6], 9.0f);
  v.erase_front(7);
  EXPECT_TRUE(v.empty());
  EXPECT_THROW(v.erase_front(1), Panic);
}

TEST(VpmField, CapacityOverflowIsAPanic) {
  AVec<float> v;
  try {
    v.reserve_exact(std::size_t{1} << 62);
    FAIL() << "expected a panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "capacity overflow");
  }
  EXPECT_THROW(AVec<double>::with_capacity(std::numeric_limits<std::size_t>::max() / 4), Panic);
}

TEST(VpmScratch, CapacityPaddingAndOverflow) {
  Scratch z = Scratch::with_capacity(0);
  EXPECT_EQ(z.capacity(), 0u);
  z.pad_to_8();
  EXPECT_EQ(z.len, 0u);

  Scratch s = Scratch::with_capacity(9);
  EXPECT_EQ(s.capacity(), 16u);
  EXPECT_EQ(s.len, 0u);
  for (float g : s.sg) EXPECT_EQ(g, 1.0f);
  for (float x : s.sax) EXPECT_EQ(x, 0.0f);
  for (int i = 0; i < 3; ++i) s.push(1, 2, 3, 4, 5, 6, 0.5f);
  s.pad_to_8();
  EXPECT_EQ(s.len, 8u);
  EXPECT_EQ(s.sx[2], 1.0f);
  EXPECT_EQ(s.sx[3], 0.0f);
  EXPECT_EQ(s.saz[7], 0.0f);
  EXPECT_EQ(s.sg[7], 1.0f);
  s.pad_to_8();
  EXPECT_EQ(s.len, 8u);
  s.clear();
  EXPECT_EQ(s.len, 0u);
  EXPECT_EQ(s.sx[0], 1.0f);  // clearing leaves memory alone

  Scratch full = Scratch::with_capacity(8);
  for (int i = 0; i < 8; ++i) full.push(0, 0, 0, 0, 0, 0, 1);
  EXPECT_THROW(full.push(0, 0, 0, 0, 0, 0, 1), Panic);
}

TEST(VpmChunks, LengthAndAlignmentChecks) {
  const AVec<float> a12 = AVec<float>::filled(12, 0.0f), a16 = AVec<float>::filled(16, 0.0f);
  EXPECT_THROW(Chunks::from_avecs(a12, a12, a12, a12, a12, a12, a12), Panic);
  const Chunks c = Chunks::from_avecs(a16, a16, a16, a16, a16, a16, a16);
  EXPECT_EQ(c.len(), 2u);
  std::span<const float> off(a16.data() + 1, 8);
  EXPECT_THROW(Chunks::from_slices(off, off, off, off, off, off, off), Panic);

  const AVec<float> p = padded_copy(std::vector<float>{1, 2, 3}, 1.0f);
  ASSERT_EQ(p.size(), 8u);
  EXPECT_EQ(p[2], 3.0f);
  EXPECT_EQ(p[7], 1.0f);
  EXPECT_EQ(padded_copy(std::vector<float>(16, 2.0f), 0.0f).size(), 16u);
}

TEST(VpmChunks, MinMaxIgnoresNaN) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  auto mm = simd_min_max(std::vector<float>{3.0f, nan, -1.0f});
  EXPECT_EQ(mm.first, -1.0f);
  EXPECT_EQ(mm.second, 3.0f);
  mm = simd_min_max({});
  EXPECT_EQ(mm.first, inf);
  EXPECT_EQ(mm.second, -inf);
  mm = simd_min_max(std::vector<float>{nan, nan});
  EXPECT_EQ(mm.first, inf);

  // Whole chunks plus a tail, NaN in both; the extremes sit in different lanes.
  AVec<float> v;
  for (int i = 0; i < 19; ++i) v.push_back(float((i * 7) % 19) - 5.0f);
  v[4] = nan;
  v[17] = nan;
  float lo = inf, hi = -inf;
  for (float x : v)
    if (!std::isnan(x)) lo = std::fmin(lo, x), hi = std::fmax(hi, x);
  mm = simd_min_max(v);
  EXPECT_EQ(mm.first, lo);
  EXPECT_EQ(mm.second, hi);
  EXPECT_THROW(simd_min_max(std::span<const float>(v.data() + 1, 9)), Panic);
  EXPECT_NO_THROW(simd_min_max(std::span<const float>(v.data() + 1, 7)));
}
