"""What every blade-element model class shares: construction, states, stepping, frames."""
import inspect

import numpy as np
import pytest

import aerlox as ax
import rotors as rt

ALL = rt.BEM_CLASS_NAMES
DYNAMIC = [n for n in ALL if not n.startswith("_QuasiStatic")]
METHOD_NAMES = {
    "explicit": ["explicit", "explicit_euler", "explicit-euler", "EXPLICIT", "Explicit_Euler"],
    "semi_implicit": [None, "implicit", "semiimplicit", "semi_implicit", "semi-implicit", "Semi-Implicit"],
    "exponential": ["exp", "exponential", "exponential_relaxation", "exponential-relaxation", "EXP"],
}


@pytest.fixture(scope="module", params=ALL)
def name(request):
    return request.param


@pytest.fixture(scope="module")
def model(name):
    return rt.make_model(name)


@pytest.fixture(scope="module")
def ff_state(model):
    """A non-trivial inflow state: the equilibrium in forward flight."""
    return rt.relaxed_state(model, rt.forward(0.2), n_steps=600, dt=0.01)


def n_inflow(name, n_elements=rt.N_ELEMENTS):
    return {"QuasiStatic": 0, "PittPeters": 3, "Oye": 2 * n_elements}[rt.family(name)]


def same_result(a, b):
    np.testing.assert_array_equal(a.F_world, b.F_world)
    np.testing.assert_array_equal(a.m_hub_world, b.m_hub_world)
    np.testing.assert_array_equal(a.M_spin, b.M_spin)
    assert a.Q_spin == b.Q_spin


def test_construction_attributes_and_signature(name, model):
    cls = getattr(ax, name)
    assert model.n_psi_elements == rt.N_PSI
    defn = model.defn
    assert isinstance(defn, ax.RotorDefinition)
    assert defn.blade.n_elements == rt.N_ELEMENTS and defn.name == "ref"
    assert model.defn is not defn  # a fresh copy on every read
    params = list(inspect.signature(cls).parameters)
    expected = ["defn", "polar", "n_psi_elements"] + (["coupling_k"] if "Oye" in name else [])
    assert params == expected
    assert list(inspect.signature(cls.step).parameters) == ["self", "inputs", "state", "dt", "integration_method"]


def test_construction_refuses_wrong_polar_and_impossible_grids(name):
    cls = getattr(ax, name)
    extra = (0.0,) if "Oye" in name else ()
    wrong = rt.tabulated_polar() if name.endswith("Linear") else rt.linear_polar()
    with pytest.raises(TypeError, match="^argument 'polar': "):
        cls(rt.definition(), wrong, rt.N_PSI, *extra)
    with pytest.raises(TypeError, match="^argument 'defn': "):
        cls(rt.airfoil(), rt.polar("linear" if name.endswith("Linear") else "tabulated"), rt.N_PSI, *extra)
    with pytest.raises(ax.PanicException, match="^assertion failed: n_psi > 0$"):
        rt.make_model(name, n_psi=0)
    with pytest.raises(ax.PanicException, match="MAX_BEM_ELEMENTS"):
        rt.make_model(name, rt.definition(rt.blade(n_elements=257)))
    with pytest.raises(OverflowError):
        rt.make_model(name, n_psi=-1)


def test_largest_grid_works_in_edgewise_flight(name):
    big = rt.make_model(name, rt.definition(rt.blade(n_elements=255)), n_psi=8)
    state = big.initial_rotor_state()
    assert state.to_array().shape == (n_inflow(name, 255),)
    res, _ = big.step(rt.forward(0.2), state, 0.005)
    assert np.all(np.isfinite(res.F_world))


def test_state_vector_round_trip(name, model, ff_state):
    cls = rt.state_class(name)
    init = model.initial_rotor_state()
    assert type(init) is cls
    np.testing.assert_array_equal(init.to_array(), np.zeros(n_inflow(name)))
    arr = ff_state.to_array()
    assert arr.dtype == np.float64 and arr.shape == (n_inflow(name),)
    back = init.from_array(arr)
    assert type(back) is cls
    np.testing.assert_array_equal(back.to_array(), arr)
    np.testing.assert_array_equal(init.to_array(), np.zeros(n_inflow(name)))
    # A restored state steps exactly like the original.
    same_result(model.step(rt.forward(0.2), back, 0.005)[0], model.step(rt.forward(0.2), ff_state, 0.005)[0])
    assert model.inflow_taus(rt.forward(0.2), ff_state).shape == arr.shape


def test_state_vector_length_errors(name):
    cls = rt.state_class(name)
    state = cls() if name.startswith("_QuasiStatic") else (
        cls(0.0, 0.0, 0.0) if "PittPeters" in name else cls.zeros(2))
    bad = {"QuasiStatic": (1, "^QuasiStaticRotorState expects 0 states, got 1$"),
           "PittPeters": (4, "^PittPetersRotorState expects 3 states, got 4$"),
           "Oye": (3, r"^OyeRotorState array length 3 invalid; expected 2\*n_elements$")}[rt.family(name)]
    with pytest.raises(ValueError, match=bad[1]):
        state.from_array(np.zeros(bad[0]))
    with pytest.raises(TypeError):
        state.from_array([0.0, 0.0, 0.0])


