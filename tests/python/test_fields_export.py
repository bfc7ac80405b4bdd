"""Toolkit views of the extensions: xarray datasets (aerlox.fields) and the VTK
files of the wake (aerlox.export), read back with an independent reader."""
import math
import pickle
import xml.etree.ElementTree as ET

import meshio
import numpy as np
import pytest

import aerlox as ax
import rotors as rt
from aerlox import export, fields

ext = ax._aerlox._ext
DT = (2 * math.pi / 36) / rt.OMEGA


@pytest.fixture(scope="module")
def vpm():
    rotor = ax._VpmRotorLinear(rt.definition(rt.blade(n_elements=6)), rt.linear_polar())
    states = [rotor.initial_rotor_state()]
    for _ in range(4):
        states.append(rotor.step(rt.forward(0.1), states[-1], DT)[1])
    return rotor, states


def test_spanwise_dataset_is_labelled_and_sums_to_the_thrust():
    model = rt.make_model("_PittPetersModelTabulated")
    inp = rt.forward(0.2)
    state = rt.relaxed_state(model, inp)
    ds = fields.spanwise_dataset(model, inp, state)
    assert ds["thrust_N"].dims == ("azimuth_deg", "r_m")
    assert ds.sizes == {"azimuth_deg": rt.N_PSI, "r_m": rt.N_ELEMENTS}
    assert ds["alpha_deg"].attrs["units"] == "deg" and ds["torque_Nm"].attrs["units"] == "N m"
    # Exact multiples of 360/n, so a user can select a station by its label.
    assert list(ds["azimuth_deg"].values) == [360.0 * k / rt.N_PSI for k in range(rt.N_PSI)]
    assert ds["alpha_deg"].sel(azimuth_deg=270.0).dims == ("r_m",)
    res = model.compute_forces(inp, state)[0]
    total = ds.attrs["n_blades"] * ds["thrust_N"].mean("azimuth_deg").sum("r_m")
    assert float(total) == pytest.approx(rt.thrust(res), rel=1e-12)
    back = pickle.loads(pickle.dumps(ds))
    assert back.identical(ds)


def test_wake_dataset_matches_the_state(vpm):
    rotor, states = vpm
    state = states[-1]
    ds = fields.wake_dataset(state, rotor, time_s=4 * DT)
    w = ext.wake(state)
    assert ds.sizes["particle"] == state.n_particles
    np.testing.assert_array_equal(ds["position_m"].values, w["position_m"])
    np.testing.assert_array_equal(ds["age_s"].values, w["age_s"])
    assert ds["bound_circulation_m2_s"].dims == ("blade", "element")
    np.testing.assert_array_equal(ds["r_m"].values, ext.vpm_blade(rotor)["r_mid_m"])
    assert ds.attrs["time_s"] == pytest.approx(4 * DT) and ds.attrs["n_blades"] == rt.N_BLADES
    empty = fields.wake_dataset(states[0])
    assert empty.sizes["particle"] == 0 and "bound_circulation_m2_s" not in empty


@pytest.mark.parametrize("binary", [True, False])
def test_vtk_file_reads_back_with_the_same_points_and_data(vpm, tmp_path, binary):
    state = vpm[1][-1]
    w = ext.wake(state)
    path = export.wake_vtk(state, tmp_path / "wake.vtu", binary=binary)
    mesh = meshio.read(path)
    assert mesh.points.shape == (state.n_particles, 3)
    np.testing.assert_array_equal(mesh.points, w["position_m"])
    np.testing.assert_array_equal(mesh.point_data["strength"], w["strength_m3_s"])
    np.testing.assert_array_equal(mesh.point_data["core_radius"], w["core_radius_m"])
    np.testing.assert_array_equal(mesh.point_data["age"], w["age_s"])
    assert mesh.cells[0].type == "vertex" and len(mesh.cells[0].data) == state.n_particles
    with pytest.raises(ValueError, match=r"path must end in \.vtu or \.vtp"):
        export.wake_vtk(state, tmp_path / "wake.vtk")


def test_wake_series_writes_an_index_of_step_files(vpm, tmp_path):
    states = vpm[1]
    with export.WakeSeries(tmp_path / "run" / "wake.pvd") as series:
        for k, s in enumerate(states[1:]):
            series.add(k * DT, s)
        with pytest.raises(ValueError, match="time_s must increase"):
            series.add(0.0, states[1])
    root = ET.parse(tmp_path / "run" / "wake.pvd").getroot()
    entries = root.find("Collection").findall("DataSet")
    assert [float(e.get("timestep")) for e in entries] == [k * DT for k in range(4)]
    for e, s in zip(entries, states[1:]):
        mesh = meshio.read(tmp_path / "run" / e.get("file"))
        assert len(mesh.points) == s.n_particles
    with pytest.raises(ValueError, match="closed"):
        series.add(1.0, states[1])


