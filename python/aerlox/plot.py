"""Figures of aerlox results (matplotlib, the optional extra ``plot``).

Each function returns the matplotlib ``Figure`` and, given ``path``, also saves it
there (the format follows the file's extension). matplotlib is imported on first
use, so ``import aerlox`` works without it.
"""
from __future__ import annotations

import itertools
import os
from typing import TYPE_CHECKING, Any, Optional, Sequence, Union

import numpy as np

if TYPE_CHECKING:
    import xarray
    from matplotlib.figure import Figure

__all__ = ["polar", "sweep", "history", "spanwise", "wake", "wake_velocity"]

# Where a figure is saved: a path of any form matplotlib accepts, or None for no file.
PathArg = Optional[Union[str, "os.PathLike[str]"]]


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:  # pragma: no cover - exercised only without the extra
        raise ImportError(
            "aerlox.plot needs matplotlib; install the 'plot' extra: pip install 'aerlox[plot]'"
        ) from exc
    return plt


def _finish(fig, path):
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=120)
    return fig


# Name suffixes that spell a unit, and the unit as the datasets write it; the
# label states the unit once ("thrust [N]", not "thrust_N [N]").
_SUFFIX_UNITS = (
    ("_Nm_per_m", "N m/m"), ("_N_per_m", "N/m"), ("_rad_s", "rad/s"), ("_m3_s", "m^3/s"), ("_kg_m3", "kg/m^3"),
    ("_m_s", "m/s"), ("_Nm", "N m"), ("_Pa", "Pa"), ("_deg", "deg"), ("_rad", "rad"), ("_N", "N"),
    ("_W", "W"), ("_m", "m"), ("_s", "s"),
)


def _label(da, name: Optional[str] = None, units: Optional[str] = None) -> str:
    """An axis label: the name without its unit suffix, then the unit in brackets."""
    name = str(da.name if name is None else name)
    units = da.attrs.get("units") if units is None else units
    if not units or units == "1":
        return name
    for suffix, spelled in _SUFFIX_UNITS:
        if name.endswith(suffix) and spelled == units and len(name) > len(suffix):
            name = name[: -len(suffix)]
            break
    return f"{name.replace('_', ' ')} [{units}]"


def _as_list(value, name) -> list:
    if isinstance(value, str):
        return [value]
    try:
        out = list(value)
    except TypeError:
        raise ValueError(f"{name} must be a variable name or a sequence of names, got {value!r}") from None
    if not out:
        raise ValueError(f"{name} must name at least one variable")
    return out


def polar(airfoil: Any, *, alpha_deg: Optional[Sequence[float]] = None, reynolds: Any = None,
          path: PathArg = None) -> "Figure":
    """Lift and drag coefficients and the lift-to-drag ratio against angle of attack.

    ``airfoil`` is an ``aerlox.Airfoil``. ``alpha_deg`` (deg) defaults to -20..25 deg
    (the airfoil's full table range when it is extrapolated past that). An airfoil
    with several Reynolds-number tables draws one line per table unless
    ``reynolds`` picks one.
    """
    plt = _pyplot()
    curves = _polar_curves(airfoil, alpha_deg, reynolds)
    fig, axes = plt.subplots(1, 3, figsize=(12, 3.8))
    for label, a, cl, cd in curves:
        axes[0].plot(a, cl, label=label)
        axes[1].plot(a, cd, label=label)
        with np.errstate(divide="ignore", invalid="ignore"):
            axes[2].plot(a, np.where(np.abs(cd) > 0, cl / cd, np.nan), label=label)
    for ax, name in zip(axes, ("cl", "cd", "cl / cd")):
        ax.set_xlabel("angle of attack [deg]")
        ax.set_ylabel(name)
        ax.grid(True, alpha=0.3)
    if len(curves) > 1:
        axes[0].legend(fontsize="small")
    fig.suptitle(str(getattr(airfoil, "name", "") or "airfoil polar"))
    return _finish(fig, path)


