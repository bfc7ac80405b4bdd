"""Figures of aerlox results (matplotlib, the optional extra ``plot``).

Each function returns the matplotlib ``Figure`` and, given ``path``, also saves it
there (the format follows the file's extension). matplotlib is imported on first
use, so ``import aerlox`` works without it.
"""
from __future__ import annotations

import itertools
from typing import Optional, Sequence, Union

import numpy as np

__all__ = ["polar", "sweep", "history"]


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


def _label(da) -> str:
    units = da.attrs.get("units")
    return f"{da.name} [{units}]" if units and units != "1" else str(da.name)


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


def polar(airfoil, *, alpha_deg: Optional[Sequence[float]] = None, reynolds=None, path=None):
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


def sweep(ds, *, x: str, y: Union[str, Sequence[str]] = ("CT", "CP", "FM"), path=None):
    """Results of ``aerlox.sweep`` against one swept axis, one panel per variable of ``y``.

    Every other swept axis gives one line per value (all combinations when there
    are several); points that failed are NaN and leave gaps.
    """
    plt = _pyplot()
    names = _as_list(y, "y")
    if x not in ds.dims:
        raise ValueError(f"x must be one of the swept axes {list(ds.dims)}, got {x!r}")
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


def history(ds, variables: Union[str, Sequence[str]] = ("thrust_N", "torque_Nm", "rotor_speed_rad_s"), *,
            path=None):
    """Time histories from ``aerlox.simulate``, one panel per variable, sharing the time axis.

    Vector variables (``hub_force_N``, ``hub_moment_Nm``) draw their x, y, z
    components; per-element states (Oye's ``W``) draw a few elements.
    """
    plt = _pyplot()
    names = _as_list(variables, "variables")
    for name in names:
        if name not in ds.variables:
            raise ValueError(f"variables: {name!r} is not in this Dataset")
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