def test_step_leaves_its_state_alone_and_reports_the_starting_loads(name, model, ff_state):
    inp = rt.forward(0.2, tilt_lat=0.02)
    before = ff_state.to_array()
    res, new = model.step(inp, ff_state, 0.01)
    np.testing.assert_array_equal(ff_state.to_array(), before)
    assert new is not ff_state and type(new) is type(ff_state)
    # The loads of a step are those of the state it starts from.
    same_result(res, model.compute_forces(inp, ff_state)[0])
    # Stepping the same state twice branches identically.
    again, new2 = model.step(inp, ff_state, 0.01)
    same_result(res, again)
    np.testing.assert_array_equal(new.to_array(), new2.to_array())


@pytest.mark.parametrize("canonical", sorted(METHOD_NAMES))
def test_integration_method_names(name, model, ff_state, canonical):
    inp = rt.forward(0.2)
    names = METHOD_NAMES[canonical]
    reference = model.step(inp, ff_state, 0.01, names[0])[1].to_array()
    for method in names[1:]:
        np.testing.assert_array_equal(model.step(inp, ff_state, 0.01, method)[1].to_array(), reference)
    np.testing.assert_array_equal(model.step(inp, ff_state, 0.01)[1].to_array(),
                                  model.step(inp, ff_state, 0.01, None)[1].to_array())


def test_unknown_integration_method_is_refused(name, model):
    state = model.initial_rotor_state()
    msg = r"^Unknown integration_method 'semi implicit'\. Use 'semi_implicit', 'explicit', or 'exponential'\.$"
    with pytest.raises(ValueError, match=msg):
        model.step(rt.hover(), state, 0.01, "Semi Implicit")
    with pytest.raises(ValueError, match="'rk4'"):
        model.step(rt.hover(), state, 0.01, "RK4")
    with pytest.raises(TypeError, match="^argument 'integration_method': "):
        model.step(rt.hover(), state, 0.01, 3)
    wrong = ax.PittPetersRotorState(0, 0, 0) if name.startswith("_QuasiStatic") else ax.QuasiStaticRotorState()
    with pytest.raises(TypeError, match="^argument 'state': "):
        model.step(rt.hover(), wrong, 0.01)
    with pytest.raises(TypeError, match="^argument 'inputs': "):
        model.compute_forces({}, state)


