"""Quasi-static BEM rotor against momentum theory, in axial flight and in edgewise flight."""
import math

import numpy as np
import pytest

import aerlox as ax
import rotors as rt


@pytest.fixture(scope="module")
def qs():
    return rt.make_model("_QuasiStaticBEMLinear")


def loads(model, inp):
    res, deriv = model.compute_forces(inp, model.initial_rotor_state())
    assert isinstance(deriv, ax.QuasiStaticRotorState)
    return res


def finite(res):
    return all(np.all(np.isfinite(v)) for v in (res.F_world, res.m_hub_world, res.M_spin, res.Q_spin))


def test_hover_against_momentum_theory(qs):
    res = loads(qs, rt.hover())
    T, Q = rt.thrust(res), res.Q_spin
    assert T > 0 and Q > 0
    # Axial flow: the whole force is thrust along -z, no hub moment, shaft torque along z.
    np.testing.assert_allclose(res.F_world, [0.0, 0.0, -T], rtol=0, atol=1e-12 * T)
    np.testing.assert_allclose(res.m_hub_world, 0.0, atol=1e-12 * T)
    np.testing.assert_allclose(res.M_spin, [0.0, 0.0, Q], rtol=0, atol=1e-12 * Q)

    # Classical uniform-inflow blade-element estimate for a linearly twisted blade:
    # C_T = sigma*a/2 * (theta_75/3 - lambda/2) with lambda = sqrt(C_T/2).
    sigma = rt.N_BLADES * rt.CHORD_M / (math.pi * rt.RADIUS_M)
    theta_75 = rt.COLLECTIVE + math.radians(rt.TWIST_TIP_DEG) * (0.75 - rt.ROOT_CUTOUT_M) / (1 - rt.ROOT_CUTOUT_M)
    ct = 0.0
    for _ in range(50):
        ct = sigma * rt.CL_ALPHA / 2 * (theta_75 / 3 - math.sqrt(ct / 2) / 2)
    tip_speed = rt.OMEGA * rt.RADIUS_M
    t_estimate = ct * rt.RHO * rt.DISK_AREA * tip_speed**2
    assert T == pytest.approx(t_estimate, rel=0.15)

    # Power: never below the ideal actuator disk; figure of merit of a real small rotor.
    power = Q * rt.OMEGA
    ideal = T * rt.hover_induced_velocity(T)
    fm = ideal / power
    assert 0.6 < fm < 0.8
    # Induced power after removing the classical profile power sigma*Cd0/8*rho*A*V^3 is
    # at or above the ideal power, by the usual 5-30 % of a real rotor.
    profile = sigma * rt.CD0 / 8 * rt.RHO * rt.DISK_AREA * tip_speed**3
    kappa = (power - profile) / ideal
    assert 1.0 <= kappa < 1.3


def test_hover_needs_no_azimuth_and_sweep_agrees(qs):
    base = loads(qs, rt.hover())
    one_station = loads(rt.make_model("_QuasiStaticBEMLinear", n_psi=1), rt.hover())
    assert rt.thrust(one_station) == rt.thrust(base)
    assert one_station.Q_spin == base.Q_spin
    # A negligible cyclic forces the full azimuth sweep: its average must reproduce hover.
    swept = loads(qs, rt.hover(tilt_lat=1e-11))
    assert rt.thrust(swept) == pytest.approx(rt.thrust(base), rel=1e-8)
    assert swept.Q_spin == pytest.approx(base.Q_spin, rel=1e-8)


def test_climb_lowers_thrust_and_costs_at_least_ideal_climb_power(qs):
    previous = rt.thrust(loads(qs, rt.hover()))
    for v in (2.0, 5.0, 10.0):
        res = loads(qs, rt.climb(v))
        T = rt.thrust(res)
        assert 0 < T < previous
        previous = T
        vh = rt.hover_induced_velocity(T)
        ideal = T * (v / 2 + math.sqrt((v / 2) ** 2 + vh**2))
        assert res.Q_spin * rt.OMEGA > ideal


