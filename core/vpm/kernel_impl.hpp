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

#include "grad_combine.hpp"
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

// Copies the queued cells at idx[oi, oi + len) out to the float arrays as a
// list of cap entries at most, padded with inert entries (origin, no
// strength, core 1) to whole chunks; returns the padded length. Chunk c of
// the list lands at entry o + c*stride (stride 8: one list; 16: two lists
// interleaved chunk by chunk, the second at o = 8).
AERLOX_KINLINE std::size_t far_fill(const FarLists& s, const TreeView& tree, std::size_t oi, std::size_t len,
                                    std::size_t o = 0, std::size_t stride = 8) {
  const auto at = [o, stride](std::size_t i) { return o + i / 8 * stride + i % 8; };
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
      _mm256_store_ps(s.x + at(i), _mm256_permute2f128_ps(u0, u4, 0x20));
      _mm256_store_ps(s.y + at(i), _mm256_permute2f128_ps(u1, u5, 0x20));
      _mm256_store_ps(s.z + at(i), _mm256_permute2f128_ps(u2, u6, 0x20));
      _mm256_store_ps(s.ax + at(i), _mm256_permute2f128_ps(u3, u7, 0x20));
      _mm256_store_ps(s.ay + at(i), _mm256_permute2f128_ps(u0, u4, 0x31));
      _mm256_store_ps(s.az + at(i), _mm256_permute2f128_ps(u1, u5, 0x31));
      _mm256_store_ps(s.sg + at(i), _mm256_permute2f128_ps(u2, u6, 0x31));
    }
  }
#endif
  for (; i < len; ++i) {
    const FlatNode& n = tree.nodes[s.idx[oi + i]];
    far_put(s, at(i), n.center[0], n.center[1], n.center[2], n.sum_a[0], n.sum_a[1], n.sum_a[2], n.sigma_rep);
  }
  std::size_t padded = len;
  while (padded % 8 != 0) {
    if (padded >= s.cap) index_failed(s.cap, padded);
    far_put(s, at(padded), 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f);
    padded = padded + 1;
  }
  return padded;
}

using Mask = unsigned long long;  // one bit per target of a group
static_assert(kTreeGroup <= 64, "a group fits one mask");
// Levels of a tree at most: cells halve from the root's half-size (a finite
// float) down to kMinHalf at the least.
inline constexpr std::size_t kMaxTreeDepth = 160;

// Where a walking group's parked targets resume. A target parked at cell c
// (far, or a near leaf) resumes at c's escape, the end of c's subtree in
// preorder. The walk only visits cells inside the subtrees of the cells it
// parked targets at, so the distinct resume points are escapes of ancestors
// of the current cell, nested: a stack of at most one entry per level, the
// nearest on top. When every active target is done with a cell, the walk
// continues at the cell's escape with the targets resuming there.
class ParkedStack {
 public:
  void park(Mask who, std::uint32_t at) {
    if (depth_ != 0 && entry_[depth_ - 1].at == at) {
      entry_[depth_ - 1].who |= who;
      return;
    }
    if (depth_ == kMaxTreeDepth) index_failed(kMaxTreeDepth, depth_);
    entry_[depth_] = Entry{at, who};
    depth_ = depth_ + 1;
  }
  /// The targets parked at the top resume point, which the caller reached.
  Mask resume() {
    if (depth_ == 0) index_failed(0, 0);
    depth_ = depth_ - 1;
    return entry_[depth_].who;
  }

 private:
  struct Entry {
    std::uint32_t at;
    Mask who;
  };
  Entry entry_[kMaxTreeDepth];
  std::size_t depth_ = 0;
};

