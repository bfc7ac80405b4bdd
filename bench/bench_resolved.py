"""Cost of one step of the resolved vortex wake against the plain march, at equal particle count.

Both rotors step the same stored wake (grown by a resolved march of the README
rotor), so the ratio is what the resolved physics costs per step: overlapping
shedding, the blade's direct sum with its near wake, and the advection with
velocity gradient and stretching (direct sum; and with the fast summation at
rtol 1e-3, the toolkit's default). CPU time of this process, interleaved rounds,
best round. Then the fast summation's effect on a rotor's answer: the
Caradonna-Tung rotor at 8 deg marched 10 revolutions with the toolkit's
defaults, the wake advected by the fast summation at rtol 1e-3 against the
direct sum. Nothing here asserts a time.

Run from the repository root after installing the package: python bench/bench_resolved.py
"""
import math
import sys
import time
import warnings
from pathlib import Path

import aerlox as ax
from aerlox import _aerlox
from aerlox.vpm_march import RESOLVED_DEFAULTS, STEPS_PER_REVOLUTION

ROTOR = ax.Rotor(blades=2, radius_m=1.0, chord_m=0.08, twist_deg=[8.0, 0.0],
                 airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.011, alpha_stall_deg=14.0),
                 root_cutout_m=0.15, stations_m=[0.15, 1.0])
OP = ax.OperatingPoint.hover(rpm=1150, collective_deg=10.0)
STEPS = 24


def cpu_of(core, inputs, state, dt, rounds=3):
    best = math.inf
    for _ in range(rounds):
        t0 = time.process_time()
        core.step(inputs, state, dt)
        best = min(best, time.process_time() - t0)
    return best


def main():
    inputs = OP.to_inputs()
    dt = 2.0 * math.pi / (STEPS * OP.omega)
    plain = ROTOR.core_model("vpm", OP, wake="plain", sigma=0.16, max_particles=10**6)
    # The toolkit's blade (the angle of attack at the three-quarter chord) and
    # its stretching (along each particle's axis, at most two cores per element).
    kit = {k: RESOLVED_DEFAULTS[k] for k in ("collocation", "axial_stretching", "stretching_age_rev",
                                             "stretching_max_length", "upstream_cut_radii")}
    direct = _aerlox._ext.vpm_resolved(plain, fast_rtol=0.0, **kit)
    fast = _aerlox._ext.vpm_resolved(plain, fast_rtol=1e-3, fast_min_particles=0, **kit)
    stretch = _aerlox._ext.vpm_resolved(plain, fast_rtol=0.0, stretching=True, **kit)
    stretch_fast = _aerlox._ext.vpm_resolved(plain, fast_rtol=1e-3, fast_min_particles=0, stretching=True, **kit)
    state = direct.initial_rotor_state()
    print("=== resolved vortex wake: CPU per step against the plain march, same wake ===")
    print(f"{'particles':>10} {'plain [ms]':>11} {'resolved, direct':>17} {'fast 1e-3':>10} "
          f"{'+ stretching, direct':>21} {'fast 1e-3':>10}")
    marks = (2000, 6000, 12000)
    k = 0
    while marks:
        _, state = direct.step(inputs, state, dt)
        k += 1
        if state.n_particles >= marks[0]:
            marks = marks[1:]
            t_plain = min(cpu_of(plain, inputs, state, dt, 1) for _ in range(2))
            t_direct = min(cpu_of(direct, inputs, state, dt, 1) for _ in range(2))
            t_fast = min(cpu_of(fast, inputs, state, dt, 1) for _ in range(2))
            t_sd = min(cpu_of(stretch, inputs, state, dt, 1) for _ in range(2))
            t_sf = min(cpu_of(stretch_fast, inputs, state, dt, 1) for _ in range(2))
            print(f"{state.n_particles:>10} {1e3 * t_plain:>11.1f} {t_direct / t_plain:>16.2f}x "
                  f"{t_fast / t_plain:>9.2f}x {t_sd / t_plain:>20.2f}x {t_sf / t_plain:>9.2f}x")


def fast_against_direct(revolutions=10, collective_deg=8.0):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
    from validation import caradonna_tung as ct, vpm_march

    rot, op = ct.rotor(elements=20), ct.operating_point(collective_deg)
    steps = STEPS_PER_REVOLUTION["resolved"]
    runs = {}
    for name, rtol in (("direct", 0.0), ("fast", 1e-3)):
        t0 = time.process_time()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            h = vpm_march.march(rot, op, revolutions, steps, wake="resolved", fast_rtol=rtol)
        runs[name] = (h.performance.thrust_N, h.performance.torque_Nm, time.process_time() - t0)
    (t_d, q_d, c_d), (t_f, q_f, c_f) = runs["direct"], runs["fast"]
    print(f"=== Caradonna-Tung {collective_deg:g} deg, {revolutions} revolutions: the wake's fast summation "
          f"(rtol 1e-3) against the direct sum ===")
    print(f"thrust {t_f:.2f} N against {t_d:.2f} N ({100 * (t_f / t_d - 1):+.3f} %), "
          f"torque {q_f:.3f} N m against {q_d:.3f} N m ({100 * (q_f / q_d - 1):+.3f} %), "
          f"CPU {c_f / c_d:.2f}x the direct sum's")


if __name__ == "__main__":
    main()
    fast_against_direct()
