"""Throughput of the rotor models as a Python caller sees it.

Prints one table: evaluations per second of the quasi-static model, steps per
second of the two dynamic-inflow models as a real-time factor for a 1 kHz
control loop, the cost of one default trim solve, and the cost of one step of
the vortex-particle rotor at two wake sizes, direct and with the tree.

Baselines measured in the same run: the cheapest call into the module (the
per-call floor of the Python boundary), the full azimuth sweep that the
axisymmetric hover pass replaces, and the direct wake evaluation that the tree
replaces. Each fast path is also checked against its reference answer. Nothing
here asserts a time.

Run from the repository root after installing the package: python bench/bench_models.py
"""
import math
import os
import re
import subprocess
import sys
import time

import numpy as np

import aerlox as ax

R, ROOT, CHORD, OMEGA, RHO, COLLECTIVE = 1.0, 0.1, 0.06, 150.0, 1.225, 0.24
N_PSI = 36


def definition(n_elements):
    blade = ax.BladeGeometry(2, R, ROOT, CHORD, 0.0, n_elements, [ROOT, R], [CHORD, CHORD], [0.0, -8.0], True)
    return ax.RotorDefinition(blade, ax.LinearPolarParameters(0.0, 5.7, 0.01, 15.0), None, "bench", "")


def inputs(mu=0.0, tilt_lat=0.0):
    return ax.RotorInputs(COLLECTIVE, 0.0, tilt_lat, np.eye(3), np.array([mu * OMEGA * R, 0.0, 0.0]),
                          np.zeros(3), OMEGA, RHO)


def per_call(fn, min_time=0.5):
    """CPU seconds per call of fn(), best of three batches of at least min_time/3 each."""
    fn()
    n, elapsed = 1, 0.0
    while True:
        t0 = time.process_time()
        for _ in range(n):
            fn()
        elapsed = time.process_time() - t0
        if elapsed > min_time / 3:
            break
        n *= 2
    best = elapsed / n
    for _ in range(2):
        t0 = time.process_time()
        for _ in range(n):
            fn()
        best = min(best, (time.process_time() - t0) / n)
    return best


def thrust(res):
    return -float(res.F_world[2])


rows = []


def row(case, seconds, note=""):
    rows.append((case, seconds, note))


def bench_calls():
    floor = per_call(lambda: ax.cyclic_coeffs(0.01, 0.02))
    row("binding floor: cyclic_coeffs()", floor, "baseline")
    return floor


def bench_quasi_static(floor):
    qs = ax._QuasiStaticBEMLinear(definition(20), ax.LinearPolar(0.0, 5.7, 0.01, math.radians(15.0)), N_PSI)
    st = qs.initial_rotor_state()
    hover, swept_hover, fwd = inputs(), inputs(tilt_lat=1e-11), inputs(mu=0.2)
    # The axisymmetric pass must give the sweep's answer.
    a, b = thrust(qs.compute_forces(hover, st)[0]), thrust(qs.compute_forces(swept_hover, st)[0])
    check = "ok" if abs(a - b) <= 1e-8 * abs(b) else f"MISMATCH {a} vs {b}"
    t_axi = per_call(lambda: qs.compute_forces(hover, st))
    t_sweep = per_call(lambda: qs.compute_forces(swept_hover, st))
    t_fwd = per_call(lambda: qs.compute_forces(fwd, st))
    row("QS hover, axisymmetric pass", t_axi,
        f"{1 / t_axi:,.0f} eval/s; sweep/axi = {t_sweep / t_axi:.1f}x; {t_axi / floor:.0f}x floor; check {check}")
    row("QS hover, forced 36-station sweep", t_sweep, f"{1 / t_sweep:,.0f} eval/s (reference)")
    row("QS forward mu=0.2, 36 stations", t_fwd, f"{1 / t_fwd:,.0f} eval/s")


def bench_dynamic():
    out = {}
    fwd = inputs(mu=0.2)
    pol = ax.LinearPolar(0.0, 5.7, 0.01, math.radians(15.0))
    for label, model in (("Pitt-Peters", ax._PittPetersModelLinear(definition(20), pol, N_PSI)),
                         ("Oye", ax._OyeBEMModelLinear(definition(20), pol, N_PSI, 0.0))):
        st = ax.relax_inflow_py(model, model.initial_rotor_state(), fwd, 100, 0.01)
        # The step reports the loads of the state it starts from.
        check = "ok" if thrust(model.step(fwd, st, 0.001)[0]) == thrust(model.compute_forces(fwd, st)[0]) \
            else "MISMATCH"
        t = per_call(lambda: model.step(fwd, st, 0.001))
        row(f"{label} step, forward mu=0.2, 36 stations", t,
            f"{1 / t:,.0f} step/s = {1 / t / 1000:.1f}x real time at 1 kHz; check {check}")
        out[label] = t
    return out


def bench_trim():
    fwd = inputs(mu=0.2)
    pol = ax.LinearPolar(0.0, 5.7, 0.01, math.radians(15.0))
    for label, model in (("QS", ax._QuasiStaticBEMLinear(definition(20), pol, N_PSI)),
                         ("Pitt-Peters", ax._PittPetersModelLinear(definition(20), pol, N_PSI))):
        result = []
        t = per_call(lambda: result.append(ax.solve_trim_cyclic_py(model, model.initial_rotor_state(), fwd)),
                     min_time=1.0)
        r = result[-1]
        row(f"default trim solve, {label}, mu=0.2", t,
            f"{r.iterations} passes, converged={r.converged}, {t / max(r.iterations, 1) * 1e3:.2f} ms/pass")


