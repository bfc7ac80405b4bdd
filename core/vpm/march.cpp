#include "vpm/march.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <utility>

#include "cancel.hpp"
#include "cyclic.hpp"
#include "panic.hpp"
#include "vpm/aging.hpp"
#include "vpm/merge.hpp"
#include "vpm/resolved.hpp"
#include "vpm/rotor.hpp"

namespace aerlox_rs::vpm {

namespace {

constexpr double TWO_PI = 2.0 * std::numbers::pi;
constexpr double FOUR_PI = 4.0 * std::numbers::pi;

// Component-wise helpers: each is one IEEE operation per component, so a
// formula written with them keeps its operation order.
inline V3 add(const V3& a, const V3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline V3 sub(const V3& a, const V3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline V3 scale(double s, const V3& a) { return {s * a[0], s * a[1], s * a[2]}; }
inline double norm(const V3& a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }

std::atomic<WakeEvalClock*> g_clock{nullptr};

using Clock = std::chrono::steady_clock;

inline std::uint64_t since_ns(Clock::time_point t0) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
}

// Copies `src` when it is present with exactly n entries, zeros otherwise:
// a state made for another rotor (or the empty state) restarts from rest.
std::vector<double> copy_or_zeros(const std::optional<std::vector<double>>* src, std::size_t n) {
  if (src && *src && (*src)->size() == n) return **src;
  return std::vector<double>(n, 0.0);
}

// A copy of f whose arrays have room for `extra` more particles.
ParticleField copy_with_room(const ParticleField& f, std::size_t extra) {
  ParticleField out;
  const std::size_t room = f.len() + extra;
  auto copy = [room](const AVec<float>& src, AVec<float>& dst) {
    dst = AVec<float>::with_capacity(room);
    for (std::size_t i = 0; i < src.size(); ++i) dst.push_back(src[i]);
  };
  copy(f.px, out.px);
  copy(f.py, out.py);
  copy(f.pz, out.pz);
  copy(f.ax, out.ax);
  copy(f.ay, out.ay);
  copy(f.az, out.az);
  copy(f.sigma, out.sigma);
  return out;
}

// The first k particles of f, as a field of their own.
ParticleField prefix_of(const ParticleField& f, std::size_t k) {
  ParticleField out = ParticleField::with_capacity(k);
  for (std::size_t i = 0; i < k; ++i)
    out.push({f.px[i], f.py[i], f.pz[i]}, {f.ax[i], f.ay[i], f.az[i]}, f.sigma[i]);
  return out;
}

inline std::array<float, 3> to_f32(const V3& v) {
  return {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
}

}  // namespace

void set_wake_eval_clock(WakeEvalClock* clock) { g_clock.store(clock, std::memory_order_relaxed); }

std::pair<FlightCondition, Kinematics> flight_condition(const RotorInputs& inputs, double r_tip) {
  const Kinematics kin = kinematics(inputs, inputs.omega_rad_s, r_tip);
  FlightCondition fc;
  fc.collective_rad = inputs.collective_rad;
  fc.tilt_lon = inputs.tilt_lon;
  fc.tilt_lat = inputs.tilt_lat;
  fc.v_hub = {kin.v_inplane_hub.x(), kin.v_inplane_hub.y(), kin.v_climb};
  fc.omega_rad_s = inputs.omega_rad_s;
  fc.rho = inputs.rho_kg_m3;
  return {fc, kin};
}

V3 r_hat(double psi) { return {std::cos(psi), -std::sin(psi), 0.0}; }

V3 t_hat(double psi) { return {-std::sin(psi), -std::cos(psi), 0.0}; }

V3 segment_induced(const V3& p, const V3& a, const V3& b, double core) {
  const V3 r1 = sub(p, a);
  const V3 r2 = sub(p, b);
  const V3 r0 = sub(b, a);
  const double n1 = norm(r1);
  const double n2 = norm(r2);
  if (n1 < 1e-9 || n2 < 1e-9) return {0.0, 0.0, 0.0};
  const V3 c{r1[1] * r2[2] - r1[2] * r2[1], r1[2] * r2[0] - r1[0] * r2[2],
             r1[0] * r2[1] - r1[1] * r2[0]};
  const double c2 = c[0] * c[0] + c[1] * c[1] + c[2] * c[2];
  // The point lies on the segment's line: no induced velocity.
  if (c2 < 1e-20) return {0.0, 0.0, 0.0};
  const V3 d{r1[0] / n1 - r2[0] / n2, r1[1] / n1 - r2[1] / n2, r1[2] / n1 - r2[2] / n2};
  const double proj = r0[0] * d[0] + r0[1] * d[1] + r0[2] * d[2];
  const double r0sq = r0[0] * r0[0] + r0[1] * r0[1] + r0[2] * r0[2];
  // |c|^2 / (|c|^2 + core^2 |r0|^2) = h^2 / (h^2 + core^2), h the distance to
  // the line: the regularisation that keeps the velocity finite near the axis.
  const double reg = c2 / (c2 + core * core * r0sq);
  const double k = proj * reg / (FOUR_PI * c2);
  return scale(k, c);
}

void integrate_flap(std::span<double> beta, std::span<double> beta_dot,
                    std::span<const double> m_beta, double i_flap_kgm2, double omega_nr_rad_s,
                    double omega, double dt) {
  AERLOX_ASSERT(beta_dot.size() == beta.size() && m_beta.size() == beta.size());
  // fmax ignores a NaN inertia, like the guard against a zero one.
  const double inertia = std::fmax(i_flap_kgm2, 1e-9);
  const double k = omega * omega + omega_nr_rad_s * omega_nr_rad_s;
  for (std::size_t b = 0; b < beta.size(); ++b) {
    const double a = m_beta[b] / inertia - k * beta[b];
    beta_dot[b] += dt * a;
    // Semi-implicit Euler: the angle moves with the updated rate.
    beta[b] += dt * beta_dot[b];
  }
}

void integrate_feather(std::span<double> theta_f, std::span<double> theta_f_dot,
                       std::span<const double> m_theta, double i_theta_kgm2, double damper,
                       double k_aero, double dt) {
  AERLOX_ASSERT(theta_f_dot.size() == theta_f.size() && m_theta.size() == theta_f.size());
  const double inertia = std::fmax(i_theta_kgm2, 1e-12);
  for (std::size_t b = 0; b < theta_f.size(); ++b) {
    const double a = (m_theta[b] - k_aero * theta_f[b]) / inertia;
    // The damper is integrated implicitly so that a stiff damper stays stable.
    theta_f_dot[b] = (theta_f_dot[b] + dt * a) / (1.0 + dt * damper / inertia);
    theta_f[b] += dt * theta_f_dot[b];
  }
}

void drain_front(ParticleField& f, std::size_t k) {
  AERLOX_ASSERT(k <= f.len());
  if (k == 0) return;
  for (auto* a : {&f.px, &f.py, &f.pz, &f.ax, &f.ay, &f.az, &f.sigma}) a->erase_front(k);
}

void settle_wake(ParticleField& wake, const VpmRotorConfig& config, double dt, double omega, double psi0,
                 std::optional<std::vector<double>>* age_s, std::optional<std::vector<Filament>>* filament) {
  std::vector<double>* age = (age_s && *age_s) ? &**age_s : nullptr;
  std::vector<Filament>* fil = (filament && *filament) ? &**filament : nullptr;
  AERLOX_ASSERT(!fil || fil->size() == wake.len());
  const double dpsi = omega * dt;
  // Shedding appends at the back, so the front holds the oldest particles.
  if (age)
    for (double& a : *age) a += dt;
  if (wake.len() > config.max_particles) {
    const std::size_t k = wake.len() - config.max_particles;
    drain_front(wake, k);
    if (age) age->erase(age->begin(), age->begin() + static_cast<std::ptrdiff_t>(k));
    if (fil) fil->erase(fil->begin(), fil->begin() + static_cast<std::ptrdiff_t>(k));
  }

  if (dt > 0.0 && config.core_spread_nu > 0.0) aging::core_spread(wake, config.core_spread_nu, dt);

  if (config.strength_decay_tau_rev > 0.0) {
    // The life is counted in revolutions: the step advances dpsi / 2 pi of one.
    const double factor = std::exp(-(dpsi / TWO_PI) / config.strength_decay_tau_rev);
    aging::strength_decay(wake, static_cast<float>(factor));
  }

  // Merge whenever the azimuth interval of this step crosses a multiple of
  // merge_every steps' worth of azimuth.
  const double interval = static_cast<double>(config.merge_every) * dpsi;
  if (config.merge_wake && config.merge_every > 0 && interval > 0.0 &&
      wake.len() >= config.merge_min_particles &&
      std::floor((psi0 + dpsi) / interval) > std::floor(psi0 / interval)) {
    const MergeOpts opts{config.merge_kappa, config.merge_chi_min, config.merge_region_dist,
                         config.merge_min_particles};
    wake = merge_particles(wake, opts);
    // Merged particles have no single age, nor a single filament.
    if (age_s) age_s->reset();
    if (filament) filament->reset();
  }
}

void advance_wake(ParticleField& wake, const VpmRotorConfig& config, const V3& v_hub, double dt,
                  double omega, double psi0, std::optional<std::vector<double>>* age_s) {
  AERLOX_ASSERT(!(age_s && *age_s) || (*age_s)->size() == wake.len());
  const std::array<float, 3> u_inf = to_f32(v_hub);
  const float dt_f = static_cast<float>(dt);

  WakeEvalClock* clock = g_clock.load(std::memory_order_relaxed);
  const auto t0 = Clock::now();
  if (config.barnes_hut && wake.len() >= config.bh_min_particles) {
    advect_rk2_bh(wake, u_inf, dt_f, config.bh_theta);
  } else {
    advect_rk2(wake, u_inf, dt_f);
  }
  if (clock) {
    clock->advect_ns += since_ns(t0);
    clock->advects += 1;
  }
  settle_wake(wake, config, dt, omega, psi0, age_s, nullptr);
}

namespace {

// What the lifting line needs of one element at one circulation guess.
struct ElementEval {
  V3 u;       // relative air velocity at the midpoint, hub axes
  double phi;  // inflow angle
  double alpha;  // angle of attack
  double U;    // section speed (radial component excluded)
  double cl;
  double cd;
};

// An element's shed segment in the resolved wake: along the element, half a
// step behind the blade along the flow u it meets. (start, start to end).
std::pair<V3, V3> shed_segment(double r0, double width, const V3& rh, double beta, double dt, const V3& u) {
  const V3 start = add(add(scale(r0, rh), V3{0.0, 0.0, -r0 * beta}), scale(0.5 * dt, u));
  return {start, add(scale(width, rh), V3{0.0, 0.0, -width * beta})};
}

// A blade meets the flow along its chord, not only at its lifting line: taken
// at a point x_col chords behind the line (Weissinger's three-quarter chord at
// 0.5), the angle of attack sees the trailing legs from further along them
// and the other elements' bound vorticity, while the section's own
// two-dimensional share of that bound vorticity is the polar's. The march
// keeps evaluating its wake at the line; this adds, per unit circulation of
// element k at element i, the difference the chordwise position makes for the
// blade's own straight horseshoes (bound segment and legs running straight
// downstream, the legs with the near-wake core), less that 2-D share:
// corr[i n + k]. Near the blade, where the difference lives, the legs are
// straight; the curved wake beyond is the same at both points.
void chordwise_correction(std::vector<V3>& corr, const std::vector<V3>& p_mid, const std::vector<double>& r_edge,
                          const std::vector<double>& chord, const std::vector<double>& core_edge, const V3& rh,
                          const V3& th, double beta, double x_col) {
  const std::size_t n = p_mid.size();
  const V3 along = add(rh, V3{0.0, 0.0, -beta});
  const V3 e = scale(1.0 / norm(along), along);
  const double far = 1e3 * r_edge[n];
  const V3 down = scale(-far, th);
  for (std::size_t i = 0; i < n; ++i) {
    const V3 d = scale(-x_col * chord[i], th);
    const V3 p = add(p_mid[i], d);
    const V3 c{e[1] * d[2] - e[2] * d[1], e[2] * d[0] - e[0] * d[2], e[0] * d[1] - e[1] * d[0]};
    const V3 w2d = scale(1.0 / (TWO_PI * (d[0] * d[0] + d[1] * d[1] + d[2] * d[2])), c);
    // A leg at edge j carries (left circulation - right circulation) downstream.
    std::vector<V3> leg(n + 1);
    for (std::size_t j = 0; j <= n; ++j) {
      const V3 a = scale(r_edge[j], along);
      leg[j] = sub(segment_induced(p, a, add(a, down), core_edge[j]),
                   segment_induced(p_mid[i], a, add(a, down), core_edge[j]));
    }
    for (std::size_t k = 0; k < n; ++k) {
      V3 v = add(sub(leg[k + 1], leg[k]),
                 segment_induced(p, scale(r_edge[k], along), scale(r_edge[k + 1], along), 0.0));
      if (k == i) v = sub(v, w2d);
      corr[i * n + k] = v;
    }
  }
}

// Solves a x = b in place (a is n x n, row-major; b becomes x) by Gaussian
// elimination with partial pivoting. Returns false when a is singular.
bool solve_dense(std::vector<double>& a, std::vector<double>& b) {
  const std::size_t n = b.size();
  AERLOX_ASSERT(a.size() == n * n);
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t piv = k;
    for (std::size_t r = k + 1; r < n; ++r)
      if (std::fabs(a[r * n + k]) > std::fabs(a[piv * n + k])) piv = r;
    if (!(std::fabs(a[piv * n + k]) > 1e-300)) return false;
    if (piv != k) {
      for (std::size_t c = 0; c < n; ++c) std::swap(a[k * n + c], a[piv * n + c]);
      std::swap(b[k], b[piv]);
    }
    for (std::size_t r = k + 1; r < n; ++r) {
      const double f = a[r * n + k] / a[k * n + k];
      for (std::size_t c = k; c < n; ++c) a[r * n + c] -= f * a[k * n + c];
      b[r] -= f * b[k];
    }
  }
  for (std::size_t k = n; k-- > 0;) {
    double v = b[k];
    for (std::size_t c = k + 1; c < n; ++c) v -= a[k * n + c] * b[c];
    b[k] = v / a[k * n + k];
  }
  return true;
}

// The age (s) below which particles are stretched: the physics' revolutions
// at this rotor speed; 0 (all) when unset or the rotor is stopped.
double stretch_age_s(const WakePhysics& ph, double omega) {
  return (ph.stretching_age_rev > 0.0 && omega > 0.0) ? ph.stretching_age_rev * TWO_PI / omega : 0.0;
}

// How far above the disk particles are kept (m), 0 for no limit: only with no
// edgewise flow and the air coming down through the disk (hover, climb).
double upstream_cut_m(const WakePhysics& ph, const V3& v_hub, double omega, double r_tip) {
  if (!(ph.upstream_cut_radii > 0.0)) return 0.0;
  const double inplane = std::sqrt(v_hub[0] * v_hub[0] + v_hub[1] * v_hub[1]);
  if (!(inplane <= 1e-9 * (1.0 + std::fabs(omega) * r_tip) && v_hub[2] >= 0.0)) return 0.0;
  return ph.upstream_cut_radii * r_tip;
}

}  // namespace

std::vector<V3> trailing_path(double re, double psi, double beta, double omega, double dt, const V3& ue,
                              double piece, std::size_t max_split) {
  const V3 lift{0.0, 0.0, -re * beta};
  const V3 w = add(ue, scale(omega * re, t_hat(psi)));
  const V3 start = add(scale(re, r_hat(psi)), lift);
  const V3 end = add(add(scale(re, r_hat(psi - omega * dt)), lift), scale(dt, w));
  std::size_t m = 1;
  // The arc plus the drift bounds the path's length, so no piece's chord
  // exceeds `piece`.
  if (piece > 0.0)
    m = piece_count(std::fabs(omega * dt) * std::fabs(re) + std::fabs(dt) * norm(w), piece, max_split);
  if (m == 0) m = 1;
  std::vector<V3> pts(m + 1);
  pts[0] = start;
  pts[m] = end;
  for (std::size_t k = 1; k < m; ++k) {
    const double s = static_cast<double>(k) / static_cast<double>(m);
    pts[k] = add(add(scale(re, r_hat(psi - s * omega * dt)), lift), scale(s * dt, w));
  }
  return pts;
}

// One blade's shedding in the resolved wake: the trailing filament of each
// edge over the step (along the arc the edge swept, drifted by the air) and
// the shed filament of each element (along the element, half a step behind
// the blade), each cut into overlapping particles. Returns the particles added.
template <class P>
std::size_t shed_resolved(const VpmRotor<P>& rotor, const WakePhysics& ph, ParticleField& wake,
                          std::optional<std::vector<double>>& age, std::vector<Filament>& filament,
                          const std::vector<double>& gn, const std::vector<double>& gp, const V3* ub,
                          double psi_b, double beta_b, double omega, double dt) {
  const std::size_t n = rotor.n_elements();
  const std::vector<double>& r_edge = rotor.r_edge();
  const V3 rh = r_hat(psi_b);
  std::vector<double>* ages = age ? &*age : nullptr;
  std::size_t added = 0;
  for (std::size_t j = 0; j <= n; ++j) {
    const double g_trail = ((j == 0) ? 0.0 : gn[j - 1]) - ((j == n) ? 0.0 : gn[j]);
    if (g_trail == 0.0) continue;
    const V3 ue = (j == 0) ? ub[0] : (j == n) ? ub[n - 1] : scale(0.5, add(ub[j - 1], ub[j]));
    const float core = rotor.sigma_edge()[j];
    const std::vector<V3> path = trailing_path(r_edge[j], psi_b, beta_b, omega, dt, ue,
                                               static_cast<double>(ph.overlap) * core, ph.max_split);
    for (std::size_t k = 0; k + 1 < path.size(); ++k)
      added += shed_filament(wake, ages, &filament, path[k], sub(path[k + 1], path[k]), g_trail, core,
                             rotor.near_core_edge()[j], ph);
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double d_gamma = gn[i] - gp[i];
    if (d_gamma == 0.0) continue;
    const auto [start, along] = shed_segment(r_edge[i], rotor.dr()[i], rh, beta_b, dt, ub[i]);
    added += shed_filament(wake, ages, &filament, start, along, -d_gamma, rotor.sigma_mid()[i],
                           rotor.near_core_mid()[i], ph);
  }
  return added;
}

template <class P>
std::pair<VpmRotorResult, VpmRotorState> march_window(const VpmRotor<P>& rotor,
                                                      const FlightCondition& fc,
                                                      const VpmRotorState* state, double psi0,
                                                      double dt) {
  const VpmRotorConfig& cfg = rotor.config();
  const std::size_t n = rotor.n_elements();
  const std::size_t nb = rotor.n_blades();
  const std::vector<double>& r_edge = rotor.r_edge();
  const std::vector<double>& r_mid = rotor.r_mid();
  const std::vector<double>& dr = rotor.dr();
  const std::vector<double>& chord = rotor.chord();
  const std::vector<double>& twist = rotor.twist();
  const std::vector<float>& sigma_edge = rotor.sigma_edge();
  const std::vector<float>& sigma_mid = rotor.sigma_mid();
  AERLOX_ASSERT(r_edge.size() == n + 1 && r_mid.size() == n && dr.size() == n &&
                chord.size() == n && twist.size() == n && sigma_edge.size() == n + 1 &&
                sigma_mid.size() == n);

  const double omega = fc.omega_rad_s;
  const double rho = fc.rho;
  const double dpsi = omega * dt;
  const auto [th1c, th1s] = cyclic_coeffs(fc.tilt_lon, fc.tilt_lat, rotor.ctrl());

  // The state is a value: work on a copy of its wake, one with room for
  // everything this step sheds, so shedding never regrows (and re-copies) the
  // arrays and a capped wake keeps a bounded footprint.
  const std::size_t shed_max = nb * (2 * n + 1);
  ParticleField wake = (state && state->wake) ? copy_with_room(*state->wake, shed_max)
                                              : ParticleField{};

  // Ages are known from the empty state on, and as long as the incoming state
  // carried them.
  std::optional<std::vector<double>> age;
  if (!state || !state->wake || state->wake->len() == 0) {
    age.emplace();
  } else if (state->wake_age_s && state->wake_age_s->size() == state->wake->len()) {
    age = *state->wake_age_s;
  }
  if (age) age->reserve(age->size() + shed_max);

  // The resolved wake knows the filament each particle was cut from; a wake
  // that comes without (a plain rotor's) is taken as plain particles.
  const WakePhysics* ph = rotor.physics() ? &*rotor.physics() : nullptr;
  std::optional<std::vector<Filament>> filament;
  if (ph) {
    if (state && state->wake_filament && state->wake_filament->size() == wake.len())
      filament = *state->wake_filament;
    else
      filament.emplace(wake.len());
  }
  std::optional<BladeSnapshot> snap;
  if (ph) {
    snap.emplace();
    snap->n_blades = nb;
    snap->n_elements = n;
    for (auto* v : {&snap->alpha_rad, &snap->phi_rad, &snap->cl, &snap->cd, &snap->gamma_m2_s,
                    &snap->speed_m_s, &snap->thrust_n_per_m, &snap->torque_nm_per_m})
      v->assign(nb * n, 0.0);
    snap->psi_rad.assign(nb, 0.0);
  }

  std::vector<std::vector<double>> gamma_prev;
  {
    bool shape_ok = state && state->gamma && state->gamma->size() == nb;
    if (shape_ok)
      for (const auto& g : *state->gamma) shape_ok = shape_ok && g.size() == n;
    gamma_prev = shape_ok ? *state->gamma
                          : std::vector<std::vector<double>>(nb, std::vector<double>(n, 0.0));
  }
  std::vector<std::vector<double>> gamma_new(nb, std::vector<double>(n, 0.0));

  const bool flap_on = rotor.flap().has_value();
  const bool servo_active = rotor.feather().has_value();
  std::vector<double> beta = copy_or_zeros(flap_on && state ? &state->beta : nullptr, nb);
  std::vector<double> beta_dot = copy_or_zeros(flap_on && state ? &state->beta_dot : nullptr, nb);
  std::vector<double> theta_f =
      copy_or_zeros(servo_active && state ? &state->theta_f : nullptr, nb);
  std::vector<double> theta_f_dot =
      copy_or_zeros(servo_active && state ? &state->theta_f_dot : nullptr, nb);

  const bool nonlinear = cfg.nonlinear_lifting_line;
  const int max_iter = nonlinear ? 30 : 1;
  // The resolved wake evaluates the blade by the direct sum (a handful of
  // targets), with its youngest particles seen as filament pieces instead.
  const bool use_tree = !ph && cfg.barnes_hut && wake.len() >= cfg.bh_min_particles;
  std::size_t near0 = wake.len();
  ParticleField far_part;
  const ParticleField* far_src = &wake;
  if (ph) {
    near0 = near_wake_start(wake, age ? &*age : nullptr, &*filament, *ph, dt);
    if (near0 < wake.len()) {
      far_part = prefix_of(wake, near0);
      far_src = &far_part;
    }
  }
  std::vector<V3> near_u(ph ? n : 0);

  // Working buffers, allocated once per march and reused by every blade so
  // that the lifting-line sweeps allocate nothing.
  std::vector<float> tx(n), ty(n), tz(n);
  std::vector<V3> p_mid(n);       // element midpoints (double)
  std::vector<V3> base(n);        // free stream + wake-induced velocity
  std::vector<V3> blade_vel(n);   // Omega r t_hat: blade motion through the air
  std::vector<double> flap_vel(n);  // r beta_dot: flapping velocity along +z
  std::vector<V3> kin_vel(n);     // kinematic relative velocity, no trailing downwash
  std::vector<V3> b_inf(nonlinear ? n * (n + 1) : 0);
  std::vector<V3> s_inf(nonlinear && ph ? n * n : 0);
  // Collocation behind the lifting line: what the blade's own vorticity adds
  // to each element's inflow there, over what the line itself sees.
  const double x_col = (nonlinear && ph) ? ph->collocation : 0.0;
  std::vector<V3> bb_inf(x_col > 0.0 ? n * n : 0);
  std::vector<V3> u_rel(nb * n);
  std::vector<double> m_beta(nb, 0.0), m_theta(nb, 0.0);

  VpmRotorResult res;
  WakeEvalClock* clock = g_clock.load(std::memory_order_relaxed);

  for (std::size_t b = 0; b < nb; ++b) {
    // The march works on copies only: stopping here discards them.
    poll_cancel();
    const double psi_b = psi0 + TWO_PI * static_cast<double>(b) / static_cast<double>(nb);
    const double cpsi = std::cos(psi_b);
    const double spsi = std::sin(psi_b);
    const V3 rh = r_hat(psi_b);
    const V3 th = t_hat(psi_b);
    const double command = fc.collective_rad + th1c * cpsi + th1s * spsi;
    // With a servo flap the swashplate commands the flap and the blade pitch
    // is whatever the feathering dynamics have reached.
    const double control_pitch = servo_active ? theta_f[b] : command;
    const double delta = servo_active ? command : 0.0;
    const double beta_b = beta[b];
    const double beta_dot_b = beta_dot[b];

    for (std::size_t i = 0; i < n; ++i) {
      const double r = r_mid[i];
      p_mid[i] = add(scale(r, rh), V3{0.0, 0.0, -r * beta_b});
      tx[i] = static_cast<float>(p_mid[i][0]);
      ty[i] = static_cast<float>(p_mid[i][1]);
      tz[i] = static_cast<float>(p_mid[i][2]);
    }

    const auto t0 = Clock::now();
    const std::vector<Vel> u_far =
        use_tree ? induced_at_points_bh(wake, tx, ty, tz, cfg.bh_theta)
                 : induced_at_points(*far_src, tx, ty, tz);
    if (clock) {
      clock->blade_eval_ns += since_ns(t0);
      clock->blade_evals += 1;
    }
    AERLOX_ASSERT(u_far.size() == n);
    if (ph) {
      near_u.assign(n, V3{0.0, 0.0, 0.0});
      if (near0 < wake.len()) add_near_wake(near_u, p_mid, wake, near0, *age, *filament, *ph);
    }

    for (std::size_t i = 0; i < n; ++i) {
      const double r = r_mid[i];
      const V3 uf{static_cast<double>(u_far[i][0]), static_cast<double>(u_far[i][1]),
                  static_cast<double>(u_far[i][2])};
      base[i] = ph ? add(add(fc.v_hub, uf), near_u[i]) : add(fc.v_hub, uf);
      blade_vel[i] = scale(omega * r, th);
      flap_vel[i] = r * beta_dot_b;
      kin_vel[i] = add(sub(base[i], blade_vel[i]), V3{0.0, 0.0, flap_vel[i]});
    }

    if (nonlinear) {
      // Trailing vortex segments leave each edge along the local flow over
      // one step; their influence on every midpoint is tabulated once so the
      // sweeps below only form weighted sums.
      for (std::size_t j = 0; j <= n; ++j) {
        const double re = r_edge[j];
        const V3 ue = (j == 0)   ? kin_vel[0]
                      : (j == n) ? kin_vel[n - 1]
                                 : scale(0.5, add(kin_vel[j - 1], kin_vel[j]));
        if (!ph) {
          const V3 e = add(scale(re, rh), V3{0.0, 0.0, -re * beta_b});
          const V3 e_end = add(e, scale(dt, ue));
          for (std::size_t i = 0; i < n; ++i)
            b_inf[i * (n + 1) + j] = segment_induced(p_mid[i], e, e_end, static_cast<double>(sigma_edge[j]));
          continue;
        }
        // The resolved wake gives the blade's own trailing vorticity a core
        // tied to the blade, not to the particles, and lays it where shedding
        // will: along the arc the edge swept.
        const std::vector<V3> path =
            trailing_path(re, psi_b, beta_b, omega, dt, ue,
                          static_cast<double>(ph->overlap) * static_cast<double>(sigma_edge[j]), ph->max_split);
        for (std::size_t i = 0; i < n; ++i) {
          V3 v{0.0, 0.0, 0.0};
          for (std::size_t k = 0; k + 1 < path.size(); ++k)
            v = add(v, segment_induced(p_mid[i], path[k], path[k + 1], rotor.near_core_edge()[j]));
          b_inf[i * (n + 1) + j] = v;
        }
      }
      // The resolved wake also solves for the vorticity this step sheds, where
      // shedding will put it (half a step behind the blade). Seen only from the
      // next step on, a shed vortex that close answers the change of circulation
      // that made it one step late, and the circulation then flips sign from
      // step to step once the step is short against the chord (half a chord on
      // Caradonna-Tung at 72 steps per revolution).
      if (ph)
        for (std::size_t k = 0; k < n; ++k) {
          const auto [start, along] = shed_segment(r_edge[k], dr[k], rh, beta_b, dt, kin_vel[k]);
          const V3 end = add(start, along);
          for (std::size_t i = 0; i < n; ++i)
            s_inf[i * n + k] = segment_induced(p_mid[i], start, end, rotor.near_core_mid()[k]);
        }
      if (x_col > 0.0)
        chordwise_correction(bb_inf, p_mid, r_edge, chord, rotor.near_core_edge(), rh, th, beta_b, x_col);
    }
    const std::vector<double>& g_prev = gamma_prev[b];

    std::vector<double>& g = gamma_new[b];
    g = gamma_prev[b];

    auto evaluate = [&](std::size_t i) -> ElementEval {
      V3 w{0.0, 0.0, 0.0};
      V3 wc{0.0, 0.0, 0.0};
      if (nonlinear) {
        // The trailing strength at edge j is the jump of bound circulation
        // across it; there is no circulation beyond either end.
        const V3* row = &b_inf[i * (n + 1)];
        for (std::size_t j = 0; j <= n; ++j) {
          const double g_in = (j == 0) ? 0.0 : g[j - 1];
          const double g_out = (j == n) ? 0.0 : g[j];
          const double jump = g_in - g_out;
          w[0] += jump * row[j][0];
          w[1] += jump * row[j][1];
          w[2] += jump * row[j][2];
        }
        if (ph) {
          const V3* srow = &s_inf[i * n];
          for (std::size_t k = 0; k < n; ++k) {
            const double shed = g_prev[k] - g[k];
            w[0] += shed * srow[k][0];
            w[1] += shed * srow[k][1];
            w[2] += shed * srow[k][2];
          }
        }
        if (x_col > 0.0) {
          const V3* brow = &bb_inf[i * n];
          for (std::size_t k = 0; k < n; ++k) {
            wc[0] += g[k] * brow[k][0];
            wc[1] += g[k] * brow[k][1];
            wc[2] += g[k] * brow[k][2];
          }
        }
      }
      ElementEval ev;
      ev.u = add(sub(add(base[i], w), blade_vel[i]), V3{0.0, 0.0, flap_vel[i]});
      const double u_t = ev.u[0] * th[0] + ev.u[1] * th[1];
      const double u_z = ev.u[2];
      ev.phi = std::atan2(u_z, -u_t);
      // Behind the line the section takes its angle of attack there; its
      // force stays on the bound vortex, turned by the inflow at the line
      // (the flow there is what the bound vortex moves through).
      const double phi_aero =
          x_col > 0.0 ? std::atan2(u_z + wc[2], -(u_t + wc[0] * th[0] + wc[1] * th[1])) : ev.phi;
      const double alpha = twist[i] + control_pitch - phi_aero;
      ev.alpha = alpha;
      const auto [cl, cd] = rotor.polar().cl_cd(alpha);
      ev.cl = cl;
      ev.cd = cd;
      const double speed = std::sqrt(u_t * u_t + u_z * u_z);
      // A stagnant section keeps a tiny speed so its circulation stays defined.
      ev.U = (speed > 1e-6) ? speed : 1e-6;
      return ev;
    };

    // The velocity at element i per unit circulation of element k in the
    // resolved wake: through the trailing legs at k's edges, its shed segment
    // and, behind the line, the chordwise correction.
    auto influence = [&](std::size_t i, std::size_t k) -> V3 {
      const V3 dw = sub(sub(b_inf[i * (n + 1) + k + 1], b_inf[i * (n + 1) + k]), s_inf[i * n + k]);
      return x_col > 0.0 ? add(dw, bb_inf[i * n + k]) : dw;
    };
    // The polar's lift-curve slope at alpha (per rad), by central difference.
    auto lift_slope = [&](double alpha) {
      const double h = 1e-4;
      return (rotor.polar().cl_cd(alpha + h).first - rotor.polar().cl_cd(alpha - h).first) / (2.0 * h);
    };

    // The resolved wake's near vorticity has thin cores, so an element's own
    // trailing and shed segments can answer a change of its circulation more
    // strongly than the fixed relaxation can follow (neighbouring elements then
    // settle into a zig-zag). Its update is divided by one minus the
    // sensitivity of its Kutta-Joukowski circulation to its own: a Newton step
    // where that sensitivity is strong, the plain relaxation where it is weak.
    auto self_damping = [&](const ElementEval& ev, std::size_t i) -> double {
      const V3 dw = influence(i, i);
      const double a = -(ev.u[0] * th[0] + ev.u[1] * th[1]);
      const double bz = ev.u[2];
      const double d_phi = (a * dw[2] + bz * (dw[0] * th[0] + dw[1] * th[1])) / (a * a + bz * bz + 1e-300);
      const double sens = -0.5 * ev.U * chord[i] * lift_slope(ev.alpha) * d_phi;
      const double damp = 1.0 - sens;
      return (damp > 1.0 && std::isfinite(damp)) ? 1.0 / damp : 1.0;
    };

    // Behind the lifting line a section's angle of attack answers its
    // neighbours' bound vorticity more than its own, so element-by-element
    // sweeps stall; the circulation is found by Newton's method on the whole
    // blade instead, each element's inflow angle linearised in every
    // element's circulation.
    // Each Newton step is halved until it lowers the largest residual (the
    // polar's stall makes the circulation's map kinked, where a full step can
    // overshoot into a spurious branch).
    if (x_col > 0.0) {
      std::vector<double> jac(n * n), rhs(n), g0(n);
      const auto worst_residual = [&] {
        double m = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
          const ElementEval ev = evaluate(i);
          m = std::fmax(m, std::fabs(0.5 * ev.U * chord[i] * ev.cl - g[i]));
        }
        return m;
      };
      for (int iter = 0; iter < max_iter; ++iter) {
        double r0 = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
          const ElementEval ev = evaluate(i);
          rhs[i] = 0.5 * ev.U * chord[i] * ev.cl - g[i];
          r0 = std::fmax(r0, std::fabs(rhs[i]));
          const double a = -(ev.u[0] * th[0] + ev.u[1] * th[1]);
          const double bz = ev.u[2];
          const double gain = 0.5 * ev.U * chord[i] * lift_slope(ev.alpha) / (a * a + bz * bz + 1e-300);
          for (std::size_t k = 0; k < n; ++k) {
            const V3 dw = influence(i, k);
            jac[i * n + k] = (k == i ? 1.0 : 0.0) + gain * (a * dw[2] + bz * (dw[0] * th[0] + dw[1] * th[1]));
          }
        }
        if (!(r0 > 1e-12 * (1.0 + r0)) || !solve_dense(jac, rhs)) break;
        g0 = g;
        double lambda = 1.0;
        for (int half = 0; half < 12; ++half, lambda *= 0.5) {
          for (std::size_t i = 0; i < n; ++i) g[i] = g0[i] + lambda * rhs[i];
          if (worst_residual() < r0) break;
        }
        bool converged = true;
        for (std::size_t i = 0; i < n; ++i)
          if (std::fabs(g[i] - g0[i]) > 1e-6 * (std::fabs(g[i]) + 1e-6)) converged = false;
        if (converged) break;
      }
    }
    // Gauss-Seidel sweeps with under-relaxation towards the Kutta-Joukowski
    // circulation; elements updated earlier in a sweep are seen by later ones.
    for (int iter = 0; iter < (x_col > 0.0 ? 0 : max_iter); ++iter) {
      bool converged = true;
      for (std::size_t i = 0; i < n; ++i) {
        const ElementEval ev = evaluate(i);
        const double g_kj = 0.5 * ev.U * chord[i] * ev.cl;
        const double step = (ph && nonlinear) ? self_damping(ev, i) : 1.0;
        const double g_relaxed = g[i] + cfg.relax * step * (g_kj - g[i]);
        // Written so that a NaN difference counts as converged.
        if (std::fabs(g_relaxed - g[i]) > 1e-6 * (std::fabs(g_relaxed) + 1e-6)) converged = false;
        g[i] = g_relaxed;
      }
      if (converged) break;
    }