// Cells met by a walking group, each once, with the mask of the targets that
// take it: node index and the mask's low and high words (cap entries each).
struct EventLog {
  std::uint32_t* __restrict k;
  std::uint32_t* __restrict lo;
  std::uint32_t* __restrict hi;
  std::size_t n;
  std::size_t cap;
  AERLOX_KINLINE void put(std::uint32_t node, Mask m) {
    if (n >= cap) index_failed(cap, n);
    k[n] = node;
    lo[n] = static_cast<std::uint32_t>(m);
    hi[n] = static_cast<std::uint32_t>(m >> 32);
    n = n + 1;
  }
  /// Writes the cells target g takes to dst, in logged order (dst needs room
  /// for n entries); returns their number.
  AERLOX_KINLINE std::size_t draw(std::size_t g, std::uint32_t* __restrict dst) const {
    const std::uint32_t* __restrict word = g < 32 ? lo : hi;
    const unsigned sh = static_cast<unsigned>(g % 32);
    std::size_t kept = 0;
    std::size_t e = 0;
#if defined(AERLOX_KERNEL_AVX512)
    // Sixteen logged cells at a time, the kept ones packed in order (the
    // store reaches at most entry e + 16 <= n).
    const __m512i bit = _mm512_set1_epi32(static_cast<int>(1u << sh));
    for (; e + 16 <= n; e += 16) {
      const __mmask16 keep = _mm512_test_epi32_mask(_mm512_loadu_si512(word + e), bit);
      _mm512_storeu_si512(dst + kept, _mm512_maskz_compress_epi32(keep, _mm512_loadu_si512(k + e)));
      kept += static_cast<std::size_t>(__builtin_popcount(keep));
    }
#endif
    for (; e < n; ++e) {
      dst[kept] = k[e];
      kept += (word[e] >> sh) & 1u;
    }
    return kept;
  }
};

// A walking group's targets: indices, coordinates, and for the last group
// copies of its last target in the unused slots.
struct GroupTargets {
  std::size_t n;
  std::size_t idx[kTreeGroup];
  alignas(64) float x[kTreeGroup];
  alignas(64) float y[kTreeGroup];
  alignas(64) float z[kTreeGroup];
  GroupTargets(const float* tx, const float* ty, const float* tz, std::size_t j, std::size_t n_t,
               const std::uint32_t* order)
      : n(n_t) {
    for (std::size_t g = 0; g < kTreeGroup; ++g) {
      const std::size_t jj = j + (g < n_t ? g : n_t - 1);
      const std::size_t i = order ? order[jj] : jj;
      idx[g] = i;
      x[g] = tx[i];
      y[g] = ty[i];
      z[g] = tz[i];
    }
  }
  Mask all() const { return n == 64 ? ~Mask{0} : (Mask{1} << n) - 1; }
};

// One group's walk: calls take_far(k, far) and take_near(k, node, near) for
// every cell k with the masks of the active targets that take it as a far
// cell or as a near leaf. far_of(node) is the group's opening test.
template <class FarOf, class TakeFar, class TakeNear>
AERLOX_KINLINE void walk_group(const TreeView& tree, Mask all, FarOf far_of, TakeFar take_far, TakeNear take_near) {
  const std::uint32_t n_nodes = static_cast<std::uint32_t>(tree.n_nodes);
  ParkedStack parked;
  Mask active = all;
  std::uint32_t k = 0;
  while (k < n_nodes) {
    const FlatNode& node = tree.nodes[k];
    const std::uint32_t esc = node.escape;
    // The next cell is the first child or the escape: fetch both early.
    if (esc < n_nodes) __builtin_prefetch(&tree.nodes[esc]);
    // Escapes come from the tree's own flattening; one at or behind its
    // cell would make the walk loop.
    if (esc <= k) index_failed(k, esc);
    const Mask far = far_of(node) & active;
    const Mask near = active & ~far;
    if (far != 0) take_far(k, far);
    if (node.leaf_chunks == 0 && near != 0) {
      // Inside the cell: its first child is next.
      if (far != 0) parked.park(far, esc);
      active = near;
      k = k + 1;
      continue;
    }
    if (near != 0) take_near(k, node, near);
    parked.park(active, esc);
    active = parked.resume();
    k = esc;
  }
}

