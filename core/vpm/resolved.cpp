#include "vpm/resolved.hpp"

#include <cmath>
#include <limits>

#include "panic.hpp"
#include "vpm/fast_sum.hpp"

namespace aerlox_rs::vpm {

namespace {

// d alpha_i / dt = sum_j alpha_j G[j][i] (transposed) or sum_j alpha_j G[i][j]
// (classical), G[i][j] = du_i/dx_j at 3 i + j. Axial: alpha (e . G e) with
// e = alpha / |alpha|, the part both schemes share (the rate at which the
// particle's own line element lengthens); its direction stays.
V3 stretch(const float* a, const Grad& g, bool transposed, bool axial) {
  V3 s{};
  if (axial) {
    const double v[3] = {a[0], a[1], a[2]};
    const double aa = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2];
    if (!(aa > 0.0)) return s;
    double aga = 0.0;
    for (int i = 0; i < 3; ++i)
      aga += v[i] * ((static_cast<double>(g[3 * i]) * v[0] + static_cast<double>(g[3 * i + 1]) * v[1]) +
                     static_cast<double>(g[3 * i + 2]) * v[2]);
    const double rate = aga / aa;
    for (int i = 0; i < 3; ++i) s[i] = v[i] * rate;
    return s;
  }
  for (int i = 0; i < 3; ++i) {
    const int k0 = transposed ? i : 3 * i, dk = transposed ? 3 : 1;
    s[i] = (static_cast<double>(a[0]) * g[k0] + static_cast<double>(a[1]) * g[k0 + dk]) +
           static_cast<double>(a[2]) * g[k0 + 2 * dk];
  }
  return s;
}

// amax > 0: the strength may not grow beyond the larger of amax and its
// size before the step (a line element stretched past it is no longer
// resolved by its neighbours' overlap).
void move_strength(ParticleField& dst, const ParticleField& src, std::size_t i, const ParticleField& at,
                   const Grad& g, double h, const WakePhysics& ph, double amax) {
  const float a[3] = {at.ax[i], at.ay[i], at.az[i]};
  const V3 s = stretch(a, g, ph.transposed, ph.axial_stretching);
  double v[3] = {src.ax[i] + h * s[0], src.ay[i] + h * s[1], src.az[i] + h * s[2]};
  if (amax > 0.0) {
    const double was = std::sqrt((static_cast<double>(src.ax[i]) * src.ax[i] +
                                  static_cast<double>(src.ay[i]) * src.ay[i]) +
                                 static_cast<double>(src.az[i]) * src.az[i]);
    const double now = std::sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]);
    const double limit = std::fmax(amax, was);
    if (now > limit)
      for (double& c : v) c *= limit / now;
  }
  dst.ax[i] = static_cast<float>(v[0]);
  dst.ay[i] = static_cast<float>(v[1]);
  dst.az[i] = static_cast<float>(v[2]);
}

// Turns alpha a fraction f of the way towards the local vorticity's
// direction, keeping its size.
void relax_towards_curl(ParticleField& fld, std::size_t i, const Grad& g, double f) {
  const double w[3] = {static_cast<double>(g[7]) - g[5], static_cast<double>(g[2]) - g[6],
                       static_cast<double>(g[3]) - g[1]};
  const double wn = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
  if (!(wn > 0.0) || !std::isfinite(wn)) return;
  const double a[3] = {fld.ax[i], fld.ay[i], fld.az[i]};
  const double an = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  fld.ax[i] = static_cast<float>((1.0 - f) * a[0] + f * an * (w[0] / wn));
  fld.ay[i] = static_cast<float>((1.0 - f) * a[1] + f * an * (w[1] / wn));
  fld.az[i] = static_cast<float>((1.0 - f) * a[2] + f * an * (w[2] / wn));
}

// Spreads the core of particle i by the eddy viscosity of its strain,
// nu_t = (cs sigma)^2 |S| with |S| = sqrt(2 S_ij S_ij): sigma^2 grows by 2 nu_t dt.
void spread_by_strain(ParticleField& fld, std::size_t i, const Grad& g, double cs, double dt) {
  double ss = 0.0;
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b) {
      const double sab = 0.5 * (static_cast<double>(g[3 * a + b]) + g[3 * b + a]);
      ss += sab * sab;
    }
  const double sg = fld.sigma[i];
  const double nu_t = (cs * sg) * (cs * sg) * std::sqrt(2.0 * ss);
  const double grown = std::sqrt(sg * sg + 2.0 * nu_t * dt);
  if (std::isfinite(grown)) fld.sigma[i] = static_cast<float>(grown);
}

}  // namespace

