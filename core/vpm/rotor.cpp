#include "vpm/rotor.hpp"

#include <cmath>
#include <numbers>
#include <string>

#include "bem_common.hpp"
#include "panic.hpp"

namespace aerlox_rs::vpm {

VpmRotorConfig build_vpm_config(std::size_t max_particles, float sigma, double relax,
                                bool nonlinear_lifting_line, bool tip_clustering, bool local_core,
                                bool barnes_hut, float bh_theta, std::size_t bh_min_particles,
                                bool merge_wake, std::size_t merge_every,
                                std::size_t merge_min_particles, float merge_kappa,
                                float merge_chi_min, float merge_region_dist,
                                double core_spread_nu, double strength_decay_tau_rev) {
  VpmRotorConfig c;
  c.max_particles = max_particles;
  c.sigma = sigma;
  c.relax = relax;
  c.nonlinear_lifting_line = nonlinear_lifting_line;
  c.tip_clustering = tip_clustering;
  c.local_core = local_core;
  c.barnes_hut = barnes_hut;
  c.bh_theta = bh_theta;
  c.bh_min_particles = bh_min_particles;
  c.merge_wake = merge_wake;
  c.merge_every = merge_every;
  c.merge_min_particles = merge_min_particles;
  c.merge_kappa = merge_kappa;
  c.merge_chi_min = merge_chi_min;
  c.merge_region_dist = merge_region_dist;
  c.core_spread_nu = core_spread_nu;
  c.strength_decay_tau_rev = strength_decay_tau_rev;
  return c;
}

template <class P>
VpmRotor<P> VpmRotor<P>::create(const RotorDefinition& defn, P polar, ControlGains ctrl,
                                VpmRotorConfig config) {
  const BladeGeometry& blade = defn.blade;
  const std::size_t n = blade.n_elements;
  // The edge formula divides by n and every edge needs a neighbouring element.
  if (n == 0)
    throw ValueError("VPM rotor needs a blade with at least one element (n_elements = 0)");

  const double r_root = blade.root_cutout_m;
  const double span = blade.radius_m - r_root;
  // Every element would have zero width and every core radius 0/0.
  if (span == 0.0)
    throw ValueError("VPM rotor needs a blade of nonzero span (radius_m equals root_cutout_m)");

  VpmRotor r(std::move(polar));
  r.n_blades_ = blade.n_blades;
  r.n_elements_ = n;
  const double nd = static_cast<double>(n);

  r.r_edge_.resize(n + 1);
  for (std::size_t i = 0; i <= n; ++i) {
    const double id = static_cast<double>(i);
    // Cosine spacing crowds the edges at root and tip, where the
    // circulation changes fastest.
    r.r_edge_[i] = config.tip_clustering
                       ? r_root + span * 0.5 * (1.0 - std::cos(id * std::numbers::pi / nd))
                       : r_root + span * (id / nd);
  }

  r.r_mid_.resize(n);
  r.dr_.resize(n);
  r.chord_.resize(n);
  r.twist_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    r.r_mid_[i] = 0.5 * (r.r_edge_[i] + r.r_edge_[i + 1]);
    r.dr_[i] = r.r_edge_[i + 1] - r.r_edge_[i];
    r.chord_[i] = blade.chord_at(r.r_mid_[i]);
    r.twist_[i] = blade.twist_at(r.r_mid_[i]) * DEG_TO_RAD;
  }

  // Particles shed from narrow elements get thinner cores (never below half
  // the base radius, never above it), so the tip and root vortices resolve.
  const double dr_uniform = span / nd;
  const float base = config.sigma;
  const bool local_core = config.local_core;
  auto core_for = [&](double d) -> float {
    if (!local_core) return base;
    double ratio = d / dr_uniform;
    // Written as comparisons so that a NaN ratio stays NaN.
    if (ratio < 0.5) ratio = 0.5;
    if (ratio > 1.0) ratio = 1.0;
    return base * static_cast<float>(ratio);
  };

  r.sigma_mid_.resize(n);
  for (std::size_t i = 0; i < n; ++i) r.sigma_mid_[i] = core_for(r.dr_[i]);
  r.sigma_edge_.resize(n + 1);
  for (std::size_t j = 0; j <= n; ++j) {
    // An edge takes the mean width of its two neighbours; the end edges have one.
    if (j == 0) r.sigma_edge_[j] = core_for(r.dr_[0]);
    else if (j == n) r.sigma_edge_[j] = core_for(r.dr_[n - 1]);
    else r.sigma_edge_[j] = core_for(0.5 * (r.dr_[j - 1] + r.dr_[j]));
  }

