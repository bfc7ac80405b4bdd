#pragma once
// The inflow states' equilibrium at fixed inputs, found by relaxation.
//
// A semi-implicit step with dt equal to a fraction of the slowest time
// constant moves each state part of the way to its current target: quick, and
// damped enough for the inflow's feedback on the loads (a step of a full time
// constant already oscillates in some hover cases). Relaxation runs in chunks
// of a few steps; a chunk whose distance to the target grew halves the
// fraction. It stops when every state is within the tolerance of its target.
// One call does what a caller would otherwise loop over, so a thread pool of
// such calls spends its time here rather than in the caller's loop.
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "aero_io.hpp"
#include "trim.hpp"

namespace aerlox_rs {

struct EquilibriumOptions {
  double tolerance = 1e-10;        ///< largest |target - state| accepted
  std::size_t chunk_steps = 5;     ///< relaxation steps between two checks
  std::size_t max_chunks = 2000;
  double dt_fraction = 0.5;        ///< of the slowest finite, positive time constant
  double dt_without_tau = 0.005;   ///< s, when no time constant is finite and positive
};

/// Largest |target - x| of the inflow states: derivative times time constant,
/// or the derivative itself where the time constant is not finite. NaN when
/// any entry is NaN; 0 for a model without inflow states.
template <class Model>
double distance_to_target(const Model& model, const RotorInputs& inputs, const typename Model::State& state) {
  const std::vector<double> d = model.compute_forces(inputs, state).second.get_inflow();
  if (d.empty()) return 0.0;
  const std::vector<double> taus = model.inflow_taus(inputs, state);
  const std::size_t n = std::min(d.size(), taus.size());
  if (n == 0) return 0.0;
  double gap = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    const double g = std::isfinite(taus[i]) ? std::fabs(d[i] * taus[i]) : std::fabs(d[i]);
    if (std::isnan(g)) return g;
    gap = std::max(gap, g);
  }
  return gap;
}

/// The state relaxed to equilibrium from `state`, and whether it got there
/// (false when the distance stopped being finite or the chunks ran out).
template <class Model>
std::pair<typename Model::State, bool> relax_to_equilibrium(const Model& model, typename Model::State state,
                                                            const RotorInputs& inputs,
                                                            const EquilibriumOptions& opt) {
  model.check_state(state);
  double fraction = opt.dt_fraction;
  double previous = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < opt.max_chunks; ++k) {
    double slowest = -std::numeric_limits<double>::infinity();
    bool any = false;
    for (const double tau : model.inflow_taus(inputs, state)) {
      if (std::isfinite(tau) && tau > 0.0) {
        slowest = any ? std::max(slowest, tau) : tau;
        any = true;
      }
    }
    const double dt = any ? fraction * slowest : opt.dt_without_tau;
    state = relax_inflow(model, std::move(state), inputs, opt.chunk_steps, dt);
    const double gap = distance_to_target(model, inputs, state);
    if (gap < opt.tolerance) return {std::move(state), true};
    if (!std::isfinite(gap)) return {std::move(state), false};
    if (gap > previous) fraction *= 0.5;
    previous = gap;
  }
  return {std::move(state), false};
}

}  // namespace aerlox_rs
