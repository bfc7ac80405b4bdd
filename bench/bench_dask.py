"""Speed-up of a sweep on a two-worker local Dask cluster against the same sweep run serially.

A few hundred Oye points (each steps its per-element inflow to equilibrium,
several milliseconds of work), run serially and then through
``distributed.Client(LocalCluster(n_workers=2)).get_executor()``, in the same
run; the cluster's start-up is timed apart. The two Datasets must be identical.
Needs the 'dask' extra. Nothing here asserts a time.

Run: .venv/bin/python bench/bench_dask.py
"""
import os
import time

import numpy as np

import aerlox as ax


def main():
    from distributed import Client, LocalCluster

    rotor = ax.Rotor(2, 1.0, [0.10, 0.08, 0.06], [7.0, 3.0, 0.0], ax.Airfoil.linear(5.7, 0.011, 14.0),
                     root_cutout_m=0.15, stations_m=[0.15, 0.6, 1.0])
    axes = dict(rpm=np.linspace(900.0, 1500.0, 12), collective_deg=np.linspace(0.0, 12.0, 25), climb_m_s=0.5)
    n = axes["rpm"].size * axes["collective_deg"].size
    ax.sweep(rotor, model="oye", rpm=1200.0, collective_deg=6.0, progress=False)  # warm up

    def timed(**kw):
        t0 = time.perf_counter()
        ds = ax.sweep(rotor, model="oye", progress=False, **axes, **kw)
        return time.perf_counter() - t0, ds

    t0 = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        t_start = time.perf_counter() - t0
        executor = client.get_executor()
        ax.sweep(rotor, model="oye", executor=executor, rpm=1200.0, collective_deg=[5.0, 6.0], chunk_size=1,
                 progress=False)
        # Alternate the two, best of three each: other load on the machine then slows both alike.
        t_serial = t_dask = float("inf")
        for _ in range(3):
            t, serial = timed()
            t_serial = min(t_serial, t)
            t, parallel = timed(executor=executor)
            t_dask = min(t_dask, t)
    assert parallel.identical(serial), "the cluster's sweep differs from the serial one"
    print(f"sweep of {n} oye points on {os.cpu_count()} CPUs")
    print(f"  serial                       {t_serial:7.2f} s  ({1e3 * t_serial / n:.2f} ms/point)")
    print(f"  LocalCluster, 2 workers      {t_dask:7.2f} s  (cluster start-up {t_start:.1f} s, not included)")
    print(f"  speed-up                     {t_serial / t_dask:7.2f} x")
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"  (load average {load:.1f} on {os.cpu_count()} CPUs during the run: other work competes for them)")


if __name__ == "__main__":
    main()
