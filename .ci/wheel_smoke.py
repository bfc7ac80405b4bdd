"""Smoke test of an installed aerlox wheel, run from outside the source tree.

Prints the import time, where aerlox was imported from, and the README's first
result, which it checks (keep the two in step); then a two-thread Pitt-Peters
sweep against serial.
"""
import sys
import time

t0 = time.perf_counter()
import aerlox as ax  # noqa: E402

import_s = time.perf_counter() - t0

from concurrent.futures import ThreadPoolExecutor  # noqa: E402

import numpy as np  # noqa: E402

print(f"import aerlox: {1e3 * import_s:.0f} ms, from {ax.__file__}")
print(f"aerlox {ax.__version__}, numpy {np.__version__}, wake kernel {ax.kernel_isa()}, "
      f"{ax.num_threads()} worker threads")
if "site-packages" not in ax.__file__:
    sys.exit("aerlox was not imported from the installed wheel")

rotor = ax.Rotor(blades=2, radius_m=1.0, chord_m=0.08, twist_deg=[8.0, 0.0],
                 airfoil=ax.Airfoil.linear(cl_alpha_per_rad=5.7, cd0=0.011, alpha_stall_deg=14.0),
                 root_cutout_m=0.15, stations_m=[0.15, 1.0])
perf = rotor.solve(ax.OperatingPoint.hover(rpm=1150, collective_deg=6.0))
line = f"thrust {perf.thrust_N:.1f} N, power {perf.power_W:.0f} W, FM {perf.FM:.3f}"
print(line)
if line != "thrust 208.0 N, power 1637 W, FM 0.660":
    sys.exit("the README's first result differs")

axes = dict(model="pitt-peters", rpm=[1000.0, 1200.0], collective_deg=np.linspace(2.0, 10.0, 5), progress=False)
serial = ax.sweep(rotor, **axes)
with ThreadPoolExecutor(2) as pool:
    threaded = ax.sweep(rotor, executor=pool, chunk_size=1, **axes)
print(f"pitt-peters sweep of {serial.attrs['n_points']} points, two threads identical to serial: "
      f"{threaded.identical(serial)}")
if not threaded.identical(serial):
    sys.exit("the threaded sweep differs")
print("smoke test passed")
