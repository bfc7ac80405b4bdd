"""APC 10x7 Slow Flyer and 16x8 Thin Electric propellers: static and advancing.

UIUC wind-tunnel measurements (Brandt and Selig) of thrust and power coefficients
against rpm at zero speed and against advance ratio J at a fixed rpm. The blades
come from the maker's geometry (chord and pitch angle by station), the section is
NACA 4412 at low Reynolds numbers (xflr5 tables, extended to ±180 deg), and every
blade element reads those tables at its own Reynolds number (interpolated in ln Re).

Propeller coefficients throughout: CT = T/(rho n^2 D^4), CP = P/(rho n^3 D^5),
J = V/(n D), n in rev/s, eta = J CT/CP.
"""
from __future__ import annotations

import math
import re
from pathlib import Path

import numpy as np

import aerlox as ax

from .common import (DATA, MODEL_LABELS, CaseResult, Stopwatch, SummaryEntry, Table,
                     error_pct, fmt_num, fmt_pct, read_columns)

HERE = DATA / "apc"
POLARS = DATA / "naca4412"
RHO = 1.225
INCH_M = 0.0254

SOURCE = ("J. B. Brandt and M. S. Selig, UIUC Propeller Data Site (wind-tunnel "
          "measurements); blade geometry from the maker's PE0 files; NACA 4412 polars "
          "from xflr5 (Ncrit 6, Re 3e4 to 5e5).")


def naca4412(thickness: float = 0.12) -> "ax.Airfoil":
    """NACA 4412 at every tabulated Reynolds number, extended to ±180 deg.

    With another thickness ratio, the NACA 44xx section of that thickness as far
    as drag goes: the tables' drag scaled by Hoerner's profile-drag form factor
    1 + 2 t/c + 60 (t/c)^4 (Fluid-Dynamic Drag, 1965) relative to 12 %, before the
    extension; the lift is kept.
    """
    paths = sorted(POLARS.glob("NACA_4412_*.txt"))
    af = ax.Airfoil.read(*paths, name="NACA 4412")
    if thickness != 0.12:
        k = _form_factor(thickness) / _form_factor(0.12)
        af = ax.Airfoil.combine(*[ax.Airfoil.table(t.alpha_deg, t.cl, np.array(t.cd) * k, t.reynolds,
                                                   parameters=t.parameters) for t in af.tables],
                                name=f"NACA 4412, drag as {100 * thickness:.1f} % thick")
    return af.extrapolated()


def _form_factor(tc: float) -> float:
    return 1.0 + 2.0 * tc + 60.0 * tc ** 4


def thickness_pe0(path: Path):
    """Stations (m) and thickness ratio from a maker's PE0 file (its seventh column)."""
    s, _, _, _ = geometry_pe0(path)
    text = Path(path).read_text().splitlines()
    rows = []
    for line in text:
        try:
            nums = [float(p) for p in line.split()]
        except ValueError:
            continue
        if len(nums) >= 8:
            rows.append(nums[6])
    return s, np.array(rows[:len(s)])


def thickness_sections(p: "Propeller", pe0: Path, n: int = 6):
    """An airfoil per station: NACA 4412 with the drag of the maker's thickness, at n stations."""
    s, tc = thickness_pe0(pe0)
    r = np.linspace(float(p.stations_m[0]), float(p.stations_m[-1]), n)
    return {float(ri): naca4412(round(float(np.interp(ri, s, tc)), 3)) for ri in r}


def geometry_uiuc(path: Path, radius_m: float):
    """Stations (m), chord (m) and blade angle (deg) from a UIUC geometry file (r/R, c/R, beta)."""
    g = read_columns(path)
    return g[:, 0] * radius_m, g[:, 1] * radius_m, g[:, 2]


def geometry_pe0(path: Path):
    """Stations (m), chord (m), blade angle (deg) and radius (m) from a maker's PE0 file.

    The table's columns are station and chord in inches, then pitch figures, sweep,
    thickness ratio and the section angle ("TWIST", deg, from the leading- and
    trailing-edge datums: the chord line's angle to the rotor plane).
    """
    text = Path(path).read_text().splitlines()
    rows = []
    started = False
    for line in text:
        parts = line.split()
        nums = []
        try:
            nums = [float(p) for p in parts]
        except ValueError:
            nums = []
        if len(nums) >= 8:
            rows.append(nums)
            started = True
        elif started and not parts:
            break
    radius_in = None
    for line in text:
        m = re.match(r"\s*RADIUS:\s*([0-9.]+)", line)
        if m:
            radius_in = float(m.group(1))
    a = np.array(rows)
    return a[:, 0] * INCH_M, a[:, 1] * INCH_M, a[:, 7], radius_in * INCH_M


