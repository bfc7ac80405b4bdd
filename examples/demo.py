"""aerlox demonstration: a 2-bladed, 1 m rotor from definition to loads.

Run with `make demo`. Each section prints a short table.
"""
from __future__ import annotations

import math

import numpy as np

import aerlox as ax


def build_rotor() -> ax.RotorDefinition:
    """A 2-bladed, 1 m radius rotor with linear taper and washout."""
    blade = ax.BladeGeometry(
        n_blades=2, radius_m=1.0, root_cutout_m=0.15, chord_m=0.08, twist_deg=-8.0,
        n_elements=20,
        r_stations_m=[0.15, 0.6, 1.0], chord_stations_m=[0.10, 0.08, 0.06],
        twist_stations_deg=[-2.0, -7.0, -11.0],
    )
    airfoil = ax.LinearPolarParameters(CL0=0.0, CL_alpha_per_rad=5.7, CD0=0.011, alpha_stall_deg=14.0)
    control = ax.ControlProperties(swashplate_pitch_gain_rad=1.0, swashplate_phase_deg=None)
    flap = ax.FlapProperties(I_blade_flap_kgm2=0.05, omega_nr_rad_s=8.0)
    return ax.RotorDefinition(blade, airfoil, control, "demo-2b", "2-bladed 1 m demo rotor", flap=flap)


def section(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def show_geometry(defn: ax.RotorDefinition) -> None:
    b = defn.blade
    section("Blade geometry")
    print(f"blades {b.n_blades}, R = {b.radius_m} m, root cutout {b.root_cutout_m} m, "
          f"{b.n_elements} elements")
    print(f"span {b.span_m:.3f} m, r_cp {b.r_cp_m:.4f} m, disk area {b.disk_area_m2:.4f} m^2, "
          f"solidity {b.solidity:.4f}")
    print(f"{'r [m]':>8} {'chord [m]':>10} {'twist [deg]':>12}")
    for r in np.linspace(b.root_cutout_m, b.radius_m, 6):
        print(f"{r:8.3f} {b.chord_at(r):10.4f} {b.twist_at(r):12.3f}")


def show_polar(defn: ax.RotorDefinition) -> ax.LinearPolar:
    polar = ax.LinearPolar.from_properties(defn.airfoil)
    section("Airfoil polar")
    print(polar)
    alpha_deg = np.array([-20.0, -10.0, 0.0, 5.0, 10.0, 14.0, 20.0])
    cl, cd = polar.cl_cd_arr(np.radians(alpha_deg))
    print(f"{'alpha [deg]':>12} {'cl':>8} {'cd':>8}")
    for a, l, d in zip(alpha_deg, cl, cd):
        print(f"{a:12.1f} {l:8.4f} {d:8.4f}")
    return polar


def show_cyclic(defn: ax.RotorDefinition) -> None:
    section("Swashplate tilt to cyclic pitch")
    phased = ax.ControlProperties(1.0, 20.0)
    print(f"{'tilt_lon':>9} {'tilt_lat':>9} {'th1c':>9} {'th1s':>9} {'th1c@20deg':>11} {'th1s@20deg':>11}")
    for lon, lat in [(0.05, 0.0), (0.0, 0.05), (0.03, -0.02)]:
        c, s = ax.cyclic_coeffs(lon, lat, defn.control)
        cp, sp = ax.cyclic_coeffs(lon, lat, phased)
        print(f"{lon:9.3f} {lat:9.3f} {c:9.4f} {s:9.4f} {cp:11.4f} {sp:11.4f}")


def spin_up() -> None:
    """Motor spin-up against an aerodynamic torque growing with omega^2."""
    section("Spin-up with step_omega (motor 6 N m, q_aero = 4e-4 omega^2, I = 0.02 kg m^2)")
    omega, dt, inertia = 0.0, 0.01, 0.02
    print(f"{'t [s]':>6} {'omega [rad/s]':>14} {'q_aero [N m]':>13} {'domega/dt':>10}")
    for k in range(301):
        q = 4e-4 * omega * omega
        if k % 50 == 0:
            d = ax.omega_derivative(omega, q, 6.0, inertia, bearing_friction_nm=0.05)
            print(f"{k * dt:6.2f} {omega:14.3f} {q:13.4f} {d:10.3f}")
        omega = ax.step_omega(omega, q, 6.0, inertia, dt, bearing_friction_nm=0.05)
    steady = math.sqrt((6.0 - 0.05) / 4e-4)
    print(f"steady state from the torque balance: {steady:.3f} rad/s")


def main() -> None:
    defn = build_rotor()
    show_geometry(defn)
    show_polar(defn)
    show_cyclic(defn)
    spin_up()


if __name__ == "__main__":
    main()
