"""The native extensions beside the registry (``_aerlox._ext``): spanwise loads of
the blade-element models, the vortex wake as arrays, and worker control."""
import math

import numpy as np
import pytest

import aerlox as ax
import rotors as rt
from conftest import run_isolated

ext = ax._aerlox._ext
DT = (2 * math.pi / 36) / rt.OMEGA  # 10 degrees of azimuth per step
DR = (rt.RADIUS_M - rt.ROOT_CUTOUT_M) / rt.N_ELEMENTS


def test_extensions_stay_out_of_the_registry():
    assert "_ext" not in ax._aerlox.__all__
    assert "_ext" not in ax.__all__
    proc = run_isolated(
        """
        import sys
        import aerlox._aerlox as a
        del sys.modules["aerlox._aerlox"]
        import aerlox._aerlox as b
        assert b._ext is a._ext
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


# --- spanwise loads ----------------------------------------------------------


@pytest.mark.parametrize("flight", ["hover", "forward", "fast"])
@pytest.mark.parametrize("class_name", rt.BEM_CLASS_NAMES)
def test_spanwise_loads_add_up_to_the_hub_loads(class_name, flight):
    model = rt.make_model(class_name)
    inp = {"hover": rt.hover(), "forward": rt.forward(0.2), "fast": rt.forward(0.6)}[flight]
    state = model.initial_rotor_state() if "QuasiStatic" in class_name else rt.relaxed_state(model, inp)
    before = model.compute_forces(inp, state)[0]
    s = ext.spanwise(model, inp, state)
    after = model.compute_forces(inp, state)[0]
    assert np.array_equal(before.F_world, after.F_world) and before.Q_spin == after.Q_spin

    shape = (rt.N_PSI, rt.N_ELEMENTS)
    for key in ("radius_m", "alpha_rad", "phi_rad", "cl", "cd", "inflow_ratio", "q_dyn_pa", "thrust_n", "torque_nm"):
        assert s[key].shape == shape and s[key].dtype == np.float64, key
    np.testing.assert_allclose(s["azimuth_rad"], 2 * np.pi * np.arange(rt.N_PSI) / rt.N_PSI)
    np.testing.assert_allclose(s["radius_m"][7], rt.ROOT_CUTOUT_M + DR * (np.arange(rt.N_ELEMENTS) + 0.5))

    # One blade's element loads, averaged over azimuth and summed along the span.
    k = s["n_blades"] / rt.N_PSI
    assert k * s["thrust_n"].sum() == pytest.approx(rt.thrust(before), rel=1e-12)
    assert k * s["torque_nm"].sum() == pytest.approx(before.Q_spin, rel=1e-12)

    # The reported flow is the one the loads were taken at.
    loaded = s["thrust_n"] != 0.0
    a, p = s["alpha_rad"][loaded], s["phi_rad"][loaded]
    cl, cd = rt.polar("linear" if class_name.endswith("Linear") else "tabulated").cl_cd_arr(a)
    np.testing.assert_allclose(s["cl"][loaded], cl, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(s["cd"][loaded], cd, rtol=1e-12, atol=1e-12)
    per_span = s["q_dyn_pa"][loaded] * rt.CHORD_M * DR
    np.testing.assert_allclose(s["thrust_n"][loaded], per_span * (cl * np.cos(p) - cd * np.sin(p)), rtol=1e-9)
    np.testing.assert_allclose(s["torque_nm"][loaded],
                               s["radius_m"][loaded] * per_span * (cl * np.sin(p) + cd * np.cos(p)), rtol=1e-9)
    if flight == "hover":
        assert np.all(s["inflow_ratio"] > 0) and loaded.all()
        # Axisymmetric: every station alike.
        assert np.all(s["thrust_n"] == s["thrust_n"][0]) or "QuasiStatic" not in class_name
    if flight == "fast":
        # At mu = 0.6 the retreating blade's root sees reversed flow: no load, no flow values.
        assert not loaded.all()
        assert np.isnan(s["alpha_rad"][~loaded]).all() and (s["torque_nm"][~loaded] == 0).all()


def test_spanwise_refusals():
    qs = rt.make_model("_QuasiStaticBEMLinear")
    oye = rt.make_model("_OyeBEMModelLinear")
    with pytest.raises(TypeError, match="argument 'model': 'int' object is not a blade-element model"):
        ext.spanwise(1, rt.hover(), qs.initial_rotor_state())
    with pytest.raises(TypeError, match="argument 'state': "):
        ext.spanwise(qs, rt.hover(), oye.initial_rotor_state())
    with pytest.raises(ValueError, match="OyeRotorState holds 6 inflow values; this model needs 40"):
        ext.spanwise(oye, rt.hover(), ax.OyeRotorState.zeros(3))
    with pytest.raises(TypeError, match=r"spanwise\(\) missing 1 required positional argument: 'state'"):
        ext.spanwise(qs, rt.hover())


# --- the vortex wake ----------------------------------------------------------


def vpm_rotor(n_elements=6, **options):
    return ax._VpmRotorLinear(rt.definition(rt.blade(n_elements=n_elements)), rt.linear_polar(), **options)


def steps(rotor, n, state=None, inp=None):
    state = state if state is not None else rotor.initial_rotor_state()
    for _ in range(n):
        _, state = rotor.step(inp if inp is not None else rt.hover(), state, DT)
    return state


def test_wake_arrays_are_copies_and_the_newest_particles_sit_on_the_blades():
    rotor = vpm_rotor()
    assert ext.bound_circulation(rotor.initial_rotor_state()) is None
    assert ext.wake(rotor.initial_rotor_state())["position_m"].shape == (0, 3)
    before = steps(rotor, 7)
    psi0 = ext.wake(before)["psi_rad"]
    state = steps(rotor, 1, before)
    w = ext.wake(state)
    n = state.n_particles
    assert w["position_m"].shape == (n, 3) and w["strength_m3_s"].shape == (n, 3)
    assert w["core_radius_m"].shape == (n,) and w["age_s"].shape == (n,)
    # Oldest first; eight steps of shedding, each aged once per step.
    assert np.all(np.diff(w["age_s"]) <= 0)
    assert w["age_s"][0] == pytest.approx(8 * DT) and w["age_s"][-1] == pytest.approx(DT)

    # This step's particles left the blades at the step's start azimuth, at element
    # edges (trailing) and midpoints (shed), then moved with the flow for one step.
    blade = ext.vpm_blade(rotor)
    newest = w["position_m"][w["age_s"] == w["age_s"][-1]]
    assert 0 < len(newest) <= before.n_particles + 2 * (2 * 6 + 1)
    radius = np.hypot(newest[:, 0], newest[:, 1])
    az = np.mod(np.arctan2(-newest[:, 1], newest[:, 0]), 2 * np.pi)
    stations = np.concatenate([blade["r_edge_m"], blade["r_mid_m"]])
    drift = 20.0 * DT  # induced velocities here stay well below 20 m/s
    assert np.min(np.abs(radius[:, None] - stations[None, :]), axis=1).max() < drift
    blade_az = np.mod(psi0 + 2 * np.pi * np.arange(blade["n_blades"]) / blade["n_blades"], 2 * np.pi)
    gap = np.abs(np.angle(np.exp(1j * (az[:, None] - blade_az[None, :]))))
    assert (gap.min(axis=1) * radius).max() < drift

    gamma = ext.bound_circulation(state)
    assert gamma.shape == (rt.N_BLADES, 6) and np.all(gamma > 0)
    # New arrays every call: changing one leaves the state alone.
    w["position_m"][:] = 0.0
    gamma[:] = 0.0
    assert np.any(ext.wake(state)["position_m"] != 0.0) and np.all(ext.bound_circulation(state) > 0)


def test_merging_forgets_ages_and_a_cap_keeps_them_aligned():
    capped = steps(vpm_rotor(max_particles=40), 6)
    w = ext.wake(capped)
    assert capped.n_particles == 40 == w["age_s"].size
    assert w["age_s"][-1] == pytest.approx(DT) and w["age_s"][0] > DT
    merged = steps(vpm_rotor(merge_wake=True, merge_every=2), 6)
    assert ext.wake(merged)["age_s"] is None
    assert ext.wake(merged)["core_radius_m"].size == merged.n_particles


def test_worker_count_changes_nothing():
    rotor = vpm_rotor(n_elements=8)
    default = ext.num_threads()
    assert default >= 1
    assert isinstance(ext.kernel_isa(), str) and ext.kernel_isa()
    assert ext.kernel_quotient() in ("reciprocal", "divide")
    runs = []
    try:
        for n in (1, 3, 5):
            ext.set_num_threads(n)
            assert ext.num_threads() == n
            state = steps(rotor, 6, inp=rt.forward(0.1))
            res, _ = rotor.step(rt.forward(0.1), state, DT)
            runs.append((ext.wake(state), res))
        for w, res in runs[1:]:
            for key in ("position_m", "strength_m3_s", "core_radius_m", "age_s"):
                assert np.array_equal(w[key], runs[0][0][key]), key
            assert np.array_equal(res.F_world, runs[0][1].F_world) and res.Q_spin == runs[0][1].Q_spin
        with pytest.raises(ValueError, match="n must be at most 1024, got 5000"):
            ext.set_num_threads(5000)
        with pytest.raises(OverflowError):
            ext.set_num_threads(-1)
    finally:
        ext.set_num_threads(None)
    assert ext.num_threads() == default


def test_environment_sets_the_worker_count_at_import():
    code = "import aerlox; print(aerlox.num_threads())"
    import os
    import subprocess
    import sys

    def run(value):
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                              env={**os.environ, "AERLOX_NUM_THREADS": value})

    ok = run("3")
    assert ok.returncode == 0, ok.stderr
    assert ok.stdout.strip() == "3"
    # A bad value must not stop the import: it is warned about and the default kept.
    bad = run("many")
    assert bad.returncode == 0 and "AERLOX_NUM_THREADS='many' is not usable" in bad.stderr
    assert int(bad.stdout) >= 1
