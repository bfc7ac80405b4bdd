"""A simulation's history as a Dataset, and what reads it back: the saved model
states (``load_state``) and the recorded spanwise loads and wakes at a time.

Every Dataset built here saves with ``aerlox.save(ds, path)`` (atomic,
checksummed) and reads back with ``aerlox.load(path)``: variables are float64, int64, bool or str, and
attributes are strings and numbers only (flags are stored as the integers 0/1,
which netCDF can hold whatever the engine).
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Optional

import numpy as np

from . import _aerlox
from ._checks import real
from ._studies import _COMPONENTS, _OP_UNITS, _SCALARS, _VECTORS, _hub_axis
from .fields import _PER_METRE, _SPANWISE, _spanwise_coords, nan_stations, per_metre
from .saving import checksum

if TYPE_CHECKING:  # annotations only; xarray is imported where it is used
    import xarray

__all__ = ["load_state", "spanwise_at", "wake_at"]


# The recorded inflow states of each model, by the state's own names (units, meaning).
_INFLOW_NAMES = {
    "PittPetersRotorState": (("lambda_0", "1", "uniform inflow ratio"),
                             ("lambda_c", "1", "longitudinal (cosine) inflow ratio"),
                             ("lambda_s", "1", "lateral (sine) inflow ratio")),
    "OyeRotorState": (("W_int", "1", "intermediate filtered inflow ratio per element (induced velocity / omega r)"),
                      ("W", "1", "filtered inflow ratio per element (induced velocity / omega r)")),
}


# The states a run saves as arrays, each with the blank instance to call
# ``from_array`` on (sized from the array: Oye keeps two values per element).
_STATE_BLANKS = {
    "PittPetersRotorState": lambda size: _aerlox.PittPetersRotorState(0.0, 0.0, 0.0),
    "OyeRotorState": lambda size: _aerlox.OyeRotorState.zeros(size // 2),
    "QuasiStaticRotorState": lambda size: _aerlox.QuasiStaticRotorState(),
}

STATE_CHECKSUM_ATTR = "checksum"


def saved_state(name: str, state) -> tuple:
    """The Dataset variable ``name`` holding ``state``'s array, its class and a checksum of it."""
    arr = np.asarray(state.to_array(), dtype=np.float64)
    attrs = {"state_class": type(state).__name__,
             "long_name": f"model state ({type(state).__name__}.to_array)",
             STATE_CHECKSUM_ATTR: checksum({name: arr})}
    return (f"{name}_index", arr, attrs)


def load_state(ds: "xarray.Dataset", which: str = "final") -> Any:
    """Rebuild the model state saved with a simulation (``which`` = "final" or "initial").

    ``simulate`` stores the blade-element models' inflow states (their ``to_array``
    form) as the variables ``initial_state`` and ``final_state`` with the state
    class in their ``state_class`` attribute and a checksum of the values, so a
    run read back from a netCDF file can be continued:
    ``simulate(..., initial_state=load_state(ds))``. A state whose values fail
    their checksum, are not finite, or name a class other than a blade-element
    model's state is refused with a ValueError. The vortex rotor's wake is not an
    array state and is not saved; keep it in memory with
    ``simulate(..., return_state=True)``.
    """
    if which not in ("final", "initial"):
        raise ValueError(f"which must be 'final' or 'initial', got {which!r}")
    name = f"{which}_state"
    variables = getattr(ds, "variables", None)
    if variables is None:
        raise TypeError(f"ds must be an xarray.Dataset from aerlox.simulate, got {type(ds).__name__}")
    if name not in variables:
        raise ValueError(f"this Dataset holds no {name!r} (the vortex rotor's wake is not saved with a run)")
    var = ds[name]
    class_name = str(var.attrs.get("state_class", ""))
    blank = _STATE_BLANKS.get(class_name)
    if blank is None:
        raise ValueError(f"{name}: state_class {class_name!r} is not a state this toolkit saves; "
                         f"expected one of {', '.join(_STATE_BLANKS)}")
    try:
        arr = np.ascontiguousarray(var.values, dtype=np.float64).reshape(-1)
    except (TypeError, ValueError):
        raise ValueError(f"{name}: the saved state is not an array of numbers") from None
    saved = var.attrs.get(STATE_CHECKSUM_ATTR)
    if saved is not None and checksum({name: arr}) != str(saved):
        raise ValueError(f"{name}: the values do not match the checksum saved with them; the file is damaged "
                         "(an interrupted write?) and the state cannot be trusted")
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"{name}: the saved state holds non-finite values; it cannot start a run")
    if class_name == "PittPetersRotorState" and arr.size != 3 or class_name == "OyeRotorState" and arr.size % 2:
        raise ValueError(f"{name}: {arr.size} values do not make a {class_name}")
    return blank(arr.size).from_array(arr)


