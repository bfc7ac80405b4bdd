"""Inflow relaxation and cyclic trim through the Python functions."""
import inspect
import math

import numpy as np
import pytest

import aerlox as ax
import rotors as rt

TILT_MAX = 0.2617993877991494


def hub_moment_at(model, state, inp):
    res, _ = model.compute_forces(inp, state)
    return rt.hub_moment(res, inp.R_hub)[:2]


# --- relax_inflow_py -------------------------------------------------------


@pytest.mark.parametrize("name", rt.BEM_CLASS_NAMES)
def test_relax_is_repeated_semi_implicit_stepping(name):
    model = rt.make_model(name)
    inp = rt.forward(0.2, tilt_lat=0.03)
    start = model.initial_rotor_state()
    relaxed = ax.relax_inflow_py(model, start, inp, 7, 0.01)
    state = start
    for _ in range(7):
        _, state = model.step(inp, state, 0.01, "semi_implicit")
    assert type(relaxed) is type(start)
    # The same update up to rounding: relaxation multiplies by the lag factor,
    # the step divides by its denominator.
    np.testing.assert_allclose(relaxed.to_array(), state.to_array(), rtol=1e-13, atol=0)
    np.testing.assert_array_equal(start.to_array(), np.zeros_like(start.to_array()))

    # No steps: a new object equal to the given state.
    same = ax.relax_inflow_py(model, relaxed, inp, 0)
    assert same is not relaxed
    np.testing.assert_array_equal(same.to_array(), relaxed.to_array())


def test_relax_defaults_and_argument_errors():
    pp = rt.make_model("_PittPetersModelLinear")
    sig = inspect.signature(ax.relax_inflow_py)
    assert list(sig.parameters) == ["aero", "state", "inputs", "n_steps", "dt"]
    state = pp.initial_rotor_state()
    by_default = ax.relax_inflow_py(pp, state, rt.hover())
    explicit = ax.relax_inflow_py(pp, state, rt.hover(), n_steps=200, dt=0.005)
    np.testing.assert_array_equal(by_default.to_array(), explicit.to_array())

    msg = "^aero must be a QuasiStaticBEM, PittPetersModel, or OyeBEMModel instance$"
    with pytest.raises(ValueError, match=msg):
        ax.relax_inflow_py(rt.definition(), state, rt.hover())
    with pytest.raises(TypeError, match="PittPetersRotorState"):
        ax.relax_inflow_py(pp, ax.OyeRotorState.zeros(rt.N_ELEMENTS), rt.hover())
    with pytest.raises(OverflowError):
        ax.relax_inflow_py(pp, state, rt.hover(), -1)
    # A state that does not fit the model is the caller's mistake.
    with pytest.raises(ValueError, match="holds 6 inflow values; this model needs 40"):
        ax.relax_inflow_py(rt.make_model("_OyeBEMModelLinear"), ax.OyeRotorState.zeros(3), rt.hover(), 1)


def test_relax_quasi_static_returns_a_new_empty_state():
    qs = rt.make_model("_QuasiStaticBEMTabulated")
    state = qs.initial_rotor_state()
    out = ax.relax_inflow_py(qs, state, rt.hover(), 50)
    assert isinstance(out, ax.QuasiStaticRotorState) and out is not state


def test_relax_accepts_model_subclasses():
    sub = type("MyPP", (ax._PittPetersModelLinear,), {})
    model = sub(rt.definition(), rt.linear_polar(), rt.N_PSI)
    out = ax.relax_inflow_py(model, model.initial_rotor_state(), rt.hover(), 10)
    assert isinstance(out, ax.PittPetersRotorState) and out.lambda_0 > 0


# --- solve_trim_cyclic_py --------------------------------------------------


@pytest.mark.parametrize("name", ["_QuasiStaticBEMLinear", "_PittPetersModelLinear", "_OyeBEMModelTabulated"])
def test_forward_flight_trims_to_zero_hub_moment(name):
    model = rt.make_model(name)
    inp = rt.forward(0.2)
    start = model.initial_rotor_state()
    untrimmed = hub_moment_at(model, rt.relaxed_state(model, inp, 200, 0.005), inp)
    assert np.abs(untrimmed).max() > 1.0  # there is something to trim

    out = ax.solve_trim_cyclic_py(model, start, inp)
    assert isinstance(out, ax.TrimResult)
    assert out.converged is True
    assert 2 <= out.iterations < 50
    assert abs(out.Mx_residual) < 0.02 and abs(out.My_residual) < 0.02
    assert abs(out.tilt_lon) < TILT_MAX and abs(out.tilt_lat) < TILT_MAX
    # Lateral cyclic must cancel the advancing blade's rolling moment.
    assert abs(out.tilt_lat) > 0.01
    final = out.final_state
    assert type(final) is type(start)
    np.testing.assert_array_equal(start.to_array(), np.zeros_like(start.to_array()))

    # Independent check: the rotor at the trimmed tilt, with the returned inflow.
    trimmed = rt.with_inputs(inp, tilt_lon=out.tilt_lon, tilt_lat=out.tilt_lat)
    m = hub_moment_at(model, final, trimmed)
    assert m[0] == pytest.approx(out.Mx_residual, abs=1e-9)
    assert m[1] == pytest.approx(out.My_residual, abs=1e-9)

    # The count includes the pass that found convergence: with one pass fewer the
    # last correction still lands on the same tilt, with two fewer it does not.
    one_less = ax.solve_trim_cyclic_py(model, start, inp, max_iterations=out.iterations - 1)
    assert one_less.converged is True and one_less.iterations == out.iterations - 1
    assert (one_less.tilt_lon, one_less.tilt_lat) == (out.tilt_lon, out.tilt_lat)
    two_less = ax.solve_trim_cyclic_py(model, start, inp, max_iterations=out.iterations - 2)
    assert two_less.converged is False and two_less.iterations == out.iterations - 2