def _polar_curves(airfoil, alpha_deg, reynolds):
    """[(label, alpha_deg, cl, cd)] for each table of ``airfoil`` (or the one nearest ``reynolds``)."""
    tables = list(getattr(airfoil, "tables", ()) or ())
    if reynolds is not None:
        picks = [reynolds]
    else:
        picks = [t.reynolds for t in tables] or [None]
        if len(picks) > 1 and any(r is None for r in picks):
            picks = [None]
    curves = []
    for re in picks:
        if alpha_deg is None:
            lo, hi = -20.0, 25.0
            if tables:
                table = tables[airfoil.select(re)]
                lo, hi = max(-180.0, min(lo, min(table.alpha_deg))), min(180.0, max(hi, max(table.alpha_deg)))
            a = np.linspace(lo, hi, 721)
        else:
            a = np.asarray(alpha_deg, dtype=float)
        cl, cd = airfoil.cl_cd(a, reynolds=re)
        curves.append((f"Re {re:.3g}" if re else "", a, np.asarray(cl, dtype=float), np.asarray(cd, dtype=float)))
    return curves


def _other_dims(da, x):
    return [d for d in da.dims if d != x and d != "component"]


def sweep(ds: "xarray.Dataset", *, x: str, y: Union[str, Sequence[str]] = ("CT", "CP", "FM"),
          path: PathArg = None) -> "Figure":
    """Results of ``aerlox.sweep`` against one swept axis, one panel per variable of ``y``.

    Every other swept axis gives one line per value (all combinations when there
    are several); points that failed are NaN and leave gaps.
    """
    plt = _pyplot()
    names = _as_list(y, "y")
    swept = [d for d in ds.dims if d != "component"]
    if x not in swept:
        raise ValueError(f"x must be one of the swept axes {swept}, got {x!r}")
    for name in names:
        if name not in ds.data_vars:
            raise ValueError(f"y: {name!r} is not a variable of this Dataset")
    fig, axes = plt.subplots(1, len(names), figsize=(4.2 * len(names), 3.6), squeeze=False)
    for ax, name in zip(axes[0], names):
        da = ds[name]
        if "component" in da.dims:
            raise ValueError(f"y: {name!r} is a vector; pick a component first, e.g. "
                             f"ds.assign({name}_z=ds.{name}.sel(component='z'))")
        others = _other_dims(da, x)
        combos = list(itertools.product(*(range(da.sizes[d]) for d in others)))
        for combo in combos:
            line = da.isel(dict(zip(others, combo))) if others else da
            label = ", ".join(f"{d} = {ds[d].values[i]:g}" for d, i in zip(others, combo))
            ax.plot(ds[x].values, line.transpose(x).values, marker=".", label=label or None)
        ax.set_xlabel(_label(ds[x]))
        ax.set_ylabel(_label(da))
        ax.grid(True, alpha=0.3)
        if others and 1 < len(combos) <= 12:
            ax.legend(fontsize="small")
    title = ds.attrs.get("title")
    if title:
        fig.suptitle(title)
    return _finish(fig, path)


def history(ds: "xarray.Dataset",
            variables: Union[str, Sequence[str]] = ("thrust_N", "torque_Nm", "rotor_speed_rad_s"), *,
            path: PathArg = None) -> "Figure":
    """Time histories from ``aerlox.simulate``, one panel per variable, sharing the time axis.

    Vector variables (``hub_force_N``, ``hub_moment_Nm``) draw their x, y, z
    components; per-element states (Oye's ``W``) draw a few elements.
    """
    plt = _pyplot()
    names = _as_list(variables, "variables")
    for name in names:
        if name not in ds.variables:
            raise ValueError(f"variables: {name!r} is not in this Dataset")
        if ds[name].ndim > 2:
            raise ValueError(f"variables: {name!r} has {ds[name].ndim} dimensions; for spanwise records use "
                             "aerlox.plot.spanwise(aerlox.study.spanwise_at(ds, t))")
    fig, axes = plt.subplots(len(names), 1, figsize=(7.5, 2.3 * len(names) + 0.6), sharex=True, squeeze=False)
    for ax, name in zip(axes[:, 0], names):
        da = ds[name]
        tdim = da.dims[0] if da.dims else None
        t = ds[tdim].values if tdim else np.zeros(1)
        if da.ndim == 1:
            ax.plot(t, da.values)
        elif da.ndim == 2:
            other = da.dims[1]
            count = da.sizes[other]
            picks = range(count) if count <= 4 else np.linspace(0, count - 1, 4).astype(int)
            for i in picks:
                label = f"{other} {ds[other].values[i]}" if other in ds.coords else f"{other} {i}"
                ax.plot(t, da.isel({other: i}).values, label=label)
            ax.legend(fontsize="small", loc="best")
        ax.set_ylabel(_label(da))
        ax.grid(True, alpha=0.3)
    axes[-1, 0].set_xlabel("time [s]")
    title = ds.attrs.get("title")
    if ds.attrs.get("interrupted"):
        title = f"{title or ''} (interrupted)"
    if title:
        fig.suptitle(title)
    return _finish(fig, path)


