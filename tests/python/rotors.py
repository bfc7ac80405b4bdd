"""Shared rotors and operating points for the model, trim and vortex-rotor tests.

The reference rotor is a small two-bladed, 1 m rotor with a linearly twisted
blade and a linear polar (lift slope 5.7 per radian, stall at 15 degrees). At the
hover collective below every element sits between 3 and 7 degrees angle of
attack, well clear of stall, and the rotor makes a few hundred newtons of
thrust at a tip speed of 150 m/s.

Every operating point here uses the identity hub orientation, so hub axes and
world axes coincide: thrust points along -z and a rotor moving along +x sees
the air coming from +x.
"""
import math

import numpy as np

import aerlox as ax

RADIUS_M = 1.0
ROOT_CUTOUT_M = 0.1
CHORD_M = 0.06
TWIST_TIP_DEG = -8.0
N_BLADES = 2
N_ELEMENTS = 20
N_PSI = 36
OMEGA = 150.0  # rad/s: 150 m/s tip speed
RHO = 1.225
COLLECTIVE = 0.24  # rad, the hover collective of the reference rotor
DISK_AREA = math.pi * RADIUS_M**2
CL_ALPHA = 5.7
CD0 = 0.01
STALL_DEG = 15.0

# The six blade-element model classes, with the polar kind each one takes.
BEM_CLASSES = [
    ("_QuasiStaticBEMLinear", "linear"),
    ("_QuasiStaticBEMTabulated", "tabulated"),
    ("_PittPetersModelLinear", "linear"),
    ("_PittPetersModelTabulated", "tabulated"),
    ("_OyeBEMModelLinear", "linear"),
    ("_OyeBEMModelTabulated", "tabulated"),
]
BEM_CLASS_NAMES = [name for name, _ in BEM_CLASSES]
STATE_CLASS = {
    "QuasiStatic": "QuasiStaticRotorState",
    "PittPeters": "PittPetersRotorState",
    "Oye": "OyeRotorState",
}


def blade(n_elements=N_ELEMENTS, tip_loss=True, n_blades=N_BLADES, twist_tip_deg=TWIST_TIP_DEG):
    """Uniform-chord blade, twist linear from 0 at the root cutout to the tip value."""
    return ax.BladeGeometry(
        n_blades, RADIUS_M, ROOT_CUTOUT_M, CHORD_M, 0.0, n_elements,
        [ROOT_CUTOUT_M, RADIUS_M], [CHORD_M, CHORD_M], [0.0, twist_tip_deg], tip_loss,
    )


def airfoil():
    return ax.LinearPolarParameters(0.0, CL_ALPHA, CD0, STALL_DEG)


def linear_polar():
    return ax.LinearPolar.from_properties(airfoil())


def tabulated_polar():
    """The linear polar's law as a table.

    The law is piecewise linear with corners at +/- stall, so a table with rows
    on those corners reproduces it to rounding; the inner rows only make the
    search do some work.
    """
    a_s = math.radians(STALL_DEG)
    lift_max = abs(a_s * CL_ALPHA)
    alpha = np.concatenate(([-math.pi], np.linspace(-a_s, a_s, 31), [math.pi]))
    cl = np.clip(alpha * CL_ALPHA, -lift_max, lift_max)
    cd = np.where(np.abs(alpha) < a_s, CD0, np.abs(alpha) - a_s + CD0)
    return ax.TabulatedPolar(np.ascontiguousarray(alpha), np.ascontiguousarray(cl), np.ascontiguousarray(cd))


def polar(kind):
    return linear_polar() if kind == "linear" else tabulated_polar()


def definition(blade_geometry=None, control=None, servoflap=None, flap=None, name="ref"):
    return ax.RotorDefinition(
        blade_geometry if blade_geometry is not None else blade(),
        airfoil(), control, name, "two-bladed 1 m test rotor", servoflap, flap,
    )


def flapping_definition(omega_nr=30.0, inertia=0.02, **kw):
    """Reference rotor with flapping blades (soft in flap: omega_nr well below the spin rate)."""
    return definition(flap=ax.FlapProperties(inertia, omega_nr), **kw)


SERVO_R_INNER = 0.6
SERVO_R_OUTER = 0.9
SERVO_CM_DELTA = -0.5
SERVO_AC_OFFSET = 0.01


def servoflap_definition(ac_offset_m=SERVO_AC_OFFSET, damper=0.02, blade_cm_ac=0.0, **kw):
    """Reference rotor whose pitch is set by a servo flap on the outer span."""
    act = ax.ServoFlapActuation(
        1e-3, damper, ax.ServoFlapGeometry(SERVO_CM_DELTA, SERVO_R_INNER, SERVO_R_OUTER),
        ac_offset_m, blade_cm_ac,
    )
    return definition(servoflap=act, **kw)


