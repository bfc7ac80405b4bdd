"""Studies over a rotor: parameter sweeps and time simulations, returned as xarray Datasets.

``sweep`` solves a grid of operating points, serially or on any
``concurrent.futures.Executor`` (a local process pool or a Dask cluster through
``distributed.Client(...).get_executor()``): the same code runs in every case and
the numbers are bit-identical whatever runs them. ``simulate`` time-marches one
model through an operating-point schedule, optionally with the rotor speed as a
state and a controller in the loop.

Every Dataset returned here saves with ``ds.to_netcdf(path)`` and reads back with
``xarray.load_dataset(path)``: variables are float64, int64, bool or str, and
attributes are strings and numbers only (flags are stored as the integers 0/1,
which netCDF can hold whatever the engine).
"""
from __future__ import annotations

import builtins
import concurrent.futures as cf
import dataclasses
import inspect
import itertools
import json
import math
import os
import signal
import threading
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _aerlox, _progress, models
from .fields import _SPANWISE, _spanwise_coords
from .operating import OperatingPoint
from .rotor import _warn_every_point

if TYPE_CHECKING:  # annotations only; xarray is imported where it is used
    import xarray

    from .rotor import Rotor

__all__ = ["sweep", "simulate", "Spin", "load_state", "spanwise_at", "wake_at"]

# Units of the OperatingPoint fields, used for the coordinates of a sweep and the
# input variables of a simulation.
_OP_UNITS = {
    "rpm": "1/min",
    "omega_rad_s": "rad/s",
    "collective_deg": "deg",
    "climb_m_s": "m/s",
    "forward_m_s": "m/s",
    "shaft_tilt_deg": "deg",
    "cyclic_lon_rad": "rad",
    "cyclic_lat_rad": "rad",
    "rho_kg_m3": "kg/m^3",
}

_COMPONENTS = ("x", "y", "z")

# Scalar Performance values, in the order a worker returns them, with units and meaning.
_SCALARS = (
    ("thrust_N", "N", "rotor thrust, positive along the thrust direction (hub -z)"),
    ("torque_Nm", "N m", "shaft torque the drive supplies, positive for a powered rotor"),
    ("power_W", "W", "shaft power, torque times rotor speed"),
    ("CT", "1", "thrust coefficient T / (rho pi R^2 (Omega R)^2)"),
    ("CQ", "1", "torque coefficient Q / (rho pi R^2 (Omega R)^2 R)"),
    ("CP", "1", "power coefficient P / (rho pi R^2 (Omega R)^3)"),
    ("FM", "1", "figure of merit (axial flight only, NaN otherwise)"),
)
_VECTORS = (
    ("hub_force_N", "N", "aerodynamic force on the hub, world frame"),
    ("hub_moment_Nm", "N m", "aerodynamic moment about the hub, world frame"),
)
_ROW = len(_SCALARS) + 3 * len(_VECTORS) + 2   # + the trimmed cyclic (lon, lat), NaN when not trimming


def _op_fields() -> Tuple[str, ...]:
    return tuple(f.name for f in dataclasses.fields(OperatingPoint))


def _rotor_json(rotor) -> str:
    """The rotor description as JSON text, kept in results so a run can be repeated."""
    try:
        return json.dumps(rotor.to_dict(), sort_keys=True)
    except Exception:  # a description that cannot be written is no reason to lose the results
        return repr(rotor)


def _aerlox_version() -> str:
    from . import __version__

    return __version__


# --------------------------------------------------------------------------- sweep


def _solve_chunk(rotor, model: str, options: Mapping[str, Any], fixed: Mapping[str, Any],
                 names: Sequence[str], points: Sequence[tuple], trim=None):
    """Solve a chunk of operating points; runs in whatever process the executor chose.

    Returns ``(values, converged, errors, warned)``: a float64 array (n, 15) of the
    Performance numbers and the trimmed cyclic (NaN where the point failed), a bool
    per point, the error text per point ("" where it solved) and the warnings each
    point raised. With ``trim`` (a target hub moment) every point is trimmed first.
    """
    n = len(points)
    # One flat list of floats: no container per point for the garbage collector to walk.
    flat: List[float] = []
    converged = np.zeros(n, dtype=bool)
    errors = [""] * n
    warned: List[Tuple[str, ...]] = [()] * n
    nan2 = (math.nan, math.nan)
    blank = (math.nan,) * _ROW
    kwargs = dict(fixed)
    with warnings.catch_warnings(record=True) as caught, _warn_every_point():
        warnings.simplefilter("always")
        for i, point in enumerate(points):
            seen = len(caught)
            try:
                kwargs.update(zip(names, point))
                op = OperatingPoint(**kwargs)
                if trim is None:
                    perf = rotor.solve(op, model=model, **options)
                    cyclic = nan2
                else:
                    op, perf = rotor.trim(op, target_moment_Nm=trim, model=model, **options)
                    cyclic = [op.cyclic_lon_rad, op.cyclic_lat_rad]
                row = ((perf.thrust_N, perf.torque_Nm, perf.power_W, perf.CT, perf.CQ, perf.CP, perf.FM)
                       + tuple(perf.hub_force_N.tolist()) + tuple(perf.hub_moment_Nm.tolist()) + tuple(cyclic))
                converged[i] = perf.converged
            except Exception as exc:  # recorded per point; one bad point must not sink the study
                errors[i] = f"{type(exc).__name__}: {exc}"
                row = blank
            flat.extend(row)
            if len(caught) > seen:
                warned[i] = tuple(f"{w.category.__name__}: {w.message}" for w in caught[seen:])
    values = np.array(flat, dtype=np.float64).reshape(n, _ROW)
    return values, converged, errors, warned


