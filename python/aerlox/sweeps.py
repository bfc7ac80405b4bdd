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
import functools
import json
import math
import os
import warnings
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _checkpoint, _progress, models
from ._honesty import non_finite as _non_finite
from ._studies import (_COMPONENTS, _OP_UNITS, _SCALARS, _VECTORS, _aerlox_version, _check_study_arguments,
                       _op_fields, _rotor_json)
from ._recorded_warnings import record_warnings
from .operating import OperatingPoint
from ._checks import number as _number
from .rotor import _warn_every_point

if TYPE_CHECKING:  # annotations only; xarray is imported where it is used
    import xarray

    from .rotor import Rotor

__all__ = ["sweep"]

_ROW = len(_SCALARS) + 3 * len(_VECTORS) + 2   # + the trimmed cyclic (lon, lat), NaN when not trimming


def _solve_point(rotor, model: str, options: Mapping[str, Any], kwargs: Mapping[str, Any], trim):
    """One point: ``(row, converged, error)``; the row is NaN and the error set where it failed."""
    try:
        op = OperatingPoint(**kwargs)
        if trim is None:
            perf = rotor.solve(op, model=model, **options)
            cyclic = _NAN2
        else:
            op, perf = rotor.trim(op, target_moment_Nm=trim, model=model, **options)
            cyclic = (op.cyclic_lon_rad, op.cyclic_lat_rad)
    except Exception as exc:  # recorded per point; one bad point must not sink the study
        return _BLANK, False, f"{type(exc).__name__}: {exc}"
    force, moment = perf.hub_force_N.tolist(), perf.hub_moment_Nm.tolist()
    row = ((perf.thrust_N, perf.torque_Nm, perf.power_W, perf.CT, perf.CQ, perf.CP, perf.FM)
           + tuple(force) + tuple(moment) + tuple(cyclic))
    why = _non_finite(thrust_N=perf.thrust_N, torque_Nm=perf.torque_Nm, hub_force_N=force, hub_moment_Nm=moment)
    if why is not None:
        return row, False, f"FloatingPointError: {why}"
    return row, bool(perf.converged), ""


_NAN2 = (math.nan, math.nan)
_BLANK = (math.nan,) * _ROW


def _solve_chunk(rotor, model: str, options: Mapping[str, Any], fixed: Mapping[str, Any],
                 names: Sequence[str], points: Sequence[tuple], trim=None, on_point=None):
    """Solve a chunk of operating points; runs in whatever process the executor chose.

    Returns ``(values, converged, errors, warned)``: a float64 array (n, 15) of the
    Performance numbers and the trimmed cyclic (NaN where the point failed), a bool
    per point, the error text per point ("" where it solved) and the warnings each
    point raised. With ``trim`` (a target hub moment) every point is trimmed first.
    Ctrl-C ends the chunk after the points finished: n is then less than the
    number of points asked for. ``on_point(i, row, converged, error, warnings)``,
    when given, hears of every point as soon as it is done.
    """
    # One flat list of floats: no container per point for the garbage collector to walk.
    flat: List[float] = []
    converged: List[bool] = []
    errors: List[str] = []
    warned: List[Tuple[str, ...]] = []
    kwargs = dict(fixed)
    with record_warnings() as caught, _warn_every_point():
        try:
            for i, point in enumerate(points):
                seen = len(caught)
                kwargs.update(zip(names, point))
                row, ok, error = _solve_point(rotor, model, options, kwargs, trim)
                texts = tuple(f"{w.category.__name__}: {w.message}" for w in caught[seen:])
                flat.extend(row)
                converged.append(ok)
                errors.append(error)
                warned.append(texts)
                if on_point is not None:
                    on_point(i, row, ok, error, texts)
        except KeyboardInterrupt:
            pass   # the points finished so far go back; the caller sees the chunk is short
    n = len(errors)
    return np.array(flat, dtype=np.float64).reshape(n, _ROW), np.array(converged, dtype=bool), errors, warned


def _axis_values(name: str, value) -> Optional[np.ndarray]:
    """The 1-D values of a swept axis, or None when ``value`` is a scalar held fixed."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"sweep axis {name!r} must be a number or a sequence of numbers, got {value!r}")
    if value is None:
        return None
    try:
        arr = np.asarray(value)
    except ValueError:   # a ragged nest of lists
        raise TypeError(f"sweep axis {name!r} must be a number or a 1-D sequence of numbers, got a ragged nest") from None
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
    workers = _executor_workers(executor)
    # About eight chunks per worker keeps the workers busy to the end while each
    # chunk stays large enough that sending it costs little beside solving it.
    return max(1, min(256, math.ceil(n_points / (8 * workers))))


#: The most points one sweep may have: its results take about _BYTES_PER_POINT each.
MAX_POINTS = 2_000_000
_BYTES_PER_POINT = 8 * _ROW + 300
_SERIAL_CHUNK = 64
_WARN_SEP = "\x1f"
# A stopped executor sweep waits this long for the tasks under way to hand back what they finished.
_GRACE_S = 1.0


class _Grid:
    """The sweep's points by flat index, made when asked for (the grid itself is never built)."""

    def __init__(self, swept: Mapping[str, np.ndarray], names: Sequence[str], shape: Tuple[int, ...]):
        self.axes = [swept[n] for n in names]
        self.shape = shape

    def points(self, indices: np.ndarray) -> List[tuple]:
        if not self.axes:
            return [()] * len(indices)
        coords = np.unravel_index(indices, self.shape)
        return list(zip(*(axis[c].tolist() for axis, c in zip(self.axes, coords))))


