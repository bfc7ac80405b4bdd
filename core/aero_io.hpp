#pragma once
// Operating inputs, load results and the small fixed-size algebra they use.
//
// Frames: the hub frame's z axis is the shaft; R_hub rotates hub-frame vectors
// into the world frame. Thrust acts along -z_hub, so induced flow runs along
// +z_hub and a positive axial air speed through the disk is climb.
#include <array>
#include <cmath>
#include <string>

namespace aerlox_rs {

/// Three doubles (x, y, z).
struct Vec3 {
  std::array<double, 3> v{0.0, 0.0, 0.0};

  constexpr double operator[](std::size_t i) const { return v[i]; }
  constexpr double& operator[](std::size_t i) { return v[i]; }
  constexpr double x() const { return v[0]; }
  constexpr double y() const { return v[1]; }
  constexpr double z() const { return v[2]; }

  friend constexpr Vec3 operator-(const Vec3& a, const Vec3& b) {
    return Vec3{{a.v[0] - b.v[0], a.v[1] - b.v[1], a.v[2] - b.v[2]}};
  }
  friend constexpr Vec3 operator*(const Vec3& a, double s) {
    return Vec3{{a.v[0] * s, a.v[1] * s, a.v[2] * s}};
  }
  constexpr double dot(const Vec3& o) const {
    return v[0] * o.v[0] + v[1] * o.v[1] + v[2] * o.v[2];
  }
  double norm() const { return std::sqrt(dot(*this)); }
  friend bool operator==(const Vec3&, const Vec3&) = default;
};

/// Row-major 3x3 matrix of doubles.
struct Mat3 {
  std::array<std::array<double, 3>, 3> m{};

  static constexpr Mat3 identity() {
    return Mat3{{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}}};
  }
  constexpr Mat3 transpose() const {
    Mat3 t;
    for (std::size_t i = 0; i < 3; ++i)
      for (std::size_t j = 0; j < 3; ++j) t.m[i][j] = m[j][i];
    return t;
  }
  /// Row i dotted with the vector gives component i.
  friend constexpr Vec3 operator*(const Mat3& a, const Vec3& b) {
    Vec3 r;
    for (std::size_t i = 0; i < 3; ++i)
      r.v[i] = a.m[i][0] * b.v[0] + a.m[i][1] * b.v[1] + a.m[i][2] * b.v[2];
    return r;
  }
  /// Third column: the hub z axis in world coordinates when this is R_hub.
  constexpr Vec3 col2() const { return Vec3{{m[0][2], m[1][2], m[2][2]}}; }
  friend bool operator==(const Mat3&, const Mat3&) = default;
};

/// "Vec3([x, y, z])" with each component in the debug number form.
std::string vec3_debug(const Vec3& v);

/// One call's operating point.
struct RotorInputs {
  double collective_rad = 0.0;  ///< collective pitch, rad
  double tilt_lon = 0.0;        ///< longitudinal swashplate tilt, rad
  double tilt_lat = 0.0;        ///< lateral swashplate tilt, rad
  Mat3 R_hub = Mat3::identity();  ///< hub-to-world rotation
  Vec3 v_hub_world;             ///< hub velocity, world frame, m/s
  Vec3 wind_world;              ///< wind velocity, world frame, m/s
  double rho_kg_m3 = 1.225;     ///< air density, kg/m^3
  double omega_rad_s = 0.0;     ///< spin rate about hub z, rad/s
};

/// One call's loads.
struct AeroResult {
  Vec3 F_world;      ///< force on the hub, world frame, N
  Vec3 M_hub_world;  ///< moment about the hub centre, world frame, N m
  double Q_spin = 0.0;  ///< shaft torque, N m (positive brakes positive spin)
  Vec3 M_spin;       ///< Q_spin times the hub z axis, world frame
};

}  // namespace aerlox_rs
