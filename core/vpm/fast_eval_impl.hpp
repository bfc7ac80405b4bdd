#pragma once
// The fast summation's evaluation kernels, written once over an eight-lane
// vector of targets and instantiated per instruction set (fast_eval_*.cpp).
// Every definition has internal linkage (see fast_api.hpp).
//
// The regularised kernel is the curl of a scalar one: with
// G(r2; s2) = (r2 + 1.5 s2) / (r2 + s2)^(3/2), the velocity of a particle of
// strength alpha and core s at distance d = x - x_p is curl(G alpha)/(4 pi),
// which is the direct sum's alpha x d (r2 + 2.5 s2)/(r2 + s2)^(5/2)/(4 pi).
// Derivatives of a function of r2 follow from F_m = (2 d/dr2)^m G:
//   F_m = (-1)^m (2m-1)!! (r2 + (m + 1.5) s2) / (r2 + s2)^(m + 3/2),
//   d_i G = R_i F1, d_ij G = delta_ij F1 + R_i R_j F2, and so on,
// and d F1/d s2 = 3.75 s2/(r2 + s2)^(7/2) carries the core-radius moment.
// A far cell's particles enter through their moments about its centre (see
// fast_tree.hpp); near particles are summed one by one.
//
// Each lane is one target and performs the same scalar operations in the
// same order whatever the vector width: every instruction set and every
// thread count gives the same bits. Products that feed a sum are fused
// (fmadd, fnmadd: one rounding), always written out, never left to the
// compiler (the build forbids contraction): the AVX units issue the fused
// instruction, the baseline unit std::fma lane by lane, which rounds the
// same way.
// Eight-lane values cross no call boundary (everything is inlined), so the
// vector ABI note for units without AVX does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <cmath>
#include <cstring>

#include "fast_api.hpp"

#define AERLOX_FINLINE inline __attribute__((always_inline))

