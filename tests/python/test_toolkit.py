"""The toolkit over the core: descriptions, conventions, and solve at every fidelity."""
import math
import pickle
import warnings

import numpy as np
import pytest

import aerlox as ax
import aerlox._aerlox as ae
from aerlox import rotor as rotor_module
from aerlox.models import MODELS, equilibrium_state

RPM = 1150.0
OMEGA = RPM * math.pi / 30.0


def make_rotor(**kw):
    args = dict(root_cutout_m=0.15, stations_m=[0.15, 0.6, 1.0], name="test")
    args.update(kw)
    airfoil = args.pop("airfoil", ax.Airfoil.linear(5.7, 0.011, 14.0))
    return ax.Rotor(2, 1.0, [0.10, 0.08, 0.06], [8.0, 3.0, 0.0], airfoil, **args)


def test_descriptions_round_trip_by_value():
    table = ax.Airfoil.table([-10, 0, 5, 10, 15], [-0.8, 0.2, 0.75, 1.2, 1.1], [0.03, 0.01, 0.012, 0.02, 0.06],
                             reynolds=2e5)
    rotor = make_rotor(airfoil=table, flap=ax.Flap(0.3, 40.0), control=ax.Swashplate(1.0, 10.0),
                       servo_flap=ax.ServoFlap(1e-3, 0.02, -0.5, 0.6, 0.9, 0.01))
    op = ax.OperatingPoint(rpm=RPM, collective_deg=6.0, forward_m_s=10.0, shaft_tilt_deg=4.0)
    for obj in (rotor, table, op):
        back = pickle.loads(pickle.dumps(obj))
        assert back == obj and hash(back) == hash(obj) and back is not obj
    assert ax.Rotor.from_dict(rotor.to_dict()) == rotor
    assert rotor != rotor.replace(elements=21)
    # Core objects given for the sub-records are taken by value.
    assert make_rotor(flap=ae.FlapProperties(0.3, 40.0)) == make_rotor(flap=ax.Flap(0.3, 40.0))
    # The core model is cached per process, and the cache does not travel with the rotor.
    core = rotor.core_model("pitt-peters", op)
    assert rotor.core_model("pitt-peters", op) is core
    assert b"PittPeters" not in pickle.dumps(rotor)
    perf = make_rotor().solve(op.replace(forward_m_s=0.0), model="pitt-peters")
    back = pickle.loads(pickle.dumps(perf))
    assert back == perf and not back.hub_force_N.flags.writeable
    assert list(perf.as_dict()) == ["thrust_N", "torque_Nm", "power_W", "CT", "CQ", "CP", "FM",
                                    "hub_force_N", "hub_moment_Nm", "model", "converged", "diagnostics"]


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(blades=0), "blades must be between 1 and 1024, got 0"),
        (dict(blades=2.5), "blades must be an integer"),
        (dict(radius_m=-1.0), "radius_m must be > 0, got -1.0"),
        (dict(root_cutout_m=1.0), "root_cutout_m must satisfy 0 <= root_cutout_m < radius_m (1.0), got 1.0"),
        (dict(elements=0), "elements must be between 1 and 255, got 0"),
        (dict(elements=256), "elements must be between 1 and 255, got 256"),
        (dict(radius_m=float("inf")), "radius_m must be finite"),
        (dict(twist_deg=[8.0, float("nan"), 0.0]), "twist_deg must be finite, got nan at index 1"),
        (dict(stations_m=[0.15, 0.15, 1.0]), "stations_m must be strictly increasing"),
        (dict(stations_m=[0.1, 0.6, 1.0]), "stations_m must lie within [root_cutout_m, radius_m] = [0.15, 1.0]"),
        (dict(chord_m=[0.1, -0.01, 0.06]), "chord_m must be > 0 at station 1, got -0.01"),
        (dict(chord_m=[0.1, 0.06]), "chord_m has 2 values but stations_m has 3; they must have equal lengths"),
        (dict(stations_m=None), "chord_m is a sequence, so stations_m must give the radius of each value"),
    ],
)
def test_rotor_validation_names_the_field_and_the_rule(changes, message):
    args = dict(blades=2, radius_m=1.0, chord_m=[0.10, 0.08, 0.06], twist_deg=[8.0, 3.0, 0.0],
                root_cutout_m=0.15, stations_m=[0.15, 0.6, 1.0])
    args.update(changes)
    with pytest.raises((ValueError, TypeError)) as err:
        ax.Rotor(args.pop("blades"), args.pop("radius_m"), args.pop("chord_m"), args.pop("twist_deg"),
                 ax.Airfoil.linear(), **args)
    assert message in str(err.value)


