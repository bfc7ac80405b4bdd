"""Results a user keeps: :class:`Performance`, one operating point's rotor loads."""
from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field, fields
from typing import Any, Dict

import numpy as np

from ._checks import floats as _floats
from ._honesty import non_finite as _non_finite

__all__ = ["Performance"]


def _vec3(name: str, value) -> np.ndarray:
    arr = _floats(name, value, "three numbers (x, y, z)", size=3, finite=False)
    arr.setflags(write=False)
    return arr


@dataclass(frozen=True, eq=False)
class Performance:
    """The loads of a rotor at one operating point.

    thrust_N : rotor thrust, N, positive along the thrust direction (hub -z,
        upwards for an upright rotor).
    torque_Nm : the shaft torque the drive supplies, N m, positive for a
        powered rotor (negative when the air drives the rotor, as in autorotation
        or windmilling).
    power_W : shaft power, W: torque_Nm * omega.
    CT, CQ, CP : thrust, torque and power coefficients on the disk area
        A = pi R^2 and the tip speed omega R: CT = T / (rho A (omega R)^2),
        CQ = Q / (rho A (omega R)^2 R), CP = P / (rho A (omega R)^3) (so CP = CQ).
        NaN when the rotor does not turn.
    FM : figure of merit, ideal power over shaft power, for axial flight only
        (no edgewise flow, climb >= 0): P_ideal = T (V/2 + sqrt((V/2)^2 +
        T / (2 rho A))) with V the climb speed, which in hover is
        T^1.5 / sqrt(2 rho A). NaN in edgewise flight, in descent, or when
        thrust or power is not positive.
    hub_force_N : aerodynamic force on the hub, N, world frame (x forward,
        y right, z down), shape (3,).
    hub_moment_Nm : aerodynamic moment about the hub centre, N m, world frame, shape (3,).
    model : the model that produced it ("bem", "pitt-peters", "oye", "vpm").
    converged : the model reached its equilibrium (dynamic inflow), settled
        (vortex rotor) or balanced the momentum of every blade element ("bem"),
        and every load is a finite number.
    diagnostics : what the model found about its own answer, by name (the vortex
        rotor: ``kappa``, the induced-power factor, induced power over the
        actuator disk's in axial flight; ``profile_power_W``; ``thrust_change``
        and ``torque_change`` over the last revolution; ``particles``); empty
        for the blade-element models.
    """

    thrust_N: float
    torque_Nm: float
    power_W: float
    CT: float
    CQ: float
    CP: float
    FM: float
    hub_force_N: np.ndarray
    hub_moment_Nm: np.ndarray
    model: str
    converged: bool
    diagnostics: Dict[str, float] = field(default_factory=dict)

    def __post_init__(self):
        object.__setattr__(self, "hub_force_N", _vec3("hub_force_N", self.hub_force_N))
        object.__setattr__(self, "hub_moment_Nm", _vec3("hub_moment_Nm", self.hub_moment_Nm))

    @classmethod
    def from_loads(cls, force_world, moment_world, torque_Nm: float, rotor, op, model: str,
                   converged: bool = True) -> "Performance":
        """A Performance from world-frame hub force and moment and the shaft torque."""
        force = np.asarray(force_world, dtype=np.float64)
        r_hub = op.hub_rotation()
        thrust = -float(force @ r_hub[:, 2])
        torque = float(torque_Nm)
        omega = op.omega
        power = torque * omega
        radius = rotor.radius_m
        area = math.pi * radius * radius
        rho = op.rho_kg_m3
        tip = omega * radius
        q = rho * area * tip * tip
        # Each denominator on its own: at a tiny speed one can underflow to zero
        # while another does not.
        ct = thrust / q if q > 0.0 else math.nan
        cq = torque / (q * radius) if q * radius > 0.0 else math.nan
        cp = power / (q * tip) if q * tip > 0.0 else math.nan
        axial, inplane = op.axial_and_inplane_m_s()
        fm = math.nan
        if inplane < 1e-9 and axial >= 0.0 and thrust > 0.0 and power > 0.0 and rho * area > 0.0:
            half = 0.5 * axial
            ideal = thrust * (half + math.sqrt(half * half + thrust / (2.0 * rho * area)))
            fm = ideal / power
        why = _non_finite(hub_force_N=force, hub_moment_Nm=moment_world, torque_Nm=torque, thrust_N=thrust)
        if why is not None:
            # Whatever the model said, a result that is not a number has not converged.
            warnings.warn(f"model={model!r}: {why}; the point is reported as not converged", RuntimeWarning,
                          stacklevel=3)
            converged = False
        return cls(thrust, torque, power, ct, cq, cp, fm, force, moment_world, str(model), bool(converged))

    @classmethod
    def from_result(cls, result, rotor, op, model: str, converged: bool = True) -> "Performance":
        """A Performance from a core ``AeroResult`` computed at ``op.to_inputs()``.

        Thrust is the force along hub -z; the drive's torque equals the
        aerodynamic torque about the shaft (``Q_spin``, which brakes the rotor).
        """
        return cls.from_loads(result.F_world, result.m_hub_world, result.Q_spin, rotor, op, model, converged)

    def as_dict(self) -> Dict[str, Any]:
        """The fields as a dict, in field order (vectors as new float64 arrays)."""
        out = {}
        for f in fields(self):
            v = getattr(self, f.name)
            out[f.name] = np.array(v) if isinstance(v, np.ndarray) else v
        return out

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        for f in fields(self):
            a, b = getattr(self, f.name), getattr(other, f.name)
            if isinstance(a, np.ndarray):
                if not np.array_equal(a, b, equal_nan=True):
                    return False
            elif isinstance(a, float):
                if not (a == b or (math.isnan(a) and math.isnan(b))):
                    return False
            elif isinstance(a, dict):
                if a.keys() != b.keys() or any(not (a[k] == b[k] or (a[k] != a[k] and b[k] != b[k])) for k in a):
                    return False
            elif a != b:
                return False
        return True

    __hash__ = None

    def __repr__(self) -> str:
        return (f"Performance(model={self.model!r}, thrust_N={self.thrust_N:.6g}, "
                f"torque_Nm={self.torque_Nm:.6g}, power_W={self.power_W:.6g}, CT={self.CT:.6g}, "
                f"CP={self.CP:.6g}, FM={self.FM:.4g}, converged={self.converged})")

    def __reduce__(self):
        # Read-only arrays pickle as writeable copies; __post_init__ locks them again.
        return (_rebuild, (tuple(getattr(self, f.name) for f in fields(self)),))


def _rebuild(values):
    return Performance(*values)
