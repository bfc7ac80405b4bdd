#pragma once
// The free-wake vortex-particle rotor: a lifting-line blade whose induced
// velocity comes from a cloud of vortex particles that the blades shed and
// that is convected in time.
//
// The rotor holds only the blade discretisation, computed once at
// construction; everything that evolves (wake, bound circulation, blade
// angles, azimuth) lives in VpmRotorState, so one rotor can advance any number
// of independent states.
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "aero_io.hpp"
#include "cyclic.hpp"
#include "polar.hpp"
#include "rotor_definition.hpp"
#include "vpm/common.hpp"
#include "vpm/march.hpp"

namespace aerlox_rs::vpm {

/// Options of the vortex-particle rotor, with the defaults the Python
/// constructor uses.
struct VpmRotorConfig {
  std::size_t max_particles = 4800;  ///< wake cap after each step; oldest dropped first
  float sigma = 0.18f;               ///< base particle core radius, m
  double relax = 0.35;               ///< under-relaxation of the circulation update
  bool nonlinear_lifting_line = true;  ///< iterate with the blade's own trailing downwash
  bool tip_clustering = true;        ///< cosine spacing of element edges
  bool local_core = true;            ///< scale core radii with the local element width
  bool barnes_hut = false;           ///< use the tree evaluators for large wakes
  float bh_theta = 0.5f;             ///< tree opening angle
  std::size_t bh_min_particles = 2048;  ///< smallest wake evaluated through the tree
  bool merge_wake = false;           ///< enable particle merging
  std::size_t merge_every = 0;       ///< merge cadence in steps' worth of azimuth; 0 disables
  std::size_t merge_min_particles = 0;  ///< no merge below this wake size
  float merge_kappa = 0.7f;          ///< merge size limit (cell edge / core radius)
  float merge_chi_min = 0.9f;        ///< merge alignment limit
  float merge_region_dist = 0.0f;    ///< protected sphere radius around the hub, m
  double core_spread_nu = 0.0;       ///< viscosity of per-step core spreading; 0 disables
  double strength_decay_tau_rev = 0.0;  ///< strength e-folding life in revolutions; 0 disables
};

/// Gathers the seventeen options into a config, in declaration order.
VpmRotorConfig build_vpm_config(std::size_t max_particles, float sigma, double relax,
                                bool nonlinear_lifting_line, bool tip_clustering, bool local_core,
                                bool barnes_hut, float bh_theta, std::size_t bh_min_particles,
                                bool merge_wake, std::size_t merge_every,
                                std::size_t merge_min_particles, float merge_kappa,
                                float merge_chi_min, float merge_region_dist,
                                double core_spread_nu, double strength_decay_tau_rev);

/// Opt-in physics of the resolved free wake. Without it (the default of every
/// rotor) the march is the plain one: one particle per shed segment at the
/// blade, the particle core on the lifting line's own trailing segments, no
/// stretching.
struct WakePhysics {
  /// Largest particle spacing along a shed segment, as a fraction of the
  /// particle core radius (h / sigma): each segment is cut into as many
  /// particles as keep the spacing at or below it, each at its piece's
  /// midpoint with its share of the strength.
  float overlap = 1.0f;
  /// Core radius of the near wake seen by the blade: the larger of this
  /// fraction of the local chord and near_core_width of the local element width.
  double near_core_chord = 0.05;
  double near_core_width = 0.5;
  /// Steps of shed vorticity (besides the current one) that the blade sees as
  /// vortex segments with the near-wake core rather than as particles.
  std::size_t near_steps = 3;
  /// Core growth with age, r_c^2 = r_0^2 + 4 alpha_L delta nu t, with the
  /// eddy-viscosity factor delta = 1 + a1 |Gamma| / nu (Bhagwat & Leishman).
  double squire_a1 = 6.5e-5;
  double nu_m2_s = 1.5e-5;
  /// Vortex stretching of the particle strengths. Off by default: in the
  /// hover convergence study (docs/models.md) it made the thrust drift and,
  /// without the eddy-viscosity cores, tore the wake apart.
  bool stretching = false;
  /// The transposed scheme, d alpha_i/dt = alpha_j du_j/dx_i, which keeps the
  /// total strength exactly; false: the classical d alpha_i/dt = alpha_j du_i/dx_j.
  bool transposed = true;
  /// Only the stretching along each particle's own axis: its strength grows or
  /// shrinks with the stretch rate of its direction, e.G e, and keeps that
  /// direction (no tilting). Both schemes share this part.
  bool axial_stretching = false;
  /// Pedrizzetti relaxation of the strengths towards the local vorticity
  /// direction, fraction per step; 0 disables it.
  double relaxation = 0.0;
  /// Smagorinsky constant of the eddy viscosity that spreads the particle
  /// cores where the wake is strained, nu_t = (C_s sigma)^2 |S|; 0 disables it.
  double smagorinsky = 0.0;
  /// Most particles one segment is cut into.
  std::size_t max_split = 64;
  /// Relative error of the fast summation the advection uses once the wake
  /// holds fast_min_particles; 0: always the direct sum.
  double fast_rtol = 0.0;
  std::size_t fast_min_particles = 4096;
  /// Where along the chord the blade's angle of attack is taken, as a
  /// fraction of the chord behind the lifting line (the quarter chord): 0 on
  /// the line itself, 0.5 at the three-quarter chord, where the bound
  /// vorticity of the other elements is seen too and the section's own
  /// two-dimensional part of it is left to the polar (Weissinger's
  /// collocation; with a linear polar of slope 2 pi it is his L-method).
  double collocation = 0.0;
  /// In hover and climb (no edgewise flow, the air coming down through the
  /// disk), particles that drift more than this many tip radii above the disk
  /// are dropped after each step; 0 keeps them. No vorticity belongs upstream
  /// of such a disk: what gets there is the root vortices' own winding near
  /// the axis, which stretching would amplify without bound (there is no hub
  /// to stop it). Never in descent or edgewise flight.
  double upstream_cut_radii = 0.0;
  /// With stretching, only particles younger than this many revolutions are
  /// stretched; 0: all. Frozen, the older wake cannot stretch its rolled-up
  /// end any further, but neither does it answer the young wake's
  /// stretching, so the wake's impulse is no longer kept.
  double stretching_age_rev = 0.0;
  /// With stretching, the longest line element a particle may be stretched
  /// to, |alpha| / |gamma| of its filament, in its own core radii; 0: no
  /// limit. Shed at most `overlap` cores long, a particle stretched far past
  /// its core no longer overlaps its neighbours along the line, and its
  /// further growth is noise of the unresolved field (root vorticity wound
  /// near the axis grows without bound there).
  double stretching_max_length = 0.0;
};

/// The vortex filament a particle was cut from: its circulation (m^2/s, the
/// particle's strength is gamma times its piece of filament) and the
/// near-wake core radius it was shed with (m). gamma 0: not a filament piece.
struct Filament {
  float gamma = 0.0f;
  float core0 = 0.0f;
};

/// The blades during the last step of a resolved-wake march, element by
/// element (index b * n_elements + i), at the start of the step.
struct BladeSnapshot {
  std::size_t n_blades = 0;
  std::size_t n_elements = 0;
  std::vector<double> psi_rad;        ///< azimuth per blade
  std::vector<double> alpha_rad;      ///< angle of attack
  std::vector<double> phi_rad;        ///< inflow angle
  std::vector<double> cl, cd;
  std::vector<double> gamma_m2_s;     ///< bound circulation
  std::vector<double> speed_m_s;      ///< section speed (radial flow excluded)
  std::vector<double> thrust_n_per_m; ///< thrust per unit span
  std::vector<double> torque_nm_per_m;  ///< shaft torque per unit span
  /// Largest particle speed relative to the hub in the step's advection, m/s.
  double max_particle_speed_m_s = 0.0;
  /// Particles shed by the step.
  std::size_t shed = 0;
};

/// Everything that evolves between steps. A value: copies are deep, and a
/// step never changes the state it is given.
struct VpmRotorState {
  /// The free wake in hub axes, oldest particles first until a merge reorders it.
  std::optional<ParticleField> wake;
  /// Bound circulation per blade and element after the last step, m^2/s.
  std::optional<std::vector<std::vector<double>>> gamma;
  /// Azimuth of blade 0 at the start of the next step, rad, in [0, 2 pi).
  double psi = 0.0;
  std::optional<std::vector<double>> beta;         ///< flap angle per blade, rad
  std::optional<std::vector<double>> beta_dot;     ///< flap rate per blade, rad/s
  std::optional<std::vector<double>> theta_f;      ///< feathering angle per blade, rad
  std::optional<std::vector<double>> theta_f_dot;  ///< feathering rate per blade, rad/s
  /// Time since shedding of each wake particle, s, in the wake's order; kept
  /// from the empty state on and dropped once a merge combines particles.
  std::optional<std::vector<double>> wake_age_s;
  /// Resolved wake only: the filament of each wake particle, in the wake's
  /// order (dropped with the ages by a merge).
  std::optional<std::vector<Filament>> wake_filament;
  /// Resolved wake only: the blades during the step that made this state.
  std::optional<BladeSnapshot> blade;

