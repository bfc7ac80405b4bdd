"""Blades with an airfoil per station in the toolkit: description, round trips,
per-element Reynolds numbers, and the models' opt-in refinements."""
import json
import math
import pickle
import warnings

import numpy as np
import pytest

import aerlox as ax

ROOT = ax.Airfoil.table([-10, 0, 8, 12, 20], [-0.6, 0.2, 0.9, 1.0, 0.7], [0.03, 0.015, 0.02, 0.05, 0.2],
                        name="root")
TIP = ax.Airfoil.table([-10, 0, 8, 12, 20], [-0.9, 0.1, 1.0, 1.2, 0.8], [0.02, 0.01, 0.015, 0.04, 0.18],
                       name="tip")
STATIONS = (0.15, 0.6, 1.0)


def blade(airfoil, **kw):
    return ax.Rotor(2, 1.0, [0.10, 0.08, 0.06], [8.0, 3.0, 0.0], airfoil, root_cutout_m=0.15, stations_m=STATIONS,
                    **kw)


OP = ax.OperatingPoint(rpm=1200.0, collective_deg=6.0)


def test_airfoil_per_station_forms_and_round_trips(tmp_path):
    listed = blade([ROOT, TIP, TIP])
    mapped = blade({1.0: TIP, 0.15: ROOT, 0.6: TIP})
    assert listed == mapped and hash(listed) == hash(mapped)
    assert listed.airfoil == ((0.15, ROOT), (0.6, TIP), (1.0, TIP))
    assert listed.has_sections and listed.airfoil_075 is TIP
    assert ax.Rotor.from_dict(listed.to_dict()) == listed
    assert ax.Rotor.from_json(listed.to_json()) == listed
    assert pickle.loads(pickle.dumps(listed)) == listed
    # A results file carries the description it was computed with.
    res = ax.sweep(listed, rpm=[1000.0, 1200.0], collective_deg=6.0)
    assert ax.Rotor.from_json(res.attrs["rotor"]) == listed
    # One station is the one airfoil.
    assert blade({0.5: TIP}).airfoil is TIP


@pytest.mark.parametrize("bad, error, text", [
    ([ROOT, TIP], ValueError, "one airfoil per station"),
    ({0.1: ROOT, 1.0: TIP}, ValueError, "outside"),
    ({0.5: ROOT, 0.5000: TIP, 1.0: "NACA"}, TypeError, "must be an Airfoil"),
    ("NACA0012", TypeError, "airfoil must be"),
])
def test_bad_sections_are_refused_with_the_reason(bad, error, text):
    with pytest.raises(error, match=text):
        blade(bad)


@pytest.mark.parametrize("model", ["bem", "pitt-peters", "oye"])
def test_three_stations_of_one_airfoil_are_that_airfoil_bit_for_bit(model):
    one = blade(TIP).solve(OP, model=model)
    three = blade([TIP, TIP, TIP]).solve(OP, model=model)
    assert three.thrust_N == one.thrust_N and three.torque_Nm == one.torque_Nm
    np.testing.assert_array_equal(three.hub_moment_Nm, one.hub_moment_Nm)


def test_element_between_two_airfoils_reads_their_blend():
    rotor = blade([ROOT, TIP, TIP])
    span = rotor.spanwise(OP).isel(azimuth_deg=0)
    r, alpha = span["r_m"].values, span["alpha_deg"].values
    for i in np.flatnonzero((r > 0.15) & (r < 0.6)):
        t = (r[i] - 0.15) / 0.45
        cl_root, _ = ROOT.cl_cd(alpha[i])
        cl_tip, _ = TIP.cl_cd(alpha[i])
        assert span["cl"].values[i] == pytest.approx(cl_root + t * (cl_tip - cl_root), rel=1e-12)


def test_reynolds_per_element_and_a_warning_outside_the_tables():
    low = ax.Airfoil.table([-10, 0, 10], [-0.8, 0.0, 0.8], [0.03, 0.03, 0.03], 5e4)
    high = ax.Airfoil.table([-10, 0, 10], [-1.1, 0.0, 1.1], [0.01, 0.01, 0.01], 2e5)
    af = ax.Airfoil.combine(low, high)
    rotor = ax.Rotor(2, 0.2, 0.02, 10.0, af, root_cutout_m=0.1, elements=10)
    op = ax.OperatingPoint(rpm=6000.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        span = rotor.spanwise(op, consistent_swirl=False)
    # Each element's lift slope lies between the tables', ordered by its own Re.
    slope = span["cl"].values[0] / np.radians(span["alpha_deg"].values[0])
    re = op.rho_kg_m3 * np.sqrt(2.0 * span["dynamic_pressure_Pa"].values[0] / op.rho_kg_m3) * 0.02 / op.viscosity_Pa_s
    w = (np.log(re) - math.log(5e4)) / (math.log(2e5) - math.log(5e4))
    np.testing.assert_allclose(slope, np.degrees(0.08 + w * 0.03), rtol=1e-9)
    # Thicker air: the same rotor meets Reynolds numbers beyond its tables.
    with pytest.warns(RuntimeWarning, match="outside their airfoil's tables") as rec:
        rotor.solve(op.replace(viscosity_Pa_s=0.25e-5))
    assert len([w for w in rec if "Reynolds" in str(w.message)]) == 1


def test_air_properties_belong_to_the_operating_point():
    op = ax.OperatingPoint(rpm=1000.0)
    assert (op.viscosity_Pa_s, op.speed_of_sound_m_s) == (1.789e-5, 340.294)
    rotor = blade(TIP)
    assert rotor.reynolds_075(op.replace(viscosity_Pa_s=2 * 1.789e-5)) == pytest.approx(rotor.reynolds_075(op) / 2)
    for key in ("viscosity_Pa_s", "speed_of_sound_m_s"):
        with pytest.raises(ValueError, match=key):
            ax.OperatingPoint(rpm=1000.0, **{key: 0.0})
    assert "speed_of_sound_m_s=300.0" in repr(op.replace(speed_of_sound_m_s=300.0))


def test_model_options_of_the_blade_element_models():
    rotor = blade(TIP)
    hover = ax.OperatingPoint(rpm=3000.0, collective_deg=10.0)
    base = rotor.solve(hover, "pitt-peters")
    lossy = rotor.solve(hover, "pitt-peters", tip_loss=True)
    assert lossy.FM < base.FM and lossy.thrust_N < base.thrust_N
    pg = rotor.solve(hover, compressibility="prandtl-glauert")
    assert pg.thrust_N > rotor.solve(hover).thrust_N
    with pytest.raises(ValueError, match="compressibility must be one of"):
        rotor.solve(hover, compressibility="karman")
    with pytest.raises(TypeError, match="has no option 'tip_loss'"):
        rotor.solve(hover, "bem", tip_loss=True)
