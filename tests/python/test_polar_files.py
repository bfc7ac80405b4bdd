"""Strict polar and blade files, and values that are almost surely in the wrong unit."""
import warnings

import pytest

import aerlox as ax

XFOIL_HEAD = """\
 Calculated polar for: TEST 0012

 Mach =   0.000     Re =     0.250 e 6     Ncrit =   9.000

   alpha    CL        CD       CDp       CM     Top_Xtr  Bot_Xtr
  ------ -------- --------- --------- -------- -------- --------
   0.000   0.0000   0.00600   0.00100   0.0000   0.9000   0.9000
"""

AERODYN_HEAD = """\
! AirfoilInfo
          1   NumTabs           ! Number of airfoil tables in this file.
       0.75   Re                ! Reynolds number in millions
          2   NumAlf            ! Number of data lines in the following table
!    Alpha      Cl      Cd
   -10.00   -0.900   0.0150
"""


@pytest.mark.parametrize("name, text, message", [
    # Each of these used to load with the row dropped, or crash with a message naming no file.
    ("xf.txt", XFOIL_HEAD + "   2.0 0.63 0.0095 extra\n", r"line 8: 'extra' is not a number: '2.0 0.63"),
    ("xf.txt", XFOIL_HEAD + "   4.0 0.84\n", r"line 8: 2 columns, 3 needed: '4.0 0.84'"),
    ("xf.txt", XFOIL_HEAD + "   7,0 1.1 0.012\n", r"line 8: '7,0' is not a number"),
    ("xf.txt", XFOIL_HEAD + "   nan 0.5 0.01\n", r"line 8: alpha is nan"),
    ("xf.txt", XFOIL_HEAD + "   4.0 0.44 -0.007\n", r"line 8: negative drag coefficient cd = -0.007"),
    ("xf.txt", XFOIL_HEAD.replace("0.250 e 6", "1.0 e 400"), r"line 3: the Reynolds number inf is not"),
    ("xf.txt", "".join(XFOIL_HEAD.splitlines(True)[:-1]), r"xf.txt: no polar rows found"),
    ("p.csv", "alpha,cl,cd\n0,0,0.01\n4,0.4\n", r"line 3: 2 columns, 3 needed"),
    ("p.csv", "alpha,cl,cd\n0,0,0.01\nfour,0.4,0.01\n", r"line 3: 'four' is not a number"),
    ("p.csv", "# Re = 1e5\nalpha,cl,cd\n", r"p.csv: no polar rows found"),
    ("a.dat", AERODYN_HEAD.replace("2   NumAlf", "0   NumAlf"), r"line 4: NumAlf must be >= 1, got 0"),
    ("a.dat", AERODYN_HEAD + "   0.0 0.2 zero\n", r"line 7: 'zero' is not a number"),
    ("a.dat", AERODYN_HEAD, r"NumAlf announces 2 rows, the file ends after 1"),
    ("t.csv", "alpha,cl,cd\n0,0,0.01\n1e-320,1,0.01\n", r"t.csv: the lift slope derived .* is inf"),
])
def test_polar_reader_refuses_a_row_it_cannot_read_naming_file_and_line(tmp_path, name, text, message):
    (tmp_path / name).write_text(text)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ax.UnitWarning)
        with pytest.raises(ValueError, match=message) as info:
            ax.Airfoil.read(tmp_path / name)
    assert str(tmp_path / name) in str(info.value)