def spanwise(ds: "xarray.Dataset", variable: Optional[str] = None, *,
             azimuths_deg: Sequence[float] = (0.0, 90.0, 180.0, 270.0), path: PathArg = None) -> "Figure":
    """Loads along the blade from ``Rotor.spanwise`` (or ``aerlox.fields.spanwise_dataset``).

    Left: ``variable`` over the rotor disk seen from above, in hub axes (the blade at
    azimuth psi points along (cos psi, -sin psi)). Right: ``variable`` against radius
    at the stations nearest ``azimuths_deg`` (deg) and its azimuth mean.
    ``variable`` defaults to ``thrust_N_per_m`` (``thrust_N`` when the Dataset
    has no loads per metre).

    NaN stations (reversed flow) are left blank on the disk and as gaps in the
    lines; the azimuth mean has a gap at every radius with a NaN station (a
    mean over the remaining stations would not be the azimuth mean), and the
    legend says how many stations are NaN.
    """
    plt = _pyplot()
    if variable is None:
        variable = "thrust_N_per_m" if "thrust_N_per_m" in ds.data_vars else "thrust_N"
    if variable not in ds.data_vars:
        raise ValueError(f"variable: {variable!r} is not a variable of this Dataset")
    da = ds[variable]
    if da.dims != ("azimuth_deg", "r_m"):
        raise ValueError(f"variable: {variable!r} must lie over (azimuth_deg, r_m), not {da.dims}")
    psi = np.radians(ds["azimuth_deg"].values)
    r = ds["r_m"].values
    # Cell edges half a station / half an element either side.
    dpsi = 2.0 * np.pi / max(psi.size, 1)
    psi_e = np.concatenate([psi - 0.5 * dpsi, [psi[-1] + 0.5 * dpsi]]) if psi.size else psi
    dr = float(r[1] - r[0]) if r.size > 1 else 1.0
    r_e = np.concatenate([r - 0.5 * dr, [r[-1] + 0.5 * dr]]) if r.size else r
    pp, rr = np.meshgrid(psi_e, r_e, indexing="ij")
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.6), gridspec_kw={"width_ratios": [1.0, 1.2]})
    mesh = left.pcolormesh(rr * np.cos(pp), -rr * np.sin(pp), da.values, shading="flat", cmap="viridis")
    fig.colorbar(mesh, ax=left, label=_label(da))
    left.set_aspect("equal")
    left.set_xlabel("hub x [m]")
    left.set_ylabel("hub y [m]")
    left.set_title("over the disk")
    for target in azimuths_deg:
        k = int(np.argmin(np.abs(np.angle(np.exp(1j * (psi - np.radians(target)))))))
        right.plot(r, da.values[k], marker=".", label=f"azimuth {np.degrees(psi[k]):g} deg")
    n_nan = int(np.count_nonzero(np.isnan(da.values)))
    mean_label = "azimuth mean" + (f" (gaps: {n_nan} NaN stations)" if n_nan else "")
    right.plot(r, np.mean(da.values, axis=0), color="k", lw=2, label=mean_label)
    right.set_xlabel(_label(ds["r_m"], "r_m", "m"))
    right.set_ylabel(_label(da))
    right.grid(True, alpha=0.3)
    right.legend(fontsize="small")
    title = ds.attrs.get("model")
    if title:
        fig.suptitle(f"spanwise {variable}, model {title}")
    return _finish(fig, path)