namespace aerlox_rs::vpm::fast {
namespace {

typedef float f8 __attribute__((vector_size(32), aligned(32)));

AERLOX_FINLINE f8 splat(float a) { return f8{a, a, a, a, a, a, a, a}; }
AERLOX_FINLINE f8 load8(const float* p) {
  f8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
AERLOX_FINLINE void store8(float* p, f8 v) { std::memcpy(p, &v, sizeof v); }
AERLOX_FINLINE f8 vsqrt(f8 a) {
#if defined(AERLOX_FAST_AVX2)
  return reinterpret_cast<f8>(_mm256_sqrt_ps(reinterpret_cast<__m256>(a)));
#elif defined(__SSE2__)
  __m128 lo, hi;
  std::memcpy(&lo, &a, 16);
  std::memcpy(&hi, reinterpret_cast<const char*>(&a) + 16, 16);
  lo = _mm_sqrt_ps(lo);
  hi = _mm_sqrt_ps(hi);
  f8 r;
  std::memcpy(&r, &lo, 16);
  std::memcpy(reinterpret_cast<char*>(&r) + 16, &hi, 16);
  return r;
#else
  f8 r;
  for (int i = 0; i < 8; ++i) r[i] = std::sqrt(a[i]);
  return r;
#endif
}

// a * b + c, rounded once.
AERLOX_FINLINE f8 fmadd(f8 a, f8 b, f8 c) {
#if defined(AERLOX_FAST_AVX2)
  return reinterpret_cast<f8>(_mm256_fmadd_ps(reinterpret_cast<__m256>(a), reinterpret_cast<__m256>(b),
                                              reinterpret_cast<__m256>(c)));
#else
  f8 r;
  for (int i = 0; i < 8; ++i) r[i] = std::fma(a[i], b[i], c[i]);
  return r;
#endif
}
// c - a * b, rounded once.
AERLOX_FINLINE f8 fnmadd(f8 a, f8 b, f8 c) {
#if defined(AERLOX_FAST_AVX2)
  return reinterpret_cast<f8>(_mm256_fnmadd_ps(reinterpret_cast<__m256>(a), reinterpret_cast<__m256>(b),
                                               reinterpret_cast<__m256>(c)));
#else
  return fmadd(-a, b, c);  // negation is exact
#endif
}
// a x b - c x d for one component: a b - c d, the second product rounded once
// with the difference.
AERLOX_FINLINE f8 cross1(f8 a, f8 b, f8 c, f8 d) { return fnmadd(c, d, a * b); }

// One block's sums. Near particles add to u directly and, for the gradient,
// to b (sum of g alpha) and p (sum of F2 c_a d_d); far cells add to u and g.
template <bool Grad>
struct Acc {
  f8 u[3];
  f8 b[3];
  f8 p[9];
  f8 g[9];
  void zero() {
    for (f8& v : u) v = splat(0.0f);
    if constexpr (Grad) {
      for (f8& v : b) v = splat(0.0f);
      for (f8& v : p) v = splat(0.0f);
      for (f8& v : g) v = splat(0.0f);
    }
  }
};

// Near source i against one block of targets.
template <bool Grad>
AERLOX_FINLINE void near_one(const GroupJob& j, std::size_t i, f8 X, f8 Y, f8 Z, Acc<Grad>& acc) {
  const f8 one = splat(1.0f), k15 = splat(1.5f), k25 = splat(2.5f), k3 = splat(3.0f);
  {
    const f8 ax = splat(j.sax[i]), ay = splat(j.say[i]), az = splat(j.saz[i]), s2 = splat(j.ss2[i]);
    const f8 dx = X - splat(j.sx[i]);
    const f8 dy = Y - splat(j.sy[i]);
    const f8 dz = Z - splat(j.sz[i]);
    // t = r2 + s2 in one fused chain; the numerators r2 + 2.5 s2 and
    // r2 + 3.5 s2 are t plus a multiple of s2 formed once per source.
    const f8 t = fmadd(dz, dz, fmadd(dy, dy, fmadd(dx, dx, s2)));
    const f8 q = one / t;
    const f8 p5 = (vsqrt(q) * q) * q;
    const f8 g = (t + k15 * s2) * p5;
    const f8 cx = cross1(ay, dz, az, dy);
    const f8 cy = cross1(az, dx, ax, dz);
    const f8 cz = cross1(ax, dy, ay, dx);
    acc.u[0] = fmadd(g, cx, acc.u[0]);
    acc.u[1] = fmadd(g, cy, acc.u[1]);
    acc.u[2] = fmadd(g, cz, acc.u[2]);
    if constexpr (Grad) {
      const f8 e = k3 * ((t + k25 * s2) * (p5 * q));
      acc.b[0] = fmadd(g, ax, acc.b[0]);
      acc.b[1] = fmadd(g, ay, acc.b[1]);
      acc.b[2] = fmadd(g, az, acc.b[2]);
      const f8 ec[3] = {e * cx, e * cy, e * cz};
      const f8 d[3] = {dx, dy, dz};
      for (int a = 0; a < 3; ++a)
        for (int k = 0; k < 3; ++k) acc.p[3 * a + k] = fmadd(ec[a], d[k], acc.p[3 * a + k]);
    }
  }
}

// sum_m f[m] x[m] over n terms, left to right.
template <int N>
AERLOX_FINLINE f8 dot(const float* f, const f8* x) {
  f8 s = splat(f[0]) * x[0];
  for (int m = 1; m < N; ++m) s = fmadd(splat(f[m]), x[m], s);
  return s;
}

// The row r of a 3x3 matrix times R.
AERLOX_FINLINE f8 mat_row(const float* r, const f8* R) {
  return fmadd(splat(r[2]), R[2], fmadd(splat(r[1]), R[1], splat(r[0]) * R[0]));
}

// Q(R, R) for a symmetric form stored as xx yy zz xy xz yz, from the
// monomials of R of degree 2 in the same order.
AERLOX_FINLINE f8 quad_form(const float* Q, const f8* RR) {
  const f8 off = fmadd(splat(Q[5]), RR[5], fmadd(splat(Q[4]), RR[4], splat(Q[3]) * RR[3]));
  return fmadd(splat(Q[2]), RR[2], fmadd(splat(Q[1]), RR[1], fmadd(splat(Q[0]), RR[0], off + off)));
}

// What every order of a far cell's expansion starts from: the separation R
// from the cell's centre, |R|^2, the cell's squared core s2, q = 1/(|R|^2 + s2)
// with its power q^(9/2), and the radial factors F1..F3 of the regularised
// kernel's derivatives and E1 of the core-size moment.
struct Radial {
  f8 R[3];
  f8 r2, s2, q, p9, F1, F2, F3, E1;
};

AERLOX_FINLINE Radial radial(const float* m, f8 X, f8 Y, f8 Z) {
  Radial o;
  o.R[0] = X - splat(m[kMoC]), o.R[1] = Y - splat(m[kMoC + 1]), o.R[2] = Z - splat(m[kMoC + 2]);
  o.s2 = splat(m[kMoC + 3]);
  o.r2 = fmadd(o.R[2], o.R[2], fmadd(o.R[1], o.R[1], o.R[0] * o.R[0]));
  o.q = splat(1.0f) / (o.r2 + o.s2);
  const f8 p5 = (vsqrt(o.q) * o.q) * o.q;
  const f8 p7 = p5 * o.q;
  o.p9 = p7 * o.q;
  o.F1 = splat(-1.0f) * (fmadd(splat(2.5f), o.s2, o.r2) * p5);
  o.F2 = splat(3.0f) * (fmadd(splat(3.5f), o.s2, o.r2) * p7);
  o.F3 = splat(-15.0f) * (fmadd(splat(4.5f), o.s2, o.r2) * o.p9);
  o.E1 = splat(3.75f) * (o.s2 * p7);
  return o;
}

// One far cell's expansion (order 1: dipole, 2: quadrupole, 3: octupole;
// always the monopole and the core-radius moment; far_cell4 has the
// hexadecapole) against one block of
// targets. The gradient takes the expansion to the quadrupole whatever the
// order, and the velocity is summed the same way with or without it.
// With Vel false only the gradient is summed (the hexadecapole's velocity
// comes from far_cell4).
template <int P, bool Grad, bool Vel = true>
AERLOX_FINLINE void far_cell(const float* m, f8 X, f8 Y, f8 Z, Acc<Grad>& acc) {
  const Radial k = radial(m, X, Y, Z);
  const f8* R = k.R;
  const f8 r2 = k.r2, s2 = k.s2, q = k.q, p9 = k.p9, F1 = k.F1, F2 = k.F2, F3 = k.F3, E1 = k.E1;
  f8 F4 = splat(0.0f), E2 = splat(0.0f);
  if constexpr (Grad || P >= 3) F4 = splat(105.0f) * (fmadd(splat(5.5f), s2, r2) * (p9 * q));
  if constexpr (Grad) E2 = splat(-26.25f) * (s2 * p9);
  // The monomials of R of degree 2 and 3, in the table's order.
  f8 RR[6], RRR[10];
  if constexpr (P >= 3) {
    RR[0] = R[0] * R[0], RR[1] = R[1] * R[1], RR[2] = R[2] * R[2];
    RR[3] = R[0] * R[1], RR[4] = R[0] * R[2], RR[5] = R[1] * R[2];
    RRR[0] = RR[0] * R[0], RRR[1] = RR[1] * R[1], RRR[2] = RR[2] * R[2], RRR[3] = RR[0] * R[1];
    RRR[4] = RR[0] * R[2], RRR[5] = RR[1] * R[0], RRR[6] = RR[1] * R[2], RRR[7] = RR[2] * R[0];
    RRR[8] = RR[2] * R[1], RRR[9] = RR[3] * R[2];
  }
  f8 S[3], V[3], qv[3][3];
  for (int c = 0; c < 3; ++c) {
    const f8 rd = fmadd(R[2], splat(m[kMoD + 6 + c]), fmadd(R[1], splat(m[kMoD + 3 + c]), R[0] * splat(m[kMoD + c])));
    f8 lin = splat(0.0f) - rd;  // trQ_c - R.D^c
    f8 rqr = splat(0.0f);
    if constexpr (P >= 2) {
      const float* Q = m + kMoQ + 6 * c;
      if constexpr (Grad || P == 2) {
        qv[c][0] = fmadd(splat(Q[4]), R[2], fmadd(splat(Q[3]), R[1], splat(Q[0]) * R[0]));
        qv[c][1] = fmadd(splat(Q[5]), R[2], fmadd(splat(Q[1]), R[1], splat(Q[3]) * R[0]));
        qv[c][2] = fmadd(splat(Q[2]), R[2], fmadd(splat(Q[5]), R[1], splat(Q[4]) * R[0]));
      }
      if constexpr (P == 2) {
        rqr = fmadd(R[2], qv[c][2], fmadd(R[1], qv[c][1], R[0] * qv[c][0]));
      } else {
        rqr = quad_form(Q, RR);
      }
      lin = splat(m[kMoTrQ + c]) - rd;
    }
    const f8 A = splat(m[kMoA + c]), N = splat(m[kMoN + c]);
    if constexpr (P >= 3) {
      // Octupole: -(3 T^c.R) F3 - O^c(R, R, R) F4.
      const f8 t3r = dot<3>(m + kMoT + 3 * c, R);
      const f8 orrr = dot<10>(m + kMoO + 10 * c, RRR);
      S[c] = fmadd(N, E1, fnmadd(orrr, F4, fmadd(rqr - t3r, F3, fmadd(lin, F2, A * F1))));
    } else {
      S[c] = fmadd(N, E1, fmadd(rqr, F3, fmadd(lin, F2, A * F1)));
    }
    if constexpr (Grad) V[c] = fmadd(N, E2, fmadd(rqr, F4, fmadd(lin, F3, A * F2)));
  }
  // u = R x S - F1 w + 2 F2 (M R)
  const f8 w[3] = {splat(m[kMoW]), splat(m[kMoW + 1]), splat(m[kMoW + 2])};
  f8 MR[3] = {splat(0.0f), splat(0.0f), splat(0.0f)};
  if constexpr (P >= 2)
    for (int a = 0; a < 3; ++a)
      MR[a] = mat_row(m + kMoM + 3 * a, R);
  const f8 F2x2 = F2 + F2;
  const f8 RxS[3] = {cross1(R[1], S[2], R[2], S[1]), cross1(R[2], S[0], R[0], S[2]), cross1(R[0], S[1], R[1], S[0])};
  for (int a = 0; a < 3; ++a) {
    f8 t = fnmadd(F1, w[a], RxS[a]);
    if constexpr (P >= 2) t = fmadd(F2x2, MR[a], t);
    // Octupole: -3 F2 eps_abc T^c_b - 3 F3 R.P^a.R.
    if constexpr (P >= 3) t = fnmadd(F3, dot<6>(m + kMoP + 6 * a, RR), fnmadd(F2, splat(m[kMoWT + a]), t));
    if constexpr (Vel) acc.u[a] = acc.u[a] + t;
  }
  if constexpr (Grad) {
    // grad_ad = eps_adc S_c + R_d ((R x V)_a + z_a) + (R x y^d)_a + 2 F2 M_ad,
    // z = -F2 w + 2 F3 (M R), y^d_c = -D_dc F2 + 2 q^c_d F3.
    const f8 F3x2 = F3 + F3;
    f8 RVz[3];
    const f8 RxV[3] = {cross1(R[1], V[2], R[2], V[1]), cross1(R[2], V[0], R[0], V[2]), cross1(R[0], V[1], R[1], V[0])};
    for (int a = 0; a < 3; ++a) {
      f8 z = splat(0.0f) - F2 * w[a];
      if constexpr (P >= 2) z = fmadd(F3x2, MR[a], z);
      RVz[a] = RxV[a] + z;
    }
    const f8 eps[9] = {splat(0.0f), S[2], splat(0.0f) - S[1], splat(0.0f) - S[2], splat(0.0f),
                       S[0],        S[1], splat(0.0f) - S[0], splat(0.0f)};
    for (int d = 0; d < 3; ++d) {
      f8 y[3];
      for (int c = 0; c < 3; ++c) {
        y[c] = splat(0.0f) - splat(m[kMoD + 3 * d + c]) * F2;
        if constexpr (P >= 2) y[c] = fmadd(qv[c][d], F3x2, y[c]);
      }
      const f8 Rxy[3] = {cross1(R[1], y[2], R[2], y[1]), cross1(R[2], y[0], R[0], y[2]),
                         cross1(R[0], y[1], R[1], y[0])};
      for (int a = 0; a < 3; ++a) {
        f8 t = fmadd(R[d], RVz[a], eps[3 * a + d]) + Rxy[a];
        if constexpr (P >= 2) t = fmadd(F2x2, splat(m[kMoM + 3 * a + d]), t);
        acc.g[3 * a + d] = acc.g[3 * a + d] + t;
      }
    }
  }
}

// One far cell's velocity to the hexadecapole. The same sums as far_cell's
// octupole and its hexadecapole terms, but formed monomial by monomial:
// each monomial of R is made from R and its squares when it is needed and
// feeds all its sums at once, so only the sums stay live and the sixteen or
// thirty-two registers are not spilled.
AERLOX_FINLINE void far_cell4(const float* m, f8 X, f8 Y, f8 Z, f8* u) {
  const Radial k = radial(m, X, Y, Z);
  const f8* R = k.R;
  const f8 r2 = k.r2, s2 = k.s2, q = k.q, F1 = k.F1, F2 = k.F2, F3 = k.F3, E1 = k.E1;
  const f8 p11 = k.p9 * q;
  const f8 F4 = splat(105.0f) * (fmadd(splat(5.5f), s2, r2) * p11);
  const f8 F5 = splat(-945.0f) * (fmadd(splat(6.5f), s2, r2) * (p11 * q));
  const f8 RR[6] = {R[0] * R[0], R[1] * R[1], R[2] * R[2], R[0] * R[1], R[0] * R[2], R[1] * R[2]};
  // Quartic monomials as products of two squares, cubic ones as a square
  // times a coordinate, in the table's orders.
  static constexpr int kR4[15][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 3}, {0, 4}, {1, 3}, {1, 5}, {2, 4},
                                     {2, 5}, {0, 1}, {0, 2}, {1, 2}, {0, 5}, {1, 4}, {2, 3}};
  static constexpr int kR3[10][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 0}, {2, 1}, {3, 2}};
  f8 h4[3], o3[3], hw[3];
  {
    const f8 x = RR[0] * RR[0];
    for (int c = 0; c < 3; ++c) h4[c] = splat(m[kMoH + 15 * c]) * x;
  }
  for (int n = 1; n < 15; ++n) {
    const f8 x = RR[kR4[n][0]] * RR[kR4[n][1]];
    for (int c = 0; c < 3; ++c) h4[c] = fmadd(splat(m[kMoH + 15 * c + n]), x, h4[c]);
  }
  {
    const f8 x = RR[0] * R[0];
    for (int c = 0; c < 3; ++c) o3[c] = splat(m[kMoO + 10 * c]) * x, hw[c] = splat(m[kMoHW + 10 * c]) * x;
  }
  for (int n = 1; n < 10; ++n) {
    const f8 x = RR[kR3[n][0]] * R[kR3[n][1]];
    for (int c = 0; c < 3; ++c) {
      o3[c] = fmadd(splat(m[kMoO + 10 * c + n]), x, o3[c]);
      hw[c] = fmadd(splat(m[kMoHW + 10 * c + n]), x, hw[c]);
    }
  }
  f8 S[3];
  for (int c = 0; c < 3; ++c) {
    const float* Q = m + kMoQ + 6 * c;
    const f8 rqr = quad_form(Q, RR);
    const f8 krr = dot<6>(m + kMoK + 6 * c, RR);
    const f8 rd = fmadd(R[2], splat(m[kMoD + 6 + c]), fmadd(R[1], splat(m[kMoD + 3 + c]), R[0] * splat(m[kMoD + c])));
    const f8 lin = splat(m[kMoTrQ + c]) - rd;
    const f8 f3 = (rqr - dot<3>(m + kMoT + 3 * c, R)) + splat(m[kMoH0 + c]);
    const f8 A = splat(m[kMoA + c]), N = splat(m[kMoN + c]);
    S[c] = fmadd(N, E1, fmadd(h4[c], F5, fmadd(krr - o3[c], F4, fmadd(f3, F3, fmadd(lin, F2, A * F1)))));
  }
  const f8 F2x2 = F2 + F2;
  const f8 RxS[3] = {cross1(R[1], S[2], R[2], S[1]), cross1(R[2], S[0], R[0], S[2]), cross1(R[0], S[1], R[1], S[0])};
  for (int a = 0; a < 3; ++a) {
    const f8 MR = mat_row(m + kMoM + 3 * a, R);
    const f8 f3 = dot<3>(m + kMoKW + 3 * a, R) - dot<6>(m + kMoP + 6 * a, RR);
    const f8 t = fnmadd(F2, splat(m[kMoWT + a]), fmadd(F2x2, MR, fnmadd(F1, splat(m[kMoW + a]), RxS[a])));
    u[a] = u[a] + fmadd(F4, hw[a], fmadd(F3, f3, t));
  }
}

// K blocks of targets at once: each source and cell is loaded once for all
// of them, and their independent chains keep the divider busy. Every target
// still sees the same operations in the same order.
template <int P, bool Grad, int K, int KF>
AERLOX_FINLINE void eval_blocks(const GroupJob& j, std::size_t b0) {
  const f8 k4pi = splat(0.0795774683f);
  f8 X[K], Y[K], Z[K];
  Acc<Grad> acc[K];
  for (int k = 0; k < K; ++k) {
    const std::size_t b = b0 + k;
    X[k] = load8(j.tx + 8 * b), Y[k] = load8(j.ty + 8 * b), Z[k] = load8(j.tz + 8 * b);
    acc[k].zero();
  }
  for (std::size_t r = 0; r < j.n_near; ++r)
    for (std::size_t i = j.near[2 * r]; i < std::size_t{j.near[2 * r]} + j.near[2 * r + 1]; ++i)
      for (int k = 0; k < K; ++k) near_one<Grad>(j, i, X[k], Y[k], Z[k], acc[k]);
  for (int k0 = 0; k0 < K; k0 += KF)
    for (std::size_t c = 0; c < j.n_far; ++c) {
      const float* m = j.moments + std::size_t{j.far[c]} * j.stride;
      for (int k = k0; k < k0 + KF; ++k) {
        if constexpr (P >= 4) {
          // The velocity to the hexadecapole, the gradient to the quadrupole
          // as for the lower orders.
          far_cell4(m, X[k], Y[k], Z[k], acc[k].u);
          if constexpr (Grad) far_cell<2, true, false>(m, X[k], Y[k], Z[k], acc[k]);
        } else {
          far_cell<P, Grad>(m, X[k], Y[k], Z[k], acc[k]);
        }
      }
    }
  for (int k = 0; k < K; ++k) {
    const std::size_t b = b0 + k;
    for (int a = 0; a < 3; ++a) store8(j.vel + 24 * b + 8 * a, acc[k].u[a] * k4pi);
    if constexpr (Grad) {
      // Near part: -(P_ad + eps_adc B_c); far part as summed.
      const f8 z = splat(0.0f);
      const Acc<Grad>& q = acc[k];
      const f8 eb[9] = {z, q.b[2], z - q.b[1], z - q.b[2], z, q.b[0], q.b[1], z - q.b[0], z};
      for (int e = 0; e < 9; ++e) {
        const f8 nearg = z - (q.p[e] + eb[e]);
        store8(j.grad + 72 * b + 8 * e, (nearg + q.g[e]) * k4pi);
      }
    }
  }
}

template <int P, bool Grad>
void eval_group_tpl(const GroupJob& j) {
  // K blocks share each near source and KF of them each far cell; each unit
  // sets both (AERLOX_FAST_K, AERLOX_FAST_KF) to what its registers hold.
  constexpr int K = AERLOX_FAST_K, KF = AERLOX_FAST_KF;
  std::size_t b = 0;
  for (; b + K <= j.n_blocks; b += K) eval_blocks<P, Grad, K, KF>(j, b);
  for (; b < j.n_blocks; ++b) eval_blocks<P, Grad, 1, 1>(j, b);
}

void eval_group_impl(const GroupJob& j) {
  const bool grad = j.grad != nullptr;
  if (j.order >= 4) {
    grad ? eval_group_tpl<4, true>(j) : eval_group_tpl<4, false>(j);
  } else if (j.order == 3) {
    grad ? eval_group_tpl<3, true>(j) : eval_group_tpl<3, false>(j);
  } else if (j.order == 2) {
    grad ? eval_group_tpl<2, true>(j) : eval_group_tpl<2, false>(j);
  } else {
    grad ? eval_group_tpl<1, true>(j) : eval_group_tpl<1, false>(j);
  }
}

}  // namespace
}  // namespace aerlox_rs::vpm::fast
