"""
Collective step with dynamic inflow
===================================

A collective step with Pitt-Peters dynamic inflow: thrust overshoots, then the inflow catches up.

Writes pitt_peters_step.png to the working directory.
"""
import aerlox as ax

rotor = ax.Rotor(2, 1.0, chord_m=0.08, twist_deg=[7.0, 0.0], stations_m=[0.15, 1.0], root_cutout_m=0.15,
                 airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.011, alpha_stall_deg=14.0))
hover = ax.OperatingPoint.hover(rpm=1200.0, collective_deg=8.0)
ds = ax.simulate(rotor, model="pitt-peters", t_end_s=0.4, dt_s=1e-3,
                 schedule=lambda t: hover if t < 0.1 else hover.replace(collective_deg=10.0))

print(f"thrust {float(ds.thrust_N[0]):.1f} N -> peak {float(ds.thrust_N.max()):.1f} N "
      f"-> {float(ds.thrust_N[-1]):.1f} N; inflow ratio {float(ds.lambda_0[0]):.4f} -> {float(ds.lambda_0[-1]):.4f}")
ax.plot.history(ds, ["collective_deg", "thrust_N", "torque_Nm", "lambda_0"], path="pitt_peters_step.png")
