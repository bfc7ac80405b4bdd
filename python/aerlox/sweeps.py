"""Parameter sweeps: a grid of operating points solved serially or on any executor.

``sweep`` solves a grid of operating points, serially or on any
``concurrent.futures.Executor`` (a local process pool or a Dask cluster through
``distributed.Client(...).get_executor()``): the same code runs in every case and
the numbers are bit-identical whatever runs them.

The Dataset returned saves with ``aerlox.save(ds, path)`` (atomic, checksummed)
and reads back with ``aerlox.load(path)``: variables are float64, bool or str,
and attributes are strings and numbers only.
"""
from __future__ import annotations

import builtins
import concurrent.futures as cf
import itertools
import json
import math
import os
import warnings
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from . import _progress, models
from ._studies import _COMPONENTS, _OP_UNITS, _SCALARS, _VECTORS, _aerlox_version, _op_fields, _rotor_json
from ._recorded_warnings import record_warnings
from .operating import OperatingPoint
from ._checks import number as _number
from .rotor import _warn_every_point

if TYPE_CHECKING:  # annotations only; xarray is imported where it is used
    import xarray

    from .rotor import Rotor

__all__ = ["sweep"]

_ROW = len(_SCALARS) + 3 * len(_VECTORS) + 2   # + the trimmed cyclic (lon, lat), NaN when not trimming


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
    with record_warnings() as caught, _warn_every_point():
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
    if isinstance(value, (str, bytes)):
        raise TypeError(f"sweep axis {name!r} must be a number or a sequence of numbers, got {value!r}")
    if value is None:
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
            trim_moment_Nm = tuple(_number("trim_moment_Nm", v) for v in trim_moment_Nm)
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
