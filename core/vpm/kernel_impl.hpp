#pragma once
// The regularised Biot-Savart kernel, written once over an abstract vector
// type and instantiated by one unit per instruction set (kernel_*.cpp). Every
// definition here has internal linkage (see kernel_api.hpp for why).
//
// Per source p (lane p mod 8) and target x, in single precision, no fused
// multiply-add (Winckelmans & Leonard high-order algebraic smoothing):
//   d = x - x_p;  r2 = (dx*dx + dy*dy) + dz*dz
//   s2 = sg*sg;  rho2 = r2/s2;  t = rho2 + 1
//   den = (sg*s2) * ((t*t) * sqrt(t));  f = (rho2 + 2.5)/den
//   c = alpha_p x d;  u += c*f
// Lanes are scaled by 1/(4*pi) and summed in lane order at the end. Each
// vector lane performs exactly these scalar operations, so every instruction
// set gives the same bits.
#if defined(AERLOX_KERNEL_AVX512)
// GCC 12's AVX-512 headers seed full-width results with _mm512_undefined_*(),
// which -Wmaybe-uninitialized reports at every inlined use.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// Vector types as template arguments lose their alignment attribute in the
// argument's name only; the registers are unaffected.
#pragma GCC diagnostic ignored "-Wignored-attributes"
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define AERLOX_KERNEL_X86 1
#endif

#include <cmath>
#include <cstddef>
#include <functional>

#include "kernel_api.hpp"
#include "panic.hpp"

#define AERLOX_KINLINE inline __attribute__((always_inline))

