"""What the study layer costs on top of the calls it makes.

- ``sweep`` per point against a plain loop over ``Rotor.solve`` (serial, the
  quasi-static model in hover: the cheapest solve, so the overhead shows most).
- ``simulate`` per step against a plain ``step`` loop (Pitt-Peters at dt = 1 ms,
  a constant operating point), the loop keeping each step's result as the least a
  user's own loop would.

Both baselines run in the same process, alternating with the study call, best
of several repeats; the times are the process's CPU time (the work is
single-threaded), which a busy machine disturbs far less than the wall clock.
A study also pays a fixed cost per call, building its Dataset (about a
millisecond or two); it is printed apart from the per-point overhead. Each benchmark also checks that the study returned the same
numbers as its baseline. Nothing here asserts a time.

Run: .venv/bin/python bench/bench_study.py
"""
import time

import numpy as np

import aerlox as ax

REPEATS = 9


def best_pair(baseline, candidate, repeats=REPEATS):
    """Best time of each, the two run alternately so that a busy machine slows both alike."""
    times = ([], [])
    outs = [None, None]
    for _ in range(repeats):
        for i, fn in enumerate((baseline, candidate)):
            t0 = time.process_time()
            outs[i] = fn()
            times[i].append(time.process_time() - t0)
    return min(times[0]), outs[0], min(times[1]), outs[1]


def rotor():
    return ax.Rotor(2, 1.0, [0.10, 0.08, 0.06], [0.0, -4.0, -8.0], ax.Airfoil.linear(5.7, 0.011, 14.0),
                    root_cutout_m=0.15, stations_m=[0.15, 0.6, 1.0], elements=20, azimuth_stations=36)


def bench_sweep(r):
    rpm = np.linspace(1000.0, 1600.0, 30)
    coll = np.linspace(2.0, 12.0, 30)

    def loop():
        thrust = np.empty((rpm.size, coll.size))
        for i, n in enumerate(rpm.tolist()):
            for j, c in enumerate(coll.tolist()):
                thrust[i, j] = r.solve(ax.OperatingPoint(rpm=n, collective_deg=c)).thrust_N
        return thrust

    def study():
        return ax.sweep(r, rpm=rpm, collective_deg=coll, progress=False)

    loop(), study()  # warm the core-model cache and the imports
    t_loop, thrust, t_sweep, ds = best_pair(loop, study)
    assert np.array_equal(ds.thrust_N.values, thrust), "sweep differs from the plain loop"
    n = rpm.size * coll.size
    print(f"sweep, {n} points (bem, hover)")
    print(f"  plain loop over Rotor.solve  {1e6 * t_loop / n:8.2f} us/point")
    print(f"  aerlox.sweep                 {1e6 * t_sweep / n:8.2f} us/point")
    t_one_loop, _, t_one, _ = best_pair(lambda: r.solve(ax.OperatingPoint(rpm=1200.0, collective_deg=8.0)),
                                        lambda: ax.sweep(r, rpm=1200.0, collective_deg=8.0, progress=False), 30)
    fixed = t_one - t_one_loop
    print(f"  overhead                     {100.0 * (t_sweep / t_loop - 1.0):+7.1f} %   (goal < 10 %)")
    print(f"    of which fixed per call    {1e3 * fixed:8.2f} ms; per point "
          f"{100.0 * ((t_sweep - fixed) / t_loop - 1.0):+.1f} %")


def bench_simulate(r):
    op = ax.OperatingPoint.hover(rpm=1300.0, collective_deg=8.0)
    dt, n = 1e-3, 3000
    core = r.core_model("pitt-peters", op)
    state0 = ax.models.equilibrium_state(core, op.to_inputs(), "pitt-peters")

    def loop():
        inputs = op.to_inputs()
        state = state0
        out = []
        for _ in range(n):
            res, state = core.step(inputs, state, dt)
            out.append(res)
        return np.array([-res.F_world[2] for res in out])

    def study():
        return ax.simulate(r, model="pitt-peters", t_end_s=n * dt, dt_s=dt, schedule=op,
                           progress=False, initial_state=state0)

    loop(), study()
    t_loop, thrust, t_sim, ds = best_pair(loop, study)
    assert np.array_equal(ds.thrust_N.values, thrust), "simulate differs from the plain step loop"
    print(f"simulate, {n} steps (pitt-peters, dt = 1 ms)")
    print(f"  plain step loop              {1e6 * t_loop / n:8.2f} us/step")
    print(f"  aerlox.simulate              {1e6 * t_sim / n:8.2f} us/step")
    print(f"  overhead                     {100.0 * (t_sim / t_loop - 1.0):+7.1f} %   (goal < 20 %)")


if __name__ == "__main__":
    r = rotor()
    bench_sweep(r)
    bench_simulate(r)
