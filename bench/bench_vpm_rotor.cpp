// Cost of one vortex-particle rotor step (2 blades, 16 elements) at several
// wake sizes, direct and tree evaluation, and how much of it the wake
// evaluations take.
//
// Baseline: the wake evaluations a step cannot avoid, measured on the same
// field in the same run (the lifting-line targets of both blades and the two
// advection stages). "step_over_evals" is the step's cost relative to that
// baseline; "evals_share" is the share of the step spent inside the evaluator
// and advection calls, read from the step's own clock.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <numbers>

#include "vpm/rotor.hpp"

using namespace aerlox_rs;
using namespace aerlox_rs::vpm;

namespace {

constexpr double PI = std::numbers::pi;
constexpr std::size_t N_ELEM = 16;
constexpr double OMEGA = 40.0;
const double DT = (10.0 * PI / 180.0) / OMEGA;  // 10 degrees per step

RotorDefinition definition() {
  RotorDefinition d;
  d.blade.n_blades = 2;
  d.blade.radius_m = 1.0;
  d.blade.root_cutout_m = 0.15;
  d.blade.chord_m = 0.08;
  d.blade.twist_deg = -8.0;
  d.blade.n_elements = N_ELEM;
  d.airfoil = {0.0, 5.7, 0.01, 15.0};
  return d;
}

RotorInputs inputs() {
  RotorInputs in;
  in.omega_rad_s = OMEGA;
  in.collective_rad = 0.2;
  in.rho_kg_m3 = 1.225;
  return in;
}

// A hover-like wake of n particles: each past step left a row of trailing
// particles at the edges and shed particles at the midpoints of both blades,
// convected down and contracting with age.
ParticleField synthetic_wake(std::size_t n) {
  ParticleField f = ParticleField::with_capacity(n);
  const double root = 0.15, span = 0.85, gamma_tip = 1.2;
  std::size_t age = 0;
  while (f.len() < n) {
    const double z = 2.0 * DT * static_cast<double>(age);
    const double shrink = 1.0 - 0.2 * (1.0 - std::exp(-static_cast<double>(age) / 20.0));
    for (std::size_t b = 0; b < 2 && f.len() < n; ++b) {
      const double psi = b * PI - static_cast<double>(age) * OMEGA * DT;
      const double c = std::cos(psi), s = std::sin(psi);
      for (std::size_t j = 0; j <= 2 * N_ELEM && f.len() < n; ++j) {
        const double x = static_cast<double>(j) / (2.0 * N_ELEM);
        const double r = (root + span * 0.5 * (1.0 - std::cos(x * PI))) * shrink;
        // Tip and root vortices dominate; the inner sheet is weak.
        const double g = (j == 2 * N_ELEM) ? gamma_tip : (j == 0 ? -0.6 * gamma_tip : 0.02);
        const double seg = OMEGA * r * DT;
        f.push({static_cast<float>(r * c), static_cast<float>(-r * s), static_cast<float>(z)},
               {static_cast<float>(-g * seg * s), static_cast<float>(-g * seg * c), 0.0f},
               0.18f);
      }
    }
    ++age;
  }
  return f;
}

// Process CPU time in ms (all workers counted), so that a shared machine
// does not inflate the figures. Read once the workers are idle: a worker's
// time is brought up to date when it blocks or at a scheduler tick, so a read
// taken while one is still finishing its last task can miss (or, at the next
// read, add) up to a tick of its work; 3 ms lets every worker block first.
double cpu_ms() {
  const timespec pause{0, 3'000'000};
  nanosleep(&pause, nullptr);
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}
double ms_since(double t0) { return cpu_ms() - t0; }

// The summary's lines for the direct and the tree step.
std::array<std::string, 2>& summary_lines() {
  static std::array<std::string, 2> lines;
  return lines;
}

void BM_VpmStep(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const bool tree = st.range(1) != 0;
  VpmRotorConfig cfg;
  cfg.max_particles = n;
  cfg.barnes_hut = tree;
  cfg.bh_min_particles = 0;
  const auto rotor = VpmRotor<LinearPolar>::create(definition(), LinearPolar{0.0, 5.7, 0.01, 0.26},
                                                   {}, cfg);
  VpmRotorState s0;
  s0.wake = synthetic_wake(n);
  const RotorInputs in = inputs();

  // The clock must not change the answer.
  const auto plain = rotor.step(in, s0, DT);
  WakeEvalClock clock;
  set_wake_eval_clock(&clock);
  const auto timed = rotor.step(in, s0, DT);
  if (plain.first.F_world != timed.first.F_world || plain.second.n_particles() != n)
    st.SkipWithError("timed step differs from the plain step");
  clock = WakeEvalClock{};

  double step_ms = 0.0;
  for (auto _ : st) {
    const double t0 = cpu_ms();
    auto out = rotor.step(in, s0, DT);
    step_ms += ms_since(t0);
    benchmark::DoNotOptimize(out.first.Q_spin);
  }
  set_wake_eval_clock(nullptr);
  const double iters = static_cast<double>(st.iterations());
  const double eval_ms = static_cast<double>(clock.blade_eval_ns + clock.advect_ns) * 1e-6;

  // Baseline: the same evaluations called directly on the same field. The
  // step advects its wake after shedding, so the baseline's field also holds
  // the particles one step sheds (the newest ones of the step's output).
  const ParticleField& w = *s0.wake;
  ParticleField adv = w.clone();
  {
    const ParticleField& out = *plain.second.wake;
    const std::size_t shed = 2 * (2 * N_ELEM + 1);
    for (std::size_t i = out.len() - std::min(shed, out.len()); i < out.len(); ++i)
      adv.push({out.px[i], out.py[i], out.pz[i]}, {out.ax[i], out.ay[i], out.az[i]}, out.sigma[i]);
  }
  std::vector<float> tx(N_ELEM), ty(N_ELEM), tz(N_ELEM);
  for (std::size_t i = 0; i < N_ELEM; ++i) tx[i] = rotor.r_mid()[i];
  const int reps = 3;
  const double t0 = cpu_ms();
  for (int k = 0; k < reps; ++k) {
    for (int b = 0; b < 2; ++b) {
      auto u = tree ? induced_at_points_bh(w, tx, ty, tz, cfg.bh_theta)
                    : induced_at_points(w, tx, ty, tz);
      benchmark::DoNotOptimize(u.data());
    }
    ParticleField f = adv.clone();
    if (tree) advect_rk2_bh(f, {0.0f, 0.0f, 0.0f}, static_cast<float>(DT), cfg.bh_theta);
    else advect_rk2(f, {0.0f, 0.0f, 0.0f}, static_cast<float>(DT));
    benchmark::DoNotOptimize(f.px.data());
  }
  const double base_ms = ms_since(t0) / reps;

  // Google Benchmark runs a case more than once while it sizes the loop; the
  // last run's figures are the ones written out at exit.
  if (n == 20000) {
    char line[160];
    std::snprintf(line, sizeof line, "%-44s %-22s %.2fx its evaluations alone\n",
                  tree ? "vpm rotor step, 20k wake, tree" : "vpm rotor step, 20k wake, direct",
                  (std::to_string(step_ms / iters).substr(0, 6) + " ms CPU").c_str(), (step_ms / iters) / base_ms);
    summary_lines()[tree ? 1 : 0] = line;
  }
  st.counters["step_ms"] = step_ms / iters;
  st.counters["evals_ms"] = base_ms;
  st.counters["step_over_evals"] = (step_ms / iters) / base_ms;
  st.counters["evals_share"] = eval_ms / step_ms;
  if (tree) {
    // The tree answer stays close to the direct one.
    VpmRotorConfig direct_cfg = cfg;
    direct_cfg.barnes_hut = false;
    const auto direct = VpmRotor<LinearPolar>::create(definition(), LinearPolar{0.0, 5.7, 0.01, 0.26},
                                                      {}, direct_cfg);
    const double t_direct = -direct.step(in, s0, DT).first.F_world.z();
    const double t_tree = -plain.first.F_world.z();
    st.counters["tree_thrust_rel_err"] = std::fabs(t_tree - t_direct) / std::fabs(t_direct);
    if (std::fabs(t_tree - t_direct) > 0.02 * std::fabs(t_direct))
      st.SkipWithError("tree thrust differs from the direct thrust by more than 2 %");
  }
}

BENCHMARK(BM_VpmStep)
    ->ArgsProduct({{1200, 4800, 20000}, {0, 1}})
    ->ArgNames({"particles", "tree"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (const char* path = std::getenv("AERLOX_BENCH_SUMMARY"))
    if (FILE* f = std::fopen(path, "a")) {
      for (const std::string& line : summary_lines())
        if (!line.empty()) std::fputs(line.c_str(), f);
      std::fclose(f);
    }
  return 0;
}
