#pragma once
// Pitt-Peters dynamic inflow: a uniform inflow state and a first-harmonic
// (cosine, sine) pair, linear in radius over the disk. Blade loads come from
// the blade-element force law at the state's inflow; the states lag their
// momentum-theory targets with apparent-mass time constants.
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "aero_model.hpp"
#include "bem_common.hpp"
#include "polar.hpp"
#include "section_polar.hpp"

namespace aerlox_rs {

/// Inflow ratios (induced velocity / tip speed), positive along +hub_axis.
/// lambda(x, psi) = lambda_0 + x (lambda_c cos psi + lambda_s sin psi).
struct PittPetersRotorState {
  double lambda_0 = 0.0;
  double lambda_c = 0.0;
  double lambda_s = 0.0;

  /// [lambda_0, lambda_c, lambda_s].
  std::vector<double> get_inflow() const { return {lambda_0, lambda_c, lambda_s}; }
  /// Reads x[0..2]; a shorter vector is an index failure.
  void set_inflow(std::span<const double> x) {
    lambda_0 = at(x, 0);
    lambda_c = at(x, 1);
    lambda_s = at(x, 2);
  }
  /// Throws ValueError unless arr has exactly 3 entries.
  static PittPetersRotorState from_array(std::span<const double> arr);
};

/// Pitt-Peters rotor model over polar P. Immutable; copies share the built data.
template <class P>
class PittPetersModel {
 public:
  using Polar = P;
  using State = PittPetersRotorState;

  /// As QuasiStaticBEM::build.
  static PittPetersModel build(const RotorDefinition& defn, P polar, std::size_t n_psi_elements,
                               const BemOptions& options = {});

  /// Every PittPetersRotorState holds the three inflow values this model needs.
  void check_state(const State&) const {}
  /// Loads and d/dt of the three states (1/s).
  std::pair<AeroResult, State> compute_forces(const RotorInputs& inputs, const State& state) const;
  /// The same evaluation as compute_forces, element by element, written into
  /// `out` (which must have this model's stations and elements).
  void spanwise_into(const RotorInputs& inputs, const State& state, const SpanwiseView& out) const;
  /// spanwise_into storage of its own.
  SpanwiseLoads spanwise(const RotorInputs& inputs, const State& state) const {
    return default_spanwise(*this, inputs, state);
  }
  /// [tau_0, tau_c, tau_s], s.
  std::vector<double> inflow_taus(const RotorInputs& inputs, const State& state) const;
  std::pair<AeroResult, State> step(const RotorInputs& inputs, const State& state, double dt,
                                    IntegrationMethod method) const {
    return default_step(*this, inputs, state, dt, method);
  }
  State initial_state() const { return {}; }

  const RotorDefinition& defn() const { return d_->defn; }
  std::size_t n_psi_elements() const { return d_->n_psi_elements; }
  const RadialGrid& grid() const { return d_->grid; }
  const P& polar() const { return d_->polar; }

 private:
  template <class Sink>
  std::pair<AeroResult, State> evaluate(const RotorInputs& inputs, const State& state,
                                        Sink&& sink) const;
  explicit PittPetersModel(std::shared_ptr<const BemModelData<P>> d) : d_(std::move(d)) {}
  std::shared_ptr<const BemModelData<P>> d_;
};

extern template class PittPetersModel<LinearPolar>;
extern template class PittPetersModel<TabulatedPolar>;
extern template class PittPetersModel<SectionPolar>;

}  // namespace aerlox_rs
