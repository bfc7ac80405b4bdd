# Cross build for 64-bit ARM Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu); the tests run under qemu-user (qemu-aarch64) with
# the cross toolchain's sysroot. Used by `make cross-aarch64`.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(AERLOX_CROSS_SYSROOT /usr/aarch64-linux-gnu CACHE PATH "Run-time libraries of the target")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${AERLOX_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${AERLOX_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