def test_axial_descent_is_finite_at_every_rate(qs):
    vh = rt.hover_induced_velocity(rt.thrust(loads(qs, rt.hover())))
    for v in np.linspace(0.0, 10.0 * vh, 41):
        res = loads(qs, rt.descent(float(v)))
        assert finite(res), v
        np.testing.assert_allclose(res.m_hub_world, 0.0, atol=1e-9)
        assert rt.thrust(res) > 0


def test_fast_descent_with_negative_pitch_windmills():
    # Untwisted blade at negative pitch descending at a third of the tip speed:
    # the air drives the rotor (negative shaft torque) and the rotor brakes the
    # descent (positive thrust), within the Betz limit on extracted power.
    model = ax._QuasiStaticBEMLinear(rt.definition(rt.blade(twist_tip_deg=0.0)), rt.linear_polar(), rt.N_PSI)
    v = 50.0
    res = loads(model, rt.descent(v, collective=-0.05))
    assert finite(res)
    assert rt.thrust(res) > 0
    assert res.Q_spin < 0
    betz = 16.0 / 27.0 * 0.5 * rt.RHO * rt.DISK_AREA * v**3
    assert -res.Q_spin * rt.OMEGA < betz


def test_tip_loss_costs_thrust(qs):
    with_loss = rt.thrust(loads(qs, rt.hover()))
    no_loss_model = ax._QuasiStaticBEMLinear(rt.definition(rt.blade(tip_loss=False)), rt.linear_polar(), rt.N_PSI)
    without = rt.thrust(loads(no_loss_model, rt.hover()))
    assert without > with_loss
    assert without == pytest.approx(with_loss, rel=0.15)


def test_mirrored_cyclic_mirrors_the_hub_moment(qs):
    up = rt.hub_moment(loads(qs, rt.hover(tilt_lat=0.03)))
    down = rt.hub_moment(loads(qs, rt.hover(tilt_lat=-0.03)))
    assert abs(up[0]) > 1.0
    # Lateral cyclic rolls the rotor and nothing else; the opposite tilt the opposite way.
    assert abs(up[1]) < 1e-9 * abs(up[0])
    np.testing.assert_allclose(down[:2], -up[:2], rtol=1e-9, atol=1e-9 * abs(up[0]))
    fwd = rt.hub_moment(loads(qs, rt.hover(tilt_lon=0.03)))
    aft = rt.hub_moment(loads(qs, rt.hover(tilt_lon=-0.03)))
    assert abs(fwd[1]) > 1.0 and abs(fwd[0]) < 1e-9 * abs(fwd[1])
    np.testing.assert_allclose(aft[:2], -fwd[:2], rtol=1e-9, atol=1e-9 * abs(fwd[1]))
    # The two tilts are the same input a quarter turn apart.
    assert abs(fwd[1]) == pytest.approx(abs(up[0]), rel=1e-9)


def test_flight_direction_rotates_the_loads(qs):
    # The rotor is axisymmetric: flying along y instead of x rotates every
    # load a quarter turn about the shaft (36 stations map onto themselves).
    along_x = loads(qs, rt.forward(0.2, heading=(1.0, 0.0)))
    along_y = loads(qs, rt.forward(0.2, heading=(0.0, 1.0)))
    quarter = rt.rotation(yaw_deg=90.0)
    scale = rt.thrust(along_x)
    np.testing.assert_allclose(along_y.F_world, quarter @ along_x.F_world, rtol=1e-9, atol=1e-9 * scale)
    np.testing.assert_allclose(along_y.m_hub_world, quarter @ along_x.m_hub_world, rtol=1e-9, atol=1e-9 * scale)
    assert along_y.Q_spin == pytest.approx(along_x.Q_spin, rel=1e-9)
    # Edgewise flight: the advancing side lifts more, so there is a rolling moment
    # and an in-plane force, and the rotor makes more thrust than in hover.
    m = rt.hub_moment(along_x)
    assert abs(m[0]) > 10.0
    assert np.hypot(*along_x.F_world[:2]) > 0
    assert rt.thrust(along_x) > rt.thrust(loads(qs, rt.hover()))


