"""RotorInputs and AeroResult: conversions, check order, setters and copies."""
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import aerlox._aerlox as ae
from conftest import debug, error_text, make_inputs, plain, same_float

SCALARS = ["collective_rad", "tilt_lon", "tilt_lat", "omega_rad_s", "rho_kg_m3"]
ROTATION = np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]) @ np.array(
    [[1.0, 0.0, 0.0], [0.0, 0.8, -0.6], [0.0, 0.6, 0.8]]
)


def test_values_round_trip_with_ints_for_tilt():
    ri = ae.RotorInputs(0.12, 1, -2, ROTATION, np.array([1.0, 2.0, 3.0]), np.array([-4.0, 0.5, 0.25]), 150, 1.1)
    assert (ri.collective_rad, ri.tilt_lon, ri.tilt_lat) == (0.12, 1.0, -2.0)
    # omega before rho in the argument list
    assert (ri.omega_rad_s, ri.rho_kg_m3) == (150.0, 1.1)
    for n in SCALARS:
        assert type(getattr(ri, n)) is float
    assert np.array_equal(ri.R_hub, ROTATION)
    assert np.array_equal(ri.v_hub_world, [1.0, 2.0, 3.0])
    assert np.array_equal(ri.wind_world, [-4.0, 0.5, 0.25])


def test_no_range_checks():
    skew = np.arange(9.0).reshape(3, 3)
    ri = make_inputs(R_hub=skew, rho_kg_m3=-1.0, omega_rad_s=0.0, collective_rad=float("nan"))
    assert np.array_equal(ri.R_hub, skew)
    assert ri.rho_kg_m3 == -1.0 and ri.omega_rad_s == 0.0
    assert np.isnan(ri.collective_rad)


def test_returned_arrays_are_fresh_float64_copies():
    ri = make_inputs(R_hub=ROTATION.copy())
    for name, shape in (("R_hub", (3, 3)), ("v_hub_world", (3,)), ("wind_world", (3,))):
        a, b = getattr(ri, name), getattr(ri, name)
        assert a is not b
        assert a.dtype == np.float64 and a.shape == shape
        assert a.flags.c_contiguous and a.flags.owndata and a.flags.writeable
        a[...] = 99.0
        assert not np.array_equal(getattr(ri, name), a)
    assert np.array_equal(ri.R_hub, ROTATION)


def test_inputs_are_copied_not_referenced():
    r, v, w = ROTATION.copy(), np.array([1.0, 2.0, 3.0]), np.array([4.0, 5.0, 6.0])
    ri = make_inputs(R_hub=r, v_hub_world=v, wind_world=w)
    r[:] = 0.0
    v[:] = 0.0
    w[:] = 0.0
    assert np.array_equal(ri.R_hub, ROTATION)
    assert np.array_equal(ri.v_hub_world, [1.0, 2.0, 3.0])
    assert np.array_equal(ri.wind_world, [4.0, 5.0, 6.0])


@pytest.mark.parametrize(
    "view",
    [
        lambda m: m.T,  # transposed
        lambda m: np.asfortranarray(m),
        lambda m: m[::-1, ::-1],  # negative strides
        lambda m: np.kron(m, np.ones((2, 2)))[::2, ::2],  # strided view of a bigger array
        lambda m: np.frombuffer(b"\0" + m.tobytes(), dtype=np.float64, count=9, offset=1).reshape(3, 3),  # unaligned, read-only
    ],
)
def test_r_hub_is_read_through_strides(view):
    v = view(ROTATION)
    ri = make_inputs(R_hub=v)
    assert np.array_equal(ri.R_hub, np.array(v))
    assert ri.R_hub.flags.c_contiguous


def test_transposed_r_hub_is_read_as_the_transpose():
    ri = make_inputs(R_hub=ROTATION.T)
    assert np.array_equal(ri.R_hub, ROTATION.T)
    assert not np.array_equal(ri.R_hub, ROTATION)


@pytest.mark.parametrize("name", ["v_hub_world", "wind_world"])
def test_vectors_must_be_contiguous(name):
    six = np.arange(6.0)
    for bad in (six[::2], six[:3][::-1]):
        assert error_text(make_inputs, **{name: bad}) == (TypeError, "The given array is not contiguous")
    # A contiguous slice of a bigger array is fine.
    ri = make_inputs(**{name: six[2:5]})
    assert np.array_equal(getattr(ri, name), [2.0, 3.0, 4.0])


