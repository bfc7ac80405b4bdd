"""Airfoil polars: the linear law, table interpolation, the array forms and
construction from polar parameters."""
import math
import types

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import aerlox._aerlox as ae
from conftest import bits, error_text, plain, same_float


def linear_reference(p, a):
    """The linear law written out independently (Python floats are IEEE doubles)."""
    if p.alpha_stall_rad > abs(a):
        return p.CL0 + a * p.CL_alpha_per_rad, p.CD0
    cl = math.copysign(abs(p.CL0 + p.alpha_stall_rad * p.CL_alpha_per_rad), a)
    return cl, (abs(a) - p.alpha_stall_rad) + p.CD0


def table_reference(alpha, cl, cd, a):
    n = len(alpha)
    if a <= alpha[0]:
        return cl[0], cd[0]
    if a >= alpha[n - 1]:
        return cl[n - 1], cd[n - 1]
    lo, hi = 0, n - 1
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if a >= alpha[mid]:
            lo = mid
        else:
            hi = mid
    t = (a - alpha[lo]) / (alpha[hi] - alpha[lo])
    return cl[lo] + t * (cl[hi] - cl[lo]), cd[lo] + t * (cd[hi] - cd[lo])


def same_pair(a, b):
    return len(a) == 2 and same_float(a[0], b[0]) and same_float(a[1], b[1])


# ---------------------------------------------------------------------------
# LinearPolar


@pytest.mark.parametrize(
    "alpha, expected",
    [
        (0.1, (0.77, 0.01)),
        (0.25, (1.625, 0.01)),  # exactly at stall: stalled branch, same value
        (0.35, (1.625, 0.10999999999999997)),
        (-0.35, (-1.625, 0.10999999999999997)),
        (-0.2, (-0.94, 0.01)),
        (0.0, (0.2, 0.01)),
    ],
)
def test_linear_law(linear_polar, alpha, expected):
    got = linear_polar.cl_cd(alpha)
    assert type(got) is tuple
    assert got == pytest.approx(expected, rel=1e-15)
    assert same_pair(got, linear_reference(linear_polar, alpha))


def test_negative_stall_is_asymmetric_unless_cl0_is_zero(linear_polar):
    # At -alpha_s the stalled lift is -|CL0 + a_s*CL_a|, not CL0 - a_s*CL_a.
    cl, cd = linear_polar.cl_cd(-0.25)
    assert cl == -1.625 and cd == 0.01
    sym = ae.LinearPolar(0.0, 5.7, 0.01, 0.25)
    assert sym.cl_cd(-0.25)[0] == -sym.cl_cd(0.25)[0] == -(0.25 * 5.7)


def test_negative_stall_angle_means_always_stalled():
    p = ae.LinearPolar(0.2, 5.7, -0.01, -0.1)
    assert same_pair(p.cl_cd(0.0), (math.copysign(abs(0.2 + -0.1 * 5.7), 0.0), (0.0 - -0.1) + -0.01))
    assert p.CD0 == -0.01 and p.alpha_stall_rad == -0.1


def test_nan_angle_scalar_stalls_but_array_stays_attached(linear_polar):
    cl, cd = linear_polar.cl_cd(float("nan"))
    assert math.isnan(cd) and abs(cl) == 1.625
    cls, cds = linear_polar.cl_cd_arr(np.array([0.1, np.nan, 0.35]))
    assert math.isnan(cls[1]) and cds[1] == 0.01
    assert (cls[0], cds[0]) == linear_polar.cl_cd(0.1)
    assert (cls[2], cds[2]) == linear_polar.cl_cd(0.35)


angles = st.floats(allow_nan=False, allow_infinity=True)
params = st.floats(allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6)


@settings(max_examples=200, deadline=None)
@given(params, params, params, params, st.lists(angles, max_size=12))
def test_linear_polar_matches_its_law_bit_for_bit(cl0, cla, cd0, stall, alphas):
    p = ae.LinearPolar(cl0, cla, cd0, stall)
    cls, cds = p.cl_cd_arr(np.array(alphas, dtype=np.float64))
    for a, cl, cd in zip(alphas, cls, cds):
        want = linear_reference(p, a)
        assert same_pair(p.cl_cd(a), want)
        assert same_pair((float(cl), float(cd)), want)


