"""Oye dynamic-inflow BEM: state class, filtered element inflow, its equilibrium."""
import numpy as np
import pytest

import aerlox as ax
import rotors as rt


@pytest.fixture(scope="module")
def oye():
    return rt.make_model("_OyeBEMModelLinear")


@pytest.fixture(scope="module")
def hover_state(oye):
    # The filter starts slowly from zero inflow (little mass flow): relax with a
    # long semi-implicit step, which is unconditionally stable for a lag.
    return rt.relaxed_state(oye, rt.hover(), n_steps=400, dt=0.05)


def test_state_class_shapes_copies_and_errors():
    s = ax.OyeRotorState(np.array([0.1, 0.2]), np.array([0.3, 0.4]))
    assert s.to_array().tolist() == [0.1, 0.2, 0.3, 0.4]
    w = s.W
    w[0] = 99.0
    assert s.W.tolist() == [0.3, 0.4]  # the attribute is a copy
    assert s.W_int.tolist() == [0.1, 0.2]
    with pytest.raises(ValueError, match="^W_int and W must have equal length$"):
        ax.OyeRotorState(np.zeros(2), np.zeros(3))

    back = s.from_array(np.arange(6.0))
    assert back.W_int.tolist() == [0.0, 1.0, 2.0] and back.W.tolist() == [3.0, 4.0, 5.0]
    assert s.to_array().tolist() == [0.1, 0.2, 0.3, 0.4]
    with pytest.raises(ValueError, match=r"^OyeRotorState array length 5 invalid; expected 2\*n_elements$"):
        s.from_array(np.zeros(5))
    empty = s.from_array(np.zeros(0))
    assert empty.to_array().shape == (0,) and empty.W.shape == (0,)

    z = ax.OyeRotorState.zeros(0)
    assert z.to_array().shape == (0,)
    z7 = ax.OyeRotorState.zeros(7)
    assert z7.to_array().tolist() == [0.0] * 14
    with pytest.raises(OverflowError):
        ax.OyeRotorState.zeros(-1)


def test_initial_state_matches_the_blade(oye):
    s = oye.initial_rotor_state()
    assert isinstance(s, ax.OyeRotorState)
    np.testing.assert_array_equal(s.to_array(), np.zeros(2 * rt.N_ELEMENTS))
    assert oye.inflow_taus(rt.hover(), s).shape == (2 * rt.N_ELEMENTS,)


def test_zero_inflow_in_hover_drives_only_the_first_filter_stage(oye):
    _, d = oye.compute_forces(rt.hover(), oye.initial_rotor_state())
    assert np.all(d.W_int > 0)  # every element lifts, so every element wants inflow
    np.testing.assert_array_equal(d.W, 0.0)  # the second stage follows W_int, still zero


def test_hover_equilibrium_against_element_momentum(oye, hover_state):
    res, d = oye.compute_forces(rt.hover(), hover_state)
    np.testing.assert_allclose(d.to_array(), 0.0, atol=1e-9)
    # The second stage has no steady offset.
    np.testing.assert_allclose(hover_state.W, hover_state.W_int, rtol=1e-9)
    # Inflow grows from root to tip, as the element momentum balance has it.
    assert np.all(np.diff(hover_state.W) > 0)
    # The annulus balance on the disk-mean mass flow ends near the element-wise
    # quasi-static answer for thrust and torque.
    qs = rt.make_model("_QuasiStaticBEMLinear")
    qs_res, _ = qs.compute_forces(rt.hover(), qs.initial_rotor_state())
    assert rt.thrust(res) == pytest.approx(rt.thrust(qs_res), rel=0.12)
    assert res.Q_spin == pytest.approx(qs_res.Q_spin, rel=0.12)
    # Mean inflow in the range of uniform momentum theory for that thrust.
    mean_v = hover_state.W.mean() * rt.OMEGA * rt.RADIUS_M
    vh = rt.hover_induced_velocity(rt.thrust(res))
    assert 0.5 * vh < mean_v < 1.5 * vh
    np.testing.assert_allclose(res.m_hub_world, 0.0, atol=1e-9 * rt.thrust(res))


