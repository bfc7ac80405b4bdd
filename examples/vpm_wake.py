"""
The vortex-particle wake
========================

The wake of the vortex-particle rotor: a picture, a ParaView series and the loads along the blade.

A two-bladed rotor climbs slowly at a small edgewise speed for eight revolutions
from rest. Writes, into the directory given as the first argument (default: the
working directory):

- vpm_wake.png: the particles coloured by strength, the blades drawn (aerlox.plot.wake);
- vpm_wake.pvd with vpm_wake_steps/: one VTK file per revolution for ParaView;
- vpm_spanwise.png: the Pitt-Peters loads along the blade at the same point.
"""
import math
import pathlib
import sys

import aerlox as ax
from aerlox import export, fields, plot

out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
out.mkdir(parents=True, exist_ok=True)

rotor = ax.Rotor(2, 1.0, chord_m=0.08, twist_deg=[0.0, -8.0], stations_m=[0.15, 1.0], root_cutout_m=0.15,
                 airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.011, alpha_stall_deg=14.0), elements=10)
op = ax.OperatingPoint(rpm=1200.0, collective_deg=8.0, forward_m_s=4.0, climb_m_s=0.5)
steps_per_rev, revolutions = 24, 8
dt = 2.0 * math.pi / (op.omega * steps_per_rev)

core = rotor.core_model("vpm", max_particles=20000)
inputs = op.to_inputs()
state = core.initial_rotor_state()
with export.WakeSeries(out / "vpm_wake.pvd") as series:
    for k in range(1, revolutions * steps_per_rev + 1):
        _, state = core.step(inputs, state, dt)
        if k % steps_per_rev == 0:
            series.add(k * dt, state)

ds = fields.wake_dataset(state, core, time_s=revolutions * steps_per_rev * dt)
print(f"{ds.sizes['particle']} particles after {revolutions} revolutions")
plot.wake(ds, path=out / "vpm_wake.png")
plot.spanwise(rotor.spanwise(op, model="pitt-peters"), "thrust_N", path=out / "vpm_spanwise.png")
