"""
A sweep on a Dask cluster
=========================

The same sweep on a local Dask cluster: point the executor at a cluster and nothing else changes.

Needs the 'dask' extra. Writes dask_sweep.png to the working directory.
"""
import numpy as np
from distributed import Client, LocalCluster

import aerlox as ax

if __name__ == "__main__":  # worker processes import this file; only the parent runs the study
    rotor = ax.Rotor(2, 1.0, chord_m=0.08, twist_deg=[7.0, 0.0], stations_m=[0.15, 1.0], root_cutout_m=0.15,
                     airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.011, alpha_stall_deg=14.0))
    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        ds = ax.sweep(rotor, model="pitt-peters", executor=client.get_executor(),
                      rpm=np.linspace(900.0, 1500.0, 7), collective_deg=np.linspace(0.0, 12.0, 25))
    print(f"{ds.attrs['n_points']} points, {ds.attrs['n_failed']} failed; "
          f"identical to the serial run: {ds.identical(ax.sweep(rotor, model='pitt-peters', rpm=ds.rpm.values, collective_deg=ds.collective_deg.values))}")
    ax.plot.sweep(ds, x="collective_deg", y=["CT", "CP"], path="dask_sweep.png")
