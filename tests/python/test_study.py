"""Sweeps, simulations, their files and their figures (aerlox.sweep, aerlox.simulate, aerlox.plot)."""
import concurrent.futures as cf
import math
import multiprocessing
import os
import signal
import warnings

import numpy as np
import pytest
import xarray as xr

import aerlox as ax

RPM = 1300.0


@pytest.fixture(scope="module")
def rotor():
    return ax.Rotor(2, 1.0, chord_m=0.06, twist_deg=[4.0, -4.0], stations_m=[0.1, 1.0], root_cutout_m=0.1,
                    airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.01, alpha_stall_deg=15.0), name="t2b")


AXES = dict(rpm=[1100.0, RPM], collective_deg=[4.0, 8.0, 12.0], climb_m_s=1.0)


def _loop(rotor, model="bem"):
    """The sweep written by hand: one Rotor.solve per point."""
    out = {}
    for i, n in enumerate(AXES["rpm"]):
        for j, c in enumerate(AXES["collective_deg"]):
            out[i, j] = rotor.solve(ax.OperatingPoint(rpm=n, collective_deg=c, climb_m_s=1.0), model=model)
    return out


def _same_as_loop(ds, loop):
    for (i, j), perf in loop.items():
        point = ds.isel(rpm=i, collective_deg=j)
        for name in ("thrust_N", "torque_Nm", "power_W", "CT", "CQ", "CP", "FM"):
            a, b = float(point[name]), getattr(perf, name)
            assert a == b or (math.isnan(a) and math.isnan(b)), name
        assert np.array_equal(point.hub_force_N.values, perf.hub_force_N)
        assert np.array_equal(point.hub_moment_Nm.values, perf.hub_moment_Nm)
        assert bool(point.converged) == perf.converged and str(point.error.values) == ""


def test_sweep_is_the_serial_loop_bit_for_bit_whatever_runs_it(rotor):
    ds = ax.sweep(rotor, model="pitt-peters", **AXES)
    assert ds.thrust_N.dims == ("rpm", "collective_deg")
    assert ds.hub_force_N.dims == ("rpm", "collective_deg", "component")
    assert ds.rpm.attrs["units"] == "1/min" and ds.collective_deg.attrs["units"] == "deg"
    assert float(ds.climb_m_s) == 1.0 and ds.thrust_N.attrs["units"] == "N"
    assert ds.attrs["model"] == "pitt-peters" and ax.Rotor.from_dict(__import__("json").loads(ds.attrs["rotor"])) == rotor
    _same_as_loop(ds, _loop(rotor, "pitt-peters"))
    # Chunking and a process pool change nothing, down to the bit.
    assert ax.sweep(rotor, model="pitt-peters", chunk_size=1, **AXES).identical(ds)
    with cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        assert ax.sweep(rotor, model="pitt-peters", executor=pool, chunk_size=2, **AXES).identical(ds)


def test_sweep_on_a_thread_pool_matches_serial_with_each_points_warnings(rotor):
    # Edgewise points warn under the quasi-static model: each point keeps its
    # own warnings however the threads interleave, and the process's warning
    # machinery is as it was afterwards.
    axes = dict(rpm=RPM, collective_deg=[6.0, 8.0], forward_m_s=[0.0, 5.0, 20.0, 30.0])
    shown_before, filters_before = warnings.showwarning, list(warnings.filters)
    with pytest.warns(RuntimeWarning, match="sweep points"):
        serial = ax.sweep(rotor, **axes)
    for _ in range(3):
        with cf.ThreadPoolExecutor(2) as pool, pytest.warns(RuntimeWarning, match="sweep points"):
            assert ax.sweep(rotor, executor=pool, chunk_size=1, **axes).identical(serial)
    assert (serial.warning.sel(forward_m_s=30.0) != "").all() and (serial.warning.sel(forward_m_s=0.0) == "").all()
    assert warnings.showwarning is shown_before and warnings.filters == filters_before


# A loaded machine makes the cluster's own start-up and shut-down warn (slow
# heartbeats, scratch directories, closing comms): those are the scheduler's
# housekeeping, not ours, and must not fail the comparison.
@pytest.mark.filterwarnings("ignore::UserWarning:distributed")
@pytest.mark.filterwarnings("ignore::RuntimeWarning:distributed")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_sweep_on_a_local_dask_cluster_matches_serial(rotor):
    import distributed  # the test command installs the 'dask' extra: a missing one is a failure, not a skip

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        ds = ax.sweep(rotor, executor=client.get_executor(), chunk_size=2, **AXES)
    assert ds.identical(ax.sweep(rotor, **AXES))


