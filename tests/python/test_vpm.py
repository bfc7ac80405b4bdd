"""The free-wake vortex-particle rotor from Python: construction, state, stepping, wake bounds."""
import inspect
import math
import multiprocessing
import os

import numpy as np
import pytest

import aerlox as ax
import rotors as rt

# One azimuth step of 10 degrees at the reference spin rate.
DT = (2 * math.pi / 36) / rt.OMEGA
COARSE = 6  # spanwise elements per blade: keeps every wake small and every step cheap

OPTIONS = [
    ("max_particles", 4800), ("sigma", 0.18), ("relax", 0.35), ("nonlinear_lifting_line", True),
    ("tip_clustering", True), ("local_core", True), ("barnes_hut", False), ("bh_theta", 0.5),
    ("bh_min_particles", 2048), ("merge_wake", False), ("merge_every", 0), ("merge_min_particles", 0),
    ("merge_kappa", 0.7), ("merge_chi_min", 0.9), ("merge_region_dist", 0.0), ("core_spread_nu", 0.0),
    ("strength_decay_tau_rev", 0.0),
]
COUNTS = {"max_particles", "bh_min_particles", "merge_every", "merge_min_particles"}
FLAGS = {"nonlinear_lifting_line", "tip_clustering", "local_core", "barnes_hut", "merge_wake"}
RUNTIME_MSG = ("VpmRotor has no single-shot compute_forces: a free-wake VPM rotor must be advanced in time. "
               "Call step(inputs, state, dt) repeatedly (the caller owns the settling loop).")


def rotor(n_elements=COARSE, defn=None, tabulated=False, **options):
    d = defn if defn is not None else rt.definition(rt.blade(n_elements=n_elements))
    if tabulated:
        return ax._VpmRotorTabulated(d, rt.tabulated_polar(), **options)
    return ax._VpmRotorLinear(d, rt.linear_polar(), **options)


def run(model, n_steps, inp=None, state=None, dt=DT):
    """Steps from ``state`` (empty by default); returns the results and the final state."""
    inp = inp if inp is not None else rt.hover()
    state = state if state is not None else model.initial_rotor_state()
    results = []
    for _ in range(n_steps):
        res, state = model.step(inp, state, dt)
        results.append(res)
    return results, state


def load_vector(res):
    return np.concatenate([res.F_world, res.m_hub_world, [res.Q_spin]])


# --- construction ------------------------------------------------------------


@pytest.mark.parametrize("cls", [ax._VpmRotorLinear, ax._VpmRotorTabulated])
def test_signature_lists_every_option_with_its_default(cls):
    params = inspect.signature(cls).parameters
    assert list(params) == ["defn", "polar"] + [n for n, _ in OPTIONS]
    for n, default in OPTIONS:
        assert params[n].default == default, n


def test_every_option_by_keyword_and_by_position():
    values = dict(max_particles=500, sigma=0.1, relax=0.5, nonlinear_lifting_line=False, tip_clustering=False,
                  local_core=False, barnes_hut=True, bh_theta=0.3, bh_min_particles=64, merge_wake=True,
                  merge_every=3, merge_min_particles=10, merge_kappa=0.5, merge_chi_min=0.8,
                  merge_region_dist=0.05, core_spread_nu=1e-5, strength_decay_tau_rev=2.0)
    by_kw = rotor(**values)
    by_pos = ax._VpmRotorLinear(rt.definition(rt.blade(n_elements=COARSE)), rt.linear_polar(),
                                *[values[n] for n, _ in OPTIONS])
    a, _ = run(by_kw, 8)
    b, _ = run(by_pos, 8)
    np.testing.assert_array_equal(load_vector(a[-1]), load_vector(b[-1]))
    # numpy scalars are fine for every kind of option
    rotor(max_particles=np.int64(100), sigma=np.float32(0.2), barnes_hut=np.bool_(True))


@pytest.mark.parametrize("option", [n for n, _ in OPTIONS])
def test_argument_errors_name_the_option(option):
    with pytest.raises(TypeError, match=f"^argument '{option}': "):
        rotor(**{option: []})
    if option in COUNTS:
        with pytest.raises(OverflowError):
            rotor(**{option: -1})
    if option in FLAGS:
        with pytest.raises(TypeError, match=f"^argument '{option}': "):
            rotor(**{option: 1})


