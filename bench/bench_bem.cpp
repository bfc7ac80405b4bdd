// Throughput of the blade-element models.
//
// Every figure is printed with a ratio against a baseline timed in the same
// run: a single blade-element force evaluation (one atan2, one sincos, one
// polar lookup) for the element solver, the same sweep driven through a
// type-erased kernel for the sweep, and the 1 ms budget of a 1 kHz control
// loop for the dynamic models. Before timing, each fast path is checked to
// give exactly the reference answer.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bem_common.hpp"
#include "cpu_state.hpp"
#include "oye.hpp"
#include "pitt_peters.hpp"
#include "quasi_static_bem.hpp"
#include "trim.hpp"

using namespace aerlox_rs;

namespace {

/// Two blades, R = 0.8 m, 20 elements, linear twist, stiff flapping blade.
RotorDefinition bench_rotor() {
  RotorDefinition d;
  d.blade.n_blades = 2;
  d.blade.radius_m = 0.8;
  d.blade.root_cutout_m = 0.12;
  d.blade.chord_m = 0.06;
  d.blade.n_elements = 20;
  d.blade.r_stations_m = {0.12, 0.8};
  d.blade.chord_stations_m = {0.06, 0.06};
  d.blade.twist_stations_deg = {6.0, -6.0};
  d.airfoil = {0.0, 5.7, 0.011, 14.0};
  d.flap = FlapProperties{0.1, 120.0};
  return d;
}

const RotorDefinition kRotor = bench_rotor();
const LinearPolar kPolar = LinearPolar::from_properties(kRotor.airfoil);
constexpr double kOmega = 150.0;

RotorInputs hover() {
  RotorInputs in;
  in.collective_rad = 10.0 * DEG_TO_RAD;
  in.omega_rad_s = kOmega;
  return in;
}

RotorInputs forward() {
  RotorInputs in = hover();
  in.v_hub_world = Vec3{{0.2 * kOmega * 0.8, 0.0, 0.0}};  // mu = 0.2
  return in;
}

BEMElementGeometry<LinearPolar> mid_element() {
  return BEMElementGeometry<LinearPolar>::make(kPolar, 0.5, 0.034, 0.06, -0.05, kOmega, 1.225, 2,
                                               0.8, 0.12, true);
}

// Hides an input's value from the optimiser without changing it. Google
// Benchmark's DoNotOptimize(lvalue) uses the two-alternative asm constraint
// "+m,r", which GCC 12 miscompiles for a double held in memory: the loop then
// ran on an uninitialised stack slot (collective 0, 3e14, inf...) and timed
// another computation, about 1.8x slower than the real one.
template <class T>
inline void opaque(T& v) {
  asm volatile("" : "+m"(v)::"memory");
}

// ---- element level -------------------------------------------------------

void BM_ElementForce(benchmark::State& st) {
  const RadialGrid grid = RadialGrid::from_blade(kRotor.blade);
  const auto psi = build_psi_trig_table(36);
  const SweepCtx<LinearPolar> ctx{grid, kPolar, psi, 0.15, kOmega, 120.0, 1.225, 2, 36,
                                  1.0 / 36, 0.0, 0.0, 0.0, 0.0};
  ElementCtx e{};
  e.r = 0.5;
  e.chord = 0.06;
  e.dr = 0.034;
  e.col_psi = 0.15;
  double u_p = 5.0;
  for (auto _ : st) {
    opaque(u_p);
    benchmark::DoNotOptimize(element_force(ctx, e, u_p, 75.0));
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_ElementForce);

void BM_SolvePropeller(benchmark::State& st) {
  const auto g = mid_element();
  double pitch = 0.17;
  for (auto _ : st) {
    opaque(pitch);
    benchmark::DoNotOptimize(solve_bem_element(g, pitch, 0.0, 0.0));
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_SolvePropeller);

void BM_SolveWindmill(benchmark::State& st) {
  const auto g = mid_element();
  double pitch = 0.0;
  for (auto _ : st) {
    opaque(pitch);
    benchmark::DoNotOptimize(solve_bem_element_windmill(g, pitch, -40.0, 0.0));
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_SolveWindmill);

// ---- sweep: template kernel against a type-erased one ---------------------

struct ForceKernel {
  double lambda = 0.04;
  std::pair<double, double> element(const SweepCtx<LinearPolar>& ctx, const ElementCtx& e) const {
    return element_force(ctx, e, ctx.omega_r * lambda, e.u_t);
  }
};

/// The same loop with the kernel behind std::function (an indirect call per
/// element, as an interface-based design would have).
struct ErasedKernel {
  std::function<std::pair<double, double>(const SweepCtx<LinearPolar>&, const ElementCtx&)> f;
  std::pair<double, double> element(const SweepCtx<LinearPolar>& ctx, const ElementCtx& e) const {
    return f(ctx, e);
  }
};

struct SweepSetup {
  RadialGrid grid = RadialGrid::from_blade(kRotor.blade);
  std::vector<std::pair<double, double>> psi = build_psi_trig_table(36);
  SweepCtx<LinearPolar> ctx() const {
    return {grid, kPolar, psi, 0.17, kOmega, 120.0, 1.225, 2, 36, 1.0 / 36, -24.0, 0.0, 0.01, -0.02};
  }
};

void BM_SweepTemplate(benchmark::State& st) {
  const SweepSetup s;
  const auto ctx = s.ctx();
  ForceKernel k;
  for (auto _ : st) {
    opaque(k.lambda);
    benchmark::DoNotOptimize(ctx.run(k));
  }
  st.SetItemsProcessed(st.iterations() * 36 * 20);
}
BENCHMARK(BM_SweepTemplate);

void BM_SweepErased(benchmark::State& st) {
  const SweepSetup s;
  const auto ctx = s.ctx();
  ForceKernel inner;
  ErasedKernel k{[&inner](const SweepCtx<LinearPolar>& c, const ElementCtx& e) { return inner.element(c, e); }};
  for (auto _ : st) {
    opaque(inner.lambda);
    benchmark::DoNotOptimize(ctx.run(k));
  }
  st.SetItemsProcessed(st.iterations() * 36 * 20);
}
BENCHMARK(BM_SweepErased);

// ---- models ----------------------------------------------------------------

void BM_QsHover(benchmark::State& st) {
  const auto m = QuasiStaticBEM<LinearPolar>::build(kRotor, kPolar, 36);
  RotorInputs in = hover();
  for (auto _ : st) {
    opaque(in.collective_rad);
    benchmark::DoNotOptimize(m.compute_forces(in, {}));
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_QsHover);


void BM_QsForward(benchmark::State& st) {
  const auto m = QuasiStaticBEM<LinearPolar>::build(kRotor, kPolar, 36);
  RotorInputs in = forward();
  for (auto _ : st) {
    opaque(in.collective_rad);
    benchmark::DoNotOptimize(m.compute_forces(in, {}));
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_QsForward);

void BM_PpStep(benchmark::State& st) {
  const auto m = PittPetersModel<LinearPolar>::build(kRotor, kPolar, 36);
  const RotorInputs in = forward();
  auto s = relax_inflow(m, m.initial_state(), in, 400, 0.005);
  for (auto _ : st) {
    s = m.step(in, s, 0.001, IntegrationMethod::SemiImplicitEuler).second;
    opaque(s);
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_PpStep);

void BM_OyeStep(benchmark::State& st) {
  const auto m = OyeBEMModel<LinearPolar>::build_with_k(kRotor, kPolar, 36, 0.0);
  const RotorInputs in = forward();
  auto s = relax_inflow(m, m.initial_state(), in, 400, 0.005);
  for (auto _ : st) {
    s = m.step(in, s, 0.001, IntegrationMethod::SemiImplicitEuler).second;
    opaque(s);
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_OyeStep);

void BM_TrimPp(benchmark::State& st) {
  const auto m = PittPetersModel<LinearPolar>::build(kRotor, kPolar, 36);
  RotorInputs in = forward();
  in.collective_rad = 8.0 * DEG_TO_RAD;
  std::size_t iters = 0;
  for (auto _ : st) {
    const auto out = solve_trim_cyclic(m, m.initial_state(), in, TrimOptions{});
    iters = out.iterations;
    benchmark::DoNotOptimize(out);
  }
  st.counters["trim_passes"] = static_cast<double>(iters);
}
BENCHMARK(BM_TrimPp)->Unit(benchmark::kMillisecond);

// ---- correctness checks before timing --------------------------------------

std::size_t g_trim_passes = 0;

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

int check_answers() {
  int bad = 0;
  // The type-erased sweep is the reference for the template one: same
  // arithmetic in the same order, so the sums must agree to the bit.
  const SweepSetup s;
  const auto ctx = s.ctx();
  ForceKernel fk;
  ErasedKernel ek{[&fk](const SweepCtx<LinearPolar>& c, const ElementCtx& e) { return fk.element(c, e); }};
  const SweepSums a = ctx.run(fk), b = ctx.run(ek);
  if (!(same(a.t_total, b.t_total) && same(a.q_total, b.q_total) && same(a.mx_hub, b.mx_hub) &&
        same(a.my_hub, b.my_hub) && same(a.fx_hub, b.fx_hub) && same(a.fy_hub, b.fy_hub))) {
    std::printf("CHECK FAILED: template sweep differs from the reference sweep\n");
    ++bad;
  }
  // The axisymmetric pass is the reference for hover: a sweep forced by a
  // negligible cyclic must give the same thrust and torque.
  const auto qs = QuasiStaticBEM<LinearPolar>::build(kRotor, kPolar, 36);
  RotorInputs in = hover();
  const AeroResult axi = qs.compute_forces(in, {}).first;
  in.tilt_lon = 1e-11;
  const AeroResult swept = qs.compute_forces(in, {}).first;
  if (std::fabs(axi.F_world.z() - swept.F_world.z()) > 1e-9 * std::fabs(axi.F_world.z()) ||
      std::fabs(axi.Q_spin - swept.Q_spin) > 1e-9 * std::fabs(axi.Q_spin)) {
    std::printf("CHECK FAILED: hover pass differs from the full sweep\n");
    ++bad;
  }
  // Element solvers: the propeller answer satisfies the momentum balance and
  // the windmill answer is found.
  const auto g = mid_element();
  if (!(solve_bem_element(g, 0.17, 0.0, 0.0).momentum_residual < 1e-8) ||
      !solve_bem_element_windmill(g, 0.0, -40.0, 0.0)) {
    std::printf("CHECK FAILED: element solver answers\n");
    ++bad;
  }
  // The trim used for timing converges.
  const auto pp = PittPetersModel<LinearPolar>::build(kRotor, kPolar, 36);
  RotorInputs fin = forward();
  fin.collective_rad = 8.0 * DEG_TO_RAD;
  const auto trim = solve_trim_cyclic(pp, pp.initial_state(), fin, TrimOptions{});
  g_trim_passes = trim.iterations;
  if (!trim.converged) {
    std::printf("CHECK FAILED: trim did not converge\n");
    ++bad;
  }
  if (bad == 0) std::printf("answer checks: OK\n");
  return bad;
}

/// Keeps each benchmark's time per iteration (ns) for the ratio table.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> ns;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        ns[r.benchmark_name()] = r.GetAdjustedCPUTime() * multiplier(r.time_unit);
    ConsoleReporter::ReportRuns(runs);
  }

 private:
  static double multiplier(benchmark::TimeUnit u) {
    switch (u) {
      case benchmark::kSecond: return 1e9;
      case benchmark::kMillisecond: return 1e6;
      case benchmark::kMicrosecond: return 1e3;
      default: return 1.0;
    }
  }
};

// ---- hand-timed loops: the dirty-upper-state check ------------------------

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

double median_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

#if defined(__x86_64__)
// Leaves the upper halves of the AVX registers dirty, as AVX code that does
// not end with vzeroupper would (the asm is invisible to the compiler, so no
// vzeroupper follows).
__attribute__((target("avx"))) void dirty_upper() {
  static const float one = 1.0f;
  asm volatile("vbroadcastss %0, %%ymm15" ::"m"(one) : "xmm15");
}
__attribute__((target("avx"))) void clean_upper() { asm volatile("vzeroupper" ::: "memory"); }
bool have_avx() { return __builtin_cpu_supports("avx"); }
#else
void dirty_upper() {}
void clean_upper() {}
bool have_avx() { return false; }
#endif

struct HandTimed {
  double clean_ns = 0, dirty_ns = 0, dirty_unguarded_ns = 0;
};

// QS hover compute_forces per call (CPU time), the state before each call
// clean, dirty, and dirty with the entry's clearing turned off; 7 rounds
// interleaved, medians.
HandTimed hand_timed() {
  const auto m = QuasiStaticBEM<LinearPolar>::build(kRotor, kPolar, 36);
  RotorInputs in = hover();
  constexpr int kCalls = 4000;
  std::vector<double> c, d, u;
  volatile double sink = 0;
  const auto loop = [&](bool dirty) {
    const double t0 = cpu_seconds();
    for (int i = 0; i < kCalls; ++i) {
      if (dirty)
        dirty_upper();
      else
        clean_upper();
      sink = sink + m.compute_forces(in, {}).first.Q_spin;
    }
    return (cpu_seconds() - t0) / kCalls * 1e9;
  };
  for (int r = 0; r < 7; ++r) {
    c.push_back(loop(false));
    d.push_back(loop(true));
    set_upper_state_clearing_for_testing(false);
    u.push_back(loop(true));
    set_upper_state_clearing_for_testing(true);
  }
  return {median_of(c), median_of(d), median_of(u)};
}

void print_summary(const std::map<std::string, double>& ns) {
  auto get = [&](const char* n) {
    const auto it = ns.find(n);
    return it == ns.end() ? std::nan("") : it->second;
  };
  const double ef = get("BM_ElementForce");
  std::printf("\n=== blade-element throughput (same run) ===\n");
  std::printf("element force law              %12.0f /s  (baseline)\n", 1e9 / ef);
  std::printf("element solve, propeller       %12.0f /s  = %.1f force evaluations each\n",
              1e9 / get("BM_SolvePropeller"), get("BM_SolvePropeller") / ef);
  std::printf("element solve, windmill        %12.0f /s  = %.1f force evaluations each\n",
              1e9 / get("BM_SolveWindmill"), get("BM_SolveWindmill") / ef);
  std::printf("sweep 36x20, template kernel   %12.0f /s  %.2fx the type-erased kernel\n",
              1e9 / get("BM_SweepTemplate"), get("BM_SweepErased") / get("BM_SweepTemplate"));
  // Independent elements overlap in the pipeline, so a swept element costs
  // less than one isolated (latency-bound) evaluation.
  std::printf("sweep element cost             %12.2f isolated force evaluations per element\n",
              get("BM_SweepTemplate") / (720.0 * ef));
  std::printf("QS compute_forces, hover       %12.0f /s\n", 1e9 / get("BM_QsHover"));
  std::printf("QS compute_forces, mu=0.2      %12.0f /s  (hover pass is %.0fx faster)\n",
              1e9 / get("BM_QsForward"), get("BM_QsForward") / get("BM_QsHover"));
  const double pp = 1e9 / get("BM_PpStep"), oye = 1e9 / get("BM_OyeStep");
  std::printf("Pitt-Peters step, mu=0.2       %12.0f /s  real-time factor %.1f at 1 kHz\n", pp, pp / 1000.0);
  std::printf("Oye step, mu=0.2               %12.0f /s  real-time factor %.1f at 1 kHz\n", oye, oye / 1000.0);
  // Initial relaxation and evaluation, then per correcting pass two probes,
  // a relaxation and an evaluation.
  const TrimOptions o;
  const double evals = static_cast<double>(o.n_inflow_relax + 1) +
                       static_cast<double>(g_trim_passes - 1) * static_cast<double>(o.n_inflow_relax + 3);
  std::printf("trim solve (Pitt-Peters)       %12.2f ms  %zu passes, %.0f evaluations, %.2fx the cost of as many steps\n",
              get("BM_TrimPp") / 1e6, g_trim_passes, evals, get("BM_TrimPp") / (evals * get("BM_PpStep")));

  const HandTimed h = hand_timed();
  std::printf("\n=== QS compute_forces, hover: hand-timed loop (CPU time, median of 7 rounds) ===\n");
  std::printf("upper vector state clean        %10.1f ns/call  (baseline)\n", h.clean_ns);
  std::printf("upper state dirty               %10.1f ns/call  %.2fx the clean call\n", h.dirty_ns,
              h.dirty_ns / h.clean_ns);
  std::printf("dirty, entry clearing off       %10.1f ns/call  %.2fx the clean call%s\n", h.dirty_unguarded_ns,
              h.dirty_unguarded_ns / h.clean_ns, have_avx() ? "" : "  (no AVX: nothing to clear)");
  std::printf("Google Benchmark's figure       %10.1f ns/call  %.2fx the hand-timed loop\n", get("BM_QsHover"),
              get("BM_QsHover") / h.clean_ns);
  if (const char* path = std::getenv("AERLOX_BENCH_SUMMARY"))
    if (FILE* f = std::fopen(path, "a")) {
      std::fprintf(f, "%-44s %-22s %s\n", "QS compute_forces, upper state dirty",
                   (std::to_string(h.dirty_ns / h.clean_ns).substr(0, 4) + "x clean").c_str(),
                   ("entry clearing off: " + std::to_string(h.dirty_unguarded_ns / h.clean_ns).substr(0, 4) + "x").c_str());
      std::fprintf(f, "%-44s %-22s %s\n", "QS compute_forces, Google Benchmark",
                   (std::to_string(get("BM_QsHover") / h.clean_ns).substr(0, 4) + "x hand-timed").c_str(), "");
      std::fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv) {
  if (check_answers() != 0) return 1;
  benchmark::Initialize(&argc, argv);
  RecordingReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  benchmark::Shutdown();
  print_summary(rep.ns);
  return 0;
}
