"""Loads along the blade and the vortex wake as labelled xarray Datasets.

Both functions work on the core objects (a model of ``aerlox._aerlox`` and its
state); ``Rotor.spanwise`` and ``simulate(record=...)`` call them for toolkit
users. ``induced_velocity`` and ``wake_induced_velocity`` evaluate the velocity a
set of vortex particles (or a vortex rotor's wake) induces anywhere, by the
direct sum or the fast summation with a chosen relative error. Every variable carries ``units`` and ``long_name`` attributes, and the
datasets round-trip through ``to_netcdf``.

Frames and signs (see ``docs/conventions.md``): hub axes, z along the shaft;
thrust acts on the hub along -z. Azimuth 0 is the blade along hub +x, and the
blade at azimuth psi points along (cos psi, -sin psi, 0).
"""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Optional, Tuple, Union

import numpy as np

from . import _aerlox
from . import _checks

__all__ = ["spanwise_dataset", "wake_dataset", "induced_velocity", "wake_induced_velocity"]

if TYPE_CHECKING:
    import xarray

_ext = _aerlox._ext


def _xr():
    import xarray as xr

    return xr


def _var(dims, data, units, long_name):
    return (dims, data, {"units": units, "long_name": long_name})


# The core's spanwise arrays: (core key, name, units, long name, conversion).
# Rotor.spanwise and simulate(record={"spanwise": k}) label them alike from here.
_SPANWISE = (
    ("alpha_rad", "alpha_deg", "deg", "angle of attack", np.degrees),
    ("phi_rad", "phi_deg", "deg", "inflow angle", np.degrees),
    ("cl", "cl", "1", "section lift coefficient", None),
    ("cd", "cd", "1", "section drag coefficient", None),
    ("inflow_ratio", "inflow_ratio", "1", "axial speed through the element / tip speed (positive in hover)", None),
    ("q_dyn_pa", "dynamic_pressure_Pa", "Pa", "dynamic pressure 0.5 rho W^2", None),
    ("thrust_n", "thrust_N", "N", "element thrust of one blade", None),
    ("torque_nm", "torque_Nm", "N m", "element torque of one blade about the shaft", None),
)


# Loads per metre of span, derived from the per-element ones: (name, units, long name).
_PER_METRE = (
    ("thrust_N_per_m", "N/m", "thrust of one blade per metre of span"),
    ("torque_Nm_per_m", "N m/m", "torque of one blade about the shaft per metre of span"),
    ("tangential_force_N_per_m", "N/m",
     "in-plane force of one blade per metre of span, positive against the rotation (torque per metre / r)"),
)


def element_width_m(model: Any, r_m: np.ndarray) -> float:
    """The blade-element models' element width, m: (R - root cutout) / elements, as the core computes it."""
    blade = getattr(getattr(model, "defn", None), "blade", None)
    if blade is not None and blade.n_elements > 0:
        return (blade.radius_m - blade.root_cutout_m) / blade.n_elements
    return float(r_m[1] - r_m[0]) if r_m.size > 1 else float("nan")


def per_metre(thrust_N: np.ndarray, torque_Nm: np.ndarray, r_m: np.ndarray, width_m: float) -> dict:
    """The per-metre loads of ``_PER_METRE`` from one blade's element loads (r along the last axis)."""
    thrust = thrust_N / width_m
    torque = torque_Nm / width_m
    return dict(zip((n for n, _, _ in _PER_METRE), (thrust, torque, torque / r_m)))


def nan_stations(ds: "xarray.Dataset") -> int:
    """Stations (azimuth x radius) where any spanwise variable is NaN (the flow there is reversed)."""
    names = [n for _, n, _, _, _ in _SPANWISE if n in ds.data_vars]
    if not names:
        return 0
    bad = np.zeros(ds[names[0]].shape, dtype=bool)
    for n in names:
        bad |= np.isnan(ds[n].values)
    return int(np.count_nonzero(bad))


def _azimuth_deg(azimuth_rad: np.ndarray) -> np.ndarray:
    """The stations' azimuths in degrees; evenly spaced stations from 0 come out as exact
    multiples of 360/n (270.0, not 269.99999999999994), so ``sel(azimuth_deg=270)`` works."""
    n = azimuth_rad.size
    even = 2.0 * math.pi * np.arange(n) / max(n, 1)
    if n and np.allclose(azimuth_rad, even, rtol=0.0, atol=1e-12):
        return 360.0 * np.arange(n) / n
    return np.degrees(azimuth_rad)


