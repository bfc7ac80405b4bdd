"""
Vortex-particle rotor from rest
===============================

The vortex-particle rotor started from rest in hover: the starting vortex leaves and the thrust falls.
Four revolutions keep this quick; the thrust settles after about nine (docs/models.md).

Writes vpm_hover_from_rest.png (the history) and vpm_hover_wake.png (the final wake) to the working directory.
"""
import math

import aerlox as ax

rotor = ax.Rotor(2, 1.0, chord_m=0.08, twist_deg=[7.0, 0.0], stations_m=[0.15, 1.0], root_cutout_m=0.15,
                 airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.011, alpha_stall_deg=14.0), elements=12)
hover = ax.OperatingPoint.hover(rpm=1200.0, collective_deg=8.0)
revolutions, steps_per_rev = 4, 24
dt = 2.0 * math.pi / (hover.omega * steps_per_rev)
n_steps = revolutions * steps_per_rev
ds = ax.simulate(rotor, model="vpm", t_end_s=n_steps * dt, dt_s=dt, schedule=hover, record={"wake": n_steps})

print(f"thrust after {revolutions} revolutions {float(ds.thrust_N[-steps_per_rev:].mean()):.1f} N "
      f"(bem: {rotor.solve(hover).thrust_N:.1f} N), {int(ds.n_particles[-1])} particles")
ax.plot.history(ds, ["thrust_N", "torque_Nm", "n_particles"], path="vpm_hover_from_rest.png")
ax.plot.wake(ax.study.wake_at(ds), path="vpm_hover_wake.png")
