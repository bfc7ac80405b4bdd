"""Elliott four-bladed rotor in trimmed forward flight: the induced inflow.

Laser-velocimeter inflow one chord above the disk of a 4-bladed model rotor
(NASA TM-100541/2/3) at advance ratios 0.15, 0.23 and 0.35, CT 0.0064, trimmed to
zero first-harmonic flapping (hub moment about zero). Each model is trimmed the
same way (collective for the thrust, cyclic for zero hub moment) and its inflow is
sampled at the measured points; the same linear fit
lambda = lambda0 + x (lambda_c cos psi + lambda_s sin psi) is applied to the
measurement and to each model, so lambda0 and the fore-aft gradient
kx = lambda_c / lambda0 compare like with like.

Azimuth psi is the helicopter one: 0 downstream, 90 on the advancing side.
Inflow is positive down through the disk (the measured files carry the opposite sign).
"""
from __future__ import annotations

import math
import warnings
from pathlib import Path

import numpy as np

import aerlox as ax

from .common import (DATA, MODEL_LABELS, CaseResult, Stopwatch, SummaryEntry, Table,
                     error_pct, fmt_num, fmt_pct, read_columns)

HERE = DATA / "elliott"
RADIUS_M = 0.8606
CHORD_M = 0.0660
ROOT_CUTOUT_M = 0.2 * RADIUS_M
RPM = 2113.0
RHO = 1.225
CT_TARGET = 0.0064
# Forward shaft tilt of the test (deg) at each advance ratio.
SHAFT_TILT_DEG = {0.15: 3.0, 0.23: 3.0, 0.35: 5.7}
CL_ALPHA = 5.73
CD0 = 0.01
STALL_DEG = 15.0

SOURCE = ("J. W. Elliott, S. L. Althoff and R. H. Sailey, \"Inflow Measurement Made with a "
          "Laser Velocimeter on a Helicopter Model in Forward Flight\", NASA TM-100541/100542/"
          "100543, 1988.")


def measured(mu: float) -> np.ndarray:
    """Rows of (psi deg, r/R, inflow positive down)."""
    d = read_columns(HERE / f"inflow_mu_{mu:.2f}.csv", ",")
    return np.c_[d[:, 0], d[:, 1], -d[:, 2]]


def fit(psi_deg, x, lam):
    """Least-squares lambda0, lambda_c, lambda_s of the linear inflow over the disk (x <= 1)."""
    # Points off the disk, and model points in the reversed-flow circle (no
    # flow angle there), stay out of the fit.
    keep = (x <= 1.0 + 1e-9) & np.isfinite(lam)
    p = np.radians(psi_deg[keep])
    a = np.c_[np.ones(keep.sum()), x[keep] * np.cos(p), x[keep] * np.sin(p)]
    c, *_ = np.linalg.lstsq(a, lam[keep], rcond=None)
    return c


def rotor() -> ax.Rotor:
    af = ax.Airfoil.linear(cl_alpha_per_rad=CL_ALPHA, cd0=CD0, alpha_stall_deg=STALL_DEG)
    # Linear twist of -8 deg per radius, zero at 0.75 R.
    twist = [-8.0 * (ROOT_CUTOUT_M / RADIUS_M - 0.75), -8.0 * (1.0 - 0.75)]
    return ax.Rotor(4, RADIUS_M, CHORD_M, twist, af, root_cutout_m=ROOT_CUTOUT_M,
                    stations_m=[ROOT_CUTOUT_M, RADIUS_M], elements=20, azimuth_stations=36,
                    name="Elliott 4-bladed")


def operating_point(mu: float, collective_deg: float = 8.0) -> ax.OperatingPoint:
    omega_r = RPM * 2 * math.pi / 60 * RADIUS_M
    return ax.OperatingPoint(rpm=RPM, collective_deg=collective_deg, forward_m_s=mu * omega_r,
                             shaft_tilt_deg=SHAFT_TILT_DEG[mu], rho_kg_m3=RHO)


def trim_to_thrust(rot, op, model, ct_target=CT_TARGET, tol=1e-3):
    """Collective for the target CT with the cyclic trimmed to zero hub moment.

    A secant on collective outside the toolkit's moment trim; returns the trimmed
    point and its Performance.
    """
    def at(col):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return rot.trim(op.replace(collective_deg=col), model=model)

    c0 = op.collective_deg
    o0, p0 = at(c0)
    c1 = c0 + 1.0
    o1, p1 = at(c1)
    for _ in range(12):
        if abs(p1.CT / ct_target - 1.0) < tol:
            break
        slope = (p1.CT - p0.CT) / (c1 - c0) if c1 != c0 else 0.0
        if not slope or not math.isfinite(slope):
            break
        c2 = c1 + (ct_target - p1.CT) / slope
        c2 = max(min(c2, c1 + 4.0), c1 - 4.0)
        c0, o0, p0 = c1, o1, p1
        c1 = c2
        o1, p1 = at(c1)
    return o1, p1