def _spanwise_coords(d) -> dict:
    """``azimuth_deg`` and ``r_m`` coordinates of one core spanwise record."""
    radius = d["radius_m"]
    r_m = np.array(radius[0]) if radius.shape[0] else np.zeros(radius.shape[1])
    return {
        "azimuth_deg": ("azimuth_deg", _azimuth_deg(d["azimuth_rad"]),
                        {"units": "deg", "long_name": "azimuth of blade 0"}),
        "r_m": ("r_m", r_m, {"units": "m", "long_name": "element centre radius"}),
    }


def spanwise_dataset(model: Any, inputs: "_aerlox.RotorInputs", state: Any = None, *,
                     attrs: Optional[dict] = None) -> "xarray.Dataset":
    """Loads along the blade of a blade-element model at one operating point.

    ``model``: a core blade-element model (``_QuasiStaticBEM*``, ``_PittPetersModel*``,
    ``_OyeBEMModel*``); ``inputs``: ``_aerlox.RotorInputs``; ``state``: the model's
    state (``None``: ``model.initial_rotor_state()``, i.e. zero inflow for the
    dynamic-inflow models). The values come from the very sweep that makes
    ``compute_forces``' hub loads.

    Returns a Dataset over ``azimuth_deg`` (blade 0's azimuth station, deg) x ``r_m``
    (element centre radius, m) with ``alpha_deg`` (angle of attack), ``phi_deg``
    (inflow angle), ``cl``, ``cd``, ``inflow_ratio`` (axial speed through the element
    over tip speed, positive in hover), ``dynamic_pressure_Pa``, and ``thrust_N`` /
    ``torque_Nm``: the element's thrust (along -hub z) and torque about the shaft of
    ONE blade at that station. ``n_blades * thrust_N.mean("azimuth_deg").sum("r_m")``
    is the rotor thrust and the same for torque gives the shaft torque.

    The per-element loads change with the element count; the same loads per
    metre of span do not: ``thrust_N_per_m``, ``torque_Nm_per_m`` and
    ``tangential_force_N_per_m`` (the in-plane force against the rotation,
    torque per metre / r), each the element's load over ``element_width_m``.

    Stations in reversed flow carry zero loads and NaN flow quantities; attribute
    ``nan_stations`` counts the stations with a NaN (``aerlox.plot.spanwise``
    draws them as gaps).
    """
    if state is None:
        if not callable(getattr(model, "initial_rotor_state", None)):
            raise TypeError(f"model must be a core blade-element model, got {type(model).__name__}")
        state = model.initial_rotor_state()
    d = _ext.spanwise(model, inputs, state)
    xr = _xr()
    dims = ("azimuth_deg", "r_m")
    coords = _spanwise_coords(d)
    r_m = coords["r_m"][1]
    dr = element_width_m(model, r_m)
    data = {}
    for key, name, units, long_name, convert in _SPANWISE:
        data[name] = _var(dims, d[key] if convert is None else convert(d[key]), units, long_name)
    derived = per_metre(d["thrust_n"], d["torque_nm"], r_m, dr)
    for name, units, long_name in _PER_METRE:
        data[name] = _var(dims, derived[name], units, long_name)
    ds = xr.Dataset(
        data,
        coords=coords,
        attrs={
            "n_blades": int(d["n_blades"]),
            "element_width_m": dr,
            "core_model": type(model).__name__,
            "omega_rad_s": float(inputs.omega_rad_s),
            "rho_kg_m3": float(inputs.rho_kg_m3),
            "note": "rotor thrust = n_blades * thrust_N averaged over azimuth_deg and summed over r_m",
            **(attrs or {}),
        },
    )
    ds.attrs["nan_stations"] = nan_stations(ds)
    return ds


def _core_vpm(rotor):
    """The core vortex rotor of ``rotor`` (a core rotor, or a toolkit Rotor)."""
    if rotor is None or type(rotor).__name__.startswith("_VpmRotor"):
        return rotor
    core_model = getattr(rotor, "core_model", None)
    if core_model is None:
        raise TypeError(f"rotor must be a vortex-particle rotor or an aerlox.Rotor, got {type(rotor).__name__}")
    return core_model("vpm")


