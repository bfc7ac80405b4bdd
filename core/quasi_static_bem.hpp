#pragma once
// Blade-element momentum theory, element by element, and the quasi-static
// rotor model built on it.
//
// The element solver has two branches. The propeller branch is a damped
// fixed-point iteration on inflow ratio and swirl, good for climb, hover and
// mild descent. The windmill branch is a bracketed root search on the inflow
// angle with Buhl's high-induction correction, tried first in axial descent
// faster than 2 % of tip speed. Both apply Prandtl tip and hub losses when the
// blade asks for them.
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "aero_model.hpp"
#include "bem_common.hpp"
#include "polar.hpp"
#include "rotor_definition.hpp"
#include "section_polar.hpp"

namespace aerlox_rs {

/// One radial element and the operating point, as the element solver sees it.
template <class P>
struct BEMElementGeometry {
  const P* polar = nullptr;
  double r = 0.0;            ///< midpoint radius, m
  double dr = 0.0;           ///< element width, m
  double chord = 0.0;        ///< m
  double twist_rad = 0.0;    ///< rad
  double omega = 0.0;        ///< spin rate, rad/s
  double rho = 0.0;          ///< kg/m^3
  std::size_t n_blades = 0;
  double radius_m = 0.0;     ///< tip radius R
  double root_cutout_m = 0.0;
  double omega_r = 0.0;      ///< Omega R
  double inv_omega_r = 0.0;  ///< 1/(Omega R), or 1 below 1e-6
  double inv_r = 0.0;        ///< 1/r, or 0 for r <= 0
  double x = 0.0;            ///< r/R
  double x_hub = 0.0;        ///< root cutout / R
  double sigma_r = 0.0;      ///< local solidity B c / (2 pi r)
  bool use_tip_loss = true;
  std::size_t element = 0;        ///< grid index, for polars that vary along the blade
  bool consistent_swirl = false;  ///< see BemOptions::consistent_swirl

  /// Derives the dependent fields from the primary ones.
  static BEMElementGeometry make(const P& polar, double r, double dr, double chord,
                                 double twist_rad, double omega, double rho, std::size_t n_blades,
                                 double radius_m, double root_cutout_m, bool use_tip_loss) {
    BEMElementGeometry g;
    g.polar = &polar;
    g.r = r;
    g.dr = dr;
    g.chord = chord;
    g.twist_rad = twist_rad;
    g.omega = omega;
    g.rho = rho;
    g.n_blades = n_blades;
    g.radius_m = radius_m;
    g.root_cutout_m = root_cutout_m;
    g.omega_r = omega * radius_m;
    g.inv_omega_r = g.omega_r > 1e-6 ? 1.0 / g.omega_r : 1.0;
    g.inv_r = r > 0.0 ? 1.0 / r : 0.0;
    const double inv_big_r = radius_m > 0.0 ? 1.0 / radius_m : 0.0;
    g.x = r * inv_big_r;
    g.x_hub = root_cutout_m * inv_big_r;
    g.sigma_r = g.inv_r * (static_cast<double>(n_blades) * chord) / TWO_PI;
    g.use_tip_loss = use_tip_loss;
    return g;
  }
};

/// Loads and converged inflow of one element (all blades together).
struct BEMElementResult {
  double d_t = 0.0;                ///< thrust, N
  double d_q = 0.0;                ///< torque about the shaft, N m
  double lambda_r = 0.0;           ///< inflow ratio: axial speed through the element / tip speed
  double a_prime = 0.0;            ///< tangential induction factor
  double momentum_residual = 0.0;  ///< |momentum imbalance| of the returned state (0 from the windmill branch)
  // The flow the loads were taken at (what the spanwise view reports).
  double phi = 0.0;    ///< inflow angle, rad
  double alpha = 0.0;  ///< angle of attack, rad
  double cl = 0.0;
  double cd = 0.0;
  double q_dyn = 0.0;  ///< dynamic pressure 0.5 rho W^2, Pa
};

/// Inductions and force coefficients at one given inflow angle.
struct WindmillInductions {
  double a = 0.0;   ///< axial induction factor
  double ap = 0.0;  ///< tangential induction factor
  double cn = 0.0;  ///< normal force coefficient
  double ct = 0.0;  ///< tangential force coefficient
  double cl = 0.0;  ///< section lift coefficient at phi
  double cd = 0.0;  ///< section drag coefficient at phi
};

/// Prandtl tip-loss factor at s = |sin phi|, radius ratio x, blade count b.
double prandtl_tip_loss_from_sin_abs(double s, double x, double b);
/// Prandtl hub-loss factor at s = |sin phi|.
double prandtl_hub_loss_from_sin_abs(double s, double x, double x_hub, double b);
double prandtl_tip_loss(double phi, double x, double b);
double prandtl_hub_loss(double phi, double x, double x_hub, double b);
/// 4F with F = max(F_tip F_hub, 1e-4); exactly 4 without tip loss.
double four_f_from_sin_abs(double s, double x, double x_hub, double b, bool use_tip_loss);

/// Propeller branch. pitch excludes twist (rad); v_climb axial air speed
/// through the disk (m/s, positive in climb); v_t extra tangential speed (m/s).
/// The swirl factor a' counts air turned along with the blade, so the section
/// sees U_T = (1 - a') Omega r + v_t. Always answers; non-convergence shows
/// only in momentum_residual.
template <class P>
BEMElementResult solve_bem_element(const BEMElementGeometry<P>& geom, double pitch, double v_climb,
                                   double v_t);

/// Windmill branch, for descent faster than 2 % of tip speed; nothing when
/// no admissible root exists.
template <class P>
std::optional<BEMElementResult> solve_bem_element_windmill(const BEMElementGeometry<P>& geom,
                                                           double pitch, double v_climb,
                                                           double v_t);

/// Inductions at inflow angle phi with section pitch theta (twist included).
template <class P>
std::optional<WindmillInductions> induction_at_phi(const BEMElementGeometry<P>& geom, double phi,
                                                   double theta);

/// Windmill branch first in descent (v_climb < -1e-9), propeller otherwise
/// or when the windmill branch finds nothing.
template <class P>
BEMElementResult solve_bem_element_auto(const BEMElementGeometry<P>& geom, double pitch,
                                        double v_climb, double v_t);

/// The model's empty state.
using QuasiStaticState = QuasiStaticRotorState;

/// Quasi-static BEM rotor: the momentum balance is solved afresh at every
/// element on every call, so it has no inflow states. Immutable; copies share
/// the built data.
template <class P>
class QuasiStaticBEM {
 public:
  using Polar = P;
  using State = QuasiStaticRotorState;