def _axis_values(name: str, value) -> Optional[np.ndarray]:
    """The 1-D values of a swept axis, or None when ``value`` is a scalar held fixed."""
    if value is None or isinstance(value, (str, bytes)):
        return None
    arr = np.asarray(value)
    if arr.ndim == 0:
        return None
    if arr.ndim != 1:
        raise ValueError(f"sweep axis {name!r} must be a scalar or a 1-D sequence, got shape {arr.shape}")
    if arr.size == 0:
        raise ValueError(f"sweep axis {name!r} is empty")
    if not np.issubdtype(arr.dtype, np.number) or np.iscomplexobj(arr):
        raise ValueError(f"sweep axis {name!r} must hold real numbers, got dtype {arr.dtype}")
    arr = arr.astype(np.float64)
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"sweep axis {name!r} must hold finite numbers")
    return arr


def _executor_workers(executor) -> int:
    """How many tasks ``executor`` runs at once, as far as it tells; else this machine's CPUs."""
    count = getattr(executor, "_max_workers", None)   # concurrent.futures pools
    if not count:
        client = getattr(executor, "_client", None)    # distributed's ClientExecutor
        try:
            count = sum(client.nthreads().values())
        except Exception:  # not a Dask client, or the cluster cannot be asked: fall back
            count = None
    return int(count or os.cpu_count() or 1)


def _default_chunk(n_points: int, executor) -> int:
    if executor is None:
        return max(1, min(n_points, 256))
    workers = _executor_workers(executor)
    # About eight chunks per worker keeps the workers busy to the end while each
    # chunk stays large enough that sending it costs little beside solving it.
    return max(1, min(256, math.ceil(n_points / (8 * workers))))


