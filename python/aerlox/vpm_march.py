"""The vortex-particle rotor marched from rest to a settled answer, and the
checks that keep that answer honest.

The toolkit runs the free wake in its resolved form by default: every shed
segment is cut into overlapping particles, the blade sees its near wake as
vortex segments with a core tied to the blade, each step's trailing legs
follow the arc their edge swept, the wake stretches its vortex lines (each
particle along its own axis, so a contracting tip vortex keeps its
circulation, and no line element past two of its cores), and the blade's
points are summed directly over the wake.
``wake="plain"`` runs the core classes exactly as constructed (one particle
per shed segment, no stretching). ``docs/models.md`` has the convergence study
behind the defaults.
"""
from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from . import _aerlox, _progress, hover_wake
from ._checks import count as _count, number as _number
from .results import Performance

_ext = _aerlox._ext

#: Options of the resolved wake (``_aerlox._ext.vpm_resolved``) with the
#: toolkit's defaults; see that function's docstring.
RESOLVED_DEFAULTS: Dict[str, Any] = {
    "overlap": 1.0,
    "near_core_chord": 0.05,
    "near_core_width": 0.5,
    "near_steps": 3,
    "squire_a1": 6.5e-5,
    "nu_m2_s": 1.5e-5,
    "stretching": True,
    "transposed": True,
    "relaxation": 0.0,
    "smagorinsky": 0.0,
    "max_split": 64,
    "fast_rtol": 1e-3,
    "fast_min_particles": 4096,
    "collocation": 0.5,
    "upstream_cut_radii": 0.1,
    "stretching_age_rev": 0.0,
    "axial_stretching": True,
    "stretching_max_length": 2.0,
}
WAKES = ("resolved", "plain")

#: Revolutions over which the resolved wake's march brings the rotor up to speed
#: from rest. An impulsive start sheds the whole bound circulation at once as
#: one starting vortex, which vortex stretching tears apart within a
#: revolution or two; a linear run-up sheds it spread out (the loads of the
#: last revolutions do not depend on how the rotor started).
RAMP_REVOLUTIONS = 1
#: The march's own defaults for the resolved wake and for the plain one.
STEPS_PER_REVOLUTION = {"resolved": 24, "plain": 18}
REVOLUTIONS = {"resolved": 10, "plain": 10}
#: A particle faster than this multiple of the tip speed means the wake blew up.
BLOWUP_TIP_SPEEDS = 5.0
#: The induced-power factor below which the wake has lost induced power it must have.
KAPPA_MIN = 1.0
#: Largest wake the march lets the core hold unless asked otherwise.
MAX_PARTICLES = 2_000_000


def split_options(options: Dict[str, Any]) -> Tuple[str, Dict[str, Any], Dict[str, Any]]:
    """(wake, resolved-wake options, core constructor options) from ``options``."""
    opts = dict(options)
    wake = opts.pop("wake", "resolved")
    if wake not in WAKES:
        raise ValueError(f"wake must be one of {WAKES}, got {wake!r}")
    physics = {k: opts.pop(k) for k in list(opts) if k in RESOLVED_DEFAULTS}
    if physics and wake != "resolved":
        raise ValueError(f"options {sorted(physics)} belong to wake='resolved', not wake={wake!r}")
    return wake, {**RESOLVED_DEFAULTS, **physics}, opts


def default_sigma_m(rotor) -> float:
    """Particle core radius the toolkit gives the resolved wake, m: one chord at
    0.75 R, but no less than R/20 (a wake of thin cores needs many more
    particles to overlap) -- the choice of the convergence study."""
    chord = float(rotor.chord_at(0.75 * rotor.radius_m)) if hasattr(rotor, "chord_at") else float(rotor.chord_m)
    return max(chord, rotor.radius_m / 20.0)


@dataclass
class MarchResult:
    """What a march found: the last revolution's mean loads and its diagnostics."""

    performance: Performance
    snapshots: List[Dict[str, Any]] = field(default_factory=list)
    blade: Dict[str, Any] = field(default_factory=dict)


def _profile_power_W(snap: Dict[str, Any], blade: Dict[str, Any], rho: float, omega: float) -> float:
    """Shaft power of the section drag alone over all blades at one step, W."""
    q = 0.5 * rho * snap["speed_m_s"] ** 2 * blade["chord_m"]
    dr = np.diff(blade["r_edge_m"])
    return omega * float(np.sum(blade["r_mid_m"] * np.cos(snap["phi_rad"]) * q * snap["cd"] * dr))


