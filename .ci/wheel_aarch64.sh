#!/usr/bin/env bash
# The aarch64 wheel, cross-built on an x86-64 machine and smoke-tested under
# qemu-user: what this machine can prove of the wheel an aarch64 builder makes.
#
# - the module is cross-compiled with Debian's aarch64 toolchain through the
#   same scikit-build-core build (the target's Python headers come from
#   Debian's arm64 packages, NumPy's from its aarch64 wheel);
# - auditwheel checks it and tags it manylinux;
# - Debian's arm64 CPython (unpacked into a private root, nothing installed
#   system-wide) runs the smoke test under qemu-aarch64, with the wheel and
#   the dependencies' aarch64 wheels from the package index.
#
# Usage: .ci/wheel_aarch64.sh VENV_PYTHON BUILD_DIR   (as `make wheel-aarch64`)
set -euo pipefail
vpy=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")   # the venv's python, not what it links to
build=$(realpath -m "$2")
root=$build/aarch64-python            # the target's Python, headers and packages
pyver=$("$vpy" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
abi=cp${pyver/./}

need=(g++-aarch64-linux-gnu qemu-user)
dpkg -s "${need[@]}" >/dev/null 2>&1 || {
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null; }
dpkg --print-foreign-architectures | grep -qx arm64 || { dpkg --add-architecture arm64 && apt-get update -qq; }

if [ ! -x "$root/sys/usr/bin/python$pyver" ]; then
  rm -rf "$root" && mkdir -p "$root/debs"
  (cd "$root/debs" && apt-get download -qq \
    python$pyver-minimal:arm64 libpython$pyver-minimal:arm64 libpython$pyver-stdlib:arm64 \
    libpython$pyver-dev:arm64 libc6:arm64 libgcc-s1:arm64 libstdc++6:arm64 libexpat1:arm64 zlib1g:arm64 \
    libffi8:arm64 libssl3:arm64 libbz2-1.0:arm64 liblzma5:arm64 libsqlite3-0:arm64 libncursesw6:arm64 \
    libtinfo6:arm64 libreadline8:arm64 libuuid1:arm64 libcrypt1:arm64 libnsl2:arm64 libtirpc3:arm64 \
    libdb5.3:arm64 libgssapi-krb5-2:arm64 libkrb5-3:arm64 libk5crypto3:arm64 libkrb5support0:arm64 \
    libcom-err2:arm64 libkeyutils1:arm64)
  for deb in "$root"/debs/*.deb; do dpkg -x "$deb" "$root/sys"; done
fi

site=$root/env/site-packages
target_pip=("$vpy" -m pip install -q --target "$site" --python-version "$pyver" --implementation cp --abi "$abi"
            --only-binary=:all: --platform manylinux_2_17_aarch64 --platform manylinux2014_aarch64
            --platform manylinux_2_28_aarch64 --platform manylinux_2_35_aarch64)
rm -rf "$root/env" && mkdir -p "$site"
"${target_pip[@]}" "numpy>=1.23" "xarray>=2023.1" "tqdm>=4.60" "scipy>=1.9"

rm -rf "$build/wheel-aarch64" "$build/dist-aarch64"
env CMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" _PYTHON_HOST_PLATFORM=linux-aarch64 \
    CXXFLAGS="-isystem $root/sys/usr/include" \
  "$vpy" -m pip wheel -q --no-build-isolation --no-deps -w "$build/wheel-aarch64" \
    --config-settings=build-dir="$build/py-aarch64" \
    --config-settings=cmake.define.Python_INCLUDE_DIR="$root/sys/usr/include/python$pyver" \
    --config-settings=cmake.define.Python_NumPy_INCLUDE_DIR="$site/numpy/_core/include" .
PATH="$(dirname "$vpy"):$PATH" auditwheel repair -w "$build/dist-aarch64" "$build"/wheel-aarch64/aerlox-*.whl
PATH="$(dirname "$vpy"):$PATH" auditwheel show "$build"/dist-aarch64/aerlox-*.whl
ls -l "$build"/dist-aarch64/
"${target_pip[@]}" --no-deps "$build"/dist-aarch64/aerlox-*.whl

rm -rf "$build/wheel-aarch64-smoke" && mkdir -p "$build/wheel-aarch64-smoke"
cp .ci/wheel_smoke.py "$build/wheel-aarch64-smoke/"
cd "$build/wheel-aarch64-smoke"
env -i PATH=/usr/bin:/bin QEMU_LD_PREFIX="$root/sys" PYTHONPATH="$site" \
  qemu-aarch64 "$root/sys/usr/bin/python$pyver" -c 'import platform; print("running on", platform.machine())'
env -i PATH=/usr/bin:/bin QEMU_LD_PREFIX="$root/sys" PYTHONPATH="$site" \
  qemu-aarch64 "$root/sys/usr/bin/python$pyver" wheel_smoke.py