// Scale by 1/(4*pi) and add in lane order: one target's velocity.
AERLOX_KINLINE Vel reduce_target(const float* lx, const float* ly, const float* lz) {
  return Vel{reduce_lanes(lx), reduce_lanes(ly), reduce_lanes(lz)};
}

#if defined(AERLOX_KERNEL_AVX512)
// The group walk with AVX-512: targets 2p and 2p+1 share register p, one per
// half. Near leaves are summed as the walk meets them, both halves seeing
// the leaf's chunks and each adding only where it takes the leaf; far cells
// are logged once with the mask of their targets, and after the walk each
// pair's two lists are drawn from the log, staged chunk by chunk side by
// side, and summed in one pass.
void eval_tree_wide(const TreeView& tree, const float* tx, const float* ty, const float* tz, std::size_t j0,
                    std::size_t j1, float theta2, ScratchView& scratch, Vel* out, const std::uint32_t* order) {
  using T = WideTraits;
  using W = __m512;
  constexpr std::size_t kPairs = kTreeGroup / 2;
  static_assert(kTreeGroup == 64, "four registers of sixteen targets");
  const FarLists lists{scratch.sx,  scratch.sy, scratch.sz,  scratch.sax, scratch.say,
                       scratch.saz, scratch.sg, scratch.idx, scratch.cap};
  const std::size_t cap = scratch.cap;
  std::uint32_t* const drawn = scratch.idx + 3 * cap;
  const W one = T::splat(1.0f);
  const W two5 = T::splat(2.5f);
  const W th2 = T::splat(theta2);
  const auto vs = [](W a) { return T::sqrt(a); };
  constexpr __mmask16 kLow = 0x00FFu, kHigh = 0xFF00u;
  for (std::size_t j = j0; j < j1; j += kTreeGroup) {
    const GroupTargets tg(tx, ty, tz, j, j1 - j < kTreeGroup ? j1 - j : kTreeGroup, order);
    W X[4], Y[4], Z[4];
    for (std::size_t r = 0; r < 4; ++r) {
      X[r] = _mm512_load_ps(tg.x + 16 * r);
      Y[r] = _mm512_load_ps(tg.y + 16 * r);
      Z[r] = _mm512_load_ps(tg.z + 16 * r);
    }
    // The opening test, far where theta2 * d2 > (2 half)^2.
    const auto far_of = [&](const FlatNode& node) {
      const W cx = T::splat(node.center[0]), cy = T::splat(node.center[1]), cz = T::splat(node.center[2]);
      const W edge2 = T::splat(node.four_half2);
      Mask far = 0;
      for (std::size_t r = 0; r < 4; ++r) {
        const W ex = X[r] - cx;
        const W ey = Y[r] - cy;
        const W ez = Z[r] - cz;
        const W d2 = (ex * ex + ey * ey) + ez * ez;
        far |= Mask{_mm512_cmp_ps_mask(th2 * d2, edge2, _CMP_GT_OQ)} << (16 * r);
      }
      return far;
    };
    W px[kPairs], py[kPairs], pz[kPairs], ux[kPairs], uy[kPairs], uz[kPairs];
    for (std::size_t p = 0; p < kPairs; ++p) {
      px[p] = T::targets(tg.x + 2 * p);
      py[p] = T::targets(tg.y + 2 * p);
      pz[p] = T::targets(tg.z + 2 * p);
      ux[p] = uy[p] = uz[p] = T::splat(0.0f);
    }
    const auto keep_of = [](Mask m, std::size_t p) {
      const unsigned b = static_cast<unsigned>(m >> (2 * p)) & 3u;
      return static_cast<__mmask16>((b & 1u ? kLow : 0u) | (b & 2u ? kHigh : 0u));
    };
    EventLog far_log{scratch.idx, scratch.idx + cap, scratch.idx + 2 * cap, 0, cap};
    const auto take_far = [&](std::uint32_t k, Mask far) { far_log.put(k, far); };
    const auto take_near = [&](std::uint32_t, const FlatNode& node, Mask near) {
      const std::size_t c0 = node.leaf_start / 8;
      const std::size_t c1 = c0 + node.leaf_chunks;
      // Chunk by chunk (most leaves are one chunk), each pair with a target
      // taking the leaf in turn on the chunk's registers.
      const Mask pm = (near | (near >> 1)) & 0x5555555555555555ull;
      for (std::size_t c = c0; c < c1; ++c) {
        const SrcRegs<W> r = load_regs<Mode::FromSigma, W>(tree.sorted, c * 8, T::load_src);
        for (Mask m = pm; m != 0; m &= m - 1) {
          const std::size_t p = static_cast<std::size_t>(__builtin_ctzll(m)) / 2;
          const __mmask16 kp = keep_of(near, p);
          const auto add_p = [kp](W u, W d) { return _mm512_mask_add_ps(u, kp, u, d); };
          interact<Mode::FromSigma>(px[p], py[p], pz[p], r, one, two5, ux[p], uy[p], uz[p], vs, NoFma{}, add_p);
        }
      }
    };
    walk_group(tree, tg.all(), far_of, take_far, take_near);

    for (std::size_t p = 0; 2 * p < tg.n; ++p) {
      // Both far lists, chunk c of the first at entry 16c, of the second at
      // 16c + 8: one load per array feeds both halves. Past the shorter list
      // its half repeats stale entries and keeps its sums.
      const std::size_t na = far_fill(lists, tree, 3 * cap, far_log.draw(2 * p, drawn), 0, 16) / 8;
      const std::size_t nb = far_fill(lists, tree, 3 * cap, far_log.draw(2 * p + 1, drawn), 8, 16) / 8;
      const std::size_t n = na > nb ? na : nb;
      const Src st{scratch.sx, scratch.sy, scratch.sz, scratch.sax, scratch.say,
                   scratch.saz, scratch.sg, 2 * n, nullptr, nullptr, nullptr};
      const auto ld = [](const float* a) { return _mm512_load_ps(a); };
      const std::size_t both = na < nb ? na : nb;
      for (std::size_t c = 0; c < both; ++c) {
        const SrcRegs<W> r = load_regs<Mode::FromSigma, W>(st, 16 * c, ld);
        interact<Mode::FromSigma>(px[p], py[p], pz[p], r, one, two5, ux[p], uy[p], uz[p], vs);
      }
      const __mmask16 kt = na > nb ? kLow : kHigh;
      const auto add_t = [kt](W u, W d) { return _mm512_mask_add_ps(u, kt, u, d); };
      for (std::size_t c = both; c < n; ++c) {
        const SrcRegs<W> r = load_regs<Mode::FromSigma, W>(st, 16 * c, ld);
        interact<Mode::FromSigma>(px[p], py[p], pz[p], r, one, two5, ux[p], uy[p], uz[p], vs, NoFma{}, add_t);
      }
      alignas(64) float lx[16], ly[16], lz[16];
      T::store(lx, ux[p]);
      T::store(ly, uy[p]);
      T::store(lz, uz[p]);
      out[tg.idx[2 * p]] = reduce_target(lx, ly, lz);
      if (2 * p + 1 < tg.n) out[tg.idx[2 * p + 1]] = reduce_target(lx + 8, ly + 8, lz + 8);
      scratch.len = nb * 8;
    }
  }
}
#endif