def wake_dataset(state: "_aerlox.VpmRotorState", rotor: Any = None, *, time_s: Optional[float] = None,
                 attrs: Optional[dict] = None) -> "xarray.Dataset":
    """The wake of a vortex-rotor state as a Dataset (new arrays, never views).

    ``state``: ``_aerlox.VpmRotorState``. ``rotor`` (optional): the core vortex rotor
    (or an ``aerlox.Rotor``, whose ``core_model("vpm")`` is used) that made the state;
    it labels the bound circulation with radii. ``time_s`` is stored as an attribute.

    Variables over ``particle`` (oldest first): ``position_m`` and ``strength_m3_s``
    (x ``xyz``, hub axes; strength is the vorticity integrated over the particle's
    volume), ``core_radius_m`` and ``age_s`` (time since the particle was shed, s;
    NaN throughout once a particle merge has combined particles). Over ``blade`` x
    ``element``: ``bound_circulation_m2_s`` (after the last step; absent before the
    first one), with coordinate ``r_m`` when ``rotor`` is given. Attributes:
    ``psi_rad`` (azimuth of blade 0) and ``n_particles``.
    """
    w = _ext.wake(state)
    n = w["core_radius_m"].shape[0]
    age = w["age_s"]
    xr = _xr()
    data = {
        "position_m": _var(("particle", "xyz"), w["position_m"], "m", "particle position, hub axes"),
        "strength_m3_s": _var(("particle", "xyz"), w["strength_m3_s"], "m^3/s",
                              "particle vector strength (vorticity x volume), hub axes"),
        "core_radius_m": _var(("particle",), w["core_radius_m"], "m", "particle core radius"),
        "age_s": _var(("particle",), age if age is not None else np.full(n, np.nan), "s",
                      "time since the particle was shed"),
    }
    coords = {"xyz": ("xyz", np.array(["x", "y", "z"]))}
    gamma = _ext.bound_circulation(state)
    core = _core_vpm(rotor)
    if gamma is not None:
        data["bound_circulation_m2_s"] = _var(("blade", "element"), gamma, "m^2/s", "bound circulation")
        if core is not None:
            r_mid = _ext.vpm_blade(core)["r_mid_m"]
            if r_mid.size == gamma.shape[1]:
                coords["r_m"] = ("element", r_mid, {"units": "m", "long_name": "element centre radius"})
    if w["beta_rad"] is not None:
        data["flap_deg"] = _var(("blade",), np.degrees(w["beta_rad"]), "deg", "flap angle per blade")
    ds_attrs = {"psi_rad": float(w["psi_rad"]), "n_particles": int(n), "ages_known": int(age is not None)}
    if time_s is not None:
        ds_attrs["time_s"] = float(time_s)
    if core is not None:
        blade = _ext.vpm_blade(core)
        ds_attrs["n_blades"] = int(blade["n_blades"])
        ds_attrs["radius_m"] = float(blade["r_edge_m"][-1]) if blade["r_edge_m"].size else math.nan
        ds_attrs["root_cutout_m"] = float(blade["r_edge_m"][0]) if blade["r_edge_m"].size else math.nan
    ds_attrs.update(attrs or {})
    return xr.Dataset(data, coords=coords, attrs=ds_attrs)


def _rows3(name: str, value: Any) -> np.ndarray:
    """``value`` as a new finite float64 array of shape (n, 3)."""
    try:
        arr = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be an array of shape (n, 3) of numbers") from None
    except OverflowError:   # an int beyond any float
        raise ValueError(f"{name} must be finite, got an integer too large for a float") from None
    if arr.ndim == 1 and arr.size == 3:
        arr = arr.reshape(1, 3)
    if arr.ndim != 2 or arr.shape[1] != 3:
        raise ValueError(f"{name} must have shape (n, 3), got {arr.shape}")
    bad = np.argwhere(~np.isfinite(arr))
    if bad.size:
        i, k = (int(v) for v in bad[0])
        raise ValueError(f"{name} must be finite, got {float(arr[i, k])!r} at row {i}")
    return arr


VelocityResult = Union[np.ndarray, Tuple[np.ndarray, np.ndarray]]