def _recorded_index(ds, dim, time_s):
    if not hasattr(ds, "dims") or not hasattr(ds, "sizes"):
        raise TypeError(f"ds must be an xarray.Dataset from aerlox.simulate, got {type(ds).__name__}")
    if dim not in ds.dims or ds.sizes[dim] == 0:
        raise ValueError(f"this Dataset holds no {dim!r} records; simulate(..., record=...) keeps them")
    if time_s is None:
        return ds.sizes[dim] - 1
    return int(np.argmin(np.abs(ds[dim].values - real("time_s", time_s))))


def spanwise_at(ds: "xarray.Dataset", time_s: Optional[float] = None) -> "xarray.Dataset":
    """The spanwise loads a simulation recorded nearest ``time_s`` (s; the last when None).

    Returns them under the names of ``Rotor.spanwise`` (``alpha_deg``, ``thrust_N``,
    ``thrust_N_per_m``, ... over ``azimuth_deg`` x ``r_m``), so ``aerlox.plot.spanwise``
    draws them.
    """
    k = _recorded_index(ds, "time_spanwise_s", time_s)
    names = {f"spanwise_{name}": name for name in [n for _, n, _, _, _ in _SPANWISE] + [n for n, _, _ in _PER_METRE]
             if f"spanwise_{name}" in ds.variables}
    out = ds[list(names)].isel(time_spanwise_s=k).rename(names)
    out.attrs = {"time_s": float(ds.time_spanwise_s[k]), "model": ds.attrs.get("model", "")}
    if "spanwise_element_width_m" in ds.attrs:
        out.attrs["element_width_m"] = ds.attrs["spanwise_element_width_m"]
    out.attrs["nan_stations"] = nan_stations(out)
    return out


def wake_at(ds: "xarray.Dataset", time_s: Optional[float] = None) -> "xarray.Dataset":
    """The wake a vortex-rotor simulation recorded nearest ``time_s`` (s; the last when None).

    Returns it in the form of ``aerlox.fields.wake_dataset`` (``position_m``,
    ``strength_m3_s``, ``core_radius_m``, ``age_s`` over ``particle``), so
    ``aerlox.plot.wake`` draws it, blades included.
    """
    import xarray as xr

    k = _recorded_index(ds, "time_wake_s", time_s)
    counts = ds["wake_count"].values
    start = int(counts[:k].sum())
    part = ds.isel(wake_particle=slice(start, start + int(counts[k])))
    data = {name: (("particle",) + part[f"wake_{name}"].dims[1:], part[f"wake_{name}"].values,
                   part[f"wake_{name}"].attrs)
            for name in ("position_m", "strength_m3_s", "core_radius_m", "age_s")}
    attrs = {"time_s": float(ds.time_wake_s[k]), "psi_rad": float(ds.wake_psi_rad[k]), "n_particles": int(counts[k])}
    for name in ("n_blades", "radius_m", "root_cutout_m"):
        if name in ds.attrs:
            attrs[name] = ds.attrs[name]
    return xr.Dataset(data, coords={"xyz": ds["xyz"].values}, attrs=attrs)