def test_errors_of_options_and_coefficients_name_the_argument():
    rotor = make_rotor()
    op = ax.OperatingPoint.hover(rpm=1000.0, collective_deg=5.0)
    with pytest.raises(TypeError, match="model 'oye' has no option 'coupling'; its options: coupling_k"):
        rotor.solve(op, model="oye", coupling=0.5)
    with pytest.raises(TypeError, match="no option 'revolution'.*revolutions, steps_per_revolution"):
        rotor.solve(op, model="vpm", revolution=2)
    with pytest.raises(TypeError, match="cl_alpha_per_rad must be a number, got 'x'"):
        ax.Airfoil.linear(cl_alpha_per_rad="x")


def test_operating_point_speed_and_replace():
    with pytest.raises(ValueError, match="exactly one of rpm and omega_rad_s"):
        ax.OperatingPoint(rpm=100.0, omega_rad_s=10.0)
    with pytest.raises(ValueError, match="rpm must be >= 0"):
        ax.OperatingPoint(rpm=-100.0)
    with pytest.raises(ValueError, match="rho_kg_m3 must be > 0"):
        ax.OperatingPoint(rpm=100.0, rho_kg_m3=0.0)
    op = ax.OperatingPoint.hover(rpm=RPM, collective_deg=5.0)
    assert op.omega == pytest.approx(OMEGA)
    fast = op.replace(omega_rad_s=200.0)
    assert fast.rpm is None and fast.omega == 200.0 and fast.collective_deg == 5.0
    assert fast.replace(rpm=60.0).omega_rad_s is None
    assert ax.OperatingPoint(omega_rad_s=100.0, forward_m_s=20.0).advance_ratio(2.0) == pytest.approx(0.1)


def test_thrust_up_torque_positive_and_figure_of_merit_below_one():
    rotor = make_rotor()
    for model in ("bem", "pitt-peters", "oye"):
        perfs = [rotor.solve(ax.OperatingPoint.hover(rpm=RPM, collective_deg=c), model=model) for c in (2, 5, 8)]
        thrust = [p.thrust_N for p in perfs]
        assert 0.0 < thrust[0] < thrust[1] < thrust[2], model
        for p in perfs:
            assert p.torque_Nm > 0.0 and p.power_W == pytest.approx(p.torque_Nm * OMEGA)
            assert 0.3 < p.FM < 1.0 and p.converged
            # Upright shaft, world z down: the hub force points up, along -z.
            np.testing.assert_allclose(p.hub_force_N, [0.0, 0.0, -p.thrust_N], atol=1e-9 * p.thrust_N)
            area, tip = math.pi, OMEGA * 1.0
            assert p.CT == pytest.approx(p.thrust_N / (1.225 * area * tip**2))
            assert p.CP == pytest.approx(p.CQ)
    # Edgewise flight has no figure of merit; the advancing blade is on the right,
    # so an untrimmed rigid rotor rolls to the left (negative about x forward).
    edge = rotor.solve(ax.OperatingPoint(rpm=RPM, collective_deg=6.0, forward_m_s=20.0), model="pitt-peters")
    assert math.isnan(edge.FM) and edge.hub_moment_Nm[0] < 0.0