MERGING = dict(merge_wake=True, merge_every=1, merge_kappa=2.0, merge_chi_min=0.5)
TREE = dict(barnes_hut=True, bh_min_particles=0)


@pytest.mark.parametrize("base, change", [
    ({}, dict(max_particles=40)),
    ({}, dict(sigma=0.06)),
    ({}, dict(relax=0.9)),
    ({}, dict(nonlinear_lifting_line=False)),
    ({}, dict(tip_clustering=False)),
    ({}, dict(local_core=False)),
    ({}, TREE),
    (TREE, dict(bh_theta=1.2)),
    (dict(barnes_hut=True), dict(bh_min_particles=0)),
    ({}, MERGING),
    (MERGING, dict(merge_every=4)),
    (MERGING, dict(merge_min_particles=150)),
    (MERGING, dict(merge_kappa=0.5)),
    (MERGING, dict(merge_chi_min=0.95)),
    (MERGING, dict(merge_region_dist=0.5)),
    ({}, dict(core_spread_nu=0.05)),
    ({}, dict(strength_decay_tau_rev=0.05)),
], ids=lambda d: ",".join(d) or "default")
def test_every_option_reaches_the_rotor(base, change):
    def signature(options):
        results, state = run(rotor(**options), 12, inp=rt.forward(0.1))
        return np.array([load_vector(r) for r in results]), state.n_particles

    loads_a, n_a = signature(base)
    loads_b, n_b = signature({**base, **change})
    assert n_a != n_b or not np.array_equal(loads_a, loads_b)


def test_construction_refusals():
    with pytest.raises(TypeError, match="^argument 'polar': "):
        ax._VpmRotorLinear(rt.definition(), rt.tabulated_polar())
    with pytest.raises(TypeError, match="^argument 'polar': "):
        ax._VpmRotorTabulated(rt.definition(), rt.linear_polar())
    with pytest.raises(TypeError):
        ax._VpmRotorLinear(rt.definition())
    with pytest.raises(TypeError, match="unexpected keyword argument 'n_psi_elements'"):
        rotor(n_psi_elements=36)
    # A blade without elements has no discretisation: refused up front, not a crash later.
    with pytest.raises(ValueError):
        rotor(n_elements=0)
    with pytest.raises(ValueError):
        rotor(n_elements=0, tabulated=True)
    # Nor has a blade without span (it would shed NaN cores into the wake).
    flat = ax.BladeGeometry(2, 0.5, 0.5, 0.05, 0.0, 8, [0.5], [0.05], [0.0])
    with pytest.raises(ValueError, match="nonzero span"):
        rotor(defn=rt.definition(flat))


def test_rotor_classes_can_be_subclassed_but_not_the_state():
    sub = type("MyVpm", (ax._VpmRotorLinear,), {"tag": "mine"})
    m = sub(rt.definition(rt.blade(n_elements=COARSE)), rt.linear_polar(), max_particles=50)
    res, state = m.step(rt.hover(), m.initial_rotor_state(), DT)
    assert m.tag == "mine" and state.n_particles > 0
    with pytest.raises(TypeError):
        type("MyState", (ax.VpmRotorState,), {})


# --- state ---------------------------------------------------------------------


def test_empty_states():
    m = rotor()
    for s in (ax.VpmRotorState(), ax.VpmRotorState.zeros(), ax.VpmRotorState.zeros(7), m.initial_rotor_state()):
        assert isinstance(s, ax.VpmRotorState)
        assert s.n_particles == 0
        arr = s.to_array()
        assert arr.shape == (0,) and arr.dtype == np.float64
    with pytest.raises(OverflowError):
        ax.VpmRotorState.zeros(-1)
    with pytest.raises(TypeError, match="^argument 'n_elements': "):
        ax.VpmRotorState.zeros("seven")
    with pytest.raises(TypeError):
        ax.VpmRotorState(1)


def test_from_array_copies_the_whole_state():
    m = rotor()
    _, state = run(m, 5)
    n = state.n_particles
    assert n > 0
    copy = state.from_array(np.zeros(0))
    assert copy is not state and copy.n_particles == n
    assert state.to_array().shape == (0,)
    # The copy carries the wake, circulation and azimuth: it continues identically.
    a, sa = m.step(rt.hover(), state, DT)
    b, sb = m.step(rt.hover(), copy, DT)
    np.testing.assert_array_equal(load_vector(a), load_vector(b))
    assert sa.n_particles == sb.n_particles
    msg = r"^VpmRotorState\.from_array expects an empty array \(no scalar inflow DOFs\)$"
    with pytest.raises(ValueError, match=msg):
        state.from_array(np.zeros(1))
    assert state.n_particles == n
    with pytest.raises(TypeError):
        state.from_array(np.zeros(0, dtype=np.float32))