class Propeller:
    def __init__(self, name, label, stations_m, chord_m, beta_deg, radius_m, static_file, sweep_files):
        self.name = name
        self.label = label
        self.radius_m = radius_m
        self.stations_m = stations_m
        self.chord_m = chord_m
        self.beta_deg = beta_deg
        self.static_file = static_file
        self.sweep_files = sweep_files

    def rotor(self, airfoil, elements=25) -> ax.Rotor:
        # The blade angle is the section pitch; collective stays 0.
        return ax.Rotor(2, self.radius_m, list(self.chord_m), list(self.beta_deg), airfoil,
                        root_cutout_m=float(self.stations_m[0]), stations_m=list(self.stations_m),
                        elements=elements, azimuth_stations=36, name=self.label)


def propellers():
    r10 = 0.127
    s, c, b = geometry_uiuc(HERE / "apcsf_10x7_geom.txt", r10)
    p10 = Propeller("apc10x7sf", "APC 10x7 Slow Flyer", s, c, b, r10,
                    HERE / "apcsf_10x7_static_kt0827.txt",
                    sorted(HERE.glob("apcsf_10x7_kt08*_*.txt")))
    s, c, b, r16 = geometry_pe0(HERE / "16x8E-PERF.PE0")
    p16 = Propeller("apc16x8e", "APC 16x8 Thin Electric", s, c, b, r16,
                    HERE / "apce_16x8_static_2150od.txt",
                    sorted(HERE.glob("apce_16x8_21*od_*.txt")))
    # The maker's geometry of the same 10x7 blade carries about 2 deg more pitch
    # at 0.75 R than UIUC's measured one; run it too, to show what that does.
    s, c, b, r = geometry_pe0(HERE / "10x7SF-PERF.PE0")
    p10m = Propeller("apc10x7sf_pe0", "APC 10x7 SF, maker's geometry", s, c, b, r,
                     p10.static_file, p10.sweep_files)
    return [p10, p16, p10m]


def sweep_rpm(path: Path) -> float:
    return float(Path(path).stem.rsplit("_", 1)[1])


def prop_coefficients(perf, op, radius_m):
    """(CT, CP) in propeller form from a Performance."""
    n = op.omega / (2 * math.pi)
    d = 2 * radius_m
    ct = perf.thrust_N / (op.rho_kg_m3 * n ** 2 * d ** 4)
    cp = perf.power_W / (op.rho_kg_m3 * n ** 3 * d ** 5)
    return ct, cp


def solve_point(rot, rpm, j, model, radius_m, **options):
    n = rpm / 60.0
    v = j * n * 2 * radius_m
    op = ax.OperatingPoint(rpm=rpm, collective_deg=0.0, climb_m_s=v, rho_kg_m3=RHO)
    perf = rot.solve(op, model=model, **options)
    return prop_coefficients(perf, op, radius_m)


#: Static rpm at which each propeller's vortex rotor runs (a measured point mid-range).
VPM_RPM = {"apc10x7sf": 4034.0, "apc16x8e": 4993.333}


def _vpm_static(p, airfoil, st, rpm, revolutions=12, steps=24, wake="plain"):
    """Vortex rotor at one static measured point: (rpm, measured (CT, CP), model (CT, CP), history).

    The plain march with a core of 0.95 of the 0.75 R chord and the tree; the
    resolved wake with the toolkit's defaults (10 revolutions, its steps and core)."""
    from . import vpm_march

    i = int(np.argmin(np.abs(st[:, 0] - rpm)))
    rpm = float(st[i, 0])
    rot = p.rotor(airfoil, elements=16)
    op = ax.OperatingPoint(rpm=rpm, rho_kg_m3=RHO)
    if wake == "resolved":
        from aerlox.vpm_march import REVOLUTIONS, STEPS_PER_REVOLUTION

        h = vpm_march.march(rot, op, REVOLUTIONS["resolved"], STEPS_PER_REVOLUTION["resolved"],
                            average_revolutions=1, wake="resolved")
    else:
        sigma = 0.95 * float(rot.chord_at(0.75 * p.radius_m))
        h = vpm_march.march(rot, op, revolutions, steps, average_revolutions=3, barnes_hut=True, sigma=sigma)
    import sys
    print(f"[validate]   vortex rotor {p.label} {rpm:.0f} rpm: {h.seconds:.0f} s", file=sys.stderr, flush=True)
    return rpm, (float(st[i, 1]), float(st[i, 2])), prop_coefficients(h.performance, op, p.radius_m), h