def _kappa(thrust: float, power: float, profile: float, rotor, op) -> float:
    """Induced-power factor: induced power over the actuator disk's, axial flight only."""
    axial, inplane = op.axial_and_inplane_m_s()
    area = math.pi * rotor.radius_m ** 2
    if not (inplane < 1e-9 and axial >= 0.0 and thrust > 0.0):
        return math.nan
    half = 0.5 * axial
    v_ideal = -half + math.sqrt(half * half + thrust / (2.0 * op.rho_kg_m3 * area))
    return (power - profile - thrust * axial) / (thrust * v_ideal)


def march(rotor, op, *, revolutions: Optional[int] = None, steps_per_revolution: Optional[int] = None,
          progress: Optional[bool] = None, settle_tolerance: float = 0.01, max_particles: Optional[int] = None,
          keep_snapshots: bool = False, prescribed_turns: float = 0.0, **options: Any) -> MarchResult:
    """March ``rotor``'s vortex wake from rest at ``op`` (or, in hover with
    ``prescribed_turns`` > 0, from that many turns of prescribed wake: see
    ``hover_wake``); see ``Rotor.solve`` for the options."""
    wake, physics, core_options = split_options(options)
    prescribed_turns = _number("prescribed_turns", prescribed_turns)
    if prescribed_turns < 0.0:
        raise ValueError(f"prescribed_turns must be >= 0, got {prescribed_turns!r}")
    if prescribed_turns > 0.0:
        axial, inplane = op.axial_and_inplane_m_s()
        if wake != "resolved" or abs(axial) > 1e-9 or inplane > 1e-9:
            raise ValueError("prescribed_turns starts the resolved wake in hover; this march is "
                             f"wake={wake!r} at {axial:.3g} m/s axial, {inplane:.3g} m/s in-plane")
    revolutions = _count("revolutions", REVOLUTIONS[wake] if revolutions is None else revolutions, 1)
    steps = _count("steps_per_revolution",
                   STEPS_PER_REVOLUTION[wake] if steps_per_revolution is None else steps_per_revolution, 1)
    settle_tolerance = _number("settle_tolerance", settle_tolerance, positive=True)
    omega = op.omega
    if not omega > 0.0:
        raise ValueError(f"model='vpm' marches a turning rotor: omega must be > 0, got {omega!r}")
    n_steps = revolutions * steps
    if max_particles is None:
        # The plain wake sheds at most one particle per element edge and midpoint of every blade.
        max_particles = (rotor.blades * (2 * rotor.elements + 1) * n_steps if wake == "plain"
                         else MAX_PARTICLES)
    else:
        max_particles = _count("max_particles", max_particles, 0)
    if wake == "resolved":
        core_options.setdefault("sigma", default_sigma_m(rotor))
    extra = physics if wake == "resolved" else {}
    try:
        core = rotor.core_model("vpm", op, wake=wake, max_particles=max_particles, **extra, **core_options)
    except TypeError as err:
        raise TypeError(f"{err}; and the march's: revolutions, steps_per_revolution, progress, "
                        "settle_tolerance, wake, prescribed_turns") from None
    ramp = RAMP_REVOLUTIONS * steps if wake == "resolved" and prescribed_turns == 0.0 else 0
    state = (hover_wake.prescribed_state(rotor, op, core, steps, prescribed_turns, core_options["sigma"])
             if prescribed_turns > 0.0 else core.initial_rotor_state())
    return _run(rotor, op, core, state, wake, revolutions, steps, n_steps, progress, settle_tolerance,
                max_particles, keep_snapshots, min(ramp, n_steps - steps))


def run_up_inputs(op, steps: int) -> List[Any]:
    """The core inputs of a rotor brought up to ``op``'s speed linearly over ``steps`` steps."""
    return [op.replace(omega_rad_s=op.omega * (k + 1) / steps).to_inputs() for k in range(steps)]


@dataclass
class _Tally:
    """What a march gathers step by step: revolution means, the last revolution's sums, verdicts."""

    rev_thrust: List[float] = field(default_factory=list)
    rev_torque: List[float] = field(default_factory=list)
    force: np.ndarray = field(default_factory=lambda: np.zeros(3))
    moment: np.ndarray = field(default_factory=lambda: np.zeros(3))
    torque: float = 0.0
    profile: float = 0.0
    capped: bool = False
    blown: str = ""
    snaps: List[Dict[str, Any]] = field(default_factory=list)
    particles: int = 0