def test_compute_forces_refuses_single_shot_evaluation():
    m = rotor()
    assert list(inspect.signature(m.compute_forces).parameters) == ["_inputs", "_state"]
    with pytest.raises(RuntimeError) as err:
        m.compute_forces(rt.hover(), m.initial_rotor_state())
    assert str(err.value) == RUNTIME_MSG
    # The arguments are still checked first.
    with pytest.raises(TypeError, match="^argument '_inputs': "):
        m.compute_forces({}, m.initial_rotor_state())
    with pytest.raises(TypeError, match="^argument '_state': "):
        m.compute_forces(rt.hover(), ax.PittPetersRotorState(0, 0, 0))
    assert not hasattr(m, "inflow_taus")
    # Nor can the blade-element services drive it.
    msg = "^aero must be a QuasiStaticBEM, PittPetersModel, or OyeBEMModel instance$"
    with pytest.raises(ValueError, match=msg):
        ax.relax_inflow_py(m, m.initial_rotor_state(), rt.hover())
    with pytest.raises(ValueError, match=msg):
        ax.solve_trim_cyclic_py(m, m.initial_rotor_state(), rt.hover())


# --- stepping ------------------------------------------------------------------


def test_step_never_changes_its_input_state():
    m = rotor()
    _, state = run(m, 6)
    n = state.n_particles
    res1, next1 = m.step(rt.hover(), state, DT)
    assert state.n_particles == n
    res2, next2 = m.step(rt.hover(), state, DT)
    np.testing.assert_array_equal(load_vector(res1), load_vector(res2))
    assert next1.n_particles == next2.n_particles
    assert next1 is not state and next2 is not next1
    # ... and the empty state stays empty however often it is stepped.
    empty = m.initial_rotor_state()
    m.step(rt.hover(), empty, DT)
    assert empty.n_particles == 0


def test_integration_method_is_checked_then_ignored():
    m = rotor()
    _, state = run(m, 4)
    base, base_state = m.step(rt.hover(), state, DT)
    for method in ("explicit", "EXPONENTIAL", "semi-implicit"):
        res, new = m.step(rt.hover(), state, DT, method)
        np.testing.assert_array_equal(load_vector(res), load_vector(base))
        assert new.n_particles == base_state.n_particles
    with pytest.raises(ValueError, match="^Unknown integration_method 'rk45'"):
        m.step(rt.hover(), state, DT, "RK45")
    with pytest.raises(TypeError, match="^argument 'integration_method': "):
        m.step(rt.hover(), state, DT, 1)
    with pytest.raises(TypeError, match="^argument 'state': "):
        m.step(rt.hover(), ax.QuasiStaticRotorState(), DT)


def test_first_step_sheds_at_most_one_particle_per_edge_and_element():
    for nb, n in ((2, COARSE), (3, 5), (1, 9)):
        m = rotor(defn=rt.definition(rt.blade(n_elements=n, n_blades=nb)))
        res, state = m.step(rt.hover(), m.initial_rotor_state(), DT)
        assert 0 < state.n_particles <= nb * (2 * n + 1)
        # The first step sees no wake yet: thrust from the blades alone, along -z.
        assert rt.thrust(res) > 0
        np.testing.assert_allclose(res.M_spin, [0.0, 0.0, res.Q_spin], atol=1e-12)


def test_particle_cap_holds_after_every_step():
    m = rotor(max_particles=10)
    state = m.initial_rotor_state()
    for _ in range(25):
        _, state = m.step(rt.forward(0.2), state, DT)
        assert state.n_particles <= 10
    assert state.n_particles == 10
    # A zero cap keeps no wake at all.
    _, state = run(rotor(max_particles=0), 5)
    assert state.n_particles == 0


