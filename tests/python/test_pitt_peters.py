"""Pitt-Peters dynamic inflow: state class, momentum equilibrium, inflow dynamics."""
import math

import numpy as np
import pytest

import aerlox as ax
import rotors as rt


@pytest.fixture(scope="module")
def pp():
    return rt.make_model("_PittPetersModelLinear")


@pytest.fixture(scope="module")
def hover_state(pp):
    return rt.relaxed_state(pp, rt.hover())


def thrust_coefficient(res, omega=rt.OMEGA):
    return rt.thrust(res) / (rt.RHO * rt.DISK_AREA * (omega * rt.RADIUS_M) ** 2)


def test_state_class_values_and_errors():
    s = ax.PittPetersRotorState(1, 2, 3)
    assert s.to_array().tolist() == [1.0, 2.0, 3.0]
    assert s.to_array().dtype == np.float64
    s.lambda_0 = np.float32(0.5)
    s.lambda_s = 4
    assert (s.lambda_0, s.lambda_c, s.lambda_s) == (0.5, 2.0, 4.0)
    with pytest.raises(TypeError):
        s.lambda_c = "fast"
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del s.lambda_c
    assert s.lambda_c == 2.0

    copy = s.from_array(np.array([7.0, 8.0, 9.0]))
    assert isinstance(copy, ax.PittPetersRotorState)
    assert copy.to_array().tolist() == [7.0, 8.0, 9.0]
    assert s.to_array().tolist() == [0.5, 2.0, 4.0]  # the instance it was called on is unchanged
    for n in (0, 2, 4):
        with pytest.raises(ValueError, match=rf"^PittPetersRotorState expects 3 states, got {n}$"):
            s.from_array(np.zeros(n))
    with pytest.raises(TypeError, match="not contiguous"):
        s.from_array(np.zeros(6)[::2])
    with pytest.raises(TypeError):
        s.from_array(np.zeros(3, dtype=np.float32))


def test_hover_relaxes_to_momentum_inflow(pp, hover_state):
    res, deriv = pp.compute_forces(rt.hover(), hover_state)
    # Uniform momentum theory: lambda_0 = sqrt(C_T / 2) for the thrust the rotor makes.
    assert hover_state.lambda_0 == pytest.approx(math.sqrt(thrust_coefficient(res) / 2), rel=1e-6)
    assert abs(hover_state.lambda_c) < 1e-12 and abs(hover_state.lambda_s) < 1e-12
    np.testing.assert_allclose(deriv.to_array(), 0.0, atol=1e-9)
    # Uniform inflow without tip loss makes nearly the thrust of the element-wise momentum balance.
    qs = ax._QuasiStaticBEMLinear(rt.definition(rt.blade(tip_loss=False)), rt.linear_polar(), rt.N_PSI)
    qs_res, _ = qs.compute_forces(rt.hover(), qs.initial_rotor_state())
    assert rt.thrust(res) == pytest.approx(rt.thrust(qs_res), rel=0.05)
    # Hover, no cyclic: no hub moment.
    np.testing.assert_allclose(res.m_hub_world, 0.0, atol=1e-9 * rt.thrust(res))


def test_hover_harmonic_inflow_perturbation_dies_out(pp, hover_state):
    # A tiny longitudinal inflow gradient in hover must decay under the default
    # relaxation step. Normalising the hub moments by the mass-flow velocity
    # (instead of the tip speed) made this mode grow until it saturated.
    perturbed = ax.PittPetersRotorState(hover_state.lambda_0, 1e-6, 0.0)
    relaxed = ax.relax_inflow_py(pp, perturbed, rt.hover())
    assert abs(relaxed.lambda_c) < 1e-9
    assert abs(relaxed.lambda_s) < 1e-9
    assert relaxed.lambda_0 == pytest.approx(hover_state.lambda_0, rel=1e-6)

    state = ax.PittPetersRotorState(hover_state.lambda_0, 0.0, 1e-6)
    for _ in range(200):
        _, state = pp.step(rt.hover(), state, 0.005)
    assert abs(state.lambda_c) < 1e-9 and abs(state.lambda_s) < 1e-9