def induced_velocity(positions_m: Any, strengths_m3_s: Any, core_radii_m: Any, targets_m: Any = None, *,
                     method: str = "direct", rtol: float = 1e-3, gradient: bool = False) -> VelocityResult:
    """Velocity induced by vortex particles, at given points or at the particles themselves.

    ``positions_m`` (n, 3) m; ``strengths_m3_s`` (n, 3), each particle's vorticity
    integrated over its volume, m^3/s; ``core_radii_m`` (n,) or one number, m, > 0.
    The particles carry the regularised (high-order algebraic) kernel of the vortex
    rotor's wake: u(x) = sum alpha x (x - x_p) (r^2 + 2.5 s^2)/(r^2 + s^2)^(5/2)/(4 pi),
    r = |x - x_p|, s the core radius; so a particle induces a right-handed swirl about
    its strength vector. ``targets_m`` (m, 3) m, or ``None`` for the particles'
    own positions (a particle's own contribution there is zero).

    ``method="direct"`` sums every pair; ``method="fast"`` uses the fast summation
    (a tree whose distant cells carry expansions of the same kernel), whose
    root-mean-square relative error sqrt(sum |du|^2 / sum |u|^2) stays at or below
    ``rtol``. The sums run in single precision on all cores; the same inputs give the
    same bits on any number of threads.

    Returns the (m, 3) velocities (m/s, float64); with ``gradient=True`` a tuple of
    the velocities and the (m, 3, 3) velocity gradient, ``[j, i, k]`` = du_i/dx_k at
    target j, 1/s.
    """
    pos = _rows3("positions_m", positions_m)
    n = pos.shape[0]
    strengths = _rows3("strengths_m3_s", strengths_m3_s) if n else np.zeros((0, 3))
    if strengths.shape[0] != n:
        raise ValueError(f"strengths_m3_s must have shape ({n}, 3) like positions_m, got {strengths.shape}")
    try:
        core = np.array(core_radii_m, dtype=np.float64) if not isinstance(core_radii_m, str) else None
    except OverflowError:   # an int beyond any float
        raise ValueError("core_radii_m must be finite, got an integer too large for a float") from None
    if core is None or core.dtype != np.float64:
        raise TypeError("core_radii_m must be a number or an array of n numbers")
    if core.ndim == 0:
        core = np.full(n, float(core))
    core = _checks.floats("core_radii_m", core, f"a number or an array of {n} numbers", size=n)
    if n and not np.all(core > 0.0):
        i = int(np.flatnonzero(~(core > 0.0))[0])
        raise ValueError(f"core_radii_m must be > 0, got {float(core[i])!r} at index {i}")
    targets = None if targets_m is None else _rows3("targets_m", targets_m)
    if method not in ("direct", "fast"):
        raise ValueError(f"method must be 'direct' or 'fast', got {method!r}")
    rtol = _checks.number("rtol", rtol, positive=True)
    if not isinstance(gradient, (bool, np.bool_)):
        raise TypeError(f"gradient must be True or False, got {gradient!r}")
    vel, grad = _ext.induced_velocity(np.ascontiguousarray(pos), np.ascontiguousarray(strengths), core, targets,
                                      method == "fast", rtol, bool(gradient))
    if gradient:
        return vel, grad.reshape(-1, 3, 3)
    return vel


def wake_induced_velocity(state: "_aerlox.VpmRotorState", targets_m: Any = None, *, method: str = "fast",
                          rtol: float = 1e-3, gradient: bool = False) -> VelocityResult:
    """Velocity induced by a vortex rotor's wake (hub axes), at ``targets_m`` (m, 3) m or
    at the wake's own particles (``None``).

    ``state``: ``_aerlox.VpmRotorState``. Only the shed particles count: the blades'
    bound vortices and the free stream are not included. ``method``, ``rtol`` and
    ``gradient`` as in ``induced_velocity`` (here the fast summation is the default).
    Returns (m, 3) velocities in m/s, or with ``gradient=True`` also the (m, 3, 3)
    gradient du_i/dx_k in 1/s.
    """
    w = _ext.wake(state)
    return induced_velocity(w["position_m"], w["strength_m3_s"], w["core_radius_m"], targets_m, method=method,
                            rtol=rtol, gradient=gradient)
