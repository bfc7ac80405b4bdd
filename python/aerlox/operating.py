"""Operating points: where the rotor is, how it moves, how it is controlled.

Every frame and sign convention of the toolkit is settled here, in
:meth:`OperatingPoint.to_inputs`, and written out in ``docs/conventions.md``.

World frame: x forward (the direction of forward flight), y to the right,
z down. Hub frame: z along the shaft, pointing down when the shaft is upright
(thrust acts along -z, so an upright rotor lifts); x points aft, the blade
azimuth reference (azimuth 0 is the downwind blade in forward flight); y points
left. The blades turn counter-clockwise seen from above, so the advancing blade
is on the right at azimuth 90 degrees.
"""
from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from typing import Any, Optional, Tuple

import numpy as np

from . import _aerlox
from ._checks import number as _finite, warn_unit as _warn_unit

__all__ = ["OperatingPoint"]

_RPM_TO_RAD_S = math.pi / 30.0
# Beyond these a pitch angle is almost surely in the other unit: a collective
# of 286 deg is 5 rad converted twice, a cyclic of 5 rad was meant in degrees.
PLAUSIBLE_PITCH_DEG = 90.0
PLAUSIBLE_CYCLIC_RAD = 0.5


def warn_implausible_pitch(name: str, value_deg: float) -> None:
    """UnitWarning for a pitch angle (deg) beyond +-90 deg."""
    if abs(value_deg) > PLAUSIBLE_PITCH_DEG:
        _warn_unit(f"{name}={value_deg!r} deg is beyond +-{PLAUSIBLE_PITCH_DEG:g} deg: "
                   f"radians converted to degrees twice, or meant in another unit?")

#: Dynamic viscosity of sea-level standard air (15 deg C), Pa s.
AIR_VISCOSITY_PA_S = 1.789e-5
#: Speed of sound in sea-level standard air (15 deg C), m/s.
SPEED_OF_SOUND_M_S = 340.294

# The hub frame at zero shaft tilt: a half turn about the world z axis, so the
# hub's x axis (azimuth 0) points aft and its y axis to the left.
_HUB_FROM_SHAFT = np.diag([-1.0, -1.0, 1.0])


