#include "quasi_static_bem.hpp"

#include <cmath>

#include "cpu_state.hpp"

namespace aerlox_rs {

double prandtl_tip_loss_from_sin_abs(double s, double x, double b) {
  if (s < 1e-9 || x >= 1.0) return 1.0;
  return TWO_OVER_PI * std::acos(std::fmin(std::exp(-0.5 * b * (1.0 - x) / (s * x)), 1.0));
}

double prandtl_hub_loss_from_sin_abs(double s, double x, double x_hub, double b) {
  if (s < 1e-9 || x <= x_hub || x_hub <= 0.0) return 1.0;
  return TWO_OVER_PI * std::acos(std::fmin(std::exp(-0.5 * b * (x - x_hub) / (s * x_hub)), 1.0));
}

double prandtl_tip_loss(double phi, double x, double b) {
  return prandtl_tip_loss_from_sin_abs(std::fabs(std::sin(phi)), x, b);
}

double prandtl_hub_loss(double phi, double x, double x_hub, double b) {
  return prandtl_hub_loss_from_sin_abs(std::fabs(std::sin(phi)), x, x_hub, b);
}

double four_f_from_sin_abs(double s, double x, double x_hub, double b, bool use_tip_loss) {
  if (!use_tip_loss) return 4.0;
  const double f = prandtl_tip_loss_from_sin_abs(s, x, b) * prandtl_hub_loss_from_sin_abs(s, x, x_hub, b);
  // The floor keeps the momentum terms finite at the very tip.
  return 4.0 * std::fmax(f, 1e-4);
}

namespace {

template <class P>
inline double four_f(const BEMElementGeometry<P>& g, double sin_phi) {
  return four_f_from_sin_abs(std::fabs(sin_phi), g.x, g.x_hub, static_cast<double>(g.n_blades),
                             g.use_tip_loss);
}

}  // namespace

template <class P>
BEMElementResult solve_bem_element(const BEMElementGeometry<P>& g, double pitch, double v_climb,
                                   double v_t) {
  BEMElementResult out;
  if (g.omega_r < 1e-6) return out;
  const auto polar = element_polar(*g.polar, g.element, g.rho);
  const double theta = pitch + g.twist_rad;
  const double lambda_c = v_climb * g.inv_omega_r;
  const double x = g.x;
  const double x2 = x * x;
  const double sigma = g.sigma_r;
  const bool descent = v_climb < g.omega * -0.02 * g.radius_m && !(lambda_c == 0.0 || lambda_c > 0.0);

  double ap = 0.0;
  double lam = descent ? std::fmin(0.85 * lambda_c, -0.02) : std::fmax(lambda_c + 0.03, 0.02);

  for (int it = 0; it < 60; ++it) {
    const double lam_prev = lam;
    const double ap_prev = ap;
    // The blade's torque turns the air with it (swirl a' > 0 behind a
    // thrusting rotor), so the section sees less tangential speed.
    const double u_t = (1.0 - ap) * g.omega * g.r + v_t;
    if (u_t < 1e-9) break;
    const double u_p = lam * g.omega * g.radius_m;
    const double phi = std::atan2(u_p, u_t);
    const auto [s, c] = sin_cos(phi);
    const auto [cl, cd] = polar.cl_cd(theta - phi, u_p, u_t);
    const double f4 = four_f(g, s);
    const double m = (c * cl - s * cd) * sigma / f4;
    const double n = m - 1.0;
    // The section's tangential speed over the tip speed, squared, in the
    // momentum balance: Omega r as first built, or the loads' own speed.
    const double ut = u_t * g.inv_omega_r;
    const double xt2 = g.consistent_swirl ? ut * ut : x2;

    // Momentum balance N lam^2 + lam_c lam + M xt^2 = 0 for the new inflow.
    double lam_new;
    if (std::fabs(n) > 1e-6) {
      const double p = std::sqrt(std::fmax(lambda_c * lambda_c - 4.0 * m * n * xt2, 0.0));
      const double lam_plus = (p - lambda_c) / (2.0 * n);
      const double lam_minus = (-lambda_c - p) / (2.0 * n);
      if (descent) lam_new = lam_plus < 0.0 ? lam_plus : lam_minus;
      else lam_new = lam_minus > 0.0 ? lam_minus : lam_plus;
    } else if (std::fabs(lambda_c) > 1e-8) {
      lam_new = -m * xt2 / lambda_c;
    } else {
      lam_new = std::sqrt(std::fmax(m, 0.0)) * (g.consistent_swirl ? ut : x);
    }

    double ap_new = 0.0;
    const double ct = c * cd + s * cl;
    if (std::fabs(s * c) > 1e-8 && std::fabs(ct) > 1e-10) {
      const double k = s * c * f4 / (ct * sigma) + 1.0;
      ap_new = std::fabs(k) > 1e-8 ? 1.0 / k : 0.0;
      ap_new = clamp_nan(ap_new, -0.5, 0.5);
    }
    lam_new = clamp_nan(lam_new, -2.0, 2.0);

    // Half steps: the undamped map oscillates near high loading.
    lam = 0.5 * lam + 0.5 * lam_new;
    ap = 0.5 * ap + 0.5 * ap_new;
    if (std::fabs(lam_new - lam_prev) < 1e-7 && std::fabs(ap_new - ap_prev) < 1e-7) break;
  }

  const double u_p = lam * g.omega * g.radius_m;
  const double u_t = (1.0 - ap) * g.omega * g.r + v_t;
  const double w2 = u_p * u_p + u_t * u_t;
  const double phi = std::atan2(u_p, u_t);
  const auto [s, c] = sin_cos(phi);
  const double alpha = theta - phi;
  const auto [cl, cd] = polar.cl_cd(alpha, u_p, u_t);
  const double cn = c * cl - s * cd;
  const double ct = c * cd + s * cl;
  const double f4 = four_f(g, s);
  const double q_dyn = g.rho * 0.5 * w2;
  const double q = q_dyn * g.chord * g.dr * static_cast<double>(g.n_blades);
  out.d_t = cn * q;
  out.d_q = ct * q * g.r;
  out.lambda_r = lam;
  out.a_prime = ap;
  const double ut = u_t * g.inv_omega_r;
  const double xt2 = g.consistent_swirl ? ut * ut : x2;
  out.momentum_residual = std::fabs((lam - lambda_c) * (lam * f4) - (xt2 + lam * lam) * (cn * sigma));
  out.phi = phi;
  out.alpha = alpha;
  out.cl = cl;
  out.cd = cd;
  out.q_dyn = q_dyn;
  return out;
}

template <class P>
std::optional<WindmillInductions> induction_at_phi(const BEMElementGeometry<P>& g, double phi,
                                                   double theta) {
  const auto [s, c] = sin_cos(phi);
  if (std::fabs(s) < 1e-12) return std::nullopt;
  // The section's speed for a polar that asks for it: the blade speed Omega r
  // with the axial speed that makes this inflow angle (inductions unknown yet).
  const double u_t = g.omega * g.r;
  const auto [cl, cd] = element_polar(*g.polar, g.element, g.rho).cl_cd(theta - phi, u_t * (s / c), u_t);
  const double cn = c * cl - s * cd;
  const double ct = c * cd + s * cl;
  const double f4 = four_f(g, s);
  if (cn <= 1e-9) return std::nullopt;
  const double s2 = s * s;
  const double k = cn * g.sigma_r / (s2 * f4);
  double a = k / (k + 1.0);
  if (a > 0.4) {
    // Buhl's empirical thrust curve beyond a = 0.4, where momentum theory
    // breaks down (turbulent wake state).
    const double o = cn * g.sigma_r / s2;
    const double qa = 5.555555555555555 - f4 - o;
    const double qb = f4 - 4.444444444444445 + 2.0 * o;
    const double qc = 0.8888888888888888 - o;
    if (std::fabs(qa) < 1e-12) return std::nullopt;
    const double disc = qb * qb - 4.0 * qa * qc;
    if (disc < 0.0) return std::nullopt;
    const double sq = std::sqrt(disc);
    const double r1 = (-qb + sq) / (2.0 * qa);
    const double r2 = (-qb - sq) / (2.0 * qa);
    const bool ok1 = r1 >= 0.4 && r1 <= 1.0;
    const bool ok2 = r2 >= 0.4 && r2 <= 1.0;
    if (ok1 && ok2) a = std::fmin(r1, r2);
    else if (ok1) a = r1;
    else if (ok2) a = r2;
    else return std::nullopt;
  }
  double ap = 0.0;
  if (std::fabs(s * c) > 1e-9 && std::fabs(ct) > 1e-9) {
    const double t = ct * g.sigma_r / (s * c * f4);
    ap = std::fabs(1.0 - t) > 1e-9 ? t / (1.0 - t) : 0.0;
    ap = clamp_nan(ap, -0.5, 0.5);
  }
  return WindmillInductions{a, ap, cn, ct, cl, cd};
}

namespace {

/// Residual of the inflow-angle equation of the windmill state; 1000 where
/// no induction exists (keeps the bracket test meaningful).
template <class P>
inline double windmill_residual(const BEMElementGeometry<P>& g, double phi, double theta,
                                double v_climb, double v_t) {
  const auto ind = induction_at_phi(g, phi, theta);
  if (!ind) return 1000.0;
  const auto [s, c] = sin_cos(phi);
  return (1.0 - ind->a) * c +
         ((1.0 + ind->ap) * (-g.omega * g.r / v_climb) + (-v_t / v_climb)) * s;
}

}  // namespace

template <class P>
std::optional<BEMElementResult> solve_bem_element_windmill(const BEMElementGeometry<P>& g,
                                                           double pitch, double v_climb,
                                                           double v_t) {
  if (g.omega_r < 1e-6 || v_climb >= g.omega * -0.02 * g.radius_m) return std::nullopt;
  const double theta = pitch + g.twist_rad;
  auto f = [&](double phi) { return windmill_residual(g, phi, theta, v_climb, v_t); };

  // Brent's method on the inflow angle, bracketed in (-pi/2, 0).
  double a = -1.5706963267948966;
  double b = -1e-4;
  double fa = f(a);
  double fb = f(b);
  if (!std::isfinite(fa) || !std::isfinite(fb) || !(fa * fb < 0.0)) return std::nullopt;
  if (std::fabs(fa) < std::fabs(fb)) {
    std::swap(a, b);
    std::swap(fa, fb);
  }
  double c = a, fc = fa, d = a;
  bool bisected = true;
  for (int it = 0; it < 80; ++it) {
    if (fb == 0.0 || std::fabs(b - a) < 1e-8) break;
    double s;
    if (fa != fb && fa != fc && fb != fc) {
      s = a * fb * fc / ((fa - fb) * (fa - fc)) + b * fa * fc / ((fb - fa) * (fb - fc)) +
          c * fa * fb / ((fc - fa) * (fc - fb));
    } else {
      s = b - fb * (b - a) / (fb - fa);
    }
    const double quarter = (3.0 * a + b) / 4.0;
    const bool outside = !((s > quarter && s < b) || (s < quarter && s > b));
    const bool bisect =
        outside ||
        (bisected && (std::fabs(s - b) >= std::fabs(b - c) / 2.0 || std::fabs(b - c) < 1e-8)) ||
        (!bisected && (std::fabs(s - b) >= std::fabs(c - d) / 2.0 || std::fabs(c - d) < 1e-8));
    if (bisect) s = (a + b) / 2.0;
    bisected = bisect;
    const double fs = f(s);
    if (!std::isfinite(fs)) return std::nullopt;
    d = c;
    c = b;
    fc = fb;
    if (fa * fs < 0.0) {
      b = s;
      fb = fs;
    } else {
      a = s;
      fa = fs;
    }
    if (std::fabs(fa) < std::fabs(fb)) {
      std::swap(a, b);
      std::swap(fa, fb);
    }
  }

  const auto ind = induction_at_phi(g, b, theta);
  if (!ind || !(ind->cn > 0.0) || !(ind->a >= 0.0 && ind->a <= 1.0)) return std::nullopt;
  BEMElementResult out;
  const double v_a = v_climb * (1.0 - ind->a);
  const double v_tan = g.r * (g.omega * (ind->ap + 1.0)) + v_t;
  const double q_dyn = (v_a * v_a + v_tan * v_tan) * (g.rho * 0.5);
  const double q = q_dyn * g.chord * g.dr * static_cast<double>(g.n_blades);
  out.d_t = ind->cn * q;
  out.d_q = g.r * (q * ind->ct);
  out.lambda_r = v_a * g.inv_omega_r;
  out.a_prime = ind->ap;
  out.momentum_residual = 0.0;
  out.phi = b;
  out.alpha = theta - b;
  out.cl = ind->cl;
  out.cd = ind->cd;
  out.q_dyn = q_dyn;
  return out;
}

template <class P>
BEMElementResult solve_bem_element_auto(const BEMElementGeometry<P>& g, double pitch,
                                        double v_climb, double v_t) {
  if (v_climb < -1e-9) {
    if (auto w = solve_bem_element_windmill(g, pitch, v_climb, v_t)) return *w;
  }
  return solve_bem_element(g, pitch, v_climb, v_t);
}

namespace {

/// The flow an element solution was loaded at, as the spanwise view reports it.
inline ElementDetail detail_of(const BEMElementResult& r) {
  return ElementDetail{r.phi, r.alpha, r.cl, r.cd, r.lambda_r, r.q_dyn};
}

/// The quasi-static model's sweep kernel: a full momentum solve per element.
template <class P>
struct BemKernel {
  double v_climb = 0.0;
  double r_tip = 0.0;
  double root_cutout_m = 0.0;
  bool use_tip_loss = true;
  bool consistent_swirl = false;

