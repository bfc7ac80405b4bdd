"""Cost of the spanwise loads next to compute_forces, per blade-element model.

For the quasi-static, Pitt-Peters and Oye models (linear polar, 36 stations x
20 elements) in hover and in forward flight (advance ratio 0.2), prints the
time of one compute_forces call and the ratio spanwise / compute_forces (the
baseline of the same run). The spanwise sums are checked against the hub loads.

With --baseline DIR (a directory holding another build of the package, e.g.
made by `pip install --no-deps --target DIR .` in a checkout of an older
commit), the same compute_forces calls are also timed in that build, loaded
into this process beside this one and run in alternating batches; the ratio
this build / baseline build is printed with a check that both give the same
bits. Nothing here asserts a time.

Run from the repository root after installing the package: python bench/bench_spanwise.py [--baseline DIR]
"""
import os
import sys

import numpy as np

from cpu_timing import per_call

R, ROOT, CHORD, OMEGA, RHO, COLLECTIVE = 1.0, 0.1, 0.06, 150.0, 1.225, 0.24
N_PSI, N_EL = 36, 20
CASES = [("qs", 0.0), ("qs", 0.2), ("pp", 0.0), ("pp", 0.2), ("oye", 0.0), ("oye", 0.2)]


def setup(ax, kind, mu):
    blade = ax.BladeGeometry(2, R, ROOT, CHORD, 0.0, N_EL, [ROOT, R], [CHORD, CHORD], [0.0, -8.0], True)
    defn = ax.RotorDefinition(blade, ax.LinearPolarParameters(0.0, 5.7, 0.01, 15.0), None, "bench", "")
    polar = ax.LinearPolar.from_properties(defn.airfoil)
    if kind == "qs":
        model = ax._QuasiStaticBEMLinear(defn, polar, N_PSI)
    elif kind == "pp":
        model = ax._PittPetersModelLinear(defn, polar, N_PSI)
    else:
        model = ax._OyeBEMModelLinear(defn, polar, N_PSI, 0.0)
    inputs = ax.RotorInputs(COLLECTIVE, 0.0, 0.0, np.eye(3), np.array([mu * OMEGA * R, 0.0, 0.0]),
                            np.zeros(3), OMEGA, RHO)
    state = model.initial_rotor_state()
    if kind != "qs":
        # A loaded inflow state, so the sweep sees a realistic inflow.
        for _ in range(200):
            _, state = model.step(inputs, state, 0.002)
    return model, inputs, state


def bits(result):
    return [float(v).hex() for v in (*result.F_world, *result.m_hub_world, *result.M_spin, result.Q_spin)]


def load_baseline(directory):
    """The compiled module of another build, loaded beside this one under its own name."""
    import glob
    import importlib.util

    found = glob.glob(os.path.join(directory, "aerlox", "_aerlox*.so"))
    if not found:
        sys.exit(f"no aerlox/_aerlox*.so under {directory}")
    found_at = importlib.util.spec_from_file_location("aerlox_baseline._aerlox", found[0])
    module = importlib.util.module_from_spec(found_at)
    found_at.loader.exec_module(module)
    return module


def main():
    import aerlox as ax

    ext = ax._aerlox._ext
    print(f"{'case':<12} {'compute_forces':>15} {'spanwise':>10} {'ratio':>6}  sums vs hub loads")
    for kind, mu in CASES:
        model, inputs, state = setup(ax, kind, mu)
        t_cf = t_sw = float("inf")
        for _ in range(5):  # alternating batches: drift of the machine hits both alike
            t_cf = min(t_cf, per_call(lambda: model.compute_forces(inputs, state), 0.15))
            t_sw = min(t_sw, per_call(lambda: ext.spanwise(model, inputs, state), 0.15))
        res = model.compute_forces(inputs, state)[0]
        sw = ext.spanwise(model, inputs, state)
        k = sw["n_blades"] / N_PSI
        dt = abs(k * sw["thrust_n"].sum() + res.F_world[2]) / max(abs(res.F_world[2]), 1e-300)
        dq = abs(k * sw["torque_nm"].sum() - res.Q_spin) / max(abs(res.Q_spin), 1e-300)
        print(f"{kind + ' mu=' + str(mu):<12} {t_cf * 1e6:>12.1f} us {t_sw / t_cf:>10.2f}x {'':>6}"
              f"  rel. err thrust {dt:.1e}, torque {dq:.1e}")

    if "--baseline" in sys.argv:
        base = load_baseline(sys.argv[sys.argv.index("--baseline") + 1])
        print(f"\n{'case':<12} {'this build':>12} {'baseline':>12} {'ratio':>7}  same bits")
        for kind, mu in CASES:
            new = setup(ax, kind, mu)
            old = setup(base, kind, mu)
            calls = [lambda m=m, i=i, s=s: m.compute_forces(i, s) for m, i, s in (new, old)]
            # Alternate the two builds so that drift of the machine hits both alike.
            best = [float("inf"), float("inf")]
            for _ in range(7):
                for j in (0, 1):
                    best[j] = min(best[j], per_call(calls[j], 0.15))
            same = bits(calls[0]()[0]) == bits(calls[1]()[0])
            print(f"{kind + ' mu=' + str(mu):<12} {best[0] * 1e6:>9.1f} us {best[1] * 1e6:>9.1f} us "
                  f"{best[0] / best[1]:>7.3f}  {same}")


if __name__ == "__main__":
    main()
