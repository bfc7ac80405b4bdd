"""Blade sections: an airfoil per station, and the core polar that reads every
blade element at its own Reynolds and Mach number.

A rotor's ``airfoil`` is one :class:`~aerlox.Airfoil` for the whole blade, or
an airfoil per station radius. The blade-element models ("bem", "pitt-peters",
"oye") are built over the core's ``SectionPolar``: between two stations the
lift and drag coefficients blend linearly in radius at the same angle of
attack; each element interpolates its airfoil's tables in ln Re at
Re = rho W c / mu, W its resultant speed in that evaluation (held at the end
tables outside their range, with a warning); optionally its attached-flow
lift is corrected for compressibility at M = W / a (Prandtl-Glauert) and for
rotation (Snel). See docs/conventions.md and docs/models.md.
"""
from __future__ import annotations

import math
import warnings
from collections.abc import Mapping
from typing import Any, Dict, List, Optional, Tuple, Union

from . import _aerlox
from ._checks import number as _number
from .airfoil import Airfoil, PolarTable
from .corrections import _attached

__all__ = ["Sections", "COMPRESSIBILITY", "ROTATIONAL_AUGMENTATION", "POLAR_OPTIONS"]

#: An airfoil per station: ((radius_m, Airfoil), ...) in ascending radius.
Sections = Tuple[Tuple[float, Airfoil], ...]

#: Choices of the models' ``compressibility`` option.
COMPRESSIBILITY = ("none", "prandtl-glauert")
#: Choices of the models' ``rotational_augmentation`` option.
ROTATIONAL_AUGMENTATION = ("none", "snel")
#: Model options that shape the section polar rather than the model.
POLAR_OPTIONS = ("compressibility", "mach_limit", "rotational_augmentation")
#: Mach number at which the Prandtl-Glauert factor is held.
MACH_LIMIT = 0.7


def normalize(airfoil: Any, stations_m: Optional[Tuple[float, ...]], cutout_m: float,
              radius_m: float) -> Union[Airfoil, Sections]:
    """The rotor's ``airfoil`` argument as stored: an Airfoil, or (radius, Airfoil) pairs.

    Accepts an Airfoil; a mapping from station radius (m) to Airfoil; a sequence
    of Airfoils, one per entry of ``stations_m``; or a sequence of (radius,
    Airfoil) pairs. Radii must be finite, distinct and within
    [cutout_m, radius_m]. A single station is the one airfoil.
    """
    if isinstance(airfoil, Airfoil):
        return airfoil
    if isinstance(airfoil, (str, bytes)) or not isinstance(airfoil, (Mapping, list, tuple)):
        raise TypeError("airfoil must be an Airfoil, a sequence of Airfoils (one per stations_m entry) or "
                        f"a mapping from station radius to Airfoil, got {type(airfoil).__name__}")
    if isinstance(airfoil, Mapping):
        pairs = list(airfoil.items())
    elif all(isinstance(a, Airfoil) for a in airfoil):
        if stations_m is None or len(stations_m) != len(airfoil):
            have = "no stations_m" if stations_m is None else f"{len(stations_m)} stations_m"
            raise ValueError(f"airfoil lists {len(airfoil)} airfoils but the rotor has {have}; give one "
                             "airfoil per station, or a mapping from station radius to airfoil")
        pairs = list(zip(stations_m, airfoil))
    else:
        try:
            pairs = [(r, a) for r, a in airfoil]
        except (TypeError, ValueError):
            raise TypeError("airfoil as a sequence must hold Airfoils or (radius_m, Airfoil) pairs") from None
    if not pairs:
        raise ValueError("airfoil must name at least one airfoil")
    out = []
    for r, a in pairs:
        r = _number("airfoil station radius", r)
        if not isinstance(a, Airfoil):
            raise TypeError(f"the airfoil at station {r!r} m must be an Airfoil, got {type(a).__name__}")
        if not cutout_m <= r <= radius_m:
            raise ValueError(f"airfoil station {r!r} m lies outside [root_cutout_m, radius_m] = "
                             f"[{cutout_m!r}, {radius_m!r}]")
        out.append((r, a))
    out.sort(key=lambda p: p[0])
    if any(b[0] == a[0] for a, b in zip(out, out[1:])):
        raise ValueError("two airfoils share a station radius")
    if len(out) == 1:
        return out[0][1]
    return tuple(out)


def airfoil_near(airfoil: Union[Airfoil, Sections], r_m: float) -> Airfoil:
    """The airfoil of the station nearest ``r_m`` (the one airfoil when there is one)."""
    if isinstance(airfoil, Airfoil):
        return airfoil
    return min(airfoil, key=lambda p: abs(p[0] - r_m))[1]


