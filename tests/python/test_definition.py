"""Rotor definition records: blade geometry (derived values, stations,
pickling), control, flap and servo-flap records, and RotorDefinition."""
import copy
import math
import pickle
from bisect import bisect_right

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import aerlox._aerlox as ae
from conftest import (
    CHORD_STATIONS,
    R_STATIONS,
    TWIST_STATIONS,
    error_text,
    make_blade,
    run_isolated,
    same_float,
)

BLADE_FIELDS = ["n_blades", "radius_m", "root_cutout_m", "chord_m", "twist_deg", "n_elements", "tip_loss"]
DERIVED = ["r_cp_m", "span_m", "solidity", "disk_area_m2", "has_radial_stations"]


def lerp_clamped(r, xs, ys):
    n = len(xs)
    if xs[0] >= r:
        return ys[0]
    if r >= xs[n - 1]:
        return ys[n - 1]
    i = min(max(bisect_right(xs, r), 1), n - 1)
    return ys[i - 1] + (r - xs[i - 1]) / (xs[i] - xs[i - 1]) * (ys[i] - ys[i - 1])


def blade_state(b):
    return {n: getattr(b, n) for n in BLADE_FIELDS + DERIVED} | {"reduce": b.__reduce__()[1]}


# ---------------------------------------------------------------------------
# BladeGeometry


def test_derived_quantities():
    b = ae.BladeGeometry(3, 1.0, 0.2, 0.05, 0.0, 10, [], [], [])
    assert b.span_m == pytest.approx(0.8, rel=1e-15)
    assert b.r_cp_m == pytest.approx(0.733333, abs=1e-6)
    assert b.disk_area_m2 == pytest.approx(math.pi * 0.96, rel=1e-15)
    assert b.solidity == pytest.approx(0.15 / math.pi, rel=1e-15)
    assert b.has_radial_stations is False
    assert (b.n_blades, b.n_elements, b.tip_loss) == (3, 10, True)


@settings(max_examples=100, deadline=None)
@given(
    st.integers(0, 64),
    st.floats(0.01, 100.0),
    st.floats(0.0, 10.0),
    st.floats(0.001, 5.0),
)
def test_derived_quantities_follow_their_formulas_exactly(n, radius, cutout, chord):
    b = ae.BladeGeometry(n, radius, cutout, chord, 3.0, 10, [], [], [])
    assert same_float(b.span_m, radius - cutout)
    assert same_float(b.r_cp_m, cutout + (radius - cutout) * 0.6666666666666666)
    assert same_float(b.disk_area_m2, (radius * radius - cutout * cutout) * math.pi)
    assert same_float(b.solidity, float(n) * chord / (radius * math.pi))


def test_solidity_uses_uniform_chord_even_with_stations(blade):
    assert blade.has_radial_stations is True
    assert same_float(blade.solidity, 2.0 * 0.06 / (1.0 * math.pi))


def test_station_interpolation():
    b = ae.BladeGeometry(2, 1.0, 0.2, 0.05, 0.0, 10, [0.2, 0.6, 1.0], [0.06, 0.05, 0.04], [10.0, 5.0, 0.0])
    assert b.chord_at(0.4) == pytest.approx(0.055, rel=1e-14)
    assert b.chord_at(0.1) == 0.06
    assert b.chord_at(1.2) == 0.04
    assert b.chord_at(0.6) == 0.05
    assert b.chord_at(0.2) == 0.06 and b.chord_at(1.0) == 0.04
    assert b.twist_at(0.8) == pytest.approx(2.5, rel=1e-14)
    assert b.twist_at(-5.0) == 10.0 and b.twist_at(float("inf")) == 0.0
    assert math.isnan(b.chord_at(float("nan")))