namespace aerlox_rs::vpm::kern {
namespace {

// ---------------------------------------------------------------------------
// Vector types. V8 holds eight lanes of one target; W holds TPV targets of
// eight lanes each (two per register with AVX-512).

#if defined(AERLOX_KERNEL_AVX512) || defined(AERLOX_KERNEL_AVX2)
using V8 = __m256;
AERLOX_KINLINE V8 v8_load(const float* p) { return _mm256_load_ps(p); }
AERLOX_KINLINE V8 v8_splat(float a) { return _mm256_set1_ps(a); }
AERLOX_KINLINE V8 vsqrt(V8 a) { return _mm256_sqrt_ps(a); }
AERLOX_KINLINE void v8_store(float* p, V8 a) { _mm256_store_ps(p, a); }
// c - a*b and a*b + c, each rounded once (only for the quotient correction).
AERLOX_KINLINE V8 v8_fnma(V8 a, V8 b, V8 c) { return _mm256_fnmadd_ps(a, b, c); }
AERLOX_KINLINE V8 v8_fma(V8 a, V8 b, V8 c) { return _mm256_fmadd_ps(a, b, c); }
inline constexpr bool kHasFma = true;
#elif defined(AERLOX_KERNEL_X86)
// Baseline x86-64: eight lanes as two SSE registers.
struct V8 {
  __m128 lo, hi;
};
AERLOX_KINLINE V8 operator+(V8 a, V8 b) { return {_mm_add_ps(a.lo, b.lo), _mm_add_ps(a.hi, b.hi)}; }
AERLOX_KINLINE V8 operator-(V8 a, V8 b) { return {_mm_sub_ps(a.lo, b.lo), _mm_sub_ps(a.hi, b.hi)}; }
AERLOX_KINLINE V8 operator*(V8 a, V8 b) { return {_mm_mul_ps(a.lo, b.lo), _mm_mul_ps(a.hi, b.hi)}; }
AERLOX_KINLINE V8 operator/(V8 a, V8 b) { return {_mm_div_ps(a.lo, b.lo), _mm_div_ps(a.hi, b.hi)}; }
AERLOX_KINLINE V8 vsqrt(V8 a) { return {_mm_sqrt_ps(a.lo), _mm_sqrt_ps(a.hi)}; }
AERLOX_KINLINE V8 v8_load(const float* p) { return {_mm_load_ps(p), _mm_load_ps(p + 4)}; }
AERLOX_KINLINE V8 v8_splat(float a) { return {_mm_set1_ps(a), _mm_set1_ps(a)}; }
AERLOX_KINLINE void v8_store(float* p, V8 a) {
  _mm_store_ps(p, a.lo);
  _mm_store_ps(p + 4, a.hi);
}
inline constexpr bool kHasFma = false;
#else
// Any other processor: eight lanes as a compiler vector of plain IEEE
// single-precision arithmetic (the build never contracts it into FMA).
typedef float V8 __attribute__((vector_size(32), aligned(32)));
AERLOX_KINLINE V8 v8_load(const float* p) { return *reinterpret_cast<const V8*>(p); }
AERLOX_KINLINE V8 v8_splat(float a) { return V8{a, a, a, a, a, a, a, a}; }
AERLOX_KINLINE V8 vsqrt(V8 a) {
  V8 r;
  for (int i = 0; i < 8; ++i) r[i] = std::sqrt(a[i]);
  return r;
}
AERLOX_KINLINE void v8_store(float* p, V8 a) { *reinterpret_cast<V8*>(p) = a; }
inline constexpr bool kHasFma = false;
#endif

// Multi-target registers for the direct sum.
#if defined(AERLOX_KERNEL_AVX512)
// Two targets per register: lanes 0-7 belong to the first, 8-15 to the
// second; both see the same eight sources, except in the direct sum, which
// staggers them by one chunk (see eval_targets_impl).
struct WideTraits {
  using W = __m512;
  static constexpr std::size_t kTargets = 2;
  static AERLOX_KINLINE W load_src(const float* p) {
    return _mm512_castpd_ps(_mm512_broadcast_f64x4(_mm256_load_pd(reinterpret_cast<const double*>(p))));
  }
  static AERLOX_KINLINE W splat(float a) { return _mm512_set1_ps(a); }
  static AERLOX_KINLINE W targets(const float* t) {
    return _mm512_mask_blend_ps(static_cast<__mmask16>(0xFF00u), _mm512_set1_ps(t[0]), _mm512_set1_ps(t[1]));
  }
  static AERLOX_KINLINE W sqrt(W a) { return _mm512_sqrt_ps(a); }
  static AERLOX_KINLINE W fnma(W a, W b, W c) { return _mm512_fnmadd_ps(a, b, c); }
  static AERLOX_KINLINE W fma(W a, W b, W c) { return _mm512_fmadd_ps(a, b, c); }
  static AERLOX_KINLINE void store(float* p, W a) { _mm512_store_ps(p, a); }
  /// Chunk c-1 in lanes 0-7 and chunk c in lanes 8-15: one plain (unaligned)
  /// load instead of a broadcast, whose shuffle would compete with the divider.
  static AERLOX_KINLINE W load_staggered(const float* p) { return _mm512_loadu_ps(p - 8); }
};
// Registers per group (six targets). Three independent chains keep the
// divider busy while each waits on its own division; more gave no gain.
inline constexpr std::size_t kGroup = 3;
#else
struct WideTraits {
  using W = V8;
  static constexpr std::size_t kTargets = 1;
  static AERLOX_KINLINE W load_src(const float* p) { return v8_load(p); }
  static AERLOX_KINLINE W splat(float a) { return v8_splat(a); }
  static AERLOX_KINLINE W targets(const float* t) { return v8_splat(t[0]); }
  static AERLOX_KINLINE W sqrt(W a) { return vsqrt(a); }
#if defined(AERLOX_KERNEL_AVX2)
  static AERLOX_KINLINE W fnma(W a, W b, W c) { return v8_fnma(a, b, c); }
  static AERLOX_KINLINE W fma(W a, W b, W c) { return v8_fma(a, b, c); }
#else
  // Never reached: without FMA the reciprocal mode is not instantiated.
  static AERLOX_KINLINE W fnma(W a, W, W) { return a; }
  static AERLOX_KINLINE W fma(W a, W, W) { return a; }
#endif
  static AERLOX_KINLINE void store(float* p, W a) { v8_store(p, a); }
};
// Measured best: one register per group with AVX2, two with SSE.
#if defined(AERLOX_KERNEL_AVX2)
inline constexpr std::size_t kGroup = 1;
#else
inline constexpr std::size_t kGroup = 2;
#endif
#endif

// ---------------------------------------------------------------------------
// One source chunk against one target register. The operation order is the
// kernel's definition; do not reassociate.
//
// How the per-source factors arrive:
//   FromSigma: only sg; s2 = sg*sg and sg*s2 are formed here.
//   Pre:       s2 and s3 = sg*s2 precomputed per source (the same products).
//   Recip:     as Pre, plus rs2 = RN(1/s2). rho2 = r2/s2 is then formed as
//              q0 = RN(r2*rs2), e = r2 - q0*s2 (exact, one fused rounding),
//              rho2 = RN(q0 + e*rs2) (one fused rounding). With a correctly
//              rounded reciprocal and no underflow or overflow this is the
//              correctly rounded quotient, i.e. the bits of the division
//              (Markstein); the caller only passes rs2 when every source and
//              target is in that range or in one where rho2 cannot matter
//              (see reciprocal_safe in common.cpp).
enum class Mode { FromSigma, Pre, Recip };

template <class W>
struct SrcRegs {
  W x, y, z, ax, ay, az;
  W a;  ///< sg (FromSigma) or s2
  W b;  ///< s3 (Pre, Recip)
  W c;  ///< rs2 (Recip)
};

template <Mode M, class W, class Load>
AERLOX_KINLINE SrcRegs<W> load_regs(const Src& s, std::size_t o, Load ld) {
  SrcRegs<W> r;
  r.x = ld(s.x + o);
  r.y = ld(s.y + o);
  r.z = ld(s.z + o);
  r.ax = ld(s.ax + o);
  r.ay = ld(s.ay + o);
  r.az = ld(s.az + o);
  if constexpr (M == Mode::FromSigma) {
    r.a = ld(s.sg + o);
    r.b = r.a;
    r.c = r.a;
  } else {
    r.a = ld(s.s2 + o);
    r.b = ld(s.s3 + o);
    if constexpr (M == Mode::Recip)
      r.c = ld(s.rs2 + o);
    else
      r.c = r.a;
  }
  return r;
}

struct NoFma {
  template <class W>
  W fma(W, W, W) const {
    return W{};
  }
  template <class W>
  W fnma(W, W, W) const {
    return W{};
  }
};

// a/b from rb = RN(1/b): q0 = RN(a*rb), e = a - q0*b (one rounding, exact
// here), q = RN(q0 + e*rb). Nothing else in the kernel uses a fused step.
template <class W, class Fma>
AERLOX_KINLINE W recip_quotient(W a, W b, W rb, Fma fm) {
  const W q0 = a * rb;
  const W e = fm.fnma(q0, b, a);
  return fm.fma(e, rb, q0);
}

template <Mode M, class W, class Sqrt, class Fma = NoFma, class Add = decltype(std::plus<>{})>
AERLOX_KINLINE void interact(W xj, W yj, W zj, const SrcRegs<W>& s, W one, W two5, W& ux, W& uy, W& uz, Sqrt vs,
                             Fma fm = {}, Add add = {}) {
  const W dx = xj - s.x;
  const W dy = yj - s.y;
  const W dz = zj - s.z;
  const W r2 = (dx * dx + dy * dy) + dz * dz;
  W s2, s3, rho2;
  if constexpr (M == Mode::FromSigma) {
    s2 = s.a * s.a;
    s3 = s.a * s2;
  } else {
    s2 = s.a;
    s3 = s.b;
  }
  if constexpr (M == Mode::Recip) {
    rho2 = recip_quotient(r2, s2, s.c, fm);
  } else {
    rho2 = r2 / s2;
  }
  const W t = rho2 + one;
  const W den = s3 * ((t * t) * vs(t));
  const W f = (rho2 + two5) / den;
  const W cx = dz * s.ay - dy * s.az;
  const W cy = dx * s.az - dz * s.ax;
  const W cz = dy * s.ax - dx * s.ay;
  ux = add(ux, cx * f);
  uy = add(uy, cy * f);
  uz = add(uz, cz * f);
}

// Scale by 1/(4*pi), then add lanes 0..7 in order.
AERLOX_KINLINE float reduce_lanes(const float* l) {
  float s = l[0] * kInv4Pi;
  for (int i = 1; i < 8; ++i) s = s + l[i] * kInv4Pi;
  return s;
}

AERLOX_KINLINE V8 v8_sqrt_fn(V8 a) { return vsqrt(a); }

// One target, eight lanes, chunks [c0, c1).
AERLOX_KINLINE void accumulate_v8(V8 xj, V8 yj, V8 zj, const Src& s, std::size_t c0, std::size_t c1,
                                  V8& ux, V8& uy, V8& uz) {
  const V8 one = v8_splat(1.0f);
  const V8 two5 = v8_splat(2.5f);
  const auto ld = [](const float* p) { return v8_load(p); };
  for (std::size_t c = c0; c < c1; ++c) {
    const SrcRegs<V8> r = load_regs<Mode::FromSigma, V8>(s, c * 8, ld);
    interact<Mode::FromSigma>(xj, yj, zj, r, one, two5, ux, uy, uz, [](V8 a) { return v8_sqrt_fn(a); });
  }
}

// Two targets, each on its own registers, over the same chunks [c0, c1):
// each target's operations are exactly those of accumulate_v8, but the two
// chains overlap, and a leaf shared by several targets costs half the loop
// exits (each a mispredicted branch that drains the pipeline).
AERLOX_KINLINE void accumulate_v8_pair(V8 xa, V8 ya, V8 za, V8 xb, V8 yb, V8 zb, const Src& s, std::size_t c0,
                                       std::size_t c1, V8& uxa, V8& uya, V8& uza, V8& uxb, V8& uyb, V8& uzb) {
  const V8 one = v8_splat(1.0f);
  const V8 two5 = v8_splat(2.5f);
  const auto ld = [](const float* p) { return v8_load(p); };
  const auto vs = [](V8 a) { return v8_sqrt_fn(a); };
  for (std::size_t c = c0; c < c1; ++c) {
    const SrcRegs<V8> r = load_regs<Mode::FromSigma, V8>(s, c * 8, ld);
    interact<Mode::FromSigma>(xa, ya, za, r, one, two5, uxa, uya, uza, vs);
    interact<Mode::FromSigma>(xb, yb, zb, r, one, two5, uxb, uyb, uzb, vs);
  }
}

void accumulate_impl(const Lane8& xj, const Lane8& yj, const Lane8& zj, const Src& src, std::size_t c0,
                     std::size_t c1, Lane8& ux, Lane8& uy, Lane8& uz) {
  V8 ax = v8_load(ux.v), ay = v8_load(uy.v), az = v8_load(uz.v);
  accumulate_v8(v8_load(xj.v), v8_load(yj.v), v8_load(zj.v), src, c0, c1, ax, ay, az);
  v8_store(ux.v, ax);
  v8_store(uy.v, ay);
  v8_store(uz.v, az);
}

// The direct sum for targets [j0, j1): groups of kGroup registers share each
// source load; a short last group repeats its last target and drops the copies.
template <Mode M>
void eval_targets_mode(const Src& src, const float* tx, const float* ty, const float* tz, std::size_t j0,
                       std::size_t j1, Vel* out) {
  using T = WideTraits;
  using W = T::W;
  constexpr std::size_t kPer = kGroup * T::kTargets;
  constexpr std::size_t kLanes = 8 * T::kTargets;
  const W one = T::splat(1.0f);
  const W two5 = T::splat(2.5f);
  const auto vs = [](W a) { return T::sqrt(a); };
  struct Fm {
    AERLOX_KINLINE W fma(W a, W b, W c) const {
      if constexpr (M == Mode::Recip) return T::fma(a, b, c);
      return a;
    }
    AERLOX_KINLINE W fnma(W a, W b, W c) const {
      if constexpr (M == Mode::Recip) return T::fnma(a, b, c);
      return a;
    }
  };
  for (std::size_t j = j0; j < j1; j += kPer) {
    float gx[kPer], gy[kPer], gz[kPer];
    for (std::size_t k = 0; k < kPer; ++k) {
      const std::size_t jj = j + k < j1 ? j + k : j1 - 1;
      gx[k] = tx[jj];
      gy[k] = ty[jj];
      gz[k] = tz[jj];
    }
    W xj[kGroup], yj[kGroup], zj[kGroup], ux[kGroup], uy[kGroup], uz[kGroup];
    for (std::size_t g = 0; g < kGroup; ++g) {
      xj[g] = T::targets(gx + g * T::kTargets);
      yj[g] = T::targets(gy + g * T::kTargets);
      zj[g] = T::targets(gz + g * T::kTargets);
      ux[g] = uy[g] = uz[g] = T::splat(0.0f);
    }
#if defined(AERLOX_KERNEL_AVX512)
    // The second target of each register runs one chunk ahead of the first,
    // so step c reads chunks c-1 and c as one contiguous load. Each lane still
    // sees its target's chunks in order; the first step feeds only the second
    // target (chunk 0) and the last only the first (chunk n-1).
    const std::size_t n = src.n_chunks;
    const auto edge = [&](std::size_t o, __mmask16 keep) {
      const SrcRegs<W> r = load_regs<M, W>(src, o, [](const float* p) { return T::load_src(p); });
      const auto add = [keep](W u, W d) { return _mm512_mask_add_ps(u, keep, u, d); };
      for (std::size_t g = 0; g < kGroup; ++g)
        interact<M>(xj[g], yj[g], zj[g], r, one, two5, ux[g], uy[g], uz[g], vs, Fm{}, add);
    };
    if (n != 0) edge(0, static_cast<__mmask16>(0xFF00u));
    for (std::size_t c = 1; c < n; ++c) {
      const SrcRegs<W> r = load_regs<M, W>(src, c * 8, [](const float* p) { return T::load_staggered(p); });
      for (std::size_t g = 0; g < kGroup; ++g)
        interact<M>(xj[g], yj[g], zj[g], r, one, two5, ux[g], uy[g], uz[g], vs, Fm{});
    }
    if (n != 0) edge((n - 1) * 8, static_cast<__mmask16>(0x00FFu));
#else
    for (std::size_t c = 0; c < src.n_chunks; ++c) {
      const SrcRegs<W> r = load_regs<M, W>(src, c * 8, [](const float* p) { return T::load_src(p); });
      for (std::size_t g = 0; g < kGroup; ++g)
        interact<M>(xj[g], yj[g], zj[g], r, one, two5, ux[g], uy[g], uz[g], vs, Fm{});
    }
#endif
    for (std::size_t g = 0; g < kGroup; ++g) {
      alignas(64) float lx[kLanes], ly[kLanes], lz[kLanes];
      T::store(lx, ux[g]);
      T::store(ly, uy[g]);
      T::store(lz, uz[g]);
      for (std::size_t k = 0; k < T::kTargets; ++k) {
        const std::size_t jj = j + g * T::kTargets + k;
        if (jj < j1) out[jj] = Vel{reduce_lanes(lx + 8 * k), reduce_lanes(ly + 8 * k), reduce_lanes(lz + 8 * k)};
      }
    }
  }
}

void eval_targets_impl(const Src& src, const float* tx, const float* ty, const float* tz, std::size_t j0,
                       std::size_t j1, Vel* out) {
  if (src.s2 == nullptr || src.s3 == nullptr) {
    eval_targets_mode<Mode::FromSigma>(src, tx, ty, tz, j0, j1, out);
  } else if (src.rs2 != nullptr) {
    if constexpr (kHasFma)
      eval_targets_mode<Mode::Recip>(src, tx, ty, tz, j0, j1, out);
    else
      eval_targets_mode<Mode::Pre>(src, tx, ty, tz, j0, j1, out);
  } else {
    eval_targets_mode<Mode::Pre>(src, tx, ty, tz, j0, j1, out);
  }
}

// q[i] = a[i]/b[i] as the direct sum forms rho2 = r2/s2 on this instruction
// set (rb[i] = RN(1/b[i]) must be given): the reciprocal form where the unit
// has it, the division otherwise. n must be a multiple of 8; the arrays need
// no alignment. Exists so that tests can check the quotient on billions of
// operand pairs exactly as the kernel computes it.
void quotients_impl(const float* a, const float* b, const float* rb, float* q, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 8) {
    alignas(32) float la[8], lb[8], lr[8], lq[8];
    for (int k = 0; k < 8; ++k) {
      la[k] = a[i + k];
      lb[k] = b[i + k];
      lr[k] = rb[i + k];
    }
    V8 r;
    if constexpr (kHasFma) {
#if defined(AERLOX_KERNEL_AVX2) || defined(AERLOX_KERNEL_AVX512)
      struct Fm {
        AERLOX_KINLINE V8 fma(V8 x, V8 y, V8 z) const { return v8_fma(x, y, z); }
        AERLOX_KINLINE V8 fnma(V8 x, V8 y, V8 z) const { return v8_fnma(x, y, z); }
      };
      r = recip_quotient(v8_load(la), v8_load(lb), v8_load(lr), Fm{});
#endif
    } else {
      (void)lr;
      r = v8_load(la) / v8_load(lb);
    }
    v8_store(lq, r);
    for (int k = 0; k < 8; ++k) q[i + k] = lq[k];
  }
}

// ---------------------------------------------------------------------------
// Barnes-Hut traversal. Each target's walk: near leaves are summed exactly in
// traversal order, far cells are queued in its far list and summed after.
// Up to kTreeGroup targets walk together: at each cell the opening test runs
// for all of them at once, and a target that takes the cell (far, or a near
// leaf) sleeps until the walk reaches the cell's escape index, which is where
// its own walk would continue. So each target meets exactly the cells of its
// own walk, in the same order, with the same arithmetic.

// Bit g set where a[g] > b[g] (lanes 0-7).
AERLOX_KINLINE unsigned gt_mask(V8 a, V8 b) {
#if defined(AERLOX_KERNEL_AVX512) || defined(AERLOX_KERNEL_AVX2)
  return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_GT_OQ)));
