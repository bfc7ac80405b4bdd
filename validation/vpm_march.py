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

from aerlox.results import Performance


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

    def settled_change(self, window: int = 2) -> float:
        """Relative change of the mean thrust between the last two windows of revolutions."""
        t = self.thrust_N
        if len(t) < 2 * window:
            return float("nan")
        a = float(np.mean(t[-window:]))
        b = float(np.mean(t[-2 * window:-window]))
        return abs(a - b) / max(abs(a), 1e-12)


def march(rotor, op, revolutions: int, steps_per_revolution: int, **options) -> VpmHistory:
    """March `rotor` at `op` for `revolutions` from rest; `options` reach the core model.

    The particle cap is sized to hold the whole run's wake unless `max_particles`
    is given, so the wake length is the number of revolutions marched.
    """
    import time

    n_el = rotor.elements
    if "max_particles" not in options:
        # Each step sheds a trailing particle at every element edge and a shed one
        # at every element, per blade; the margin covers rounding of the count.
        options["max_particles"] = (2 * n_el + 2) * rotor.blades * steps_per_revolution * revolutions + 64
    core = rotor.core_model("vpm", op, **options)
    inputs = op.to_inputs()
    dt = 2.0 * math.pi / op.omega / steps_per_revolution
    state = core.initial_rotor_state()
    thrust, torque, particles = [], [], []
    last = []
    t0 = time.perf_counter()
    for rev in range(revolutions):
        results = []
        for _ in range(steps_per_revolution):
            res, state = core.step(inputs, state, dt)
            results.append(res)
        perfs = [Performance.from_result(r, rotor, op, "vpm") for r in results]
        thrust.append(float(np.mean([p.thrust_N for p in perfs])))
        torque.append(float(np.mean([p.torque_Nm for p in perfs])))
        particles.append(int(state.n_particles))
        last = results
    perf = mean_performance([Performance.from_result(r, rotor, op, "vpm") for r in last])
    return VpmHistory(revolutions, steps_per_revolution, np.array(thrust), np.array(torque),
                      particles, perf, time.perf_counter() - t0)


def mean_performance(perfs):
    """One Performance holding the mean loads of several (a revolution's steps).

    Loads and coefficients are averaged; the figure of merit is formed again from
    the mean CT and CP, since a mean of ratios is not the ratio of means.
    """
    import dataclasses

    avg = {}
    for name in ("thrust_N", "torque_Nm", "power_W", "CT", "CQ", "CP"):
        avg[name] = float(np.mean([getattr(p, name) for p in perfs]))
    for name in ("hub_force_N", "hub_moment_Nm"):
        avg[name] = np.mean([getattr(p, name) for p in perfs], axis=0)
    fm = perfs[0].FM
    if math.isfinite(fm) and avg["CP"] > 0 and avg["CT"] > 0:
        avg["FM"] = avg["CT"] ** 1.5 / math.sqrt(2.0) / avg["CP"]
    return dataclasses.replace(perfs[0], **avg)
