"""Loads along the blade and the vortex wake as labelled xarray Datasets.

Both functions work on the core objects (a model of ``aerlox._aerlox`` and its
state); ``Rotor.spanwise`` and ``simulate(record=...)`` call them for toolkit
users. Every variable carries ``units`` and ``long_name`` attributes, and the
datasets round-trip through ``to_netcdf``.

Frames and signs (see ``docs/conventions.md``): hub axes, z along the shaft;
thrust acts on the hub along -z. Azimuth 0 is the blade along hub +x, and the
blade at azimuth psi points along (cos psi, -sin psi, 0).
"""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Optional

import numpy as np

from . import _aerlox

__all__ = ["spanwise_dataset", "wake_dataset"]

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
    is the rotor thrust and the same for torque gives the shaft torque. Stations in
    reversed flow carry zero loads and NaN flow quantities.
    """
    if state is None:
        state = model.initial_rotor_state()
    d = _ext.spanwise(model, inputs, state)
    xr = _xr()
    dims = ("azimuth_deg", "r_m")
    coords = _spanwise_coords(d)
    r_m = coords["r_m"][1]
    n_r = r_m.size
    dr = float(r_m[1] - r_m[0]) if n_r > 1 else float("nan")
    data = {}
    for key, name, units, long_name, convert in _SPANWISE:
        data[name] = _var(dims, d[key] if convert is None else convert(d[key]), units, long_name)
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
