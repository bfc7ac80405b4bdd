"""The geometry of a hovering rotor's wake, and a vortex-rotor state that
starts the free wake from it.

A free wake marched from rest grows for many revolutions before its loads
settle: the start rolls up into a slow ring below the rotor, and the wake
behind it keeps changing for 15 to 20 revolutions. Started from a wake of a
few turns already in place, in the geometry that Landgrebe fitted to measured
hover wakes (A. J. Landgrebe, "The wake geometry of a hovering helicopter
rotor and its influence on rotor performance", J. AHS 17(4), 1972), with the
quasi-static model's circulation, the free wake reaches the same settled
loads in fewer revolutions.
"""
from __future__ import annotations

import math
from typing import Tuple

import numpy as np

from . import _aerlox

_ext = _aerlox._ext


def landgrebe(wake_age_deg: float, ct: float, solidity: float, blades: int,
              twist_deg: float = 0.0) -> Tuple[float, float]:
    """(radius / R, depth below the disk / R) of the tip vortex at a wake age, deg.

    The tip vortex contracts towards 0.78 R at the rate 0.145 + 27 CT, and
    descends at k1 = 0.25 (CT / solidity + 0.001 twist) per radian until the
    next blade passes over it, then at k2 = (1.41 + 0.0141 twist) sqrt(CT / 2).
    ``twist_deg`` is the blade's linear twist from root to tip (negative for
    wash-out); the depth is positive downstream.
    """
    psi = math.radians(wake_age_deg)
    a, lam = 0.78, 0.145 + 27.0 * ct
    k1 = 0.25 * (ct / solidity + 0.001 * twist_deg)
    k2 = (1.41 + 0.0141 * twist_deg) * math.sqrt(ct / 2.0)
    passage = 2.0 * math.pi / blades
    depth = k1 * psi if psi <= passage else k1 * passage + k2 * (psi - passage)
    return a + (1.0 - a) * math.exp(-lam * psi), depth


def _bem_circulation(rotor, op, r_mid: np.ndarray) -> Tuple[np.ndarray, float]:
    """The quasi-static model's bound circulation at the vortex rotor's elements, m^2/s, and its CT."""
    sp = rotor.spanwise(op, model="bem")
    r = np.asarray(sp["r_m"].values)
    speed = np.sqrt(2.0 * np.asarray(sp["dynamic_pressure_Pa"].values).mean(axis=0) / op.rho_kg_m3)
    gamma = 0.5 * speed * np.asarray(rotor.chord_at(r)) * np.asarray(sp["cl"].values).mean(axis=0)
    return np.interp(r_mid, r, gamma), rotor.solve(op, model="bem").CT


def prescribed_state(rotor, op, core, steps_per_revolution: int, turns: float, sigma_m: float):
    """A state of ``core`` (a vortex rotor of ``rotor`` at the hover point ``op``)
    holding ``turns`` turns of trailed wake behind each blade, from one step
    behind it on, in Landgrebe's geometry (every trailing edge contracts and
    descends as the tip vortex does), cut into particles of core ``sigma_m``
    no further apart than their core, with the quasi-static model's bound
    circulation."""
    blade = _ext.vpm_blade(core)
    r_edge, r_mid = np.asarray(blade["r_edge_m"]), np.asarray(blade["r_mid_m"])
    nb = int(blade["n_blades"])
    gamma, ct = _bem_circulation(rotor, op, r_mid)
    twist = float(rotor.twist_at(rotor.radius_m) - rotor.twist_at(rotor.root_cutout_m))
    trail = np.concatenate([[0.0], gamma]) - np.concatenate([gamma, [0.0]])
    first = 2.0 * math.pi / steps_per_revolution
    pos, strength, age = [], [], []
    for b in range(nb):
        psi_b = 2.0 * math.pi * b / nb
        for r0, g in zip(r_edge, trail):
            if g == 0.0:
                continue
            n = int(math.ceil(turns * 2.0 * math.pi * r0 / sigma_m)) + 1
            psi_w = np.linspace(first, first + turns * 2.0 * math.pi, n)
            geo = np.array([landgrebe(math.degrees(p), ct, rotor.solidity, nb, twist) for p in psi_w])
            rad, ang = r0 * geo[:, 0], psi_b - psi_w
            # The blades turn clockwise seen from +z, the wake's downstream side.
            pts = np.stack([rad * np.cos(ang), -rad * np.sin(ang), geo[:, 1] * rotor.radius_m], axis=1)
            pos.append(0.5 * (pts[1:] + pts[:-1]))
            strength.append(g * np.diff(pts, axis=0))
            age.append(0.5 * (psi_w[1:] + psi_w[:-1]) / op.omega)
    pos, strength, age = (np.concatenate(x) for x in (pos, strength, age))
    oldest_first = np.argsort(-age, kind="stable")
    return _ext.vpm_seeded_state(pos[oldest_first], strength[oldest_first],
                                 np.full(len(age), sigma_m), age[oldest_first], np.tile(gamma, (nb, 1)))