def test_uniform_negative_twist_pushes_down_and_washout_pushes_up():
    # A uniform twist is a pitch offset: -8 deg at 6.9 deg collective is -1.1 deg of pitch.
    offset = ax.Rotor(2, 1.0, 0.08, -8.0, ax.Airfoil.linear(5.7, 0.011, 14.0), root_cutout_m=0.15)
    washout = ax.Rotor(2, 1.0, 0.08, [0.0, -8.0], ax.Airfoil.linear(5.7, 0.011, 14.0), root_cutout_m=0.15,
                       stations_m=[0.15, 1.0])
    op = ax.OperatingPoint.hover(omega_rad_s=120.0, collective_deg=math.degrees(0.12))
    down = offset.solve(op)
    # The washout's tip element, near zero pitch, does not settle within the element
    # solver's iterations; the result says so instead of claiming convergence.
    with pytest.warns(RuntimeWarning, match="did not balance their momentum"):
        up = washout.solve(op)
    assert down.thrust_N < 0.0 < up.thrust_N and not up.converged


def _core_by_hand(rotor, cls, *extra):
    """The rotor built straight from the core classes, without the toolkit."""
    blade = ae.BladeGeometry(2, 1.0, 0.15, 0.08, 0.0, 20, [0.15, 0.6, 1.0], [0.10, 0.08, 0.06],
                             [8.0, 3.0, 0.0], True)
    defn = ae.RotorDefinition(blade, ae.LinearPolarParameters(0.0, 5.7, 0.011, 14.0), None, "hand", "")
    return cls(defn, ae.LinearPolar(0.0, 5.7, 0.011, math.radians(14.0)), 36, *extra)


@pytest.mark.parametrize("model, cls, extra", [
    ("bem", ae._QuasiStaticBEMLinear, ()),
    ("pitt-peters", ae._PittPetersModelLinear, ()),
    ("oye", ae._OyeBEMModelLinear, (0.0,)),
])
def test_solve_equals_the_core_call_at_its_equilibrium(model, cls, extra):
    # The toolkit's section polar with one airfoil reads it as the plain polar
    # does, so without the opt-in refinements every number is the core's own.
    rotor = make_rotor()
    op = ax.OperatingPoint(rpm=RPM, collective_deg=7.0, climb_m_s=2.0, forward_m_s=4.0, shaft_tilt_deg=3.0,
                           cyclic_lon_rad=0.01, cyclic_lat_rad=-0.02)
    perf = rotor.solve(op, model=model, **({"consistent_swirl": False} if model == "bem" else {}))
    # The frames by hand: hub x aft, y left, z down along the shaft; nose-down tilt.
    t = math.radians(3.0)
    r_hub = np.array([[math.cos(t), 0, -math.sin(t)], [0, 1, 0], [math.sin(t), 0, math.cos(t)]]) @ np.diag([-1, -1, 1.0])
    inputs = ae.RotorInputs(math.radians(7.0), 0.01, -0.02, r_hub, np.array([4.0, 0.0, -2.0]), np.zeros(3),
                            OMEGA, 1.225)
    core = _core_by_hand(rotor, cls, *extra)
    state = equilibrium_state(core, inputs, model)
    result, _ = core.compute_forces(inputs, state)
    assert perf.thrust_N == pytest.approx(-float(result.F_world @ r_hub[:, 2]), rel=1e-12)
    assert perf.torque_Nm == pytest.approx(result.Q_spin, rel=1e-12)
    np.testing.assert_allclose(perf.hub_force_N, result.F_world, rtol=1e-12)
    np.testing.assert_allclose(perf.hub_moment_Nm, result.m_hub_world, rtol=1e-12, atol=1e-12)
    if model != "bem":
        # At equilibrium every inflow state sits on its target.
        _, deriv = core.compute_forces(inputs, state)
        assert np.max(np.abs(deriv.to_array() * core.inflow_taus(inputs, state))) < 1e-9


