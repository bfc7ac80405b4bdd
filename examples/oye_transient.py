"""
Oye transient
=============

Oye's dynamic-inflow BEM through a collective pitch-up and back: the per-element filters lag.

Writes oye_transient.png to the working directory.
"""
import aerlox as ax

rotor = ax.Rotor(3, 1.2, chord_m=[0.12, 0.07], twist_deg=[8.0, 0.0], stations_m=[0.2, 1.2], root_cutout_m=0.2,
                 airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.9, cd0=0.012, alpha_stall_deg=13.0), elements=16)
base = ax.OperatingPoint.hover(rpm=900.0, collective_deg=5.0)
ds = ax.simulate(rotor, model="oye", t_end_s=0.8, dt_s=2e-3, options={"coupling_k": 0.6},
                 schedule=lambda t: base.replace(collective_deg=9.0) if 0.1 <= t < 0.4 else base)

print(f"thrust {float(ds.thrust_N[0]):.1f} N, peak {float(ds.thrust_N.max()):.1f} N, "
      f"{float(ds.thrust_N[-1]):.1f} N at the end (the inflow still settling after the pitch came back); "
      f"tip inflow ratio W {float(ds.W[-1, -1]):.4f}")
ax.plot.history(ds, ["collective_deg", "thrust_N", "W"], path="oye_transient.png")