def test_trim_to_a_nonzero_target_and_in_a_rotated_hub():
    qs = rt.make_model("_QuasiStaticBEMLinear")
    R = rt.rotation(yaw_deg=40.0, pitch_deg=-8.0)
    v = np.array([30.0, 0.0, 0.0])
    inp = rt.inputs(R_hub=R, v_hub=R @ v)
    out = ax.solve_trim_cyclic_py(qs, qs.initial_rotor_state(), inp, target_moment=(5.0, -3.0), tolerance_Nm=0.01)
    assert out.converged
    m = hub_moment_at(qs, out.final_state, rt.with_inputs(inp, tilt_lon=out.tilt_lon, tilt_lat=out.tilt_lat))
    np.testing.assert_allclose(m, [5.0, -3.0], atol=0.01)
    # The hub frame carries the problem: the same trim as with the identity hub.
    plain = ax.solve_trim_cyclic_py(qs, qs.initial_rotor_state(), rt.inputs(v_hub=v),
                                    target_moment=(5.0, -3.0), tolerance_Nm=0.01)
    assert out.tilt_lat == pytest.approx(plain.tilt_lat, abs=1e-4)
    assert out.tilt_lon == pytest.approx(plain.tilt_lon, abs=1e-4)


def test_rotor_already_on_target_stops_at_the_first_pass():
    qs = rt.make_model("_QuasiStaticBEMLinear")
    out = ax.solve_trim_cyclic_py(qs, qs.initial_rotor_state(), rt.hover())
    assert (out.converged, out.iterations, out.tilt_lon, out.tilt_lat) == (True, 1, 0.0, 0.0)
    assert isinstance(out.final_state, ax.QuasiStaticRotorState)


def test_zero_iterations_only_evaluate_the_clamped_start():
    qs = rt.make_model("_QuasiStaticBEMLinear")
    out = ax.solve_trim_cyclic_py(qs, qs.initial_rotor_state(), rt.hover(), tilt_lon_init=1.0,
                                  tilt_lat_init=-1.0, max_iterations=0)
    assert out.iterations == 0 and out.converged is False
    assert out.tilt_lon == TILT_MAX and out.tilt_lat == -TILT_MAX
    m = hub_moment_at(qs, qs.initial_rotor_state(), rt.hover(tilt_lon=TILT_MAX, tilt_lat=-TILT_MAX))
    assert out.Mx_residual == m[0] and out.My_residual == m[1]


@pytest.mark.parametrize("name", ["_QuasiStaticBEMLinear", "_PittPetersModelLinear"])
def test_unreachable_target_ends_on_the_bound(name):
    model = rt.make_model(name)
    out = ax.solve_trim_cyclic_py(model, model.initial_rotor_state(), rt.forward(0.2),
                                  target_moment=(5000.0, 0.0), max_iterations=12, n_inflow_relax=20)
    assert out.converged is False
    assert out.iterations == 12
    assert abs(out.tilt_lat) == pytest.approx(TILT_MAX, abs=0)
    assert out.Mx_residual < -100.0  # short of the target, the right way round


def test_trim_argument_rules():
    qs = rt.make_model("_QuasiStaticBEMLinear")
    state = qs.initial_rotor_state()
    params = inspect.signature(ax.solve_trim_cyclic_py).parameters
    assert list(params)[:3] == ["aero", "state", "base_inputs"]
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in list(params.values())[3:])
    with pytest.raises(TypeError):
        ax.solve_trim_cyclic_py(qs, state, rt.hover(), (0.0, 0.0))
    with pytest.raises(TypeError, match="^argument 'target_moment': "):
        ax.solve_trim_cyclic_py(qs, state, rt.hover(), target_moment=[0.0, 0.0])
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
        ax.solve_trim_cyclic_py(qs, state, rt.hover(), target_moment=(0.0, 0.0, 0.0))
    with pytest.raises(TypeError):
        ax.solve_trim_cyclic_py(qs, state, rt.hover(), target_moment=("a", 0.0))
    with pytest.raises(ValueError, match="^aero must be"):
        ax.solve_trim_cyclic_py(object(), state, rt.hover())
    with pytest.raises(TypeError, match="QuasiStaticRotorState"):
        ax.solve_trim_cyclic_py(qs, ax.PittPetersRotorState(0, 0, 0), rt.hover())
    with pytest.raises(ax.PanicException, match=r"^min > max, or either was NaN\. min = 0\.1, max = -0\.1$"):
        ax.solve_trim_cyclic_py(qs, state, rt.hover(), tilt_min=0.1, tilt_max=-0.1)
    with pytest.raises(ax.PanicException, match="either was NaN"):
        ax.solve_trim_cyclic_py(qs, state, rt.hover(), tilt_max=math.nan)


def test_trim_result_is_read_only_and_has_no_constructor():
    qs = rt.make_model("_QuasiStaticBEMLinear")
    out = ax.solve_trim_cyclic_py(qs, qs.initial_rotor_state(), rt.hover())
    with pytest.raises(AttributeError):
        out.tilt_lon = 1.0
    with pytest.raises(TypeError, match="No constructor defined for TrimResult"):
        ax.TrimResult()
    assert out.final_state is not out.final_state  # a new object on every read