    const ServoFlapActuation* fa = servo_active ? &*rotor.feather() : nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      const ElementEval ev = evaluate(i);
      u_rel[b * n + i] = ev.u;
      const double r = r_mid[i];
      const double q = ev.U * (0.5 * rho * ev.U) * chord[i];
      const double d_lift = q * ev.cl * dr[i];
      const double d_drag = q * ev.cd * dr[i];
      const double cphi = std::cos(ev.phi);
      const double sphi = std::sin(ev.phi);
      const double d_t = cphi * d_lift - sphi * d_drag;
      const double d_q = r * (sphi * d_lift + cphi * d_drag);
      res.thrust += d_t;
      res.torque += d_q;
      m_beta[b] += r * d_t;
      res.mx_hub += r * d_t * spsi;
      res.my_hub += r * d_t * cpsi;
      if (snap) {
        const std::size_t k = b * n + i;
        snap->alpha_rad[k] = ev.alpha;
        snap->phi_rad[k] = ev.phi;
        snap->cl[k] = ev.cl;
        snap->cd[k] = ev.cd;
        snap->gamma_m2_s[k] = g[i];
        snap->speed_m_s[k] = ev.U;
        snap->thrust_n_per_m[k] = d_t / dr[i];
        snap->torque_nm_per_m[k] = d_q / dr[i];
        snap->psi_rad[b] = psi_b;
      }
      if (fa) {
        if (fa->flap.r_inner_m <= r && r <= fa->flap.r_outer_m)
          m_theta[b] += q * fa->flap.C_M_delta_per_rad * delta * dr[i];
        if (std::fabs(fa->blade_Cm_AC) > 1e-12) m_theta[b] += q * fa->blade_Cm_AC * dr[i];
      }
    }
  }

  // Shedding, after every blade has seen the same wake. Blades in order, then
  // trailing particles at the edges, then shed particles at the midpoints, so
  // the oldest particles stay at the front of the field.
  for (std::size_t b = 0; b < nb; ++b) {
    const double psi_b = psi0 + TWO_PI * static_cast<double>(b) / static_cast<double>(nb);
    const double cpsi = std::cos(psi_b);
    const double spsi = std::sin(psi_b);
    const V3 rh = r_hat(psi_b);
    const double beta_b = beta[b];  // before this step's flap update
    const std::vector<double>& gn = gamma_new[b];
    const std::vector<double>& gp = gamma_prev[b];
    const V3* ub = &u_rel[b * n];
    if (ph) {
      snap->shed += shed_resolved(rotor, *ph, wake, age, *filament, gn, gp, ub, psi_b, beta_b, omega, dt);
      continue;
    }

    for (std::size_t j = 0; j <= n; ++j) {
      const double g_in = (j == 0) ? 0.0 : gn[j - 1];
      const double g_out = (j == n) ? 0.0 : gn[j];
      const double g_trail = g_in - g_out;
      if (g_trail == 0.0) continue;
      const V3 ue = (j == 0)   ? ub[0]
                    : (j == n) ? ub[n - 1]
                               : scale(0.5, add(ub[j - 1], ub[j]));
      const V3 seg = scale(dt, ue);
      const double re = r_edge[j];
      const V3 pos{re * cpsi, -re * spsi, -re * beta_b};
      wake.push(to_f32(pos), to_f32(scale(g_trail, seg)), sigma_edge[j]);
      if (age) age->push_back(0.0);
    }
    for (std::size_t i = 0; i < n; ++i) {
      const double d_gamma = gn[i] - gp[i];
      if (d_gamma == 0.0) continue;
      const double r = r_mid[i];
      const V3 pos{r * cpsi, -r * spsi, -r * beta_b};
      wake.push(to_f32(pos), to_f32(scale(-d_gamma * dr[i], rh)), sigma_mid[i]);
      if (age) age->push_back(0.0);
    }
  }

  if (flap_on) {
    const FlapProperties& fp = *rotor.flap();
    integrate_flap(beta, beta_dot, m_beta, fp.I_blade_flap_kgm2, fp.omega_nr_rad_s, omega, dt);
  }
  if (servo_active) {
    const ServoFlapActuation& fa = *rotor.feather();
    // Aerodynamic feathering stiffness of an aerodynamic centre offset from
    // the feathering axis.
    const double k_aero = 0.5 * rho * (omega * omega) * rotor.cl_alpha() * fa.ac_offset_m *
                          rotor.feather_span_integral();
    integrate_feather(theta_f, theta_f_dot, m_theta, fa.I_theta_kgm2, fa.damper_Nms_per_rad,
                      k_aero, dt);
  }

  poll_cancel();
  if (ph) {
    const auto t0 = Clock::now();
    snap->max_particle_speed_m_s = advect_resolved(wake, to_f32(fc.v_hub), static_cast<float>(dt), *ph,
                                                   age ? &*age : nullptr, stretch_age_s(*ph, omega),
                                                   filament ? &*filament : nullptr);
    if (clock) {
      clock->advect_ns += since_ns(t0);
      clock->advects += 1;
    }
    settle_wake(wake, cfg, dt, omega, psi0, &age, &filament);
    const double cut = upstream_cut_m(*ph, fc.v_hub, omega, r_edge[n]);
    if (cut > 0.0) drop_upstream(wake, age ? &*age : nullptr, filament ? &*filament : nullptr, cut);
  } else {
    advance_wake(wake, cfg, fc.v_hub, dt, omega, psi0, &age);
  }

  VpmRotorState out;
  out.wake = std::move(wake);
  out.wake_age_s = std::move(age);
  out.wake_filament = std::move(filament);
  out.blade = std::move(snap);
  out.gamma = std::move(gamma_new);
  double psi = std::fmod(psi0 + dpsi, TWO_PI);
  if (psi < 0.0) psi += TWO_PI;
  out.psi = psi;
  if (flap_on) {
    out.beta = std::move(beta);
    out.beta_dot = std::move(beta_dot);
  }
  if (servo_active) {
    out.theta_f = std::move(theta_f);
    out.theta_f_dot = std::move(theta_f_dot);
  }
  return {res, std::move(out)};
}

template std::pair<VpmRotorResult, VpmRotorState> march_window<LinearPolar>(
    const VpmRotor<LinearPolar>&, const FlightCondition&, const VpmRotorState*, double, double);
template std::pair<VpmRotorResult, VpmRotorState> march_window<TabulatedPolar>(
    const VpmRotor<TabulatedPolar>&, const FlightCondition&, const VpmRotorState*, double,
    double);

}  // namespace aerlox_rs::vpm
