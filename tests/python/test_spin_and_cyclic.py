"""Rotor spin dynamics (omega_derivative, step_omega) and the swashplate
tilt-to-cyclic mapping (cyclic_coeffs)."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import aerlox._aerlox as ae
from conftest import bits, error_text, same_float

f64 = np.float64


def friction(omega, b):
    if omega > 0:
        return b
    if omega < 0:
        return -b
    return f64(0.0)


def derivative_reference(omega, q, motor, inertia, b=0.0):
    omega, q, motor, inertia, b = map(f64, (omega, q, motor, inertia, b))
    with np.errstate(all="ignore"):
        return float(((motor - q) - friction(omega, b)) / inertia)


def step_reference(omega, q, motor, inertia, dt, b=0.0):
    """The spin step in IEEE arithmetic (NumPy scalars: x/0 is inf, not an error)."""
    omega, q, motor, inertia, dt, b = map(f64, (omega, q, motor, inertia, dt, b))
    with np.errstate(all="ignore"):
        f = friction(omega, b)
        explicit = omega + ((motor - q - f) / inertia) * dt
        if abs(omega) < 1e-12:
            new = explicit
        else:
            tau = omega * inertia / q
            if tau > 0 and np.isfinite(tau):
                new = (omega + dt * (motor - f) / inertia) / (1 + dt / tau)
            else:
                new = explicit
    if (omega > 0 and new < 0) or (omega < 0 and new > 0):
        return 0.0
    return float(new)


# ---------------------------------------------------------------------------
# omega_derivative


def test_derivative_cases():
    assert ae.omega_derivative(10, 2, 5, 0.5) == 6.0
    assert ae.omega_derivative(10, 2, 5, 0.5, bearing_friction_nm=1) == 4.0
    assert ae.omega_derivative(-10, 2, 5, 0.5, 1) == 8.0
    assert ae.omega_derivative(0, 2, 5, 0.5, 1) == 6.0  # no friction at rest
    assert type(ae.omega_derivative(10, 2, 5, 0.5)) is float


def test_derivative_ieee_results_are_returned_not_raised():
    assert ae.omega_derivative(10, 2, 5, 0) == math.inf
    assert ae.omega_derivative(10, 5, 2, 0) == -math.inf
    assert math.isnan(ae.omega_derivative(10, 5, 5, 0))
    # A NaN rate has no direction, so no friction acts.
    assert ae.omega_derivative(float("nan"), 0, 3, 1, 1) == 3.0
    assert math.isnan(ae.omega_derivative(1, float("nan"), 3, 1))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(), min_size=5, max_size=5))
def test_derivative_matches_its_formula_bit_for_bit(v):
    got = ae.omega_derivative(*v)
    assert bits(got) == bits(derivative_reference(*v)) or (math.isnan(got) and math.isnan(derivative_reference(*v)))


# ---------------------------------------------------------------------------
# step_omega


def test_step_semi_implicit_branch():
    # tau = 10 * 0.5 / 2 = 2.5
    assert ae.step_omega(10, 2, 5, 0.5, 0.1) == (10 + 0.1 * 5 / 0.5) / (1 + 0.1 / 2.5)
    assert ae.step_omega(10, 2, 5, 0.5, 0.1) == 11 / 1.04
    # friction uses the sign of the starting rate
    assert ae.step_omega(-10, -2, -5, 0.5, 0.1, 1.0) == (-10 + 0.1 * (-5 - -1.0) / 0.5) / (1 + 0.1 / 2.5)


def test_step_explicit_branches():
    assert ae.step_omega(10, 0, 5, 0.5, 0.1) == 11.0  # q_aero = 0: tau infinite
    # q_aero driving the rotor (negative tau): explicit Euler
    assert ae.step_omega(10, -2, 5, 0.5, 0.1) == 10 + ((5 - -2 - 0) / 0.5) * 0.1
    assert ae.step_omega(-10, 2, 0, 0.5, 0.1) == -10 + ((0 - 2 - 0) / 0.5) * 0.1


def test_step_zero_crossing_guard():
    # the explicit step would give -0.999: clamped to exactly zero
    got = ae.step_omega(0.001, 0, 0, 1, 1, 1)
    assert got == 0.0 and bits(got) == bits(0.0)
    assert ae.step_omega(-0.001, 0, 0, 1, 1, 1) == 0.0
    # a rotor at exactly zero gets no friction and is not clamped
    assert ae.step_omega(0, 0, 0, 1, 1, 1) == 0.0
    assert ae.step_omega(0, 0, -3, 1, 1, 1) == -3.0
    assert ae.step_omega(0, 0, 3, 1, 1, 1) == 3.0


def test_step_threshold_for_tiny_rates():
    # Just below 1e-12 the explicit step is taken whatever q_aero is...
    omega = 9e-13
    assert ae.step_omega(omega, 1e-12, 1, 1, 1) == omega + ((1 - 1e-12 - 0) / 1) * 1
    # ...at 1e-12 the semi-implicit one (tau = 1 here).
    omega = 1e-12
    assert ae.step_omega(omega, 1e-12, 1, 1, 1) == (omega + 1 * (1 - 0) / 1) / (1 + 1 / (omega * 1 / 1e-12))


def test_step_ieee_results_are_returned_not_raised():
    assert ae.step_omega(10, 2, 5, 0, 0.1) == math.inf  # zero inertia: tau = 0, explicit
    assert math.isnan(ae.step_omega(10, 2, 5, 0.5, float("nan")))
    assert type(ae.step_omega(10, 2, 5, 0, 0.1)) is float


def test_subnormal_tau_counts_as_positive():
    omega, q, inertia, dt = 1e-10, 1e100, 1e-200, 1e-310
    tau = omega * inertia / q
    assert 0 < tau < 2.2250738585072014e-308
    # dt / tau is about 1: the semi-implicit step halves the rate (explicit would stop it).
    assert ae.step_omega(omega, q, 0.0, inertia, dt) == pytest.approx(omega / 2, rel=1e-6)
    assert same_float(ae.step_omega(omega, q, 0.0, inertia, dt), step_reference(omega, q, 0.0, inertia, dt))


finite = st.floats(allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6)


@settings(max_examples=300, deadline=None)
@given(
    st.one_of(finite, st.sampled_from([0.0, -0.0, 1e-12, -1e-12, 9.99e-13, 5e-324])),
    st.one_of(finite, st.just(0.0)),
    finite,
    st.one_of(finite, st.just(0.0)),
    st.floats(0.0, 10.0),
    st.floats(0.0, 100.0),
)
def test_step_matches_its_formula_bit_for_bit(omega, q, motor, inertia, dt, b):
    got = ae.step_omega(omega, q, motor, inertia, dt, b)
    want = step_reference(omega, q, motor, inertia, dt, b)
    assert type(got) is float
    assert bits(got) == bits(want) or (math.isnan(got) and math.isnan(want))


def test_spin_up_reaches_the_torque_balance():
    # Q = k * omega^2 against a constant motor torque: omega -> sqrt(M / k).
    k, motor, inertia, omega = 2e-4, 2.0, 0.05, 0.0
    for _ in range(4000):
        omega = ae.step_omega(omega, k * omega * omega, motor, inertia, 0.01)
    assert omega == pytest.approx(math.sqrt(motor / k), rel=1e-9)


def test_spin_argument_errors():
    assert error_text(ae.step_omega, 1.0, 2.0, 3.0, "4", 0.1) == (
        TypeError,
        "argument 'i_ode_kgm2': must be real number, not str",
    )
    assert error_text(ae.omega_derivative, 1.0, 2.0, 3.0, 4.0, bearing_friction_nm=[1.0]) == (
        TypeError,
        "argument 'bearing_friction_nm': must be real number, not list",
    )


# ---------------------------------------------------------------------------
# cyclic_coeffs


def cyclic_reference(lon, lat, gain=1.0, phase_deg=None):
    phi = 0.0 if phase_deg is None else phase_deg * 0.017453292519943295
    c, s = math.cos(phi), math.sin(phi)
    return gain * (-lon * c - lat * s), gain * (lat * c - lon * s)


def test_cyclic_without_control():
    assert ae.cyclic_coeffs(0.1, 0.0) == (-0.1, 0.0)
    assert ae.cyclic_coeffs(0.0, 0.1) == (0.0, 0.1)
    out = ae.cyclic_coeffs(0.1, 0.0)
    assert type(out) is tuple and all(type(x) is float for x in out)


def test_cyclic_with_phase_and_gain():
    ctrl = ae.ControlProperties(2.0, 90.0)
    c1, s1 = ae.cyclic_coeffs(0.1, 0.0, ctrl)
    assert abs(c1) < 1e-16 and c1 == pytest.approx(-1.2e-17, rel=0.1) and s1 == -0.2
    c2, s2 = ae.cyclic_coeffs(0.0, 0.1, control=ctrl)
    assert c2 == -0.2 and abs(s2) < 1e-16 and s2 == pytest.approx(1.2e-17, rel=0.1)


def test_cyclic_gain_without_phase_only_scales():
    assert ae.cyclic_coeffs(0.1, 0.3, ae.ControlProperties(0.5, None)) == (0.5 * -0.1, 0.5 * 0.3)


def test_control_none_is_the_same_as_omitting_it():
    for lon, lat in ((0.0, 0.0), (0.1, -0.2), (-0.0, 0.0)):
        a, b = ae.cyclic_coeffs(lon, lat), ae.cyclic_coeffs(lon, lat, None)
        assert bits(a[0]) == bits(b[0]) and bits(a[1]) == bits(b[1])


def test_zero_tilt_gives_zero_for_any_control():
    for ctrl in (None, ae.ControlProperties(2.0, 37.0), ae.ControlProperties(-1.0, None)):
        assert ae.cyclic_coeffs(0.0, 0.0, ctrl) == (0.0, 0.0)


@settings(max_examples=200, deadline=None)
@given(
    st.floats(-1.0, 1.0),
    st.floats(-1.0, 1.0),
    st.one_of(st.none(), st.tuples(st.floats(-10, 10), st.one_of(st.none(), st.floats(-720, 720)))),
)
def test_cyclic_matches_the_rotation_bit_for_bit(lon, lat, ctrl):
    if ctrl is None:
        got, want = ae.cyclic_coeffs(lon, lat), cyclic_reference(lon, lat)
    else:
        got = ae.cyclic_coeffs(lon, lat, ae.ControlProperties(*ctrl))
        want = cyclic_reference(lon, lat, *ctrl)
    assert bits(got[0]) == bits(want[0]) and bits(got[1]) == bits(want[1])


def test_cyclic_argument_errors():
    assert error_text(ae.cyclic_coeffs, 0.1, 0.2, ae.FlapProperties(1, 2)) == (
        TypeError,
        "argument 'control': 'FlapProperties' object cannot be converted to 'ControlProperties'",
    )
    assert error_text(ae.cyclic_coeffs, 0.1, "lat") == (TypeError, "argument 'tilt_lat': must be real number, not str")
