#include "oye.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "cpu_state.hpp"
#include "quasi_static_bem.hpp"

namespace aerlox_rs {

OyeRotorState OyeRotorState::zeros(std::size_t n) {
  return {std::vector<double>(n, 0.0), std::vector<double>(n, 0.0), n};
}

OyeRotorState OyeRotorState::from_vectors(std::vector<double> w_int, std::vector<double> w) {
  if (w_int.size() != w.size()) throw ValueError("W_int and W must have equal length");
  const std::size_t n = w.size();
  return {std::move(w_int), std::move(w), n};
}

OyeRotorState OyeRotorState::from_array(std::span<const double> arr) {
  if (arr.size() % 2 != 0)
    throw ValueError("OyeRotorState array length " + std::to_string(arr.size()) +
                     " invalid; expected 2*n_elements");
  const std::size_t n = arr.size() / 2;
  return {std::vector<double>(arr.begin(), arr.begin() + static_cast<std::ptrdiff_t>(n)),
          std::vector<double>(arr.begin() + static_cast<std::ptrdiff_t>(n), arr.end()), n};
}

std::span<const double> OyeRotorState::w_int_slice() const {
  return {W_int.data(), std::min(n_elements, W_int.size())};
}

std::span<const double> OyeRotorState::w_slice() const {
  return {W.data(), std::min(n_elements, W.size())};
}

std::vector<double> OyeRotorState::get_inflow() const {
  std::vector<double> x(2 * n_elements);
  for (std::size_t i = 0; i < n_elements; ++i) {
    x[i] = at(W_int, i);
    x[n_elements + i] = at(W, i);
  }
  return x;
}

void OyeRotorState::set_inflow(std::span<const double> x) {
  const std::size_t n = n_elements;
  for (std::size_t i = 0; i < n; ++i) {
    at(W_int, i) = at(x, i);
    at(W, i) = at(x, n + i);
  }
}

std::vector<double> solve_w_qs(std::span<const double> dt_avg, std::span<const double> x_arr,
                               std::span<const double> f_loss, std::size_t n_active, double dr,
                               double r_tip, double omega_r, double mu_t, double rho) {
  std::vector<double> w_qs(n_active, 0.0);
  if (omega_r < 1e-6) return w_qs;
  const double d =
      std::fmax(rho * PI * (r_tip * r_tip) * (omega_r * omega_r) * dr / r_tip, 1e-30);
  const double mu_floor = std::fmax(mu_t, 0.05);
  for (std::size_t i = 0; i < n_active; ++i) {
    const double denom =
        4.0 * std::fmax(at(x_arr, i), 1e-6) * std::fmax(at(f_loss, i), 1e-4) * mu_floor;
    w_qs[i] = clamp_nan(at(dt_avg, i) / d / denom, -1.0, 1.0);
  }
  return w_qs;
}

std::pair<double, std::vector<double>> oye_taus(double r_tip, std::span<const double> x_arr,
                                                double v_inf, double a_avg, std::size_t n_active) {
  const double a_c = std::fmin(std::fmax(a_avg, 0.0), 0.5);
  const double tau1 = 1.1 / (1.0 - 1.3 * a_c) * r_tip / std::fmax(v_inf, 0.01);
  std::vector<double> tau2(n_active);
  for (std::size_t i = 0; i < n_active; ++i) {
    const double x = at(x_arr, i);
    // The inner wake is slower to follow than the tip.
    tau2[i] = tau1 * (0.39 - 0.26 * (x * x));
  }
  return {tau1, std::move(tau2)};
}

void oye_filter_step(std::span<double> d_w_int, std::span<double> d_w,
                     std::span<const double> w_qs, std::span<const double> w_int,
                     std::span<const double> w, std::span<const double> tau2_arr,
                     double tau1_scalar, std::size_t n_active) {
  for (std::size_t i = 0; i < n_active; ++i) {
    const double wi = at(w_int, i);
    at(d_w_int, i) = (at(w_qs, i) - wi) / tau1_scalar;
    at(d_w, i) = (wi - at(w, i)) / at(tau2_arr, i);
  }
}

namespace {

/// Loads from the blade-element force law at the element's own inflow, and
/// the azimuth-mean thrust of each element for the momentum balance.
template <class P>
struct OyeKernel {
  std::span<const double> w;
  std::span<double> dt_avg;
  double lambda_climb = 0.0;

