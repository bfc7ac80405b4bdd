"""aerlox.fields.induced_velocity: the direct sum against the kernel in double
precision, the fast summation within its rtol, the vortex rotor's wake, the
plane figure, and the checks on every argument."""
import math

import numpy as np
import pytest

import aerlox as ax
import rotors as rt
from aerlox import fields

DT = (2 * math.pi / 36) / rt.OMEGA


def _kernel_double(pos, alpha, core, targets):
    """u and du_i/dx_k of the regularised kernel, in double precision."""
    d = targets[:, None, :] - pos[None, :, :]
    r2 = (d * d).sum(-1)
    s2 = core[None, :] ** 2
    g = (r2 + 2.5 * s2) / (r2 + s2) ** 2.5
    c = np.cross(alpha[None, :, :], d)
    u = (g[..., None] * c).sum(1) / (4 * math.pi)
    # d/dx_k of g (alpha x d)_i = g' d_k (alpha x d)_i + g eps_i.k alpha
    dg = -3.0 * (r2 + 3.5 * s2) / (r2 + s2) ** 3.5
    grad = np.einsum("jp,jpi,jpk->jik", dg, c, d)
    eps = np.zeros((3, 3, 3))
    eps[0, 1, 2] = eps[1, 2, 0] = eps[2, 0, 1] = 1.0
    eps[0, 2, 1] = eps[2, 1, 0] = eps[1, 0, 2] = -1.0
    grad += np.einsum("jp,ilk,pl->jik", g, eps, alpha)
    return u, grad / (4 * math.pi)


def _rms_rel(a, b):
    return math.sqrt(((a - b) ** 2).sum() / (b**2).sum())


def test_direct_and_fast_against_the_kernel():
    rng = np.random.default_rng(3)
    pos = rng.uniform(-1, 1, (3000, 3))
    alpha = rng.uniform(-1, 1, (3000, 3)) * 1e-3
    core = rng.uniform(0.05, 0.1, 3000)
    targets = rng.uniform(-1.5, 1.5, (200, 3))
    u_ref, g_ref = _kernel_double(pos, alpha, core, targets)
    u, g = fields.induced_velocity(pos, alpha, core, targets, gradient=True)
    assert u.dtype == np.float64 and u.shape == (200, 3) and g.shape == (200, 3, 3)
    assert _rms_rel(u, u_ref) < 1e-5 and _rms_rel(g, g_ref) < 1e-5
    for rtol in (1e-2, 1e-3):
        uf, gf = fields.induced_velocity(pos, alpha, core, targets, method="fast", rtol=rtol, gradient=True)
        assert _rms_rel(uf, u_ref) <= rtol
        assert _rms_rel(gf, g_ref) <= 4 * rtol
    # At the particles themselves; one core radius for all.
    u_self = fields.induced_velocity(pos[:50], alpha[:50], 0.07)
    u_ref_self, _ = _kernel_double(pos[:50], alpha[:50], np.full(50, 0.07), pos[:50])
    assert _rms_rel(u_self, u_ref_self) < 1e-5


def test_wake_velocity_and_plane_figure(tmp_path):
    rotor = ax._VpmRotorLinear(rt.definition(rt.blade(n_elements=6)), rt.linear_polar())
    state = rotor.initial_rotor_state()
    for _ in range(6):
        state = rotor.step(rt.forward(0.0), state, DT)[1]
    w = fields.wake_dataset(state)
    pts = np.array([[0.0, 0.0, 0.2], [0.3, 0.1, 0.5]])
    direct = fields.wake_induced_velocity(state, pts, method="direct")
    expected = fields.induced_velocity(w["position_m"].values, w["strength_m3_s"].values,
                                       w["core_radius_m"].values, pts)
    np.testing.assert_array_equal(direct, expected)
    fast = fields.wake_induced_velocity(state, pts, rtol=1e-4)
    assert _rms_rel(fast, direct) <= 1e-4
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from aerlox import plot

    fig = plot.wake_velocity(state, rotor, n=20, path=tmp_path / "v.png")
    assert (tmp_path / "v.png").stat().st_size > 0 and len(fig.axes) == 2
    plt.close("all")
    with pytest.raises(ValueError, match="plane must be"):
        plot.wake_velocity(state, plane="zz")


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"positions_m": np.zeros((2, 2))}, ValueError, r"positions_m must have shape \(n, 3\)"),
    ({"strengths_m3_s": np.zeros((3, 3))}, ValueError, "strengths_m3_s must have shape"),
    ({"core_radii_m": [0.1, 0.0]}, ValueError, "core_radii_m must be > 0, got 0.0 at index 1"),
    ({"core_radii_m": [0.1, math.nan]}, ValueError, "core_radii_m must be finite"),
    ({"positions_m": [[0, 0, 0], [0, math.inf, 0]]}, ValueError, "positions_m must be finite, got inf at row 1"),
    ({"targets_m": "here"}, TypeError, "targets_m must be an array"),
    ({"method": "tree"}, ValueError, "method must be 'direct' or 'fast'"),
    ({"rtol": 0.0}, ValueError, "rtol must be > 0"),
    ({"gradient": "yes"}, TypeError, "gradient must be True or False"),
])
def test_bad_arguments_name_the_parameter(kwargs, exc, message):
    args = {"positions_m": np.zeros((2, 3)), "strengths_m3_s": np.ones((2, 3)), "core_radii_m": 0.1}
    args.update(kwargs)
    with pytest.raises(exc, match=message):
        fields.induced_velocity(**args)