def _history_dataset(log, inflow_every, state_class, is_vpm, saved, span_every=0):
    """Turn the per-step records into a Dataset (vectorised once, after the loop)."""
    import xarray as xr

    n = len(log.results)
    dt_s = log.dt_s
    time = np.arange(n, dtype=np.float64) * dt_s
    results = log.results
    force = np.array([r.F_world for r in results], dtype=np.float64).reshape(n, 3)
    moment = np.array([r.m_hub_world for r in results], dtype=np.float64).reshape(n, 3)
    torque = np.fromiter((r.Q_spin for r in results), dtype=np.float64, count=n)
    fields = [f for f in _OP_UNITS if f not in ("rpm", "omega_rad_s")]
    if log.ops is None:
        row = [float(getattr(log.op, f)) for f in fields] + list(_hub_axis(log.op))
        table = np.broadcast_to(np.array(row, dtype=np.float64), (n, len(row)))
    else:
        # A stepwise schedule hands back the same few objects, so each is read once.
        seen: Dict[int, tuple] = {}
        rows = []
        for op in log.ops:
            entry = seen.get(id(op))
            if entry is None or entry[0] is not op:
                entry = (op, [float(getattr(op, f)) for f in fields] + list(_hub_axis(op)))
                seen[id(op)] = entry
            rows.append(entry[1])
        table = np.array(rows, dtype=np.float64).reshape(n, len(fields) + 3)
    if log.omegas is not None:
        omega = np.array(log.omegas, dtype=np.float64)
    elif log.ops is None:
        omega = np.full(n, log.op.omega)
    else:
        omega = np.array([op.omega for op in log.ops], dtype=np.float64)
    axis = table[:, len(fields):]
    thrust = -np.einsum("ij,ij->i", force, axis)
    coords = {"time_s": ("time_s", time, {"units": "s", "long_name": "time at the start of the step"}),
              "component": ("component", list(_COMPONENTS))}
    dv: Dict[str, Any] = {
        "thrust_N": ("time_s", thrust, {"units": "N", "long_name": _SCALARS[0][2]}),
        "torque_Nm": ("time_s", torque,
                      {"units": "N m", "long_name": "aerodynamic shaft torque (drive torque to hold speed)"}),
        "power_W": ("time_s", torque * omega, {"units": "W", "long_name": "shaft power, torque times rotor speed"}),
        "hub_force_N": (("time_s", "component"), force, {"units": "N", "long_name": _VECTORS[0][2]}),
        "hub_moment_Nm": (("time_s", "component"), moment, {"units": "N m", "long_name": _VECTORS[1][2]}),
        "rotor_speed_rad_s": ("time_s", omega, {"units": "rad/s", "long_name": "rotor speed during the step"}),
    }
    for j, f in enumerate(fields):
        dv[f] = ("time_s", np.array(table[:, j]), {"units": _OP_UNITS[f], "long_name": f"operating point: {f}"})
    if log.motors is not None:
        dv["motor_torque_Nm"] = ("time_s", np.array(log.motors, dtype=np.float64),
                                 {"units": "N m", "long_name": "motor torque over the step, positive along the rotation"})
    if is_vpm:
        dv["n_particles"] = ("time_s", np.array(log.particles, dtype=np.int64),
                             {"units": "1", "long_name": "wake particles after the step"})
    names = _INFLOW_NAMES.get(state_class)
    states = log.states
    if names and states:
        tag = "time_s"
        if inflow_every != 1:
            tag = "time_inflow_s"
            coords[tag] = (tag, np.arange(len(states)) * (inflow_every * dt_s),
                           {"units": "s", "long_name": "time of the recorded inflow states"})
        if state_class == "PittPetersRotorState":
            arr = np.array([s.to_array() for s in states], dtype=np.float64).reshape(len(states), 3)
            for j, (name, units, doc) in enumerate(names):
                dv[name] = (tag, np.array(arr[:, j]), {"units": units, "long_name": doc})
        else:
            for name, units, doc in names:
                arr = np.array([getattr(s, name) for s in states], dtype=np.float64)
                dv[name] = ((tag, "element"), arr, {"units": units, "long_name": doc})
    if log.spanwise:
        _spanwise_vars(log.spanwise, span_every, dt_s, dv, coords, log.span_width_m)
    if log.wakes:
        _wake_vars(log.wakes, dt_s, dv, coords)
    dv.update(saved)
    return xr.Dataset(dv, coords=coords)


def _spanwise_vars(records, every, dt_s, dv, coords, width_m):
    first = records[0]
    dims = ("time_spanwise_s", "azimuth_deg", "r_m")
    coords["time_spanwise_s"] = ("time_spanwise_s", np.arange(len(records)) * (every * dt_s),
                                 {"units": "s", "long_name": "time of the recorded spanwise loads (start of step)"})
    coords.update(_spanwise_coords(first))
    for key, name, units, doc, convert in _SPANWISE:
        arr = np.stack([r[key] for r in records])
        if convert is not None:
            arr = convert(arr)
        dv[f"spanwise_{name}"] = (dims, arr, {"units": units, "long_name": doc})
    r_m = coords["r_m"][1]
    derived = per_metre(dv["spanwise_thrust_N"][1], dv["spanwise_torque_Nm"][1], r_m, width_m)
    for name, units, doc in _PER_METRE:
        dv[f"spanwise_{name}"] = (dims, derived[name], {"units": units, "long_name": doc})


def _wake_vars(records, dt_s, dv, coords):
    counts = np.array([w["core_radius_m"].shape[0] for _, w in records], dtype=np.int64)
    coords["time_wake_s"] = ("time_wake_s", np.array([k for k, _ in records], dtype=np.float64) * dt_s,
                             {"units": "s", "long_name": "time of the recorded wake (end of step)"})
    if "xyz" not in coords:
        coords["xyz"] = ("xyz", list(_COMPONENTS))
    dv["wake_psi_rad"] = ("time_wake_s", np.array([float(w["psi_rad"]) for _, w in records]),
                          {"units": "rad", "long_name": "azimuth of blade 0 at the recorded wake"})
    dv["wake_count"] = ("time_wake_s", counts,
                        {"long_name": "particles of each recorded wake, stored one wake after the other",
                         "sample_dimension": "wake_particle"})

    def stack(key, width=None):
        parts = [w[key] if w[key] is not None else np.full(len(w["core_radius_m"]), np.nan) for _, w in records]
        return np.concatenate(parts).reshape((-1, width) if width else (-1,)).astype(np.float64)

    dv["wake_position_m"] = (("wake_particle", "xyz"), stack("position_m", 3),
                             {"units": "m", "long_name": "particle position, hub axes"})
    dv["wake_strength_m3_s"] = (("wake_particle", "xyz"), stack("strength_m3_s", 3),
                                {"units": "m^3/s", "long_name": "particle vector strength, hub axes"})
    dv["wake_core_radius_m"] = ("wake_particle", stack("core_radius_m"), {"units": "m", "long_name": "core radius"})
    dv["wake_age_s"] = ("wake_particle", stack("age_s"), {"units": "s", "long_name": "time since shed"})