def _run(rotor, op, core, state, wake, revolutions, steps, n_steps, progress, settle_tolerance, max_particles,
         keep_snapshots, ramp) -> MarchResult:
    inputs = op.to_inputs()
    run_up = run_up_inputs(op, ramp)
    omega = op.omega
    dt = 2.0 * math.pi / (steps * omega)
    hub_z = op.hub_rotation()[:, 2]
    tip_speed = omega * rotor.radius_m
    blade = _ext.vpm_blade(core)
    t = _Tally()
    shed_plain = rotor.blades * (2 * rotor.elements + 1)
    bar = _progress.bar(n_steps, f"vpm {rotor.name}", progress, unit="step")
    try:
        for k in range(n_steps):
            before = state.n_particles
            result, state = core.step(run_up[k] if k < ramp else inputs, state, dt)
            snap = _ext.vpm_blade_snapshot(state)
            shed = shed_plain if snap is None else int(snap["shed"])
            if before + shed > max_particles and state.n_particles >= max_particles:
                t.capped = True
            f = np.asarray(result.F_world)
            q_spin = float(result.Q_spin)
            if k % steps == 0:
                t.rev_thrust.append(0.0)
                t.rev_torque.append(0.0)
            t.rev_thrust[-1] += -float(f @ hub_z) / steps
            t.rev_torque[-1] += q_spin / steps
            speed = math.nan if snap is None else float(snap["max_particle_speed_m_s"])
            if not (np.all(np.isfinite(f)) and math.isfinite(q_spin)):
                t.blown = f"a non-finite load at step {k + 1}"
            elif snap is not None and not speed <= BLOWUP_TIP_SPEEDS * tip_speed:
                t.blown = (f"a particle speed of {speed:.3g} m/s (over {BLOWUP_TIP_SPEEDS:g} tip speeds) at "
                           f"step {k + 1}")
            if t.blown:
                break
            if k >= n_steps - steps:
                t.force += f
                t.moment += np.asarray(result.m_hub_world)
                t.torque += q_spin
                if snap is not None:
                    t.profile += _profile_power_W(snap, blade, op.rho_kg_m3, omega) / steps
                    if keep_snapshots:
                        t.snaps.append(snap)
            bar.update(1)
    finally:
        bar.close()
    t.force /= steps
    t.moment /= steps
    t.torque /= steps
    t.particles = state.n_particles
    return _judge(rotor, op, wake, revolutions, settle_tolerance, max_particles, t, blade)


def _settle_change(values: List[float]) -> float:
    if len(values) < 2:
        return math.nan
    return abs(values[-1] - values[-2]) / max(abs(values[-1]), 1e-12)


def _judge(rotor, op, wake, revolutions, settle_tolerance, max_particles, t: _Tally, blade) -> MarchResult:
    causes = []
    if t.blown:
        causes.append(f"the wake blew up ({t.blown}); try more steps_per_revolution or a larger sigma")
        perf = Performance.from_loads(np.full(3, math.nan), np.full(3, math.nan), math.nan, rotor, op, "vpm",
                                      False)
        return _finish(perf, causes, t.snaps, {"blown_up": 1.0}, blade)
    perf = Performance.from_loads(t.force, t.moment, t.torque, rotor, op, "vpm", True)
    d_thrust = _settle_change(t.rev_thrust)
    d_torque = _settle_change(t.rev_torque)
    if not (d_thrust <= settle_tolerance and d_torque <= settle_tolerance):
        causes.append(f"it has not settled after {revolutions} revolutions: the revolution-mean thrust and "
                      f"torque changed by {d_thrust:.3g} and {d_torque:.3g} (relative) over the last revolution; "
                      "raise revolutions=")
    diagnostics = {"thrust_change": d_thrust, "torque_change": d_torque, "particles": float(t.particles)}
    if wake == "resolved":
        kappa = _kappa(perf.thrust_N, perf.power_W, t.profile, rotor, op)
        diagnostics.update(kappa=kappa, profile_power_W=t.profile)
        if kappa < KAPPA_MIN:
            causes.append(f"its induced-power factor is {kappa:.3g}, below the actuator disk's 1: the wake has "
                          "lost induced power (too few steps_per_revolution for its cores?)")
    if perf.FM > 1.0:
        causes.append(f"its figure of merit {perf.FM:.3g} exceeds the actuator-disk bound of 1")
    if t.capped:
        causes.append(f"the wake reached max_particles={max_particles} and its oldest particles were dropped, so "
                      "the far wake is missing (too little inflow, too much thrust); leave max_particles unset "
                      "to keep the whole wake")
    return _finish(perf, causes, t.snaps, diagnostics, blade)