def sweep(rotor: "Rotor", *, model: str = "bem", executor: Optional[cf.Executor] = None, progress: Optional[bool] = None,
          chunk_size: Optional[int] = None, options: Optional[Mapping[str, Any]] = None,
          trim_moment_Nm: Optional[Tuple[float, float]] = None, **axes: Any) -> "xarray.Dataset":
    """Solve ``rotor`` over a grid of operating points and return an ``xarray.Dataset``.

    Parameters
    ----------
    rotor : aerlox.Rotor
    model : str
        ``"bem"``, ``"pitt-peters"``, ``"oye"`` or ``"vpm"`` (as for ``Rotor.solve``).
    executor : concurrent.futures.Executor, optional
        ``None`` solves in this process. A ``ProcessPoolExecutor`` spreads the chunks
        over local processes; ``distributed.Client(...).get_executor()`` over a Dask
        cluster. Nothing here imports Dask.
    progress : bool, optional
        Show a tqdm bar; by default only when stderr is a terminal outside CI.
    chunk_size : int, optional
        Points per task sent to the executor (default: about eight tasks per worker,
        at most 256 points each). It changes neither the numbers nor their order.
    options : mapping, optional
        Keyword options passed to ``Rotor.solve`` for every point
        (e.g. ``{"revolutions": 6}`` for the vortex rotor).
    trim_moment_Nm : (float, float), optional
        Trim every point with ``Rotor.trim`` to this hub moment (roll, pitch), N m,
        before solving; the trimmed cyclic is recorded as ``trim_cyclic_lon_rad``
        and ``trim_cyclic_lat_rad``. A point that fails to trim is recorded as failed.
    **axes
        ``OperatingPoint`` fields. A 1-D sequence sweeps that field; a scalar holds it
        fixed. Example: ``sweep(rotor, rpm=1200, collective_deg=np.linspace(0, 12, 13))``.

    Returns
    -------
    xarray.Dataset
        One dimension per swept field in the order given (coordinates with a
        ``units`` attribute), fixed fields as scalar coordinates, a component
        dimension ``component`` = x, y, z for the hub vectors, and the variables
        ``thrust_N, torque_Nm, power_W, CT, CQ, CP, FM, hub_force_N, hub_moment_Nm``
        (float64, NaN where the point failed), ``converged`` (bool), ``error`` (the
        exception as ``"Type: message"``, empty where the point solved) and
        ``warning`` (warnings the point raised, empty when none). ``attrs`` hold the
        model, the rotor description as JSON and the number of failed points.
        A point that raises is recorded in ``error``, never raised; each distinct
        warning is issued again here once. Ctrl-C stops the sweep and returns what
        was computed, with ``attrs["interrupted"] = 1`` and the points not
        computed marked in ``error``.
    """
    import xarray as xr

    fields = _op_fields()
    for name in axes:
        if name not in fields:
            raise ValueError(f"sweep axis {name!r} is not an OperatingPoint field; expected one of {', '.join(fields)}")
    if not isinstance(model, str) or model not in models.MODELS:
        raise ValueError(f"model must be one of {', '.join(map(repr, models.MODELS))}, got {model!r}")
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise ValueError("executor must be a concurrent.futures.Executor (an object with submit()), or None")
    options = dict(options or {})
    if not models.MODELS[model].single_shot:
        # One bar for the whole sweep; a bar per point inside the workers would only garble it.
        options.setdefault("progress", False)
    if trim_moment_Nm is not None:
        try:
            trim_moment_Nm = tuple(float(v) for v in trim_moment_Nm)
        except (TypeError, ValueError):
            trim_moment_Nm = ()
        if len(trim_moment_Nm) != 2 or not all(map(math.isfinite, trim_moment_Nm)):
            raise ValueError("trim_moment_Nm must be two finite numbers (roll, pitch) in N m, or None")
    swept: Dict[str, np.ndarray] = {}
    fixed: Dict[str, Any] = {}
    for name, value in axes.items():
        arr = _axis_values(name, value)
        if arr is None:
            fixed[name] = value
        else:
            swept[name] = arr
    # An invalid fixed value (or rpm and omega together) is the caller's mistake, not a point's.
    probe = dict(fixed)
    probe.update({name: float(arr[0]) for name, arr in swept.items()})
    OperatingPoint(**probe)

    names = list(swept)
    shape = tuple(len(swept[n]) for n in names)
    grid = list(itertools.product(*(swept[n].tolist() for n in names)))
    n_points = len(grid)
    if chunk_size is None:
        chunk_size = _default_chunk(n_points, executor)
    elif not isinstance(chunk_size, int) or isinstance(chunk_size, bool) or chunk_size < 1:
        raise ValueError(f"chunk_size must be a positive integer, got {chunk_size!r}")
    starts = list(range(0, n_points, chunk_size))

    values = np.full((n_points, _ROW), np.nan)
    converged = np.zeros(n_points, dtype=bool)
    errors: List[str] = [""] * n_points
    warned: List[Tuple[str, ...]] = [()] * n_points

    def store(start, out):
        v, c, e, w = out
        stop = start + len(e)
        values[start:stop] = v
        converged[start:stop] = c
        errors[start:stop] = e
        warned[start:stop] = w

    bar = _progress.bar(n_points, f"sweep {model}", progress, unit="pt")
    done = set()
    interrupted = False
    try:
        if executor is None:
            for start in starts:
                store(start, _solve_chunk(rotor, model, options, fixed, names, grid[start:start + chunk_size],
                                          trim_moment_Nm))
                done.add(start)
                bar.update(min(chunk_size, n_points - start))
        else:
            pending = {executor.submit(_solve_chunk, rotor, model, options, fixed, names,
                                       grid[start:start + chunk_size], trim_moment_Nm): start for start in starts}
            try:
                for fut in cf.as_completed(pending):
                    start = pending[fut]
                    try:
                        store(start, fut.result())
                    except Exception as exc:
                        # The task itself was lost (a worker died, the chunk did not pickle):
                        # its points are recorded as failed like any other.
                        stop = min(start + chunk_size, n_points)
                        errors[start:stop] = [f"{type(exc).__name__}: {exc}"] * (stop - start)
                    done.add(start)
                    bar.update(min(chunk_size, n_points - start))
            finally:
                for fut in pending:
                    fut.cancel()
    except KeyboardInterrupt:
        # Ctrl-C keeps what was computed; the rest is marked, as in simulate.
        interrupted = True
        for start in starts:
            if start not in done:
                stop = min(start + chunk_size, n_points)
                errors[start:stop] = ["KeyboardInterrupt: not computed, the sweep was interrupted"] * (stop - start)
    finally:
        bar.close()

    counts: Dict[str, int] = {}
    for texts in warned:
        for one in texts:
            counts[one] = counts.get(one, 0) + 1
    for text, count in counts.items():
        category, _, message = text.partition(": ")
        cls = getattr(builtins, category, None)
        if not (isinstance(cls, type) and issubclass(cls, Warning)):
            cls = RuntimeWarning
        warnings.warn(f"{message} [{count} of {n_points} sweep points; see the 'warning' variable]",
                      cls, stacklevel=2)

    dims = tuple(names)
    coords: Dict[str, Any] = {}
    for name in names:
        coords[name] = (name, swept[name], {"units": _OP_UNITS.get(name, "1")})
    for name, value in fixed.items():
        if value is not None:
            coords[name] = ((), float(value), {"units": _OP_UNITS.get(name, "1")})
    coords["component"] = ("component", list(_COMPONENTS))
    data_vars: Dict[str, Any] = {}
    for i, (name, units, doc) in enumerate(_SCALARS):
        data_vars[name] = (dims, values[:, i].reshape(shape), {"units": units, "long_name": doc})
    off = len(_SCALARS)
    for j, (name, units, doc) in enumerate(_VECTORS):
        block = values[:, off + 3 * j: off + 3 * j + 3].reshape(shape + (3,))
        data_vars[name] = (dims + ("component",), block, {"units": units, "long_name": doc})
    if trim_moment_Nm is not None:
        for j, (name, doc) in enumerate((("trim_cyclic_lon_rad", "trimmed longitudinal cyclic"),
                                         ("trim_cyclic_lat_rad", "trimmed lateral cyclic"))):
            data_vars[name] = (dims, values[:, _ROW - 2 + j].reshape(shape), {"units": "rad", "long_name": doc})
    data_vars["converged"] = (dims, converged.reshape(shape), {"long_name": "the model reported a settled answer"})
    data_vars["error"] = (dims, np.array(errors, dtype=str).reshape(shape),
                          {"long_name": "exception raised by the point, empty where it solved"})
    data_vars["warning"] = (dims, np.array(["; ".join(w) for w in warned], dtype=str).reshape(shape),
                            {"long_name": "warnings raised by the point, empty when none"})
    attrs = {
        "title": f"aerlox sweep, model {model}",
        "model": model,
        "rotor": _rotor_json(rotor),
        "rotor_name": str(getattr(rotor, "name", "")),
        "solve_options": json.dumps(options, sort_keys=True, default=repr),
        "n_points": n_points,
        "trim_moment_Nm": "none" if trim_moment_Nm is None else json.dumps(list(trim_moment_Nm)),
        "n_failed": int(sum(1 for e in errors if e)),
        "interrupted": int(interrupted),
        "aerlox_version": _aerlox_version(),
    }
    return xr.Dataset(data_vars, coords=coords, attrs=attrs)


