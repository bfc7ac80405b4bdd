"""Optional corrections of an airfoil for the operating point a rotor meets.

The blade-element models read every element at its own Reynolds number and,
with ``compressibility="prandtl-glauert"``, its own Mach number
(:mod:`aerlox.sections`). The vortex rotor evaluates one polar for the whole
blade; the two corrections here adjust such a polar by hand:

- :func:`prandtl_glauert`: compressibility. Below the critical Mach number the
  lift of a thin section grows as 1/sqrt(1 - M^2) (Prandtl-Glauert); at a tip
  Mach number above about 0.3 that is several per cent of lift slope. One
  polar serves every element, so the correction is made at one representative
  Mach number, by default that of 0.75 R (:func:`mach_075`), which under-
  corrects the tip and over-corrects the root.
- :func:`reynolds_blend`: one table interpolated between the two tabulated
  Reynolds numbers around the rotor's, instead of the nearest table a rotor
  uses by default. It removes the steps in thrust and power that a sweep in
  rpm shows where the nearest table changes.

Both return a new :class:`~aerlox.Airfoil`; give it to the rotor with
``rotor.replace(airfoil=...)``. Nothing is applied unless asked for.
"""
from __future__ import annotations

import math
from typing import Optional

import numpy as np

from ._checks import instance as _instance, real as _real
from .airfoil import Airfoil, LinearParameters, PolarTable, _make_table
from .operating import SPEED_OF_SOUND_M_S

__all__ = ["prandtl_glauert", "reynolds_blend", "mach_075"]



def mach_075(rotor, op, speed_of_sound_m_s: float = SPEED_OF_SOUND_M_S) -> float:
    """Mach number of the rotational speed at 0.75 R, omega * 0.75 R / a (a in m/s)."""
    a = _real("speed_of_sound_m_s", speed_of_sound_m_s)
    if not (math.isfinite(a) and a > 0.0):
        raise ValueError(f"speed_of_sound_m_s must be a finite number > 0, got {speed_of_sound_m_s!r}")
    from .rotor import Rotor
    from .operating import OperatingPoint

    _instance("rotor", rotor, Rotor, "an aerlox.Rotor")
    _instance("op", op, OperatingPoint, "an aerlox.OperatingPoint")
    return abs(op.omega) * 0.75 * rotor.radius_m / a


def prandtl_glauert(airfoil: Airfoil, mach: float) -> Airfoil:
    """The airfoil with its lift scaled by 1/sqrt(1 - mach^2) (Prandtl-Glauert).

    ``mach``: free-stream Mach number of the section, 0 <= mach < 0.8 (the rule
    is a small-disturbance one; above about 0.7 the section is past its
    critical Mach number and the factor means little). The drag is left as
    it is. A linear law has its lift slope and zero-angle lift scaled; a table
    has its lift scaled between the angles of maximum and minimum lift (the
    attached range), and the post-stall rows are kept, with the stall rows
    joined to them as the table gives them. The stall angle is unchanged.
    """
    _instance("airfoil", airfoil, Airfoil, "an aerlox.Airfoil")
    m = _real("mach", mach)
    if not (math.isfinite(m) and 0.0 <= m < 0.8):
        raise ValueError(f"mach must be a number in [0, 0.8), got {mach!r}")
    k = 1.0 / math.sqrt(1.0 - m * m)
    if airfoil.is_linear:
        p = airfoil.linear_law
        law = LinearParameters(p.cl0 * k, p.cl_alpha_per_rad * k, p.cd0, p.alpha_stall_deg)
        return Airfoil((), law, airfoil.name)
    tables = []
    for t in airfoil.tables:
        a, cl, cd = t.arrays()
        attached = _attached(a, cl)
        cl = np.where(attached, cl * k, cl)
        p = t.parameters
        law = LinearParameters(p.cl0 * k, p.cl_alpha_per_rad * k, p.cd0, p.alpha_stall_deg)
        tables.append(_make_table(a, cl, cd, t.reynolds, law))
    return Airfoil(tuple(tables), None, airfoil.name)


def _attached(alpha_deg: np.ndarray, cl: np.ndarray) -> np.ndarray:
    """Rows between the angles of minimum and maximum lift within +-30 deg."""
    near = np.abs(alpha_deg) <= 30.0
    if not np.any(near):
        return np.zeros_like(alpha_deg, dtype=bool)
    idx = np.flatnonzero(near)
    lo = alpha_deg[idx[np.argmin(cl[idx])]]
    hi = alpha_deg[idx[np.argmax(cl[idx])]]
    return (alpha_deg >= min(lo, hi)) & (alpha_deg <= max(lo, hi))


def reynolds_blend(airfoil: Airfoil, reynolds: float) -> Airfoil:
    """One table interpolated in log(Re) between the two tables around ``reynolds``.

    Outside the tabulated range the nearest end table is returned as it is.
    The two tables are sampled on the union of their angles (each holds its end
    values outside its own range, as the core does), so extend them first
    (:meth:`Airfoil.extrapolated`) when they end near stall. The linear law of
    the result is derived again from the blended table. A linear law or a
    single table is returned unchanged.
    """
    _instance("airfoil", airfoil, Airfoil, "an aerlox.Airfoil")
    re = _real("reynolds", reynolds)
    if not (math.isfinite(re) and re > 0.0):
        raise ValueError(f"reynolds must be a finite number > 0, got {reynolds!r}")
    if airfoil.is_linear or len(airfoil.tables) == 1:
        return airfoil
    tabs = airfoil.tables
    res = [t.reynolds for t in tabs]
    if any(r is None for r in res):
        raise ValueError("reynolds_blend needs every table to carry its Reynolds number")
    if re <= res[0]:
        return Airfoil((tabs[0],), None, airfoil.name)
    if re >= res[-1]:
        return Airfoil((tabs[-1],), None, airfoil.name)
    j = int(np.searchsorted(res, re))
    lo, hi = tabs[j - 1], tabs[j]
    w = (math.log(re) - math.log(lo.reynolds)) / (math.log(hi.reynolds) - math.log(lo.reynolds))
    a_lo, cl_lo, cd_lo = lo.arrays()
    a_hi, cl_hi, cd_hi = hi.arrays()
    a = np.union1d(a_lo, a_hi)
    cl = (1.0 - w) * np.interp(a, a_lo, cl_lo) + w * np.interp(a, a_hi, cl_hi)
    cd = (1.0 - w) * np.interp(a, a_lo, cd_lo) + w * np.interp(a, a_hi, cd_hi)
    return Airfoil((_make_table(a, cl, cd, re),), None, airfoil.name)