def downstream_azimuth(inputs) -> float:
    """Core azimuth (rad) of a blade pointing downstream.

    A blade at core azimuth psi lies along (cos psi, -sin psi) in hub axes, and
    azimuth grows with rotation, as the measured azimuth does.
    """
    r = np.asarray(inputs.R_hub)
    v = np.asarray(inputs.wind_world) - np.asarray(inputs.v_hub_world)
    h = r.T @ v
    return math.atan2(-h[1], h[0])


def model_inflow(rot, op, model, psi_deg, x):
    """The model's induced inflow (positive down) at measured azimuths and r/R, or None."""
    from aerlox.models import equilibrium_state

    inputs = op.to_inputs()
    psi_core = downstream_azimuth(inputs) + np.radians(psi_deg)
    if model == "pitt-peters":
        st = equilibrium_state(rot.core_model(model, op), inputs, model)
        return st.lambda_0 + x * (st.lambda_c * np.cos(psi_core) + st.lambda_s * np.sin(psi_core))
    if model == "oye":
        st = equilibrium_state(rot.core_model(model, op), inputs, model)
        w = np.asarray(st.W)
        return np.interp(x, _x_mid(rot), w)
    if hasattr(rot, "spanwise"):
        sp = rot.spanwise(op, model=model)
        xs = np.asarray(sp["r_m"].values) / RADIUS_M
        psis = np.radians(np.asarray(sp["azimuth_deg"].values))
        # The sweep's inflow ratio is the whole axial flow through the element;
        # the free stream's part, the same everywhere on the disk, comes off.
        lam = np.asarray(sp["inflow_ratio"].values) - _climb_ratio(inputs, rot)
        out = np.empty(np.shape(x), dtype=float)
        for k, (pc, xx) in enumerate(zip(np.mod(psi_core, 2 * np.pi), x)):
            j = int(np.argmin(np.abs(np.angle(np.exp(1j * (psis - pc))))))
            ok = np.isfinite(lam[j])
            # Inboard of a reversed-flow cut the model has no inflow to give.
            cut = not ok[0] and xx < xs[ok][0]
            out[k] = np.nan if cut or not ok.any() else np.interp(xx, xs[ok], lam[j][ok])
        return out
    return None


def _climb_ratio(inputs, rot) -> float:
    """Free-stream flow through the disk along the hub axis, over tip speed."""
    r = np.asarray(inputs.R_hub)
    v = np.asarray(inputs.wind_world) - np.asarray(inputs.v_hub_world)
    return float(r[:, 2] @ v) / (inputs.omega_rad_s * rot.radius_m)


def _x_mid(rot):
    n = rot.elements
    dr = (RADIUS_M - ROOT_CUTOUT_M) / n
    return (ROOT_CUTOUT_M + dr * (np.arange(n) + 0.5)) / RADIUS_M