  double integral = 0.0;
  for (std::size_t i = 0; i < n; ++i)
    integral += r.r_mid_[i] * (r.r_mid_[i] * r.chord_[i]) * r.dr_[i];
  r.feather_span_integral_ = integral;

  if (const ServoFlapActuation* sf = defn.servoflap()) r.feather_ = *sf;
  r.flap_ = defn.flap;
  r.cl_alpha_ = defn.airfoil.CL_alpha_per_rad;
  r.ctrl_ = ctrl;
  r.config_ = config;
  return r;
}

template <class P>
VpmRotor<P> VpmRotor<P>::with_physics(const WakePhysics& ph) const {
  const auto in = [](double v, double lo, double hi) { return v >= lo && v <= hi; };
  if (!in(ph.overlap, 0.0, 1e3)) throw ValueError("overlap must lie in [0, 1000]");
  if (!in(ph.near_core_chord, 0.0, 10.0)) throw ValueError("near_core_chord must lie in [0, 10]");
  if (!in(ph.near_core_width, 0.0, 10.0)) throw ValueError("near_core_width must lie in [0, 10]");
  if (ph.near_core_chord == 0.0 && ph.near_core_width == 0.0)
    throw ValueError("near_core_chord and near_core_width cannot both be 0");
  if (ph.near_steps > 1000) throw ValueError("near_steps must be at most 1000");
  if (!in(ph.squire_a1, 0.0, 1.0)) throw ValueError("squire_a1 must lie in [0, 1]");
  if (!in(ph.nu_m2_s, 0.0, 1.0)) throw ValueError("nu_m2_s must lie in [0, 1]");
  if (!in(ph.relaxation, 0.0, 1.0)) throw ValueError("relaxation must lie in [0, 1]");
  if (!in(ph.smagorinsky, 0.0, 1.0)) throw ValueError("smagorinsky must lie in [0, 1]");
  if (ph.max_split < 1 || ph.max_split > 4096) throw ValueError("max_split must lie in [1, 4096]");
  if (!in(ph.fast_rtol, 0.0, 0.5)) throw ValueError("fast_rtol must lie in [0, 0.5]");
  if (!in(ph.collocation, 0.0, 1.0)) throw ValueError("collocation must lie in [0, 1]");
  if (!in(ph.upstream_cut_radii, 0.0, 1e3)) throw ValueError("upstream_cut_radii must lie in [0, 1000]");
  if (!in(ph.stretching_age_rev, 0.0, 1e6)) throw ValueError("stretching_age_rev must lie in [0, 1e6]");
  if (!in(ph.stretching_max_length, 0.0, 1e6)) throw ValueError("stretching_max_length must lie in [0, 1e6]");
  VpmRotor out = *this;
  out.physics_ = ph;
  const std::size_t n = n_elements_;
  // The near wake's core follows the blade: a fraction of the local chord or
  // of the local element width, whichever is larger. An edge takes the mean
  // chord and width of its neighbours, like the particle cores.
  const auto core = [&](double c, double w) {
    return std::fmax(ph.near_core_chord * c, ph.near_core_width * w);
  };
  out.near_core_mid_.resize(n);
  out.near_core_edge_.resize(n + 1);
  for (std::size_t i = 0; i < n; ++i) out.near_core_mid_[i] = core(chord_[i], dr_[i]);
  for (std::size_t j = 0; j <= n; ++j) {
    const std::size_t lo = j == 0 ? 0 : j - 1;
    const std::size_t hi = j == n ? n - 1 : j;
    out.near_core_edge_[j] = core(0.5 * (chord_[lo] + chord_[hi]), 0.5 * (dr_[lo] + dr_[hi]));
  }
  return out;
}

template <class P>
std::pair<FlightCondition, Kinematics> VpmRotor<P>::flight_condition(
    const RotorInputs& inputs) const {
  if (r_edge_.empty()) panic("r_edge always has n+1 >= 2 edges");
  return vpm::flight_condition(inputs, r_edge_.back());
}

template <class P>
std::pair<AeroResult, VpmRotorState> VpmRotor<P>::step(const RotorInputs& inputs,
                                                       const VpmRotorState& state,
                                                       double dt) const {
  const auto [fc, kin] = flight_condition(inputs);
  auto [res, next] = march_window(*this, fc, &state, state.psi, dt);
  // The blade model has no in-plane hub force: only thrust, torque and the
  // hub moments reach the hub.
  AeroResult out = assemble_result(res.thrust, res.torque, res.mx_hub, res.my_hub, 0.0, 0.0,
                                   kin.hub_axis, inputs.R_hub);
  return {out, std::move(next)};
}

template class VpmRotor<LinearPolar>;
template class VpmRotor<TabulatedPolar>;

}  // namespace aerlox_rs::vpm
