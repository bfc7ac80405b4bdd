// The fast summation against the direct sum on a 200k-particle cube of
// overlapping cores and a 200k-particle hover wake: accuracy (root mean
// square relative error over sampled targets) and speed-up at each rtol, the
// error and cost against N, and the velocity gradient's error. CPU time,
// direct and fast interleaved in rounds; the direct sum is timed on a sample
// of targets and scaled to all.
//
// Usage: bench_fast [accuracy|scaling|calibrate]... (default:
// accuracy). AERLOX_BENCH_SUMMARY=path appends the headline figures;
// AERLOX_NUM_THREADS=n runs on n workers (default: one per CPU);
// AERLOX_FAST_RTOL takes a comma-separated list of the rtols to measure;
// AERLOX_FAST_THETAS, _ORDERS, _LEAVES and _GROUPS lists of the plan's
// fields to calibrate (see FastPlan).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "vpm/common.hpp"
#include "vpm/fast_sum.hpp"
#include "vpm/pool.hpp"

using namespace aerlox_rs::vpm;

namespace {

double cpu_seconds() {
  // Let the pool's workers block first so their time is up to date.
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
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n == 0 ? std::nan("") : n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}
void summary(const std::string& what, const std::string& figure, const std::string& against) {
  static FILE* f = [] {
    const char* p = std::getenv("AERLOX_BENCH_SUMMARY");
    return p ? std::fopen(p, "a") : nullptr;
  }();
  if (f) {
    std::fprintf(f, "%-44s %-22s %s\n", what.c_str(), figure.c_str(), against.c_str());
    std::fflush(f);
  }
}
std::string fmt(const char* f, double a, double b = 0) {
  char buf[96];
  std::snprintf(buf, sizeof buf, f, a, b);
  return buf;
}

// n particles on a jittered lattice filling the unit cube, random strengths,
// core radius = lattice spacing.
ParticleField cube(std::size_t n, unsigned seed = 3) {
  const std::size_t m = std::max<std::size_t>(1, std::size_t(std::cbrt(double(n)) + 0.5));
  const float h = 1.0f / float(m);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  ParticleField f = ParticleField::with_capacity(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t a = i % m, b = (i / m) % m, c = i / (m * m);
    const float s = h * h * h;
    f.push({(float(a) + 0.5f + 0.25f * u(rng)) * h, (float(b) + 0.5f + 0.25f * u(rng)) * h,
            (float(c) + 0.5f + 0.25f * u(rng)) * h},
           {u(rng) * s, u(rng) * s, u(rng) * s}, h);
  }
  return f;
}

// A hovering two-bladed rotor's wake (radius 1): vortex sheets trailed from
// nr stations along contracting, descending helices over eight revolutions,
// each line carrying the drop of a bound circulation that peaks towards the
// tip (so the outermost line is the tip vortex), core 1.5 x the spacing.
ParticleField hover(std::size_t n) {
  const std::size_t nr = std::max<std::size_t>(4, std::size_t(std::sqrt(double(n) / 80.0) + 0.5));
  const std::size_t steps = std::max<std::size_t>(1, n / (2 * nr));
  const double revs = 8.0, dpsi = revs * 2.0 * M_PI / double(steps);
  const double h = std::max(0.85 / double(nr), 0.8 * dpsi);
  const auto gamma = [](double r) { return r <= 0.15 || r >= 1.0 ? 0.0 : r * r * std::sqrt(1.0 - r); };
  const auto at = [](double r, double psi, int b, double* p) {
    const double kappa = 0.78 + 0.22 * std::exp(-psi / 1.5);
    const double z = psi < M_PI ? -0.02 * psi : -0.02 * M_PI - 0.07 * (psi - M_PI);
    const double phi = M_PI * b - psi;
    p[0] = r * kappa * std::cos(phi);
    p[1] = r * kappa * std::sin(phi);
    p[2] = z;
  };
  ParticleField f = ParticleField::with_capacity(2 * nr * steps);
  for (std::size_t k = 0; k < steps; ++k)
    for (int b = 0; b < 2; ++b)
      for (std::size_t j = 0; j < nr; ++j) {
        const double r0 = 0.15 + 0.85 * double(j) / double(nr), r1 = 0.15 + 0.85 * double(j + 1) / double(nr);
        const double r = 0.5 * (r0 + r1);
        // Trailed strength: the circulation dropped between the line's edges.
        const double g = gamma(r0) - gamma(r1);
        const double psi = (double(k) + 0.5) * dpsi;
        double p[3], q0[3], q1[3];
        at(r, psi, b, p);
        at(r, psi - 0.5 * dpsi, b, q0);
        at(r, psi + 0.5 * dpsi, b, q1);
        f.push({float(p[0]), float(p[1]), float(p[2])},
               {float(g * (q1[0] - q0[0])), float(g * (q1[1] - q0[1])), float(g * (q1[2] - q0[2]))},
               float(1.5 * h));
      }
  return f;
}

struct Sample {
  std::vector<std::size_t> idx;
  std::vector<float> x, y, z;
};
// k particles drawn at random (fixed seed). A stride through the particle
// order would alias with the hover wake's layout (one trailed line per step
// and blade): at 50k and 200k particles every sampled target sat on the root
// line of one blade, where the velocity is smallest.
Sample sample_of(const ParticleField& f, std::size_t k) {
  Sample s;
  std::vector<std::size_t> all(f.len());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  k = std::min(k, all.size());
  std::mt19937 rng(11);
  for (std::size_t i = 0; i < k; ++i)
    std::swap(all[i], all[i + std::uniform_int_distribution<std::size_t>(0, all.size() - 1 - i)(rng)]);
  all.resize(k);
  std::sort(all.begin(), all.end());
  for (std::size_t i : all) {
    s.idx.push_back(i);
    s.x.push_back(f.px[i]);
    s.y.push_back(f.py[i]);
    s.z.push_back(f.pz[i]);
  }
  return s;
}
// sqrt(sum |du|^2 / sum |u|^2) over the sample.
double rms_rel(const std::vector<Vel>& ref, const std::vector<Vel>& fast, const Sample& s) {
  double e = 0, r = 0;
  for (std::size_t k = 0; k < s.idx.size(); ++k)
    for (int a = 0; a < 3; ++a) {
      const double d = double(fast[s.idx[k]][a]) - double(ref[k][a]);
      e += d * d;
      r += double(ref[k][a]) * double(ref[k][a]);
    }
  return std::sqrt(e / r);
}

struct Case {
  const char* name;
  ParticleField f;
};

// Error and speed-up per rtol, direct and fast interleaved.
void accuracy(std::size_t n, int rounds, const std::vector<double>& rtols) {
  std::printf("\nFast summation against the direct sum, %zu particles, %zu workers, %s (CPU s, median of %d)\n", n,
              pool::worker_count(), isa_name(active_isa()), rounds);
  std::printf("%-6s %7s %11s %11s %11s %10s %10s\n", "case", "rtol", "direct cs", "fast cs", "speed-up", "rms rel",
              "order/theta");
  for (Case c : {Case{"cube", cube(n)}, Case{"hover", hover(n)}}) {
    const Sample s = sample_of(c.f, 2000);
    for (double rtol : rtols) {
      std::vector<double> td, tf, ratio;
      std::vector<Vel> d;
      VelGrad fv;
      for (int r = 0; r < rounds; ++r) {
        td.push_back(cpu_time([&] { d = induced_at_points(c.f, s.x, s.y, s.z); }) * double(c.f.len()) /
                     double(s.x.size()));
        tf.push_back(cpu_time([&] { fv = induced_velocities_fast(c.f, rtol, false); }));
        ratio.push_back(td.back() / tf.back());
      }
      const double err = rms_rel(d, fv.vel, s);
      const FastPlan p = fast_plan(rtol);
      std::printf("%-6s %7.0e %11.3f %11.3f %10.1fx %10.2e %6d/%.2f\n", c.name, rtol, median(td), median(tf),
                  median(ratio), err, p.order, p.theta);
      summary(std::string("fast ") + c.name + " " + fmt("%.0fk rtol %.0e", double(n) / 1000, rtol),
              fmt("%.1fx direct", median(ratio)), fmt("rms rel err %.2e", err));
    }
  }
}

// Error and cost at fixed rtol against N; cost exponent from a log fit.
void scaling(const std::vector<std::size_t>& ns) {
  std::printf("\nError and cost against N (rtol 1e-3 and 1e-2, one evaluation each, CPU s)\n");
  std::printf("%-6s %9s %7s %10s %10s\n", "case", "N", "rtol", "fast cs", "rms rel");
  for (const char* name : {"cube", "hover"}) {
    for (double rtol : {1e-2, 1e-3}) {
      std::vector<double> lx, ly;
      for (std::size_t n : ns) {
        const ParticleField f = name == std::string("cube") ? cube(n) : hover(n);
        const Sample s = sample_of(f, 1000);
        const std::vector<Vel> d = induced_at_points(f, s.x, s.y, s.z);
        VelGrad fv;
        const double t = cpu_time([&] { fv = induced_velocities_fast(f, rtol, false); });
        const double err = rms_rel(d, fv.vel, s);
        std::printf("%-6s %9zu %7.0e %10.3f %10.2e\n", name, f.len(), rtol, t, err);
        lx.push_back(std::log(double(f.len())));
        ly.push_back(std::log(t));
      }
      double mx = 0, my = 0;
      for (std::size_t i = 0; i < lx.size(); ++i) mx += lx[i] / lx.size(), my += ly[i] / ly.size();
      double sxy = 0, sxx = 0;
      for (std::size_t i = 0; i < lx.size(); ++i) sxy += (lx[i] - mx) * (ly[i] - my), sxx += (lx[i] - mx) * (lx[i] - mx);
      std::printf("%-6s cost ~ N^%.2f at rtol %.0e\n", name, sxy / sxx, rtol);
    }
  }
}

// Opening angle and order against error and time on both cases.
struct Grid {
  std::vector<double> thetas, orders, leaves, groups;
};
void calibrate(std::size_t n, const Grid& g) {
  std::printf("\nCalibration, %zu particles\n%-6s %5s %5s %5s %6s %10s %10s %10s\n", n, "case", "leaf", "order",
              "group", "theta", "fast cs", "speed-up", "rms rel");
  for (Case c : {Case{"cube", cube(n)}, Case{"hover", hover(n)}}) {
    const Sample s = sample_of(c.f, 1000);
    std::vector<Vel> d;
    const double td = cpu_time([&] { d = induced_at_points(c.f, s.x, s.y, s.z); }) * double(c.f.len()) /
                      double(s.x.size());
    for (double leaf : g.leaves)
      for (double order : g.orders)
        for (double group : g.groups)
          for (double theta : g.thetas) {
            VelGrad fv;
            const FastPlan plan{int(order), float(theta), std::size_t(leaf), std::size_t(group)};
            const double t = cpu_time([&] { fv = induced_velocities_planned(c.f, plan, false); });
            std::printf("%-6s %5zu %5d %5zu %6.2f %10.3f %9.1fx %10.2e\n", c.name, plan.leaf, plan.order, plan.group,
                        theta, t, td / t, rms_rel(d, fv.vel, s));
          }
  }
}

// A comma-separated list of numbers from the environment, or dflt.
std::vector<double> env_list(const char* name, std::vector<double> dflt) {
  const char* t = std::getenv(name);
  if (!t) return dflt;
  std::vector<double> v;
  for (const char* p = t; *p;) {
    char* e = nullptr;
    const double x = std::strtod(p, &e);
    if (e == p) break;
    v.push_back(x);
    p = *e == ',' ? e + 1 : e;
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<std::string> parts(argv + 1, argv + argc);
  const auto want = [&](const char* p, bool dflt) {
    return parts.empty() ? dflt : std::find(parts.begin(), parts.end(), p) != parts.end();
  };
  if (const char* nt = std::getenv("AERLOX_NUM_THREADS"); nt && std::atoi(nt) > 0)
    pool::set_worker_count(std::size_t(std::atoi(nt)));
  const char* ne = std::getenv("AERLOX_FAST_N");
  const std::size_t n = ne ? std::size_t(std::atof(ne)) : 200000;
  const std::vector<double> rtols = env_list("AERLOX_FAST_RTOL", {1e-2, 1e-3, 1e-4});
  const Grid grid{env_list("AERLOX_FAST_THETAS", {0.2, 0.3, 0.4, 0.5, 0.6, 0.7}), env_list("AERLOX_FAST_ORDERS", {2}),
                  env_list("AERLOX_FAST_LEAVES", {32}), env_list("AERLOX_FAST_GROUPS", {32})};
  if (want("calibrate", false)) calibrate(n, grid);
  if (want("accuracy", true)) accuracy(n, 2, rtols);
  if (want("scaling", false)) scaling({20000, 50000, 200000, 1000000});
  return 0;
}