def _efficiency(j, ct_cp):
    """J CT / CP where the propeller both makes thrust and takes power; NaN elsewhere."""
    ct, cp = ct_cp[:, 0], ct_cp[:, 1]
    ok = (ct > 0) & (cp > 0)
    return np.where(ok, j * ct / np.where(ok, cp, 1.0), np.nan)


def _quiet(fn, *a, **k):
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*a, **k)


def _one_table_rotor(rot, airfoil, rpm):
    """The rotor as every element read it before: the one table nearest the 0.75 R Reynolds number."""
    op = ax.OperatingPoint(rpm=rpm, rho_kg_m3=RHO)
    table = airfoil.tables[airfoil.select(rot.reynolds_075(op))]
    return rot.replace(airfoil=ax.Airfoil((table,), None, airfoil.name))


def _rise(v):
    """Relative change from the lowest to the highest rpm."""
    return float(v[-1] / v[0] - 1.0)


def _rise_table(data, airfoil, models) -> Table:
    """Static CT and CP against rpm: the rise over the rpm range, and the largest error."""
    t = Table("Static CT and CP against rpm: rise from the lowest to the highest measured rpm "
              "(goal: the measured sign, within half its size) and the largest error of any "
              "point (goal: within 10 % for at least one model); in brackets the rise with one "
              "table at the 0.75 R Reynolds number for the whole blade, as before",
              ["propeller", "quantity", "measured rise"] + [MODEL_LABELS[m] for m in models])
    for name, (p, st, static, sweeps) in data.items():
        rot = p.rotor(airfoil)
        before = {m: np.array([_quiet(solve_point, _one_table_rotor(rot, airfoil, rpm), rpm, 0.0, m,
                                      p.radius_m, **({"consistent_swirl": False} if m == "bem" else {}))
                               for rpm in st[:, 0]]) for m in models}
        for k, q in ((0, "CT"), (1, "CP")):
            meas = st[:, 1 + k]
            row = [p.label, q, fmt_pct(100 * _rise(meas))]
            for m in models:
                v = static[m][:, k]
                worst = float(np.max(np.abs(100 * (v / meas - 1.0))))
                row.append(f"rise {fmt_pct(100 * _rise(v))} (was {fmt_pct(100 * _rise(before[m][:, k]))}), "
                           f"worst {worst:.1f} %")
            t.rows.append(row)
    return t


PE0 = {"apc10x7sf": "10x7SF-PERF.PE0", "apc16x8e": "16x8E-PERF.PE0", "apc10x7sf_pe0": "10x7SF-PERF.PE0"}


def _options_table(data, airfoil, models) -> Table:
    """Static mean errors with sections by thickness, and with rotational augmentation."""
    t = Table("Options, not used above: static errors (mean over rpm) with an airfoil per station "
              "by the maker's thickness ratio (NACA 4412 drag scaled by Hoerner's form factor, 6 stations), "
              "and with rotational augmentation (Snel); in brackets the errors above",
              ["propeller", "quantity", "variant"] + [MODEL_LABELS[m] for m in models])
    for name, (p, st, static, sweeps) in data.items():
        rot = p.rotor(airfoil)
        variants = (("sections by thickness", rot.replace(airfoil=thickness_sections(p, HERE / PE0[name])), {}),
                    ("Snel augmentation", rot, {"rotational_augmentation": "snel"}))
        for label, vrot, opts in variants:
            vals = {m: np.array([_quiet(solve_point, vrot, rpm, 0.0, m, p.radius_m, **opts) for rpm in st[:, 0]])
                    for m in models}
            for k, q in ((0, "CT"), (1, "CP")):
                meas = float(np.mean(st[:, 1 + k]))
                row = [p.label, q, label]
                for m in models:
                    v = float(np.mean(vals[m][:, k]))
                    was = float(np.mean(static[m][:, k]))
                    row.append(f"{fmt_pct(error_pct(v, meas))} ({fmt_pct(error_pct(was, meas))})")
                t.rows.append(row)
    return t