def test_merging_keeps_the_wake_smaller():
    n_steps = 72
    _, plain = run(rotor(max_particles=100000), n_steps)
    # Generous merge limits: large cells, any alignment.
    _, merged = run(rotor(max_particles=100000, merge_wake=True, merge_every=1, merge_kappa=4.0,
                          merge_chi_min=0.0), n_steps)
    # Without merging the wake only grows by shedding.
    assert plain.n_particles > 0.5 * n_steps * 2 * (2 * COARSE + 1)
    assert 0 < merged.n_particles < plain.n_particles
    # Merging switched on but never scheduled changes nothing.
    _, unscheduled = run(rotor(max_particles=100000, merge_wake=True, merge_every=0), n_steps)
    assert unscheduled.n_particles == plain.n_particles


def test_same_run_twice_gives_identical_loads():
    for options in ({}, {"barnes_hut": True, "bh_min_particles": 64, "max_particles": 600}):
        a, sa = run(rotor(**options), 40, inp=rt.forward(0.2, tilt_lat=0.02))
        b, sb = run(rotor(**options), 40, inp=rt.forward(0.2, tilt_lat=0.02))
        for ra, rb in zip(a, b):
            np.testing.assert_array_equal(load_vector(ra), load_vector(rb))
        assert sa.n_particles == sb.n_particles


def test_rotated_hub_rotates_the_loads():
    m = rotor()
    R = rt.rotation(yaw_deg=35.0, pitch_deg=12.0)
    v = np.array([25.0, 0.0, -1.0])
    a, _ = run(m, 15, inp=rt.inputs(v_hub=v))
    b, _ = run(m, 15, inp=rt.inputs(R_hub=R, v_hub=R @ v))
    for ra, rb in zip(a, b):
        scale = np.linalg.norm(ra.F_world)
        np.testing.assert_allclose(rb.F_world, R @ ra.F_world, rtol=1e-4, atol=1e-4 * scale)
        np.testing.assert_allclose(rb.m_hub_world, R @ ra.m_hub_world, rtol=1e-4, atol=1e-4 * scale)
        assert rb.Q_spin == pytest.approx(ra.Q_spin, rel=1e-4)


def test_flapping_servo_flap_and_tabulated_rotors_step():
    inp = rt.forward(0.2)
    for m in (rotor(defn=rt.flapping_definition(blade_geometry=rt.blade(n_elements=COARSE))),
              rotor(defn=rt.servoflap_definition(blade_geometry=rt.blade(n_elements=COARSE))),
              rotor(tabulated=True)):
        results, state = run(m, 20, inp=inp)
        assert all(np.all(np.isfinite(load_vector(r))) for r in results)
        assert state.n_particles > 0
    # The tabulated rotor follows the linear one while the wake is young.
    lin, _ = run(rotor(), 4, inp=inp)
    tab, _ = run(rotor(tabulated=True), 4, inp=inp)
    for a, b in zip(lin, tab):
        np.testing.assert_allclose(load_vector(b), load_vector(a), rtol=1e-4, atol=1e-4)


def test_hover_thrust_settles_near_the_blade_element_momentum_value():
    # Seven revolutions of a coarse rotor at 30 degrees a step, with a wake long
    # enough (about two radii) to carry most of the induced velocity: the mean
    # thrust over the last revolution is within 20 % of the quasi-static BEM
    # answer for the same rotor.
    steps_per_rev = 12
    m = rotor(max_particles=2000)
    results, state = run(m, 7 * steps_per_rev, dt=(2 * math.pi / steps_per_rev) / rt.OMEGA)
    assert state.n_particles == 2000
    vpm_thrust = np.mean([rt.thrust(r) for r in results[-steps_per_rev:]])
    qs = rt.make_model("_QuasiStaticBEMLinear")
    qs_res, _ = qs.compute_forces(rt.hover(), qs.initial_rotor_state())
    assert vpm_thrust == pytest.approx(rt.thrust(qs_res), rel=0.2)
    # The blades alone, before any wake exists, make far more thrust.
    assert rt.thrust(results[0]) > 1.2 * vpm_thrust
    # Symmetric hover: no mean hub moment, thrust along the shaft.
    mean_m = np.mean([r.m_hub_world for r in results[-steps_per_rev:]], axis=0)
    assert np.linalg.norm(mean_m) < 0.05 * vpm_thrust