void eval_tree_impl(const TreeView& tree, const float* tx, const float* ty, const float* tz, std::size_t j0,
                    std::size_t j1, float theta2, ScratchView& scratch, Vel* out, const std::uint32_t* order) {
#if defined(AERLOX_KERNEL_AVX512)
  // Four queues' room for the far log and the drawn list, and staging for
  // two lists side by side.
  if (scratch.lists >= 4 && scratch.stage_cap >= 2 * scratch.cap) {
    eval_tree_wide(tree, tx, ty, tz, j0, j1, theta2, scratch, out, order);
    return;
  }
#endif
  const std::size_t group = scratch.lists < kTreeGroup ? (scratch.lists == 0 ? 1 : scratch.lists) : kTreeGroup;
  const FarLists lists{scratch.sx,  scratch.sy, scratch.sz,  scratch.sax, scratch.say,
                       scratch.saz, scratch.sg, scratch.idx, scratch.cap};
  static_assert(kTreeGroup % 8 == 0, "whole eight-lane target registers");
  constexpr std::size_t kRegs = kTreeGroup / 8;
  const V8 th2 = v8_splat(theta2);
  for (std::size_t j = j0; j < j1; j += group) {
    const GroupTargets tg(tx, ty, tz, j, j1 - j < group ? j1 - j : group, order);
    V8 X[kRegs], Y[kRegs], Z[kRegs];
    for (std::size_t r = 0; r < kRegs; ++r) {
      X[r] = v8_load(tg.x + 8 * r);
      Y[r] = v8_load(tg.y + 8 * r);
      Z[r] = v8_load(tg.z + 8 * r);
    }
    // The opening test, far where theta2 * d2 > (2 half)^2.
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
    V8 ux[kTreeGroup], uy[kTreeGroup], uz[kTreeGroup];
    std::size_t len[kTreeGroup];
    for (std::size_t g = 0; g < tg.n; ++g) {
      ux[g] = uy[g] = uz[g] = v8_splat(0.0f);
      len[g] = 0;
    }
    const auto take_far = [&](std::uint32_t k, Mask far) {
      for (Mask m = far; m != 0; m &= m - 1) {
        const std::size_t g = static_cast<std::size_t>(__builtin_ctzll(m));
        if (len[g] >= lists.cap) index_failed(lists.cap, len[g]);
        lists.idx[g * lists.cap + len[g]] = k;
        len[g] = len[g] + 1;
      }
    };
    // A near leaf chunk by chunk, every target taking it in turn on the
    // chunk's registers.
    const V8 one = v8_splat(1.0f);
    const V8 two5 = v8_splat(2.5f);
    const auto take_near = [&](std::uint32_t, const FlatNode& node, Mask near) {
      const std::size_t c0 = node.leaf_start / 8;
      const std::size_t c1 = c0 + node.leaf_chunks;
      for (std::size_t c = c0; c < c1; ++c) {
        const SrcRegs<V8> r = load_regs<Mode::FromSigma, V8>(tree.sorted, c * 8, v8_load);
        for (Mask m = near; m != 0; m &= m - 1) {
          const std::size_t g = static_cast<std::size_t>(__builtin_ctzll(m));
          interact<Mode::FromSigma>(v8_splat(tg.x[g]), v8_splat(tg.y[g]), v8_splat(tg.z[g]), r, one, two5, ux[g],
                                    uy[g], uz[g], v8_sqrt_fn);
        }
      }
    };
    walk_group(tree, tg.all(), far_of, take_far, take_near);
    for (std::size_t g = 0; g < tg.n; ++g) {
      len[g] = far_fill(lists, tree, g * lists.cap, len[g]);
      const Src far{scratch.sx,  scratch.sy, scratch.sz, scratch.sax, scratch.say,
                    scratch.saz, scratch.sg, len[g] / 8, nullptr, nullptr, nullptr};
      accumulate_v8(v8_splat(tg.x[g]), v8_splat(tg.y[g]), v8_splat(tg.z[g]), far, 0, far.n_chunks, ux[g], uy[g],
                    uz[g]);
      alignas(32) float lx[8], ly[8], lz[8];
      v8_store(lx, ux[g]);
      v8_store(ly, uy[g]);
      v8_store(lz, uz[g]);
      out[tg.idx[g]] = reduce_target(lx, ly, lz);
      scratch.len = len[g];
    }
  }
}