def servo_pitch_ratio():
    """Blade pitch per unit servo command of the servo-flap rotor in steady hover.

    The blade feathers until the flap's moment, the integral of q r^2 c CM_delta
    over the flap span, equals the restoring moment of the offset aerodynamic
    centre, the integral of q r^2 c CL_alpha e over the blade.
    """
    flap_moment = (SERVO_R_OUTER**3 - SERVO_R_INNER**3) * SERVO_CM_DELTA
    restoring = RADIUS_M**3 * CL_ALPHA * SERVO_AC_OFFSET
    return flap_moment / restoring


def make_model(class_name, defn=None, n_psi=N_PSI, coupling_k=0.0):
    """One of the six blade-element models over the reference rotor (or ``defn``)."""
    kind = "linear" if class_name.endswith("Linear") else "tabulated"
    cls = getattr(ax, class_name)
    d = defn if defn is not None else definition()
    if class_name.startswith("_Oye"):
        return cls(d, polar(kind), n_psi, coupling_k)
    return cls(d, polar(kind), n_psi)


def family(class_name):
    for fam in STATE_CLASS:
        if fam in class_name:
            return fam
    raise KeyError(class_name)


def state_class(class_name):
    return getattr(ax, STATE_CLASS[family(class_name)])


def inputs(collective=COLLECTIVE, tilt_lon=0.0, tilt_lat=0.0, R_hub=None, v_hub=(0.0, 0.0, 0.0),
           wind=(0.0, 0.0, 0.0), omega=OMEGA, rho=RHO):
    return ax.RotorInputs(
        collective, tilt_lon, tilt_lat,
        np.eye(3) if R_hub is None else np.asarray(R_hub, dtype=np.float64),
        np.asarray(v_hub, dtype=np.float64), np.asarray(wind, dtype=np.float64), omega, rho,
    )


def hover(**kw):
    return inputs(**kw)


def climb(v_climb, **kw):
    """Axial climb at v_climb m/s: the hub moves along -z, the thrust direction."""
    return inputs(v_hub=(0.0, 0.0, -v_climb), **kw)


def descent(v_descent, **kw):
    """Axial descent at v_descent m/s: the hub moves along +z, away from its thrust."""
    return inputs(v_hub=(0.0, 0.0, v_descent), **kw)


def forward(mu=0.2, heading=(1.0, 0.0), **kw):
    """Edgewise flight at advance ratio mu, the hub moving along ``heading`` in the disk plane."""
    omega = kw.get("omega", OMEGA)
    v = mu * omega * RADIUS_M
    hx, hy = heading
    n = math.hypot(hx, hy)
    return inputs(v_hub=(v * hx / n, v * hy / n, 0.0), **kw)


def with_inputs(base, **changes):
    """A copy of ``base`` with some scalar fields replaced."""
    fields = dict(
        collective=base.collective_rad, tilt_lon=base.tilt_lon, tilt_lat=base.tilt_lat,
        R_hub=base.R_hub, v_hub=base.v_hub_world, wind=base.wind_world,
        omega=base.omega_rad_s, rho=base.rho_kg_m3,
    )
    fields.update(changes)
    return inputs(**fields)


def hover_induced_velocity(thrust, rho=RHO):
    """Momentum-theory induced velocity of a hovering actuator disk, m/s."""
    return math.sqrt(thrust / (2.0 * rho * DISK_AREA))


def thrust(result, R_hub=None):
    """Thrust along -hub z, N."""
    z = np.eye(3)[:, 2] if R_hub is None else np.asarray(R_hub)[:, 2]
    return -float(np.dot(result.F_world, z))


def hub_moment(result, R_hub=None):
    """Hub moment in hub axes."""
    r = np.eye(3) if R_hub is None else np.asarray(R_hub)
    return r.T @ result.m_hub_world


def rotation(yaw_deg=0.0, pitch_deg=0.0, roll_deg=0.0):
    """A rotation matrix, applied roll (x) first, then pitch (y), then yaw (z)."""
    def rx(a):
        c, s = math.cos(a), math.sin(a)
        return np.array([[1, 0, 0], [0, c, -s], [0, s, c]])

    def ry(a):
        c, s = math.cos(a), math.sin(a)
        return np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])

    def rz(a):
        c, s = math.cos(a), math.sin(a)
        return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])

    return rz(math.radians(yaw_deg)) @ ry(math.radians(pitch_deg)) @ rx(math.radians(roll_deg))


def relaxed_state(model, inp, n_steps=400, dt=0.005):
    """The model's inflow state relaxed at ``inp`` from its zero state."""
    return ax.relax_inflow_py(model, model.initial_rotor_state(), inp, n_steps, dt)