#elif defined(AERLOX_KERNEL_X86)
  return static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(a.lo, b.lo))) |
         (static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(a.hi, b.hi))) << 4);
#else
  unsigned m = 0;
  for (int i = 0; i < 8; ++i) m |= (a[i] > b[i] ? 1u : 0u) << i;
  return m;
#endif
}

// The far lists' arrays, held in locals so that the stores through them do
// not make the compiler reload the pointers (they cannot alias each other).
struct FarLists {
  float* __restrict x;
  float* __restrict y;
  float* __restrict z;
  float* __restrict ax;
  float* __restrict ay;
  float* __restrict az;
  float* __restrict sg;
  std::uint32_t* __restrict idx;
  std::size_t cap;
};

AERLOX_KINLINE void far_put(const FarLists& s, std::size_t i, float x, float y, float z, float ax, float ay,
                            float az, float sg) {
  s.x[i] = x;
  s.y[i] = y;
  s.z[i] = z;
  s.ax[i] = ax;
  s.ay[i] = ay;
  s.az[i] = az;
  s.sg[i] = sg;
}

// Copies the queued cells at idx[oi, oi + len) out to the float arrays (one staging list,
// reused by every target), padded with inert entries (origin, no strength,
// core 1) to whole chunks; returns the padded length.
AERLOX_KINLINE std::size_t far_fill(const FarLists& s, const TreeView& tree, std::size_t oi, std::size_t len) {
  constexpr std::size_t o = 0;  // the staging list
  std::size_t i = 0;
#if defined(AERLOX_KERNEL_AVX512) || defined(AERLOX_KERNEL_AVX2)
  // Whole chunks: eight payload records, transposed in registers; the lists
  // start on chunk boundaries, so the stores are aligned.
  if (tree.payload != nullptr) {
    const float* pl = tree.payload;
    for (; i + 8 <= len; i += 8) {
      const std::uint32_t* id = s.idx + oi + i;
      const __m256 r0 = _mm256_load_ps(pl + 8 * std::size_t{id[0]}), r1 = _mm256_load_ps(pl + 8 * std::size_t{id[1]});
      const __m256 r2 = _mm256_load_ps(pl + 8 * std::size_t{id[2]}), r3 = _mm256_load_ps(pl + 8 * std::size_t{id[3]});
      const __m256 r4 = _mm256_load_ps(pl + 8 * std::size_t{id[4]}), r5 = _mm256_load_ps(pl + 8 * std::size_t{id[5]});
      const __m256 r6 = _mm256_load_ps(pl + 8 * std::size_t{id[6]}), r7 = _mm256_load_ps(pl + 8 * std::size_t{id[7]});
      const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1);
      const __m256 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3);
      const __m256 t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5);
      const __m256 t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
      const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
      const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
      const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
      const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
      _mm256_store_ps(s.x + o + i, _mm256_permute2f128_ps(u0, u4, 0x20));
      _mm256_store_ps(s.y + o + i, _mm256_permute2f128_ps(u1, u5, 0x20));
      _mm256_store_ps(s.z + o + i, _mm256_permute2f128_ps(u2, u6, 0x20));
      _mm256_store_ps(s.ax + o + i, _mm256_permute2f128_ps(u3, u7, 0x20));
      _mm256_store_ps(s.ay + o + i, _mm256_permute2f128_ps(u0, u4, 0x31));
      _mm256_store_ps(s.az + o + i, _mm256_permute2f128_ps(u1, u5, 0x31));
      _mm256_store_ps(s.sg + o + i, _mm256_permute2f128_ps(u2, u6, 0x31));
    }
  }
