#pragma once
// Rotors and operating points shared by the blade-element tests.
#include <cmath>

#include "aero_io.hpp"
#include "polar.hpp"
#include "rotor_definition.hpp"

namespace aerlox_test {

using namespace aerlox_rs;

/// A small two-bladed rotor: R = 0.8 m, 20 elements, -12 deg linear twist
/// (+6 deg at the root, -6 deg at the tip).
inline RotorDefinition small_rotor(std::size_t n_elements = 20, bool tip_loss = true) {
  RotorDefinition d;
  d.blade.n_blades = 2;
  d.blade.radius_m = 0.8;
  d.blade.root_cutout_m = 0.12;
  d.blade.chord_m = 0.06;
  d.blade.twist_deg = -8.0;
  d.blade.n_elements = n_elements;
  d.blade.tip_loss = tip_loss;
  d.blade.r_stations_m = {0.12, 0.8};
  d.blade.chord_stations_m = {0.06, 0.06};
  d.blade.twist_stations_deg = {6.0, -6.0};
  d.airfoil = {0.0, 5.7, 0.011, 14.0};
  d.name = "small";
  return d;
}

inline LinearPolar polar_of(const RotorDefinition& d) {
  return LinearPolar::from_properties(d.airfoil);
}

/// The linear polar sampled every 0.25 deg from -90 to 90 deg (the stall
/// angle falls on a row, so interpolation reproduces it to rounding).
inline TabulatedPolar sampled_table(const LinearPolar& p) {
  std::vector<double> a, cl, cd;
  for (int k = -360; k <= 360; ++k) {
    const double alpha = k * 0.25 * DEG_TO_RAD;
    const auto [l, dd] = p.cl_cd(alpha);
    a.push_back(alpha);
    cl.push_back(l);
    cd.push_back(dd);
  }
  return TabulatedPolar(a, cl, cd);
}

/// Hover (or axial flight with axial air speed v_climb) at spin omega.
inline RotorInputs axial_inputs(double collective_deg, double omega, double v_climb = 0.0) {
  RotorInputs in;
  in.collective_rad = collective_deg * DEG_TO_RAD;
  in.omega_rad_s = omega;
  in.rho_kg_m3 = 1.225;
  in.wind_world = Vec3{{0.0, 0.0, v_climb}};
  return in;
}

/// Edgewise flight at advance ratio mu along world +x (identity hub).
inline RotorInputs forward_inputs(double collective_deg, double omega, double r_tip, double mu) {
  RotorInputs in = axial_inputs(collective_deg, omega);
  in.v_hub_world = Vec3{{mu * omega * r_tip, 0.0, 0.0}};
  return in;
}

/// Rotation about unit axis (ax, ay, az) by angle a.
inline Mat3 rotation(double ax, double ay, double az, double a) {
  const double c = std::cos(a), s = std::sin(a), t = 1.0 - c;
  return Mat3{{{{t * ax * ax + c, t * ax * ay - s * az, t * ax * az + s * ay},
                {t * ax * ay + s * az, t * ay * ay + c, t * ay * az - s * ax},
                {t * ax * az - s * ay, t * ay * az + s * ax, t * az * az + c}}}};
}

inline double rel_diff(double a, double b) {
  return std::fabs(a - b) / std::fmax(std::fmax(std::fabs(a), std::fabs(b)), 1e-300);
}

}  // namespace aerlox_test