def test_soft_flapping_hub_carries_little_moment_and_lags_a_quarter_turn(qs):
    inp = rt.forward(0.2)
    rigid = rt.hub_moment(loads(qs, inp))[:2]
    flapping = ax._QuasiStaticBEMLinear(rt.flapping_definition(), rt.linear_polar(), rt.N_PSI)
    soft = rt.hub_moment(loads(flapping, inp))[:2]
    assert 0 < np.linalg.norm(soft) < 0.1 * np.linalg.norm(rigid)
    # Flapping responds about 90 degrees after the aerodynamic forcing.
    cos_angle = np.dot(soft, rigid) / (np.linalg.norm(soft) * np.linalg.norm(rigid))
    assert abs(cos_angle) < 0.5

    # A hinge without any spring transmits no moment, but the flapped disk tilts the thrust.
    hinged = ax._QuasiStaticBEMLinear(rt.flapping_definition(omega_nr=0.0), rt.linear_polar(), rt.N_PSI)
    res = loads(hinged, inp)
    np.testing.assert_allclose(res.m_hub_world, 0.0, atol=1e-9)
    rigid_force = loads(qs, inp).F_world
    assert abs(res.F_world[0] - rigid_force[0]) + abs(res.F_world[1] - rigid_force[1]) > 1e-3

    # In hover there is nothing to flap against: the flapping rotor is the rigid one.
    h_rigid, h_flap = loads(qs, rt.hover()), loads(flapping, rt.hover())
    np.testing.assert_array_equal(h_flap.F_world, h_rigid.F_world)
    assert h_flap.Q_spin == h_rigid.Q_spin


def test_servo_flap_rotor_feathers_to_its_moment_balance(qs):
    # The servo-flap blade settles where the flap's moment equals the restoring
    # moment of the offset aerodynamic centre; in hover it then flies exactly
    # like the directly pitched blade at that pitch.
    servo = ax._QuasiStaticBEMLinear(rt.servoflap_definition(), rt.linear_polar(), rt.N_PSI)
    command = rt.COLLECTIVE / rt.servo_pitch_ratio()
    direct = loads(qs, rt.hover())
    res = loads(servo, rt.hover(collective=command))
    assert rt.thrust(res) == pytest.approx(rt.thrust(direct), rel=1e-9)
    assert res.Q_spin == pytest.approx(direct.Q_spin, rel=1e-9)
    # The balance holds at any spin rate: both moments scale with the dynamic pressure.
    slow_direct = loads(qs, rt.hover(omega=100.0))
    slow_servo = loads(servo, rt.hover(collective=command, omega=100.0))
    assert rt.thrust(slow_servo) == pytest.approx(rt.thrust(slow_direct), rel=1e-9)


def test_stopped_rotor_has_no_loads_anywhere(qs):
    for inp in (rt.hover(omega=0.0), rt.inputs(v_hub=(30.0, 0.0, 0.0), omega=0.0), rt.descent(20.0, omega=0.0)):
        res = loads(qs, inp)
        assert finite(res)
        np.testing.assert_array_equal(res.F_world, 0.0)
        assert res.Q_spin == 0.0


def test_slow_spin_in_edgewise_flow_skips_the_sweep(qs):
    # Below 1 rad/s the rotor is treated as axisymmetric: no in-plane force.
    res = loads(qs, rt.inputs(v_hub=(30.0, 0.0, 0.0), omega=0.5))
    assert finite(res)
    assert res.F_world[0] == 0.0 and res.F_world[1] == 0.0