  template <class D = NoDetail>
  std::pair<double, double> element(const SweepCtx<P>& ctx, const ElementCtx& e,
                                    D* det = nullptr) {
    const double lambda = lambda_climb + at(w, e.i);
    const double u_p = ctx.omega_r * lambda;
    if constexpr (std::is_same_v<D, ElementDetail>) det->inflow_ratio = lambda;
    const auto [d_t, d_q] = element_force(ctx, e, u_p, e.u_t, det);
    at(dt_avg, e.i) += d_t * ctx.n_psi_inv;
    return {d_t, d_q};
  }
};

/// Mean induced velocity omega_r * mean(W), m/s (0 without elements).
double mean_induced_velocity(std::span<const double> w, std::size_t n, double omega_r) {
  if (n == 0) return 0.0;
  double sum = 0.0;
  for (double v : w) sum += v;
  return omega_r * sum / static_cast<double>(n);
}

}  // namespace

template <class P>
OyeBEMModel<P> OyeBEMModel<P>::build_with_k(const RotorDefinition& defn, P polar,
                                            std::size_t n_psi_elements, double coupling_k,
                                            const BemOptions& options) {
  return OyeBEMModel(BemModelData<P>::make(defn, std::move(polar), n_psi_elements, options),
                     coupling_k);
}

template <class P>
void OyeBEMModel<P>::check_state(const State& state) const {
  const std::size_t n = d_->grid.n_elements;
  if (state.n_elements == n && state.W_int.size() >= n && state.W.size() >= n) return;
  throw ValueError("OyeRotorState holds " + std::to_string(2 * state.n_elements) +
                   " inflow values; this model needs " + std::to_string(2 * n) +
                   " (W_int and W for each of its " + std::to_string(n) + " elements)");
}

template <class P>
std::pair<AeroResult, OyeRotorState> OyeBEMModel<P>::compute_forces(const RotorInputs& inputs,
                                                                    const State& state) const {
  check_state(state);
  return evaluate(inputs, state, NoSink{});
}

template <class P>
void OyeBEMModel<P>::spanwise_into(const RotorInputs& inputs, const State& state,
                                   const SpanwiseView& out) const {
  check_state(state);
  out.prepare(d_->grid, d_->n_psi_elements);
  evaluate(inputs, state, SpanwiseSink{out});
}

template <class P>
template <class Sink>
std::pair<AeroResult, OyeRotorState> OyeBEMModel<P>::evaluate(const RotorInputs& inputs,
                                                              const State& state,
                                                              Sink&& sink) const {
  clear_upper_vector_state();
  const BemModelData<P>& d = *d_;
  const BladeGeometry& blade = d.defn.blade;
  const RadialGrid& grid = d.grid;
  const std::size_t n = grid.n_elements;
  const double omega = inputs.omega_rad_s;
  const double R = blade.radius_m;
  const double rho = inputs.rho_kg_m3;
  const Kinematics kin = kinematics(inputs, omega, R);
  const PitchSchedule pitch = pitch_schedule(d.defn, inputs, kin);
  const double omega_r = kin.omega_r;
  const bool spinning = omega_r > 1e-6;
  const double lambda_climb = spinning ? kin.v_climb / omega_r : 0.0;
  const std::span<const double> w = state.w_slice();
  const std::span<const double> w_int = state.w_int_slice();
  const std::span<const double> x_arr(grid.x_mid.data(), std::min(n, MAX_BEM_ELEMENTS));

  std::vector<double> dt_avg(n, 0.0);
  const auto ctx = SweepCtx<P>::for_call(d, inputs, kin, pitch);
  OyeKernel<P> kernel{w, dt_avg, lambda_climb};
  const SweepSums sums = ctx.run(kernel, sink);

  const double v_i = mean_induced_velocity(w, n, omega_r);
  const VrsRegime vrs = vrs_regime(sums.t_total, kin.v_climb, rho, PI * (R * R));

  // Prandtl tip and hub losses at each element's own inflow angle.
  std::vector<double> f_loss(n, 1.0);
  if (blade.tip_loss && spinning) {
    const double nb = static_cast<double>(blade.n_blades);
    for (std::size_t i = 0; i < n; ++i) {
      const double phi = std::atan2(omega_r * (lambda_climb + at(w, i)), omega * at(grid.r_mid, i));
      const double s = std::fabs(std::sin(phi));
      const double x = at(grid.x_mid, i);
      const double tip = prandtl_tip_loss_from_sin_abs(s, x, nb);
      const double hub = prandtl_hub_loss_from_sin_abs(s, x, grid.x_hub, nb);
      f_loss[i] = std::fmax(tip * hub, 1e-4);
    }
  }

  const double v_mf = v_mass_flow_disk(kin.v_edge, kin.v_climb, v_i, omega_r);
  const double a_avg = v_mf > 0.001 ? v_i / v_mf : 0.0;

  std::vector<double> w_qs;
  if (vrs.in_vrs && spinning) {
    // Momentum theory fails in the vortex-ring state: take the empirical
    // uniform inflow for every element.
    AERLOX_ASSERT(n <= MAX_BEM_ELEMENTS);
    w_qs.assign(n, vrs_lambda1(vrs.lam2) * vrs.v_h / omega_r);
  } else {
    const double mu_t = v_mf / std::fmax(omega_r, 1e-6);
    w_qs = solve_w_qs(dt_avg, x_arr, f_loss, n, grid.dr, R, omega_r, mu_t, rho);
  }

  const auto [tau1, tau2] = oye_taus(R, x_arr, v_mf, a_avg, n);
  OyeRotorState deriv{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0), n};
  oye_filter_step(deriv.W_int, deriv.W, w_qs, w_int, w, tau2, tau1, n);

