// The reciprocal quotient of the direct sum: rho2 = r2/s2 formed from a
// per-source reciprocal and one fused correction must give the division's
// bits (or, below 2^-30, a value that vanishes where rho2 is used), over the
// whole range the direct sum lets it see.
//
// CI checks a few million operand pairs per class; the full proof run checks
// AERLOX_QUOTIENT_PAIRS pairs in all (e.g. 10000000000, some minutes), per
// instruction set:  AERLOX_QUOTIENT_PAIRS=1e10 aerlox_tests --gtest_filter='VpmQuotient*'
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vpm/common.hpp"

using namespace aerlox_rs::vpm;

namespace {

std::uint64_t splitmix(std::uint64_t& s) {
  std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

float from_bits(std::uint32_t u) { return std::bit_cast<float>(u); }
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// A float 2^e * (1 + random mantissa), e in [lo, hi].
float random_in(std::uint64_t r, int lo, int hi) {
  const int e = lo + static_cast<int>((r >> 32) % static_cast<std::uint64_t>(hi - lo + 1));
  return from_bits(static_cast<std::uint32_t>((e + 127) << 23) | static_cast<std::uint32_t>(r & 0x7FFFFFu));
}

constexpr int kMinS2Exp = -40, kMaxS2Exp = 39;  // s2 in [2^-40, 2^40)
constexpr int kMaxR2Exp = 83;                    // r2 < 2^84

// Fills a[i], b[i] with one class of operand pairs.
void fill(int cls, std::uint64_t& seed, std::vector<float>& a, std::vector<float>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::uint64_t r1 = splitmix(seed), r2 = splitmix(seed);
    float s2 = random_in(r2, kMinS2Exp, kMaxS2Exp);
    float r = 0.0f;
    switch (cls) {
      case 0:  // random over the whole range, including tiny and subnormal r2
        r = random_in(r1, -149 + 23, kMaxR2Exp);
        break;
      case 1: {  // quotients next to a rounding midpoint: a = RN(b * m)
        const float q = random_in(r1, -30, 40);
        const double m = double(q) + 0.5 * (double(from_bits(bits(q) + 1)) - double(q));
        r = static_cast<float>(double(s2) * m);
        r = from_bits(bits(r) + static_cast<std::uint32_t>(static_cast<int>(r1 % 5) - 2));
        if (!(r < 0x1p84f)) r = 0x1p83f;
        break;
      }
      case 2:  // zero, subnormal and the smallest normal distances
        r = (r1 & 3) == 0 ? 0.0f : from_bits(static_cast<std::uint32_t>(r1 % 0x00FFFFFFu));
        break;
      case 3:  // equal operands and small multiples
        r = from_bits(bits(s2) + static_cast<std::uint32_t>(static_cast<int>(r1 % 7) - 3));
        break;
      case 4: {  // around the 2^-30 cut-off and the 2^-25/2^-24 steps of rho2 + 1
        const int e = (r1 & 1) ? -30 : ((r1 & 2) ? -25 : -24);
        r = static_cast<float>(double(s2) * std::ldexp(1.0, e));
        r = from_bits(bits(r) + static_cast<std::uint32_t>(static_cast<int>((r1 >> 8) % 9) - 4));
        break;
      }
      default: {  // the largest operands: r2 near 2^84, s2 at either end
        s2 = (r1 & 1) ? 0x1p-40f : from_bits(bits(0x1p40f) - 1 - static_cast<std::uint32_t>(r2 % 4));
        r = from_bits(bits(0x1p84f) - 1 - static_cast<std::uint32_t>((r1 >> 4) % 1024));
        break;
      }
    }
    a[i] = r;
    b[i] = s2;
  }
}

// Counts pairs whose reciprocal quotient differs from the division where it
// matters: the bits when the quotient is 2^-30 or more, else rho2 + 1 and
// rho2 + 2.5.
std::uint64_t check(const kern::Table& k, std::uint64_t n_pairs, std::uint64_t seed, std::uint64_t* checked) {
  constexpr std::size_t kBatch = 1 << 16;
  std::vector<float> a(kBatch), b(kBatch), rb(kBatch), q(kBatch);
  std::uint64_t bad = 0, done = 0;
  int cls = 0;
  while (done < n_pairs) {
    fill(cls, seed, a, b);
    cls = (cls + 1) % 6;
    for (std::size_t i = 0; i < kBatch; ++i) rb[i] = 1.0f / b[i];
    k.quotients(a.data(), b.data(), rb.data(), q.data(), kBatch);
    for (std::size_t i = 0; i < kBatch; ++i) {
      const float d = a[i] / b[i];
      if (d >= 0x1p-30f) {
        bad += bits(q[i]) != bits(d);
      } else {
        bad += bits(q[i] + 1.0f) != bits(d + 1.0f) || bits(q[i] + 2.5f) != bits(d + 2.5f);
      }
    }
    done += kBatch;
  }
  *checked = done;
  return bad;
}

}  // namespace

TEST(VpmQuotient, ReciprocalFormGivesTheDivisionsBits) {
  std::uint64_t pairs = std::uint64_t{6} << 20;
  if (const char* env = std::getenv("AERLOX_QUOTIENT_PAIRS")) pairs = static_cast<std::uint64_t>(std::strtod(env, nullptr));
  for (Isa isa : {Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) continue;
    set_isa_for_testing(isa);
    std::uint64_t checked = 0;
    const std::uint64_t bad = check(active_kernels(), pairs, 0x5EEDull + static_cast<unsigned>(isa), &checked);
    set_isa_for_testing(std::nullopt);
    EXPECT_EQ(bad, 0u) << isa_name(isa);
    std::printf("%s: %llu operand pairs, %llu differ\n", isa_name(isa), static_cast<unsigned long long>(checked),
                static_cast<unsigned long long>(bad));
  }
}

TEST(VpmQuotient, OnlyTheSafeRangeUsesTheReciprocal) {
  const std::vector<float> ok{0.5f, -3.0f, 1e6f}, s2_ok{1e-4f, 1.0f, 1e8f};
  EXPECT_TRUE(reciprocal_safe(ok, ok, ok, s2_ok, ok, ok, ok));
  for (float bad_coord : {0x1p41f, -0x1p41f, INFINITY, NAN}) {
    std::vector<float> c = ok;
    c[1] = bad_coord;
    EXPECT_FALSE(reciprocal_safe(c, ok, ok, s2_ok, ok, ok, ok)) << bad_coord;
    EXPECT_FALSE(reciprocal_safe(ok, ok, ok, s2_ok, ok, ok, c)) << bad_coord;
  }
  for (float bad_s2 : {0.0f, 1e-13f, 0x1p41f, INFINITY, NAN}) {
    std::vector<float> s = s2_ok;
    s[2] = bad_s2;
    EXPECT_FALSE(reciprocal_safe(ok, ok, ok, s, ok, ok, ok)) << bad_s2;
  }
}