def test_edgewise_rolling_moment_and_its_cyclic_trim_match_the_bem_rotor():
    # The advancing blade lifts more: the free-wake rotor rolls the same way and
    # about as hard as the quasi-static BEM rotor, and lateral cyclic takes out
    # about as much of it. (Five revolutions, the mean over the last one.)
    steps_per_rev = 12
    dt = (2 * math.pi / steps_per_rev) / rt.OMEGA
    qs = rt.make_model("_QuasiStaticBEMLinear")
    m = rotor(max_particles=2000)
    rolls = {}
    for cyclic in (0.0, 0.05):
        inp = rt.forward(0.2, tilt_lat=cyclic)
        results, _ = run(m, 5 * steps_per_rev, inp=inp, dt=dt)
        vpm_mx = np.mean([rt.hub_moment(r)[0] for r in results[-steps_per_rev:]])
        qs_mx = rt.hub_moment(qs.compute_forces(inp, qs.initial_rotor_state())[0])[0]
        rolls[cyclic] = (vpm_mx, qs_mx)
    vpm_mx, qs_mx = rolls[0.0]
    assert qs_mx < -10.0
    assert vpm_mx == pytest.approx(qs_mx, rel=0.3)
    vpm_gain = rolls[0.05][0] - vpm_mx
    qs_gain = rolls[0.05][1] - qs_mx
    assert qs_gain > 0
    assert vpm_gain == pytest.approx(qs_gain, rel=0.3)


def test_state_docstrings():
    assert ax.VpmRotorState.to_array.__doc__ == (
        "Inflow serialization. VPM carries no scalar inflow DOFs (the free wake\n"
        "lives on this object), so the inflow vector is always empty.")
    assert ax.VpmRotorState.from_array.__doc__ == (
        "Round-trip the inflow vector (which must be empty for VPM). The wake is\n"
        "preserved -- pass the state object itself back into `step` to continue\n"
        "the wake; array serialization only ever covers scalar inflow DOFs.")
    assert ax.VpmRotorState.n_particles.__doc__ == "Number of wake particles currently carried (diagnostic)."
    assert str(inspect.signature(ax.VpmRotorState)) == "()"
    assert list(inspect.signature(ax._VpmRotorTabulated.step).parameters) == [
        "self", "inputs", "state", "dt", "integration_method"]


def _child_steps(model, state, conn):
    try:
        res = None
        for _ in range(5):
            res, state = model.step(rt.hover(), state, DT)
        conn.send((rt.thrust(res), state.n_particles))
    except BaseException as exc:  # report anything, including a native panic
        conn.send(repr(exc))
    finally:
        conn.close()


@pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")
def test_forked_child_can_step_after_the_parent_did():
    if "fork" not in multiprocessing.get_all_start_methods():
        pytest.skip("no fork on this platform")
    m = rotor(barnes_hut=True, bh_min_particles=32)
    _, state = run(m, 10)  # the worker pool is running in the parent now
    ctx = multiprocessing.get_context("fork")
    parent_end, child_end = ctx.Pipe(duplex=False)
    p = ctx.Process(target=_child_steps, args=(m, state, child_end))
    p.start()
    child_end.close()
    p.join(60)
    if p.is_alive():
        p.kill()
        p.join()
        pytest.fail("the forked child hung while stepping the vortex rotor")
    assert p.exitcode == 0
    got = parent_end.recv()
    assert isinstance(got, tuple), got
    thrust, n = got
    assert math.isfinite(thrust) and thrust > 0 and n > state.n_particles
    # The parent still steps too.
    res, _ = m.step(rt.hover(), state, DT)
    assert math.isfinite(res.Q_spin)


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_long_run_memory_stays_flat_once_the_wake_is_capped():
    # 2,000 steps at the default cap with a 4-element blade, which sheds at most
    # 18 particles a step and so fills the wake within the first 300 steps; from
    # then on the process must not grow. A coarse tree in brisk edgewise flight
    # keeps this run to seconds.
    cap, n_steps = 4800, 2000
    m = rotor(n_elements=4, max_particles=cap, barnes_hut=True, bh_theta=0.8)
    state = m.initial_rotor_state()
    inp = rt.forward(0.2)
    samples = []
    for i in range(n_steps):
        _, state = m.step(inp, state, DT)
        if i >= n_steps // 2 and i % 50 == 0:
            samples.append(_rss_bytes())
    assert state.n_particles == cap
    growth = max(samples) - samples[0]
    assert growth < 4 * 1024 * 1024, f"RSS grew by {growth} bytes after the cap was reached"