def test_sweep_records_a_failing_point_and_solves_the_rest(rotor):
    ds = ax.sweep(rotor, rpm=RPM, collective_deg=[6.0, 8.0], rho_kg_m3=[1.225, -1.0])
    bad = ds.sel(rho_kg_m3=-1.0)
    assert all(e.startswith("ValueError: ") and "rho_kg_m3" in e for e in bad.error.values)
    assert np.isnan(bad.thrust_N).all() and not bad.converged.any()
    good = ds.sel(rho_kg_m3=1.225)
    assert (good.error == "").all() and (good.thrust_N > 0).all()
    assert ds.attrs["n_failed"] == 2
    # Mistakes that concern the whole call are raised at once, naming the argument.
    with pytest.raises(ValueError, match="rpms"):
        ax.sweep(rotor, rpms=[1000.0])
    with pytest.raises(ValueError, match="collective_deg"):
        ax.sweep(rotor, rpm=RPM, collective_deg=[[1.0, 2.0]])


def _hand_loop(rotor, op, n, dt, model="pitt-peters"):
    core = rotor.core_model(model, op)
    state = ax.models.equilibrium_state(core, op.to_inputs(), model)
    thrust = []
    for _ in range(n):
        res, state = core.step(op.to_inputs(), state, dt)
        thrust.append(-float(res.F_world @ op.hub_rotation()[:, 2]))
    return np.array(thrust)


def test_simulate_collective_step_from_equilibrium(rotor):
    hover = ax.OperatingPoint.hover(rpm=RPM, collective_deg=8.0)
    after = hover.replace(collective_deg=10.0)
    dt = 1e-3
    ds = ax.simulate(rotor, model="pitt-peters", t_end_s=0.5, dt_s=dt,
                     schedule=lambda t: hover if t < 0.1 else after)
    assert ds.sizes["time_s"] == 500 and ds.time_s.attrs["units"] == "s" and ds.attrs["interrupted"] == 0
    # Before the step the run sits at the equilibrium Rotor.solve reports...
    steady = rotor.solve(hover, model="pitt-peters")
    assert ds.thrust_N[:100].values == pytest.approx(steady.thrust_N, rel=1e-6)
    assert float(ds.lambda_0[0]) > 0
    # ...the step overshoots while the inflow lags, then settles at the new equilibrium.
    jump = ds.thrust_N.sel(time_s=0.1, method="nearest")
    final = rotor.solve(after, model="pitt-peters").thrust_N
    assert float(jump) > final > steady.thrust_N
    assert float(ds.thrust_N[-1]) == pytest.approx(final, rel=2e-3)
    assert np.all(np.diff(ds.lambda_0.values[100:]) >= 0)
    assert float(ds.collective_deg[99]) == 8.0 and float(ds.collective_deg[100]) == 10.0
    # The numbers are those of a plain step loop.
    assert np.array_equal(ds.thrust_N.values[:50], _hand_loop(rotor, hover, 50, dt))


def test_simulate_spin_and_controller(rotor):
    hover = ax.OperatingPoint.hover(rpm=RPM, collective_deg=8.0)
    motor = 30.0
    ds = ax.simulate(rotor, model="bem", t_end_s=3.0, dt_s=5e-3, schedule=hover,
                     spin=ax.Spin(inertia_kg_m2=0.02, motor_torque_Nm=lambda t: motor, bearing_friction_Nm=0.1))
    w = ds.rotor_speed_rad_s.values
    assert w[0] == hover.omega and np.all(np.diff(w) >= 0) and w[-1] > 1.5 * w[0]
    assert float(ds.torque_Nm[-1]) == pytest.approx(motor - 0.1, rel=1e-3)  # torque balance reached
    assert ds.attrs["spin"] == 1 and np.all(ds.motor_torque_Nm.values == motor)

    def governor(t, record):
        # A speed governor in the loop: full torque below 150 rad/s, none above.
        speed = record.last("rotor_speed_rad_s")
        return None if speed is None else {"motor_torque_Nm": 40.0 if speed < 150.0 else 0.0}

    ds = ax.simulate(rotor, model="bem", t_end_s=1.0, dt_s=5e-3, schedule=hover, controller=governor,
                     spin=ax.Spin(inertia_kg_m2=0.02, motor_torque_Nm=motor))
    q, w = ds.motor_torque_Nm.values, ds.rotor_speed_rad_s.values
    assert q[0] == motor and np.all(q[1:] == np.where(w[:-1] < 150.0, 40.0, 0.0)) and 145.0 < w[-1] < 160.0
    with pytest.raises(ValueError, match="motor_torque_Nm drives the rotor speed, which is a state only with spin"):
        ax.simulate(rotor, model="bem", t_end_s=0.01, dt_s=5e-3, schedule=hover,
                    controller=lambda t, record: {"motor_torque_Nm": 1.0})

    target = 250.0

    def hold_thrust(t, record):
        last = record.last("thrust_N")
        if last is None:
            return {}
        assert len(record["thrust_N"]) == len(record)
        return {"collective_deg": record.last("collective_deg") + 2e-3 * (target - last)}

    ds = ax.simulate(rotor, model="pitt-peters", t_end_s=1.0, dt_s=1e-3, schedule=hover, controller=hold_thrust)
    assert float(ds.thrust_N[-1]) == pytest.approx(target, rel=1e-3)
    assert float(ds.collective_deg[-1]) > 8.0


