#pragma once
// Shared pieces of the blade-element rotor models: hub kinematics, the radial
// grid and azimuth table, the pitch schedule, the azimuth sweep with its
// per-element kernel contract, the blade-element force law, disk helpers,
// quasi-static flapping and the final assembly into world-frame loads.
//
// Every formula here is written in one fixed order of floating-point
// operations; the models' results depend on it to the last bit.
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <math.h>

#include "aero_io.hpp"
#include "element_polar.hpp"
#include "panic.hpp"
#include "rotor_definition.hpp"

namespace aerlox_rs {

/// Fixed capacity of every per-element array of the blade-element models.
inline constexpr std::size_t MAX_BEM_ELEMENTS = 256;

inline constexpr double PI = 3.141592653589793;
inline constexpr double TWO_PI = 6.283185307179586;
inline constexpr double TWO_OVER_PI = 0.6366197723675814;

/// (sin a, cos a) computed together.
inline std::pair<double, double> sin_cos(double a) {
#if defined(__GLIBC__)
  double s = 0.0, c = 0.0;
  ::sincos(a, &s, &c);
  return {s, c};
#else
  return {std::sin(a), std::cos(a)};
#endif
}

/// Clamp that lets NaN through unchanged (lo <= hi is the caller's promise).
inline double clamp_nan(double x, double lo, double hi) {
  if (x < lo) x = lo;
  if (x > hi) x = hi;
  return x;
}

/// Hub kinematics of one call (SI units).
struct Kinematics {
  double omega_r = 0.0;   ///< tip speed Omega*R
  Vec3 hub_axis;          ///< world components of the hub z axis
  double v_climb = 0.0;   ///< hub_axis . (wind - v_hub), m/s; positive is climb
  Vec3 v_inplane;         ///< world in-plane part of the relative air velocity
  double v_edge = 0.0;    ///< |v_inplane|
  Vec3 v_inplane_hub;     ///< R_hub^T v_inplane (x, y used)
  double mu = 0.0;        ///< advance ratio v_edge / max(omega_r, 1e-6)
};

/// Kinematics for spin rate omega and tip radius r_tip.
Kinematics kinematics(const RotorInputs& inputs, double omega, double r_tip);

/// World-frame loads from hub-frame sums: F_hub = (fx, fy, -T), M_hub = (mx, my, 0).
AeroResult assemble_result(double t_total, double q_total, double mx_hub, double my_hub,
                           double fx_hub, double fy_hub, const Vec3& hub_axis, const Mat3& r_hub);

/// Equal-width, cell-centred radial elements of one blade. Entries at index
/// n_elements and above are 0. A plain value: no heap storage.
struct RadialGrid {
  alignas(64) std::array<double, MAX_BEM_ELEMENTS> r_mid{};      ///< midpoint radius, m
  alignas(64) std::array<double, MAX_BEM_ELEMENTS> x_mid{};      ///< r_mid / R
  alignas(64) std::array<double, MAX_BEM_ELEMENTS> chord{};      ///< chord at midpoint, m
  alignas(64) std::array<double, MAX_BEM_ELEMENTS> twist_rad{};  ///< twist at midpoint, rad
  std::size_t n_elements = 0;  ///< valid entries, <= MAX_BEM_ELEMENTS
  double dr = 0.0;             ///< element width, m
  double x_hub = 0.0;          ///< root cutout / R

  /// Panics with "n <= MAX_BEM_ELEMENTS" beyond capacity. n_elements = 0 is
  /// accepted (dr is then not finite and the grid has no valid element).
  static RadialGrid from_blade(const BladeGeometry& blade);
};

/// (cos psi_k, sin psi_k) of n_psi equally spaced azimuths, psi_0 = 0.
/// Panics with "n_psi > 0" for n_psi = 0.
std::vector<std::pair<double, double>> build_psi_trig_table(std::size_t n_psi);

/// Opt-in refinements of the blade-element models. The defaults are the
/// models as first built; every field left at its default keeps their numbers.
struct BemOptions {
  /// Quasi-static element solver: the momentum balance takes the section's
  /// resultant speed with the same tangential speed (1 - a') Omega r + v_t as
  /// its loads, instead of Omega r.
  bool consistent_swirl = false;
  /// Pitt-Peters: Johnson's effective radius B = 1 - sqrt(2 CT) / N_b; no lift
  /// beyond B R (drag kept) and the uniform inflow from momentum over the disk
  /// of radius B R.
  bool pitt_peters_tip_loss = false;
};

/// What a blade-element model is built from; immutable once made, shared
/// between copies of a model so that copying one is cheap.
template <class P>
struct BemModelData {
  RotorDefinition defn;
  RadialGrid grid;
  P polar;
  std::vector<std::pair<double, double>> psi_trig;
  std::size_t n_psi_elements = 0;
  BemOptions options{};