  return {finish_loads(sums, d.defn, grid, inputs, kin), std::move(deriv)};
}

template <class P>
std::vector<double> OyeBEMModel<P>::inflow_taus(const RotorInputs& inputs,
                                                const State& state) const {
  check_state(state);
  const RadialGrid& grid = d_->grid;
  const std::size_t n = grid.n_elements;
  const double R = d_->defn.blade.radius_m;
  const double omega = inputs.omega_rad_s;
  // No spin, no finite time constant: steppers fall back to explicit updates.
  if (omega * R < 1e-6) return std::vector<double>(2 * n, std::numeric_limits<double>::infinity());
  const Kinematics kin = kinematics(inputs, omega, R);
  const std::span<const double> x_arr(grid.x_mid.data(), std::min(n, MAX_BEM_ELEMENTS));
  const double v_i = mean_induced_velocity(state.w_slice(), n, kin.omega_r);
  const double v_mf = v_mass_flow_disk(kin.v_edge, kin.v_climb, v_i, kin.omega_r);
  const double a_avg = v_mf > 0.001 ? v_i / v_mf : 0.0;
  const auto [tau1, tau2] = oye_taus(R, x_arr, v_mf, a_avg, n);
  std::vector<double> taus(n, tau1);
  taus.insert(taus.end(), tau2.begin(), tau2.end());
  return taus;
}

template class OyeBEMModel<LinearPolar>;
template class OyeBEMModel<TabulatedPolar>;
template class OyeBEMModel<SectionPolar>;

}  // namespace aerlox_rs
