// Throughput of the particle wake's evaluators, printed as tables of ratios
// against baselines measured in the same run:
//  * the direct kernel on every instruction set, one worker and all workers,
//    against the machine's limit for its arithmetic (two correctly rounded
//    single-precision divisions and one square root per interaction);
//  * the Barnes-Hut tree against the direct sum (time and error);
//  * one advection step of a rotor-sized wake.
// Every fast answer is checked against its reference; no time is asserted.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "vpm/common.hpp"
#include "vpm/pool.hpp"

using namespace aerlox_rs::vpm;

namespace {

template <class F>
double seconds(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best of reps runs.
template <class F>
double best_of(int reps, F&& f) {
  double best = 1e300;
  for (int r = 0; r < reps; ++r) best = std::min(best, seconds(f));
  return best;
}

// Helical tip-vortex wake of a three-bladed rotor of radius 1 (as in the tests).
ParticleField wake(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  ParticleField f;
  for (std::size_t i = 0; i < n; ++i) {
    const int b = static_cast<int>(i % 3);
    const float s = static_cast<float>(i / 3) * 0.02f;
    const float psi = s + 2.0943951f * b;
    const float r = 1.0f - 0.15f * std::fabs(u(rng));
    const float g = 0.02f * (1.0f + 0.2f * u(rng));
    f.push({r * std::cos(psi) + 0.01f * u(rng), r * std::sin(psi) + 0.01f * u(rng),
            -0.3f * s / 6.2831853f + 0.01f * u(rng)},
           {-std::sin(psi) * g, std::cos(psi) * g, 0.1f * g * u(rng)}, 0.05f + 0.01f * u(rng));
  }
  return f;
}

bool same_bits(const std::vector<Vel>& a, const std::vector<Vel>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t j = 0; j < a.size(); ++j)
    for (int k = 0; k < 3; ++k)
      if (std::bit_cast<std::uint32_t>(a[j][k]) != std::bit_cast<std::uint32_t>(b[j][k])) return false;
  return true;
}

// ---------------------------------------------------------------------------
// The divider's limit: independent divisions and square roots, the mix of one
// interaction (two divisions, one square root per lane), at each width.

// Four independent streams, each a fresh value per iteration so that no
// division can be hoisted or shared.
#define AERLOX_LIMIT_LOOP(V, SET, ADD, DIV, SQRT, FIRST)                              \
  V step = SET(1e-7f), y = SET(1.25f);                                               \
  V x0 = SET(1.5f), x1 = SET(1.6f), x2 = SET(1.7f), x3 = SET(1.8f);                  \
  V a0 = y, a1 = y, a2 = y, a3 = y;                                                  \
  for (long i = 0; i < iters; ++i) {                                                 \
    x0 = ADD(x0, step);                                                              \
    x1 = ADD(x1, step);                                                              \
    x2 = ADD(x2, step);                                                              \
    x3 = ADD(x3, step);                                                              \
    a0 = ADD(a0, ADD(ADD(DIV(x0, y), DIV(y, x0)), SQRT(x0)));                        \
    a1 = ADD(a1, ADD(ADD(DIV(x1, y), DIV(y, x1)), SQRT(x1)));                        \
    a2 = ADD(a2, ADD(ADD(DIV(x2, y), DIV(y, x2)), SQRT(x2)));                        \
    a3 = ADD(a3, ADD(ADD(DIV(x3, y), DIV(y, x3)), SQRT(x3)));                        \
  }                                                                                  \
  return FIRST(ADD(ADD(a0, a1), ADD(a2, a3)));

float limit_sse(long iters) {
  AERLOX_LIMIT_LOOP(__m128, _mm_set1_ps, _mm_add_ps, _mm_div_ps, _mm_sqrt_ps, _mm_cvtss_f32)
}
__attribute__((target("avx2"))) float limit_avx2(long iters) {
  AERLOX_LIMIT_LOOP(__m256, _mm256_set1_ps, _mm256_add_ps, _mm256_div_ps, _mm256_sqrt_ps, _mm256_cvtss_f32)
}
#define AERLOX_SQRT512(a) _mm512_mask_sqrt_ps(a, 0xFFFF, a)
__attribute__((target("avx512f"))) float limit_avx512(long iters) {
  AERLOX_LIMIT_LOOP(__m512, _mm512_set1_ps, _mm512_add_ps, _mm512_div_ps, AERLOX_SQRT512, _mm512_cvtss_f32)
}

// Lane-interactions per second of the limit loop on `threads` threads at once.
double limit_rate(Isa isa, std::size_t threads) {
  const long iters = 4'000'000;
  const int lanes = isa == Isa::Avx512 ? 16 : isa == Isa::Avx2 ? 8 : 4;
  volatile float sink = 0;
  const double t = best_of(5, [&] {
    pool::parallel_for(threads, [&](std::size_t, std::size_t, std::size_t) {
      const float r = isa == Isa::Avx512 ? limit_avx512(iters) : isa == Isa::Avx2 ? limit_avx2(iters) : limit_sse(iters);
      sink = sink + r;
    });
  });
  return double(iters) * 4.0 * lanes * double(threads) / t;
}

// ---------------------------------------------------------------------------

void direct_table() {
  const std::size_t n = 4800;
  const ParticleField f = wake(n, 1);
  set_isa_for_testing(Isa::Scalar);
  const std::vector<Vel> ref = induced_velocities(f);
  const std::size_t all = pool::worker_count();

  std::printf("\nDirect kernel, %zu particles on themselves (%.1f M interactions per evaluation)\n", n,
              double(n) * double(n) / 1e6);
  std::printf("%-9s %7s %11s %14s %9s %9s %10s\n", "path", "workers", "G inter/s", "own limit G/s",
              "of own", "of best", "bits");
  // The limit at each width and worker count (best of several runs, since the
  // machine may be shared); the machine's limit is the best width.
  struct Row {
    Isa isa;
    std::size_t workers;
    double rate, limit;
    bool same;
  };
  std::vector<Row> rows;
  double best_limit[2] = {0, 0};
  for (Isa isa : {Isa::Scalar, Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) continue;
    set_isa_for_testing(isa);
    for (std::size_t w : {std::size_t{1}, all}) {
      pool::set_worker_count_for_testing(w);
      std::vector<Vel> got;
      const int reps = isa == Isa::Scalar ? 1 : 7;
      const double t = best_of(reps, [&] { got = induced_velocities(f); });
      const double lim = isa == Isa::Scalar ? 0.0 : limit_rate(isa, w);
      best_limit[w == 1 ? 0 : 1] = std::max(best_limit[w == 1 ? 0 : 1], lim);
      rows.push_back({isa, w, double(n) * double(n) / t, lim, same_bits(got, ref)});
    }
  }
  for (const Row& r : rows) {
    const double best = best_limit[r.workers == 1 ? 0 : 1];
    if (r.isa == Isa::Scalar)
      std::printf("%-9s %7zu %11.3f %14s %9s %8.1f%% %10s\n", isa_name(r.isa), r.workers, r.rate / 1e9, "-", "-",
                  100.0 * r.rate / best, r.same ? "identical" : "DIFFER");
    else
      std::printf("%-9s %7zu %11.3f %14.3f %8.1f%% %8.1f%% %10s\n", isa_name(r.isa), r.workers, r.rate / 1e9,
                  r.limit / 1e9, 100.0 * r.rate / r.limit, 100.0 * r.rate / best, r.same ? "identical" : "DIFFER");
  }
  std::printf("(limit: independent divide, divide and square root per lane at the path's register width;\n"
              " best: %.3f G/s on one thread, %.3f G/s on %zu threads; bits: against the scalar reference)\n",
              best_limit[0] / 1e9, best_limit[1] / 1e9, all);
  pool::set_worker_count_for_testing(0);
  set_isa_for_testing(std::nullopt);
}

void tree_table() {
  std::printf("\nBarnes-Hut against the direct sum (all targets = all particles, %zu workers, %s)\n",
              pool::worker_count(), isa_name(active_isa()));
  std::printf("%9s %6s %11s %11s %9s %11s %11s %11s\n", "particles", "theta", "direct s", "tree s", "speed-up",
              "max rel", "rms rel", "global rel");
  for (std::size_t n : {5000u, 20000u, 100000u}) {
    const ParticleField f = wake(n, 2);
    std::vector<Vel> d;
    const double td = best_of(n > 50000 ? 1 : 3, [&] { d = induced_velocities(f); });
    for (float theta : {0.1f, 0.3f, 0.5f, 0.7f}) {
      std::vector<Vel> b;
      const double tb = best_of(3, [&] { b = induced_velocities_bh(f, theta); });
      double mx = 0, s_rel = 0, s_d = 0, s_r = 0;
      for (std::size_t j = 0; j < n; ++j) {
        double dd = 0, rr = 0;
        for (int k = 0; k < 3; ++k) {
          dd += double(b[j][k] - d[j][k]) * double(b[j][k] - d[j][k]);
          rr += double(d[j][k]) * double(d[j][k]);
        }
        mx = std::max(mx, std::sqrt(dd / rr));
        s_rel += dd / rr;
        s_d += dd;
        s_r += rr;
      }
      std::printf("%9zu %6.1f %11.4f %11.4f %8.1fx %11.2e %11.2e %11.2e\n", n, theta, td, tb, td / tb, mx,
                  std::sqrt(s_rel / double(n)), std::sqrt(s_d / s_r));
    }
  }
  std::printf("(rms rel: root mean square over targets of |du|/|u|; global rel: sqrt(sum |du|^2 / sum |u|^2))\n");
}

void advection_table() {
  const std::size_t n = 4800;
  std::printf("\nAdvection step (midpoint, two evaluations), %zu particles, %zu workers\n", n, pool::worker_count());
  const ParticleField f = wake(n, 3);
  const double td = best_of(5, [&] {
    ParticleField g = f.clone();
    advect_rk2(g, {0.0f, 0.0f, -1.0f}, 0.01f);
  });
  const double tb = best_of(5, [&] {
    ParticleField g = f.clone();
    advect_rk2_bh(g, {0.0f, 0.0f, -1.0f}, 0.01f, 0.5f);
  });
  std::printf("direct: %.2f ms   tree (theta 0.5): %.2f ms   ratio %.2fx\n", td * 1e3, tb * 1e3, td / tb);
}

}  // namespace

int main() {
  std::printf("particle wake benchmark: %zu workers, CPU's instruction set %s\n", pool::worker_count(),
              isa_name(active_isa()));
  direct_table();
  tree_table();
  advection_table();
  return 0;
}