def test_bem_warns_once_in_edgewise_flight(monkeypatch):
    monkeypatch.setattr(rotor_module, "_warned_bem_edgewise", False)
    rotor = make_rotor()
    fast = ax.OperatingPoint(rpm=RPM, collective_deg=6.0, forward_m_s=0.1 * OMEGA)
    with pytest.warns(RuntimeWarning, match="pitt-peters"):
        rotor.solve(fast)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rotor.solve(fast)
        rotor.solve(fast.replace(forward_m_s=0.04 * OMEGA), model="bem")
    # Trimming does not cure it: a trim with the quasi-static model warns alike, in a sweep on every point.
    monkeypatch.setattr(rotor_module, "_warned_bem_edgewise", False)
    with pytest.warns(RuntimeWarning, match="advance ratio 0.1: its momentum balance uses the axial flow only"):
        rotor.trim(fast, model="bem")
    with pytest.warns(RuntimeWarning, match=r"\[1 of 2 sweep points"):
        ds = ax.sweep(rotor, rpm=RPM, collective_deg=6.0, forward_m_s=[0.0, 0.2 * OMEGA], trim_moment_Nm=(0, 0))
    assert [bool(w) for w in ds.warning.values] == [False, True]


def test_sweep_records_the_edgewise_warning_on_every_point_whatever_was_warned_before(monkeypatch):
    # The once-only warning of direct solve calls must not leak into a sweep's
    # per-point record, or the record would depend on the worker's history.
    monkeypatch.setattr(rotor_module, "_warned_bem_edgewise", True)
    with pytest.warns(RuntimeWarning, match=r"\[2 of 3 sweep points"):
        ds = ax.sweep(make_rotor(), rpm=RPM, collective_deg=6.0, forward_m_s=[0.0, 0.1 * OMEGA, 0.2 * OMEGA])
    assert [bool(w) for w in ds.warning.values] == [False, True, True]


@pytest.mark.parametrize("mu", [0.1, 0.3])
def test_trimmed_pitt_peters_follows_glauert_in_forward_flight(mu):
    rotor = make_rotor()
    op, perf = rotor.trim(ax.OperatingPoint(rpm=RPM, collective_deg=8.0, forward_m_s=mu * OMEGA))
    assert perf.converged and np.all(np.abs(perf.hub_moment_Nm[:2]) < 0.05)
    state = equilibrium_state(rotor.core_model("pitt-peters", op), op.to_inputs(), "pitt-peters")
    # Glauert: lambda_i = CT / (2 sqrt(mu^2 + lambda_i^2)) with an edgewise disk.
    lam = perf.CT / (2.0 * mu)
    for _ in range(100):
        lam = perf.CT / (2.0 * math.sqrt(mu * mu + lam * lam))
    assert state.lambda_0 == pytest.approx(lam, rel=0.02)


def test_vortex_rotor_default_cap_keeps_the_whole_wake():
    rotor = make_rotor(elements=6)
    op = ax.OperatingPoint.hover(rpm=RPM, collective_deg=6.0)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        perf = rotor.solve(op, model="vpm", revolutions=2, steps_per_revolution=12)
    texts = [str(w.message) for w in seen]
    assert perf.model == "vpm" and perf.thrust_N > 0.0 and perf.torque_Nm > 0.0
    assert not any("max_particles" in t for t in texts), texts
    # Two revolutions from rest are not settled, and the verdict says so.
    assert not perf.converged and any("not settled" in t for t in texts)
    # A cap below the run's wake drops particles and is reported.
    with pytest.warns(RuntimeWarning, match="max_particles=200"):
        rotor.solve(op, model="vpm", revolutions=2, steps_per_revolution=12, max_particles=200,
                    settle_tolerance=10.0)


def test_models_table_names_the_core_classes():
    assert list(MODELS) == ["bem", "pitt-peters", "oye", "vpm"]
    assert MODELS["vpm"].linear_cls is ae._VpmRotorLinear and not MODELS["vpm"].single_shot
    with pytest.raises(ValueError, match="model must be one of 'bem', 'pitt-peters', 'oye', 'vpm'"):
        make_rotor().solve(ax.OperatingPoint.hover(rpm=RPM), model="momentum")


def test_readme_first_result_runs(capsys):
    import pathlib
    import re

    readme = pathlib.Path(__file__).resolve().parents[2] / "README.md"
    code = re.search(r"## A first result\s+```python\n(.*?)```", readme.read_text(), re.S).group(1)
    exec(compile(code, "README.md", "exec"), {})
    out = capsys.readouterr().out
    m = re.fullmatch(r"thrust (\S+) N, power (\S+) W, FM (\S+)\n", out)
    assert m and float(m.group(1)) > 0.0 and float(m.group(2)) > 0.0 and 0.0 < float(m.group(3)) < 1.0


