"""Caradonna-Tung model rotor in hover: thrust coefficient and sectional lift.

Two untwisted, untapered NACA 0012 blades (R 1.143 m, chord 0.1905 m) at 1250 rpm,
collective 5, 8 and 12 deg (NASA TM-81232). An untwisted blade loads its tip hard,
so this case tests tip loss and the tip-vortex inflow more than any other.
"""
from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np

import aerlox as ax

from .common import DATA, MODEL_LABELS, CaseResult, Stopwatch, Table, SummaryEntry, error_pct, fmt_num, fmt_pct, read_columns
from . import vpm_march, wake_geometry

RADIUS_M = 1.143
CHORD_M = 0.1905
ROOT_CUTOUT_M = 0.1905
RPM = 1250.0
RHO = 1.225
# NACA 0012 near Re 1.9e6: lift slope 5.73 per rad and minimum drag 0.011 as
# the test report gives them; it stalls near 15 deg at this Reynolds number.
CL_ALPHA = 5.73
CD0 = 0.011
STALL_DEG = 15.0

SOURCE = ("F. X. Caradonna and C. Tung, \"Experimental and Analytical Studies of a Model "
          "Helicopter Rotor in Hover\", NASA TM-81232, 1981 (values read from the report's "
          "figures, about ±2 %).")

HERE = DATA / "caradonna-tung"


def measured():
    hover = read_columns(HERE / "hover.csv", ",")
    cl = read_columns(HERE / "sectional_cl.csv", ",")
    return hover, cl


def rotor(elements: int = 20) -> ax.Rotor:
    af = ax.Airfoil.linear(cl_alpha_per_rad=CL_ALPHA, cd0=CD0, alpha_stall_deg=STALL_DEG)
    return ax.Rotor(2, RADIUS_M, CHORD_M, 0.0, af, root_cutout_m=ROOT_CUTOUT_M,
                    elements=elements, azimuth_stations=36, name="Caradonna-Tung")


def operating_point(collective_deg: float) -> ax.OperatingPoint:
    return ax.OperatingPoint.hover(rpm=RPM, collective_deg=collective_deg).replace(rho_kg_m3=RHO)


def _spanwise_cl(rot, op, model, r_over_r):
    """Section lift coefficient at the measured stations (azimuth mean), or None."""
    if not hasattr(rot, "spanwise"):
        return None
    sp = rot.spanwise(op, model=model)
    x = np.asarray(sp["r_m"].values) / RADIUS_M
    cl = np.asarray(sp["cl"].values).mean(axis=0)  # hover: the same at every azimuth
    return np.interp(r_over_r, x, cl)


def _vpm_cl(vpm_rot, op, history, r_over_r):
    """Vortex rotor's section lift from its bound circulation: cl = 2 Gamma / (c W).

    Gamma is the mean over the blades and the averaged revolutions. W is taken
    as the rotational speed Omega r; the inflow adds (lambda/x)^2/2 to it, under
    1 % outboard of 0.5 R at these collectives.
    """
    from aerlox import _aerlox

    r = np.asarray(_aerlox._ext.vpm_blade(vpm_rot.core_model("vpm"))["r_mid_m"])
    cl = 2.0 * history.circulation_m2_s / (vpm_rot.chord_at(r) * op.omega * r)
    return np.interp(r_over_r, r / RADIUS_M, cl)


def _resolved_cl(history, vpm_rot, r_over_r):
    """The resolved wake's section lift at the stations: its own element cl, averaged."""
    from aerlox import _aerlox

    r = np.asarray(_aerlox._ext.vpm_blade(vpm_rot.core_model("vpm"))["r_mid_m"]) / RADIUS_M
    return np.interp(r_over_r, r, history.cl)


#: Wake ages at which the tip vortex is placed against Landgrebe's fit, deg.
TIP_VORTEX_AGES_DEG = (90.0, 180.0, 360.0, 720.0)


