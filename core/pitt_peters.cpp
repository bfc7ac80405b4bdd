#include "pitt_peters.hpp"

#include <cmath>
#include <string>

#include "cpu_state.hpp"

namespace aerlox_rs {

PittPetersRotorState PittPetersRotorState::from_array(std::span<const double> arr) {
  if (arr.size() != 3)
    throw ValueError("PittPetersRotorState expects 3 states, got " + std::to_string(arr.size()));
  return {arr[0], arr[1], arr[2]};
}

namespace {

/// The share of an element's lift inside the effective radius: 1 inboard,
/// 0 outboard, the covered fraction of an element the edge cuts.
struct EffectiveRadiusLoss {
  double share = 1.0;
  double operator()(double /*sin_phi*/) const { return share; }
};

/// Loads from the blade-element force law at the state's inflow; without
/// tip loss as first built, or (TipLoss) with no lift beyond r_eff.
template <class P, bool TipLoss = false>
struct PpKernel {
  const RadialGrid* grid = nullptr;
  double lambda_total = 0.0;  ///< lambda_climb + lambda_0
  double lam_c = 0.0;
  double lam_s = 0.0;
  double r_eff = 0.0;  ///< effective radius B R, m (TipLoss only)

  template <class D = NoDetail>
  std::pair<double, double> element(const SweepCtx<P>& ctx, const ElementCtx& e,
                                    D* det = nullptr) const {
    const double x = grid->x_mid[e.i];
    const double lambda = lambda_total + x * (lam_c * e.cos_psi + lam_s * e.sin_psi);
    const double u_p = ctx.omega_r * lambda;
    if constexpr (std::is_same_v<D, ElementDetail>) det->inflow_ratio = lambda;
    if constexpr (TipLoss) {
      const EffectiveRadiusLoss loss{clamp_nan((r_eff - (e.r - 0.5 * e.dr)) / e.dr, 0.0, 1.0)};
      return element_force(ctx, e, u_p, e.u_t, det, loss);
    } else {
      return element_force(ctx, e, u_p, e.u_t, det);
    }
  }
};

// 8/(3 pi) and 16/(45 pi) apparent-mass time constants, written with the
// denominators as constants.
constexpr double THREE_PI = 9.42477796076938;
constexpr double FORTY_FIVE_PI = 141.3716694115407;
constexpr double FIFTEEN_PI_OVER_64 = 0.7363107781851077;

}  // namespace

template <class P>
PittPetersModel<P> PittPetersModel<P>::build(const RotorDefinition& defn, P polar,
                                             std::size_t n_psi_elements, const BemOptions& options) {
  return PittPetersModel(BemModelData<P>::make(defn, std::move(polar), n_psi_elements, options));
}

template <class P>
std::pair<AeroResult, PittPetersRotorState> PittPetersModel<P>::compute_forces(
    const RotorInputs& inputs, const State& state) const {
  return evaluate(inputs, state, NoSink{});
}

template <class P>
void PittPetersModel<P>::spanwise_into(const RotorInputs& inputs, const State& state,
                                       const SpanwiseView& out) const {
  out.prepare(d_->grid, d_->n_psi_elements);
  evaluate(inputs, state, SpanwiseSink{out});
}

template <class P>
template <class Sink>
std::pair<AeroResult, PittPetersRotorState> PittPetersModel<P>::evaluate(
    const RotorInputs& inputs, const State& state, Sink&& sink) const {
  clear_upper_vector_state();
  const BemModelData<P>& d = *d_;
  const BladeGeometry& blade = d.defn.blade;
  const double omega = inputs.omega_rad_s;
  const double R = blade.radius_m;
  const double rho = inputs.rho_kg_m3;
  const Kinematics kin = kinematics(inputs, omega, R);
  const PitchSchedule pitch = pitch_schedule(d.defn, inputs, kin);
  const double omega_r = kin.omega_r;
  const bool spinning = omega_r > 1e-6;
  const double lambda_climb = spinning ? kin.v_climb / omega_r : 0.0;

  const auto ctx = SweepCtx<P>::for_call(d, inputs, kin, pitch);
  const double v_mf = v_mass_flow_disk(kin.v_edge, kin.v_climb, state.lambda_0 * omega_r, omega_r);
  // Tip loss (opt-in): Johnson's effective radius B = 1 - sqrt(2 CT) / N_b.
  // The blade lifts inside B R only and the momentum acts on the disk of that
  // radius, CT = 2 B^2 lambda_0 lambda_mf, which with B's own law gives
  // B = 1 / (1 + 2 sqrt(lambda_0 lambda_mf) / N_b) from the state.
  const bool tip_loss = d.options.pitt_peters_tip_loss && spinning;
  double b_eff = 1.0;
  if (tip_loss) {
    const double lm = std::fmax(state.lambda_0, 0.0) * (v_mf / omega_r);
    b_eff = 1.0 / (1.0 + 2.0 * std::sqrt(lm) / static_cast<double>(blade.n_blades));
  }
  SweepSums sums;
  if (tip_loss) {
    PpKernel<P, true> kernel{&d.grid, lambda_climb + state.lambda_0, state.lambda_c, state.lambda_s, b_eff * R};
    sums = ctx.run(kernel, sink);
  } else {
    PpKernel<P> kernel{&d.grid, lambda_climb + state.lambda_0, state.lambda_c, state.lambda_s};
    sums = ctx.run(kernel, sink);
  }
  const double t = sums.t_total;
  const double a_c = sums.my_hub;
  const double a_s = sums.mx_hub;

  // Disk quantities.
  const double r2 = R * R;
  const VrsRegime vrs = vrs_regime(t, kin.v_climb, rho, PI * r2);
  const double lambda_mf1 = std::fmax(v_mf / omega_r, 0.05);
  const double lambda_mf2 = spinning ? lambda_mf1 : 0.05;
  const double chi = std::atan2(kin.mu, std::fabs(lambda_climb + state.lambda_0) + 1e-6);
  const double psi_w =
      kin.v_edge > 1e-9 ? std::atan2(kin.v_inplane_hub.y(), -kin.v_inplane_hub.x()) : 0.0;
  const auto [sin_w, cos_w] = sin_cos(psi_w);
  // Moment coefficients: hub moments over rho pi R^2 (Omega R)^2 R. (Dividing
  // by the mass-flow velocity here as well would count it twice, since the
  // targets below divide by lambda_mf; in hover that makes the harmonic
  // inflow feed back on itself and run away.)
  const double norm = rho * PI * r2 * (omega_r * omega_r) * R;
  double m_c = 0.0, m_s = 0.0;
  if (norm > 1e-9) {
    m_c = a_c / norm;
    m_s = a_s / norm;
  }
  const double c_along = cos_w * m_c + sin_w * m_s;
  const double c_across = cos_w * m_s - sin_w * m_c;
  const double c_t = spinning ? t / (rho * PI * r2 * (omega_r * omega_r)) : 0.0;
  const double e = FIFTEEN_PI_OVER_64 * std::tan(chi / 2.0);

  // Quasi-steady targets.
  double lambda_0_target = 0.0;
  if (vrs.in_vrs && spinning) {
    lambda_0_target = vrs_lambda1(vrs.lam2) * vrs.v_h / omega_r;
  } else if (spinning) {
    lambda_0_target = tip_loss ? t / (2.0 * rho * PI * (r2 * (b_eff * b_eff)) * v_mf * omega_r) + e * c_along / lambda_mf1
                               : t / (2.0 * rho * PI * r2 * v_mf * omega_r) + e * c_along / lambda_mf1;
  }
  const double cos_chi = std::cos(chi);
  const double lambda_a_target =
      (4.0 * cos_chi / (1.0 + cos_chi) * c_along - e * c_t) / lambda_mf2;
  const double lambda_x_target = (4.0 / (1.0 + cos_chi) * c_across) / lambda_mf2;

  const double tau_0 = 8.0 * R / (THREE_PI * v_mf);
  const double tau_c = 16.0 * R / (FORTY_FIVE_PI * v_mf);

  // Harmonics relax in wind axes, then turn back to hub axes.
  PittPetersRotorState deriv;
  deriv.lambda_0 = (lambda_0_target - state.lambda_0) / tau_0;
  const double lambda_a = cos_w * state.lambda_c + sin_w * state.lambda_s;
  const double lambda_x = cos_w * state.lambda_s - sin_w * state.lambda_c;
  const double da = (lambda_a_target - lambda_a) / tau_c;
  const double dx = (lambda_x_target - lambda_x) / tau_c;
  deriv.lambda_c = cos_w * da - sin_w * dx;
  deriv.lambda_s = sin_w * da + cos_w * dx;

  return {finish_loads(sums, d.defn, d.grid, inputs, kin), deriv};
}

template <class P>
std::vector<double> PittPetersModel<P>::inflow_taus(const RotorInputs& inputs,
                                                    const State& state) const {
  const double R = d_->defn.blade.radius_m;
  const Kinematics kin = kinematics(inputs, inputs.omega_rad_s, R);
  const double v_mf =
      v_mass_flow_disk(kin.v_edge, kin.v_climb, state.lambda_0 * kin.omega_r, kin.omega_r);
  const double tau_c = 16.0 * R / (FORTY_FIVE_PI * v_mf);
  return {8.0 * R / (THREE_PI * v_mf), tau_c, tau_c};
}

template class PittPetersModel<LinearPolar>;
template class PittPetersModel<TabulatedPolar>;
template class PittPetersModel<SectionPolar>;

}  // namespace aerlox_rs