// ---------------------------------------------------------------------------
// Velocity and velocity gradient, one target at a time. With c = alpha x d
// and f as in the velocity kernel, d(c f)/dx_m = f (alpha x e_m) - h c d_m,
// h = (3 rho2 + 10.5) / (sg^5 t^3.5) = (3 rho2 + 10.5) / ((den t) s2). The
// velocity terms are the velocity kernel's own operations, so the velocity
// comes out with its bits; the gradient sums f alpha (three sums) and h c d_m
// (nine), each lane in source order, and combines the reduced sums at the end.
struct GradSums {
  V8 u[3], fa[3], hcd[9];
};

AERLOX_KINLINE void grad_chunk(V8 xj, V8 yj, V8 zj, const Src& s, std::size_t o, GradSums& a) {
  const V8 one = v8_splat(1.0f), two5 = v8_splat(2.5f), three = v8_splat(3.0f), c105 = v8_splat(10.5f);
  const V8 ax = v8_load(s.ax + o), ay = v8_load(s.ay + o), az = v8_load(s.az + o);
  const V8 sg = v8_load(s.sg + o);
  const V8 dx = xj - v8_load(s.x + o);
  const V8 dy = yj - v8_load(s.y + o);
  const V8 dz = zj - v8_load(s.z + o);
  const V8 r2 = (dx * dx + dy * dy) + dz * dz;
  const V8 s2 = sg * sg;
  const V8 rho2 = r2 / s2;
  const V8 t = rho2 + one;
  const V8 den = (sg * s2) * ((t * t) * vsqrt(t));
  const V8 f = (rho2 + two5) / den;
  const V8 h = (rho2 * three + c105) / ((den * t) * s2);
  const V8 c[3] = {dz * ay - dy * az, dx * az - dz * ax, dy * ax - dx * ay};
  const V8 al[3] = {ax, ay, az};
  const V8 d[3] = {dx, dy, dz};
  for (int i = 0; i < 3; ++i) {
    a.u[i] = a.u[i] + c[i] * f;
    a.fa[i] = a.fa[i] + al[i] * f;
    const V8 hc = c[i] * h;
    for (int m = 0; m < 3; ++m) a.hcd[3 * i + m] = a.hcd[3 * i + m] + hc * d[m];
  }
}

