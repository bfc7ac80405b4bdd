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
        twist_stations_deg=[0.0, -4.0, -7.0],
    )
    airfoil = ax.LinearPolarParameters(CL0=0.0, CL_alpha_per_rad=5.7, CD0=0.011, alpha_stall_deg=14.0)
    control = ax.ControlProperties(swashplate_pitch_gain_rad=1.0, swashplate_phase_deg=None)
    flap = ax.FlapProperties(I_blade_flap_kgm2=0.3, omega_nr_rad_s=120.0)
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


OMEGA = 120.0  # rad/s, tip speed 120 m/s
RHO = 1.225


def inputs(collective: float, v_hub=(0.0, 0.0, 0.0), tilt_lon: float = 0.0, tilt_lat: float = 0.0,
           omega: float = OMEGA) -> ax.RotorInputs:
    return ax.RotorInputs(collective, tilt_lon, tilt_lat, np.eye(3), np.array(v_hub, dtype=float),
                          np.zeros(3), omega, RHO)


def hover_sweep(defn: ax.RotorDefinition, polar: ax.LinearPolar) -> None:
    """Thrust and power against collective, beside ideal momentum theory."""
    section(f"Hover sweep, quasi-static BEM (Omega = {OMEGA} rad/s)")
    qs = ax._QuasiStaticBEMLinear(defn, polar, 36)
    area = math.pi * defn.blade.radius_m ** 2
    print(f"{'coll [deg]':>10} {'T [N]':>9} {'Q [N m]':>9} {'P [W]':>9} {'P_ideal [W]':>12} {'FM':>6}")
    for deg in (6.0, 8.0, 10.0, 12.0, 14.0):
        r, _ = qs.compute_forces(inputs(math.radians(deg)), qs.initial_rotor_state())
        thrust = -r.F_world[2]
        power = r.Q_spin * OMEGA
        ideal = thrust ** 1.5 / math.sqrt(2.0 * RHO * area) if thrust > 0 else 0.0
        fm = ideal / power if power > 0 else float("nan")
        print(f"{deg:10.1f} {thrust:9.2f} {r.Q_spin:9.3f} {power:9.1f} {ideal:12.1f} {fm:6.3f}")


def forward_flight(defn: ax.RotorDefinition, polar: ax.LinearPolar) -> None:
    """Hub loads against advance ratio (the hub flies along -x, air comes from +x)."""
    section("Forward flight, quasi-static BEM, collective 12 deg, 36 azimuth stations")
    qs = ax._QuasiStaticBEMLinear(defn, polar, 36)
    tip = OMEGA * defn.blade.radius_m
    print(f"{'mu':>5} {'Fx [N]':>8} {'Fy [N]':>8} {'T [N]':>8} {'Mx [N m]':>9} {'My [N m]':>9} {'Q [N m]':>8}")
    for mu in (0.0, 0.05, 0.1, 0.15, 0.2, 0.25, 0.3):
        r, _ = qs.compute_forces(inputs(math.radians(12.0), v_hub=(-mu * tip, 0.0, 0.0)),
                                 qs.initial_rotor_state())
        f, m = r.F_world, r.m_hub_world
        print(f"{mu:5.2f} {f[0]:8.3f} {f[1]:8.3f} {-f[2]:8.2f} {m[0]:9.4f} {m[1]:9.4f} {r.Q_spin:8.3f}")


def trim_forward_flight(defn: ax.RotorDefinition, polar: ax.LinearPolar) -> None:
    """Trim the swashplate tilt to zero hub moment at advance ratio 0.15.

    The trim nulls My with the longitudinal tilt and Mx with the lateral tilt,
    without cross derivatives, so it suits rotors whose flap response lags the
    pitch input by well under 90 degrees: a stiff hub (omega_nr = Omega here) or
    a swashplate phase that compensates the lag.
    """
    section("Cyclic trim to zero hub moment, mu = 0.15, collective 12 deg")
    tip = OMEGA * defn.blade.radius_m
    base = inputs(math.radians(12.0), v_hub=(-0.15 * tip, 0.0, 0.0))
    print(f"{'model':<12} {'tilt_lon [deg]':>14} {'tilt_lat [deg]':>14} {'Mx res':>9} {'My res':>9} "
          f"{'iter':>5} {'conv':>5}")
    for label, model in (("quasi-static", ax._QuasiStaticBEMLinear(defn, polar, 36)),
                         ("Pitt-Peters", ax._PittPetersModelLinear(defn, polar, 36))):
        t = ax.solve_trim_cyclic_py(model, model.initial_rotor_state(), base)
        print(f"{label:<12} {math.degrees(t.tilt_lon):14.4f} {math.degrees(t.tilt_lat):14.4f} "
              f"{t.Mx_residual:9.4f} {t.My_residual:9.4f} {t.iterations:5d} {str(t.converged):>5}")