class _Outcome:
    """Every point's result, stored as it arrives; ``done`` says which points have one."""

    def __init__(self, n: int):
        self.values = np.full((n, _ROW), np.nan)
        self.converged = np.zeros(n, dtype=bool)
        self.errors: List[str] = [""] * n
        self.warned: List[Tuple[str, ...]] = [()] * n
        self.done = np.zeros(n, dtype=bool)

    def put(self, i: int, row, ok: bool, error: str, texts: Tuple[str, ...]) -> None:
        self.values[i] = row
        self.converged[i] = ok
        self.errors[i] = error
        self.warned[i] = texts
        self.done[i] = True

    def put_chunk(self, indices, result, journal) -> int:
        """Store a chunk's results (perhaps fewer than asked for); returns how many there were."""
        values, converged, errors, warned = result
        for k in range(len(errors)):
            i = int(indices[k])
            self.put(i, values[k], bool(converged[k]), errors[k], tuple(warned[k]))
            if journal is not None:
                journal.append(i, values[k], bool(converged[k]), errors[k], _WARN_SEP.join(warned[k]))
        return len(errors)

    def mark_missing(self, text: str) -> None:
        for i in np.flatnonzero(~self.done).tolist():
            self.errors[i] = text


def _run_serial(task, grid: _Grid, out: _Outcome, journal, chunk_size: int, bar) -> bool:
    """Solve the points not yet done in this process; True when Ctrl-C stopped it."""
    todo = np.flatnonzero(~out.done)
    for start in range(0, len(todo), chunk_size):
        indices = todo[start:start + chunk_size]

        def on_point(k, row, ok, error, texts, indices=indices):
            i = int(indices[k])
            out.put(i, row, ok, error, texts)
            if journal is not None:
                journal.append(i, row, ok, error, _WARN_SEP.join(texts))
            bar.update(1)

        try:
            values, _, _, _ = task(grid.points(indices), on_point=on_point)
        except KeyboardInterrupt:   # between two points: every finished one is stored
            return True
        if len(values) < len(indices):
            return True
    return False


def _run_executor(executor, task, grid: _Grid, out: _Outcome, journal, chunk_size: int, bar) -> bool:
    """Solve the points not yet done on ``executor``, a few chunks ahead of the workers;
    True when Ctrl-C stopped it."""
    todo = np.flatnonzero(~out.done)
    chunks = (todo[k:k + chunk_size] for k in range(0, len(todo), chunk_size))
    window = 2 * _executor_workers(executor)
    pending: Dict[cf.Future, np.ndarray] = {}

    def collect(fut) -> bool:
        """Store one finished chunk; False when a stopped worker sent back only part of it."""
        indices = pending.pop(fut)
        try:
            result = fut.result()
        except cf.CancelledError:
            return True
        except Exception as exc:
            # The task itself was lost (a worker died, the chunk did not pickle):
            # its points are recorded as failed like any other.
            text = f"{type(exc).__name__}: {exc}"
            for i in indices.tolist():
                out.put(i, _BLANK, False, text, ())
                if journal is not None:
                    journal.append(i, np.asarray(_BLANK), False, text, "")
            bar.update(len(indices))
            return True
        bar.update(out.put_chunk(indices, result, journal))
        return len(result[2]) == len(indices)

    try:
        for indices in chunks:
            while len(pending) >= window:
                finished, _ = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
                if not all([collect(f) for f in finished]):
                    raise KeyboardInterrupt
            pending[executor.submit(task, grid.points(indices))] = indices
        while pending:
            finished, _ = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
            if not all([collect(f) for f in finished]):
                raise KeyboardInterrupt
        return False
    except KeyboardInterrupt:
        # Queued chunks are dropped; chunks under way get a moment to hand back
        # the points they finished (a Ctrl-C at the terminal stops them too).
        for fut in list(pending):
            if fut.cancel():
                pending.pop(fut)
        try:
            finished, _ = cf.wait(pending, timeout=_GRACE_S)
            for fut in finished:
                collect(fut)
        except KeyboardInterrupt:
            pass
        return True


