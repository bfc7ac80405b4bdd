#pragma once
// Inflow relaxation and cyclic trim, generic over the blade-element models.
//
// relax_inflow marches a model's inflow state in pseudo-time with a fixed
// semi-implicit step so that dynamic inflow settles at an operating point.
// solve_trim_cyclic finds the swashplate tilts that bring the hub moment (in
// hub axes) to a target: a damped, decoupled Newton iteration with
// finite-difference probes, relaxing the inflow after each tilt update.
// Both poll for cancellation between steps and passes (cancel.hpp).
#include <cmath>
#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "aero_io.hpp"
#include "aero_model.hpp"
#include "cancel.hpp"
#include "panic.hpp"

namespace aerlox_rs {

/// Result of a trim: tilts (rad), residual hub moments (N m, hub axes),
/// loop passes entered, convergence, and the model state at the end.
template <class State>
struct TrimOutcome {
  double tilt_lon = 0.0;
  double tilt_lat = 0.0;
  double Mx_residual = 0.0;
  double My_residual = 0.0;
  std::size_t iterations = 0;
  bool converged = false;
  State final_state{};
};

/// Trim settings; the defaults are those of the Python entry point.
struct TrimOptions {
  double target_mx = 0.0;              ///< N m, hub axes
  double target_my = 0.0;              ///< N m, hub axes
  double tilt_lon_init = 0.0;          ///< rad
  double tilt_lat_init = 0.0;          ///< rad
  double tilt_min = -0.2617993877991494;  ///< -15 deg
  double tilt_max = 0.2617993877991494;   ///< +15 deg
  double tolerance_Nm = 0.02;
  std::size_t max_iterations = 50;
  double probe_rad = 0.008726646259971648;  ///< 0.5 deg
  double dt_relax = 0.005;                  ///< s
  std::size_t n_inflow_relax = 100;
  std::size_t n_settle = 0;
};

/// x clamped to [lo, hi]; panics "min > max, or either was NaN. min = {},
/// max = {}" when the bounds are unusable (checked before x is looked at).
double clamp_checked(double x, double lo, double hi);

/// One semi-implicit step of every inflow entry: x + dt xdot g with
/// g = 1/(1 + dt/tau) for finite tau, else 1. derivative and taus must have
/// at least as many entries as the state's inflow vector (index failure).
template <class State>
State semi_implicit_step(const State& state, const State& derivative,
                         std::span<const double> taus, double dt) {
  std::vector<double> x = state.get_inflow();
  const std::vector<double> xdot = derivative.get_inflow();
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double tau = at(taus, i);
    const double g = std::isfinite(tau) ? 1.0 / (1.0 + dt / tau) : 1.0;
    x[i] = x[i] + dt * at(xdot, i) * g;
  }
  State next = state;
  next.set_inflow(x);
  return next;
}

/// n_steps semi-implicit steps of length dt at fixed inputs; loads discarded.
/// A state without inflow degrees of freedom comes back unchanged. A state
/// that does not fit the model throws ValueError, even for n_steps = 0.
template <class Model>
typename Model::State relax_inflow(const Model& model, typename Model::State state,
                                   const RotorInputs& inputs, std::size_t n_steps, double dt) {
  model.check_state(state);
  if constexpr (std::is_same_v<typename Model::State, QuasiStaticRotorState>) {
    return state;
  } else {
    for (std::size_t k = 0; k < n_steps; ++k) {
      // Every fourth step: a step of the smallest models takes under a
      // microsecond, and the check stays well below 1 % of it.
      if (k % 4 == 0) poll_cancel();
      const auto derivative = model.compute_forces(inputs, state).second;
      const std::vector<double> taus = model.inflow_taus(inputs, state);
      state = semi_implicit_step(state, derivative, taus, dt);
    }
    return state;
  }
}

/// Hub moment (Mx, My) in hub axes, N m.
template <class Model>
std::pair<double, double> eval_moment(const Model& model, const typename Model::State& state,
                                      const RotorInputs& inputs) {
  const AeroResult r = model.compute_forces(inputs, state).first;
  const Vec3 m = inputs.R_hub.transpose() * r.M_hub_world;
  return {m.x(), m.y()};
}

/// Tilts that bring the hub moment to (opt.target_mx, opt.target_my). The
/// longitudinal tilt nulls My and the lateral tilt Mx; cross derivatives are
/// not formed and each Newton correction is halved.
template <class Model>
TrimOutcome<typename Model::State> solve_trim_cyclic(const Model& model,
                                                     typename Model::State state,
                                                     const RotorInputs& base_inputs,
                                                     const TrimOptions& opt) {
  const double lo = opt.tilt_min, hi = opt.tilt_max;
  double tilt_lon = clamp_checked(opt.tilt_lon_init, lo, hi);
  double tilt_lat = clamp_checked(opt.tilt_lat_init, lo, hi);
  // Unusable bounds are reported first; then a state that does not fit.
  model.check_state(state);
  auto inputs_at = [&](double lon, double lat) {
    RotorInputs in = base_inputs;
    in.tilt_lon = lon;
    in.tilt_lat = lat;
    return in;
  };
  const double dt = opt.dt_relax;
  if (opt.n_settle > 0) state = relax_inflow(model, state, inputs_at(tilt_lon, tilt_lat), opt.n_settle, dt);
  state = relax_inflow(model, state, inputs_at(tilt_lon, tilt_lat), opt.n_inflow_relax, dt);

  auto residual = [&](double lon, double lat) {
    const auto [mx, my] = eval_moment(model, state, inputs_at(lon, lat));
    return std::pair{mx - opt.target_mx, my - opt.target_my};
  };
  auto within = [&](double rx, double ry) {
    return std::fabs(rx) < opt.tolerance_Nm && std::fabs(ry) < opt.tolerance_Nm;
  };
  auto [rx, ry] = residual(tilt_lon, tilt_lat);
  bool converged = within(rx, ry);

  std::size_t iterations = 0;
  for (std::size_t it = 1; it <= opt.max_iterations; ++it) {
    iterations = it;
    if (converged) break;
    poll_cancel();
    // Both probes start from this pass's tilt; the inflow is held.
    const double my_p = eval_moment(model, state, inputs_at(tilt_lon + opt.probe_rad, tilt_lat)).second;
    const double j_lon = (my_p - opt.target_my - ry) / opt.probe_rad;
    const double mx_p = eval_moment(model, state, inputs_at(tilt_lon, tilt_lat + opt.probe_rad)).first;
    const double j_lat = (mx_p - opt.target_mx - rx) / opt.probe_rad;
    if (std::fabs(j_lon) > 1e-6) tilt_lon = clamp_checked(tilt_lon - 0.5 * ry / j_lon, lo, hi);
    if (std::fabs(j_lat) > 1e-6) tilt_lat = clamp_checked(tilt_lat - 0.5 * rx / j_lat, lo, hi);
    state = relax_inflow(model, state, inputs_at(tilt_lon, tilt_lat), opt.n_inflow_relax, dt);
    std::tie(rx, ry) = residual(tilt_lon, tilt_lat);
    converged = within(rx, ry);
  }
  return {tilt_lon, tilt_lat, rx, ry, iterations, converged, std::move(state)};
}

}  // namespace aerlox_rs
