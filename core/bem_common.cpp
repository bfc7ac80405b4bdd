#include "bem_common.hpp"

#include <algorithm>

#include "cyclic.hpp"
#include "servoflap.hpp"

namespace aerlox_rs {

Kinematics kinematics(const RotorInputs& inputs, double omega, double r_tip) {
  Kinematics k;
  const Mat3& R = inputs.R_hub;
  k.hub_axis = R * Vec3{{0.0, 0.0, 1.0}};
  const Vec3 v_rel = inputs.wind_world - inputs.v_hub_world;
  k.v_climb = k.hub_axis.dot(v_rel);
  k.v_inplane = v_rel - k.hub_axis * k.v_climb;
  k.v_edge = k.v_inplane.norm();
  k.omega_r = omega * r_tip;
  k.mu = k.v_edge / std::max(k.omega_r, 1e-6);
  k.v_inplane_hub = R.transpose() * k.v_inplane;
  return k;
}

AeroResult assemble_result(double t_total, double q_total, double mx_hub, double my_hub,
                           double fx_hub, double fy_hub, const Vec3& hub_axis, const Mat3& r_hub) {
  AeroResult r;
  r.F_world = r_hub * Vec3{{fx_hub, fy_hub, -t_total}};
  r.M_hub_world = r_hub * Vec3{{mx_hub, my_hub, 0.0}};
  r.Q_spin = q_total;
  r.M_spin = hub_axis * q_total;
  return r;
}

RadialGrid RadialGrid::from_blade(const BladeGeometry& blade) {
  const std::size_t n = blade.n_elements;
  AERLOX_ASSERT(n <= MAX_BEM_ELEMENTS);
  RadialGrid g;
  const double R = blade.radius_m;
  const double r0 = blade.root_cutout_m;
  g.n_elements = n;
  g.dr = (R - r0) / static_cast<double>(n);
  const bool stations = blade.has_radial_stations();
  for (std::size_t i = 0; i < n; ++i) {
    // Cell-centred: half an element in from the root and from the tip.
    const double r = r0 + g.dr * (static_cast<double>(i) + 0.5);
    g.r_mid[i] = r;
    g.x_mid[i] = R > 0.0 ? r / R : 0.0;
    if (stations) {
      g.chord[i] = lerp_clamped(r, blade.r_stations_m, blade.chord_stations_m);
      // Interpolated in degrees, then converted.
      g.twist_rad[i] = lerp_clamped(r, blade.r_stations_m, blade.twist_stations_deg) * DEG_TO_RAD;
    } else {
      g.chord[i] = blade.chord_m;
      g.twist_rad[i] = blade.twist_deg * DEG_TO_RAD;
    }
  }
  g.x_hub = R > 0.0 ? r0 / R : 0.0;
  return g;
}

void SpanwiseView::prepare(const RadialGrid& grid, std::size_t n_psi_elements) const {
  AERLOX_ASSERT(n_r == grid.n_elements && n_psi == n_psi_elements);
  AERLOX_ASSERT(n_r <= MAX_BEM_ELEMENTS);
  for (double* f : field) AERLOX_ASSERT(f != nullptr || n_psi * n_r == 0);
  for (std::size_t k = 0; k < n_psi; ++k)
    for (std::size_t i = 0; i < n_r; ++i) field[kSpanRadius][k * n_r + i] = grid.r_mid[i];
}

void SpanwiseView::skip(std::size_t j) const {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t f : {kSpanAlpha, kSpanPhi, kSpanCl, kSpanCd, kSpanInflowRatio, kSpanQDyn})
    field[f][j] = nan;
  field[kSpanThrust][j] = 0.0;
  field[kSpanTorque][j] = 0.0;
}

std::vector<double> station_azimuths(std::size_t n_psi) {
  std::vector<double> a(n_psi);
  const double inv = n_psi > 0 ? 1.0 / static_cast<double>(n_psi) : 0.0;
  // The azimuth table's own formula, so the angles match its stations.
  for (std::size_t k = 0; k < n_psi; ++k) a[k] = (static_cast<double>(k) * TWO_PI) * inv;
  return a;
}

SpanwiseLoads SpanwiseLoads::shaped(const RadialGrid& grid, std::size_t n_psi,
                                    std::size_t n_blades) {
  SpanwiseLoads s;
  s.n_psi = n_psi;
  s.n_r = grid.n_elements;
  s.n_blades = n_blades;
  for (auto* v : {&s.radius_m, &s.alpha_rad, &s.phi_rad, &s.cl, &s.cd, &s.inflow_ratio, &s.q_dyn_pa,
                  &s.thrust_n, &s.torque_nm})
    v->resize(n_psi * s.n_r);
  return s;
}

SpanwiseView SpanwiseLoads::view() {
  return SpanwiseView{n_psi, n_r, n_blades,
                      {radius_m.data(), alpha_rad.data(), phi_rad.data(), cl.data(), cd.data(),
                       inflow_ratio.data(), q_dyn_pa.data(), thrust_n.data(), torque_nm.data()}};
}