def test_simulate_ctrl_c_returns_what_was_computed(rotor):
    hover = ax.OperatingPoint.hover(rpm=RPM, collective_deg=8.0)

    def schedule(t):
        if round(t / 1e-3) == 30:
            os.kill(os.getpid(), signal.SIGINT)
        return hover

    ds = ax.simulate(rotor, model="oye", t_end_s=0.2, dt_s=1e-3, schedule=schedule)
    assert ds.attrs["interrupted"] == 1 and ds.attrs["steps_completed"] == 31 and ds.sizes["time_s"] == 31
    assert np.isfinite(ds.thrust_N).all()


def test_results_round_trip_through_netcdf(rotor, tmp_path):
    sw = ax.sweep(rotor, rpm=RPM, collective_deg=[6.0, 8.0], rho_kg_m3=[1.225, -1.0])
    sw.to_netcdf(tmp_path / "sweep.nc")
    back = xr.load_dataset(tmp_path / "sweep.nc")
    assert back.identical(sw) and back.converged.dtype == bool and back.error.values[0, 1].startswith("ValueError")

    hover = ax.OperatingPoint.hover(rpm=RPM, collective_deg=8.0)
    for model, names in (("pitt-peters", ["lambda_0", "lambda_c", "lambda_s"]), ("oye", ["W_int", "W"])):
        sim, final = ax.simulate(rotor, model=model, t_end_s=0.02, dt_s=1e-3, schedule=hover,
                                 record={"inflow": 4}, return_state=True)
        assert all(n in sim for n in names)
        sim.to_netcdf(tmp_path / f"{model}.nc")
        back = xr.load_dataset(tmp_path / f"{model}.nc")
        assert back.identical(sim)
        restored = ax.load_state(back)
        assert type(restored) is type(final) and np.array_equal(restored.to_array(), final.to_array())
        # A run continued from the saved state carries on exactly where the first one stopped.
        more = ax.simulate(rotor, model=model, t_end_s=0.01, dt_s=1e-3, schedule=hover, initial_state=restored)
        whole = ax.simulate(rotor, model=model, t_end_s=0.03, dt_s=1e-3, schedule=hover)
        assert np.array_equal(more.thrust_N.values, whole.thrust_N.values[20:])

    vpm = ax.simulate(rotor, model="vpm", t_end_s=0.004, dt_s=1e-3, schedule=hover)
    assert list(vpm.n_particles.values) == sorted(vpm.n_particles.values) and vpm.n_particles[-1] > 0
    vpm.to_netcdf(tmp_path / "vpm.nc")
    assert xr.load_dataset(tmp_path / "vpm.nc").identical(vpm)