def test_collective_step_reaches_63_percent_at_the_inflow_time_constant(pp):
    low = rt.relaxed_state(pp, rt.hover(collective=0.20))
    high = rt.relaxed_state(pp, rt.hover(collective=0.24))
    inp = rt.hover(collective=0.24)
    # Time constant of the linearised uniform-inflow mode at the new equilibrium.
    h = 1e-6
    up = pp.compute_forces(inp, ax.PittPetersRotorState(high.lambda_0 + h, 0, 0))[1].lambda_0
    dn = pp.compute_forces(inp, ax.PittPetersRotorState(high.lambda_0 - h, 0, 0))[1].lambda_0
    tau_eff = -1.0 / ((up - dn) / (2 * h))
    tau_0 = pp.inflow_taus(inp, high)[0]
    # Thrust falls as inflow grows, which speeds the response beyond the apparent-mass lag alone.
    assert 0 < tau_eff < tau_0

    target = low.lambda_0 + 0.632 * (high.lambda_0 - low.lambda_0)
    dt = tau_eff / 200
    state, t = low, 0.0
    while state.lambda_0 < target:
        _, state = pp.step(inp, state, dt, "exponential")
        t += dt
        assert t < 5 * tau_eff
    assert t == pytest.approx(tau_eff, rel=0.15)


def test_forward_flight_inflow_skews_aft_and_drops(pp, hover_state):
    fwd = rt.relaxed_state(pp, rt.forward(0.2, heading=(1.0, 0.0)))
    back = rt.relaxed_state(pp, rt.forward(0.2, heading=(-1.0, 0.0)))
    # More inflow over the rear of the disk; the mirrored flight mirrors the gradient.
    assert fwd.lambda_c < -0.1 * fwd.lambda_0
    assert back.lambda_c == pytest.approx(-fwd.lambda_c, rel=1e-6)
    assert back.lambda_0 == pytest.approx(fwd.lambda_0, rel=1e-9)
    # Translational lift: less induced inflow for more thrust than in hover,
    # close to Glauert's lambda_0 = C_T / (2 sqrt(mu^2 + lambda_0^2)).
    res, _ = pp.compute_forces(rt.forward(0.2), fwd)
    hov, _ = pp.compute_forces(rt.hover(), hover_state)
    assert rt.thrust(res) > rt.thrust(hov)
    assert fwd.lambda_0 < hover_state.lambda_0
    glauert = thrust_coefficient(res) / (2 * math.hypot(0.2, fwd.lambda_0))
    assert fwd.lambda_0 == pytest.approx(glauert, rel=0.15)


def test_time_constants_shorten_with_mass_flow(pp, hover_state):
    hover_taus = pp.inflow_taus(rt.hover(), hover_state)
    assert hover_taus.shape == (3,) and hover_taus.dtype == np.float64
    assert np.all(hover_taus > 0)
    assert hover_taus[1] == hover_taus[2]
    # Apparent-mass ratio of the uniform and harmonic modes, 8/(3 pi) : 16/(45 pi).
    assert hover_taus[0] / hover_taus[1] == pytest.approx(7.5, rel=1e-12)
    fwd_taus = pp.inflow_taus(rt.forward(0.2), hover_state)
    assert np.all(fwd_taus < hover_taus)
    stopped = pp.inflow_taus(rt.hover(omega=0.0), pp.initial_rotor_state())
    assert np.all(np.isfinite(stopped)) and np.all(stopped > 0)


def test_vortex_ring_descent_stays_finite_and_raises_inflow(pp, hover_state):
    hov, _ = pp.compute_forces(rt.hover(), hover_state)
    vh = rt.hover_induced_velocity(rt.thrust(hov))
    inp = rt.descent(0.5 * vh)
    state = rt.relaxed_state(pp, inp, n_steps=800)
    res, _ = pp.compute_forces(inp, state)
    assert np.isfinite(state.to_array()).all()
    assert rt.thrust(res) > 0
    # Inside the vortex ring the induced velocity exceeds the hover value for the same thrust.
    assert state.lambda_0 * rt.OMEGA * rt.RADIUS_M > rt.hover_induced_velocity(rt.thrust(res))


def test_stopped_rotor_pulls_inflow_to_zero(pp):
    inp = rt.hover(omega=0.0)
    res, deriv = pp.compute_forces(inp, ax.PittPetersRotorState(0.05, 0.01, -0.01))
    np.testing.assert_array_equal(res.F_world, 0.0)
    assert res.Q_spin == 0.0
    d = deriv.to_array()
    assert np.all(np.isfinite(d))
    assert d[0] < 0 and d[1] < 0 and d[2] > 0