void eval_grad_impl(const Src& src, const float* tx, const float* ty, const float* tz, std::size_t j0,
                    std::size_t j1, Vel* vel, Grad* grad) {
  for (std::size_t j = j0; j < j1; ++j) {
    GradSums a;
    for (V8& v : a.u) v = v8_splat(0.0f);
    for (V8& v : a.fa) v = v8_splat(0.0f);
    for (V8& v : a.hcd) v = v8_splat(0.0f);
    const V8 xj = v8_splat(tx[j]), yj = v8_splat(ty[j]), zj = v8_splat(tz[j]);
    for (std::size_t c = 0; c < src.n_chunks; ++c) grad_chunk(xj, yj, zj, src, c * 8, a);
    alignas(32) float l[8];
    float u[3], fa[3], hcd[9];
    for (int i = 0; i < 3; ++i) {
      v8_store(l, a.u[i]);
      u[i] = reduce_lanes(l);
      v8_store(l, a.fa[i]);
      fa[i] = reduce_lanes(l);
    }
    for (int k = 0; k < 9; ++k) {
      v8_store(l, a.hcd[k]);
      hcd[k] = reduce_lanes(l);
    }
    vel[j] = Vel{u[0], u[1], u[2]};
    grad[j] = grad_combine(fa, hcd);
  }
}

}  // namespace
}  // namespace aerlox_rs::vpm::kern