@settings(max_examples=150, deadline=None)
@given(
    st.lists(st.floats(-10, 10), min_size=2, max_size=12, unique=True),
    st.lists(st.floats(-1e3, 1e3), min_size=12, max_size=12),
    st.lists(st.floats(-12, 12), max_size=10),
)
def test_stations_follow_lerp_clamped_bit_for_bit(xs, ys, rs):
    xs = sorted(xs)
    ys = ys[: len(xs)]
    b = ae.BladeGeometry(2, 1.0, 0.1, 0.05, -3.0, 10, xs, ys, [y * 0.5 for y in ys])
    for r in rs + xs:
        assert same_float(b.chord_at(r), lerp_clamped(r, xs, ys))
        assert same_float(b.twist_at(r), lerp_clamped(r, xs, [y * 0.5 for y in ys]))


@pytest.mark.parametrize(
    "r, c, t",
    [
        ([0.5], [0.1], [3.0]),  # a single station
        ([0.1, 1.0], [0.1], [3.0, 1.0]),  # unequal lengths
        ([0.1, 1.0], [0.1, 0.2], [3.0]),
        ([0.1, 1.0, 2.0], [0.1, 0.2], [3.0, 1.0]),
        ([], [], []),
    ],
)
def test_unusable_stations_fall_back_to_uniform_values(r, c, t):
    b = ae.BladeGeometry(2, 1.0, 0.1, 0.05, -3.0, 10, r, c, t)
    assert b.has_radial_stations is False
    for x in (0.0, 0.1, 0.5, 1.0, 3.0):
        assert b.chord_at(x) == 0.05 and b.twist_at(x) == -3.0


@pytest.mark.parametrize(
    "stations",
    [
        (0.1, 1.0),
        [np.float32(0.1), 1],
        np.array([0.1, 1.0]),
        np.array([0.1, 1.0], dtype=np.float32),
        np.array([1, 10])[::1],
        range(1, 3),
        memoryview(b"\x01\x02"),
    ],
)
def test_station_lists_take_any_sequence_of_numbers(stations):
    b = ae.BladeGeometry(2, 1.0, 0.1, 0.05, 0.0, 10, stations, stations, stations)
    expected = [float(x) for x in stations]
    assert b.__reduce__()[1][6] == expected
    assert all(type(x) is float for x in b.__reduce__()[1][6])