def test_attributes_and_repr():
    p = ae.LinearPolar(3.0, 1e-7, 1e20, -0.0)
    assert (p.CL0, p.CL_alpha_per_rad, p.CD0) == (3.0, 1e-7, 1e20)
    assert bits(p.alpha_stall_rad) == bits(-0.0)
    assert repr(p) == "LinearPolar(CL0=3, CL_alpha_per_rad=0.0000001, CD0=100000000000000000000, alpha_stall_rad=-0)"
    assert repr(ae.LinearPolar(0.2, 5.7, 0.01, 0.25)) == "LinearPolar(CL0=0.2, CL_alpha_per_rad=5.7, CD0=0.01, alpha_stall_rad=0.25)"
    for name in ("CL0", "CL_alpha_per_rad", "CD0", "alpha_stall_rad"):
        with pytest.raises(AttributeError):
            setattr(p, name, 1.0)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=4, max_size=4))
def test_repr_uses_shortest_round_trip_plain_numbers(v):
    text = repr(ae.LinearPolar(*v))
    fields = dict(kv.split("=") for kv in text[len("LinearPolar("):-1].split(", "))
    assert list(fields) == ["CL0", "CL_alpha_per_rad", "CD0", "alpha_stall_rad"]
    for x, s in zip(v, fields.values()):
        assert s == plain(x)
        assert "e" not in s and not s.endswith(".0")
        assert bits(float(s)) == bits(x)


def test_public_surface():
    public = {n for n in dir(ae.LinearPolar) if not n.startswith("_")}
    assert public == {"CL0", "CL_alpha_per_rad", "CD0", "alpha_stall_rad", "cl_cd", "cl_cd_arr", "from_properties"}
    public = {n for n in dir(ae.TabulatedPolar) if not n.startswith("_")}
    assert public == {"cl_cd", "cl_cd_arr"}  # the table itself is not exposed
    public = {n for n in dir(ae.LinearPolarParameters) if not n.startswith("_")}
    assert public == {"CL0", "CL_alpha_per_rad", "CD0", "alpha_stall_deg"}


# ---------------------------------------------------------------------------
# The array form (both polars)


@pytest.fixture(params=["linear", "tabulated"])
def polar(request):
    if request.param == "linear":
        return ae.LinearPolar(0.2, 5.7, 0.01, 0.25)
    a = np.linspace(-0.5, 0.5, 11)
    return ae.TabulatedPolar(a, 5.0 * a, 0.01 + a * a)


def test_cl_cd_arr_returns_two_new_arrays(polar):
    alpha = np.linspace(-1.0, 1.0, 17)
    keep = alpha.copy()
    out = polar.cl_cd_arr(alpha)
    assert type(out) is tuple and len(out) == 2
    for arr in out:
        assert arr.dtype == np.float64 and arr.shape == alpha.shape
        assert arr.flags.owndata and arr.flags.c_contiguous
        assert not np.shares_memory(arr, alpha)
    assert not np.shares_memory(out[0], out[1])
    assert np.array_equal(alpha, keep)
    for i, a in enumerate(alpha):
        assert same_pair((float(out[0][i]), float(out[1][i])), polar.cl_cd(float(a)))


def test_cl_cd_arr_empty_and_read_only_inputs(polar):
    cl, cd = polar.cl_cd_arr(np.array([], dtype=np.float64))
    assert cl.shape == (0,) and cd.shape == (0,) and cl.dtype == np.float64
    ro = np.linspace(-0.3, 0.3, 5)
    ro.flags.writeable = False
    assert np.array_equal(polar.cl_cd_arr(ro)[0], polar.cl_cd_arr(ro.copy())[0])