def wake(wake_or_state: Any, rotor: Any = None, *, color_by: str = "strength", max_points: Optional[int] = None,
         elev: float = 18.0, azim: float = -60.0, path: PathArg = None) -> "Figure":
    """The vortex wake in 3-D: particles coloured by their strength's magnitude (or ``color_by="age"``),
    blades drawn at their current azimuth.

    ``wake_or_state``: a ``VpmRotorState`` or a Dataset from ``aerlox.fields.wake_dataset``.
    ``rotor`` (a core vortex rotor or an ``aerlox.Rotor``) supplies the blade radii when
    a state is given. Hub axes; the z axis is drawn downwards, so a hovering rotor's
    wake (which moves along +z, away from the thrust) hangs below the disk.
    ``max_points`` thins the particles evenly for very large wakes; ``elev`` and
    ``azim`` are the 3-D view's elevation and azimuth, deg (matplotlib's ``view_init``).
    """
    plt = _pyplot()
    from .fields import wake_dataset

    ds = wake_or_state if hasattr(wake_or_state, "data_vars") else wake_dataset(wake_or_state, rotor)
    if color_by not in ("strength", "age"):
        raise ValueError(f"color_by must be 'strength' or 'age', got {color_by!r}")
    pos = ds["position_m"].values
    if color_by == "strength":
        c = np.linalg.norm(ds["strength_m3_s"].values, axis=1)
        label = "|strength| [m^3/s]"
    else:
        c = ds["age_s"].values
        label = "age [s]"
    if max_points is not None and pos.shape[0] > max_points:
        keep = np.linspace(0, pos.shape[0] - 1, int(max_points)).astype(int)
        pos, c = pos[keep], c[keep]
    fig = plt.figure(figsize=(8, 6.5))
    # Draw order as written, so the blades stay visible over the particles.
    ax = fig.add_subplot(projection="3d", computed_zorder=False)
    finite = c[np.isfinite(c)]
    # The strongest few particles would wash out the scale: clip at the 99th percentile.
    vmax = float(np.percentile(finite, 99)) if finite.size else None
    sc = ax.scatter(pos[:, 0], pos[:, 1], pos[:, 2], c=c, s=3, cmap="plasma", vmin=0.0 if vmax else None,
                    vmax=vmax, depthshade=False, zorder=1)
    fig.colorbar(sc, ax=ax, shrink=0.6, pad=0.12, label=label)

    radius = ds.attrs.get("radius_m")
    if radius is not None and np.isfinite(radius):
        root = float(ds.attrs.get("root_cutout_m", 0.0))
        n_blades = int(ds.attrs.get("n_blades", 1))
        psi0 = float(ds.attrs.get("psi_rad", 0.0))
        flap = np.radians(ds["flap_deg"].values) if "flap_deg" in ds else np.zeros(n_blades)
        for b in range(n_blades):
            psi = psi0 + 2.0 * np.pi * b / n_blades
            rr = np.array([root, radius])
            ax.plot(rr * np.cos(psi), -rr * np.sin(psi), -rr * flap[b], color="k", lw=3, zorder=3)
        t = np.linspace(0.0, 2.0 * np.pi, 121)
        ax.plot(radius * np.cos(t), radius * np.sin(t), np.zeros_like(t), color="0.3", lw=0.8, ls="--", zorder=2)
    else:
        radius = 0.0
    # Tight bounds around the particles and the disk, drawn to scale.
    lo = np.minimum(pos.min(axis=0), [-radius, -radius, 0.0]) if pos.size else np.array([-1.0, -1.0, -1.0])
    hi = np.maximum(pos.max(axis=0), [radius, radius, 0.0]) if pos.size else np.array([1.0, 1.0, 1.0])
    span = np.maximum(hi - lo, 1e-9)
    ax.set_xlim(lo[0], hi[0])
    ax.set_ylim(lo[1], hi[1])
    ax.set_zlim(hi[2], lo[2])  # drawn downwards: the wake below the disk
    ax.set_box_aspect(tuple(span))
    ax.set_xlabel("hub x [m]")
    ax.set_ylabel("hub y [m]")
    ax.set_zlabel("hub z [m]")
    ax.view_init(elev=elev, azim=azim)
    title = f"vortex wake: {ds.sizes.get('particle', 0)} particles"
    if "time_s" in ds.attrs:
        title += f", t = {ds.attrs['time_s']:.3g} s"
    ax.set_title(title)
    return _finish(fig, path)