XFOIL_POLAR = """\
       XFOIL         Version 6.99

 Calculated polar for: TEST 0012

 1 1 Reynolds number fixed          Mach number fixed

 xtrf =   1.000 (top)        1.000 (bottom)
 Mach =   0.000     Re =     0.250 e 6     Ncrit =   9.000

   alpha    CL        CD       CDp       CM     Top_Xtr  Bot_Xtr
  ------ -------- --------- --------- -------- -------- --------
   0.000   0.0000   0.00600   0.00100   0.0000   0.9000   0.9000
   4.000   0.4400   0.00700   0.00200   0.0000   0.7000   0.9500
   8.000   0.8700   0.01000   0.00400   0.0000   0.2000   1.0000
  -4.000  -0.4400   0.00700   0.00200   0.0000   0.9500   0.7000
  12.000   1.1000   0.02000   0.01200   0.0000   0.0500   1.0000
"""

AERODYN_POLAR = """\
! ------------ AirfoilInfo v1.01.x Input File ----------------------------------
! a test section
! ------------------------------------------------------------------------------
"DEFAULT"     InterpOrd         ! Interpolation order
          1   NonDimArea        ! The non-dimensional area
          0   NumCoords         ! The number of coordinates
          1   NumTabs           ! Number of airfoil tables in this file.
! ------------------------------------------------------------------------------
       0.75   Re                ! Reynolds number in millions
          0   UserProp          ! User property
      False   InclUAdata        ! Is unsteady aerodynamics data included?
          4   NumAlf            ! Number of data lines in the following table
!    Alpha      Cl      Cd        Cm
!    (deg)      (-)     (-)       (-)
   -10.00   -0.900   0.0150    0.0000
     0.00    0.200   0.0080    0.0000
    10.00    1.250   0.0160    0.0000
    20.00    1.000   0.1500    0.0000
"""

AERODYN_BLADE = """\
------- AERODYN v15.00.* BLADE DEFINITION INPUT FILE -------------------------------------
test blade
======  Blade Properties =================================================================
          3   NumBlNds           - Number of blade nodes used in the analysis (-)
   BlSpn        BlCrvAC        BlSwpAC        BlCrvAng       BlTwist        BlChord          BlAFID
    (m)           (m)            (m)            (deg)          (deg)           (m)             (-)
0.0000000E+00  0.0000000E+00  0.0000000E+00  0.0000000E+00  1.0000000E+01  2.0000000E-01           1
4.0000000E-01  0.0000000E+00  0.0000000E+00  0.0000000E+00  5.0000000E+00  1.5000000E-01           1
8.0000000E-01  0.0000000E+00  0.0000000E+00  0.0000000E+00  0.0000000E+00  1.0000000E-01           1
"""