@pytest.mark.parametrize("method", ["explicit", "semi_implicit", "exponential"])
def test_zero_step_and_equilibrium_are_fixed_points(name, model, ff_state, method):
    inp = rt.forward(0.2)
    start = ff_state
    x0 = start.to_array()
    np.testing.assert_array_equal(model.step(inp, start, 0.0, method)[1].to_array(), x0)
    # Relaxed: the derivative vanishes and no method moves the state.
    moved = model.step(inp, start, 0.01, method)[1].to_array()
    np.testing.assert_allclose(moved, x0, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("name", DYNAMIC)
def test_damped_methods_shrink_the_explicit_increment_by_their_lag_factor(name):
    model = rt.make_model(name)
    inp = rt.hover()
    state = model.initial_rotor_state().from_array(np.full(n_inflow(name), 0.01))
    dt = 0.02
    x = state.to_array()
    taus = model.inflow_taus(inp, state)
    d_explicit = model.step(inp, state, dt, "explicit")[1].to_array() - x
    d_semi = model.step(inp, state, dt, "semi_implicit")[1].to_array() - x
    d_exp = model.step(inp, state, dt, "exponential")[1].to_array() - x
    np.testing.assert_allclose(d_semi, d_explicit / (1 + dt / taus), rtol=1e-9, atol=1e-15)
    np.testing.assert_allclose(d_exp, d_explicit * (taus / dt) * -np.expm1(-dt / taus), rtol=1e-9, atol=1e-15)


@pytest.mark.parametrize("name", DYNAMIC)
def test_methods_agree_on_the_steady_state_and_damped_ones_survive_long_steps(name):
    model = rt.make_model(name)
    inp = rt.hover()
    start = model.initial_rotor_state().from_array(
        np.full(n_inflow(name), 0.03) if "Oye" in name else np.array([0.03, 1e-3, -1e-3]))
    finals = {}
    for method in ("explicit", "semi_implicit", "exponential"):
        state = start
        for _ in range(1500):
            _, state = model.step(inp, state, 0.01, method)
        finals[method] = state.to_array()
    np.testing.assert_allclose(finals["semi_implicit"], finals["explicit"], rtol=1e-6, atol=1e-10)
    np.testing.assert_allclose(finals["exponential"], finals["explicit"], rtol=1e-6, atol=1e-10)

    # Steps several times longer than the fastest inflow time constant: the
    # explicit update overshoots and diverges, the damped updates settle.
    taus = model.inflow_taus(inp, model.initial_rotor_state().from_array(finals["explicit"]))
    dt = 4.0 * taus.min()
    for method in ("semi_implicit", "exponential"):
        state = start
        for _ in range(400):
            _, state = model.step(inp, state, dt, method)
        np.testing.assert_allclose(state.to_array(), finals["explicit"], rtol=1e-5, atol=1e-9)
    state = start
    with np.errstate(all="ignore"):
        for _ in range(400):
            _, state = model.step(inp, state, dt, "explicit")
            x = state.to_array()
            if not np.all(np.isfinite(x)) or np.abs(x).max() > 10:
                break
    assert not np.allclose(state.to_array(), finals["explicit"], rtol=1e-2)


@pytest.mark.parametrize("R_hub", [rt.rotation(yaw_deg=30.0, pitch_deg=10.0),
                                   rt.rotation(yaw_deg=-120.0, pitch_deg=-25.0, roll_deg=40.0)])
def test_rotating_the_whole_problem_rotates_the_world_loads(name, model, ff_state, R_hub):
    # The same hub-frame flight seen from a rotated world: hub orientation,
    # hub velocity and wind all rotated together.
    v_hub, wind = np.array([30.0, 5.0, -2.0]), np.array([-3.0, 1.0, 0.5])
    base = rt.inputs(tilt_lon=0.02, tilt_lat=-0.01, v_hub=v_hub, wind=wind)
    turned = rt.inputs(tilt_lon=0.02, tilt_lat=-0.01, R_hub=R_hub, v_hub=R_hub @ v_hub, wind=R_hub @ wind)
    a, da = model.compute_forces(base, ff_state)
    b, db = model.compute_forces(turned, ff_state)
    scale = np.linalg.norm(a.F_world)
    np.testing.assert_allclose(b.F_world, R_hub @ a.F_world, rtol=1e-9, atol=1e-9 * scale)
    np.testing.assert_allclose(b.m_hub_world, R_hub @ a.m_hub_world, rtol=1e-9, atol=1e-9 * scale)
    np.testing.assert_allclose(b.M_spin, R_hub @ a.M_spin, rtol=1e-9, atol=1e-9 * abs(a.Q_spin))
    assert b.Q_spin == pytest.approx(a.Q_spin, rel=1e-9)
    np.testing.assert_allclose(db.to_array(), da.to_array(), rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(model.inflow_taus(turned, ff_state), model.inflow_taus(base, ff_state), rtol=1e-9)


@pytest.mark.parametrize("family", ["QuasiStatic", "PittPeters", "Oye"])
def test_tabulated_polar_reproduces_the_linear_law(family):
    lin = rt.make_model(next(n for n in ALL if family in n and n.endswith("Linear")))
    tab = rt.make_model(next(n for n in ALL if family in n and n.endswith("Tabulated")))
    state = rt.relaxed_state(lin, rt.forward(0.2), n_steps=100, dt=0.01)
    for inp in (rt.hover(), rt.forward(0.2, tilt_lat=0.05), rt.climb(5.0), rt.descent(30.0, collective=0.0)):
        a, da = lin.compute_forces(inp, state)
        b, db = tab.compute_forces(inp, state)
        scale = np.linalg.norm(a.F_world) + 1.0
        np.testing.assert_allclose(b.F_world, a.F_world, rtol=1e-6, atol=1e-6 * scale)
        np.testing.assert_allclose(b.m_hub_world, a.m_hub_world, rtol=1e-6, atol=1e-6 * scale)
        assert b.Q_spin == pytest.approx(a.Q_spin, rel=1e-6, abs=1e-6)
        np.testing.assert_allclose(db.to_array(), da.to_array(), rtol=1e-6, atol=1e-9)


@pytest.mark.parametrize("family", ["PittPeters", "Oye"])
def test_servo_flap_rotor_in_hover_flies_like_the_direct_rotor(family):
    name = f"_{'PittPetersModel' if family == 'PittPeters' else 'OyeBEMModel'}Linear"
    direct = rt.make_model(name)
    servo = rt.make_model(name, rt.servoflap_definition())
    state = rt.relaxed_state(direct, rt.hover(), n_steps=100, dt=0.02)
    a, da = direct.compute_forces(rt.hover(), state)
    b, db = servo.compute_forces(rt.hover(collective=rt.COLLECTIVE / rt.servo_pitch_ratio()), state)
    assert rt.thrust(b) == pytest.approx(rt.thrust(a), rel=1e-9)
    np.testing.assert_allclose(db.to_array(), da.to_array(), rtol=1e-7, atol=1e-12)


def test_models_can_be_subclassed(name):
    cls = getattr(ax, name)
    sub = type("Mine", (cls,), {"label": lambda self: "mine"})
    extra = (0.0,) if "Oye" in name else ()
    m = sub(rt.definition(), rt.polar("linear" if name.endswith("Linear") else "tabulated"), 12, *extra)
    assert m.label() == "mine" and m.n_psi_elements == 12
    res, state = m.step(rt.hover(), m.initial_rotor_state(), 0.005)
    assert rt.thrust(res) > 0