def run(quick: bool = False, mus=(0.15, 0.23, 0.35)) -> CaseResult:
    rot = rotor()
    models = ["pitt-peters"] if quick else ["bem", "pitt-peters", "oye"]
    if quick:
        mus = (0.15,)
    res = CaseResult(
        "elliott", "Elliott rotor in trimmed forward flight: induced inflow", SOURCE,
        f"4 blades, R {RADIUS_M} m, chord {CHORD_M} m, linear twist -8 deg (zero at 0.75 R), "
        f"root cutout 0.2 R, {RPM:g} rpm, NACA 0012 as a linear polar (lift slope {CL_ALPHA}/rad, "
        f"cd0 {CD0}); each model trimmed to CT {CT_TARGET} (collective) and zero hub moment "
        "(cyclic); shaft tilted forward 3 deg (mu 0.15, 0.23) and 5.7 deg (mu 0.35).")
    out = {}
    with Stopwatch() as sw:
        for mu in mus:
            d = measured(mu)
            c_meas = fit(d[:, 0], d[:, 1], d[:, 2])
            per = {}
            for m in models:
                op, perf = trim_to_thrust(rot, operating_point(mu), m)
                lam = model_inflow(rot, op, m, d[:, 0], d[:, 1])
                c = fit(d[:, 0], d[:, 1], lam) if lam is not None else None
                per[m] = (op, perf, lam, c)
            out[mu] = (d, c_meas, per)
    res.seconds = sw.seconds

    glauert = {}
    for mu in out:
        # Glauert's momentum inflow at this thrust, tilt and advance ratio
        # (lambda = mu tan(alpha) + CT / (2 sqrt(mu^2 + lambda^2))).
        a = math.radians(SHAFT_TILT_DEG[mu])
        lam = 0.05
        for _ in range(200):
            lam = mu * math.tan(a) + CT_TARGET / (2 * math.hypot(mu, lam))
        glauert[mu] = lam - mu * math.tan(a)

    t = Table("Mean induced inflow lambda0 and fore-aft gradient kx (linear fit over the measured points, x <= 1)",
              ["mu", "quantity", "measured", "Glauert"] + sum([[MODEL_LABELS[m], "error"] for m in models], []))
    for mu, (d, cm, per) in out.items():
        row = [f"{mu:.2f}", "lambda0", fmt_num(cm[0], 3), fmt_num(glauert[mu], 3)]
        for m in models:
            c = per[m][3]
            row += [fmt_num(c[0], 3), fmt_pct(error_pct(c[0], cm[0]))] if c is not None else ["—", "—"]
        t.rows.append(row)
        row = [f"{mu:.2f}", "kx", f"{cm[1] / cm[0]:.2f}", "—"]
        for m in models:
            c = per[m][3]
            row += [f"{c[1] / c[0]:.2f}", fmt_pct(error_pct(c[1] / c[0], cm[1] / cm[0]))] if c is not None else ["—", "—"]
        t.rows.append(row)
        res.summary.append(SummaryEntry(f"Elliott lambda0, mu {mu:.2f}", cm[0],
                                        {m: error_pct(per[m][3][0], cm[0]) if per[m][3] is not None
                                         else float("nan") for m in models}))
        res.summary.append(SummaryEntry(f"Elliott kx, mu {mu:.2f}", cm[1] / cm[0],
                                        {m: error_pct(per[m][3][1] / per[m][3][0], cm[1] / cm[0])
                                         if per[m][3] is not None else float("nan") for m in models}))
    res.tables.append(t)

    t = Table("Trimmed state of each model", ["mu", "model", "collective (deg)", "CT", "CP",
                                                 "cyclic lon (deg)", "cyclic lat (deg)"])
    for mu, (d, cm, per) in out.items():
        for m in models:
            op, perf = per[m][0], per[m][1]
            t.rows.append([f"{mu:.2f}", MODEL_LABELS[m], f"{op.collective_deg:.2f}", fmt_num(perf.CT),
                           fmt_num(perf.CP), f"{math.degrees(op.cyclic_lon_rad):.2f}",
                           f"{math.degrees(op.cyclic_lat_rad):.2f}"])
    res.tables.append(t)

    def figure(path: Path):
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, axs = plt.subplots(1, len(out), figsize=(5 * len(out), 4), squeeze=False)
        for k, (mu, (d, cm, per)) in enumerate(out.items()):
            a = axs[0, k]
            for psi, mk, sgn in ((0.0, "o", 1), (180.0, "s", -1)):
                sel = np.isclose(d[:, 0], psi) | np.isclose(d[:, 0], psi + 360.0)
                xs = d[sel, 1]
                # Plot along the fore-aft line: downstream (psi 0) at +r/R, upstream at -r/R.
                a.plot(sgn * xs, d[sel, 2], "k" + mk, ms=4, label="measured" if psi == 0 else None)
                xx = np.linspace(ROOT_CUTOUT_M / RADIUS_M, 1.0, 30)
                for i, m in enumerate(models):
                    lam = model_inflow(rot, per[m][0], m, np.full_like(xx, psi), xx)
                    if lam is not None:
                        a.plot(sgn * xx, lam, "-", color=f"C{i}", label=MODEL_LABELS[m] if psi == 0 else None)
            a.axhline(0, color="k", lw=0.5)
            a.set_title(f"mu {mu:.2f}: upstream (psi 180) | downstream (psi 0)", fontsize=9)
            a.set_xlabel("r/R along the fore-aft line"); a.set_ylabel("induced inflow (positive down)")
            a.grid(alpha=0.3); a.legend(fontsize=7)
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)

    res.figure = figure
    res.notes.append(
        "Glauert's momentum value is lambda_i = CT / (2 sqrt(mu^2 + lambda^2)) at the test's CT and tilt.")
    return res