@pytest.mark.parametrize(
    "bad, text",
    [
        ("0.1, 1.0", "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (0.5, "'float' object cannot be converted to 'Sequence'"),
        ({0.1, 1.0}, "'set' object cannot be converted to 'Sequence'"),
        ({0: 0.1}, "'dict' object cannot be converted to 'Sequence'"),
        (iter([0.1, 1.0]), "'list_iterator' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        ([0.1, "1.0"], "must be real number, not str"),
        ([0.1, None], "must be real number, not NoneType"),
        ([[0.1], [1.0]], "must be real number, not list"),
    ],
)
def test_station_list_errors(bad, text):
    for name in ("r_stations_m", "chord_stations_m", "twist_stations_deg"):
        kind, msg = error_text(make_blade, **{name: bad})
        assert (kind, msg) == (TypeError, f"argument '{name}': {text}")


def test_blade_attributes_are_read_only(blade):
    for name in BLADE_FIELDS + DERIVED:
        with pytest.raises(AttributeError):
            setattr(blade, name, 1)
    assert not hasattr(blade, "r_stations_m")


def test_blade_types(blade):
    assert type(blade.n_blades) is int and type(blade.n_elements) is int
    assert type(blade.tip_loss) is bool and type(blade.has_radial_stations) is bool
    for name in ("radius_m", "root_cutout_m", "chord_m", "twist_deg") + tuple(DERIVED[:4]):
        assert type(getattr(blade, name)) is float


# ---------------------------------------------------------------------------
# Pickling and copying


def test_reduce_gives_the_class_and_constructor_arguments():
    b = make_blade(tip_loss=False, n_blades=np.int64(4))
    cls, args = b.__reduce__()
    assert cls is ae.BladeGeometry
    assert type(args) is tuple and len(args) == 10
    assert args == (4, 1.0, 0.1, 0.06, -8.0, 20, R_STATIONS, CHORD_STATIONS, TWIST_STATIONS, False)
    assert [type(a) for a in args] == [int, float, float, float, float, int, list, list, list, bool]
    assert cls(*args).__reduce__() == (cls, args)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    b = make_blade(tip_loss=False)
    back = pickle.loads(pickle.dumps(b, protocol=protocol))
    assert type(back) is ae.BladeGeometry
    assert blade_state(back) == blade_state(b)
    assert back.tip_loss is False


def test_copy_and_deepcopy(blade):
    for c in (copy.copy(blade), copy.deepcopy(blade)):
        assert c is not blade and type(c) is ae.BladeGeometry
        assert blade_state(c) == blade_state(blade)


@settings(max_examples=50, deadline=None)
@given(
    st.integers(0, 2**64 - 1),
    st.lists(st.floats(allow_nan=False), min_size=4, max_size=4),
    st.integers(0, 300),
    st.lists(st.floats(), max_size=5),
    st.booleans(),
)
def test_pickle_keeps_every_value_exactly(n, vals, n_el, stations, tip):
    b = ae.BladeGeometry(n, *vals, n_el, stations, stations[::-1], stations[:2], tip)
    back = pickle.loads(pickle.dumps(b))
    a1, a2 = b.__reduce__()[1], back.__reduce__()[1]
    assert a1[0] == a2[0] == n and a1[5] == a2[5] == n_el and a2[9] is tip
    for x, y in zip(a1[1:5], a2[1:5]):
        assert same_float(x, y)
    for l1, l2 in zip(a1[6:9], a2[6:9]):
        assert len(l1) == len(l2) and all(same_float(x, y) for x, y in zip(l1, l2))


class FancyBlade(ae.BladeGeometry):
    def __init__(self, *args, **kwargs):
        self.label = "fancy"

    def describe(self):
        return f"{self.label}: {self.n_blades} blades"


def test_subclass_behaves_and_pickles_back_as_plain_blade():
    s = FancyBlade(3, 1.0, 0.1, 0.05, 2.0, 12, [], [], [], tip_loss=False)
    assert isinstance(s, ae.BladeGeometry) and s.describe() == "fancy: 3 blades"
    assert s.span_m == 0.9 and s.tip_loss is False
    assert s.__reduce__()[0] is ae.BladeGeometry
    for back in (pickle.loads(pickle.dumps(s)), copy.copy(s), copy.deepcopy(s)):
        assert type(back) is ae.BladeGeometry
        assert blade_state(back) == blade_state(s)
    # A subclass instance is a BladeGeometry wherever one is expected.
    d = ae.RotorDefinition(s, ae.LinearPolarParameters(0, 5.7, 0.01, 12), None, "n", "d")
    assert type(d.blade) is ae.BladeGeometry and d.blade.n_blades == 3


def test_no_other_class_pickles(linear_polar, definition, identity_inputs, servoflap):
    a = np.array([0.0, 1.0])
    objects = [
        linear_polar,
        ae.TabulatedPolar(a, a, a),
        ae.LinearPolarParameters(0, 1, 0, 10),
        ae.ControlProperties(1, None),
        ae.ServoFlapGeometry(1, 2, 3),
        servoflap,
        ae.FlapProperties(2, 10),
        definition,
        identity_inputs,
    ]
    for obj in objects:
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            with pytest.raises(TypeError):
                pickle.dumps(obj, protocol=protocol)
        with pytest.raises(TypeError):
            copy.copy(obj)


def test_absurd_station_list_raises_memory_error_and_the_process_carries_on():
    # A sequence whose length claims more memory than the address space has:
    # the reservation for its items must fail cleanly.
    proc = run_isolated(
        """
import aerlox._aerlox as ae

class Huge:
    def __init__(self, n):
        self.n = n
    def __len__(self):
        return self.n
    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return 0.5

for n in (2**58, 2**62, 2**63 - 1):
    try:
        ae.BladeGeometry(2, 1.0, 0.1, 0.05, 0.0, 10, Huge(n), [], [])
    except MemoryError:
        print("MemoryError")
    except BaseException as e:
        print(type(e).__name__, e)
b = ae.BladeGeometry(2, 1.0, 0.1, 0.05, 0.0, 10, Huge(2), [], [])
print(b.__reduce__()[1][6])
"""
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n") == ["MemoryError"] * 3 + ["[0.5, 0.5]", ""]


# ---------------------------------------------------------------------------
# Control, flap and servo-flap records


def test_control_properties():
    c = ae.ControlProperties(0.5, None)
    assert c.swashplate_pitch_gain_rad == 0.5 and c.swashplate_phase_deg is None
    c = ae.ControlProperties(2, np.float32(90.0))
    assert c.swashplate_phase_deg == 90.0 and type(c.swashplate_phase_deg) is float
    assert ae.ControlProperties(swashplate_phase_deg=None, swashplate_pitch_gain_rad=1.0).swashplate_phase_deg is None
    assert error_text(ae.ControlProperties, 0.5) == (
        TypeError,
        "ControlProperties.__new__() missing 1 required positional argument: 'swashplate_phase_deg'",
    )
    assert error_text(ae.ControlProperties, 0.5, "east") == (
        TypeError,
        "argument 'swashplate_phase_deg': must be real number, not str",
    )
    with pytest.raises(AttributeError):
        c.swashplate_phase_deg = None


def test_flap_and_servo_flap_records():
    f = ae.FlapProperties(2.0, 10)
    assert (f.I_blade_flap_kgm2, f.omega_nr_rad_s) == (2.0, 10.0)
    g = ae.ServoFlapGeometry(-0.6, 0.6, 0.9)
    assert (g.C_M_delta_per_rad, g.r_inner_m, g.r_outer_m) == (-0.6, 0.6, 0.9)
    s = ae.ServoFlapActuation(0.002, 0.01, g)
    assert (s.I_theta_kgm2, s.damper_Nms_per_rad, s.ac_offset_m, s.blade_Cm_AC) == (0.002, 0.01, 0.0, 0.0)
    s = ae.ServoFlapActuation(0.002, 0.01, g, blade_Cm_AC=-0.01, ac_offset_m=0.005)
    assert (s.ac_offset_m, s.blade_Cm_AC) == (0.005, -0.01)
    # flap comes back as a new copy on every read
    f1, f2 = s.flap, s.flap
    assert type(f1) is ae.ServoFlapGeometry and f1 is not f2 and f1 is not g
    assert (f1.C_M_delta_per_rad, f1.r_inner_m, f1.r_outer_m) == (-0.6, 0.6, 0.9)
    for obj, names in (
        (f, ["I_blade_flap_kgm2", "omega_nr_rad_s"]),
        (g, ["C_M_delta_per_rad", "r_inner_m", "r_outer_m"]),
        (s, ["I_theta_kgm2", "damper_Nms_per_rad", "flap", "ac_offset_m", "blade_Cm_AC"]),
    ):
        for n in names:
            with pytest.raises(AttributeError):
                setattr(obj, n, 1.0)


def test_servo_flap_argument_errors():
    g = ae.ServoFlapGeometry(-0.6, 0.6, 0.9)
    assert error_text(ae.ServoFlapActuation, 0.1, 0.1, (-0.6, 0.6, 0.9)) == (
        TypeError,
        "argument 'flap': 'tuple' object cannot be converted to 'ServoFlapGeometry'",
    )
    assert error_text(ae.ServoFlapActuation, 0.1, 0.1, None)[0] is TypeError
    # Numeric defaults are not None.
    assert error_text(ae.ServoFlapActuation, 0.1, 0.1, g, None) == (
        TypeError,
        "argument 'ac_offset_m': must be real number, not NoneType",
    )


# ---------------------------------------------------------------------------
# RotorDefinition


def test_definition_direct_mechanical(definition, blade, airfoil):
    d = definition
    assert d.name == "two-blade" and d.description == "2-bladed 1 m test rotor"
    assert d.servoflap is None and d.flap is None
    assert type(d.blade) is ae.BladeGeometry and blade_state(d.blade) == blade_state(blade)
    assert type(d.airfoil) is ae.LinearPolarParameters
    assert (d.airfoil.CL0, d.airfoil.CL_alpha_per_rad, d.airfoil.CD0, d.airfoil.alpha_stall_deg) == (
        airfoil.CL0,
        airfoil.CL_alpha_per_rad,
        airfoil.CD0,
        airfoil.alpha_stall_deg,
    )
    assert type(d.control) is ae.ControlProperties and d.control.swashplate_phase_deg is None


def test_definition_servo_flap_and_flap(blade, airfoil, servoflap):
    fp = ae.FlapProperties(2.0, 10.0)
    d = ae.RotorDefinition(
        blade=blade, airfoil=airfoil, control=None, name="sf", description="", servoflap=servoflap, flap=fp
    )
    assert d.control is None
    s1, s2 = d.servoflap, d.servoflap
    assert type(s1) is ae.ServoFlapActuation and s1 is not s2 and s1 is not servoflap
    for n in ("I_theta_kgm2", "damper_Nms_per_rad", "ac_offset_m", "blade_Cm_AC"):
        assert getattr(s1, n) == getattr(servoflap, n)
    assert s1.flap.r_outer_m == 0.9
    f = d.flap
    assert type(f) is ae.FlapProperties and f is not fp and (f.I_blade_flap_kgm2, f.omega_nr_rad_s) == (2.0, 10.0)
    # None is the same as omitting
    d2 = ae.RotorDefinition(blade, airfoil, None, "x", "y", None, None)
    assert d2.servoflap is None and d2.flap is None


def test_definition_returns_copies_on_every_read(definition):
    for name in ("blade", "airfoil", "control"):
        assert getattr(definition, name) is not getattr(definition, name)
    for name in ("blade", "airfoil", "control", "name", "description", "servoflap", "flap"):
        with pytest.raises(AttributeError):
            setattr(definition, name, None)


def test_definition_docstrings():
    assert ae.RotorDefinition.servoflap.__doc__ == (
        "ServoFlapActuation when in servo-flap mode, else None (direct mechanical)."
    )
    assert ae.RotorDefinition.flap.__doc__ == "FlapProperties for quasi-static blade flapping, or None (rigid blade)."


@pytest.mark.parametrize("text", ["", "a\x00b", "rotor \u00e9\u00e8 \U0001f681", "x" * 10000])
def test_definition_strings_round_trip(blade, airfoil, text):
    d = ae.RotorDefinition(blade, airfoil, None, text, text[::-1])
    assert d.name == text and d.description == text[::-1]


@pytest.mark.parametrize(
    "index, bad, text",
    [
        (0, None, "argument 'blade': 'NoneType' object cannot be converted to 'BladeGeometry'"),
        (1, ae.LinearPolar(0.2, 5.7, 0.01, 0.25), "argument 'airfoil': 'LinearPolar' object cannot be converted to 'LinearPolarParameters'"),
        (2, ae.FlapProperties(1, 1), "argument 'control': 'FlapProperties' object cannot be converted to 'ControlProperties'"),
        (3, b"bytes", "argument 'name': 'bytes' object cannot be converted to '"),
        (4, None, "argument 'description': 'NoneType' object cannot be converted to '"),
        (5, ae.ServoFlapGeometry(1, 2, 3), "argument 'servoflap': 'ServoFlapGeometry' object cannot be converted to 'ServoFlapActuation'"),
        (6, ae.ControlProperties(1, 2), "argument 'flap': 'ControlProperties' object cannot be converted to 'FlapProperties'"),
    ],
)
def test_definition_argument_errors(blade, airfoil, index, bad, text):
    args = [blade, airfoil, None, "n", "d", None, None]
    args[index] = bad
    kind, msg = error_text(ae.RotorDefinition, *args)
    assert kind is TypeError and msg.startswith(text), msg


def test_subclass_instances_in_reference_cycles_are_collected():
    import gc
    import weakref

    class Node(ae.BladeGeometry):
        pass

    a = Node(2, 1.0, 0.1, 0.05, 0.0, 10, [], [], [])
    b = Node(3, 1.0, 0.1, 0.05, 0.0, 10, [], [], [])
    a.other, b.other = b, a
    probe = weakref.ref(a)  # a Python subclass may carry a weak reference
    del a, b
    gc.collect()
    assert probe() is None