def wake_velocity(state: Any, rotor: Any = None, *, plane: str = "xz", offset_m: float = 0.0,
                  extent_m: Optional[Sequence[float]] = None, n: int = 80, method: str = "fast",
                  rtol: float = 1e-3, path: PathArg = None) -> "Figure":
    """The velocity the wake induces on a plane through the rotor: |u| as colour, the
    in-plane components as streamlines, the particles near the plane as dots.

    ``state``: a ``VpmRotorState``; ``rotor`` (core vortex rotor or ``aerlox.Rotor``)
    draws the disk's edge. ``plane``: "xz" (through the shaft, at y = ``offset_m``),
    "yz" (x = ``offset_m``) or "xy" (at height z = ``offset_m``), hub axes, m.
    ``extent_m`` = (a_min, a_max, b_min, b_max) along the plane's two axes (default:
    the wake's extent with a margin); ``n`` points per side. ``method``/``rtol`` as in
    ``aerlox.fields.induced_velocity``. z is drawn downwards, as in ``wake``.
    """
    from . import _checks
    from .fields import _core_vpm, _ext, wake_induced_velocity

    plt = _pyplot()
    axes = {"xz": (0, 2, 1), "yz": (1, 2, 0), "xy": (0, 1, 2)}
    if plane not in axes:
        raise ValueError(f"plane must be 'xz', 'yz' or 'xy', got {plane!r}")
    ia, ib, ic = axes[plane]
    offset = _checks.number("offset_m", offset_m)
    n = _checks.count("n", n, 2, 1000)
    pos = _ext.wake(state)["position_m"]
    if extent_m is None:
        lo = pos.min(axis=0) if pos.size else np.array([-1.0, -1.0, -1.0])
        hi = pos.max(axis=0) if pos.size else np.array([1.0, 1.0, 1.0])
        pad = 0.1 * float(np.max(hi - lo)) + 1e-6
        extent = (lo[ia] - pad, hi[ia] + pad, lo[ib] - pad, hi[ib] + pad)
    else:
        extent = tuple(_checks.floats("extent_m", extent_m, "four numbers (a_min, a_max, b_min, b_max)", size=4))
        if not (extent[1] > extent[0] and extent[3] > extent[2]):
            raise ValueError(f"extent_m must have a_max > a_min and b_max > b_min, got {extent}")
    a = np.linspace(extent[0], extent[1], n)
    b = np.linspace(extent[2], extent[3], n)
    A, B = np.meshgrid(a, b)
    pts = np.zeros((A.size, 3))
    pts[:, ia], pts[:, ib], pts[:, ic] = A.ravel(), B.ravel(), offset
    u = wake_induced_velocity(state, pts, method=method, rtol=rtol)
    ua, ub = u[:, ia].reshape(A.shape), u[:, ib].reshape(A.shape)
    speed = np.linalg.norm(u, axis=1).reshape(A.shape)
    fig, ax = plt.subplots(figsize=(8, 6))
    mesh = ax.pcolormesh(A, B, speed, shading="auto", cmap="viridis")
    fig.colorbar(mesh, ax=ax, label="|u| induced by the wake [m/s]")
    ax.streamplot(a, b, ua, ub, color="w", linewidth=0.6, density=1.2, arrowsize=0.7)
    if pos.size:
        near = np.abs(pos[:, ic] - offset) < 0.02 * max(extent[1] - extent[0], extent[3] - extent[2])
        ax.plot(pos[near, ia], pos[near, ib], ".", color="r", ms=1.5, alpha=0.6)
    core = _core_vpm(rotor)
    if core is not None and plane != "xy":
        radius = float(_ext.vpm_blade(core)["r_edge_m"][-1])
        ax.plot([-radius, radius], [0.0, 0.0], color="k", lw=3)
    names = "xyz"
    ax.set_xlabel(f"hub {names[ia]} [m]")
    ax.set_ylabel(f"hub {names[ib]} [m]")
    ax.set_xlim(extent[0], extent[1])
    if plane == "xy":
        ax.set_ylim(extent[2], extent[3])
    else:
        ax.set_ylim(extent[3], extent[2])  # z downwards: the wake below the disk
    ax.set_aspect("equal")
    ax.set_title(f"wake-induced velocity, plane {plane} at {names[ic]} = {offset:g} m")
    return _finish(fig, path)