  static std::shared_ptr<const BemModelData> make(const RotorDefinition& defn, P polar,
                                                  std::size_t n_psi_elements,
                                                  const BemOptions& options = {}) {
    // Plain new: the grid is over-aligned and aligned new honours that.
    auto* d = new BemModelData{defn, RadialGrid::from_blade(defn.blade), std::move(polar),
                               build_psi_trig_table(n_psi_elements), n_psi_elements, options};
    std::shared_ptr<BemModelData> owned(d);
    bind_polar_to_grid(owned->polar, owned->grid);
    return owned;
  }
};

/// Blade pitch of one call. The swashplate cyclic is what the control
/// linkage commands; theta_* is what the blades actually carry (the
/// feathering solution in servo-flap mode, else the commanded values).
struct PitchSchedule {
  double theta_0 = 0.0;   ///< collective used by the sweep, rad
  double theta_1c = 0.0;  ///< cosine cyclic used by the sweep, rad
  double theta_1s = 0.0;  ///< sine cyclic used by the sweep, rad
  double sw_1c = 0.0;     ///< swashplate cosine cyclic, rad
  double sw_1s = 0.0;     ///< swashplate sine cyclic, rad
  bool feathered = false; ///< servo-flap mode: theta_* come from the feathering solve
};

/// Control gains, cyclic mapping and (servo-flap mode) feathering.
PitchSchedule pitch_schedule(const RotorDefinition& defn, const RotorInputs& inputs,
                             const Kinematics& kin);

/// One element at one azimuth station, as handed to a sweep kernel.
struct ElementCtx {
  std::size_t i = 0;      ///< element index in the grid
  double cos_psi = 0.0;
  double sin_psi = 0.0;
  double r = 0.0;         ///< element centre radius, m
  double chord = 0.0;     ///< m
  double twist = 0.0;     ///< rad
  double dr = 0.0;        ///< element width, m
  double col_psi = 0.0;   ///< root pitch at this azimuth, rad
  double v_t = 0.0;       ///< in-plane flight contribution to the tangential speed, m/s
  double u_t = 0.0;       ///< tangential speed Omega*r + v_t, m/s (> 0)
};

/// What a sweep kernel can tell about one element at one station besides its
/// loads. Only filled when the sweep runs with a recording sink.
struct ElementDetail {
  double phi = 0.0;           ///< inflow angle, rad
  double alpha = 0.0;         ///< angle of attack, rad
  double cl = 0.0;
  double cd = 0.0;
  double inflow_ratio = 0.0;  ///< axial speed through the element / tip speed (positive in hover)
  double q_dyn = 0.0;         ///< dynamic pressure 0.5 rho W^2, Pa
};

/// The detail type of the hub-load path: kernels take a null pointer of it
/// and their `if constexpr` recording code compiles away.
struct NoDetail {};

/// The sink of the hub-load path: records nothing and costs nothing.
struct NoSink {
  static constexpr bool active = false;
};

/// The per-element quantities of a spanwise evaluation.
enum SpanwiseField : std::size_t {
  kSpanRadius,        ///< element centre radius, m
  kSpanAlpha,         ///< angle of attack, rad
  kSpanPhi,           ///< inflow angle, rad
  kSpanCl,
  kSpanCd,
  kSpanInflowRatio,   ///< axial speed through the element / tip speed
  kSpanQDyn,          ///< dynamic pressure, Pa
  kSpanThrust,        ///< element thrust of one blade, N
  kSpanTorque,        ///< element torque of one blade about the shaft, N m
  kSpanFields
};

/// Where a spanwise evaluation writes: per field, n_psi * n_r doubles of the
/// caller's storage, entry [k * n_r + i] for azimuth station k and element i.
/// Stations the sweep skips (reversed or stagnant flow, or a rotor below the
/// sweep's spin threshold) get zero thrust and torque and NaN flow values.
struct SpanwiseView {
  std::size_t n_psi = 0;
  std::size_t n_r = 0;
  std::size_t n_blades = 0;
  std::array<double*, kSpanFields> field{};

