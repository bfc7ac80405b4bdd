"""Ctrl-C during long native calls, and worker threads the system refuses.

Both run in a child interpreter: the first receives a real SIGINT from this
process, the second lowers its own address-space limit."""
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import run_isolated

HERE = os.path.dirname(os.path.abspath(__file__))

# Each call below would run for years if nothing stopped it. The child says
# "ready" just before a call; the parent then sends SIGINT.
CHILD = f"""
import sys
sys.path.insert(0, {HERE!r})
import numpy as np
import aerlox as ax
import rotors as rt

oye = rt.make_model("_OyeBEMModelLinear")
pp = rt.make_model("_PittPetersModelLinear")
start = oye.initial_rotor_state()
short = ax.relax_inflow_py(oye, start, rt.hover(), n_steps=5)
calls = {{
    "relax": lambda: ax.relax_inflow_py(oye, start, rt.hover(), n_steps=2**62),
    "trim": lambda: ax.solve_trim_cyclic_py(pp, pp.initial_rotor_state(), rt.hover(),
                                            target_moment=(1e9, 1e9), max_iterations=2**62,
                                            n_inflow_relax=2**40),
}}
for name, call in calls.items():
    try:
        print("ready", name, flush=True)
        call()
        print("returned", name, flush=True)
    except KeyboardInterrupt:
        # Nothing changed, nothing half-done: the same call gives the same answer.
        assert np.array_equal(start.to_array(), np.zeros(2 * rt.N_ELEMENTS))
        again = ax.relax_inflow_py(oye, start, rt.hover(), n_steps=5)
        assert np.array_equal(again.to_array(), short.to_array())
        print("interrupted", name, flush=True)
"""


def test_ctrl_c_stops_long_native_calls_and_leaves_everything_usable():
    p = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    seen = []
    try:
        for name in ("relax", "trim"):
            assert p.stdout.readline().split() == ["ready", name]
            time.sleep(0.2)  # well inside the native loop
            p.send_signal(signal.SIGINT)
            seen.append(p.stdout.readline().split())
        _, err = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            p.kill()
    assert seen == [["interrupted", "relax"], ["interrupted", "trim"]], err
    assert p.returncode == 0, err


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="the pool has no worker threads on one CPU")
def test_worker_threads_that_cannot_start_raise_memory_error():
    # Just above what is mapped, a thread stack cannot be mapped. The pool
    # starts once the wake is large enough to share out; with room again it
    # starts and the run goes on.
    proc = run_isolated(f"""
        import resource, sys
        sys.path.insert(0, {HERE!r})
        import aerlox as ax
        import rotors as rt
        r = ax._VpmRotorLinear(rt.definition(rt.blade(n_elements=40)), rt.linear_polar())
        s = r.initial_rotor_state()
        status = lambda key: next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(key))
        threads = status("Threads:")
        vm_kb = status("VmSize:")
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, ((vm_kb + 2048) * 1024, hard))
        outcome = "no error"
        try:
            for _ in range(20):
                _, s = r.step(rt.hover(), s, 0.002)
        except BaseException as e:
            outcome = type(e).__name__
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        n = s.n_particles
        for _ in range(3):
            _, s = r.step(rt.hover(), s, 0.002)
        print(outcome, s.n_particles > n, status("Threads:") > threads)
    """)
    assert proc.stdout.split() == ["MemoryError", "True", "True"], proc.stderr


def test_other_threads_run_during_a_native_call_and_their_ctrl_c_stops_it():
    # A call that never ends on its own: the other thread can only run (and
    # send the interrupt) if the call gave up the interpreter lock, and the
    # interrupt can only land if the call still checks for it without the lock.
    proc = run_isolated(f"""
        import os, signal, sys, threading
        sys.path.insert(0, {HERE!r})
        import aerlox as ax
        import rotors as rt
        pp = rt.make_model("_PittPetersModelLinear")
        start = pp.initial_rotor_state()
        calling = threading.Event()
        def interrupter():
            calling.wait()
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupter, daemon=True).start()
        try:
            calling.set()
            ax.relax_inflow_py(pp, start, rt.hover(), n_steps=2**62)
        except KeyboardInterrupt:
            print("interrupted", start.to_array().tolist())
    """)
    assert proc.stdout.split() == ["interrupted", "[0.0,", "0.0,", "0.0]"], proc.stderr