@pytest.mark.parametrize(
    "bad",
    [np.zeros(3, dtype=np.float32), np.zeros((1, 3)), np.zeros((), dtype=np.float64), [0.1, 0.2], 0.1, None],
)
def test_cl_cd_arr_refuses_non_float64_1d_arrays(polar, bad):
    kind, msg = error_text(polar.cl_cd_arr, bad)
    assert kind is TypeError
    assert msg.startswith(f"argument 'alpha_rad': '{type(bad).__name__}' object cannot be converted to '")


def test_cl_cd_arr_refuses_strided_views(polar):
    assert error_text(polar.cl_cd_arr, np.linspace(0, 1, 10)[::3]) == (TypeError, "The given array is not contiguous")


def test_cl_cd_scalar_conversion(polar):
    assert polar.cl_cd(np.float32(0.125)) == polar.cl_cd(0.125)
    assert polar.cl_cd(0) == polar.cl_cd(0.0)
    assert error_text(polar.cl_cd, "0.1") == (TypeError, "argument 'alpha_rad': must be real number, not str")


# ---------------------------------------------------------------------------
# TabulatedPolar


def test_table_interpolates_and_clamps():
    p = ae.TabulatedPolar(np.array([-0.1, 0.0, 0.1]), np.array([-0.5, 0.0, 0.5]), np.array([0.02, 0.01, 0.02]))
    assert p.cl_cd(0.05)[0] == 0.25
    assert p.cl_cd(1.0) == (0.5, 0.02)
    assert p.cl_cd(-1.0) == (-0.5, 0.02)
    assert p.cl_cd(float("inf")) == (0.5, 0.02)
    assert p.cl_cd(float("-inf")) == (-0.5, 0.02)
    # exactly on a row
    assert p.cl_cd(0.0) == (0.0, 0.01)
    assert p.cl_cd(-0.1) == (-0.5, 0.02)
    assert repr(p) == "TabulatedPolar(n=3)"


def test_one_row_table_returns_that_row_everywhere():
    p = ae.TabulatedPolar(np.array([0.1]), np.array([0.7]), np.array([0.03]))
    for a in (-10.0, 0.0, 0.1, 0.2, float("inf")):
        assert p.cl_cd(a) == (0.7, 0.03)
    assert repr(p) == "TabulatedPolar(n=1)"


def test_table_is_copied():
    a, cl, cd = np.array([0.0, 1.0]), np.array([0.0, 2.0]), np.array([0.0, 4.0])
    p = ae.TabulatedPolar(a, cl, cd)
    a[:] = [5.0, 6.0]
    cl[:] = 9.0
    cd[:] = 9.0
    assert p.cl_cd(0.5) == (1.0, 2.0)


@pytest.mark.parametrize(
    "lengths, msg",
    [
        ((3, 3, 2), "alpha, cl, cd must have the same length"),
        ((2, 3, 3), "alpha, cl, cd must have the same length"),
        ((0, 1, 1), "alpha, cl, cd must have the same length"),  # length checked before emptiness
        ((1, 0, 0), "alpha, cl, cd must have the same length"),
        ((0, 0, 0), "polar table is empty"),
    ],
)
def test_table_shape_errors(lengths, msg):
    arrays = [np.linspace(0.0, 1.0, n) for n in lengths]
    assert error_text(ae.TabulatedPolar, *arrays) == (ValueError, msg)


@pytest.mark.parametrize("position, name", [(0, "alpha_rad"), (1, "cl"), (2, "cd")])
def test_table_argument_errors(position, name):
    good = [np.linspace(0.0, 1.0, 4) for _ in range(3)]
    for bad in (good[0].astype(np.float32), list(good[0]), good[0].reshape(2, 2)):
        args = list(good)
        args[position] = bad
        kind, msg = error_text(ae.TabulatedPolar, *args)
        assert kind is TypeError and msg.startswith(f"argument '{name}': '{type(bad).__name__}' object cannot be converted to '")
    args = list(good)
    args[position] = np.linspace(0.0, 1.0, 8)[::2]
    assert error_text(ae.TabulatedPolar, *args) == (TypeError, "The given array is not contiguous")