@pytest.mark.parametrize(
    "name, bad, kind, msg",
    [
        ("v_hub_world", np.zeros(4), ValueError, "v_hub_world must be a length-3 array"),
        ("wind_world", np.zeros(2), ValueError, "wind_world must be a length-3 array"),
        ("wind_world", np.zeros(0), ValueError, "wind_world must be a length-3 array"),
        ("R_hub", np.zeros((3, 4)), ValueError, "R_hub must be a 3x3 array"),
        ("R_hub", np.zeros((0, 3)), ValueError, "R_hub must be a 3x3 array"),
        ("R_hub", np.eye(3)[:, :2], ValueError, "R_hub must be a 3x3 array"),
    ],
)
def test_shape_errors(name, bad, kind, msg):
    assert error_text(make_inputs, **{name: bad}) == (kind, msg)


@pytest.mark.parametrize(
    "name, bad",
    [
        ("R_hub", np.eye(3, dtype=np.float32)),
        ("R_hub", np.eye(3, dtype=np.int64)),
        ("R_hub", np.zeros(9)),  # 1-D
        ("R_hub", np.zeros((1, 3, 3))),  # 3-D
        ("R_hub", np.eye(3).tolist()),
        ("R_hub", np.eye(3, dtype=np.complex128)),
        ("v_hub_world", np.zeros(3, dtype=np.float32)),
        ("v_hub_world", np.zeros((1, 3))),
        ("v_hub_world", [0.0, 0.0, 0.0]),
        ("wind_world", (0.0, 0.0, 0.0)),
        ("wind_world", np.float64(0.0)),
    ],
)
def test_wrong_array_types(name, bad):
    kind, msg = error_text(make_inputs, **{name: bad})
    assert kind is TypeError
    assert re.fullmatch(rf"argument '{name}': '{type(bad).__name__}' object cannot be converted to '.+'", msg), msg


def test_byte_swapped_float64_is_never_misread():
    swapped = ROTATION.astype(">f8")
    try:
        ri = make_inputs(R_hub=swapped, v_hub_world=np.array([1.0, 2.0, 3.0], dtype=">f8"))
    except TypeError:
        return  # refusing it is fine
    assert np.array_equal(ri.R_hub, ROTATION)
    assert np.array_equal(ri.v_hub_world, [1.0, 2.0, 3.0])


def test_check_order():
    bad_shape = np.zeros((3, 4))
    # Every argument's type first, in signature order...
    assert error_text(make_inputs, collective_rad="a", tilt_lon="b")[1].startswith("argument 'collective_rad'")
    assert error_text(make_inputs, R_hub=bad_shape, rho_kg_m3="x")[1].startswith("argument 'rho_kg_m3'")
    assert error_text(make_inputs, R_hub=bad_shape, wind_world=np.zeros(3, np.float32))[1].startswith(
        "argument 'wind_world'"
    )
    # ...then the shape of R_hub, then the two vector lengths in order.
    assert error_text(make_inputs, R_hub=bad_shape, v_hub_world=np.zeros(4), wind_world=np.zeros(5)) == (
        ValueError,
        "R_hub must be a 3x3 array",
    )
    assert error_text(make_inputs, v_hub_world=np.zeros(4), wind_world=np.zeros(5)) == (
        ValueError,
        "v_hub_world must be a length-3 array",
    )
    assert error_text(make_inputs, R_hub=bad_shape, v_hub_world=np.zeros(6)[::2]) == (
        ValueError,
        "R_hub must be a 3x3 array",
    )


class Resizer:
    """A float whose conversion reallocates the arrays already passed."""

    def __init__(self, *arrays, shape=None):
        self.arrays, self.shape = arrays, shape

    def __float__(self):
        for a in self.arrays:
            a.resize(self.shape or (a.size * 20,), refcheck=False)
            a[...] = 7.0
        return 1.0


def test_arrays_are_read_after_every_scalar_conversion():
    # float() of rho runs Python code after the arrays' types were checked;
    # the record must come from the arrays as they are when they are read,
    # never from their old, freed storage.
    r, v, w = ROTATION.copy(), np.array([1.0, 2.0, 3.0]), np.array([4.0, 5.0, 6.0])
    assert error_text(make_inputs, R_hub=r, rho_kg_m3=Resizer(r, shape=(40, 40))) == (
        ValueError,
        "R_hub must be a 3x3 array",
    )
    assert error_text(make_inputs, v_hub_world=v, rho_kg_m3=Resizer(v)) == (
        ValueError,
        "v_hub_world must be a length-3 array",
    )
    r2 = ROTATION.copy()
    ri = make_inputs(R_hub=r2, omega_rad_s=Resizer(r2, shape=(3, 3)))
    assert np.array_equal(ri.R_hub, np.full((3, 3), 7.0))

    class Retyper:
        def __float__(self):
            w.dtype = np.int64
            return 1.0

    kind, msg = error_text(make_inputs, wind_world=w, rho_kg_m3=Retyper())
    assert kind is TypeError and msg.startswith("argument 'wind_world': 'ndarray' object cannot be converted to")


