"""Time simulations: one model marched through an operating-point schedule,
optionally with the rotor speed as a state (``Spin``) and a controller in the loop.
The history comes back as an xarray Dataset (built in ``history``).
"""
from __future__ import annotations

import dataclasses
import inspect
import json
import math
import os
import sys
import time
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Literal, Mapping, Optional, Tuple, Union, overload

import numpy as np

from . import _aerlox, _honesty, _progress, _run_checkpoint, models
from ._studies import _OP_UNITS, _Stop, _aerlox_version, _check_study_arguments, _hub_axis, _rotor_json
from .fields import element_width_m
from .history import _INFLOW_NAMES, _history_dataset, saved_state
from .operating import OperatingPoint
from .rotor import MAX_PARTICLES

if TYPE_CHECKING:  # annotations only; xarray is imported where it is used
    import xarray

    from .rotor import Rotor

__all__ = ["simulate", "Spin", "Record"]


def _finite(value) -> bool:
    """A real number within the float range (an int too large for a float is not)."""
    return (isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool)
            and -sys.float_info.max <= value <= sys.float_info.max)


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
        if not (_finite(inertia) and inertia > 0):
            raise ValueError(f"Spin.inertia_kg_m2 must be a finite number > 0, got {inertia!r}")
        friction = self.bearing_friction_Nm
        if not (_finite(friction) and friction >= 0):
            raise ValueError(f"Spin.bearing_friction_Nm must be a finite number >= 0, got {friction!r}")
        torque = self.motor_torque_Nm
        if not callable(torque) and not _finite(torque):
            raise ValueError(f"Spin.motor_torque_Nm must be a finite number or a callable, got {torque!r}")
        w0 = self.omega0_rad_s
        if w0 is not None and not _finite(w0):
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


class _Log:
    """The per-step records of a run, kept as plain lists while it runs.

    ``ops`` and ``omegas`` are None while every step used the same operating point
    (``op``) and the speed in its inputs; a run that varies them fills them in.
    """

    __slots__ = ("results", "ops", "omegas", "motors", "particles", "states", "spanwise", "span_width_m", "wakes",
                 "op", "dt_s")

    def __init__(self, op, dt_s, varying_op, spin, vpm):
        self.results: List[Any] = []
        self.ops: Optional[List[Any]] = [] if varying_op else None
        self.omegas: Optional[List[float]] = [] if spin else None
        self.motors: Optional[List[float]] = [] if spin else None  # motor torque of each step, N m
        self.particles: Optional[List[int]] = [] if vpm else None
        self.states: List[Any] = []
        self.spanwise: List[Any] = []     # the core's spanwise arrays at the recorded steps
        self.span_width_m = math.nan      # their element width, m
        self.wakes: List[Any] = []        # (step count after which, the core's wake arrays)
        self.op = op
        self.dt_s = dt_s

    def __len__(self):
        return len(self.results)

    def truncate(self, n):
        for name in ("results", "ops", "omegas", "motors", "particles"):
            values = getattr(self, name)
            if values is not None:
                del values[n:]

    def op_at(self, k):
        return self.op if self.ops is None else self.ops[k]

    def omega_at(self, k):
        return self.op_at(k).omega if self.omegas is None else self.omegas[k]


class Record:
    """What a simulation has recorded so far, handed to a controller at every step.

    ``record["thrust_N"]`` (likewise ``torque_Nm``, ``power_W``,
    ``rotor_speed_rad_s``, ``time_s``, ``hub_force_N``, ``hub_moment_Nm`` and the
    OperatingPoint fields; ``motor_torque_Nm`` with ``spin``) is a new array of the
    values of the completed steps, built on access; ``record.last(name)`` is the
    latest value alone, at constant cost, and None before the first step.
    ``len(record)`` is the number of completed steps.
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
        if name == "motor_torque_Nm" and log.motors is not None:
            return log.motors[k]
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
                       "rotor_speed_rad_s, hub_force_N, hub_moment_Nm, an OperatingPoint field or, "
                       "with spin, motor_torque_Nm")

    def last(self, name):
        n = len(self._log)
        return None if n == 0 else self._value(name, n - 1)

    def __getitem__(self, name):
        return np.array([self._value(name, k) for k in range(len(self._log))], dtype=float)


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


def _motor_command(value, spin) -> Optional[float]:
    """A controller's motor torque (N m), or None to hand the torque back to ``Spin``."""
    if spin is None:
        raise ValueError("controller: motor_torque_Nm drives the rotor speed, which is a state only with spin=Spin(...)")
    if value is None:
        return None
    if isinstance(value, (bool, str, bytes)) or not isinstance(value, (int, float, np.number)) \
            or not math.isfinite(value):
        raise ValueError(f"controller: motor_torque_Nm must be a finite number (N m) or None, got {value!r}")
    return float(value)


