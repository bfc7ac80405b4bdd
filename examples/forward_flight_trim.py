"""
Trimmed forward flight
======================

The cyclic that zeroes the hub moment, and the power it costs, against speed.

Writes forward_flight_trim.png to the working directory.
"""
import numpy as np

import aerlox as ax

rotor = ax.Rotor(4, 1.0, chord_m=0.07, twist_deg=[7.0, 0.0], stations_m=[0.15, 1.0], root_cutout_m=0.15,
                 airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.011, alpha_stall_deg=14.0))
ds = ax.sweep(rotor, model="pitt-peters", trim_moment_Nm=(0.0, 0.0), rpm=1300.0, collective_deg=9.0,
              shaft_tilt_deg=4.0, forward_m_s=np.linspace(0.0, 40.0, 9))

for v, lon, lat, p in zip(ds.forward_m_s.values, ds.trim_cyclic_lon_rad.values, ds.trim_cyclic_lat_rad.values,
                          ds.power_W.values):
    print(f"{v:5.1f} m/s  cyclic lon {np.degrees(lon):+6.2f} deg  lat {np.degrees(lat):+6.2f} deg  power {p:7.0f} W")
# The figure shows the cyclic in degrees, as printed above.
for name in ("trim_cyclic_lon", "trim_cyclic_lat"):
    ds[f"{name}_deg"] = np.degrees(ds[f"{name}_rad"]).assign_attrs(units="deg", long_name=ds[f"{name}_rad"].long_name)
ax.plot.sweep(ds, x="forward_m_s", y=["trim_cyclic_lon_deg", "trim_cyclic_lat_deg", "power_W"],
              path="forward_flight_trim.png")