  /// Panics unless the view has the grid's and the table's shape; then fills
  /// the radius (the sweep fills every other entry, recorded or skipped).
  void prepare(const RadialGrid& grid, std::size_t n_psi_elements) const;
  /// Entry j of a station the sweep passes by: no load, no flow values.
  void skip(std::size_t j) const;
};

/// Azimuth of each station, rad: 2 pi k / n_psi, as the azimuth table has it.
std::vector<double> station_azimuths(std::size_t n_psi);

/// Spanwise loads in storage of their own (for C++ callers).
struct SpanwiseLoads {
  std::size_t n_psi = 0;
  std::size_t n_r = 0;
  std::size_t n_blades = 0;
  std::vector<double> radius_m;
  std::vector<double> alpha_rad;
  std::vector<double> phi_rad;
  std::vector<double> cl;
  std::vector<double> cd;
  std::vector<double> inflow_ratio;
  std::vector<double> q_dyn_pa;
  std::vector<double> thrust_n;
  std::vector<double> torque_nm;

  /// Storage for n_psi stations of the grid's elements.
  static SpanwiseLoads shaped(const RadialGrid& grid, std::size_t n_psi, std::size_t n_blades);
  /// A view writing into this storage.
  SpanwiseView view();
};

/// Spanwise loads in storage of their own, for any blade-element model with
/// `spanwise_into` (shared by the models as `default_step` is for stepping).
template <class Model, class State>
SpanwiseLoads default_spanwise(const Model& model, const RotorInputs& inputs, const State& state) {
  SpanwiseLoads s = SpanwiseLoads::shaped(model.grid(), model.n_psi_elements(), model.defn().blade.n_blades);
  model.spanwise_into(inputs, state, s.view());
  return s;
}

/// The recording sink: writes each swept element into a prepared view. Loads
/// of all blades are scaled by 1 / n_blades (one blade's share). The
/// sweep visits k < n_psi and i < n_r only, and prepare() checked that the
/// view has that shape, so the writes need no further checks.
struct SpanwiseSink {
  static constexpr bool active = true;
  const SpanwiseView& out;

  void record(std::size_t k, std::size_t i, const ElementDetail& d, double d_t, double d_q) {
    const std::size_t j = k * out.n_r + i;
    out.field[kSpanAlpha][j] = d.alpha;
    out.field[kSpanPhi][j] = d.phi;
    out.field[kSpanCl][j] = d.cl;
    out.field[kSpanCd][j] = d.cd;
    out.field[kSpanInflowRatio][j] = d.inflow_ratio;
    out.field[kSpanQDyn][j] = d.q_dyn;
    out.field[kSpanThrust][j] = d_t * per_blade;
    out.field[kSpanTorque][j] = d_q * per_blade;
  }
  void skip(std::size_t k, std::size_t i) { out.skip(k * out.n_r + i); }
  void skip_all() {
    for (std::size_t j = 0; j < out.n_psi * out.n_r; ++j) out.skip(j);
  }

  /// 1 / n_blades (0 without blades, whose loads are 0 anyway).
  const double per_blade = out.n_blades > 0 ? 1.0 / static_cast<double>(out.n_blades) : 0.0;
};

/// Swept sums, azimuth-averaged, hub axes.
struct SweepSums {
  double t_total = 0.0;  ///< thrust, N
  double q_total = 0.0;  ///< torque opposing rotation, N m
  double fx_hub = 0.0;   ///< in-plane force, N
  double fy_hub = 0.0;
  double mx_hub = 0.0;   ///< first-harmonic sine moment sum A_s, N m
  double my_hub = 0.0;   ///< first-harmonic cosine moment sum A_c, N m
};

/// Context of one sweep; read-only while sweeping.
template <class P>
struct SweepCtx {
  const RadialGrid& grid;
  const P& polar;
  std::span<const std::pair<double, double>> psi_trig;
  double col = 0.0;        ///< collective used, rad
  double omega = 0.0;      ///< rad/s
  double omega_r = 0.0;    ///< tip speed, m/s
  double rho = 0.0;        ///< kg/m^3
  std::size_t n_b = 0;     ///< blade count
  std::size_t n_psi = 0;   ///< azimuth stations
  double n_psi_inv = 0.0;  ///< 1/n_psi
  double v_in_hub_x = 0.0;
  double v_in_hub_y = 0.0;
  double theta_1c = 0.0;
  double theta_1s = 0.0;