double advect_resolved(ParticleField& f, std::array<float, 3> u_inf, float dt, const WakePhysics& ph,
                       const std::vector<double>* age, double stretch_age_s,
                       const std::vector<Filament>* filament) {
  const std::size_t n = f.len();
  if (n == 0) return 0.0;
  const bool capped = ph.stretching_max_length > 0.0 && filament && filament->size() == n;
  // Largest strength particle i may stretch to: its circulation times the
  // longest line element its core resolves (0: no limit).
  const auto amax = [&](std::size_t i) {
    return capped ? ph.stretching_max_length * static_cast<double>(f.sigma[i]) *
                        std::fabs(static_cast<double>((*filament)[i].gamma))
                  : 0.0;
  };
  const bool by_age = stretch_age_s > 0.0 && age && age->size() == n;
  const auto stretches = [&](std::size_t i) {
    return ph.stretching && (stretch_age_s <= 0.0 || (by_age && (*age)[i] < stretch_age_s));
  };
  const bool grad = ph.stretching || ph.relaxation > 0.0 || ph.smagorinsky > 0.0;
  const auto eval = [grad, &ph](const ParticleField& fld) {
    if (ph.fast_rtol > 0.0 && fld.len() >= ph.fast_min_particles)
      return induced_velocities_fast(fld, ph.fast_rtol, grad);
    return grad ? induced_with_gradient(fld) : VelGrad{induced_velocities(fld), {}};
  };
  // The midpoint step of the plain advection, with the strengths moved by the
  // same stages.
  const VelGrad k1 = eval(f);
  ParticleField mid = f.clone();
  const float h = 0.5f * dt;
  for (std::size_t i = 0; i < n; ++i) {
    mid.px[i] = (k1.vel[i][0] + u_inf[0]) * h + f.px[i];
    mid.py[i] = (k1.vel[i][1] + u_inf[1]) * h + f.py[i];
    mid.pz[i] = (k1.vel[i][2] + u_inf[2]) * h + f.pz[i];
    if (stretches(i)) move_strength(mid, f, i, f, k1.grad[i], h, ph, amax(i));
  }
  const VelGrad k2 = eval(mid);
  double top = 0.0;
  bool finite = true;
  for (std::size_t i = 0; i < n; ++i) {
    const float v[3] = {k2.vel[i][0] + u_inf[0], k2.vel[i][1] + u_inf[1], k2.vel[i][2] + u_inf[2]};
    f.px[i] = v[0] * dt + f.px[i];
    f.py[i] = v[1] * dt + f.py[i];
    f.pz[i] = v[2] * dt + f.pz[i];
    if (stretches(i)) move_strength(f, f, i, mid, k2.grad[i], dt, ph, amax(i));
    if (ph.relaxation > 0.0) relax_towards_curl(f, i, k2.grad[i], ph.relaxation);
    if (ph.smagorinsky > 0.0 && dt > 0.0f) spread_by_strain(f, i, k2.grad[i], ph.smagorinsky, dt);
    const double sp = std::sqrt(static_cast<double>(v[0]) * v[0] + static_cast<double>(v[1]) * v[1] +
                                static_cast<double>(v[2]) * v[2]);
    finite = finite && std::isfinite(sp) && std::isfinite(f.ax[i]) && std::isfinite(f.ay[i]) &&
             std::isfinite(f.az[i]);
    top = std::fmax(top, sp);
  }
  return finite ? top : std::numeric_limits<double>::infinity();
}