def bench_vpm():
    if not hasattr(ax, "_VpmRotorLinear"):
        row("VPM step", float("nan"), "this build has no vortex-particle rotor")
        return
    pol = ax.LinearPolar(0.0, 5.7, 0.01, math.radians(15.0))
    dt = (2 * math.pi / 36) / OMEGA
    hover = inputs()
    times = {}
    for cap in (1200, 4800):
        results = {}
        for bh in (False, True):
            rotor = ax._VpmRotorLinear(definition(16), pol, max_particles=cap, barnes_hut=bh, bh_min_particles=0)
            state = rotor.initial_rotor_state()
            for _ in range(1000):  # fill the wake up to its cap
                if state.n_particles >= cap:
                    break
                _, state = rotor.step(hover, state, dt)
            results[bh] = rotor.step(hover, state, dt)[0]
            t = per_call(lambda: rotor.step(hover, state, dt), min_time=1.0)
            times[(cap, bh)] = t
        # The tree approximates the direct sum: report how closely the loads agree.
        dev = abs(thrust(results[True]) - thrust(results[False])) / abs(thrust(results[False]))
        t_d, t_b = times[(cap, False)], times[(cap, True)]
        row(f"VPM step, 2x16 elements, {cap} particles, direct", t_d, "reference")
        row(f"VPM step, 2x16 elements, {cap} particles, barnes_hut", t_b,
            f"direct/tree = {t_d / t_b:.2f}x; thrust differs by {dev:.1e} (rel)")
    row("VPM direct 4800 vs 1200", times[(4800, False)],
        f"cost ratio {times[(4800, False)] / times[(1200, False)]:.1f}x for 4x particles (16x if all N^2)")


CPP_CASES = ("BM_QsHover", "BM_QsForward", "BM_PpStep", "BM_OyeStep")


def cpp_comparison():
    """Python call against the pure C++ evaluation, when the C++ benchmark is built.

    The C++ benchmark uses its own rotor (0.8 m, stiff flapping blade); the same
    rotor and operating points are rebuilt here so that the ratio is the cost of
    going through Python and nothing else.
    """
    exe = os.path.join("build", "bench", "bench_bem")
    if not os.access(exe, os.X_OK):
        return []
    try:
        out = subprocess.run([exe, f"--benchmark_filter=^({'|'.join(CPP_CASES)})$"],
                             capture_output=True, text=True, timeout=600, check=True).stdout
    except (OSError, subprocess.SubprocessError):
        return []
    # Console table rows: name, wall time and its unit first (colour codes removed).
    unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    cpp = {}
    for line in re.sub(r"\x1b\[[0-9;]*m", "", out).splitlines():
        m = re.match(r"^(BM_\w+)\s+([0-9.]+) (ns|us|ms|s)\s", line)
        if m:
            cpp[m.group(1)] = float(m.group(2)) * unit[m.group(3)]
    blade = ax.BladeGeometry(2, 0.8, 0.12, 0.06, 0.0, 20, [0.12, 0.8], [0.06, 0.06], [6.0, -6.0], True)
    airfoil = ax.LinearPolarParameters(0.0, 5.7, 0.011, 14.0)
    defn = ax.RotorDefinition(blade, airfoil, None, "bench_bem", "", None, ax.FlapProperties(0.1, 120.0))
    pol = ax.LinearPolar.from_properties(airfoil)
    col = math.radians(10.0)
    hover = ax.RotorInputs(col, 0.0, 0.0, np.eye(3), np.zeros(3), np.zeros(3), 150.0, 1.225)
    fwd = ax.RotorInputs(col, 0.0, 0.0, np.eye(3), np.array([0.2 * 150.0 * 0.8, 0.0, 0.0]), np.zeros(3), 150.0, 1.225)
    qs = ax._QuasiStaticBEMLinear(defn, pol, 36)
    pp = ax._PittPetersModelLinear(defn, pol, 36)
    oye = ax._OyeBEMModelLinear(defn, pol, 36, 0.0)
    pp_s = ax.relax_inflow_py(pp, pp.initial_rotor_state(), fwd, 400, 0.005)
    oye_s = ax.relax_inflow_py(oye, oye.initial_rotor_state(), fwd, 400, 0.005)
    calls = {
        "BM_QsHover": lambda: qs.compute_forces(hover, qs.initial_rotor_state()),
        "BM_QsForward": lambda: qs.compute_forces(fwd, qs.initial_rotor_state()),
        "BM_PpStep": lambda: pp.step(fwd, pp_s, 0.001),
        "BM_OyeStep": lambda: oye.step(fwd, oye_s, 0.001),
    }
    return [(name, cpp[name], per_call(calls[name])) for name in CPP_CASES if name in cpp]


def main():
    floor = bench_calls()
    bench_quasi_static(floor)
    bench_dynamic()
    bench_trim()
    bench_vpm()
    width = max(len(c) for c, _, _ in rows)
    print(f"aerlox models through Python  (numpy {np.__version__}, python {sys.version.split()[0]})")
    print(f"{'case':<{width}}  {'per call':>12}  notes")
    for case, seconds, note in rows:
        print(f"{case:<{width}}  {seconds * 1e6:>9.1f} us  {note}")
    compared = cpp_comparison()
    if compared:
        print("\nSame calls against the C++ benchmark build/bench/bench_bem (its own rotor):")
        for name, c, py in compared:
            print(f"  {name:<14} C++ {c * 1e6:>9.2f} us   Python {py * 1e6:>9.2f} us   "
                  f"python/c++ = {py / c:.2f}x")


if __name__ == "__main__":
    main()