def sweep(rotor: "Rotor", *, model: str = "bem", executor: Optional[cf.Executor] = None, progress: Optional[bool] = None,
          chunk_size: Optional[int] = None, options: Optional[Mapping[str, Any]] = None,
          trim_moment_Nm: Optional[Tuple[float, float]] = None,
          checkpoint: Optional[Union[str, "os.PathLike[str]"]] = None, **axes: Any) -> "xarray.Dataset":
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
        at most 256 points each; one point per task for the vortex rotor). It
        changes neither the numbers nor their order. The executor gets a few tasks
        ahead of its workers at a time, never the whole grid.
    options : mapping, optional
        Keyword options passed to ``Rotor.solve`` for every point
        (e.g. ``{"revolutions": 6}`` for the vortex rotor).
    trim_moment_Nm : (float, float), optional
        Trim every point with ``Rotor.trim`` to this hub moment (roll, pitch), N m,
        before solving; the trimmed cyclic is recorded as ``trim_cyclic_lon_rad``
        and ``trim_cyclic_lat_rad``. A point that fails to trim is recorded as failed.
    checkpoint : path, optional
        A file where every finished point is recorded as it comes. Calling
        ``sweep`` again with the same arguments and checkpoint resumes: the points
        recorded are read back instead of solved, and the result is bit-identical
        to an uninterrupted run. A checkpoint of a different sweep is refused with
        a ValueError. The file stays when the sweep is done; delete it to start over.
    **axes
        ``OperatingPoint`` fields. A 1-D sequence sweeps that field; a scalar holds it
        fixed. Example: ``sweep(rotor, rpm=1200, collective_deg=np.linspace(0, 12, 13))``.
        The grid may hold at most ``MAX_POINTS`` (2,000,000) points; a larger one is
        refused up front with a ValueError.

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
        A point that raises is recorded in ``error``, never raised; so is a point
        whose loads are not finite numbers (``"FloatingPointError: ..."``, not
        converged). Each distinct warning is issued again here once. Ctrl-C stops
        the sweep and returns every point finished, with ``attrs["interrupted"] = 1``
        and the points not computed marked in ``error``; on an executor, queued
        tasks are cancelled and tasks under way get about a second to hand back
        what they finished.
    """
    import xarray as xr

    _check_study_arguments(rotor, options)
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
    n_points = math.prod(shape)
    if n_points > MAX_POINTS:
        raise ValueError(f"sweep grid of {n_points:,} points ({' x '.join(map(str, shape))}) exceeds the limit of "
                         f"{MAX_POINTS:,} points (about {MAX_POINTS * _BYTES_PER_POINT / 2**30:.1f} GiB of results); "
                         "split the sweep")
    if chunk_size is None:
        single = models.MODELS[model].single_shot
        # A vortex point takes seconds: one per task, so a stop loses none of them.
        chunk_size = 1 if executor is not None and not single else (
            _default_chunk(n_points, executor) if executor is not None else _SERIAL_CHUNK)
    elif not isinstance(chunk_size, int) or isinstance(chunk_size, bool) or chunk_size < 1:
        raise ValueError(f"chunk_size must be a positive integer, got {chunk_size!r}")

    # xarray imports its array backends on the first Dataset it builds (seconds with
    # Dask installed): paid here, so that a stopped sweep returns at once.
    xr.Dataset(coords={"point": [0]})
    out = _Outcome(n_points)
    grid = _Grid(swept, names, shape)
    journal = None
    if checkpoint is not None:
        key = _checkpoint.sweep_key({"rotor": _rotor_json(rotor), "model": model, "options": options,
                                     "trim": trim_moment_Nm, "names": names, "fixed": fixed,
                                     "version": _aerlox_version()}, swept)
        journal = _checkpoint.Journal(os.fspath(checkpoint), key, _ROW, n_points)
        for index, row, ok, error, warning in journal.open():
            out.put(index, row, ok, error, tuple(warning.split(_WARN_SEP)) if warning else ())
    task = functools.partial(_solve_chunk, rotor, model, options, fixed, names, trim=trim_moment_Nm)
    bar = _progress.bar(n_points, f"sweep {model}", progress, unit="pt")
    bar.update(int(out.done.sum()))
    try:
        if executor is None:
            interrupted = _run_serial(task, grid, out, journal, chunk_size, bar)
        else:
            interrupted = _run_executor(executor, task, grid, out, journal, chunk_size, bar)
    finally:
        bar.close()
        if journal is not None:
            journal.close()
    if interrupted:
        out.mark_missing("KeyboardInterrupt: not computed, the sweep was interrupted")
    values, converged, errors, warned = out.values, out.converged, out.errors, out.warned

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