  /// The context of one model evaluation: the model's grid, polar and azimuth
  /// table with this call's operating point and blade-pitch schedule.
  static SweepCtx for_call(const BemModelData<P>& d, const RotorInputs& inputs, const Kinematics& kin,
                           const PitchSchedule& pitch) {
    return SweepCtx{d.grid,
                    d.polar,
                    d.psi_trig,
                    pitch.theta_0,
                    inputs.omega_rad_s,
                    kin.omega_r,
                    inputs.rho_kg_m3,
                    d.defn.blade.n_blades,
                    d.n_psi_elements,
                    1.0 / static_cast<double>(d.n_psi_elements),
                    kin.v_inplane_hub.x(),
                    kin.v_inplane_hub.y(),
                    pitch.theta_1c,
                    pitch.theta_1s};
  }

  /// Sweeps every element at every station (stations outer, elements inner)
  /// and returns the azimuth-averaged sums. Kernel: a functor with
  /// `std::pair<double, double> element(const SweepCtx&, const ElementCtx&)`
  /// returning (dT, dQ) for all blades. Only entered for omega > 1 rad/s and
  /// omega_r > 1e-6; otherwise every sum is 0.
  ///
  /// Sink: NoSink for the hub loads; a recording sink (SpanwiseSink) is
  /// handed every element with its detail and loads (record), or told that
  /// the sweep passes it by (skip, skip_all). Both run this one loop, so the
  /// spanwise view is the same arithmetic as the hub loads.
  template <class Kernel, class Sink = NoSink>
  SweepSums run(Kernel& kernel, Sink&& sink = Sink{}) const {
    SweepSums out;
    constexpr bool recording = std::remove_cvref_t<Sink>::active;
    if (!(omega > 1.0 && omega_r > 1e-6)) {
      if constexpr (recording) sink.skip_all();
      return out;
    }
    const std::size_t n_r = grid.n_elements;
    AERLOX_ASSERT(n_r < MAX_BEM_ELEMENTS);
    AERLOX_ASSERT(n_psi == psi_trig.size());
    double t = 0.0, q = 0.0, fx = 0.0, fy = 0.0, a_c = 0.0, a_s = 0.0;
    for (std::size_t k = 0; k < n_psi; ++k) {
      const double c = psi_trig[k].first;
      const double s = psi_trig[k].second;
      const double col_psi = col + theta_1c * c + theta_1s * s;
      const double v_t = v_in_hub_x * s + v_in_hub_y * c;
      double s_k = 0.0;
      for (std::size_t i = 0; i < n_r; ++i) {
        const double r = grid.r_mid[i];
        const double u_t = omega * r + v_t;
        // Reversed or stagnant flow carries no load at this station.
        if (u_t <= 0.0) {
          if constexpr (recording) sink.skip(k, i);
          continue;
        }
        const ElementCtx e{i, c, s, r, grid.chord[i], grid.twist_rad[i], grid.dr, col_psi, v_t, u_t};
        const auto [d_t, d_q] = visit(kernel, e, k, sink);
        t += d_t;
        q += d_q;
        fx += s * (d_q / r);
        fy += c * (d_q / r);
        s_k += r * d_t;
      }
      a_c += c * s_k;
      a_s += s * s_k;
    }
    out.t_total = t * n_psi_inv;
    out.q_total = q * n_psi_inv;
    out.fx_hub = fx * n_psi_inv;
    out.fy_hub = fy * n_psi_inv;
    out.my_hub = a_c * n_psi_inv;
    out.mx_hub = a_s * n_psi_inv;
    return out;
  }

