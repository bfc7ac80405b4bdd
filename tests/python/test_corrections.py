"""Optional airfoil corrections: Prandtl-Glauert lift and the Reynolds-number blend."""
import math

import numpy as np
import pytest

import aerlox as ax
from aerlox.corrections import mach_075, prandtl_glauert, reynolds_blend


def _table(re, cl_scale):
    # Attached to +-10 deg, then a drop: a small stand-in for a measured polar.
    a = np.array([-20.0, -10.0, -5.0, 0.0, 5.0, 10.0, 20.0])
    cl = cl_scale * np.array([-0.6, -1.0, -0.5, 0.0, 0.5, 1.0, 0.7])
    cd = np.array([0.2, 0.03, 0.012, 0.01, 0.012, 0.03, 0.2])
    return ax.Airfoil.table(a, cl, cd, reynolds=re)


def test_prandtl_glauert_scales_attached_lift_only():
    k = 1.0 / math.sqrt(1.0 - 0.6 ** 2)
    lin = prandtl_glauert(ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.011, cl0=0.2), 0.6)
    p = lin.linear_law
    assert p.cl_alpha_per_rad == pytest.approx(5.7 * k) and p.cl0 == pytest.approx(0.2 * k)
    assert p.cd0 == 0.011 and p.alpha_stall_deg == 15.0

    tab = prandtl_glauert(_table(1e5, 1.0), 0.6)
    a, cl, cd = tab.tables[0].arrays()
    np.testing.assert_allclose(cl, [-0.6, -k, -0.5 * k, 0.0, 0.5 * k, k, 0.7])  # stalled rows kept
    np.testing.assert_array_equal(cd, _table(1e5, 1.0).tables[0].arrays()[2])
    assert prandtl_glauert(_table(1e5, 1.0), 0.0) == _table(1e5, 1.0)
    with pytest.raises(ValueError, match="mach"):
        prandtl_glauert(lin, 0.9)

    rotor = ax.Rotor(2, 1.143, 0.1905, 0.0, lin, root_cutout_m=0.19)
    assert mach_075(rotor, ax.OperatingPoint.hover(rpm=1250)) == pytest.approx(
        1250 * 2 * math.pi / 60 * 0.75 * 1.143 / 340.294)


def test_reynolds_blend_interpolates_in_log_reynolds_between_neighbours():
    af = ax.Airfoil.combine(_table(1e5, 1.0), _table(4e5, 1.2), _table(1.6e6, 2.0))
    mid = reynolds_blend(af, 2e5)  # halfway between 1e5 and 4e5 in log(Re)
    assert mid.reynolds == (2e5,)
    _, cl, _ = mid.tables[0].arrays()
    np.testing.assert_allclose(cl, 1.1 * _table(1e5, 1.0).tables[0].arrays()[1])
    assert reynolds_blend(af, 4e5).tables[0].arrays()[1][5] == pytest.approx(1.2)
    # Outside the tables: the end table, as it is.
    assert reynolds_blend(af, 1e4).tables == (af.tables[0],)
    assert reynolds_blend(af, 1e8).tables == (af.tables[-1],)
    with pytest.raises(ValueError, match="reynolds"):
        reynolds_blend(af, -1.0)