table_rows = st.lists(
    st.tuples(
        st.floats(-10, 10, allow_nan=False),
        st.floats(-5, 5, allow_nan=False),
        st.floats(-5, 5, allow_nan=False),
    ),
    min_size=1,
    max_size=40,
    unique_by=lambda r: r[0],
)


@settings(max_examples=150, deadline=None)
@given(table_rows, st.lists(st.floats(allow_nan=False, min_value=-12, max_value=12), max_size=16))
def test_table_matches_its_interpolation_bit_for_bit(rows, queries):
    rows = sorted(rows)
    alpha, cl, cd = (np.array(c, dtype=np.float64) for c in zip(*rows))
    p = ae.TabulatedPolar(alpha, cl, cd)
    queries = queries + [float(x) for x in alpha]
    cls, cds = p.cl_cd_arr(np.array(queries, dtype=np.float64))
    ref_a, ref_cl, ref_cd = alpha.tolist(), cl.tolist(), cd.tolist()
    for q, l, d in zip(queries, cls, cds):
        want = table_reference(ref_a, ref_cl, ref_cd, q)
        assert same_pair(p.cl_cd(q), want)
        assert same_pair((float(l), float(d)), want)


# ---------------------------------------------------------------------------
# LinearPolarParameters and from_properties


def test_parameters_are_stored_unchanged():
    pp = ae.LinearPolarParameters(0.2, 5.7, 0.01, 15)
    assert (pp.CL0, pp.CL_alpha_per_rad, pp.CD0, pp.alpha_stall_deg) == (0.2, 5.7, 0.01, 15.0)
    assert type(pp.alpha_stall_deg) is float
    with pytest.raises(AttributeError):
        pp.CL0 = 1.0


def test_from_properties_converts_degrees():
    lp = ae.LinearPolar.from_properties(ae.LinearPolarParameters(0.2, 5.7, 0.01, 15.0))
    assert type(lp) is ae.LinearPolar
    assert (lp.CL0, lp.CL_alpha_per_rad, lp.CD0) == (0.2, 5.7, 0.01)
    assert lp.alpha_stall_rad == 0.2617993877991494
    assert same_float(
        ae.LinearPolar.from_properties(ae.LinearPolarParameters(0, 0, 0, 7.3)).alpha_stall_rad,
        7.3 * 0.017453292519943295,
    )
    assert "LinearPolarParameters" in ae.LinearPolar.from_properties.__doc__


def test_from_properties_reads_a_wrapper_by_attribute_in_order():
    seen = []

    class Wrapper:
        def __getattr__(self, name):
            seen.append(name)
            return {"CL0": 1, "CL_alpha_per_rad": np.float32(6.0), "CD0": "0.02", "alpha_stall_deg": 10.0}[name]

    # CD0 is a str: float() refuses it, after CL0 and CL_alpha_per_rad were read.
    kind, _ = error_text(ae.LinearPolar.from_properties, Wrapper())
    assert kind is TypeError
    assert seen == ["CL0", "CL_alpha_per_rad", "CD0"]

    ns = types.SimpleNamespace(CL0=1, CL_alpha_per_rad=np.float32(6.0), CD0=0.02, alpha_stall_deg=10)
    lp = ae.LinearPolar.from_properties(ns)
    assert (lp.CL0, lp.CL_alpha_per_rad, lp.CD0, lp.alpha_stall_rad) == (1.0, 6.0, 0.02, 10 * 0.017453292519943295)
    assert ae.LinearPolar.from_properties(airfoil=ns).CL0 == 1.0


def test_from_properties_missing_attribute_is_the_lookup_error():
    # A LinearPolar has alpha_stall_rad, not alpha_stall_deg.
    kind, msg = error_text(ae.LinearPolar.from_properties, ae.LinearPolar(0.2, 5.7, 0.01, 0.25))
    assert kind is AttributeError and "alpha_stall_deg" in msg
    kind, msg = error_text(ae.LinearPolar.from_properties, types.SimpleNamespace(CL0=1.0, CL_alpha_per_rad=2.0))
    assert kind is AttributeError and "CD0" in msg
    kind, _ = error_text(ae.LinearPolar.from_properties, None)
    assert kind is AttributeError