def _finish(perf: Performance, causes: List[str], snaps, diagnostics, blade) -> MarchResult:
    perf = Performance(**{**perf.as_dict(), "converged": perf.converged and not causes,
                          "diagnostics": dict(diagnostics)})
    if causes:
        warnings.warn("model='vpm' did not converge: " + "; ".join(causes), RuntimeWarning, stacklevel=4)
    return MarchResult(perf, snaps, blade)


def spanwise_dataset(rotor, op, result: MarchResult) -> "Any":
    """The blade loads of a resolved-wake march over its last revolution: a Dataset over
    ``azimuth_deg`` (blade 0's azimuth at each step) x ``r_m`` with the variables of
    the blade-element models' spanwise loads plus ``circulation_m2_s`` and the loads
    per metre of span; attribute ``converged`` and the march's diagnostics."""
    from .fields import _xr

    xr = _xr()
    blade = result.blade
    snaps = result.snapshots
    if not snaps:
        raise ValueError("model='vpm' has no spanwise loads for wake='plain': the plain wake records no blade "
                         "snapshots; use the default wake='resolved'")
    psi = np.array([s["psi_rad"][0] for s in snaps])
    order = np.argsort(np.mod(psi, 2.0 * math.pi), kind="stable")
    stack = {k: np.stack([snaps[i][k][0] for i in order]) for k in (
        "alpha_rad", "phi_rad", "cl", "cd", "gamma_m2_s", "speed_m_s", "thrust_N_per_m", "torque_Nm_per_m")}
    dr = np.diff(blade["r_edge_m"])
    tip = op.omega * rotor.radius_m
    dims = ("azimuth_deg", "r_m")

    def var(values, units, long_name):
        return xr.Variable(dims, np.array(values, dtype=np.float64), {"units": units, "long_name": long_name})

    data = {
        "alpha_deg": var(np.degrees(stack["alpha_rad"]), "deg", "angle of attack"),
        "phi_deg": var(np.degrees(stack["phi_rad"]), "deg", "inflow angle"),
        "cl": var(stack["cl"], "1", "section lift coefficient"),
        "cd": var(stack["cd"], "1", "section drag coefficient"),
        "inflow_ratio": var(stack["speed_m_s"] * np.sin(stack["phi_rad"]) / tip, "1",
                            "axial speed through the element / tip speed (positive in hover)"),
        "dynamic_pressure_Pa": var(0.5 * op.rho_kg_m3 * stack["speed_m_s"] ** 2, "Pa",
                                   "dynamic pressure 0.5 rho W^2"),
        "circulation_m2_s": var(stack["gamma_m2_s"], "m2 s-1", "bound circulation"),
        "thrust_N_per_m": var(stack["thrust_N_per_m"], "N m-1", "thrust of one blade per metre of span"),
        "torque_Nm_per_m": var(stack["torque_Nm_per_m"], "N m m-1",
                               "torque of one blade about the shaft per metre of span"),
        "thrust_N": var(stack["thrust_N_per_m"] * dr, "N", "element thrust of one blade"),
        "torque_Nm": var(stack["torque_Nm_per_m"] * dr, "N m", "element torque of one blade about the shaft"),
    }
    coords = {
        "azimuth_deg": ("azimuth_deg", np.degrees(np.mod(psi[order], 2.0 * math.pi)), {"units": "deg"}),
        "r_m": ("r_m", np.array(blade["r_mid_m"], dtype=np.float64), {"units": "m", "long_name": "element centre radius"}),
        "dr_m": ("r_m", dr, {"units": "m", "long_name": "element width"}),
    }
    attrs = {"model": "vpm", "wake": "resolved", "rotor": rotor.name, "n_blades": int(rotor.blades),
             "omega_rad_s": float(op.omega), "rho_kg_m3": float(op.rho_kg_m3),
             "converged": int(result.performance.converged),
             "note": "the last revolution of a march from rest; rotor thrust = n_blades * thrust_N averaged over "
                     "azimuth_deg and summed over r_m"}
    attrs.update({k: float(v) for k, v in result.performance.diagnostics.items()})
    return xr.Dataset(data, coords=coords, attrs=attrs)