# --------------------------------------------------------------------------- simulate


@dataclasses.dataclass(frozen=True)
class Spin:
    """The rotor speed as a state: a rigid rotor on a bearing, driven by a motor.

    Each step advances the speed with ``_aerlox.step_omega`` from the step's
    aerodynamic shaft torque (positive brakes a positively spinning rotor), the motor
    torque and the Coulomb bearing friction.

    Parameters
    ----------
    inertia_kg_m2 : float
        Polar moment of inertia of the rotor, drive train and motor about the shaft, kg m^2 (> 0).
    motor_torque_Nm : float or callable
        Driving torque, N m, positive along the rotation. A callable receives the
        time in s, or the time and the rotor speed in rad/s (``f(t_s)`` or
        ``f(t_s, omega_rad_s)``), so a motor law or a speed governor fits.
    bearing_friction_Nm : float
        Magnitude of the Coulomb friction torque, N m.
    omega0_rad_s : float, optional
        Initial rotor speed, rad/s; by default the speed of the first operating point.
    """

    inertia_kg_m2: float
    motor_torque_Nm: Union[float, Callable[..., float]] = 0.0
    bearing_friction_Nm: float = 0.0
    omega0_rad_s: Optional[float] = None

    def __post_init__(self):
        inertia = self.inertia_kg_m2
        if not (isinstance(inertia, (int, float, np.number)) and math.isfinite(inertia) and inertia > 0):
            raise ValueError(f"Spin.inertia_kg_m2 must be a finite number > 0, got {inertia!r}")
        friction = self.bearing_friction_Nm
        if not (isinstance(friction, (int, float, np.number)) and math.isfinite(friction) and friction >= 0):
            raise ValueError(f"Spin.bearing_friction_Nm must be a finite number >= 0, got {friction!r}")
        torque = self.motor_torque_Nm
        if not callable(torque) and not (isinstance(torque, (int, float, np.number)) and math.isfinite(torque)):
            raise ValueError(f"Spin.motor_torque_Nm must be a finite number or a callable, got {torque!r}")
        w0 = self.omega0_rad_s
        if w0 is not None and not (isinstance(w0, (int, float, np.number)) and math.isfinite(w0)):
            raise ValueError(f"Spin.omega0_rad_s must be a finite number or None, got {w0!r}")

    def _torque_law(self) -> Callable[[float, float], float]:
        """The motor torque as f(t_s, omega_rad_s), whatever form it was given in."""
        torque = self.motor_torque_Nm
        if not callable(torque):
            value = float(torque)
            return lambda t, w: value
        try:
            params = [p for p in inspect.signature(torque).parameters.values()
                      if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD) and p.default is p.empty]
            takes_speed = len(params) >= 2 or any(
                p.kind is p.VAR_POSITIONAL for p in inspect.signature(torque).parameters.values())
        except (TypeError, ValueError):  # builtins without a signature: assume f(t_s)
            takes_speed = False
        if takes_speed:
            return lambda t, w: float(torque(t, w))
        return lambda t, w: float(torque(t))


# The recorded inflow states of each model, by the state's own names (units, meaning).
_INFLOW_NAMES = {
    "PittPetersRotorState": (("lambda_0", "1", "uniform inflow ratio"),
                             ("lambda_c", "1", "longitudinal (cosine) inflow ratio"),
                             ("lambda_s", "1", "lateral (sine) inflow ratio")),
    "OyeRotorState": (("W_int", "1", "intermediate filtered inflow ratio per element (induced velocity / omega r)"),
                      ("W", "1", "filtered inflow ratio per element (induced velocity / omega r)")),
}