def _attached_range_rad(table: PolarTable) -> Tuple[float, float]:
    """Angles of minimum and maximum lift within +-30 deg: the attached-flow range, rad
    (the rows :func:`aerlox.corrections.prandtl_glauert` scales)."""
    a, cl, _ = table.arrays()
    rows = a[_attached(a, cl)]
    if rows.size == 0:
        return 0.0, 0.0
    return math.radians(float(rows[0])), math.radians(float(rows[-1]))


def _core_tables(af: Airfoil) -> List[tuple]:
    if af.is_linear:
        p = af.linear_law
        s = math.radians(p.alpha_stall_deg)
        return [(_aerlox.LinearPolar.from_properties(p.to_core()), None, p.cl0, p.cl_alpha_per_rad, -s, s)]
    out = []
    for t in af.tables:
        lo, hi = _attached_range_rad(t)
        out.append((t.to_core(), t.reynolds, t.parameters.cl0, t.parameters.cl_alpha_per_rad, lo, hi))
    return out


def check_polar_options(options: Dict[str, Any]) -> Dict[str, Any]:
    """The section-polar options, checked, with their defaults filled in."""
    comp = options.get("compressibility", "none")
    if comp is None or comp is False:
        comp = "none"
    if comp not in COMPRESSIBILITY:
        raise ValueError(f"compressibility must be one of {', '.join(map(repr, COMPRESSIBILITY))}, got {comp!r}")
    aug = options.get("rotational_augmentation", "none")
    if aug is None or aug is False:
        aug = "none"
    if aug not in ROTATIONAL_AUGMENTATION:
        raise ValueError("rotational_augmentation must be one of "
                         f"{', '.join(map(repr, ROTATIONAL_AUGMENTATION))}, got {aug!r}")
    limit = _number("mach_limit", options.get("mach_limit", MACH_LIMIT), nonnegative=True)
    if not limit < 1.0:
        raise ValueError(f"mach_limit must be < 1, got {limit!r}")
    return {"compressibility": comp, "rotational_augmentation": aug, "mach_limit": limit}


def core_polar(airfoil: Union[Airfoil, Sections], viscosity_Pa_s: float, speed_of_sound_m_s: float,
               compressibility: str = "none", mach_limit: float = MACH_LIMIT,
               rotational_augmentation: str = "none") -> "_aerlox._ext.SectionPolar":
    """The core ``SectionPolar`` of a blade (equal airfoils at several stations are stored once)."""
    if isinstance(airfoil, Airfoil):
        distinct, radii, index = [airfoil], [], []
    else:
        distinct = []
        radii, index = [], []
        for r, af in airfoil:
            if af not in distinct:
                distinct.append(af)
            radii.append(r)
            index.append(distinct.index(af))
    return _aerlox._ext.SectionPolar(
        [_core_tables(af) for af in distinct], radii, index, viscosity_pa_s=viscosity_Pa_s,
        speed_of_sound_m_s=speed_of_sound_m_s, compressibility=compressibility, mach_limit=mach_limit,
        rotational_augmentation=rotational_augmentation)


def reset_reynolds_clamps() -> None:
    """Forget the out-of-table Reynolds lookups of this thread so far."""
    _aerlox._ext.take_reynolds_clamps()


def warn_reynolds_clamps(stacklevel: int = 3) -> None:
    """A RuntimeWarning when elements looked their polar up outside their airfoil's tables."""
    count, lowest, highest = _aerlox._ext.take_reynolds_clamps()
    if count:
        warnings.warn(
            f"blade elements met Reynolds numbers from {lowest:.3g} to {highest:.3g} outside their airfoil's "
            "tables; the nearest end table was used there (add tables at those Reynolds numbers)",
            RuntimeWarning, stacklevel=stacklevel)


def to_dict(airfoil: Union[Airfoil, Sections], airfoil_to_dict) -> dict:
    """``airfoil`` as plain values (``airfoil_to_dict`` writes one Airfoil)."""
    if isinstance(airfoil, Airfoil):
        return airfoil_to_dict(airfoil)
    return {"sections": [{"r_m": r, "airfoil": airfoil_to_dict(af)} for r, af in airfoil]}


def from_dict(d: Any, airfoil_from_dict) -> Union[Airfoil, Sections]:
    """The inverse of :func:`to_dict` (``airfoil_from_dict`` reads one Airfoil)."""
    if isinstance(d, dict) and "sections" in d:
        return tuple((float(s["r_m"]), airfoil_from_dict(s["airfoil"])) for s in d["sections"])
    return airfoil_from_dict(d)