  /// Number of wake particles carried; 0 without a wake.
  std::size_t n_particles() const { return wake ? wake->len() : 0; }
};

/// Loads of one march, hub frame.
struct VpmRotorResult {
  double thrust = 0.0;  ///< N, along -hub z
  double torque = 0.0;  ///< N m, positive brakes positive spin
  double mx_hub = 0.0;  ///< N m, about hub x
  double my_hub = 0.0;  ///< N m, about hub y
};

/// The vortex-particle rotor over polar type P (LinearPolar or TabulatedPolar).
/// Read-only after construction.
template <class P>
class VpmRotor {
 public:
  /// Discretises the blade of defn. Throws ValueError for a blade without
  /// elements or without span (radius_m == root_cutout_m), which have no
  /// valid discretisation.
  static VpmRotor create(const RotorDefinition& defn, P polar, ControlGains ctrl,
                         VpmRotorConfig config);

  /// One time step: loads of the blades at the start of the step and the
  /// state at its end. The given state is only read.
  std::pair<AeroResult, VpmRotorState> step(const RotorInputs& inputs, const VpmRotorState& state,
                                            double dt) const;

  /// The empty state a run starts from.
  VpmRotorState initial_rotor_state() const { return VpmRotorState{}; }

  /// Flight condition of one call and the hub kinematics for load assembly.
  std::pair<FlightCondition, Kinematics> flight_condition(const RotorInputs& inputs) const;