def _blank_state(class_name: str, size: int):
    """An instance of a state class to call ``from_array`` on."""
    cls = getattr(_aerlox, class_name)
    if class_name == "PittPetersRotorState":
        return cls(0.0, 0.0, 0.0)
    if class_name == "OyeRotorState":
        return cls.zeros(size // 2)
    return cls()


def load_state(ds: "xarray.Dataset", which: str = "final") -> Any:
    """Rebuild the model state saved with a simulation (``which`` = "final" or "initial").

    ``simulate`` stores the blade-element models' inflow states (their ``to_array``
    form) as the variables ``initial_state`` and ``final_state`` with the state
    class in their ``state_class`` attribute, so a run read back from a netCDF file
    can be continued: ``simulate(..., initial_state=load_state(ds))``. The vortex
    rotor's wake is not an array state and is not saved; keep it in memory with
    ``simulate(..., return_state=True)``.
    """
    if which not in ("final", "initial"):
        raise ValueError(f"which must be 'final' or 'initial', got {which!r}")
    name = f"{which}_state"
    if name not in ds.variables:
        raise ValueError(f"this Dataset holds no {name!r} (the vortex rotor's wake is not saved with a run)")
    var = ds[name]
    arr = np.ascontiguousarray(var.values, dtype=np.float64).reshape(-1)
    return _blank_state(var.attrs["state_class"], arr.size).from_array(arr)


class _Log:
    """The per-step records of a run, kept as plain lists while it runs.

    ``ops`` and ``omegas`` are None while every step used the same operating point
    (``op``) and the speed in its inputs; a run that varies them fills them in.
    """

    __slots__ = ("results", "ops", "omegas", "particles", "states", "spanwise", "wakes", "op", "dt_s")

    def __init__(self, op, dt_s, varying_op, spin, vpm):
        self.results: List[Any] = []
        self.ops: Optional[List[Any]] = [] if varying_op else None
        self.omegas: Optional[List[float]] = [] if spin else None
        self.particles: Optional[List[int]] = [] if vpm else None
        self.states: List[Any] = []
        self.spanwise: List[Any] = []     # the core's spanwise arrays at the recorded steps
        self.wakes: List[Any] = []        # (step count after which, the core's wake arrays)
        self.op = op
        self.dt_s = dt_s

    def __len__(self):
        return len(self.results)

    def truncate(self, n):
        for name in ("results", "ops", "omegas", "particles"):
            values = getattr(self, name)
            if values is not None:
                del values[n:]

    def op_at(self, k):
        return self.op if self.ops is None else self.ops[k]

    def omega_at(self, k):
        return self.op_at(k).omega if self.omegas is None else self.omegas[k]


def _recorded_index(ds, dim, time_s):
    if dim not in ds.dims or ds.sizes[dim] == 0:
        raise ValueError(f"this Dataset holds no {dim!r} records; simulate(..., record=...) keeps them")
    if time_s is None:
        return ds.sizes[dim] - 1
    return int(np.argmin(np.abs(ds[dim].values - float(time_s))))


def spanwise_at(ds: "xarray.Dataset", time_s: Optional[float] = None) -> "xarray.Dataset":
    """The spanwise loads a simulation recorded nearest ``time_s`` (s; the last when None).

    Returns them under the names of ``Rotor.spanwise`` (``alpha_deg``, ``thrust_N``,
    ... over ``azimuth_deg`` x ``r_m``), so ``aerlox.plot.spanwise`` draws them.
    """
    k = _recorded_index(ds, "time_spanwise_s", time_s)
    names = {f"spanwise_{name}": name for _, name, _, _, _ in _SPANWISE}
    out = ds[list(names)].isel(time_spanwise_s=k).rename(names)
    out.attrs = {"time_s": float(ds.time_spanwise_s[k]), "model": ds.attrs.get("model", "")}
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


class Record:
    """What a simulation has recorded so far, handed to a controller at every step.

    ``record["thrust_N"]`` (likewise ``torque_Nm``, ``power_W``,
    ``rotor_speed_rad_s``, ``time_s``, ``hub_force_N``, ``hub_moment_Nm`` and the
    OperatingPoint fields) is a new array of the values of the completed steps,
    built on access; ``record.last(name)`` is the latest value alone, at constant
    cost, and None before the first step. ``len(record)`` is the number of
    completed steps.
    """

    __slots__ = ("_log",)

    def __init__(self, log):
        self._log = log

    def __len__(self):
        return len(self._log)

    def _value(self, name, k):
        log = self._log
        if name == "time_s":
            return k * log.dt_s
        if name == "rotor_speed_rad_s":
            return log.omega_at(k)
        if name in _OP_UNITS:
            return getattr(log.op_at(k), name)
        res = log.results[k]
        if name == "thrust_N":
            return -float(np.dot(_hub_axis(log.op_at(k)), res.F_world))
        if name == "torque_Nm":
            return res.Q_spin
        if name == "power_W":
            return res.Q_spin * log.omega_at(k)
        if name == "hub_force_N":
            return res.F_world
        if name == "hub_moment_Nm":
            return res.m_hub_world
        raise KeyError(f"{name!r} is not recorded; expected time_s, thrust_N, torque_Nm, power_W, "
                       "rotor_speed_rad_s, hub_force_N, hub_moment_Nm or an OperatingPoint field")

    def last(self, name):
        n = len(self._log)
        return None if n == 0 else self._value(name, n - 1)

    def __getitem__(self, name):
        return np.array([self._value(name, k) for k in range(len(self._log))], dtype=float)


_HUB_AXIS: Dict[Any, np.ndarray] = {}


def _hub_axis(op) -> np.ndarray:
    """The hub z axis in the world frame (third column of R_hub) for this operating point."""
    key = op.shaft_tilt_deg
    axis = _HUB_AXIS.get(key)
    if axis is None:
        axis = np.array(op.to_inputs().R_hub, dtype=float)[:, 2].copy()
        if len(_HUB_AXIS) < 4096:
            _HUB_AXIS[key] = axis
    return axis


class _Stop:
    """Turns Ctrl-C into a flag the time loop reads between steps (main thread only)."""

    def __init__(self):
        self.requested = False
        self._previous = None
        self._installed = False

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            try:
                self._previous = signal.signal(signal.SIGINT, self._handler)
                self._installed = True
            except (ValueError, OSError):  # embedded interpreters without signal support
                self._installed = False
        return self

    def _handler(self, signum, frame):
        self.requested = True

    def __exit__(self, *exc):
        if self._installed:
            signal.signal(signal.SIGINT, self._previous)
        return False


def _normalise_record(record) -> Dict[str, int]:
    """``record`` as {group: every k steps}; a plain name records at every step."""
    if record is None:
        return {}
    if isinstance(record, str):
        record = (record,)
    if isinstance(record, Mapping):
        items = list(record.items())
    else:
        items = [(name, 1) for name in record]
    out = {}
    for name, every in items:
        if name not in _RECORDABLE:
            raise ValueError(f"record: unknown entry {name!r}; expected some of {', '.join(_RECORDABLE)}")
        if not isinstance(every, int) or isinstance(every, bool) or every < 1:
            raise ValueError(f"record: the interval for {name!r} must be a positive integer of steps, got {every!r}")
        out[name] = every
    return out


_RECORDABLE = ("inflow", "spanwise", "wake")


def _check_time(name, value, minimum_exclusive=0.0):
    if not (isinstance(value, (int, float, np.number)) and not isinstance(value, bool)
            and math.isfinite(value) and value > minimum_exclusive):
        raise ValueError(f"{name} must be a finite number > {minimum_exclusive:g}, got {value!r}")
    return float(value)


def simulate(rotor: "Rotor", *, model: str, t_end_s: float, dt_s: float,
             schedule: Union[OperatingPoint, Callable[[float], OperatingPoint]],
             spin: Optional[Spin] = None,
             controller: Optional[Callable[[float, Record], Optional[Mapping[str, Any]]]] = None,
             record: Union[Iterable[str], Mapping[str, int], None] = ("inflow",),
             progress: Optional[bool] = None, initial_state: Any = None,
             options: Optional[Mapping[str, Any]] = None, integration_method: Optional[str] = None,
             return_state: bool = False, wake_pvd: Optional[Union[str, "os.PathLike[str]"]] = None,
             ) -> Union["xarray.Dataset", Tuple["xarray.Dataset", Any]]:
    """Time-march ``rotor`` with one model and return the history as an ``xarray.Dataset``.

    Parameters
    ----------
    rotor : aerlox.Rotor
    model : str
        ``"bem"``, ``"pitt-peters"``, ``"oye"`` or ``"vpm"``.
    t_end_s, dt_s : float
        Length of the run and the time step, s. The run takes ``round(t_end_s / dt_s)``
        steps; step k goes from ``t = k dt_s`` to ``(k + 1) dt_s``.
    schedule : OperatingPoint or callable
        The operating point, constant, or as ``schedule(t_s) -> OperatingPoint``
        evaluated at the start of every step.
    spin : Spin, optional
        Makes the rotor speed a state advanced by ``_aerlox.step_omega`` from the
        step's shaft torque; the schedule's rpm is then only the initial speed
        (unless ``Spin.omega0_rad_s`` is given).
    controller : callable, optional
        ``controller(t_s, record) -> dict`` of OperatingPoint changes, called at the
        start of every step with the :class:`Record` of the steps done. The changes
        hold from then on (later calls update them; return ``{}`` or None to keep
        them) and apply on top of the schedule. With ``spin`` the rotor speed is not
        the controller's to set.
    record : iterable of str or mapping
        Extra groups to record; a plain name records at every step, a mapping
        ``{"spanwise": 10}`` every k-th step:

        - ``"inflow"``: the model's inflow states (default);
        - ``"spanwise"`` (blade-element models): the loads along the blade at the
          start of the step, as ``spanwise_<name>`` over (``time_spanwise_s``,
          ``azimuth_deg``, ``r_m``), with the names and units of
          ``Rotor.spanwise`` (``spanwise_alpha_deg``, ``spanwise_thrust_N``, ...);
        - ``"wake"`` (vortex rotor): the particles after the step, as a contiguous
          ragged array (CF conventions): ``wake_position_m`` and
          ``wake_strength_m3_s`` (``wake_particle`` x ``xyz``, hub axes),
          ``wake_core_radius_m``, ``wake_age_s``, and per record ``wake_count``
          (particles in it, in order) over ``time_wake_s``.
    wake_pvd : path, optional
        Vortex rotor only: write the wake after every recorded step (every step
        when ``record`` has no ``"wake"`` interval) as VTK files indexed by this
        ParaView ``.pvd`` file (``aerlox.export.WakeSeries``).
    progress : bool, optional
        Show a tqdm bar; by default only when stderr is a terminal outside CI.
    initial_state : state object, optional
        The model state at t = 0. By default the dynamic-inflow models start from
        their equilibrium at the first operating point, the quasi-static model from
        its empty state and the vortex rotor from rest (no wake).
    options : mapping, optional
        Options of the model's constructor (``coupling_k``, ``max_particles``,
        ``sigma``, ...), as for ``Rotor.core_model``.
    integration_method : str, optional
        Passed to the model's ``step`` (None: the model's default).
    return_state : bool
        Return ``(dataset, final_state)``, the final state as an object (for the
        vortex rotor, the only way to keep its wake).

    Returns
    -------
    xarray.Dataset
        Coordinate ``time_s`` (start of each step) and, per step: ``thrust_N``,
        ``torque_Nm`` (the aerodynamic shaft torque, the torque a drive must supply
        to hold the speed), ``power_W``, ``hub_force_N`` and ``hub_moment_Nm``
        (world frame, dimension ``component`` = x, y, z), ``rotor_speed_rad_s``, the
        numeric OperatingPoint fields in force (``collective_deg``, ...), the
        recorded inflow states under the model's own names (``lambda_0``,
        ``lambda_c``, ``lambda_s`` for Pitt-Peters; ``W_int`` and ``W`` per
        ``element`` for Oye) and, for the vortex rotor, ``n_particles`` after the
        step. The blade-element models' loads are those of the state at the start
        of the step; the vortex rotor's are those of the blade march over the step.
        ``initial_state`` and ``final_state`` (blade-element models) save the
        model state with the run; :func:`load_state` rebuilds it.

        ``attrs["interrupted"]`` is 1 when Ctrl-C stopped the run (it stops at the
        end of the step under way and returns the steps completed), else 0; it is an
        integer, not a bool, so that the Dataset saves to netCDF with any engine.
    """
    import xarray as xr

    if not isinstance(model, str) or model not in models.MODELS:
        raise ValueError(f"model must be one of {', '.join(map(repr, models.MODELS))}, got {model!r}")
    t_end_s = _check_time("t_end_s", t_end_s)
    dt_s = _check_time("dt_s", dt_s)
    n_steps = int(round(t_end_s / dt_s))
    if n_steps < 1:
        raise ValueError(f"t_end_s ({t_end_s}) must be at least one step dt_s ({dt_s})")
    if isinstance(schedule, OperatingPoint):
        constant = schedule
        schedule_fn = None
    elif callable(schedule):
        constant = None
        schedule_fn = schedule
    else:
        raise ValueError(f"schedule must be an OperatingPoint or a callable t_s -> OperatingPoint, got {schedule!r}")
    if spin is not None and not isinstance(spin, Spin):
        raise ValueError(f"spin must be an aerlox.Spin or None, got {spin!r}")
    if controller is not None and not callable(controller):
        raise ValueError(f"controller must be callable as controller(t_s, record) -> dict, got {controller!r}")
    groups = _normalise_record(record)
    entry = models.MODELS[model]
    is_vpm = not entry.single_shot

    def op_at(t):
        op = constant if schedule_fn is None else schedule_fn(t)
        if not isinstance(op, OperatingPoint):
            raise ValueError(f"schedule({t!r}) returned {op!r}, not an OperatingPoint")
        return op

    op0 = op_at(0.0)
    core_options = dict(options or {})
    if is_vpm and "max_particles" not in core_options:
        # Every step sheds at most one particle per element edge and midpoint of each
        # blade; a cap that holds them all keeps the whole wake of the run.
        core_options["max_particles"] = int(rotor.blades) * (2 * int(rotor.elements) + 1) * n_steps
    core = rotor.core_model(model, op0, **core_options)
    if initial_state is None:
        state = models.equilibrium_state(core, op0.to_inputs(), model)
    else:
        state = initial_state
    state0 = state
    state_class = type(state).__name__
    inflow_every = groups.get("inflow", 0) if state_class in _INFLOW_NAMES else 0
    span_every = groups.get("spanwise", 0)
    if span_every and is_vpm:
        raise ValueError("record: 'spanwise' loads come from the blade-element models; "
                         "record 'wake' for the vortex rotor")
    wake_every = groups.get("wake", 0)
    if wake_every and not is_vpm:
        raise ValueError("record: 'wake' exists for the vortex rotor (model='vpm') only")
    series = None
    if wake_pvd is not None:
        if not is_vpm:
            raise ValueError("wake_pvd: only the vortex rotor (model='vpm') has a wake to write")
        from .export import WakeSeries

        series = WakeSeries(wake_pvd)
        wake_every = wake_every or 1
    keep_wake = "wake" in groups
    if span_every or keep_wake:
        _ext = _aerlox._ext

    step = core.step
    step_omega = _aerlox.step_omega
    if spin is not None:
        torque_law = spin._torque_law()
        inertia = float(spin.inertia_kg_m2)
        friction = float(spin.bearing_friction_Nm)
        omega = float(op0.omega if spin.omega0_rad_s is None else spin.omega0_rad_s)
    varying_op = schedule_fn is not None or controller is not None
    log = _Log(op0, dt_s, varying_op, spin is not None, is_vpm)
    add_result = log.results.append
    add_state = log.states.append
    commands: Dict[str, Any] = {}
    op = last_op = op0
    inputs = op0.to_inputs()
    record_view = Record(log)
    bar = _progress.bar(n_steps, f"simulate {model}", progress, unit="step")
    bar_every = max(1, n_steps // 200)
    interrupted = False
    try:
        with _Stop() as stop:
            for k in range(n_steps):
                if stop.requested:
                    interrupted = True
                    break
                if varying_op:
                    t = k * dt_s
                    op = constant if schedule_fn is None else op_at(t)
                    if controller is not None:
                        changes = controller(t, record_view)
                        if changes:
                            if spin is not None and ("rpm" in changes or "omega_rad_s" in changes):
                                raise ValueError("controller: the rotor speed is a state when spin is given; "
                                                 "change the motor torque instead")
                            commands.update(changes)
                        if commands:
                            op = op.replace(**commands)
                    if op is not last_op and op != last_op:
                        inputs = op.to_inputs()
                        last_op = op
                    log.ops.append(op)
                if spin is not None:
                    inputs.omega_rad_s = omega
                    log.omegas.append(omega)
                if inflow_every and k % inflow_every == 0:
                    add_state(state)
                if span_every and k % span_every == 0:
                    log.spanwise.append(_ext.spanwise(core, inputs, state))
                res, state = step(inputs, state, dt_s, integration_method)
                add_result(res)
                if is_vpm:
                    log.particles.append(state.n_particles)
                    if wake_every and (k + 1) % wake_every == 0:
                        if keep_wake:
                            log.wakes.append((k + 1, _ext.wake(state)))
                        if series is not None:
                            series.add((k + 1) * dt_s, state)
                if spin is not None:
                    t = k * dt_s
                    omega = step_omega(omega, res.Q_spin, torque_law(t, omega), inertia, dt_s, friction)
                if k % bar_every == 0:
                    bar.update(min(bar_every, n_steps - k))
    except KeyboardInterrupt:  # Ctrl-C outside the main thread, or before the handler was in place
        interrupted = True
    finally:
        bar.close()
        if series is not None:
            series.close()

    # A KeyboardInterrupt (outside the main thread) can land between two appends.
    n = min(len(log.results), len(log.particles) if log.particles is not None else n_steps)
    log.truncate(n)
    if inflow_every:
        del log.states[(n + inflow_every - 1) // inflow_every:]
    if span_every:
        del log.spanwise[(n + span_every - 1) // span_every:]
    log.wakes = [w for w in log.wakes if w[0] <= n]
    saved = {}
    for name, st in (("initial_state", state0), ("final_state", state)):
        arr = np.asarray(st.to_array(), dtype=np.float64)
        if arr.size:
            saved[name] = (f"{name}_index", arr, {"state_class": type(st).__name__,
                                                  "long_name": f"model state ({type(st).__name__}.to_array)"})
    ds = _history_dataset(log, inflow_every, state_class, is_vpm, saved, span_every)
    ds.attrs.update({
        "title": f"aerlox simulation, model {model}",
        "model": model,
        "rotor": _rotor_json(rotor),
        "rotor_name": str(getattr(rotor, "name", "")),
        "dt_s": dt_s,
        "t_end_s": t_end_s,
        "steps_requested": n_steps,
        "steps_completed": n,
        "interrupted": int(interrupted),
        "spin": int(spin is not None),
        "integration_method": integration_method or "default",
        "model_options": json.dumps(core_options, sort_keys=True, default=repr),
        "state_class": state_class,
        "aerlox_version": _aerlox_version(),
    })
    if log.wakes:
        # What a wake figure needs to draw the blades (aerlox.plot.wake via wake_at).
        ds.attrs["n_blades"] = int(rotor.blades)
        ds.attrs["radius_m"] = float(rotor.radius_m)
        ds.attrs["root_cutout_m"] = float(rotor.root_cutout_m)
    if spin is not None:
        ds.attrs["spin_inertia_kg_m2"] = float(spin.inertia_kg_m2)
        ds.attrs["spin_bearing_friction_Nm"] = float(spin.bearing_friction_Nm)
    if return_state:
        return ds, state
    return ds


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
        _spanwise_vars(log.spanwise, span_every, dt_s, dv, coords)
    if log.wakes:
        _wake_vars(log.wakes, dt_s, dv, coords)
    dv.update(saved)
    return xr.Dataset(dv, coords=coords)


def _spanwise_vars(records, every, dt_s, dv, coords):
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
