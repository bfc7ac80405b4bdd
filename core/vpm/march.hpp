#pragma once
// One time step of the vortex-particle rotor, blade by blade: place the blade,
// ask the wake for its induced velocity, solve the lifting line, integrate the
// loads, shed particles, integrate flapping and feathering, advance the wake.
//
// Frame: the hub frame, in which the wake also lives. z is the shaft and
// thrust acts along -z. A blade at azimuth psi points along
// r_hat = (cos psi, -sin psi, 0) and moves along t_hat = (-sin psi, -cos psi, 0);
// the point at radius r of a blade flapped by beta sits at
// r * r_hat + (0, 0, -r * beta), so positive flap lifts the blade towards -z.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "aero_io.hpp"
#include "bem_common.hpp"
#include "vpm/common.hpp"

namespace aerlox_rs::vpm {

struct VpmRotorConfig;
struct VpmRotorState;
struct Filament;
struct VpmRotorResult;
template <class P>
class VpmRotor;

using V3 = std::array<double, 3>;

/// The operating point of one step.
struct FlightCondition {
  double collective_rad = 0.0;
  double tilt_lon = 0.0;
  double tilt_lat = 0.0;
  /// Air velocity relative to the hub in hub axes: (in-plane x, in-plane y, v_climb), m/s.
  V3 v_hub{0.0, 0.0, 0.0};
  double omega_rad_s = 0.0;  ///< spin rate, rad/s
  double rho = 0.0;          ///< air density, kg/m^3
};

/// Flight condition and hub kinematics for a rotor of tip radius r_tip.
std::pair<FlightCondition, Kinematics> flight_condition(const RotorInputs& inputs, double r_tip);

/// Radial unit vector of a blade at azimuth psi (rad).
V3 r_hat(double psi);
/// Tangential unit vector (d r_hat / d psi) of a blade at azimuth psi.
V3 t_hat(double psi);

/// Velocity at p induced by a straight vortex segment a -> b of unit
/// circulation, regularised with core radius `core` (m) so that it vanishes on
/// the segment's axis instead of diverging.
V3 segment_induced(const V3& p, const V3& a, const V3& b, double core);

/// The trailing filament an edge at radius re (m) of a blade at azimuth psi
/// (rad), flapped by beta (rad), leaves over the last step of dt (s) at spin
/// rate omega (rad/s), ue being the air's velocity relative to the edge (hub
/// axes, m/s). What was shed a fraction s of the step ago left the edge where
/// it stood then, on the arc s omega dt back, and has drifted since with the
/// air (ue without the blade's own motion): so the legs of successive steps
/// meet instead of each leaving along the tangent. Returns the m + 1 points of
/// its m pieces, from the edge backwards, the pieces no longer than `piece`
/// (m; at most max_split of them; piece <= 0: one piece).
std::vector<V3> trailing_path(double re, double psi, double beta, double omega, double dt, const V3& ue,
                              double piece, std::size_t max_split);

/// Semi-implicit Euler step of the blade flap equation for every blade.
/// m_beta: aerodynamic flap moment per blade (N m); beta, beta_dot updated in place.
void integrate_flap(std::span<double> beta, std::span<double> beta_dot,
                    std::span<const double> m_beta, double i_flap_kgm2, double omega_nr_rad_s,
                    double omega, double dt);

/// Feathering step with an implicit damper for every blade. m_theta: feathering
/// moment per blade (N m); theta_f, theta_f_dot updated in place.
/// k_aero is the aerodynamic feathering stiffness (N m / rad).
void integrate_feather(std::span<double> theta_f, std::span<double> theta_f_dot,
                       std::span<const double> m_theta, double i_theta_kgm2, double damper,
                       double k_aero, double dt);

/// Removes the first k particles of f (the oldest), keeping the order of the
/// rest. k must not exceed f.len().
void drain_front(ParticleField& f, std::size_t k);

/// Advances the wake by dt after a step's shedding: advection by the wake's own
/// velocity plus the free stream v_hub (hub axes, m/s), the particle cap,
/// core spreading, strength decay and the merge schedule. psi0 is the azimuth
/// at the start of the step and omega the spin rate. age_s, when given and
/// holding a value, is the particles' age (one per particle): it grows by dt,
/// follows the cap and is reset to nothing by a merge.
void advance_wake(ParticleField& wake, const VpmRotorConfig& config, const V3& v_hub, double dt,
                  double omega, double psi0,
                  std::optional<std::vector<double>>* age_s = nullptr);

/// Everything a step does to the wake after moving it: ages grow by dt, the
/// cap drops the oldest particles, then core spreading, strength decay and the
/// merge schedule. filament, when given and holding a value, follows the cap
/// and is dropped by a merge like the ages.
void settle_wake(ParticleField& wake, const VpmRotorConfig& config, double dt, double omega, double psi0,
                 std::optional<std::vector<double>>* age_s, std::optional<std::vector<Filament>>* filament);

/// Advances blades and wake of `rotor` by one step of dt seconds from azimuth
/// psi0, starting from `state` (may be null: the empty state). Returns the
/// loads at the start of the step and the state at its end.
template <class P>
std::pair<VpmRotorResult, VpmRotorState> march_window(const VpmRotor<P>& rotor,
                                                      const FlightCondition& fc,
                                                      const VpmRotorState* state, double psi0,
                                                      double dt);

/// Accumulated wall time of the wake evaluations made inside steps. For
/// benchmarks: install one with set_wake_eval_clock, step, read it back.
struct WakeEvalClock {
  std::uint64_t blade_eval_ns = 0;  ///< lifting-line targets against the wake
  std::uint64_t advect_ns = 0;      ///< advection (two evaluations of the wake on itself)
  std::uint64_t blade_evals = 0;
  std::uint64_t advects = 0;
};

/// Installs (or with nullptr removes) the clock that steps report into. Not
/// meant for concurrent steps on several threads.
void set_wake_eval_clock(WakeEvalClock* clock);

}  // namespace aerlox_rs::vpm
