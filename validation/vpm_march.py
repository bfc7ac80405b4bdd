"""Time-march the vortex rotor from rest and keep its revolution-mean history.

`Rotor.solve(model="vpm")` gives the settled answer and a verdict; a validation
case also wants to show how the answer settles, so this march keeps the mean
thrust and torque of every revolution. It drives the same core model the
toolkit builds (`Rotor.core_model`) with the same inputs (`op.to_inputs()`).
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List

import numpy as np

from aerlox import _aerlox
from aerlox.results import Performance

# The blade's bound circulation lives on the private extension namespace; the
# public route (aerlox.fields.wake_dataset) copies the whole wake at every call.
_ext = _aerlox._ext


@dataclass
class VpmHistory:
    """Revolution means of a vortex-rotor march from rest."""

    revolutions: int
    steps_per_revolution: int
    thrust_N: np.ndarray  # one mean per revolution
    torque_Nm: np.ndarray
    particles: List[int]
    performance: Performance  # mean of the last revolution
    seconds: float
    state: object = None  # the core state after the last step (its wake and circulation)
    circulation_m2_s: object = None  # bound circulation per element, mean over blades and the averaged steps
    cl: object = None  # resolved wake only: section lift per element, mean over blades and the averaged steps
    kappa: float = float("nan")  # resolved wake only: induced-power factor of the averaged revolutions

    def settled_change(self, window: int = 2) -> float:
        """Relative change of the mean thrust between the last two windows of revolutions."""
        t = self.thrust_N
        if len(t) < 2 * window:
            return float("nan")
        a = float(np.mean(t[-window:]))
        b = float(np.mean(t[-2 * window:-window]))
        return abs(a - b) / max(abs(a), 1e-12)


def march(rotor, op, revolutions: int, steps_per_revolution: int, average_revolutions: int = 1,
          wake: str = "plain", **options) -> VpmHistory:
    """March `rotor` at `op` for `revolutions` from rest; `options` reach the core model.

    The particle cap is sized to hold the whole run's wake unless `max_particles`
    is given, so the wake length is the number of revolutions marched. The
    reported loads are the means over the last `average_revolutions`.
    `wake="resolved"` marches the toolkit's resolved wake with its defaults (core
    size, options, the run-up over the first revolution) as `Rotor.solve` does.
    """
    import time

    from aerlox import vpm_march as kit_march

    ramp = 0
    if wake == "resolved":
        options = {**kit_march.RESOLVED_DEFAULTS, "sigma": kit_march.default_sigma_m(rotor),
                   "max_particles": kit_march.MAX_PARTICLES, **options}
        ramp = kit_march.RAMP_REVOLUTIONS * steps_per_revolution
    if "max_particles" not in options:
        # Each step sheds at most one particle per element edge and midpoint of every blade.
        options["max_particles"] = rotor.blades * (2 * rotor.elements + 1) * steps_per_revolution * revolutions
    core = rotor.core_model("vpm", op, wake=wake, **options)
    inputs = op.to_inputs()
    run_up = kit_march.run_up_inputs(op, ramp)
    blade = _ext.vpm_blade(core)
    cl_sum = None
    profile = 0.0
    hub_z = op.hub_rotation()[:, 2]
    dt = 2.0 * math.pi / op.omega / steps_per_revolution
    state = core.initial_rotor_state()
    thrust, torque, particles = [], [], []
    force = np.zeros(3)
    moment = np.zeros(3)
    q_sum = 0.0
    n_avg = 0
    gamma = None
    t0 = time.perf_counter()
    for rev in range(revolutions):
        t_rev = q_rev = 0.0
        for k in range(steps_per_revolution):
            step = rev * steps_per_revolution + k
            res, state = core.step(run_up[step] if step < ramp else inputs, state, dt)
            t_rev += -float(res.F_world @ hub_z)
            q_rev += float(res.Q_spin)
            if rev >= revolutions - average_revolutions:
                snap = _ext.vpm_blade_snapshot(state)
                if snap is not None:
                    cl_sum = snap["cl"].mean(axis=0) + (0.0 if cl_sum is None else cl_sum)
                    profile += kit_march._profile_power_W(snap, blade, op.rho_kg_m3, op.omega)
                g = _ext.bound_circulation(state)
                gamma = g.mean(axis=0) if gamma is None else gamma + g.mean(axis=0)
                force += res.F_world
                moment += res.m_hub_world
                q_sum += res.Q_spin
                n_avg += 1
        thrust.append(t_rev / steps_per_revolution)
        torque.append(q_rev / steps_per_revolution)
        particles.append(int(state.n_particles))
    perf = Performance.from_loads(force / n_avg, moment / n_avg, q_sum / n_avg, rotor, op, "vpm")
    kappa = kit_march._kappa(perf.thrust_N, perf.power_W, profile / n_avg, rotor, op) if cl_sum is not None \
        else float("nan")
    return VpmHistory(revolutions, steps_per_revolution, np.array(thrust), np.array(torque),
                      particles, perf, time.perf_counter() - t0, state,
                      None if gamma is None else gamma / n_avg, None if cl_sum is None else cl_sum / n_avg, kappa)