def _tip_vortex_table(resolved, ct_measured) -> Table:
    """The resolved wake's tip vortex at a few wake ages against Landgrebe's
    generalised hover wake at the measured CT (radius and depth below the disk, R)."""
    solidity = 2 * CHORD_M / (math.pi * RADIUS_M)
    t = Table("Vortex rotor, resolved wake: tip vortex (radius / depth below the disk, in R) against "
              "Landgrebe's hover-wake fit at the measured CT",
              ["collective"] + [f"{a:g} deg of wake age" for a in TIP_VORTEX_AGES_DEG])
    for col, h in resolved.items():
        op = operating_point(col)
        ours = wake_geometry.tip_vortex(ax._aerlox._ext.wake(h.state), RADIUS_M, op.omega, op.hub_rotation()[:, 2], TIP_VORTEX_AGES_DEG)
        row = [f"{col:g} deg"]
        for age, (r, z) in zip(TIP_VORTEX_AGES_DEG, ours):
            rf, zf = wake_geometry.landgrebe(age, ct_measured[col], solidity, 2)
            row.append(f"{r:.3f} / {z:.3f} (fit {rf:.3f} / {zf:.3f})")
        t.rows.append(row)
    return t


def _compressibility_table(rot, cl_meas, models) -> Table:
    """Section cl at 8 deg: Prandtl-Glauert at each element's Mach number against one at 0.75 R."""
    from aerlox.corrections import mach_075, prandtl_glauert

    op = operating_point(8.0)
    m75 = mach_075(rot, op)
    one = rot.replace(airfoil=prandtl_glauert(rot.airfoil, m75))
    x = np.array([0.68, 0.80, 0.89])
    sel = cl_meas[:, 0] == 8.0
    meas = np.interp(x, cl_meas[sel, 1], cl_meas[sel, 2])
    t = Table(f"Compressibility per element (Prandtl-Glauert at each element's Mach number, "
              f"compressibility='prandtl-glauert') against one factor at the 0.75 R Mach number "
              f"({m75:.2f}): section cl at 8 deg",
              ["r/R", "measured"] + [f"{MODEL_LABELS[m]}: none / one Mach / per element" for m in models])
    vals = {}
    for m in models:
        sp = rot.spanwise(op, model=m, compressibility="prandtl-glauert")
        per = np.interp(x, np.asarray(sp["r_m"].values) / RADIUS_M, np.asarray(sp["cl"].values).mean(axis=0))
        vals[m] = (_spanwise_cl(rot, op, m, x), _spanwise_cl(one, op, m, x), per)
    for i, xi in enumerate(x):
        t.rows.append([f"{xi:.2f}", fmt_num(meas[i])] +
                      [" / ".join(fmt_num(v[i]) for v in vals[m]) for m in models])
    return t