  const P& polar() const { return polar_; }
  std::size_t n_blades() const { return n_blades_; }
  std::size_t n_elements() const { return n_elements_; }
  /// Element edge radii, m, n+1 entries from the root cutout to the tip.
  const std::vector<double>& r_edge() const { return r_edge_; }
  /// Element midpoint radii, m, n entries.
  const std::vector<double>& r_mid() const { return r_mid_; }
  /// Element widths, m, n entries.
  const std::vector<double>& dr() const { return dr_; }
  /// Chord at each midpoint, m.
  const std::vector<double>& chord() const { return chord_; }
  /// Twist at each midpoint, rad.
  const std::vector<double>& twist() const { return twist_; }
  /// Core radius of particles shed at element midpoints, m.
  const std::vector<float>& sigma_mid() const { return sigma_mid_; }
  /// Core radius of particles shed at element edges and of trailing segments, m.
  const std::vector<float>& sigma_edge() const { return sigma_edge_; }
  const std::optional<FlapProperties>& flap() const { return flap_; }
  const std::optional<ServoFlapActuation>& feather() const { return feather_; }
  /// Lift-curve slope of the definition's airfoil, per rad.
  double cl_alpha() const { return cl_alpha_; }
  /// Sum of r_mid^2 chord dr over the elements, m^4.
  double feather_span_integral() const { return feather_span_integral_; }
  const ControlGains& ctrl() const { return ctrl_; }
  const VpmRotorConfig& config() const { return config_; }
  /// The resolved-wake physics, when this rotor was made with it.
  const std::optional<WakePhysics>& physics() const { return physics_; }
  /// A copy of this rotor that marches with the resolved-wake physics.
  /// Throws ValueError for options outside their range.
  VpmRotor with_physics(const WakePhysics& physics) const;
  /// Near-wake core radius at each element edge and midpoint, m (empty
  /// without physics).
  const std::vector<double>& near_core_edge() const { return near_core_edge_; }
  const std::vector<double>& near_core_mid() const { return near_core_mid_; }

 private:
  VpmRotor(P polar) : polar_(std::move(polar)) {}

  P polar_;
  std::size_t n_blades_ = 0;
  std::size_t n_elements_ = 0;
  std::vector<double> r_edge_;
  std::vector<double> r_mid_;
  std::vector<double> dr_;
  std::vector<double> chord_;
  std::vector<double> twist_;
  std::vector<float> sigma_mid_;
  std::vector<float> sigma_edge_;
  std::optional<FlapProperties> flap_;
  std::optional<ServoFlapActuation> feather_;
  double cl_alpha_ = 0.0;
  double feather_span_integral_ = 0.0;
  ControlGains ctrl_;
  VpmRotorConfig config_;
  std::optional<WakePhysics> physics_;
  std::vector<double> near_core_edge_;
  std::vector<double> near_core_mid_;
};

extern template class VpmRotor<LinearPolar>;
extern template class VpmRotor<TabulatedPolar>;

}  // namespace aerlox_rs::vpm