def test_blade_table_rows_and_tip_radius(tmp_path):
    path = tmp_path / "blade.csv"
    path.write_text("r_m,chord_m,twist_deg\n0.2,0.1,8\n0.6,0.08\n1.0,0.06,0\n")
    with pytest.raises(ValueError, match=r"blade.csv, line 3: 2 columns, 3 needed"):
        ax.Rotor.from_table(path, blades=2, airfoil=ax.Airfoil.linear())
    path.write_text("r_m,chord_m,twist_deg\n0.2,0.1,8\n0.6,0.08,4\n1.0,0.06,0\n")
    # A tip beyond the last row holds its chord and twist; one inside the table is refused.
    rotor = ax.Rotor.from_table(path, blades=2, airfoil=ax.Airfoil.linear(), radius_m=1.2)
    assert rotor.radius_m == 1.2 and rotor.chord_at(1.1) == 0.06
    with pytest.raises(ValueError, match=r"radius_m must be at or beyond the table's last station, r = 1.0 m"):
        ax.Rotor.from_table(path, blades=2, airfoil=ax.Airfoil.linear(), radius_m=0.9)
    path.write_text("r_m,chord_m,twist_deg\n0.2,0.1,8\n0.6,0.0,4\n")
    with pytest.raises(ValueError, match=r"blade.csv: chord_m must be > 0 at station 1"):
        ax.Rotor.from_table(path, blades=2, airfoil=ax.Airfoil.linear())


def test_inertias_take_the_consistent_spelling_and_keep_the_old_one():
    new, old = ax.Flap(inertia_kg_m2=0.3, omega_nr_rad_s=120.0), ax.Flap(inertia_kgm2=0.3, omega_nr_rad_s=120.0)
    assert new == old and old.inertia_kgm2 == old.inertia_kg_m2 == 0.3
    servo = ax.ServoFlap(inertia_kgm2=0.002, damper_Nms_per_rad=0.01, cm_delta_per_rad=-0.5, r_inner_m=0.6,
                         r_outer_m=0.8)
    rotor = ax.Rotor(2, 1.0, 0.08, 5.0, ax.Airfoil.linear(), flap=old, servo_flap=servo)
    data = rotor.to_dict()
    assert data["flap"]["inertia_kg_m2"] == 0.3 and data["servo_flap"]["inertia_kg_m2"] == 0.002
    data["flap"] = {"inertia_kgm2": 0.3, "omega_nr_rad_s": 120.0}  # a file written before the rename
    assert ax.Rotor.from_dict(data) == rotor
    with pytest.raises(TypeError, match="give inertia_kg_m2 or its older spelling inertia_kgm2, not both"):
        ax.Flap(0.3, 120.0, inertia_kgm2=0.3)


def test_unit_mistakes_warn_naming_the_parameter_and_text_is_refused_as_a_number():
    cases = [
        (lambda: ax.OperatingPoint.hover(rpm=1000, collective_deg=286), r"collective_deg=286.0 deg is beyond \+-90"),
        (lambda: ax.OperatingPoint(rpm=1000, cyclic_lat_rad=5.0), r"cyclic_lat_rad=5.0 rad .*degrees given as"),
        (lambda: ax.Airfoil.table([-0.17, 0.0, 0.17], [-1, 0, 1], [0.01] * 3), r"alpha_deg spans only .*radians"),
        (lambda: ax.Airfoil.linear(alpha_stall_deg=0.24), r"alpha_stall_deg=0.24 deg .*13.8 deg if so"),
    ]
    for make, message in cases:
        with pytest.warns(ax.UnitWarning, match=message) as record:
            make()
        assert record[0].filename == __file__  # points at the caller, not the toolkit
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ax.OperatingPoint(rpm=1000, collective_deg=-90, cyclic_lon_rad=0.5)  # the limits themselves pass
    with pytest.raises(ValueError, match="cd must be >= 0 .* at index 1"):
        ax.Airfoil.table([-5, 0, 5], [-0.5, 0, 0.5], [0.01, -0.01, 0.01])
    af = ax.Airfoil.linear()
    for make, message in [(lambda: ax.Rotor(2, "0.5", 0.05, 5.0, af), "radius_m must be a number, got '0.5'"),
                          (lambda: ax.OperatingPoint.hover(rpm="2000"), "rpm must be a number, got '2000'"),
                          (lambda: ax.Rotor(2, 0.5, ["0.05", "0.04"], 5.0, af, stations_m=[0.1, 0.5]),
                           "chord_m must be .* got text among the numbers")]:
        with pytest.raises(TypeError, match=message):
            make()