@pytest.mark.parametrize("name", SCALARS)
def test_scalar_setters(name):
    ri = make_inputs()
    for value, expected in ((2, 2.0), (np.float32(0.5), 0.5), (-0.0, -0.0), (float("inf"), float("inf"))):
        setattr(ri, name, value)
        assert same_float(getattr(ri, name), expected)
    setattr(ri, name, 0.25)
    kind, msg = error_text(setattr, ri, name, "fast")
    assert (kind, msg) == (TypeError, "argument 'v': must be real number, not str")
    assert error_text(setattr, ri, name, None) == (TypeError, "argument 'v': must be real number, not NoneType")
    kind, _ = error_text(setattr, ri, name, 10**400)
    assert kind is OverflowError
    assert getattr(ri, name) == 0.25
    assert error_text(delattr, ri, name) == (AttributeError, "can't delete attribute")
    assert getattr(ri, name) == 0.25


@pytest.mark.parametrize("name", ["R_hub", "v_hub_world", "wind_world"])
def test_arrays_are_read_only_attributes(name):
    ri = make_inputs()
    before = getattr(ri, name)
    with pytest.raises(AttributeError):
        setattr(ri, name, np.ones_like(before))
    with pytest.raises(AttributeError):
        delattr(ri, name)
    assert np.array_equal(getattr(ri, name), before)


def test_setters_touch_only_their_own_field():
    ri = make_inputs(R_hub=ROTATION, v_hub_world=np.array([1.0, 2.0, 3.0]))
    ri.tilt_lat = 0.3
    ri.omega_rad_s = 7.0
    assert (ri.collective_rad, ri.tilt_lon, ri.tilt_lat, ri.omega_rad_s, ri.rho_kg_m3) == (0.1, 0.0, 0.3, 7.0, 1.225)
    assert np.array_equal(ri.R_hub, ROTATION)
    assert np.array_equal(ri.v_hub_world, [1.0, 2.0, 3.0])


finite = st.floats(allow_nan=False, allow_infinity=True)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(), min_size=20, max_size=20))
def test_every_double_survives_the_round_trip(vals):
    ri = ae.RotorInputs(
        vals[0], vals[1], vals[2], np.array(vals[3:12]).reshape(3, 3), np.array(vals[12:15]),
        np.array(vals[15:18]), vals[18], vals[19],
    )
    got = [ri.collective_rad, ri.tilt_lon, ri.tilt_lat, *ri.R_hub.ravel(), *ri.v_hub_world, *ri.wind_world,
           ri.omega_rad_s, ri.rho_kg_m3]
    assert all(same_float(float(g), v) for g, v in zip(got, vals))


# ---------------------------------------------------------------------------
# AeroResult (instances come from the models)


@pytest.fixture
def result(definition, linear_polar):
    if not hasattr(ae, "_QuasiStaticBEMLinear"):
        pytest.skip("no model yet to produce an AeroResult")
    model = ae._QuasiStaticBEMLinear(definition, linear_polar, 8)
    res, _ = model.compute_forces(make_inputs(R_hub=ROTATION), ae.QuasiStaticRotorState())
    return res


def test_aero_result_attributes(result):
    assert type(result) is ae.AeroResult
    for name in ("F_world", "m_hub_world", "M_spin"):
        a, b = getattr(result, name), getattr(result, name)
        assert a.dtype == np.float64 and a.shape == (3,) and a.flags.owndata and a is not b
        a[:] = np.nan
        assert not np.isnan(getattr(result, name)).any()
    assert type(result.Q_spin) is float
    assert not hasattr(result, "M_hub_world")
    # M_spin is Q_spin along the hub z axis, in the world frame.
    assert np.array_equal(result.M_spin, result.Q_spin * ROTATION[:, 2])
    for name in ("F_world", "m_hub_world", "Q_spin", "M_spin"):
        with pytest.raises(AttributeError):
            setattr(result, name, 0.0)


def test_aero_result_repr(result):
    text = repr(result)
    f = result.F_world
    assert text == (
        f"AeroResult(F_world=Vec3([{debug(f[0])}, {debug(f[1])}, {debug(f[2])}]), Q_spin={plain(result.Q_spin)})"
    )


def test_number_forms_used_by_reprs():
    # The helpers the repr tests rely on, pinned to the documented examples.
    assert [debug(x) for x in (0.0, 1e-5, 3.0, 1.5e16, 1e-4, -2.5)] == ["0.0", "1e-5", "3.0", "1.5e16", "0.0001", "-2.5"]
    assert [plain(x) for x in (3.0, 0.1, 2.0, -3.25, 1e-7, 1e20)] == ["3", "0.1", "2", "-3.25", "0.0000001", "100000000000000000000"]