def test_plots_return_figures_and_save(rotor, tmp_path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.figure import Figure

    sw = ax.sweep(rotor, rpm=[1100.0, RPM], collective_deg=[6.0, 8.0, 12.0])
    sim = ax.simulate(rotor, model="pitt-peters", t_end_s=0.02, dt_s=1e-3,
                      schedule=ax.OperatingPoint.hover(rpm=RPM, collective_deg=8.0))
    figures = [
        ax.plot.polar(rotor.airfoil, path=tmp_path / "polar.png"),
        ax.plot.sweep(sw, x="collective_deg", path=tmp_path / "sweep.png"),
        ax.plot.history(sim, ["thrust_N", "hub_force_N", "lambda_0"], path=tmp_path / "history.png"),
    ]
    assert all(isinstance(f, Figure) for f in figures)
    assert all((tmp_path / n).stat().st_size > 1000 for n in ("polar.png", "sweep.png", "history.png"))
    with pytest.raises(ValueError, match="x must be one of"):
        ax.plot.sweep(sw, x="forward_m_s")
    plt.close("all")


def test_simulate_records_spanwise_loads_and_the_wake(rotor, tmp_path):
    import meshio

    hover = ax.OperatingPoint.hover(rpm=RPM, collective_deg=8.0)
    ds = ax.simulate(rotor, model="oye", t_end_s=0.012, dt_s=1e-3, schedule=hover, record={"spanwise": 4})
    assert ds.spanwise_thrust_N.dims == ("time_spanwise_s", "azimuth_deg", "r_m")
    assert list(ds.time_spanwise_s.values) == pytest.approx([0.0, 0.004, 0.008])
    # Summed over the blade and the disk, the recorded loads are the hub loads of the same steps.
    total = rotor.blades * ds.spanwise_thrust_N.mean("azimuth_deg").sum("r_m")
    assert total.values == pytest.approx(ds.thrust_N.values[::4], rel=1e-12)

    vpm = ax.simulate(rotor, model="vpm", t_end_s=0.006, dt_s=1e-3, schedule=hover, record={"wake": 3},
                      wake_pvd=tmp_path / "wake.pvd")
    counts = vpm.wake_count.values
    assert list(counts) == list(vpm.n_particles.values[2::3]) and vpm.sizes["wake_particle"] == counts.sum()
    last = ax.study.wake_at(vpm)
    assert last.sizes["particle"] == counts[-1] and last.attrs["time_s"] == pytest.approx(0.006)
    steps = sorted((tmp_path / "wake_steps").iterdir())
    assert len(steps) == 2 and (tmp_path / "wake.pvd").read_text().count("<DataSet") == 2
    mesh = meshio.read(steps[-1])
    assert np.allclose(mesh.points, last.position_m.values, rtol=1e-6, atol=1e-9)

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    snapshot = ax.study.spanwise_at(ds, 0.004)
    assert np.array_equal(snapshot.thrust_N.values, ds.spanwise_thrust_N.values[1])
    np.testing.assert_allclose(snapshot.thrust_N_per_m * snapshot.attrs["element_width_m"], snapshot.thrust_N, rtol=1e-15)
    ax.plot.spanwise(snapshot, "alpha_deg", path=tmp_path / "span.png")
    ax.plot.wake(last, path=tmp_path / "wake.png")
    plt.close("all")
    with pytest.raises(ValueError, match="spanwise"):
        ax.simulate(rotor, model="vpm", t_end_s=0.002, dt_s=1e-3, schedule=hover, record=["spanwise"])


def test_rotor_json_round_trip(tmp_path):
    low = ax.Airfoil.table([-10, 0, 5, 10, 15], [-0.8, 0.2, 0.75, 1.2, 1.1], [0.03, 0.01, 0.012, 0.02, 0.06],
                           reynolds=2e5)
    high = ax.Airfoil.table([-10, 0, 5, 10, 15], [-0.9, 0.25, 0.8, 1.3, 1.25], [0.02, 0.008, 0.01, 0.015, 0.05],
                            reynolds=1e6)
    rotor = ax.Rotor(3, 1.3, chord_m=[0.1, 0.0700000001], twist_deg=[9.1, 0.3], stations_m=[0.2, 1.3],
                     root_cutout_m=0.2, airfoil=ax.Airfoil.combine(low, high).extrapolated(),
                     flap=ax.Flap(inertia_kgm2=0.3, omega_nr_rad_s=120.0), name="json")
    assert ax.Rotor.from_json(rotor.to_json()) == rotor
    rotor.to_json(tmp_path / "rotor.json")
    assert ax.Rotor.from_json(tmp_path / "rotor.json") == rotor
    (tmp_path / "list.json").write_text("[1]")
    with pytest.raises(ValueError, match="JSON object"):
        ax.Rotor.from_json(tmp_path / "list.json")


def test_sweep_ctrl_c_keeps_every_finished_point_and_a_checkpoint_resumes_bit_for_bit(rotor, tmp_path, monkeypatch):
    axes = dict(rpm=[1100.0, 1200.0, RPM], collective_deg=[6.0, 8.0, 10.0, 12.0])
    whole = ax.sweep(rotor, model="pitt-peters", **axes)
    solve = ax.Rotor.solve
    calls = []

    def interrupted_at_the_sixth(self, *args, **kwargs):
        calls.append(1)
        if len(calls) == 6:
            raise KeyboardInterrupt
        return solve(self, *args, **kwargs)

    path = tmp_path / "sweep.ckpt"
    with monkeypatch.context() as m:
        m.setattr(ax.Rotor, "solve", interrupted_at_the_sixth)
        part = ax.sweep(rotor, model="pitt-peters", checkpoint=path, **axes)
    assert part.attrs["interrupted"] == 1 and (part.error.values == "").sum() == 5
    assert np.array_equal(part.thrust_N.values.ravel()[:5], whole.thrust_N.values.ravel()[:5])
    assert all(e.startswith("KeyboardInterrupt") for e in part.error.values.ravel()[5:])
    # A process killed while writing leaves half a record at the end: it is dropped and solved again.
    with open(path, "ab") as f:
        f.write(b"\x90\x00\x00\x00torn")
    assert ax.sweep(rotor, model="pitt-peters", checkpoint=path, **axes).identical(whole)
    # Complete: read back without solving anything.
    with monkeypatch.context() as m:
        m.setattr(ax.Rotor, "solve", None)
        assert ax.sweep(rotor, model="pitt-peters", checkpoint=path, **axes).identical(whole)
    with pytest.raises(ValueError, match="belongs to a different sweep"):
        ax.sweep(rotor, model="oye", checkpoint=path, **axes)


def test_sweep_refuses_a_grid_beyond_its_limit_before_building_it(rotor):
    with pytest.raises(ValueError, match=r"1,000,000,000,000 points .* exceeds the limit of 2,000,000"):
        ax.sweep(rotor, rpm=np.linspace(1000, 1400, 10**4), collective_deg=np.linspace(0, 12, 10**4),
                 climb_m_s=np.linspace(0, 5, 10**4))


def test_non_finite_loads_are_never_reported_as_converged(rotor):
    huge = ax.OperatingPoint.hover(rpm=1e300, collective_deg=8.0)
    with pytest.warns(RuntimeWarning, match="non-finite result"):
        perf = rotor.solve(huge, model="pitt-peters")
    assert not perf.converged
    with pytest.warns(RuntimeWarning):
        ds = ax.sweep(rotor, model="pitt-peters", rpm=[RPM, 1e300], collective_deg=8.0)
    assert list(ds.converged.values) == [True, False]
    assert ds.error.values[1].startswith("FloatingPointError: non-finite result") and ds.attrs["n_failed"] == 1


def test_simulate_is_typed_by_its_return_state(tmp_path):
    api = pytest.importorskip("mypy.api")
    script = tmp_path / "use.py"
    script.write_text(
        "import aerlox as ax\n"
        "def run(rotor: ax.Rotor, op: ax.OperatingPoint) -> None:\n"
        "    ds = ax.simulate(rotor, model='bem', t_end_s=1.0, dt_s=0.1, schedule=op)\n"
        "    ax.load_state(ds)\n"
        "    ds2, state = ax.simulate(rotor, model='bem', t_end_s=1.0, dt_s=0.1, schedule=op, return_state=True)\n"
        "    ds2.sizes\n")
    out, err, status = api.run([str(script), "--ignore-missing-imports", "--no-incremental",
                                "--cache-dir", str(tmp_path / "cache")])
    assert status == 0, out + err


def test_a_checkpointed_simulation_goes_on_from_where_it_failed_bit_for_bit(rotor, tmp_path):
    hover = ax.OperatingPoint.hover(rpm=RPM, collective_deg=8.0)
    trouble = {"at_s": 0.03}

    def schedule(t):
        if t >= trouble["at_s"]:
            raise RuntimeError("the schedule's data ran out")
        return hover if t < 0.02 else hover.replace(collective_deg=10.0)

    kwargs = dict(model="oye", t_end_s=0.06, dt_s=1e-3, schedule=schedule, spin=ax.Spin(0.5, 60.0, 0.5),
                  record={"inflow": 4, "spanwise": 25})
    path = tmp_path / "run.npz"
    with pytest.raises(RuntimeError):
        ax.simulate(rotor, checkpoint=path, **kwargs)
    trouble["at_s"] = math.inf
    whole = ax.simulate(rotor, **kwargs)
    assert ax.simulate(rotor, checkpoint=path, **kwargs).identical(whole)
    with pytest.raises(ValueError, match="belongs to a different run"):
        ax.simulate(rotor, checkpoint=path, **{**kwargs, "t_end_s": 0.05})
