"""What makes a result trustworthy: finite numbers, settled element solves, a turning rotor.

Model-agnostic checks the toolkit applies before it calls a result converged.
"""
from __future__ import annotations

import math
import warnings
from typing import Optional, Tuple

import numpy as np

from . import _aerlox

#: The blade-element models compute blade loads only above this rotor speed, rad/s.
SLOW_LIMIT_RAD_S = 1.0

# An element's momentum balance counts as settled when its imbalance is below this
# share of the balance's larger side (a settled element reaches about 1e-6; the
# solver stops on a change of inflow ratio below 1e-7).
_ELEMENT_TOLERANCE = 1e-3
# The largest uncertainty of the blade's thrust or torque, as a share, that unsettled
# elements may leave in a converged result.
_UNSETTLED_SHARE = 0.01


def non_finite(**values) -> Optional[str]:
    """A message naming the values that are not finite, or None when all are."""
    bad = [f"{name}={np.asarray(v).tolist()!r}" for name, v in values.items()
           if not np.all(np.isfinite(np.asarray(v, dtype=np.float64)))]
    return None if not bad else "non-finite result: " + ", ".join(bad)


def warn_slow(model: str, omega_rad_s: float, stacklevel: int = 3) -> None:
    """Warn that the blade-element models give zero blade loads at or below the speed limit."""
    if omega_rad_s <= SLOW_LIMIT_RAD_S:
        warnings.warn(
            f"model={model!r}: at or below {SLOW_LIMIT_RAD_S:g} rad/s "
            f"({SLOW_LIMIT_RAD_S * 30.0 / math.pi:.3g} rpm) the blade-element models do not sweep the blades "
            f"around the disk, so their loads ignore the in-plane wind and the blade loads of 'pitt-peters' "
            f"and 'oye' are zero (omega_rad_s={omega_rad_s:.6g})", RuntimeWarning, stacklevel=stacklevel)


def _loss_factor4(phi, x, x_hub, blades: int, tip_loss: bool):
    """4F: four times the Prandtl tip and hub loss factor at inflow angle phi (the element solver's)."""
    if not tip_loss:
        return np.full_like(x, 4.0)
    s = np.abs(np.sin(phi))
    with np.errstate(all="ignore"):
        tip = 0.6366197723675814 * np.arccos(np.minimum(np.exp(-0.5 * blades * (1.0 - x) / (s * x)), 1.0))
        hub = 0.6366197723675814 * np.arccos(np.minimum(np.exp(-0.5 * blades * (x - x_hub) / (s * x_hub)), 1.0))
    tip = np.where((s < 1e-9) | (x >= 1.0), 1.0, tip)
    hub = np.where((s < 1e-9) | (x <= x_hub) | (x_hub <= 0.0), 1.0, hub)
    return 4.0 * np.maximum(tip * hub, 1e-4)


def bem_elements_settled(rotor, core, op, inputs) -> Tuple[bool, str]:
    """See :func:`_bem_elements_settled`; numpy's overflow warnings at absurd speeds are
    not the user's concern (the non-finite loads are reported on their own)."""
    with np.errstate(all="ignore"):
        return _bem_elements_settled(rotor, core, op, inputs)


def _bem_elements_settled(rotor, core, op, inputs) -> Tuple[bool, str]:
    """Whether every blade element of the quasi-static model balanced its momentum.

    The element solver returns its last iterate when it runs out of iterations;
    this evaluates the momentum balance of every element it returned (the
    windmill branch's root search is trusted) and calls the result unsettled when
    the elements off balance leave the blade's thrust or torque uncertain by more
    than 1 %.
    """
    omega, radius = op.omega, rotor.radius_m
    axial, _ = op.axial_and_inplane_m_s()
    if not omega * radius >= 1e-6 or axial < -0.02 * omega * radius:
        return True, ""
    span = _aerlox._ext.spanwise(core, inputs, core.initial_rotor_state())
    r, phi, lam = span["radius_m"], span["phi_rad"], span["inflow_ratio"]
    lam_c = axial / (omega * radius)
    x = r / radius
    f4 = _loss_factor4(phi, x, rotor.root_cutout_m / radius, rotor.blades, rotor.tip_loss)
    sigma = rotor.blades * np.asarray(rotor.chord_at(r)) / (2.0 * math.pi * r)
    cn = np.cos(phi) * span["cl"] - np.sin(phi) * span["cd"]
    momentum = (lam - lam_c) * (lam * f4)
    tip_speed = np.float64(omega * radius)   # numpy: overflow gives inf, not an exception
    with np.errstate(all="ignore"):
        # The balance weighs the section's tangential speed either as the blade
        # speed (x^2) or, with consistent swirl, as the speed the loads see; the
        # latter comes from the dynamic pressure and the axial speed.
        ut2 = np.maximum(2.0 * span["q_dyn_pa"] / op.rho_kg_m3 - (lam * tip_speed) ** 2, 0.0) / tip_speed ** 2
        share = np.full_like(x, np.inf)
        solvable = np.zeros(x.shape, dtype=bool)
        for tangential in (x * x, ut2):
            blade = (tangential + lam * lam) * (cn * sigma)
            # Judged against the element's own balance, or a thousandth of the
            # blade's largest, so that a section carrying next to nothing is not.
            size = np.maximum(np.abs(momentum), np.abs(blade))
            floor = 1e-3 * float(np.nanmax(size)) if np.isfinite(size).any() else 0.0
            share = np.fmin(share, np.abs(momentum - blade) / np.maximum(np.maximum(size, floor), 1e-300))
            # Where the balance has no real root (a section pushing against its
            # own inflow, as at a negatively pitched tip in hover) the solver's
            # answer is the theory's best, not an unfinished one.
            m = cn * sigma / f4
            solvable |= lam_c * lam_c - 4.0 * m * (m - 1.0) * tangential >= 0.0
    unsettled = np.isfinite(share) & solvable & (share > _ELEMENT_TOLERANCE)
    if not unsettled.any():
        return True, ""
    # An element off balance by a share s of its momentum can be off by about
    # that share of its loads: the result stands while these errors stay a small
    # part of the blade's thrust and torque.
    off = np.where(unsettled, np.minimum(np.nan_to_num(share), 1.0), 0.0)
    weight = 0.0
    for key in ("thrust_n", "torque_nm"):
        loads = np.abs(np.nan_to_num(span[key]))
        total = float(loads.sum())
        if total > 0.0:
            weight = max(weight, float((loads * off).sum()) / total)
    if weight <= _UNSETTLED_SHARE:
        return True, ""
    return False, (f"model='bem': {int(unsettled.sum())} of {int(np.isfinite(share).sum())} blade-element solves "
                   f"did not balance their momentum, which leaves the blade loads uncertain by about "
                   f"{100.0 * weight:.2g} % (at most {100.0 * _UNSETTLED_SHARE:g} % is accepted)")