def test_rotor_spanwise_agrees_with_solve():
    rotor = ax.Rotor(2, 1.0, 0.08, [8.0, 0.0], ax.Airfoil.linear(5.7), root_cutout_m=0.15,
                     stations_m=[0.15, 1.0], elements=16, azimuth_stations=24)
    op = ax.OperatingPoint(rpm=1150, collective_deg=6.0, forward_m_s=20.0)
    perf = rotor.solve(op, model="pitt-peters")
    ds = rotor.spanwise(op, model="pitt-peters")
    assert ds.sizes == {"azimuth_deg": 24, "r_m": 16} and ds.attrs["model"] == "pitt-peters"
    total = 2 * ds["thrust_N"].mean("azimuth_deg").sum("r_m")
    assert float(total) == pytest.approx(perf.thrust_N, rel=1e-9)
    with pytest.raises(ValueError, match="model 'vpm' has no spanwise loads"):
        rotor.spanwise(op, model="vpm")


def test_spanwise_loads_per_metre_do_not_depend_on_the_element_count():
    rotor = ax.Rotor(2, 1.0, 0.08, [8.0, 0.0], ax.Airfoil.linear(5.7), root_cutout_m=0.15,
                     stations_m=[0.15, 1.0], azimuth_stations=24)
    op = ax.OperatingPoint(rpm=1150, collective_deg=6.0)
    at = {}
    for n in (10, 40):
        ds = rotor.replace(elements=n).spanwise(op)
        mean = ds.mean("azimuth_deg")
        at[n] = float(mean["thrust_N_per_m"].interp(r_m=0.7)), float(mean["thrust_N"].interp(r_m=0.7))
        # The per-element values stay, and per metre times the width gives them back.
        np.testing.assert_allclose(ds["thrust_N_per_m"] * ds.attrs["element_width_m"], ds["thrust_N"], rtol=1e-14)
        np.testing.assert_allclose(ds["tangential_force_N_per_m"] * ds["r_m"], ds["torque_Nm_per_m"], rtol=1e-14)
        assert ds["thrust_N_per_m"].attrs["units"] == "N/m"
    assert at[40][0] == pytest.approx(at[10][0], rel=1e-3) and at[40][1] == pytest.approx(at[10][1] / 4, rel=1e-3)


def test_reversed_flow_stations_are_counted_and_drawn_as_gaps():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from aerlox import plot

    rotor = ax.Rotor(2, 1.0, 0.08, [8.0, 0.0], ax.Airfoil.linear(5.7), root_cutout_m=0.15, stations_m=[0.15, 1.0])
    ds = rotor.spanwise(ax.OperatingPoint(rpm=1150, collective_deg=6.0, forward_m_s=42.0), model="pitt-peters")
    nan = np.isnan(ds["alpha_deg"].values)
    assert ds.attrs["nan_stations"] == np.count_nonzero(nan) > 0
    fig = plot.spanwise(ds, "alpha_deg")
    mean = next(ln for ln in fig.axes[1].get_lines() if ln.get_label().startswith("azimuth mean"))
    assert f"{np.count_nonzero(nan)} NaN stations" in mean.get_label()
    np.testing.assert_array_equal(np.isnan(mean.get_ydata()), nan.any(axis=0))
    assert fig.axes[1].get_ylabel() == "alpha [deg]"
    plt.close("all")


def test_spanwise_and_wake_figures(vpm, tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.figure import Figure

    from aerlox import plot

    model = rt.make_model("_QuasiStaticBEMLinear")
    fig = plot.spanwise(fields.spanwise_dataset(model, rt.forward(0.2)), "alpha_deg", path=tmp_path / "s.png")
    assert isinstance(fig, Figure) and (tmp_path / "s.png").stat().st_size > 0
    rotor, states = vpm
    fig = plot.wake(states[-1], rotor, path=tmp_path / "w.png")
    assert isinstance(fig, Figure) and (tmp_path / "w.png").stat().st_size > 0
    # The blades are drawn: one line per blade from the root cutout to the tip.
    ax3 = fig.axes[0]
    blade_lines = [ln for ln in ax3.get_lines() if ln.get_linewidth() == 3]
    assert len(blade_lines) == rt.N_BLADES
    plt.close("all")
    with pytest.raises(ValueError, match="color_by must be 'strength' or 'age'"):
        plot.wake(states[-1], color_by="size")
