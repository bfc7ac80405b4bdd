"""Installs the built wheel as a user would and runs the smoke test.

A fresh virtual environment whose bin/ is all there is on PATH (so no compiler
to fall back on; binary packages only), the wheel installed into it, then
wheel_smoke.py run from a directory outside the source tree.

Usage: python wheel_check.py DIST_DIR VENV_DIR WORK_DIR
"""
import glob
import os
import shutil
import subprocess
import sys
import time
import venv

dist, env_dir, work = (os.path.abspath(a) for a in sys.argv[1:4])
wheels = glob.glob(os.path.join(dist, "aerlox-*.whl"))
if len(wheels) != 1:
    sys.exit(f"expected one aerlox wheel in {dist}, found {wheels}")
wheel = wheels[0]

shutil.rmtree(env_dir, ignore_errors=True)
shutil.rmtree(work, ignore_errors=True)
venv.create(env_dir, with_pip=True)
os.makedirs(work)
shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "wheel_smoke.py"), work)

bin_dir = os.path.join(env_dir, "bin")
env = {"PATH": bin_dir, "HOME": os.environ.get("HOME", work), "LANG": "C.UTF-8"}
found = [c for c in ("cc", "c++", "gcc", "g++", "clang") if shutil.which(c, path=bin_dir)]
if found:
    sys.exit(f"a compiler is on the smoke test's PATH: {found}")
python = os.path.join(bin_dir, "python")

t0 = time.perf_counter()
subprocess.run([python, "-m", "pip", "install", "-q", "--only-binary=:all:", wheel], env=env, cwd=work, check=True)
print(f"pip install {os.path.basename(wheel)} ({os.path.getsize(wheel) / 1024:.0f} KiB) into a fresh "
      f"environment, dependencies included: {time.perf_counter() - t0:.1f} s", flush=True)
subprocess.run([python, "wheel_smoke.py"], env=env, cwd=work, check=True)
