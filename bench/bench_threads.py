"""Speed-up of a sweep on a two-thread pool against the same sweep run serially.

200 Pitt-Peters points (each relaxes its three inflow states to equilibrium,
about a millisecond of work, most of it in the compiled core, which runs
without Python's lock), run serially and through
``concurrent.futures.ThreadPoolExecutor(2)``, alternating the two, best of
several runs each. The two Datasets must be identical. Wall-clock times: the
figure is only meaningful on an otherwise idle machine, so the load average
and each run's CPU time are printed beside it (a threaded run that got both
cores uses about as much CPU time as the serial one in half the wall time).
Nothing here asserts a time.

Run: .venv/bin/python bench/bench_threads.py
"""
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import aerlox as ax

REPEATS = 5


def core_calls_ratio(rotor, axes):
    """Speed-up of the points' equilibrium calls alone (no sweep around them) on two threads."""
    inputs = [ax.OperatingPoint(rpm=r, collective_deg=c).to_inputs()
              for r in axes["rpm"] for c in axes["collective_deg"]]
    core = rotor.core_model("pitt-peters", ax.OperatingPoint(rpm=1200.0))

    def solve(part):
        for inp in part:
            ax.models.equilibrium(core, inp, "pitt-peters")

    half = len(inputs) // 2
    serial = threaded = float("inf")
    with ThreadPoolExecutor(2) as pool:
        for _ in range(REPEATS):
            t0 = time.perf_counter()
            solve(inputs)
            serial = min(serial, time.perf_counter() - t0)
            t0 = time.perf_counter()
            list(pool.map(solve, [inputs[:half], inputs[half:]]))
            threaded = min(threaded, time.perf_counter() - t0)
    return serial / threaded


def main():
    rotor = ax.Rotor(2, 1.0, [0.10, 0.08, 0.06], [7.0, 3.0, 0.0], ax.Airfoil.linear(5.7, 0.011, 14.0),
                     root_cutout_m=0.15, stations_m=[0.15, 0.6, 1.0])
    axes = dict(rpm=np.linspace(900.0, 1500.0, 10), collective_deg=np.linspace(0.0, 12.0, 20))
    n = axes["rpm"].size * axes["collective_deg"].size
    with ThreadPoolExecutor(2) as pool:
        runs = {"serial": {}, "2 threads": {"executor": pool}}
        best = {name: (float("inf"), float("nan")) for name in runs}
        out = {}
        for _ in range(REPEATS):
            for name, kw in runs.items():
                c0, t0 = time.process_time(), time.perf_counter()
                out[name] = ax.sweep(rotor, model="pitt-peters", progress=False, **axes, **kw)
                wall, cpu = time.perf_counter() - t0, time.process_time() - c0
                best[name] = min(best[name], (wall, cpu))
    assert out["2 threads"].identical(out["serial"]), "the threaded sweep differs from the serial one"
    ceiling = core_calls_ratio(rotor, axes)
    print(f"sweep of {n} pitt-peters points on {os.cpu_count()} CPUs, best of {REPEATS} (wall / CPU time)")
    for name, (wall, cpu) in best.items():
        print(f"  {name:<26} {wall:7.3f} s / {cpu:6.3f} s  ({1e3 * wall / n:.2f} ms/point)")
    ratio = best["serial"][0] / best["2 threads"][0]
    print(f"  speed-up                   {ratio:7.2f} x  (identical Datasets)")
    print(f"  the core's equilibrium calls alone, the same points on 2 threads: {ceiling:.2f} x "
          f"(what the machine gives this work)")
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"  (load average {load:.1f} on {os.cpu_count()} CPUs during the run: other work competes for them)")


if __name__ == "__main__":
    main()
