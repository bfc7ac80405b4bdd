"""Arbitrary Python objects in every argument position of every constructor,
method, function and setter: the only possible outcomes are a result or one
of the ordinary argument errors; never a crash, never another exception."""
import types
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import aerlox._aerlox as ae
from conftest import make_blade, make_inputs

ALLOWED = (TypeError, ValueError, OverflowError, AttributeError)


class HasFloat:
    def __float__(self):
        return 0.5


class HasIndex:
    def __index__(self):
        return 3


class IndexReturnsStr:
    def __index__(self):
        return "3"


class FloatRaisesValue:
    def __float__(self):
        raise ValueError("nope")


class NegativeLength:
    def __len__(self):
        return -1

    def __getitem__(self, i):
        return 0.0


class LyingLength:
    """Claims three items but has one: the lookup of the second fails."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 0:
            return 1.0
        raise TypeError("short sequence")


def sample_objects():
    a = np.linspace(-0.2, 0.2, 5)
    sfg = ae.ServoFlapGeometry(-0.6, 0.6, 0.9)
    return [
        object(),
        object,
        ae,
        len,
        HasFloat(),
        HasIndex(),
        IndexReturnsStr(),
        FloatRaisesValue(),
        NegativeLength(),
        LyingLength(),
        types.SimpleNamespace(CL0=1, CL_alpha_per_rad=2.0, CD0=0.1, alpha_stall_deg=10),
        types.SimpleNamespace(CL0="x"),
        ae.LinearPolar(0.2, 5.7, 0.01, 0.25),
        ae.TabulatedPolar(a, a, a),
        make_blade(),
        ae.LinearPolarParameters(0.2, 5.7, 0.01, 12.0),
        ae.ControlProperties(1.0, None),
        sfg,
        ae.ServoFlapActuation(0.1, 0.1, sfg),
        ae.FlapProperties(2.0, 10.0),
        ae.RotorDefinition(make_blade(), ae.LinearPolarParameters(0, 5.7, 0.01, 12), None, "n", "d"),
        make_inputs(),
        np.float64(0.5),
        np.float32(-1.5),
        np.int64(-7),
        np.uint64(2**64 - 1),
        np.True_,
        np.complex128(1 + 2j),
        np.array(0.5),
        np.array([None, 1.0], dtype=object),
        np.eye(3),
        np.eye(3).T,
        np.eye(4)[::2, ::2],
        np.zeros(3),
        np.zeros(6)[::2],
        np.zeros(3, dtype=">f8"),
        np.zeros((3, 3), dtype=np.float32),
        np.zeros((0, 3)),
        "\ud800",
        b"\x00\x01",
        bytearray(b"ab"),
        range(3),
        range(-(2**70), 2**70, 2**69),
        memoryview(b"abc"),
        Ellipsis,
        NotImplemented,
        1j,
        10**400,
        -(10**400),
        2**64,
        -1,
    ]


SAMPLES = sample_objects()

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**130), 2**130),
    st.floats(),
    st.complex_numbers(max_magnitude=1e10),
    st.text(max_size=4),
    st.binary(max_size=4),
)
arrays = hnp.arrays(
    dtype=st.sampled_from([np.float64, np.float32, np.int64, np.bool_, np.complex128, np.dtype(">f8")]),
    shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4),
)
anything = st.one_of(
    scalars,
    st.sampled_from(SAMPLES),
    arrays,
    st.lists(st.one_of(st.floats(), st.integers(-5, 5), st.sampled_from(SAMPLES[:12])), max_size=5),
    st.tuples(st.floats(), st.floats()),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
    st.frozensets(st.integers(), max_size=3),
)


def valid(name):
    a3 = np.array([-0.1, 0.0, 0.1])
    sfg = ae.ServoFlapGeometry(-0.6, 0.6, 0.9)
    return {
        "cyclic_coeffs": (["tilt_lon", "tilt_lat", "control"], [0.1, 0.2, ae.ControlProperties(1.0, 10.0)]),
        "omega_derivative": (
            ["omega", "q_aero", "motor_torque_nm", "i_ode_kgm2", "bearing_friction_nm"],
            [10.0, 2.0, 5.0, 0.5, 1.0],
        ),
        "step_omega": (
            ["omega", "q_aero", "motor_torque_nm", "i_ode_kgm2", "dt", "bearing_friction_nm"],
            [10.0, 2.0, 5.0, 0.5, 0.1, 1.0],
        ),
        "LinearPolar": (["CL0", "CL_alpha_per_rad", "CD0", "alpha_stall_rad"], [0.2, 5.7, 0.01, 0.25]),
        "TabulatedPolar": (["alpha_rad", "cl", "cd"], [a3, a3, a3]),
        "BladeGeometry": (
            ["n_blades", "radius_m", "root_cutout_m", "chord_m", "twist_deg", "n_elements",
             "r_stations_m", "chord_stations_m", "twist_stations_deg", "tip_loss"],
            [2, 1.0, 0.1, 0.06, -8.0, 20, [0.1, 1.0], [0.06, 0.05], [4.0, 0.0], False],
        ),
        "LinearPolarParameters": (["CL0", "CL_alpha_per_rad", "CD0", "alpha_stall_deg"], [0.2, 5.7, 0.01, 15.0]),
        "ControlProperties": (["swashplate_pitch_gain_rad", "swashplate_phase_deg"], [1.0, 10.0]),
        "ServoFlapGeometry": (["C_M_delta_per_rad", "r_inner_m", "r_outer_m"], [-0.6, 0.6, 0.9]),
        "ServoFlapActuation": (
            ["I_theta_kgm2", "damper_Nms_per_rad", "flap", "ac_offset_m", "blade_Cm_AC"],
            [0.002, 0.01, sfg, 0.005, -0.01],
        ),
        "FlapProperties": (["I_blade_flap_kgm2", "omega_nr_rad_s"], [2.0, 10.0]),
        "RotorDefinition": (
            ["blade", "airfoil", "control", "name", "description", "servoflap", "flap"],
            [make_blade(), ae.LinearPolarParameters(0.2, 5.7, 0.01, 15.0), None, "n", "d", None, None],
        ),
        "RotorInputs": (
            ["collective_rad", "tilt_lon", "tilt_lat", "R_hub", "v_hub_world", "wind_world",
             "omega_rad_s", "rho_kg_m3"],
            [0.1, 0.0, 0.0, np.eye(3), np.zeros(3), np.zeros(3), 100.0, 1.225],
        ),
    }[name]


def _polars():
    a = np.linspace(-0.3, 0.3, 7)
    return ae.LinearPolar(0.2, 5.7, 0.01, 0.25), ae.TabulatedPolar(a, 5 * a, 0.01 + a * a)


LP, TP = _polars()
BLADE = make_blade()

# name -> (callable, parameter names, valid arguments)
TARGETS = {name: (getattr(ae, name), *valid(name)) for name in [
    "cyclic_coeffs", "omega_derivative", "step_omega", "LinearPolar", "TabulatedPolar", "BladeGeometry",
    "LinearPolarParameters", "ControlProperties", "ServoFlapGeometry", "ServoFlapActuation",
    "FlapProperties", "RotorDefinition", "RotorInputs",
]}
TARGETS.update({
    "LinearPolar.cl_cd": (LP.cl_cd, ["alpha_rad"], [0.1]),
    "LinearPolar.cl_cd_arr": (LP.cl_cd_arr, ["alpha_rad"], [np.zeros(2)]),
    "LinearPolar.from_properties": (ae.LinearPolar.from_properties, ["airfoil"], [ae.LinearPolarParameters(0, 1, 0, 1)]),
    "TabulatedPolar.cl_cd": (TP.cl_cd, ["alpha_rad"], [0.1]),
    "TabulatedPolar.cl_cd_arr": (TP.cl_cd_arr, ["alpha_rad"], [np.zeros(2)]),
    "BladeGeometry.chord_at": (BLADE.chord_at, ["r"], [0.5]),
    "BladeGeometry.twist_at": (BLADE.twist_at, ["r"], [0.5]),
    "BladeGeometry.__reduce__": (BLADE.__reduce__, [], []),
})


def exercise(result):
    """Reads everything a returned object offers, as a caller would."""
    objs = result if isinstance(result, tuple) else (result,)
    for o in objs:
        repr(o)
        if type(o).__module__ == "aerlox._aerlox":
            for n in dir(o):
                if not n.startswith("_"):
                    getattr(o, n)


@pytest.mark.parametrize("name", list(TARGETS))
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_arbitrary_arguments(name, data):
    fn, names, base = TARGETS[name]
    args = list(base)
    for i in range(len(args)):
        if data.draw(st.booleans(), label=f"replace {i}"):
            args[i] = data.draw(anything, label=names[i])
    n_pos = data.draw(st.integers(0, len(args)), label="positional count")
    kwargs = dict(zip(names[n_pos:], args[n_pos:]))
    pos = args[:n_pos]
    if data.draw(st.booleans(), label="extras"):
        pos = pos + data.draw(st.lists(anything, max_size=2), label="extra positional")
        kwargs.update(data.draw(st.dictionaries(st.sampled_from(names + ["x", "\ud800"]), anything, max_size=2)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = fn(*pos, **kwargs)
        except ALLOWED:
            return
        exercise(result)


SETTABLE = ["collective_rad", "tilt_lon", "tilt_lat", "omega_rad_s", "rho_kg_m3"]


@settings(max_examples=150, deadline=None)
@given(data=st.data())
def test_arbitrary_attribute_writes(data):
    target = data.draw(st.sampled_from(SAMPLES[12:22]), label="object")
    names = [n for n in dir(target) if not n.startswith("_")] + ["anything", "__dict__"]
    name = data.draw(st.sampled_from(names), label="attribute")
    value = data.draw(anything, label="value")
    ri = make_inputs() if name in SETTABLE else target
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            setattr(ri, name, value)
        except ALLOWED:
            pass
        try:
            delattr(ri, name)
        except ALLOWED:
            pass
    exercise(ri)