std::size_t drop_upstream(ParticleField& f, std::vector<double>* age, std::vector<Filament>* filament, double limit) {
  const std::size_t n = f.len();
  AERLOX_ASSERT((!age || age->size() == n) && (!filament || filament->size() == n));
  std::size_t keep = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (static_cast<double>(f.pz[i]) < -limit) continue;
    if (keep != i) {
      f.px[keep] = f.px[i], f.py[keep] = f.py[i], f.pz[keep] = f.pz[i];
      f.ax[keep] = f.ax[i], f.ay[keep] = f.ay[i], f.az[keep] = f.az[i];
      f.sigma[keep] = f.sigma[i];
      if (age) (*age)[keep] = (*age)[i];
      if (filament) (*filament)[keep] = (*filament)[i];
    }
    ++keep;
  }
  for (auto* a : {&f.px, &f.py, &f.pz, &f.ax, &f.ay, &f.az, &f.sigma}) a->truncate(keep);
  if (age) age->resize(keep);
  if (filament) filament->resize(keep);
  return n - keep;
}

std::size_t near_wake_start(const ParticleField& wake, const std::vector<double>* age,
                            const std::vector<Filament>* filament, const WakePhysics& ph, double dt) {
  const std::size_t n = wake.len();
  if (!age || !filament || age->size() != n || filament->size() != n || !(dt > 0.0)) return n;
  const double limit = (static_cast<double>(ph.near_steps) + 0.5) * dt;
  std::size_t k = n;
  while (k > 0 && (*age)[k - 1] < limit && (*filament)[k - 1].gamma != 0.0f) --k;
  return k;
}

void add_near_wake(std::span<V3> u, std::span<const V3> p, const ParticleField& wake, std::size_t k0,
                   const std::vector<double>& age, const std::vector<Filament>& filament, const WakePhysics& ph) {
  AERLOX_ASSERT(u.size() == p.size() && age.size() == wake.len() && filament.size() == wake.len());
  for (std::size_t k = k0; k < wake.len(); ++k) {
    const double g = filament[k].gamma;
    if (g == 0.0) continue;
    const V3 half{wake.ax[k] / (2.0 * g), wake.ay[k] / (2.0 * g), wake.az[k] / (2.0 * g)};
    const V3 a{wake.px[k] - half[0], wake.py[k] - half[1], wake.pz[k] - half[2]};
    const V3 b{wake.px[k] + half[0], wake.py[k] + half[1], wake.pz[k] + half[2]};
    // Squire's growth with the eddy viscosity of a vortex of this strength.
    const double delta = 1.0 + ph.squire_a1 * std::fabs(g) / ph.nu_m2_s;
    const double c0 = filament[k].core0;
    const double core = std::sqrt(c0 * c0 + 4.0 * kLambOseen * delta * ph.nu_m2_s * std::fmax(age[k], 0.0));
    for (std::size_t i = 0; i < p.size(); ++i) {
      const V3 v = segment_induced(p[i], a, b, core);
      u[i] = {u[i][0] + g * v[0], u[i][1] + g * v[1], u[i][2] + g * v[2]};
    }
  }
}

std::size_t piece_count(double length, double piece, std::size_t max_split) {
  const double pieces = std::ceil(length / piece);
  return !(pieces <= static_cast<double>(max_split)) ? max_split : (pieces < 1.0 ? 1 : static_cast<std::size_t>(pieces));
}

std::size_t shed_filament(ParticleField& wake, std::vector<double>* age, std::vector<Filament>* filament,
                          const V3& a, const V3& s, double gamma, float core, double core0, const WakePhysics& ph) {
  const double len = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
  std::size_t m = 1;
  // However many pieces, the strength stays the same.
  if (ph.overlap > 0.0f) m = piece_count(len, static_cast<double>(ph.overlap) * core, ph.max_split);
  const double share = gamma / static_cast<double>(m);
  const std::array<float, 3> alpha{static_cast<float>(share * s[0]), static_cast<float>(share * s[1]),
                                   static_cast<float>(share * s[2])};
  const Filament tag{static_cast<float>(gamma), static_cast<float>(core0)};
  for (std::size_t k = 0; k < m; ++k) {
    const double at = ph.overlap > 0.0f ? (static_cast<double>(k) + 0.5) / static_cast<double>(m) : 0.0;
    wake.push({static_cast<float>(a[0] + at * s[0]), static_cast<float>(a[1] + at * s[1]),
               static_cast<float>(a[2] + at * s[2])},
              alpha, core);
    if (age) age->push_back(0.0);
    if (filament) filament->push_back(tag);
  }
  return m;
}

}  // namespace aerlox_rs::vpm
