"""
Hover sweep
===========

Thrust, power and figure of merit against collective at three speeds.

Writes hover_sweep.png to the working directory.
"""
import numpy as np

import aerlox as ax

rotor = ax.Rotor(2, 1.0, chord_m=0.08, twist_deg=[7.0, 0.0], stations_m=[0.15, 1.0], root_cutout_m=0.15,
                 airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.011, alpha_stall_deg=14.0), name="hover-2b")
ds = ax.sweep(rotor, rpm=[1000.0, 1200.0, 1400.0], collective_deg=np.linspace(2.0, 14.0, 13))

best = ds.FM.where(ds.error == "").argmax(...)
print(f"best figure of merit {float(ds.FM[best]):.3f} at {float(ds.collective_deg[best['collective_deg']]):g} deg, "
      f"{float(ds.rpm[best['rpm']]):g} rpm; thrust there {float(ds.thrust_N[best]):.1f} N")
ax.plot.sweep(ds, x="collective_deg", y=["thrust_N", "power_W", "FM"], path="hover_sweep.png")
