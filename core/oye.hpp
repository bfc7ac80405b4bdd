#pragma once
// Oye dynamic-inflow BEM: every radial element carries its own induced
// inflow, filtered in two stages. An intermediate inflow W_int follows the
// quasi-steady momentum inflow with time constant tau1, and the effective
// inflow W follows W_int with a radius-dependent tau2 (Oye's filter, as used
// in wind-turbine aeroelastic codes).
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "aero_model.hpp"
#include "bem_common.hpp"
#include "polar.hpp"
#include "section_polar.hpp"

namespace aerlox_rs {

/// Per-element inflow ratios (induced velocity / tip speed, positive along
/// +hub_axis). The first n_elements entries of each array are the active ones.
struct OyeRotorState {
  std::vector<double> W_int;  ///< intermediate (first-stage) inflow
  std::vector<double> W;      ///< effective inflow used for the loads
  std::size_t n_elements = 0;

  static OyeRotorState zeros(std::size_t n);
  /// Throws ValueError "W_int and W must have equal length" otherwise.
  static OyeRotorState from_vectors(std::vector<double> w_int, std::vector<double> w);
  /// [W_int..., W...]; an odd length throws ValueError.
  static OyeRotorState from_array(std::span<const double> arr);

  /// Active entries (never more than the arrays hold).
  std::span<const double> w_int_slice() const;
  std::span<const double> w_slice() const;

  /// W_int[0..n-1] followed by W[0..n-1].
  std::vector<double> get_inflow() const;
  /// Copies x[0..n-1] into W_int and x[n..2n-1] into W; a shorter x is an
  /// index failure.
  void set_inflow(std::span<const double> x);
};

/// Quasi-steady inflow per element from the annulus momentum balance
/// dT = 4 pi rho r dr F V_mf v, in ratios. dt_avg: azimuth-mean element
/// thrust (N); x_arr: r/R; f_loss: loss factors; mu_t = V_mf / tip speed.
std::vector<double> solve_w_qs(std::span<const double> dt_avg, std::span<const double> x_arr,
                               std::span<const double> f_loss, std::size_t n_active, double dr,
                               double r_tip, double omega_r, double mu_t, double rho);

/// Filter time constants: (tau1, tau2 per element), s.
std::pair<double, std::vector<double>> oye_taus(double r_tip, std::span<const double> x_arr,
                                                double v_inf, double a_avg, std::size_t n_active);

/// Fills the derivative arrays of the two filter stages.
void oye_filter_step(std::span<double> d_w_int, std::span<double> d_w,
                     std::span<const double> w_qs, std::span<const double> w_int,
                     std::span<const double> w, std::span<const double> tau2_arr,
                     double tau1_scalar, std::size_t n_active);

/// Oye rotor model over polar P. Immutable; copies share the built data.
template <class P>
class OyeBEMModel {
 public:
  using Polar = P;
  using State = OyeRotorState;

  /// As QuasiStaticBEM::build; coupling_k is stored and reported unchanged.
  static OyeBEMModel build_with_k(const RotorDefinition& defn, P polar, std::size_t n_psi_elements,
                                  double coupling_k, const BemOptions& options = {});

  /// Throws ValueError unless the state carries W_int and W for exactly this
  /// model's elements (2 n_elements inflow values). Every method taking a
  /// state checks it first.
  void check_state(const State& state) const;
  /// Loads and the derivative state (dW_int/dt, dW/dt in 1/s).
  std::pair<AeroResult, State> compute_forces(const RotorInputs& inputs, const State& state) const;
  /// The same evaluation as compute_forces, element by element, written into
  /// `out` (which must have this model's stations and elements).
  void spanwise_into(const RotorInputs& inputs, const State& state, const SpanwiseView& out) const;
  /// spanwise_into storage of its own.
  SpanwiseLoads spanwise(const RotorInputs& inputs, const State& state) const {
    return default_spanwise(*this, inputs, state);
  }
  /// tau1 repeated n times, then tau2 per element; all +inf when not spinning.
  std::vector<double> inflow_taus(const RotorInputs& inputs, const State& state) const;
  std::pair<AeroResult, State> step(const RotorInputs& inputs, const State& state, double dt,
                                    IntegrationMethod method) const {
    return default_step(*this, inputs, state, dt, method);
  }
  /// Zero inflow on every element of the blade.
  State initial_state() const { return OyeRotorState::zeros(d_->defn.blade.n_elements); }

  const RotorDefinition& defn() const { return d_->defn; }
  std::size_t n_psi_elements() const { return d_->n_psi_elements; }
  double coupling_k() const { return coupling_k_; }
  const RadialGrid& grid() const { return d_->grid; }
  const P& polar() const { return d_->polar; }

 private:
  template <class Sink>
  std::pair<AeroResult, State> evaluate(const RotorInputs& inputs, const State& state,
                                        Sink&& sink) const;
  OyeBEMModel(std::shared_ptr<const BemModelData<P>> d, double k)
      : d_(std::move(d)), coupling_k_(k) {}
  std::shared_ptr<const BemModelData<P>> d_;
  double coupling_k_ = 0.0;
};

extern template class OyeBEMModel<LinearPolar>;
extern template class OyeBEMModel<TabulatedPolar>;
extern template class OyeBEMModel<SectionPolar>;

}  // namespace aerlox_rs
