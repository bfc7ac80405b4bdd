"""The fast summation beside FMM3D on the same particles.

FMM3D (the fmm3dpy package, installed by `make bench` when PyPI offers it) sums
the singular kernel; the wake's fast summation sums the regularised one. Each
is timed (process CPU time, all threads) at its own tolerance and its error
measured against its own direct sum on a sample of targets: FMM3D against the
singular sum in double precision, aerlox against its direct sum. The cases are
the benchmark's 200k-particle cube (core = spacing) and hover wake, built here
as in bench_fast.cpp. Skipped when fmm3dpy is not installed.

Run: .venv/bin/python bench/bench_fmm3d.py
"""
import math
import os
import time

import numpy as np

from aerlox import fields

N = int(float(os.environ.get("AERLOX_FAST_N", "200000")))
SAMPLE = 1000


def cube(n, seed=3):
    m = max(1, int(round(n ** (1 / 3))))
    h = 1.0 / m
    rng = np.random.default_rng(seed)
    i = np.arange(n)
    grid = np.stack([i % m, (i // m) % m, i // (m * m)], axis=1)
    pos = (grid + 0.5 + 0.25 * rng.uniform(-1, 1, (n, 3))) * h
    return pos, rng.uniform(-1, 1, (n, 3)) * h**3, np.full(n, h)


def hover(n):
    nr = max(4, int(round(math.sqrt(n / 80.0))))
    steps = max(1, n // (2 * nr))
    dpsi = 8 * 2 * math.pi / steps
    h = max(0.85 / nr, 0.8 * dpsi)

    def gamma(r):
        return np.where((r <= 0.15) | (r >= 1.0), 0.0, r * r * np.sqrt(np.clip(1.0 - r, 0.0, None)))

    def at(r, psi, b):
        kappa = 0.78 + 0.22 * np.exp(-psi / 1.5)
        z = np.where(psi < math.pi, -0.02 * psi, -0.02 * math.pi - 0.07 * (psi - math.pi))
        phi = math.pi * b - psi
        return np.stack([r * kappa * np.cos(phi), r * kappa * np.sin(phi), z], axis=-1)

    k, b, j = np.meshgrid(np.arange(steps), np.arange(2), np.arange(nr), indexing="ij")
    k, b, j = k.ravel(), b.ravel(), j.ravel()
    r0, r1 = 0.15 + 0.85 * j / nr, 0.15 + 0.85 * (j + 1) / nr
    r, psi = 0.5 * (r0 + r1), (k + 0.5) * dpsi
    g = (gamma(r0) - gamma(r1))[:, None]
    alpha = g * (at(r, psi + 0.5 * dpsi, b) - at(r, psi - 0.5 * dpsi, b))
    return at(r, psi, b), alpha, np.full(r.size, 1.5 * h)


def singular_sample(pos, alpha, idx):
    """u at pos[idx] from the singular kernel, double precision, self excluded."""
    out = np.zeros((idx.size, 3))
    for s in range(0, idx.size, 50):
        t = idx[s:s + 50]
        d = pos[t][:, None, :] - pos[None, :, :]
        r2 = (d * d).sum(-1)
        r2[np.arange(t.size), t] = np.inf
        c = np.cross(alpha[None, :, :], d)
        out[s:s + 50] = (c / (r2 ** 1.5)[..., None]).sum(1) / (4 * math.pi)
    return out


def rms_rel(a, b):
    return math.sqrt(((a - b) ** 2).sum() / (b**2).sum())


def cpu(f):
    t0 = time.process_time()
    out = f()
    return time.process_time() - t0, out


def main():
    try:
        import fmm3dpy
    except ImportError:
        print("bench_fmm3d: fmm3dpy is not installed; skipped")
        return
    print(f"\nFast summation (regularised kernel) beside FMM3D (singular kernel), {N} particles, CPU s")
    print(f"{'case':6} {'method':22} {'cpu s':>8} {'rms rel':>10}  (each against its own direct sum)")
    for name, (pos, alpha, core) in (("cube", cube(N)), ("hover", hover(N))):
        idx = np.linspace(0, pos.shape[0] - 1, SAMPLE).astype(int)
        t_ref, ref = cpu(lambda: fields.induced_velocity(pos, alpha, core, pos[idx]))
        t_dir = t_ref * pos.shape[0] / SAMPLE
        print(f"{name:6} {'aerlox direct (scaled)':22} {t_dir:8.2f} {'-':>10}")
        for rtol in (1e-2, 1e-3):
            t, u = cpu(lambda: fields.induced_velocity(pos, alpha, core, method="fast", rtol=rtol))
            print(f"{name:6} {'aerlox fast ' + format(rtol, '.0e'):22} {t:8.2f} {rms_rel(u[idx], ref):10.2e}")
        sing = singular_sample(pos, alpha, idx)
        src = np.ascontiguousarray(pos.T)
        for eps in (1e-3, 1e-4):
            t, out = cpu(lambda: fmm3dpy.lfmm3d(eps=eps, sources=src, charges=np.ascontiguousarray(alpha.T),
                                                nd=3, pg=2))
            # FMM3D's Laplace potential carries the 1/(4 pi): psi_c = sum alpha_c / (4 pi r),
            # u = curl psi, grad[c, b, i] = d psi_c / d x_b.
            g = out.grad
            u = np.stack([g[2, 1] - g[1, 2], g[0, 2] - g[2, 0], g[1, 0] - g[0, 1]], axis=1)
            print(f"{name:6} {'FMM3D eps ' + format(eps, '.0e'):22} {t:8.2f} {rms_rel(u[idx], sing):10.2e}")


if __name__ == "__main__":
    main()
