#pragma once
// The static description of a rotor: blades, airfoil, control linkage,
// pitch actuation and optional flapping. Plain values, copied into models.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "cyclic.hpp"
#include "polar.hpp"

namespace aerlox_rs {

/// Linear interpolation in a station table, clamped to its end values.
/// Needs xs.size() >= 2 and ys.size() == xs.size(); xs ascending.
double lerp_clamped(double r, std::span<const double> xs, std::span<const double> ys);

struct BladeGeometry {
  std::size_t n_blades = 0;
  double radius_m = 0.0;       ///< tip radius R, m
  double root_cutout_m = 0.0;  ///< where the lifting blade starts, m
  double chord_m = 0.0;        ///< uniform chord, m (no stations)
  double twist_deg = 0.0;      ///< uniform twist, deg (no stations)
  std::size_t n_elements = 0;  ///< radial elements the models use
  bool tip_loss = true;        ///< Prandtl tip/hub losses in the BEM models
  std::vector<double> r_stations_m;
  std::vector<double> chord_stations_m;
  std::vector<double> twist_stations_deg;

  double span_m() const { return radius_m - root_cutout_m; }
  double r_cp_m() const { return root_cutout_m + (radius_m - root_cutout_m) * 0.6666666666666666; }
  /// The swept annulus, not the full disk.
  double disk_area_m2() const {
    return (radius_m * radius_m - root_cutout_m * root_cutout_m) * 3.141592653589793;
  }
  /// Uses the uniform chord even when stations exist.
  double solidity() const {
    return static_cast<double>(n_blades) * chord_m / (radius_m * 3.141592653589793);
  }
  bool has_radial_stations() const {
    return r_stations_m.size() >= 2 && chord_stations_m.size() == r_stations_m.size() &&
           twist_stations_deg.size() == r_stations_m.size();
  }
  double chord_at(double r) const {
    return has_radial_stations() ? lerp_clamped(r, r_stations_m, chord_stations_m) : chord_m;
  }
  /// Degrees.
  double twist_at(double r) const {
    return has_radial_stations() ? lerp_clamped(r, r_stations_m, twist_stations_deg) : twist_deg;
  }
};

struct ControlProperties {
  double swashplate_pitch_gain_rad = 1.0;
  std::optional<double> swashplate_phase_deg;
};

struct FlapProperties {
  double I_blade_flap_kgm2 = 0.0;  ///< flapping inertia about the hinge
  double omega_nr_rad_s = 0.0;     ///< non-rotating flap natural frequency
  /// Square of the rotating flap frequency ratio at spin rate omega.
  double nu_beta_sq(double omega) const {
    const double q = omega_nr_rad_s / omega;
    return 1.0 + q * q;
  }
};

struct ServoFlapGeometry {
  double C_M_delta_per_rad = 0.0;
  double r_inner_m = 0.0;
  double r_outer_m = 0.0;
};

struct ServoFlapActuation {
  double I_theta_kgm2 = 0.0;
  double damper_Nms_per_rad = 0.0;
  double ac_offset_m = 0.0;
  double blade_Cm_AC = 0.0;
  ServoFlapGeometry flap;
};

/// The swashplate sets the blade pitch directly.
struct DirectMechanical {};
/// The swashplate deflects a servo flap; the blade feathers in response.
struct ServoFlap {
  ServoFlapActuation actuation;
};
using PitchActuation = std::variant<DirectMechanical, ServoFlap>;

/// Swashplate gains of an optional control record: gain 1 and phase 0 when
/// absent, phase 0 when the record has none.
ControlGains control_gains(const std::optional<ControlProperties>& control);

struct RotorDefinition {
  BladeGeometry blade;
  LinearPolarParameters airfoil;
  std::optional<ControlProperties> control;
  PitchActuation pitch_actuation = DirectMechanical{};
  std::optional<FlapProperties> flap;  ///< absent: rigid blade
  std::string name;
  std::string description;

  bool is_servoflap() const { return std::holds_alternative<ServoFlap>(pitch_actuation); }
  const ServoFlapActuation* servoflap() const {
    const auto* s = std::get_if<ServoFlap>(&pitch_actuation);
    return s ? &s->actuation : nullptr;
  }
  ControlGains control_gains() const { return aerlox_rs::control_gains(control); }
};

}  // namespace aerlox_rs