def run(quick: bool = False) -> CaseResult:
    airfoil = naca4412()
    props = propellers()
    if quick:
        props = props[:2]
    models = ["bem", "pitt-peters"] if quick else ["bem", "pitt-peters", "oye"]
    res = CaseResult(
        "apc", "APC propellers, static and advancing (10x7 SF, 16x8 E)", SOURCE,
        "2 blades each; chord and blade angle by station from the maker's geometry "
        "(10x7 SF: UIUC's r/R, c/R, beta table, R 0.127 m; 16x8 E: the PE0 file, "
        "R 0.2032 m; the 10x7 SF is also run on the maker's PE0 geometry), root cutout at the first station, NACA 4412 xflr5 tables "
        "(Re 3e4 to 5e5) extended by Viterna-Corrigan, read by every element at its own "
        "Reynolds number rho W c / mu (interpolated in ln Re), 25 elements, Prandtl tip loss, "
        "sea-level air. Static: axial speed 0; sweeps: axial speed J n D.")
    data = {}
    vpm = {}
    with Stopwatch() as sw:
        for p in props:
            rot = p.rotor(airfoil)
            st = read_columns(p.static_file)
            if quick:
                st = st[[0, len(st) // 2, -1]]
            static = {m: np.array([_quiet(solve_point, rot, rpm, 0.0, m, p.radius_m) for rpm in st[:, 0]])
                      for m in models}
            sweeps = []
            for f in ([] if quick else p.sweep_files):
                sw_data = read_columns(f)
                rpm = sweep_rpm(f)
                vals = {m: np.array([_quiet(solve_point, rot, rpm, j, m, p.radius_m) for j in sw_data[:, 0]])
                        for m in models}
                sweeps.append((rpm, sw_data, vals))
            data[p.name] = (p, st, static, sweeps)
            if not quick and p.name in VPM_RPM:
                vpm[p.name] = {w: _vpm_static(p, airfoil, st, VPM_RPM[p.name], wake=w)
                               for w in ("plain", "resolved")}
    res.seconds = sw.seconds

    if not quick:
        res.tables.append(_rise_table(data, airfoil, models))
        res.tables.append(_options_table(data, airfoil, models))
        res.notes.append(
            "Polars: the maker's geometry files name the sections: the 16x8 E runs from an "
            "Eppler E63 at 1.4 in to APC12 ('equivalent to NACA 4412') from 5.12 in to the tip, "
            "scaled to the thickness of each station (21 % at the root, 10 % at the tip); the 10x7 SF "
            "is an E63 scaled to 4.4-6.6 % thickness over all but its last 0.1 in. The data set "
            "holds polars of NACA 4412 only (xflr5, Ncrit 6, Re 3e4 to 5e5), so both blades carry "
            "NACA 4412 at every station: right for the outer 16x8 E, wrong in camber and thickness "
            "for the 10x7 SF, whose power is the case's largest gap. No polar is adjusted to "
            "these measurements.")

    if vpm:
        t = Table("Vortex rotor, static, at one rpm (marched from rest; plain: core size 0.95 of the "
                  "0.75 R chord, as the default core is of the Caradonna-Tung chord; resolved: the "
                  "toolkit's defaults)",
                  ["propeller", "wake", "rpm", "CT measured", "CT", "error", "CP measured", "CP", "error",
                   "last-revolution change"])
        for name, runs in vpm.items():
            p = data[name][0]
            for wake, (rpm, meas, ct_cp, h) in runs.items():
                t.rows.append([p.label, wake, f"{rpm:.0f}", fmt_num(meas[0]), fmt_num(ct_cp[0]),
                               fmt_pct(error_pct(ct_cp[0], meas[0])), fmt_num(meas[1]), fmt_num(ct_cp[1]),
                               fmt_pct(error_pct(ct_cp[1], meas[1])), f"{100 * h.settled_change(1):.1f} %"])
            rpm, meas = runs["plain"][0], runs["plain"][1]
            for k, q in ((0, "CT"), (1, "CP")):
                res.summary.append(SummaryEntry(
                    f"{p.label} static {q} at {rpm:.0f} rpm", meas[k],
                    {m: error_pct(float(np.interp(rpm, data[name][1][:, 0], data[name][2][m][:, k])), meas[k])
                     for m in models} | {"vpm": error_pct(runs["plain"][2][k], meas[k]),
                                         "vpm-resolved": error_pct(runs["resolved"][2][k], meas[k])}))
        res.tables.append(t)

    for name, (p, st, static, sweeps) in data.items():
        conds = [f"{r:.0f}" for r in st[:, 0]]
        res.add_comparison(f"{p.label}: static CT", "rpm", conds, st[:, 1],
                           {m: v[:, 0] for m, v in static.items()})
        res.add_comparison(f"{p.label}: static CP", "rpm", conds, st[:, 2],
                           {m: v[:, 1] for m, v in static.items()})
        for k, q in ((0, "CT"), (1, "CP")):
            meas = float(np.mean(st[:, 1 + k]))
            res.summary.append(SummaryEntry(
                f"{p.label} static {q} (mean over rpm)", meas,
                {m: error_pct(float(np.mean(v[:, k])), meas) for m, v in static.items()}))
        if sweeps:
            t = Table(f"{p.label}: advancing, errors over each J sweep "
                      "(mean absolute error in % of measured, points with CT > 0.3 CT(J=0) only; "
                      "peak efficiency in points of efficiency)",
                      ["rpm", "J range", "quantity"] + [MODEL_LABELS[m] for m in models])
            agg = {m: {"CT": [], "CP": []} for m in models}
            agg_meas = {"CT": [], "CP": []}
            for rpm, d, vals in sweeps:
                keep = d[:, 1] > 0.3 * float(np.max(st[:, 1]))
                jr = f"{d[0, 0]:.2f}–{d[-1, 0]:.2f}"
                for k, q in ((0, "CT"), (1, "CP")):
                    row = [f"{rpm:.0f}", jr, q]
                    for m in models:
                        e = [abs(error_pct(a, b)) for a, b in zip(vals[m][keep, k], d[keep, 1 + k])]
                        row.append(fmt_pct(float(np.mean(e))) if e else "—")
                        agg[m][q] += list(vals[m][keep, k])
                    agg_meas[q] += list(d[keep, 1 + k])
                    t.rows.append(row)
                row = [f"{rpm:.0f}", jr, f"peak eta (measured {np.max(d[:, 3]):.3f})"]
                for m in models:
                    eta = _efficiency(d[:, 0], vals[m])
                    row.append(f"{np.nanmax(eta):.3f} ({100 * (np.nanmax(eta) - np.max(d[:, 3])):+.1f})")
                t.rows.append(row)
            res.tables.append(t)
            for q in ("CT", "CP"):
                meas = float(np.mean(agg_meas[q]))
                res.summary.append(SummaryEntry(
                    f"{p.label} advancing {q} (mean over J sweeps)", meas,
                    {m: error_pct(float(np.mean(agg[m][q])), meas) for m in models}))

    def figure(path: Path):
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, axs = plt.subplots(len(data), 4, figsize=(17, 3.8 * len(data)))
        for row, (name, (p, st, static, sweeps)) in enumerate(data.items()):
            a = axs[row, 0]
            a.plot(st[:, 0], st[:, 1], "ko", label="measured CT")
            a.plot(st[:, 0], st[:, 2], "k^", label="measured CP")
            for m, v in static.items():
                l, = a.plot(st[:, 0], v[:, 0], "-", label=MODEL_LABELS[m])
                a.plot(st[:, 0], v[:, 1], "--", color=l.get_color())
            a.set_title(f"{p.label}: static"); a.set_xlabel("rpm"); a.set_ylabel("CT (—), CP (- -)")
            a.grid(alpha=0.3); a.legend(fontsize=7)
            for col, (k, q) in enumerate(((1, "CT"), (2, "CP"), (3, "efficiency"))):
                a = axs[row, col + 1]
                for i, (rpm, d, vals) in enumerate(sweeps):
                    a.plot(d[:, 0], d[:, k], "o", ms=3, color=f"C{i}", label=f"measured {rpm:.0f} rpm")
                    for m, v in vals.items():
                        y = v[:, k - 1] if k < 3 else _efficiency(d[:, 0], v)
                        style = {"bem": "-", "pitt-peters": "--", "oye": ":"}.get(m, "-.")
                        a.plot(d[:, 0], y, style, color=f"C{i}", lw=1)
                if q == "efficiency":
                    a.set_ylim(0, 1)
                a.set_title(f"{p.label}: {q} vs J", fontsize=9)
                a.set_xlabel("J"); a.grid(alpha=0.3)
                if col == 0:
                    a.legend(fontsize=6)
        fig.suptitle("Points: measured (colour: rpm). Lines: " + ", ".join(
            f"{MODEL_LABELS[m]} {st}" for m, st in zip(models, ("—", "- -", "···"))), fontsize=10)
        fig.tight_layout()
        fig.savefig(path, dpi=100)
        plt.close(fig)

    res.figure = figure
    return res