#endif
  for (; i < len; ++i) {
    const FlatNode& n = tree.nodes[s.idx[oi + i]];
    far_put(s, o + i, n.center[0], n.center[1], n.center[2], n.sum_a[0], n.sum_a[1], n.sum_a[2], n.sigma_rep);
  }
  std::size_t padded = len;
  while (padded % 8 != 0) {
    if (padded >= s.cap) index_failed(s.cap, padded);
    far_put(s, o + padded, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f);
    padded = padded + 1;
  }
  return padded;
}

// Where each target of a walking group resumes: the index of the next cell
// its own walk would visit (kDone once it has finished or for an unused slot).
// A cell is active for the targets whose mark is at or below it.
using Mask = unsigned long long;  // one bit per target of a group
static_assert(kTreeGroup <= 64, "a group fits one mask");
inline constexpr std::uint32_t kDone = 0xFFFFFFFFu;
#if defined(AERLOX_KERNEL_AVX512)
// Sixteen marks per register, so that a cell's bookkeeping for the whole
// group is a handful of vector operations rather than a loop over targets.
struct Marks {
  static_assert(kTreeGroup == 64, "four registers of sixteen marks");
  __m512i u[4];
  explicit Marks(std::size_t n_t) {
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (int i = 0; i < 4; ++i) {
      const __m512i g = _mm512_add_epi32(lane, _mm512_set1_epi32(16 * i));
      const __mmask16 unused = _mm512_cmpge_epu32_mask(g, _mm512_set1_epi32(static_cast<int>(n_t)));
      u[i] = _mm512_maskz_mov_epi32(static_cast<__mmask16>(unused), _mm512_set1_epi32(-1));
    }
  }
  AERLOX_KINLINE Mask active(std::uint32_t k) const {
    const __m512i kk = _mm512_set1_epi32(static_cast<int>(k));
    Mask m = 0;
    for (int i = 0; i < 4; ++i) m |= Mask{_mm512_cmple_epu32_mask(u[i], kk)} << (16 * i);
    return m;
  }
  /// Targets in m resume at esc.
  AERLOX_KINLINE void park(Mask m, std::uint32_t esc) {
    const __m512i e = _mm512_set1_epi32(static_cast<int>(esc));
    for (int i = 0; i < 4; ++i) u[i] = _mm512_mask_mov_epi32(u[i], static_cast<__mmask16>(m >> (16 * i)), e);
  }
  AERLOX_KINLINE std::uint32_t next() const {
    const __m512i m = _mm512_min_epu32(_mm512_min_epu32(u[0], u[1]), _mm512_min_epu32(u[2], u[3]));
    return static_cast<std::uint32_t>(_mm512_reduce_min_epu32(m));
  }
};
#else
struct Marks {
  std::uint32_t u[kTreeGroup];
  explicit Marks(std::size_t n_t) {
    for (std::size_t g = 0; g < kTreeGroup; ++g) u[g] = g < n_t ? 0u : kDone;
  }
  AERLOX_KINLINE Mask active(std::uint32_t k) const {
    Mask m = 0;
    for (std::size_t g = 0; g < kTreeGroup; ++g) m |= Mask{u[g] <= k ? 1u : 0u} << g;
    return m;
  }
  AERLOX_KINLINE void park(Mask m, std::uint32_t esc) {
    for (std::size_t g = 0; g < kTreeGroup; ++g) u[g] = ((m >> g) & 1u) != 0 ? esc : u[g];
  }
  AERLOX_KINLINE std::uint32_t next() const {
    std::uint32_t m = kDone;
    for (std::size_t g = 0; g < kTreeGroup; ++g) m = u[g] < m ? u[g] : m;
    return m;
  }
};
#endif

