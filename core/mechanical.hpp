#pragma once
// Rotor spin dynamics: I * d(omega)/dt = motor - q_aero - friction.
//
// The aerodynamic torque is roughly proportional to omega (in fact to omega^2,
// but frozen over one step as a linear damping q_aero = (q_aero/omega)*omega),
// which makes an explicit step stiff for light rotors. step_omega therefore
// lets that damping act on the new rate (a backward-Euler step of the frozen
// lag) and keeps the explicit step only where the damping is absent or drives
// the rotor. A step never carries the rate through zero: Coulomb friction and
// a braking torque stop a rotor, they do not reverse it.
namespace aerlox_rs::mechanical {

/// Coulomb bearing friction: +f for omega > 0, -f for omega < 0, 0 at rest (or NaN).
double friction_torque(double omega, double bearing_friction_nm);

/// d(omega)/dt, rad/s^2.
double omega_derivative(double omega, double q_aero, double motor_torque_nm, double i_ode_kgm2,
                        double bearing_friction_nm);

/// 0 when the step crossed zero from a non-zero rate, else omega_new.
double clamp_zero_crossing(double omega, double omega_new);

/// Spin rate after one step of length dt (semi-implicit in the aerodynamic damping).
double step_omega(double omega, double q_aero, double motor_torque_nm, double i_ode_kgm2,
                  double dt, double bearing_friction_nm);

}  // namespace aerlox_rs::mechanical