 private:
  /// One element through the kernel; with a recording sink, also its detail.
  template <class Kernel, class Sink>
  std::pair<double, double> visit(Kernel& kernel, const ElementCtx& e, std::size_t k,
                                  Sink& sink) const {
    if constexpr (std::remove_cvref_t<Sink>::active) {
      ElementDetail det;
      const std::pair<double, double> loads = kernel.element(*this, e, &det);
      sink.record(k, e.i, det, loads.first, loads.second);
      return loads;
    } else {
      return kernel.element(*this, e);
    }
  }
};

/// Blade-element force law: (dT, dQ) of all blades for axial speed u_p
/// (positive along +hub_axis) and tangential speed u_t, no momentum solve.
/// With det non-null (type ElementDetail), also reports the element's flow
/// (all but the inflow ratio, which the calling kernel knows exactly).
///
/// Loss: NoLiftLoss, or a functor giving the factor on the lift at sin phi.
struct NoLiftLoss {};

template <class P, class D = NoDetail, class Loss = NoLiftLoss>
inline std::pair<double, double> element_force(const SweepCtx<P>& ctx, const ElementCtx& e,
                                               double u_p, double u_t, D* det = nullptr,
                                               const Loss& loss = Loss{}) {
  const double phi = std::atan2(u_p, u_t);
  const double theta = e.col_psi + e.twist;
  const double alpha = theta - phi;
  auto [cl, cd] = element_polar(ctx.polar, e.i, ctx.rho).cl_cd(alpha, u_p, u_t);
  const auto [sin_phi, cos_phi] = sin_cos(phi);
  if constexpr (!std::is_same_v<Loss, NoLiftLoss>) cl *= loss(sin_phi);
  const double f = 0.5 * ctx.rho * (u_t * u_t + u_p * u_p) * e.chord * e.dr *
                   static_cast<double>(ctx.n_b);
  const double d_t = f * (cl * cos_phi - cd * sin_phi);
  const double d_q = e.r * f * (cl * sin_phi + cd * cos_phi);
  if constexpr (std::is_same_v<D, ElementDetail>) {
    det->phi = phi;
    det->alpha = alpha;
    det->cl = cl;
    det->cd = cd;
    det->q_dyn = 0.5 * ctx.rho * (u_t * u_t + u_p * u_p);
  }
  return {d_t, d_q};
}

/// Vortex-ring-state indicators of the current thrust.
struct VrsRegime {
  double v_h = 0.0;     ///< hover-equivalent induced velocity, m/s
  double lam2 = 0.0;    ///< descent ratio V_descent / v_h
  bool in_vrs = false;  ///< inside the vortex-ring state
};

/// area = pi R^2.
VrsRegime vrs_regime(double t_total, double v_climb, double rho, double area);

/// Empirical uniform-inflow factor inside the vortex-ring state at descent
/// ratio k: lambda_vrs = kappa(k) * v_h / omega_r.
double vrs_lambda1(double k);

/// Mass-flow velocity through the disk, m/s, floored at 0.01*max(omega_r, 1).
double v_mass_flow_disk(double v_edge, double v_climb, double v0_axial, double omega_r);

/// Hub loads after quasi-static flapping (hub axes).
struct FlapOutput {
  double mx_out = 0.0;   ///< hub moment about x, N m
  double my_out = 0.0;   ///< hub moment about y, N m
  double dfx_hub = 0.0;  ///< extra in-plane force from the tilted thrust, N
  double dfy_hub = 0.0;
};

/// Quasi-static first-harmonic flapping of a hinged/spring blade; without a
/// flap record (or at rest, or with no flap inertia) the rigid-hub moments
/// (A_s, A_c) pass through.
FlapOutput apply_flap_dynamics(double t_total, double mx_hub, double my_hub,
                               const std::optional<FlapProperties>& flap, const RadialGrid& grid,
                               double cl_alpha, double rho, std::size_t n_b, double omega);

/// Flapping plus assembly, the common tail of every model's compute_forces.
AeroResult finish_loads(const SweepSums& sums, const RotorDefinition& defn, const RadialGrid& grid,
                        const RotorInputs& inputs, const Kinematics& kin);

}  // namespace aerlox_rs