@dataclass(frozen=True, init=False)
class OperatingPoint:
    """One operating point of a rotor. All arguments are keyword-only.

    The point is immutable; :meth:`replace` returns a changed copy.

    Parameters
    ----------
    rpm, omega_rad_s : rotor speed, in revolutions per minute or rad/s. Give
        exactly one; finite and >= 0 (zero is a stopped rotor). The rotor
        turns counter-clockwise seen from above.
    collective_deg : collective pitch, degrees; added to every section's twist.
    climb_m_s : vertical speed of the hub, m/s, positive upwards (climb);
        negative is descent.
    forward_m_s : horizontal speed of the hub along the world x axis, m/s.
    shaft_tilt_deg : tilt of the shaft about the world y axis, degrees,
        positive leaning the thrust forward (nose down, as a helicopter rotor in
        forward flight); the air then flows down through the disk.
    cyclic_lon_rad, cyclic_lat_rad : longitudinal and lateral swashplate
        tilt, rad, turned into cyclic blade pitch by the rotor's swashplate
        linkage (``Rotor.control``). With the default linkage (gain 1, phase 0)
        the blade pitch is collective + twist - cyclic_lon_rad * cos(psi) +
        cyclic_lat_rad * sin(psi), psi the blade azimuth from aft.
    rho_kg_m3 : air density, kg/m^3.
    viscosity_Pa_s : dynamic viscosity of the air, Pa s (> 0; sea level at
        15 deg C by default). Sets each blade element's Reynolds number
        rho W c / viscosity_Pa_s.
    speed_of_sound_m_s : speed of sound in the air, m/s (> 0; sea level at
        15 deg C by default). Sets each element's Mach number W / a.
    """

    rpm: Optional[float] = None
    omega_rad_s: Optional[float] = None
    collective_deg: float = 0.0
    climb_m_s: float = 0.0
    forward_m_s: float = 0.0
    shaft_tilt_deg: float = 0.0
    cyclic_lon_rad: float = 0.0
    cyclic_lat_rad: float = 0.0
    rho_kg_m3: float = 1.225
    viscosity_Pa_s: float = AIR_VISCOSITY_PA_S
    speed_of_sound_m_s: float = SPEED_OF_SOUND_M_S

    def __init__(self, *, rpm: Optional[float] = None, omega_rad_s: Optional[float] = None,
                 collective_deg: float = 0.0, climb_m_s: float = 0.0, forward_m_s: float = 0.0,
                 shaft_tilt_deg: float = 0.0, cyclic_lon_rad: float = 0.0, cyclic_lat_rad: float = 0.0,
                 rho_kg_m3: float = 1.225, viscosity_Pa_s: float = AIR_VISCOSITY_PA_S,
                 speed_of_sound_m_s: float = SPEED_OF_SOUND_M_S) -> None:
        if (rpm is None) == (omega_rad_s is None):
            raise ValueError("give exactly one of rpm and omega_rad_s")
        put = object.__setattr__
        for key, value in (("rpm", rpm), ("omega_rad_s", omega_rad_s)):
            if value is not None:
                value = _finite(key, value)
                # The models turn the rotor one way only (counter-clockwise seen
                # from above); a negative speed would give zero loads silently.
                if value < 0.0:
                    raise ValueError(f"{key} must be >= 0 (the rotation sense is fixed), got {value!r}")
            put(self, key, value)
        put(self, "collective_deg", _finite("collective_deg", collective_deg))
        warn_implausible_pitch("collective_deg", self.collective_deg)
        put(self, "climb_m_s", _finite("climb_m_s", climb_m_s))
        put(self, "forward_m_s", _finite("forward_m_s", forward_m_s))
        tilt = _finite("shaft_tilt_deg", shaft_tilt_deg)
        if abs(tilt) > 90.0:
            raise ValueError(f"shaft_tilt_deg must lie within [-90, 90], got {tilt!r}")
        put(self, "shaft_tilt_deg", tilt)
        for key, value in (("cyclic_lon_rad", cyclic_lon_rad), ("cyclic_lat_rad", cyclic_lat_rad)):
            value = _finite(key, value)
            if abs(value) > PLAUSIBLE_CYCLIC_RAD:
                _warn_unit(f"{key}={value!r} rad is beyond +-{PLAUSIBLE_CYCLIC_RAD:g} rad "
                           f"({math.degrees(value):.4g} deg): degrees given as radians?")
            put(self, key, value)
        rho = _finite("rho_kg_m3", rho_kg_m3)
        if rho <= 0.0:
            raise ValueError(f"rho_kg_m3 must be > 0, got {rho!r}")
        put(self, "rho_kg_m3", rho)
        for key, value in (("viscosity_Pa_s", viscosity_Pa_s), ("speed_of_sound_m_s", speed_of_sound_m_s)):
            value = _finite(key, value)
            if value <= 0.0:
                raise ValueError(f"{key} must be > 0, got {value!r}")
            put(self, key, value)

    @classmethod
    def hover(cls, *, rpm: Optional[float] = None, omega_rad_s: Optional[float] = None,
              collective_deg: float = 0.0, rho_kg_m3: float = 1.225,
              viscosity_Pa_s: float = AIR_VISCOSITY_PA_S,
              speed_of_sound_m_s: float = SPEED_OF_SOUND_M_S) -> "OperatingPoint":
        """Hover: no climb, no forward speed, upright shaft, no cyclic."""
        return cls(rpm=rpm, omega_rad_s=omega_rad_s, collective_deg=collective_deg, rho_kg_m3=rho_kg_m3,
                   viscosity_Pa_s=viscosity_Pa_s, speed_of_sound_m_s=speed_of_sound_m_s)

    @property
    def omega(self) -> float:
        """Rotor speed, rad/s, from whichever of rpm and omega_rad_s was given."""
        if self.omega_rad_s is not None:
            return self.omega_rad_s
        return self.rpm * _RPM_TO_RAD_S

    def replace(self, **changes: Any) -> "OperatingPoint":
        """A copy with some fields changed.

        Giving ``rpm`` clears ``omega_rad_s`` and giving ``omega_rad_s`` clears
        ``rpm``, so the speed is always stated once.
        """
        fields = {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}
        if "rpm" in changes and "omega_rad_s" not in changes:
            fields["omega_rad_s"] = None
        if "omega_rad_s" in changes and "rpm" not in changes:
            fields["rpm"] = None
        unknown = set(changes) - set(fields)
        if unknown:
            raise TypeError(f"OperatingPoint has no field {sorted(unknown)[0]!r}")
        fields.update(changes)
        return OperatingPoint(**fields)

    # -- frames -------------------------------------------------------------

    def hub_rotation(self) -> np.ndarray:
        """``R_hub``: the 3x3 matrix that turns hub-frame vectors into world vectors."""
        t = math.radians(self.shaft_tilt_deg)
        c, s = math.cos(t), math.sin(t)
        # Nose-down tilt is a negative rotation about the world y axis (right).
        tilt = np.array([[c, 0.0, -s], [0.0, 1.0, 0.0], [s, 0.0, c]])
        return tilt @ _HUB_FROM_SHAFT

    def hub_velocity_world(self) -> np.ndarray:
        """Velocity of the hub in the world frame, m/s (z down, so climb is -z)."""
        return np.array([self.forward_m_s, 0.0, -self.climb_m_s])

    def to_inputs(self) -> "_aerlox.RotorInputs":
        """The core's ``RotorInputs`` for this point (still air, hub moving)."""
        return _aerlox.RotorInputs(
            math.radians(self.collective_deg), self.cyclic_lon_rad, self.cyclic_lat_rad,
            self.hub_rotation(), self.hub_velocity_world(), np.zeros(3), self.omega, self.rho_kg_m3,
        )

    def axial_and_inplane_m_s(self) -> Tuple[float, float]:
        """(axial, in-plane) speed of the air through the disk, m/s.

        Axial is positive when the air flows through the disk along the thrust
        reaction (down through an upright rotor, as in climb); in-plane is the
        edgewise speed, never negative.
        """
        r = self.hub_rotation()
        v_rel = -self.hub_velocity_world()
        axial = float(r[:, 2] @ v_rel)
        inplane = v_rel - axial * r[:, 2]
        return axial, float(np.sqrt(inplane @ inplane))

    def advance_ratio(self, radius_m: float) -> float:
        """Edgewise speed over tip speed, mu = V_inplane / (omega * R); inf at zero speed with edgewise flow."""
        tip = self.omega * float(radius_m)
        inplane = self.axial_and_inplane_m_s()[1]
        if tip == 0.0:
            return 0.0 if inplane == 0.0 else math.inf
        return inplane / abs(tip)

    def __repr__(self) -> str:
        parts = []
        for f in dataclasses.fields(self):
            v = getattr(self, f.name)
            if f.name in ("rpm", "omega_rad_s"):
                if v is not None:
                    parts.append(f"{f.name}={v!r}")
            elif v != f.default or f.name == "collective_deg":
                parts.append(f"{f.name}={v!r}")
        return f"OperatingPoint({', '.join(parts)})"