# A checkpointed run writes its checkpoint at most this often (s of wall time).
_CHECKPOINT_EVERY_S = 5.0

#: The most steps one simulation may take: its records take about _BYTES_PER_STEP each.
MAX_STEPS = 10_000_000
_BYTES_PER_STEP = 200


def _check_run(ds, model: str, is_vpm: bool) -> None:
    """Flag a run whose loads or speed stopped being numbers, and a blade-element
    run that went as slow as the models' lower speed limit."""
    why = None
    for name in ("thrust_N", "torque_Nm", "hub_force_N", "hub_moment_Nm", "rotor_speed_rad_s"):
        values = ds[name].values
        bad = ~np.isfinite(values.reshape(values.shape[0], -1)).all(axis=1)
        if bad.any():
            k = int(np.argmax(bad))
            why = f"{name} is not finite from t = {float(ds.time_s.values[k]):.6g} s (step {k})"
            break
    ds.attrs["non_finite"] = int(why is not None)
    ds.attrs["non_finite_message"] = why or ""
    if why is not None:
        warnings.warn(f"simulate model={model!r}: {why}; see attrs['non_finite']", RuntimeWarning, stacklevel=3)
    speed = ds["rotor_speed_rad_s"].values
    if not is_vpm and speed.size and np.nanmin(speed) <= _honesty.SLOW_LIMIT_RAD_S:
        _honesty.warn_slow(model, float(np.nanmin(speed)), stacklevel=4)


def _check_time(name, value, minimum_exclusive=0.0):
    if not (isinstance(value, (int, float, np.number)) and not isinstance(value, bool)
            and -1e308 < value < 1e308 and value > minimum_exclusive):
        raise ValueError(f"{name} must be a finite number > {minimum_exclusive:g}, got {value!r}")
    return float(value)


_Schedule = Union[OperatingPoint, Callable[[float], OperatingPoint]]
_Controller = Callable[[float, Record], Optional[Mapping[str, Any]]]
_Recorded = Union[Iterable[str], Mapping[str, int], None]
_PathArg = Optional[Union[str, "os.PathLike[str]"]]


# The return type follows return_state, so a type checker accepts
# load_state(simulate(...)) and unpacks simulate(..., return_state=True).
@overload
def simulate(rotor: "Rotor", *, model: str, t_end_s: float, dt_s: float, schedule: _Schedule,
             spin: Optional[Spin] = ..., controller: Optional[_Controller] = ..., record: _Recorded = ...,
             progress: Optional[bool] = ..., initial_state: Any = ..., options: Optional[Mapping[str, Any]] = ...,
             integration_method: Optional[str] = ..., return_state: Literal[False] = ...,
             wake_pvd: _PathArg = ..., checkpoint: _PathArg = ...) -> "xarray.Dataset": ...


@overload
def simulate(rotor: "Rotor", *, model: str, t_end_s: float, dt_s: float, schedule: _Schedule,
             spin: Optional[Spin] = ..., controller: Optional[_Controller] = ..., record: _Recorded = ...,
             progress: Optional[bool] = ..., initial_state: Any = ..., options: Optional[Mapping[str, Any]] = ...,
             integration_method: Optional[str] = ..., return_state: Literal[True],
             wake_pvd: _PathArg = ..., checkpoint: _PathArg = ...) -> Tuple["xarray.Dataset", Any]: ...


@overload
def simulate(rotor: "Rotor", *, model: str, t_end_s: float, dt_s: float, schedule: _Schedule,
             spin: Optional[Spin] = ..., controller: Optional[_Controller] = ..., record: _Recorded = ...,
             progress: Optional[bool] = ..., initial_state: Any = ..., options: Optional[Mapping[str, Any]] = ...,
             integration_method: Optional[str] = ..., return_state: bool = ...,
             wake_pvd: _PathArg = ..., checkpoint: _PathArg = ...) -> Union["xarray.Dataset", Tuple["xarray.Dataset", Any]]: ...