def collective_step(defn: ax.RotorDefinition, polar: ax.LinearPolar) -> None:
    """Pitt-Peters uniform inflow after a collective step from 6 to 9 deg in hover."""
    section("Pitt-Peters collective step 10 -> 13 deg in hover (dt = 5 ms)")
    pp = ax._PittPetersModelLinear(defn, polar, 36)
    state = ax.relax_inflow_py(pp, pp.initial_rotor_state(), inputs(math.radians(10.0)), n_steps=400)
    step_in = inputs(math.radians(13.0))
    tau0 = pp.inflow_taus(step_in, state)[0]
    print(f"time constant of the uniform inflow at the step: {tau0 * 1000:.1f} ms")
    print(f"{'t [ms]':>7} {'lambda_0':>10} {'T [N]':>8}")
    for k in range(41):
        r, nxt = pp.step(step_in, state, 0.005)
        if k % 5 == 0:
            print(f"{k * 5:7d} {state.lambda_0:10.5f} {-r.F_world[2]:8.2f}")
        state = nxt


def vortex_hover(defn: ax.RotorDefinition, polar: ax.LinearPolar) -> None:
    """Free-wake hover from rest: thrust per revolution beside the inflow models."""
    coll = math.radians(12.0)
    steps_per_rev, revs = 18, 8
    dt = 2.0 * math.pi / steps_per_rev / OMEGA
    section(f"Vortex-particle rotor, hover from rest, collective 12 deg, {steps_per_rev} steps/rev")
    hover = inputs(coll)
    qs = ax._QuasiStaticBEMLinear(defn, polar, 36)
    t_qs = -qs.compute_forces(hover, qs.initial_rotor_state())[0].F_world[2]
    pp = ax._PittPetersModelLinear(defn, polar, 36)
    pp_state = ax.relax_inflow_py(pp, pp.initial_rotor_state(), hover, n_steps=400)
    t_pp = -pp.compute_forces(hover, pp_state)[0].F_world[2]

    # A cap that holds the whole run: a truncated wake induces too little inflow.
    vpm = ax._VpmRotorLinear(defn, polar, max_particles=12000)
    state = vpm.initial_rotor_state()
    thrusts, counts = [], []
    print(f"{'rev':>4} {'T_vpm [N]':>10} {'T_qs [N]':>9} {'T_pp [N]':>9} {'Q_vpm [N m]':>12} {'particles':>10}")
    for rev in range(revs):
        thrust = torque = 0.0
        for _ in range(steps_per_rev):
            result, state = vpm.step(hover, state, dt)
            thrusts.append(-result.F_world[2])
            counts.append(state.n_particles)
            thrust += -result.F_world[2] / steps_per_rev
            torque += result.Q_spin / steps_per_rev
        print(f"{rev + 1:4d} {thrust:10.2f} {t_qs:9.2f} {t_pp:9.2f} {torque:12.3f} {state.n_particles:10d}")
    save_wake_picture(thrusts, counts)


def save_wake_picture(thrusts: list, counts: list) -> None:
    """Thrust and wake size over the run, saved as a PNG when matplotlib is installed.

    (The state keeps its particles to itself; the picture shows how the wake
    grows and how the thrust settles as it does.)
    """
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(install the 'plot' extra, matplotlib, for a picture of the run)")
        return
    fig, ax1 = plt.subplots(figsize=(7, 3.5))
    ax1.plot(thrusts, color="tab:blue")
    ax1.set_xlabel("step")
    ax1.set_ylabel("thrust [N]", color="tab:blue")
    ax2 = ax1.twinx()
    ax2.plot(counts, color="tab:gray")
    ax2.set_ylabel("wake particles", color="tab:gray")
    fig.tight_layout()
    out = __file__.rsplit("/", 1)[0] + "/vortex_hover.png"
    fig.savefig(out, dpi=100)
    print(f"saved {out}")


def main() -> None:
    defn = build_rotor()
    show_geometry(defn)
    polar = show_polar(defn)
    show_cyclic(defn)
    spin_up()
    hover_sweep(defn, polar)
    forward_flight(defn, polar)
    trim_forward_flight(defn, polar)
    collective_step(defn, polar)
    vortex_hover(defn, polar)


if __name__ == "__main__":
    main()
