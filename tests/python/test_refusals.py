"""Bad input is refused up front, with the documented class and a message naming what to change."""
import pytest

import aerlox as ax

ROTOR = ax.Rotor(2, 1.0, 0.08, [8.0, 0.0], ax.Airfoil.linear(5.7), root_cutout_m=0.15, stations_m=[0.15, 1.0],
                 elements=6, azimuth_stations=8)
HOVER = ax.OperatingPoint.hover(rpm=1200, collective_deg=8.0)
LINEAR = ax.Airfoil.linear(5.7)

CASES = [
    (lambda: ax.Rotor(2, 10**400, 0.08, 0.0, LINEAR), ValueError, "radius_m must be finite"),
    (lambda: ax.Rotor(2**64, 1.0, 0.08, 0.0, LINEAR), ValueError, "blades must be between 1 and 1024"),
    (lambda: ax.Rotor(2, 1.0, [0.1, [0.2, 0.3]], 0.0, LINEAR, stations_m=[0.1, 1.0]), TypeError, "chord_m .* ragged"),
    (lambda: ROTOR.core_model("vpm", HOVER, merge_every=-3), ValueError, "merge_every must be a whole number"),
    (lambda: ROTOR.core_model("vpm", HOVER, max_particles=10**9), ValueError, "max_particles must be between"),
    (lambda: ax.Rotor.from_dict({"blades": 2}), ValueError, "no 'radius_m' entry"),
    (lambda: ax.Rotor.from_dict({**ROTOR.to_dict(), "airfoil": {"linear": {}}}), ValueError, "airfoil has no"),
    (lambda: ax.Rotor.from_json("[1]"), ValueError, "JSON object"),
    (lambda: ax.Rotor.from_json("[" * 10**5 + "]" * 10**5), ValueError, "nests too deeply"),
    (lambda: ax.sweep("x", rpm=[1000, 1100]), TypeError, "rotor must be an aerlox.Rotor"),
    (lambda: ax.simulate(ROTOR, model="bem", t_end_s=0.01, dt_s=1e-3, schedule=HOVER, options=5), TypeError,
     "options must be a mapping"),
    (lambda: ax.simulate(ROTOR, model="bem", t_end_s=0.01, dt_s=1e-3, schedule=HOVER, controller=lambda t, r: 5),
     TypeError, "controller must return a mapping"),
    (lambda: ax.simulate(ROTOR, model="bem", t_end_s=1.0, dt_s=1e-300, schedule=HOVER), ValueError,
     "1e\\+300 steps exceeds the limit of 10,000,000"),
    (lambda: ax.simulate(ROTOR, model="bem", t_end_s=10**400, dt_s=1e-3, schedule=HOVER), ValueError, "t_end_s"),
    (lambda: ax.Airfoil.table([-10, 0, 10], [-1, 0, 1], [0.01] * 3).extrapolated(step_deg=1e-7), ValueError,
     "3.4e\\+09 rows, beyond the limit of 100,000"),
]


@pytest.mark.parametrize("call, cls, message", CASES)
def test_bad_input_raises_the_documented_class_naming_it(call, cls, message):
    with pytest.raises(cls, match=message):
        call()


def test_tiny_speeds_give_coefficients_not_a_division_by_zero():
    perf = ax.Performance.from_loads([0.0, 0.0, -1.0], [0.0, 0.0, 0.0], 1.0, ROTOR,
                                     ax.OperatingPoint.hover(rpm=1e-150), "bem")
    assert perf.thrust_N == 1.0