def test_tip_loss_raises_tip_inflow_and_costs_thrust(oye, hover_state):
    lossless = ax._OyeBEMModelLinear(rt.definition(rt.blade(tip_loss=False)), rt.linear_polar(), rt.N_PSI, 0.0)
    state = rt.relaxed_state(lossless, rt.hover(), n_steps=400, dt=0.05)
    assert state.W[-1] < hover_state.W[-1]
    t_loss = rt.thrust(oye.compute_forces(rt.hover(), hover_state)[0])
    t_free = rt.thrust(lossless.compute_forces(rt.hover(), state)[0])
    assert t_free > t_loss


def test_coupling_k_is_carried_but_changes_nothing(oye, hover_state):
    other = rt.make_model("_OyeBEMModelLinear", coupling_k=0.7)
    assert other.coupling_k == 0.7 and oye.coupling_k == 0.0
    for inp in (rt.hover(), rt.forward(0.2)):
        a_res, a_d = oye.compute_forces(inp, hover_state)
        b_res, b_d = other.compute_forces(inp, hover_state)
        np.testing.assert_array_equal(a_res.F_world, b_res.F_world)
        np.testing.assert_array_equal(a_res.m_hub_world, b_res.m_hub_world)
        np.testing.assert_array_equal(a_d.to_array(), b_d.to_array())
        np.testing.assert_array_equal(oye.inflow_taus(inp, hover_state), other.inflow_taus(inp, hover_state))


def test_time_constants_by_radius(oye, hover_state):
    taus = oye.inflow_taus(rt.hover(), hover_state)
    n = rt.N_ELEMENTS
    tau1, tau2 = taus[:n], taus[n:]
    assert np.all(tau1 == tau1[0]) and tau1[0] > 0
    # The second stage is faster than the first everywhere, and fastest at the tip.
    assert np.all(tau2 < tau1) and np.all(tau2 > 0)
    assert np.all(np.diff(tau2) < 0)
    # Forward flight brings more mass flow and faster inflow dynamics.
    assert oye.inflow_taus(rt.forward(0.2), hover_state)[0] < tau1[0]


def test_stopped_rotor_has_no_finite_time_constant(oye, hover_state):
    inp = rt.hover(omega=0.0)
    taus = oye.inflow_taus(inp, hover_state)
    assert np.all(np.isinf(taus)) and np.all(taus > 0)
    # Without a finite time constant the damped methods fall back to the explicit update.
    explicit = oye.step(inp, hover_state, 0.01, "explicit")[1].to_array()
    for method in ("semi_implicit", "exponential"):
        np.testing.assert_array_equal(oye.step(inp, hover_state, 0.01, method)[1].to_array(), explicit)
    # With nothing to sustain it, the inflow decays.
    _, d = oye.compute_forces(inp, hover_state)
    assert np.all(d.W_int < 0)


def test_vortex_ring_gives_one_inflow_target_for_the_whole_blade(oye):
    # From zero inflow in a slow descent the rotor sits in the vortex ring state,
    # where the target inflow is the empirical uniform value for every element.
    _, d = oye.compute_forces(rt.descent(1.0), oye.initial_rotor_state())
    assert d.W_int[0] > 0
    np.testing.assert_allclose(d.W_int, d.W_int[0], rtol=1e-12)


def test_state_that_does_not_fit_the_blade_is_refused(oye):
    # Shorter or longer than 2 * n_elements: ValueError naming both sizes from
    # every entry point that takes a state, before anything is computed.
    n = rt.N_ELEMENTS
    calls = [
        lambda s: oye.compute_forces(rt.hover(), s),
        lambda s: oye.step(rt.hover(), s, 0.005),
        lambda s: oye.inflow_taus(rt.hover(), s),
        lambda s: ax.relax_inflow_py(oye, s, rt.hover(), 0),
        lambda s: ax.solve_trim_cyclic_py(oye, s, rt.hover(), max_iterations=1),
    ]
    for m in (n - 1, n + 1):
        state = ax.OyeRotorState.zeros(m)
        msg = (f"^OyeRotorState holds {2 * m} inflow values; this model needs {2 * n} "
               f"\\(W_int and W for each of its {n} elements\\)$")
        for call in calls:
            with pytest.raises(ValueError, match=msg):
                call(state)
        np.testing.assert_array_equal(state.to_array(), np.zeros(2 * m))