  /// Copies the definition and polar; builds the grid and the azimuth table.
  /// Panics for more than 256 elements or n_psi_elements = 0.
  static QuasiStaticBEM build(const RotorDefinition& defn, P polar, std::size_t n_psi_elements,
                              const BemOptions& options = {});

  /// Loads and the (empty) state derivative.
  std::pair<AeroResult, State> compute_forces(const RotorInputs& inputs, const State& state) const;
  /// The same evaluation as compute_forces, element by element, written into
  /// `out` (which must have this model's stations and elements).
  void spanwise_into(const RotorInputs& inputs, const State& state, const SpanwiseView& out) const;
  /// spanwise_into storage of its own.
  SpanwiseLoads spanwise(const RotorInputs& inputs, const State& state) const {
    return default_spanwise(*this, inputs, state);
  }
  /// The empty state fits every quasi-static model.
  void check_state(const State&) const {}
  /// Always empty.
  std::vector<double> inflow_taus(const RotorInputs&, const State&) const { return {}; }
  /// compute_forces; dt and method change nothing.
  std::pair<AeroResult, State> step(const RotorInputs& inputs, const State& state, double dt,
                                    IntegrationMethod method) const {
    return default_step(*this, inputs, state, dt, method);
  }
  State initial_state() const { return {}; }

  const RotorDefinition& defn() const { return d_->defn; }
  std::size_t n_psi_elements() const { return d_->n_psi_elements; }
  const RadialGrid& grid() const { return d_->grid; }
  const P& polar() const { return d_->polar; }
  const std::vector<std::pair<double, double>>& psi_trig() const { return d_->psi_trig; }

 private:
  explicit QuasiStaticBEM(std::shared_ptr<const BemModelData<P>> d) : d_(std::move(d)) {}
  std::shared_ptr<const BemModelData<P>> d_;
};

extern template class QuasiStaticBEM<LinearPolar>;
extern template class QuasiStaticBEM<TabulatedPolar>;
extern template class QuasiStaticBEM<SectionPolar>;

}  // namespace aerlox_rs
