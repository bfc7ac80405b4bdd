"""Cost of the blade-section polar per compute_forces, as ratios measured in one run.

1. Same rotor, one airfoil of one table: the registry's tabulated model (the
   first-built path) against the same model over the section polar
   (`_ext.*Sections`, whose element lookup is then the table lookup). Goal
   1.00 +- 0.02; the bits must agree.
2. A blade of three different airfoils, each with three Reynolds tables, with
   Reynolds number per element, against the one-airfoil section rotor. Goal at
   most 1.5x. (The optional corrections, compressibility and rotational
   augmentation, add their own arithmetic on top.)

Quasi-static (hover and advance ratio 0.2), Pitt-Peters and Oye at a relaxed
inflow; 36 stations x 20 elements. CPU time, best of alternating batches.
Nothing here asserts a time. With AERLOX_BENCH_SUMMARY=path the headline
ratios are appended to that file (as `make bench` collects them).

Run from the repository root after installing the package: python bench/bench_sections.py
"""
import math
import os

import numpy as np

from cpu_timing import per_call

R, ROOT, CHORD, OMEGA, RHO, COLLECTIVE = 1.0, 0.1, 0.06, 150.0, 1.225, 0.24
N_PSI, N_EL = 36, 20
CASES = [("qs", 0.0), ("qs", 0.2), ("pp", 0.2), ("oye", 0.2)]


def table(ax, slope, stall_deg, cd0):
    """A table of the linear law sampled every 0.5 deg over +-30 deg (numbers, not a fit)."""
    a = np.arange(-30.0, 30.25, 0.5)
    lp = ax.LinearPolar(0.0, slope, cd0, math.radians(stall_deg))
    cl, cd = lp.cl_cd_arr(np.ascontiguousarray(np.radians(a)))
    return ax.TabulatedPolar(np.ascontiguousarray(np.radians(a)), cl, cd), (0.0, slope)


def section_tables(ax, base_slope, reynolds):
    out = []
    for k, re in enumerate(reynolds):
        polar, (cl0, slope) = table(ax, base_slope + 0.2 * k, 12.0 + k, 0.02 - 0.003 * k)
        out.append((polar, re, cl0, slope, -0.2, 0.2))
    return out


def models(ax, kind, polar, sections=False):
    ext = ax._ext
    blade = ax.BladeGeometry(2, R, ROOT, CHORD, 0.0, N_EL, [ROOT, R], [CHORD, CHORD], [0.0, -8.0], True)
    defn = ax.RotorDefinition(blade, ax.LinearPolarParameters(0.0, 5.7, 0.01, 15.0), None, "bench", "")
    cls = {"qs": (ax._QuasiStaticBEMTabulated, ext.QuasiStaticBEMSections),
           "pp": (ax._PittPetersModelTabulated, ext.PittPetersModelSections),
           "oye": (ax._OyeBEMModelTabulated, ext.OyeBEMModelSections)}[kind][1 if sections else 0]
    return cls(defn, polar, N_PSI, 0.0) if kind == "oye" else cls(defn, polar, N_PSI)


def inputs_for(ax, mu):
    return ax.RotorInputs(COLLECTIVE, 0.0, 0.0, np.eye(3), np.array([mu * OMEGA * R, 0.0, 0.0]),
                          np.zeros(3), OMEGA, RHO)


def relaxed(model, kind, inputs):
    state = model.initial_rotor_state()
    if kind != "qs":
        for _ in range(200):
            _, state = model.step(inputs, state, 0.002)
    return state


def bits(result):
    return [float(v).hex() for v in (*result.F_world, *result.m_hub_world, result.Q_spin)]


def best_of(calls, rounds=7):
    best = [float("inf")] * len(calls)
    for _ in range(rounds):  # alternating batches: drift of the machine hits all alike
        for j, c in enumerate(calls):
            best[j] = min(best[j], per_call(c, 0.15))
    return best


def main():
    from aerlox import _aerlox as ax

    ext = ax._ext
    tab, (cl0, slope) = table(ax, 5.7, 15.0, 0.01)
    one = ext.SectionPolar([[(tab, None, cl0, slope, -0.26, 0.26)]], [], [])
    res = (5e4, 2e5, 8e5)
    three = ext.SectionPolar([section_tables(ax, s, res) for s in (4.8, 5.4, 6.0)], [ROOT, 0.5, R], [0, 1, 2])
    summary = []
    print(f"{'case':<12} {'plain':>10} {'sections':>10} {'ratio':>7} {'same bits':>10} "
          f"{'3 airfoils x 3 Re':>18} {'ratio':>7}")
    for kind, mu in CASES:
        inputs = inputs_for(ax, mu)
        plain = models(ax, kind, tab)
        single = models(ax, kind, one, sections=True)
        multi = models(ax, kind, three, sections=True)
        st = relaxed(plain, kind, inputs)
        st_multi = relaxed(multi, kind, inputs)
        t = best_of([lambda: plain.compute_forces(inputs, st), lambda: single.compute_forces(inputs, st),
                     lambda: multi.compute_forces(inputs, st_multi)])
        same = bits(plain.compute_forces(inputs, st)[0]) == bits(single.compute_forces(inputs, st)[0])
        ext.take_reynolds_clamps()
        label = f"{kind} mu={mu}"
        print(f"{label:<12} {t[0] * 1e6:>7.1f} us {t[1] * 1e6:>7.1f} us {t[1] / t[0]:>7.3f} {str(same):>10} "
              f"{t[2] * 1e6:>15.1f} us {t[2] / t[1]:>7.2f}")
        summary.append((f"sections {label}: one airfoil vs plain", f"{t[1] / t[0]:.3f}x", f"same bits: {same}"))
        summary.append((f"sections {label}: 3 airfoils x 3 Re vs one", f"{t[2] / t[1]:.2f}x", "goal <= 1.5x"))
    path = os.environ.get("AERLOX_BENCH_SUMMARY")
    if path:
        with open(path, "a") as f:
            for what, fig, against in summary:
                f.write(f"{what:<44} {fig:<22} {against}\n")


if __name__ == "__main__":
    main()