def test_readers_on_small_files(tmp_path):
    (tmp_path / "xfoil.txt").write_text(XFOIL_POLAR)
    (tmp_path / "polar.dat").write_text(AERODYN_POLAR)
    (tmp_path / "polar.csv").write_text("# Re = 1.5e6\nalpha_deg,cd,cl\n-8,0.02,-0.7\n0,0.01,0.1\n8,0.02,0.9\n")
    xf = ax.Airfoil.read(tmp_path / "xfoil.txt")
    (table,) = xf.tables
    # Rows come back sorted; CL and CD are taken by column name.
    assert table.alpha_deg == (-4.0, 0.0, 4.0, 8.0, 12.0) and table.cd[0] == 0.007
    assert table.reynolds == 250000.0 and xf.name == "TEST 0012"
    # The linear law: lift slope over -5..5 deg, minimum drag, angle of maximum lift.
    p = table.parameters
    assert p.cl_alpha_per_rad == pytest.approx(0.11 * 180 / math.pi) and p.cl0 == pytest.approx(0.0, abs=1e-12)
    assert (p.cd0, p.alpha_stall_deg) == (0.006, 12.0)
    ad = ax.Airfoil.read(tmp_path / "polar.dat")
    assert ad.tables[0].reynolds == 750000.0 and ad.tables[0].cl == (-0.9, 0.2, 1.25, 1.0)
    csv_af = ax.Airfoil.read(tmp_path / "polar.csv")
    assert csv_af.tables[0].reynolds == 1.5e6 and csv_af.tables[0].cl == (-0.7, 0.1, 0.9)
    # Several files form one airfoil; a rotor picks the table nearest its Reynolds number at 0.75 R.
    both = ax.Airfoil.read([tmp_path / "xfoil.txt", tmp_path / "polar.dat"])
    assert both.reynolds == (250000.0, 750000.0)
    rotor = ax.Rotor(2, 1.0, 0.08, 5.0, both)
    slow, fast = ax.OperatingPoint.hover(rpm=400), ax.OperatingPoint.hover(rpm=1600)
    assert rotor.reynolds_075(fast) == pytest.approx(1.225 * 0.75 * 1600 * math.pi / 30 * 0.08 / 1.789e-5)
    assert rotor.polar(slow).cl_cd(math.radians(4.0))[0] == pytest.approx(0.44)
    assert rotor.polar(fast).cl_cd(math.radians(10.0))[0] == pytest.approx(1.25)
    assert rotor.definition(fast).airfoil.CL0 == pytest.approx(ad.tables[0].parameters.cl0)

    (tmp_path / "blade.csv").write_text("r_m,chord_m,twist_deg\n0.2,0.1,8\n0.6,0.08,4\n1.0,0.06,0\n")
    (tmp_path / "blade.dat").write_text(AERODYN_BLADE)
    from_csv = ax.Rotor.from_table(tmp_path / "blade.csv", blades=3, airfoil=ax.Airfoil.linear())
    assert (from_csv.radius_m, from_csv.root_cutout_m, from_csv.twist_deg) == (1.0, 0.2, (8.0, 4.0, 0.0))
    from_ad = ax.Rotor.from_table(tmp_path / "blade.dat", blades=3, airfoil=ax.Airfoil.linear(), hub_radius_m=0.2)
    # BlSpn runs from the root; BlTwist (towards feather) comes back with our sign.
    assert from_ad.stations_m == pytest.approx((0.2, 0.6, 1.0)) and from_ad.twist_deg == (-10.0, -5.0, -0.0)
    assert from_ad.chord_m == (0.2, 0.15, 0.1)


def test_viterna_extension_is_continuous_at_the_table_ends():
    alpha = np.arange(-12.0, 16.5, 1.0)
    cl = np.clip(0.2 + 0.1 * alpha, -0.9, 1.4)
    cd = 0.008 + 0.0004 * alpha**2
    base = ax.Airfoil.table(alpha, cl, cd, reynolds=1e6)
    full = base.extrapolated(cd_max=1.8)
    (table,) = full.tables
    assert table.alpha_deg[0] == -180.0 and table.alpha_deg[-1] == 180.0
    assert table.parameters == base.tables[0].parameters
    for end, cl_end, cd_end in ((16.0, cl[-1], cd[-1]), (-12.0, cl[0], cd[0])):
        step = 1e-6 if end > 0 else -1e-6
        lift, drag = full.cl_cd(np.array([end + step, end + 1000 * step]))
        assert lift[0] == pytest.approx(cl_end, abs=1e-5) and drag[0] == pytest.approx(cd_end, abs=1e-5)
        # The extension itself leaves the end row smoothly (no jump in the first 0.001 deg).
        assert abs(lift[1] - cl_end) < 1e-3 and abs(drag[1] - cd_end) < 1e-3
    lift, drag = full.cl_cd(np.array([-180.0, -90.0, 90.0, 180.0]))
    np.testing.assert_allclose(lift, 0.0, atol=1e-9)
    np.testing.assert_allclose(drag, [cd.min(), 1.8, 1.8, cd.min()])