void eval_tree_impl(const TreeView& tree, const float* tx, const float* ty, const float* tz, std::size_t j0,
                    std::size_t j1, float theta2, ScratchView& scratch, Vel* out, const std::uint32_t* order) {
  const std::size_t group = scratch.lists < kTreeGroup ? (scratch.lists == 0 ? 1 : scratch.lists) : kTreeGroup;
  const std::uint32_t n_nodes = static_cast<std::uint32_t>(tree.n_nodes);
  const FarLists lists{scratch.sx,  scratch.sy, scratch.sz,  scratch.sax, scratch.say,
                       scratch.saz, scratch.sg, scratch.idx, scratch.cap};
  // With four lists or more, the walk logs each far cell once with the mask
  // of the targets that take it (node index, mask low and high words), and
  // each target's list is drawn from the log afterwards, in the same order.
#if defined(AERLOX_KERNEL_AVX512)
  const bool log = scratch.lists >= 4;
#else
  constexpr bool log = false;
#endif
  std::uint32_t* __restrict ev_k = scratch.idx;
  std::uint32_t* __restrict ev_lo = scratch.idx + scratch.cap;
  std::uint32_t* __restrict ev_hi = scratch.idx + 2 * scratch.cap;
  const std::size_t drawn = 3 * scratch.cap;
  for (std::size_t j = j0; j < j1; j += group) {
    std::size_t n_ev = 0;
    const std::size_t n_t = j1 - j < group ? j1 - j : group;
    std::size_t idx[kTreeGroup];
    alignas(64) float gx[kTreeGroup], gy[kTreeGroup], gz[kTreeGroup];
    std::size_t len[kTreeGroup];
    for (std::size_t g = 0; g < kTreeGroup; ++g) {
      const std::size_t jj = j + (g < n_t ? g : n_t - 1);
      const std::size_t i = order ? order[jj] : jj;
      idx[g] = i;
      len[g] = 0;
      gx[g] = tx[i];
      gy[g] = ty[i];
      gz[g] = tz[i];
    }
    // The opening test, far where theta2 * d2 > (2 half)^2, for every target
    // of the group at once.
#if defined(AERLOX_KERNEL_AVX512)
    constexpr std::size_t kRegs = kTreeGroup / 16;
    __m512 X[kRegs], Y[kRegs], Z[kRegs];
    for (std::size_t r = 0; r < kRegs; ++r) {
      X[r] = _mm512_load_ps(gx + 16 * r);
      Y[r] = _mm512_load_ps(gy + 16 * r);
      Z[r] = _mm512_load_ps(gz + 16 * r);
    }
    const __m512 th2 = _mm512_set1_ps(theta2);
    const auto far_of = [&](const FlatNode& node) {
      const __m512 cx = _mm512_set1_ps(node.center[0]), cy = _mm512_set1_ps(node.center[1]),
                   cz = _mm512_set1_ps(node.center[2]), edge2 = _mm512_set1_ps(node.four_half2);
      Mask far = 0;
      for (std::size_t r = 0; r < kRegs; ++r) {
        const __m512 ex = X[r] - cx;
        const __m512 ey = Y[r] - cy;
        const __m512 ez = Z[r] - cz;
        const __m512 d2 = (ex * ex + ey * ey) + ez * ez;
        far |= Mask{_mm512_cmp_ps_mask(th2 * d2, edge2, _CMP_GT_OQ)} << (16 * r);
      }
      return far;
    };
#else
    static_assert(kTreeGroup % 8 == 0, "whole eight-lane target registers");
    constexpr std::size_t kRegs = kTreeGroup / 8;
    V8 X[kRegs], Y[kRegs], Z[kRegs];
    for (std::size_t r = 0; r < kRegs; ++r) {
      X[r] = v8_load(gx + 8 * r);
      Y[r] = v8_load(gy + 8 * r);
      Z[r] = v8_load(gz + 8 * r);
    }
    const V8 th2 = v8_splat(theta2);
    const auto far_of = [&](const FlatNode& node) {
      const V8 cx = v8_splat(node.center[0]), cy = v8_splat(node.center[1]), cz = v8_splat(node.center[2]);
      const V8 edge2 = v8_splat(node.four_half2);
      Mask far = 0;
      for (std::size_t r = 0; r < kRegs; ++r) {
        const V8 ex = X[r] - cx;
        const V8 ey = Y[r] - cy;
        const V8 ez = Z[r] - cz;
        const V8 d2 = (ex * ex + ey * ey) + ez * ez;
        far |= Mask{gt_mask(th2 * d2, edge2)} << (8 * r);
      }
      return far;
    };
#endif
    V8 ux[kTreeGroup], uy[kTreeGroup], uz[kTreeGroup];
    for (std::size_t g = 0; g < n_t; ++g) ux[g] = uy[g] = uz[g] = v8_splat(0.0f);

    Marks marks(n_t);
    std::uint32_t k = 0;
    while (k < n_nodes) {
      const FlatNode& node = tree.nodes[k];
      const Mask active = marks.active(k);
      const Mask far = far_of(node) & active;
      const Mask near = active & ~far;
      if (far != 0) {
        if (log) {
          if (n_ev >= lists.cap) index_failed(lists.cap, n_ev);
          ev_k[n_ev] = k;
          ev_lo[n_ev] = static_cast<std::uint32_t>(far);
          ev_hi[n_ev] = static_cast<std::uint32_t>(far >> 32);
          n_ev = n_ev + 1;
        } else {
          for (Mask m = far; m != 0; m &= m - 1) {
            const std::size_t g = static_cast<std::size_t>(__builtin_ctzll(m));
            if (len[g] >= lists.cap) index_failed(lists.cap, len[g]);
            lists.idx[g * lists.cap + len[g]] = k;
            len[g] = len[g] + 1;
          }
        }
        marks.park(far, node.escape);
      }
      if (node.leaf_chunks != 0) {
        const std::size_t c0 = node.leaf_start / 8;
        const std::size_t c1 = c0 + node.leaf_chunks;
        Mask m = near;
        for (; (m & (m - 1)) != 0; m &= m - 1, m &= m - 1) {
          const std::size_t a = static_cast<std::size_t>(__builtin_ctzll(m));
          const std::size_t b = static_cast<std::size_t>(__builtin_ctzll(m & (m - 1)));
          accumulate_v8_pair(v8_splat(gx[a]), v8_splat(gy[a]), v8_splat(gz[a]), v8_splat(gx[b]), v8_splat(gy[b]),
                             v8_splat(gz[b]), tree.sorted, c0, c1, ux[a], uy[a], uz[a], ux[b], uy[b], uz[b]);
        }
        if (m != 0) {
          const std::size_t g = static_cast<std::size_t>(__builtin_ctzll(m));
          accumulate_v8(v8_splat(gx[g]), v8_splat(gy[g]), v8_splat(gz[g]), tree.sorted, c0, c1, ux[g], uy[g], uz[g]);
        }
        marks.park(near, node.escape);
        k = marks.next();
      } else if (near != 0) {
        k = k + 1;
      } else {
        k = marks.next();
      }
    }
    for (std::size_t g = 0; g < n_t; ++g) {
      std::size_t oi = g * lists.cap;
      if (log) {
        // Entries for the target: every logged cell, kept where its bit is set.
        const std::uint32_t* __restrict word = g < 32 ? ev_lo : ev_hi;
        const unsigned sh = static_cast<unsigned>(g % 32);
        std::uint32_t* __restrict dst = lists.idx + drawn;
        std::size_t n = 0;
        std::size_t e = 0;
#if defined(AERLOX_KERNEL_AVX512)
        // Sixteen logged cells at a time, the kept ones packed in order.
        const __m512i bit = _mm512_set1_epi32(static_cast<int>(1u << sh));
        for (; e + 16 <= n_ev; e += 16) {
          const __mmask16 keep = _mm512_test_epi32_mask(_mm512_loadu_si512(word + e), bit);
          const __m512i packed = _mm512_maskz_compress_epi32(keep, _mm512_loadu_si512(ev_k + e));
          _mm512_storeu_si512(dst + n, packed);
          n += static_cast<std::size_t>(__builtin_popcount(keep));
        }
#endif
        for (; e < n_ev; ++e) {
          dst[n] = ev_k[e];
          n += (word[e] >> sh) & 1u;
        }
        oi = drawn;
        len[g] = n;
      }
      len[g] = far_fill(lists, tree, oi, len[g]);
      const Src far{scratch.sx,  scratch.sy, scratch.sz, scratch.sax, scratch.say,
                    scratch.saz, scratch.sg, len[g] / 8, nullptr, nullptr, nullptr};
      accumulate_v8(v8_splat(gx[g]), v8_splat(gy[g]), v8_splat(gz[g]), far, 0, far.n_chunks, ux[g], uy[g], uz[g]);
      alignas(32) float lx[8], ly[8], lz[8];
      v8_store(lx, ux[g]);
      v8_store(ly, uy[g]);
      v8_store(lz, uz[g]);
      out[idx[g]] = Vel{reduce_lanes(lx), reduce_lanes(ly), reduce_lanes(lz)};
      scratch.len = len[g];
    }
  }
}

}  // namespace
}  // namespace aerlox_rs::vpm::kern
