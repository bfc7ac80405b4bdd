// Throughput of the particle wake's evaluators, printed as ratios against
// baselines measured in the same process:
//  * the direct kernel on every instruction set, with the division and with
//    the reciprocal quotient, one worker and all workers, against the
//    machine's limit for its arithmetic (two correctly rounded
//    single-precision divisions and one square root per interaction);
//  * the Barnes-Hut tree against the direct sum (time and error);
//  * one advection step of a rotor-sized wake.
//
// Every time is process CPU time (clock_gettime(CLOCK_PROCESS_CPUTIME_ID)),
// so a figure is per core-second and does not depend on what else the
// machine runs; the kernels and their baselines run interleaved in rounds and
// each ratio is formed within one round, then its best and median over the
// rounds are printed. Every fast answer is checked against its reference; no
// time is asserted.
//
// Usage: bench_vpm [direct|tree|advect]... (default: all). With
// AERLOX_BENCH_SUMMARY=path the headline figures are appended to that file.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "vpm/common.hpp"
#include "vpm/pool.hpp"

using namespace aerlox_rs::vpm;

namespace {

// The process's CPU time once its worker threads are idle. A thread's time is
// brought up to date when it blocks or at a scheduler tick, so a read taken
// while a worker is still finishing its last task can miss up to a tick of
// that worker's work, and the next read then counts it: without the wait,
// two-worker figures here read anywhere from half to 175 % of the limit.
// Waiting 3 ms first lets every worker reach its wait and block.
double cpu_seconds() {
  const timespec pause{0, 3'000'000};
  nanosleep(&pause, nullptr);
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

template <class F>
double cpu_time(F&& f) {
  const double t0 = cpu_seconds();
  f();
  return cpu_seconds() - t0;
}

double median(std::vector<double> v) {
  if (v.empty()) return std::nan("");
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}
double best(const std::vector<double>& v) { return v.empty() ? std::nan("") : *std::max_element(v.begin(), v.end()); }

FILE* summary_file() {
  static FILE* f = [] {
    const char* p = std::getenv("AERLOX_BENCH_SUMMARY");
    return p ? std::fopen(p, "a") : nullptr;
  }();
  return f;
}

// One line of the closing summary: what, the figure, against what.
void summary(const char* what, const std::string& figure, const char* against) {
  if (FILE* f = summary_file()) {
    std::fprintf(f, "%-44s %-22s %s\n", what, figure.c_str(), against);
    std::fflush(f);
  }
}

std::string fmt(const char* f, double a, double b = 0) {
  char buf[96];
  std::snprintf(buf, sizeof buf, f, a, b);
  return buf;
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
// interaction (two divisions, one square root per lane), at each width. Four
// independent streams, each a fresh value per iteration so that no division
// can be hoisted or shared; nothing else competes for the divider.

enum class Width { Sse, Ymm, Zmm };
const char* width_name(Width w) { return w == Width::Zmm ? "zmm" : w == Width::Ymm ? "ymm" : "xmm"; }
int width_lanes(Width w) { return w == Width::Zmm ? 16 : w == Width::Ymm ? 8 : 4; }

#if defined(__x86_64__)
#define AERLOX_LIMIT_LOOP(V, SET, ADD, DIV, SQRT, FIRST)       \
  V step = SET(1e-7f), y = SET(1.25f);                        \
  V x0 = SET(1.5f), x1 = SET(1.6f), x2 = SET(1.7f), x3 = SET(1.8f); \
  V a0 = y, a1 = y, a2 = y, a3 = y;                           \
  for (long i = 0; i < iters; ++i) {                          \
    x0 = ADD(x0, step);                                       \
    x1 = ADD(x1, step);                                       \
    x2 = ADD(x2, step);                                       \
    x3 = ADD(x3, step);                                       \
    a0 = ADD(a0, ADD(ADD(DIV(x0, y), DIV(y, x0)), SQRT(x0))); \
    a1 = ADD(a1, ADD(ADD(DIV(x1, y), DIV(y, x1)), SQRT(x1))); \
    a2 = ADD(a2, ADD(ADD(DIV(x2, y), DIV(y, x2)), SQRT(x2))); \
    a3 = ADD(a3, ADD(ADD(DIV(x3, y), DIV(y, x3)), SQRT(x3))); \
  }                                                           \
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

bool width_supported(Width w) {
  return w == Width::Sse || (w == Width::Ymm ? isa_supported(Isa::Avx2) : isa_supported(Isa::Avx512));
}

// Lane-interactions per CPU second of the limit loop on `threads` threads.
double limit_rate(Width w, std::size_t threads, long iters) {
  volatile float sink = 0;
  const double t = cpu_time([&] {
    pool::parallel_for(threads, [&](std::size_t, std::size_t, std::size_t) {
      const float r = w == Width::Zmm ? limit_avx512(iters) : w == Width::Ymm ? limit_avx2(iters) : limit_sse(iters);
      sink = sink + r;
    });
  });
  return double(iters) * 4.0 * width_lanes(w) * double(threads) / t;
}
#else
bool width_supported(Width) { return false; }
double limit_rate(Width, std::size_t, long) { return std::nan(""); }
#endif

Width width_of(Isa isa) { return isa == Isa::Avx512 ? Width::Zmm : isa == Isa::Avx2 ? Width::Ymm : Width::Sse; }

// ---------------------------------------------------------------------------

void direct_table(int rounds) {
  const std::size_t n = 4800;
  const ParticleField f = wake(n, 1);
  set_isa_for_testing(Isa::Scalar);
  const std::vector<Vel> ref = induced_velocities(f);
  const std::size_t all = pool::worker_count();
  const double inter = double(n) * double(n);

  struct Cfg {
    Isa isa;
    bool recip;
    std::size_t workers;
    std::vector<double> rate, own, best;
    bool same = true;
  };
  std::vector<Cfg> cfgs;
  for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) continue;
    for (std::size_t w : {std::size_t{1}, all})
      for (bool r : {false, true}) {
        if (r && isa == Isa::Baseline) continue;  // no fused multiply-add there
        if (w == all && all == 1 && !cfgs.empty() && cfgs.back().workers == 1 && cfgs.back().isa == isa &&
            cfgs.back().recip == r)
          continue;
        cfgs.push_back({isa, r, w, {}, {}, {}, true});
      }
  }
  std::vector<Width> widths;
  for (Width w : {Width::Sse, Width::Ymm, Width::Zmm})
    if (width_supported(w)) widths.push_back(w);
  // limit[w][k]: rounds of the limit at width w on 1 (k=0) or all (k=1) workers.
  std::vector<std::vector<double>> limit_1(widths.size()), limit_all(widths.size());
  std::vector<double> best_1, best_all;

  // Size the limit loop to about the kernel's time per evaluation.
  const long iters = 1'000'000;
  for (int r = 0; r < rounds; ++r) {
    std::vector<double> lim1(widths.size()), limall(widths.size());
    for (std::size_t i = 0; i < widths.size(); ++i) {
      lim1[i] = limit_rate(widths[i], 1, iters);
      limit_1[i].push_back(lim1[i]);
      if (all > 1) {
        limall[i] = limit_rate(widths[i], all, iters);
        limit_all[i].push_back(limall[i]);
      } else {
        limall[i] = lim1[i];
      }
    }
    const double b1 = *std::max_element(lim1.begin(), lim1.end());
    const double ball = *std::max_element(limall.begin(), limall.end());
    best_1.push_back(b1);
    best_all.push_back(ball);
    for (Cfg& c : cfgs) {
      set_isa_for_testing(c.isa);
      set_reciprocal_quotient_for_testing(c.recip);
      pool::set_worker_count_for_testing(c.workers);
      std::vector<Vel> got;
      const double t = cpu_time([&] { got = induced_velocities(f); });
      c.same = c.same && same_bits(got, ref);
      const double rate = inter / t;
      std::size_t wi = 0;
      while (widths[wi] != width_of(c.isa)) ++wi;
      c.rate.push_back(rate);
      c.own.push_back(rate / (c.workers == 1 ? lim1[wi] : limall[wi]));
      c.best.push_back(rate / (c.workers == 1 ? b1 : ball));
    }
    pool::set_worker_count_for_testing(0);
  }
  set_reciprocal_quotient_for_testing(std::nullopt);
  set_isa_for_testing(std::nullopt);

  std::printf("\nDirect kernel, %zu particles on themselves (%.1f M interactions per evaluation), %d rounds\n", n,
              inter / 1e6, rounds);
  std::printf("Limit per core-second (median): ");
  for (std::size_t i = 0; i < widths.size(); ++i)
    std::printf("%s %.3f G/s%s", width_name(widths[i]), median(limit_1[i]) / 1e9,
                i + 1 < widths.size() ? ", " : "\n");
  std::printf("%-9s %-10s %7s %12s %17s %17s %10s\n", "path", "quotient", "workers", "G inter/cs", "of own limit",
              "of best limit", "bits");
  std::printf("%-9s %-10s %7s %12s %8s %8s %8s %8s\n", "", "", "", "median", "best", "median", "best", "median");
  for (const Cfg& c : cfgs)
    std::printf("%-9s %-10s %7zu %12.3f %7.1f%% %7.1f%% %7.1f%% %7.1f%% %10s\n", isa_name(c.isa),
                c.recip ? "reciprocal" : "divide", c.workers, median(c.rate) / 1e9, 100 * best(c.own),
                100 * median(c.own), 100 * best(c.best), 100 * median(c.best), c.same ? "identical" : "DIFFER");
  std::printf("(G inter/cs: interactions per CPU second, all workers' CPU time counted; limit: independent\n"
              " divide, divide and square root per lane at one register width, timed in the same round;\n"
              " best limit: the fastest width; bits: against the scalar reference)\n");

  // Headlines: the preferred path with its default quotient.
  const Isa pick = preferred_isa();
  const bool pick_recip = preferred_reciprocal();
  std::printf("dispatcher's choice on this machine: %s, %s\n", isa_name(pick), pick_recip ? "reciprocal" : "divide");
  for (const Cfg& c : cfgs)
    if (c.isa == pick && c.recip == pick_recip)
      summary(c.workers == 1 ? "direct kernel, 1 worker (of best limit)" : "direct kernel, all workers (of best limit)",
              fmt("%.1f%% (median %.1f%%)", 100 * best(c.best), 100 * median(c.best)),
              c.same ? "bits identical" : "BITS DIFFER");
  summary("direct kernel: dispatcher's choice", std::string(isa_name(pick)) + (pick_recip ? " reciprocal" : " divide"), "");
}

void tree_table(int rounds) {
  std::printf("\nBarnes-Hut (theta 0.5) against the direct sum, all targets = all particles, %zu workers, %s\n",
              pool::worker_count(), isa_name(active_isa()));
  std::printf("%9s %12s %12s %17s %11s %11s\n", "particles", "direct cs", "tree cs", "speed-up best/med",
              "rms rel", "global rel");
  for (std::size_t n : {5000u, 20000u, 50000u}) {
    const ParticleField f = wake(n, 2);
    // The direct sum on every stride-th target, scaled to all targets.
    const std::size_t stride = n / 2500;
    std::vector<float> sx, sy, sz;
    for (std::size_t j = 0; j < n; j += stride) {
      sx.push_back(f.px[j]);
      sy.push_back(f.py[j]);
      sz.push_back(f.pz[j]);
    }
    std::vector<Vel> d, b;
    std::vector<double> td, tb, ratio;
    for (int r = 0; r < rounds; ++r) {
      const double t_d = cpu_time([&] { d = induced_at_points(f, sx, sy, sz); }) * double(n) / double(sx.size());
      const double t_b = cpu_time([&] { b = induced_velocities_bh(f, 0.5f); });
      td.push_back(t_d);
      tb.push_back(t_b);
      ratio.push_back(t_d / t_b);
    }
    double s_rel = 0, s_d = 0, s_r = 0;
    for (std::size_t i = 0; i < sx.size(); ++i) {
      double dd = 0, rr = 0;
      for (int k = 0; k < 3; ++k) {
        const double e = double(b[i * stride][k]) - double(d[i][k]);
        dd += e * e;
        rr += double(d[i][k]) * double(d[i][k]);
      }
      s_rel += dd / rr;
      s_d += dd;
      s_r += rr;
    }
    std::printf("%9zu %12.4f %12.4f %8.1fx %7.1fx %11.2e %11.2e\n", n, median(td), median(tb), best(ratio),
                median(ratio), std::sqrt(s_rel / double(sx.size())), std::sqrt(s_d / s_r));
    summary(fmt("tree step %.0fk particles (CPU s, median)", double(n) / 1000).c_str(),
            fmt("%.4f s", median(tb)), fmt("%.1fx the direct sum", median(ratio)).c_str());
  }
  std::printf("(cs: CPU seconds per evaluation, median; direct: timed on a 1-in-(n/2500) sample of targets and\n"
              " scaled; rms rel: root mean square over sampled targets of |du|/|u|; global rel: sqrt(sum |du|^2 /\n"
              " sum |u|^2))\n");
}

void advection_table(int rounds) {
  const std::size_t n = 4800;
  std::printf("\nAdvection step (midpoint, two evaluations), %zu particles, %zu workers\n", n, pool::worker_count());
  const ParticleField f = wake(n, 3);
  std::vector<double> td, tb;
  for (int r = 0; r < rounds; ++r) {
    td.push_back(cpu_time([&] {
      ParticleField g = f.clone();
      advect_rk2(g, {0.0f, 0.0f, -1.0f}, 0.01f);
    }));
    tb.push_back(cpu_time([&] {
      ParticleField g = f.clone();
      advect_rk2_bh(g, {0.0f, 0.0f, -1.0f}, 0.01f, 0.5f);
    }));
  }
  std::printf("direct: %.2f ms   tree (theta 0.5): %.2f ms CPU (medians)   ratio %.2fx\n", median(td) * 1e3,
              median(tb) * 1e3, median(td) / median(tb));
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("particle wake benchmark: %zu workers, instruction set %s (CPU time throughout)\n",
              pool::worker_count(), isa_name(active_isa()));
  std::vector<std::string> parts(argv + 1, argv + argc);
  const auto want = [&](const char* p) { return parts.empty() || std::find(parts.begin(), parts.end(), p) != parts.end(); };
  if (want("direct")) direct_table(7);
  if (want("tree")) tree_table(3);
  if (want("advect")) advection_table(5);
  return 0;
}