  template <class D = NoDetail>
  std::pair<double, double> element(const SweepCtx<P>& ctx, const ElementCtx& e,
                                    D* det = nullptr) const {
    auto geom = BEMElementGeometry<P>::make(ctx.polar, e.r, e.dr, e.chord, e.twist, ctx.omega,
                                            ctx.rho, ctx.n_b, r_tip, root_cutout_m, use_tip_loss);
    geom.element = e.i;
    geom.consistent_swirl = consistent_swirl;
    const BEMElementResult res = solve_bem_element_auto(geom, e.col_psi, v_climb, e.v_t);
    if constexpr (std::is_same_v<D, ElementDetail>) *det = detail_of(res);
    return {res.d_t, res.d_q};
  }
};

/// The quasi-static evaluation, shared by compute_forces (NoSink) and
/// spanwise (SpanwiseSink).
template <class P, class Sink>
AeroResult quasi_static_loads(const BemModelData<P>& d, const RotorInputs& inputs, Sink&& sink) {
  clear_upper_vector_state();
  const BladeGeometry& blade = d.defn.blade;
  const double omega = inputs.omega_rad_s;
  const Kinematics kin = kinematics(inputs, omega, blade.radius_m);
  const PitchSchedule pitch = pitch_schedule(d.defn, inputs, kin);

  const double c_sw = std::fabs(pitch.sw_1c) + std::fabs(pitch.sw_1s);
  const double c_f = pitch.feathered ? std::fabs(pitch.theta_1c) + std::fabs(pitch.theta_1s) : 0.0;
  const bool asymmetric = kin.mu > 0.01 || c_sw > 1e-12 || c_f > 1e-12;

  SweepSums sums;
  if (asymmetric && omega > 1.0) {
    const auto ctx = SweepCtx<P>::for_call(d, inputs, kin, pitch);
    BemKernel<P> kernel{kin.v_climb, blade.radius_m, blade.root_cutout_m, blade.tip_loss,
                        d.options.consistent_swirl};
    sums = ctx.run(kernel, sink);
  } else {
    // Axisymmetric flow: every azimuth is the same, one pass along the span.
    for (std::size_t i = 0; i < d.grid.n_elements; ++i) {
      auto geom = BEMElementGeometry<P>::make(
          d.polar, at(d.grid.r_mid, i), d.grid.dr, at(d.grid.chord, i), at(d.grid.twist_rad, i),
          omega, inputs.rho_kg_m3, blade.n_blades, blade.radius_m, blade.root_cutout_m,
          blade.tip_loss);
      geom.element = i;
      geom.consistent_swirl = d.options.consistent_swirl;
      const BEMElementResult res = solve_bem_element_auto(geom, pitch.theta_0, kin.v_climb, 0.0);
      sums.t_total += res.d_t;
      sums.q_total += res.d_q;
      if constexpr (std::remove_cvref_t<Sink>::active) {
        const ElementDetail det = detail_of(res);
        for (std::size_t k = 0; k < d.n_psi_elements; ++k) sink.record(k, i, det, res.d_t, res.d_q);
      }
    }
  }
  return finish_loads(sums, d.defn, d.grid, inputs, kin);
}

}  // namespace

template <class P>
QuasiStaticBEM<P> QuasiStaticBEM<P>::build(const RotorDefinition& defn, P polar,
                                           std::size_t n_psi_elements, const BemOptions& options) {
  return QuasiStaticBEM(BemModelData<P>::make(defn, std::move(polar), n_psi_elements, options));
}

template <class P>
std::pair<AeroResult, QuasiStaticRotorState> QuasiStaticBEM<P>::compute_forces(
    const RotorInputs& inputs, const State&) const {
  return {quasi_static_loads(*d_, inputs, NoSink{}), QuasiStaticRotorState{}};
}

template <class P>
void QuasiStaticBEM<P>::spanwise_into(const RotorInputs& inputs, const State&,
                                      const SpanwiseView& out) const {
  out.prepare(d_->grid, d_->n_psi_elements);
  quasi_static_loads(*d_, inputs, SpanwiseSink{out});
}

#define AERLOX_INSTANTIATE_ELEMENT_SOLVER(P)                                                    \
  template BEMElementResult solve_bem_element<P>(const BEMElementGeometry<P>&, double, double,  \
                                                 double);                                       \
  template std::optional<BEMElementResult> solve_bem_element_windmill<P>(                       \
      const BEMElementGeometry<P>&, double, double, double);                                    \
  template std::optional<WindmillInductions> induction_at_phi<P>(const BEMElementGeometry<P>&,  \
                                                                 double, double);               \
  template BEMElementResult solve_bem_element_auto<P>(const BEMElementGeometry<P>&, double,     \
                                                      double, double);

AERLOX_INSTANTIATE_ELEMENT_SOLVER(LinearPolar)
AERLOX_INSTANTIATE_ELEMENT_SOLVER(TabulatedPolar)
AERLOX_INSTANTIATE_ELEMENT_SOLVER(SectionPolar)
#undef AERLOX_INSTANTIATE_ELEMENT_SOLVER

template class QuasiStaticBEM<LinearPolar>;
template class QuasiStaticBEM<TabulatedPolar>;
template class QuasiStaticBEM<SectionPolar>;

}  // namespace aerlox_rs
