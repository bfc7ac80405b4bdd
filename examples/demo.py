"""
The tour
========

aerlox demonstration: a 2-bladed, 1 m rotor from description to loads.

Run with `make demo`. Each section prints a short table. The rotor is described
once with the toolkit (`Rotor`, `Airfoil`), every operating point is an
`OperatingPoint`, and `Rotor.solve` runs any of the four models.
"""
from __future__ import annotations

import math

import numpy as np

import aerlox as ax

RPM = 1150.0  # 120.4 rad/s, tip speed 120 m/s


def build_rotor() -> ax.Rotor:
    """A 2-bladed, 1 m radius rotor with linear taper and 7 degrees of washout."""
    return ax.Rotor(
        blades=2, radius_m=1.0,
        chord_m=[0.10, 0.08, 0.06], twist_deg=[7.0, 3.0, 0.0], stations_m=[0.15, 0.6, 1.0],
        airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.011, alpha_stall_deg=14.0),
        root_cutout_m=0.15, flap=ax.Flap(inertia_kg_m2=0.3, omega_nr_rad_s=120.0), name="demo-2b",
    )


def section(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def show_rotor(rotor: ax.Rotor) -> None:
    section("Rotor")
    print(rotor)
    print(f"disk area {rotor.disk_area_m2:.4f} m^2, solidity {rotor.solidity:.4f}")
    print(f"{'r [m]':>8} {'chord [m]':>10} {'twist [deg]':>12}")
    for r in np.linspace(rotor.root_cutout_m, rotor.radius_m, 6):
        print(f"{r:8.3f} {rotor.chord_at(r):10.4f} {rotor.twist_at(r):12.3f}")


def show_polar(rotor: ax.Rotor) -> None:
    section("Airfoil polar")
    alpha_deg = np.array([-20.0, -10.0, 0.0, 5.0, 10.0, 14.0, 20.0])
    cl, cd = rotor.airfoil.cl_cd(alpha_deg)
    print(f"{'alpha [deg]':>12} {'cl':>8} {'cd':>8}")
    for a, lift, drag in zip(alpha_deg, cl, cd):
        print(f"{a:12.1f} {lift:8.4f} {drag:8.4f}")


def hover_sweep(rotor: ax.Rotor) -> None:
    """Thrust, power and figure of merit against collective, three models side by side."""
    section(f"Hover sweep at {RPM:.0f} rpm: thrust [N] / power [W] / FM")
    models = ("bem", "pitt-peters", "oye")
    print(f"{'coll [deg]':>10} " + " ".join(f"{m:>22}" for m in models))
    for coll in (4.0, 6.0, 8.0, 10.0, 12.0):
        op = ax.OperatingPoint.hover(rpm=RPM, collective_deg=coll)
        cells = []
        for m in models:
            p = rotor.solve(op, model=m)
            cells.append(f"{p.thrust_N:7.1f} {p.power_W:7.0f} {p.FM:6.3f}")
        print(f"{coll:10.1f} " + " ".join(f"{c:>22}" for c in cells))


def forward_flight(rotor: ax.Rotor) -> None:
    """Trimmed forward flight: the quasi-static model against Pitt-Peters.

    The quasi-static model balances momentum with the axial flow only, so its
    inflow and power stay near their hover values as the rotor speeds up;
    Pitt-Peters follows Glauert's momentum theory.
    """
    section("Forward flight, collective 8 deg, cyclic trimmed to zero hub moment")
    print(f"{'mu':>5} {'V [m/s]':>8} {'T_pp [N]':>9} {'P_pp [W]':>9} {'P_bem [W]':>10} "
          f"{'lon [deg]':>10} {'lat [deg]':>10}")
    tip = RPM * math.pi / 30.0 * rotor.radius_m
    for mu in (0.0, 0.1, 0.2, 0.3):
        op = ax.OperatingPoint(rpm=RPM, collective_deg=8.0, forward_m_s=mu * tip)
        trimmed, pp = rotor.trim(op, model="pitt-peters")
        bem = rotor.solve(trimmed, model="bem") if mu <= 0.05 else _quiet_bem(rotor, trimmed)
        print(f"{mu:5.2f} {mu * tip:8.1f} {pp.thrust_N:9.1f} {pp.power_W:9.0f} {bem.power_W:10.0f} "
              f"{math.degrees(trimmed.cyclic_lon_rad):10.3f} {math.degrees(trimmed.cyclic_lat_rad):10.3f}")


def _quiet_bem(rotor: ax.Rotor, op: ax.OperatingPoint) -> ax.Performance:
    """The quasi-static answer for comparison, without its (once-only) edgewise warning."""
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return rotor.solve(op, model="bem")


def collective_step(rotor: ax.Rotor) -> None:
    """Pitt-Peters uniform inflow after a collective step from 8 to 11 deg in hover.

    The toolkit hands out the core model and its equilibrium; the time loop is
    the core's own `step`.
    """
    section("Pitt-Peters collective step 8 -> 11 deg in hover (dt = 5 ms)")
    before = ax.OperatingPoint.hover(rpm=RPM, collective_deg=8.0)
    after = before.replace(collective_deg=11.0)
    pp = rotor.core_model("pitt-peters", before)
    state = ax.models.equilibrium_state(pp, before.to_inputs(), "pitt-peters")
    inputs = after.to_inputs()
    tau0 = pp.inflow_taus(inputs, state)[0]
    # tau0 is the apparent mass over the STEADY mass flow. A small change of
    # lambda_0 in hover decays with the linearised mass flow, twice the steady
    # one, so at tau0 / 2 at most, and faster still because the blades' thrust
    # eases as the inflow grows.
    print(f"apparent-mass constant tau0 = 8R/(3 pi V_mf) at the steady mass flow: {tau0 * 1000:.1f} ms")
    print(f"a perturbation in hover decays with the linearised mass flow (twice the steady one): "
          f"tau0/2 = {tau0 * 500:.1f} ms, less with the blades' feedback")
    print(f"{'t [ms]':>7} {'lambda_0':>10} {'T [N]':>8}")
    lam = [state.lambda_0]
    for k in range(41):
        result, nxt = pp.step(inputs, state, 0.005)
        if k % 5 == 0:
            thrust = ax.Performance.from_result(result, rotor, after, "pitt-peters").thrust_N
            print(f"{k * 5:7d} {state.lambda_0:10.5f} {thrust:8.2f}")
        state = nxt
        lam.append(state.lambda_0)
    final = rotor.solve(after, model="pitt-peters")
    lam_end = ax.models.equilibrium_state(pp, inputs, "pitt-peters").lambda_0
    target = lam[0] + (1.0 - math.exp(-1.0)) * (lam_end - lam[0])
    k = next(i for i, v in enumerate(lam) if v >= target)
    t63 = 5.0 * (k - 1 + (target - lam[k - 1]) / (lam[k] - lam[k - 1]))
    print(f"equilibrium after the step: T = {final.thrust_N:.2f} N; lambda_0 covers 63 % of its change "
          f"in {t63:.0f} ms (the measured time constant)")


def spin_up() -> None:
    """Motor spin-up against an aerodynamic torque growing with omega^2."""
    section("Spin-up with step_omega (motor 6 N m, q_aero = 4e-4 omega^2, I = 0.02 kg m^2)")
    omega, dt, inertia = 0.0, 0.01, 0.02
    print(f"{'t [s]':>6} {'omega [rad/s]':>14} {'q_aero [N m]':>13}")
    for k in range(301):
        q = 4e-4 * omega * omega
        if k % 50 == 0:
            print(f"{k * dt:6.2f} {omega:14.3f} {q:13.4f}")
        omega = ax.step_omega(omega, q, 6.0, inertia, dt, bearing_friction_nm=0.05)
    print(f"steady state from the torque balance: {math.sqrt((6.0 - 0.05) / 4e-4):.3f} rad/s")


def vortex_hover(rotor: ax.Rotor) -> None:
    """The free-wake rotor marched from rest, beside the inflow models."""
    op = ax.OperatingPoint.hover(rpm=RPM, collective_deg=10.0)
    section("Vortex-particle rotor, hover from rest, collective 10 deg")
    rows = [(m, rotor.solve(op, model=m)) for m in ("bem", "pitt-peters", "oye")]
    # The default particle cap keeps every particle of the run: a cut wake
    # induces too little inflow and over-predicts the thrust.
    rows.append(("vpm", rotor.solve(op, model="vpm", revolutions=10, steps_per_revolution=18)))
    print(f"{'model':<12} {'T [N]':>8} {'P [W]':>8} {'FM':>6} {'converged':>10}")
    for m, p in rows:
        print(f"{m:<12} {p.thrust_N:8.2f} {p.power_W:8.1f} {p.FM:6.3f} {str(p.converged):>10}")


def main() -> None:
    rotor = build_rotor()
    show_rotor(rotor)
    show_polar(rotor)
    hover_sweep(rotor)
    forward_flight(rotor)
    collective_step(rotor)
    spin_up()
    vortex_hover(rotor)


if __name__ == "__main__":
    main()
