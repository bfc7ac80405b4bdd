"""Where a marched vortex wake puts its tip vortex, against the generalised
hover-wake fit of Landgrebe (A. J. Landgrebe, "The wake geometry of a hovering
helicopter rotor and its influence on rotor performance", J. AHS 17(4), 1972).

The fit sums up smoke and schlieren measurements of many hovering rotors: the
tip vortex contracts towards 0.78 R, and it descends slowly (rate k1) until
the next blade passes over it, then faster (rate k2). A free wake that loads
its blades right must also put its tip vortex where the fit does.
"""
from __future__ import annotations

import math
from typing import List, Sequence, Tuple

import numpy as np

from aerlox.hover_wake import landgrebe  # noqa: F401  (the fit the tip vortex is held against)


def tip_vortex(wake, radius_m: float, omega_rad_s: float, hub_axis: Sequence[float],
               wake_ages_deg: Sequence[float], window_deg: float = 7.5) -> List[Tuple[float, float]]:
    """(radius / R, depth / R) of a marched wake's tip vortex at each wake age.

    `wake` is the dict of ``_aerlox._ext.wake(state)``: particle positions,
    strengths and ages.
    The tip vortex is where the strongest swirl of the tip's sense sits: over
    the particles whose age lies within `window_deg` of the asked age, the mean
    position weighted by the square of their azimuthal strength (tip sense
    only), so the thin tip filament outweighs the inboard sheet. The hub sits
    at the origin; `hub_axis` points downstream. NaN where no particle is that
    old.
    """
    w = wake
    p = np.asarray(w["position_m"], dtype=float)
    alpha = np.asarray(w["strength_m3_s"], dtype=float)
    age_deg = np.degrees(np.asarray(w["age_s"], dtype=float) * omega_rad_s)
    axis = np.asarray(hub_axis, dtype=float) / np.linalg.norm(hub_axis)
    depth = p @ axis
    radial = p - np.outer(depth, axis)
    r = np.linalg.norm(radial, axis=1)
    # The azimuthal unit vector of the rotor's sense of rotation about `axis`.
    e_theta = np.cross(axis, radial) / np.maximum(r, 1e-12)[:, None]
    swirl = np.einsum("ij,ij->i", alpha, e_theta)
    # The tip vortex carries the strongest swirl of the whole wake: its sense is the tip's.
    sense = np.sign(swirl[np.argmax(np.abs(swirl))]) if len(swirl) else 1.0
    out = []
    for age in wake_ages_deg:
        sel = (np.abs(age_deg - age) < window_deg) & (sense * swirl > 0.0)
        if not sel.any():
            out.append((math.nan, math.nan))
            continue
        wt = swirl[sel] ** 2
        out.append((float(np.average(r[sel], weights=wt)) / radius_m,
                    float(np.average(depth[sel], weights=wt)) / radius_m))
    return out