std::vector<std::pair<double, double>> build_psi_trig_table(std::size_t n_psi) {
  AERLOX_ASSERT(n_psi > 0);
  std::vector<std::pair<double, double>> t;
  t.reserve(n_psi);
  const double inv = 1.0 / static_cast<double>(n_psi);
  for (std::size_t i = 0; i < n_psi; ++i) {
    const double psi = (static_cast<double>(i) * TWO_PI) * inv;
    const auto [s, c] = sin_cos(psi);
    t.emplace_back(c, s);
  }
  return t;
}

PitchSchedule pitch_schedule(const RotorDefinition& defn, const RotorInputs& inputs,
                             const Kinematics& kin) {
  PitchSchedule p;
  const auto [t1c, t1s] = cyclic_coeffs(inputs.tilt_lon, inputs.tilt_lat, defn.control_gains());
  p.sw_1c = t1c;
  p.sw_1s = t1s;
  p.theta_0 = inputs.collective_rad;
  p.theta_1c = t1c;
  p.theta_1s = t1s;
  if (const ServoFlapActuation* act = defn.servoflap()) {
    const FeatheringState f =
        solve_feathering(*act, inputs.collective_rad, t1c, t1s, inputs.rho_kg_m3,
                         inputs.omega_rad_s, kin.mu, defn.blade.radius_m, defn.blade.chord_m,
                         defn.airfoil.CL_alpha_per_rad);
    p.theta_0 = f.delta_theta_0;
    p.theta_1c = f.delta_theta_1c;
    p.theta_1s = f.delta_theta_1s;
    p.feathered = true;
  }
  return p;
}

VrsRegime vrs_regime(double t_total, double v_climb, double rho, double area) {
  VrsRegime v;
  const double t_pos = std::fmax(t_total, 0.0);
  v.v_h = t_pos > 1e-6 ? std::sqrt(t_pos / (2.0 * rho * area)) : 0.0;
  const double v_descent = std::fmax(-v_climb, 0.0);
  v.lam2 = v.v_h > 0.001 ? v_descent / v.v_h : 0.0;
  v.in_vrs = v.lam2 > 0.0 && v.lam2 < 2.0 && v_climb < -0.001;
  return v;
}

double vrs_lambda1(double k) {
  const double k2 = k * k;
  const double k3 = k2 * k;
  const double k4 = k3 * k;
  return 1.0 + 1.125 * k - 1.372 * k2 + 1.718 * k3 - 0.655 * k4;
}

double v_mass_flow_disk(double v_edge, double v_climb, double v0_axial, double omega_r) {
  const double axial = v_climb + v0_axial;
  // fmax: a NaN on one side yields the other.
  return std::fmax(std::sqrt(v_edge * v_edge + axial * axial), 0.01 * std::fmax(omega_r, 1.0));
}

FlapOutput apply_flap_dynamics(double t_total, double mx_hub, double my_hub,
                               const std::optional<FlapProperties>& flap, const RadialGrid& grid,
                               double cl_alpha, double rho, std::size_t n_b, double omega) {
  FlapOutput out{mx_hub, my_hub, 0.0, 0.0};
  if (!flap || !(std::fabs(omega) >= 1e-6) || !(flap->I_blade_flap_kgm2 > 0.0)) return out;
  const double inertia = flap->I_blade_flap_kgm2;
  const std::size_t n = grid.n_elements;
  double sigma = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double r = at(grid.r_mid, i);
    sigma += at(grid.chord, i) * (r * r * r) * grid.dr;
  }
  const double nb = static_cast<double>(n_b);
  // Rotating flap stiffness beyond the centrifugal part.
  const double k = flap->nu_beta_sq(omega) - 1.0;
  // Half the Lock number.
  const double j = 0.5 * rho * cl_alpha * sigma / inertia;
  const double a_c = my_hub;
  const double a_s = mx_hub;
  const double m_c = 2.0 * a_c / nb;
  const double m_s = 2.0 * a_s / nb;
  const double omega2 = omega * omega;
  const double d = omega2 * inertia * (k * k + j * j);
  const double beta_c = (k * m_c - j * m_s) / d;
  const double beta_s = (k * m_s + j * m_c) / d;
  const double k_beta = nb / 2.0 * inertia * omega2 * k;
  out.mx_out = k_beta * beta_s;
  out.my_out = k_beta * beta_c;
  out.dfx_hub = -0.5 * t_total * beta_c;
  out.dfy_hub = 0.5 * t_total * beta_s;
  return out;
}

AeroResult finish_loads(const SweepSums& sums, const RotorDefinition& defn, const RadialGrid& grid,
                        const RotorInputs& inputs, const Kinematics& kin) {
  const FlapOutput f =
      apply_flap_dynamics(sums.t_total, sums.mx_hub, sums.my_hub, defn.flap, grid,
                          defn.airfoil.CL_alpha_per_rad, inputs.rho_kg_m3, defn.blade.n_blades,
                          inputs.omega_rad_s);
  return assemble_result(sums.t_total, sums.q_total, f.mx_out, f.my_out, sums.fx_hub + f.dfx_hub,
                         sums.fy_hub + f.dfy_hub, kin.hub_axis, inputs.R_hub);
}

}  // namespace aerlox_rs