def simulate(rotor: "Rotor", *, model: str, t_end_s: float, dt_s: float,
             schedule: _Schedule,
             spin: Optional[Spin] = None,
             controller: Optional[_Controller] = None,
             record: _Recorded = ("inflow",),
             progress: Optional[bool] = None, initial_state: Any = None,
             options: Optional[Mapping[str, Any]] = None, integration_method: Optional[str] = None,
             return_state: bool = False, wake_pvd: _PathArg = None, checkpoint: _PathArg = None,
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
        the controller's to set; it sets the motor torque instead with
        ``{"motor_torque_Nm": q}`` (N m, positive along the rotation), which replaces
        ``Spin.motor_torque_Nm`` from that step on (``None`` hands it back).
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
        ParaView ``.pvd`` file (``aerlox.export.WakeSeries``). The files and the
        index are put in place when the run ends (finished or stopped by Ctrl-C);
        a run that raises leaves an earlier series at that path as it was.
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
    checkpoint : path, optional
        Blade-element models: a file where the run is saved as it goes (every few
        seconds, and whenever it ends: finished, stopped by Ctrl-C or failed).
        Calling ``simulate`` again with the same arguments and checkpoint goes on
        from the last saved step, and the result is bit-identical to an
        uninterrupted run (a controller is called again with the record of the
        steps done; it must not keep a state of its own). A checkpoint of another
        run is refused with a ValueError. The file stays when the run is done.

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
        ``element`` for Oye), with ``spin`` the ``motor_torque_Nm`` applied over
        the step and, for the vortex rotor, ``n_particles`` after the step. The blade-element models' loads are those of the state at the start
        of the step; the vortex rotor's are those of the blade march over the step.
        ``initial_state`` and ``final_state`` (blade-element models) save the
        model state with the run; :func:`load_state` rebuilds it.

        ``attrs["non_finite"]`` is 1 when a load or the rotor speed stopped being a
        finite number (``attrs["non_finite_message"]`` says which and when; a
        RuntimeWarning says so too), else 0. A run of more than ``MAX_STEPS``
        (10,000,000) steps is refused up front with a ValueError.

        ``attrs["interrupted"]`` is 1 when Ctrl-C stopped the run (it stops at the
        end of the step under way and returns the steps completed), else 0; it is an
        integer, not a bool, so that the Dataset saves to netCDF with any engine.
    """
    import xarray as xr

    _check_study_arguments(rotor, options)
    if not isinstance(model, str) or model not in models.MODELS:
        raise ValueError(f"model must be one of {', '.join(map(repr, models.MODELS))}, got {model!r}")
    t_end_s = _check_time("t_end_s", t_end_s)
    dt_s = _check_time("dt_s", dt_s)
    steps = t_end_s / dt_s
    if not steps <= MAX_STEPS + 0.5:
        raise ValueError(f"t_end_s / dt_s = {steps:.3g} steps exceeds the limit of {MAX_STEPS:,} steps of one run "
                         f"(about {MAX_STEPS * _BYTES_PER_STEP / 2**30:.1f} GiB of records); raise dt_s or split the run")
    n_steps = int(round(steps))
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
        core_options["max_particles"] = min(int(rotor.blades) * (2 * int(rotor.elements) + 1) * n_steps,
                                            MAX_PARTICLES)
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
    commands: Dict[str, Any] = {}   # replaced, never changed in place: a checkpoint keeps a reference
    motor_command: Optional[float] = None   # the controller's motor torque, N m, once it sets one
    if spin is None:
        omega = None
    k0 = 0
    if checkpoint is not None:
        if is_vpm:
            raise ValueError("checkpoint: the vortex rotor's wake has no saved form; keep it in memory with "
                             "return_state=True and continue with initial_state=")
        key = _run_checkpoint.run_key({
            "rotor": _rotor_json(rotor), "model": model, "t_end_s": t_end_s, "dt_s": dt_s, "schedule": schedule,
            "spin": spin, "controller": controller, "record": groups, "options": core_options,
            "initial_state": initial_state, "integration_method": integration_method,
            "version": _aerlox_version()})
        saved = _run_checkpoint.load(checkpoint, key)
        if saved is not None:
            state = _run_checkpoint.restore(saved, log)
            k0 = int(saved["k"])
            omega = saved["omega"]
            commands = dict(saved["commands"])
            motor_command = saved["motor_command"]
    done = (k0, state, omega, commands, motor_command)   # the loop's variables after the last whole step
    next_save = time.monotonic() + _CHECKPOINT_EVERY_S
    op = last_op = op0
    inputs = op0.to_inputs()
    record_view = Record(log)
    if span_every:
        log.span_width_m = element_width_m(core, np.empty(0))
    bar = _progress.bar(n_steps, f"simulate {model}", progress, unit="step")
    bar.update(k0)
    bar_every = max(1, n_steps // 200)
    interrupted = False

    def save_checkpoint():
        k, st, w, cmd, motor = done
        n_states = (k + inflow_every - 1) // inflow_every if inflow_every else 0
        n_span = (k + span_every - 1) // span_every if span_every else 0
        _run_checkpoint.save(checkpoint, key, k, log, st, w, cmd, motor, n_states, n_span)

    try:
        with _Stop() as stop:
            for k in range(k0, n_steps):
                if stop.requested:
                    interrupted = True
                    break
                if checkpoint is not None and k % 64 == 0 and time.monotonic() >= next_save:
                    started = time.monotonic()
                    save_checkpoint()
                    # Never more than a tenth of the run's time goes to its checkpoints.
                    next_save = time.monotonic() + max(_CHECKPOINT_EVERY_S, 10.0 * (time.monotonic() - started))
                if varying_op:
                    t = k * dt_s
                    op = constant if schedule_fn is None else op_at(t)
                    if controller is not None:
                        changes = controller(t, record_view)
                        if changes is not None and not isinstance(changes, Mapping):
                            raise TypeError(f"controller must return a mapping of OperatingPoint changes or "
                                            f"None, returned {type(changes).__name__} at t_s={t!r}")
                        if changes:
                            if spin is not None and ("rpm" in changes or "omega_rad_s" in changes):
                                raise ValueError("controller: the rotor speed is a state when spin is given; "
                                                 "set motor_torque_Nm instead")
                            if "motor_torque_Nm" in changes:
                                changes = dict(changes)
                                motor_command = _motor_command(changes.pop("motor_torque_Nm"), spin)
                            commands = {**commands, **changes}
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
                    motor = torque_law(t, omega) if motor_command is None else motor_command
                    log.motors.append(motor)
                    omega = step_omega(omega, res.Q_spin, motor, inertia, dt_s, friction)
                done = (k + 1, state, omega, commands, motor_command)
                if k % bar_every == 0:
                    bar.update(min(bar_every, n_steps - k))
    except KeyboardInterrupt:  # Ctrl-C outside the main thread, or before the handler was in place
        interrupted = True
    except BaseException:
        if series is not None:  # a failed run leaves an earlier series at that path as it was
            series.discard()
        raise
    finally:
        bar.close()
        if series is not None:
            series.close()
        if checkpoint is not None:
            save_checkpoint()   # whatever ended the run: the next call goes on from here

    # A KeyboardInterrupt (outside the main thread) can land between two appends.
    n = min(len(log.results), len(log.particles) if log.particles is not None else n_steps,
            len(log.motors) if log.motors is not None else n_steps)
    log.truncate(n)
    if inflow_every:
        del log.states[(n + inflow_every - 1) // inflow_every:]
    if span_every:
        del log.spanwise[(n + span_every - 1) // span_every:]
    log.wakes = [w for w in log.wakes if w[0] <= n]
    saved = {}
    for name, st in (("initial_state", state0), ("final_state", state)):
        entry = saved_state(name, st)
        if entry[1].size:
            saved[name] = entry
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
    if log.spanwise:
        ds.attrs["spanwise_element_width_m"] = log.span_width_m
    if spin is not None:
        ds.attrs["spin_inertia_kg_m2"] = float(spin.inertia_kg_m2)
        ds.attrs["spin_bearing_friction_Nm"] = float(spin.bearing_friction_Nm)
    _check_run(ds, model, is_vpm)
    if return_state:
        return ds, state
    return ds
