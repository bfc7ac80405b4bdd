#pragma once
// The interface every rotor model shares: compute_forces, inflow_taus, step,
// initial_state. Each state exposes its inflow degrees of freedom as one flat
// vector (get_inflow / set_inflow), so one stepping routine serves all models.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "aero_io.hpp"
#include "panic.hpp"

namespace aerlox_rs {

enum class IntegrationMethod { ExplicitEuler, SemiImplicitEuler, ExponentialRelaxation };

/// Maps a method name (ASCII case-insensitive) to the method; absent means
/// semi-implicit. Throws ValueError naming the lower-cased input otherwise.
IntegrationMethod parse_integration_method(std::optional<std::string_view> name);

/// The quasi-static model's state: no inflow degrees of freedom.
struct QuasiStaticRotorState {
  std::vector<double> get_inflow() const { return {}; }
  void set_inflow(std::span<const double>) {}
  /// Throws ValueError unless arr is empty.
  static QuasiStaticRotorState from_array(std::span<const double> arr);
};

/// One update of an inflow vector entry x with derivative xdot and time
/// constant tau over dt.
inline double integrate_entry(double x, double xdot, double tau, double dt,
                              IntegrationMethod method) {
  switch (method) {
    case IntegrationMethod::ExplicitEuler:
      break;
    case IntegrationMethod::SemiImplicitEuler:
      // Backward Euler of a first-order lag towards a frozen target: never
      // overshoots, whatever dt.
      if (std::isfinite(tau)) return x + dt * xdot / (1.0 + dt / tau);
      break;
    case IntegrationMethod::ExponentialRelaxation:
      // Exact relaxation of the lag; expm1 keeps small dt/tau accurate.
      if (std::isfinite(tau) && std::fabs(tau) > std::numeric_limits<double>::epsilon())
        return x + tau * -std::expm1(-dt / tau) * xdot;
      break;
  }
  return x + dt * xdot;
}

/// The stepping every model uses: loads and derivative at the given state,
/// then one update of the flat inflow vector. The loads returned are those of
/// the state at the start of the step; the state argument is not changed.
template <class Model, class State>
std::pair<AeroResult, State> default_step(const Model& model, const RotorInputs& inputs,
                                          const State& state, double dt,
                                          IntegrationMethod method) {
  auto [result, derivative] = model.compute_forces(inputs, state);
  const std::vector<double> taus = model.inflow_taus(inputs, state);
  std::vector<double> x = state.get_inflow();
  const std::vector<double> xdot = derivative.get_inflow();
  const std::size_t m = std::min({x.size(), xdot.size(), taus.size()});
  for (std::size_t i = 0; i < m; ++i) x[i] = integrate_entry(x[i], xdot[i], taus[i], dt, method);
  State next = state;
  next.set_inflow(x);
  return {result, std::move(next)};
}

}  // namespace aerlox_rs