def run(quick: bool = False, vpm_revolutions: int = 16, vpm_steps: int = 24, vpm_average: int = 3,
        vpm_elements: int = 16, resolved_revolutions: int = 10, resolved_elements: int = 20) -> CaseResult:
    hover, cl_meas = measured()
    rot = rotor()
    vpm_rot = rotor(elements=vpm_elements)
    res_rot = rotor(elements=resolved_elements)
    models = ["bem", "pitt-peters", "oye"] + ([] if quick else ["vpm", "vpm-resolved"])
    res = CaseResult(
        "caradonna_tung", "Caradonna-Tung rotor in hover", SOURCE,
        f"2 blades, R {RADIUS_M} m, chord {CHORD_M} m, untwisted, root cutout {ROOT_CUTOUT_M} m, "
        f"{RPM:g} rpm (tip Mach 0.44), NACA 0012 as a linear polar (lift slope {CL_ALPHA}/rad, "
        f"cd0 {CD0}, stall {STALL_DEG:g} deg), {rot.elements} elements, Prandtl tip loss.")
    ct = {m: [] for m in models}
    histories = {}
    resolved = {}
    with Stopwatch() as sw:
        for col, _ in hover:
            op = operating_point(col)
            for m in models:
                if m == "vpm":
                    h = vpm_march.march(vpm_rot, op, vpm_revolutions, vpm_steps,
                                        average_revolutions=vpm_average, barnes_hut=True)
                    histories[col] = h
                    print(f"[validate]   vortex rotor {col:g} deg: CT {h.performance.CT:.5f} after "
                          f"{h.revolutions} revolutions, {h.seconds:.0f} s", file=sys.stderr, flush=True)
                    ct[m].append(h.performance.CT)
                elif m == "vpm-resolved":
                    from aerlox.vpm_march import STEPS_PER_REVOLUTION

                    h = vpm_march.march(res_rot, op, resolved_revolutions, STEPS_PER_REVOLUTION["resolved"],
                                        average_revolutions=1, wake="resolved")
                    resolved[col] = h
                    print(f"[validate]   resolved vortex rotor {col:g} deg: CT {h.performance.CT:.5f}, kappa "
                          f"{h.kappa:.3f}, {h.seconds:.0f} s", file=sys.stderr, flush=True)
                    ct[m].append(h.performance.CT)
                else:
                    ct[m].append(rot.solve(op, model=m).CT)
    res.seconds = sw.seconds
    conds = [f"{c:g} deg" for c in hover[:, 0]]
    res.add_comparison("Thrust coefficient CT", "collective", conds, hover[:, 1], ct)
    for i, (col, meas) in enumerate(hover):
        res.summary.append(SummaryEntry(f"Caradonna-Tung CT, {col:g} deg", meas,
                                        {m: error_pct(ct[m][i], meas) for m in models}))

    if resolved:
        t = Table("Vortex rotor, resolved wake (toolkit defaults): induced-power factor and convergence",
                  ["collective", "CT", "kappa", "last revolution's change", "particles", "time (s)"])
        for col, h in resolved.items():
            t.rows.append([f"{col:g} deg", fmt_num(h.performance.CT), f"{h.kappa:.3f}",
                           f"{100 * h.settled_change(1):.2f} %", str(h.particles[-1]), f"{h.seconds:.0f}"])
        res.tables.append(t)
        res.tables.append(_tip_vortex_table(resolved, dict(zip(hover[:, 0], hover[:, 1]))))
        res.notes.append(
            f"Vortex rotor, resolved wake: {resolved_elements} lifting-line elements, the toolkit's defaults "
            "(core one chord, overlap 1, near-wake core 0.05 chord or half the element width, angle of attack at the "
            "three-quarter chord, the wake stretched along each particle's axis up to two cores per element, "
            "run-up over the first revolution, fast summation at rtol 1e-3); mean of the "
            "last revolution. Section cl is the lifting line's own, averaged over the blades and the last "
            "revolution. None of these constants is fitted to this rotor: see docs/models.md.")

    if histories:
        t = Table("Vortex rotor: revolution-mean CT while the wake grows (convergence)",
                  ["revolution"] + [f"{c:g} deg" for c in histories])
        n = max(len(h.thrust_N) for h in histories.values())
        for k in range(n):
            row = [str(k + 1)]
            for col, h in histories.items():
                op = operating_point(col)
                row.append(fmt_num(h.thrust_N[k] / _ct_scale(op)))
            t.rows.append(row)
        res.tables.append(t)
        h0 = next(iter(histories.values()))
        res.notes.append(
            f"Vortex rotor: {vpm_elements} lifting-line elements, marched from rest for "
            f"{h0.revolutions} revolutions at {h0.steps_per_revolution} steps per revolution "
            f"with the whole wake kept (Barnes-Hut tree, default core size); the mean over the "
            f"last {vpm_average} revolutions is reported. The last revolution's mean differs "
            f"from the one before by "
            + ", ".join(f"{100 * h.settled_change(1):.1f} % ({c:g} deg)" for c, h in histories.items())
            + f"; the march took {sum(h.seconds for h in histories.values()):.0f} s.")

    if not quick:
        res.tables.append(_compressibility_table(rot, cl_meas, [m for m in models if not m.startswith("vpm")]))
        # Optional correction: Prandtl-Glauert lift at the 0.75 R Mach number.
        from aerlox.corrections import mach_075, prandtl_glauert

        op8 = operating_point(8.0)
        m75 = mach_075(rot, op8)
        pg_rot = rot.replace(airfoil=prandtl_glauert(rot.airfoil, m75))
        t = Table(f"Optional correction: Prandtl-Glauert lift at M = {m75:.2f} (0.75 R), CT error",
                  ["collective"] + [MODEL_LABELS[m] for m in models if not m.startswith("vpm")])
        for i, (col, meas) in enumerate(hover):
            row = [f"{col:g} deg"]
            for m in models:
                if not m.startswith("vpm"):
                    v = pg_rot.solve(operating_point(col), model=m).CT
                    row.append(f"{fmt_pct(error_pct(v, meas))} (was {fmt_pct(error_pct(ct[m][i], meas))})")
            t.rows.append(row)
        res.tables.append(t)

    # Sectional lift, where a model gives it.
    cls = {}
    for m in models:
        vals = []
        for col in sorted(set(cl_meas[:, 0])):
            sel = cl_meas[:, 0] == col
            if m == "vpm":
                v = _vpm_cl(vpm_rot, operating_point(col), histories[col], cl_meas[sel, 1])
            elif m == "vpm-resolved":
                v = _resolved_cl(resolved[col], res_rot, cl_meas[sel, 1])
            else:
                v = _spanwise_cl(rot, operating_point(col), m, cl_meas[sel, 1])
            if v is None:
                vals = None
                break
            vals.append(v)
        if vals is not None:
            cls[m] = np.concatenate(vals)
    if cls:
        conds = [f"{c:g} deg, r/R {x:.2f}" for c, x, _ in cl_meas]
        res.add_comparison("Section lift coefficient (azimuth mean)", "collective, station", conds,
                           cl_meas[:, 2], cls, digits=3)
        res.summary.append(SummaryEntry(
            "Caradonna-Tung section cl (mean of the 15 stations)", float(np.mean(cl_meas[:, 2])),
            {m: error_pct(float(np.mean(v)), float(np.mean(cl_meas[:, 2]))) for m, v in cls.items()}))
    else:
        res.notes.append("Section lift: no model of this build reports spanwise loads yet.")

    def figure(path: Path):
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, axs = plt.subplots(1, 3 if histories else 2, figsize=(14 if histories else 10, 4))
        a = axs[0]
        a.plot(hover[:, 0], hover[:, 1], "ko", label="measured")
        for m in models:
            a.plot(hover[:, 0], ct[m], "-s", label=MODEL_LABELS[m])
        a.set_xlabel("collective (deg)"); a.set_ylabel("CT"); a.set_title("Hover thrust")
        a.grid(alpha=0.3); a.legend()
        a = axs[1]
        styles = {"bem": "-", "pitt-peters": "--", "oye": ":", "vpm": "-.", "vpm-resolved": (0, (5, 1, 1, 1))}
        cols = sorted(set(cl_meas[:, 0]))
        for ci, col in enumerate(cols):
            sel = cl_meas[:, 0] == col
            a.plot(cl_meas[sel, 1], cl_meas[sel, 2], "o", color=f"C{ci}", label=f"measured {col:g} deg")
        k = 0
        for ci, col in enumerate(cols):
            sel = cl_meas[:, 0] == col
            for m, v in cls.items():
                a.plot(cl_meas[sel, 1], v[k:k + sel.sum()], ls=styles[m], color=f"C{ci}", lw=1,
                       label=MODEL_LABELS[m] if ci == 0 else None)
            k += sel.sum()
        a.set_xlabel("r/R"); a.set_ylabel("section cl (azimuth mean)")
        a.set_title("Sectional lift (colour: collective; line: model)", fontsize=9)
        a.grid(alpha=0.3); a.legend(fontsize=6, ncol=2)
        if histories:
            a = axs[2]
            for col, h in histories.items():
                op = operating_point(col)
                a.plot(np.arange(1, len(h.thrust_N) + 1), h.thrust_N / _ct_scale(op), "-o",
                       label=f"{col:g} deg")
                a.axhline(hover[list(hover[:, 0]).index(col), 1], ls=":", color="k", lw=0.8)
            a.set_xlabel("revolutions from rest"); a.set_ylabel("revolution-mean CT")
            a.set_title("Vortex rotor convergence"); a.grid(alpha=0.3); a.legend()
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)

    res.figure = figure
    return res


def _ct_scale(op) -> float:
    """Thrust per unit CT: rho pi R^2 (Omega R)^2."""
    return op.rho_kg_m3 * math.pi * RADIUS_M ** 2 * (op.omega * RADIUS_M) ** 2
