# CMake toolchain for the robot's arm computer (AArch64, Debian 12): Debian's
# cross compiler against the arm64 sysroot that scripts/aarch64_sysroot.sh
# prepares, target programs run by qemu's user-mode emulator (tests and test
# discovery included). Host tools (Python generators, ament's scripts) stay the
# host's.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=scripts/aarch64_toolchain.cmake
#         -DVELMORA_AARCH64_SYSROOT=<sysroot>      (or the environment variable)

if(NOT VELMORA_AARCH64_SYSROOT)
  set(VELMORA_AARCH64_SYSROOT "$ENV{VELMORA_AARCH64_SYSROOT}")
endif()
if(NOT VELMORA_AARCH64_SYSROOT OR NOT EXISTS "${VELMORA_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu/libc.so.6")
  message(FATAL_ERROR "VELMORA_AARCH64_SYSROOT='${VELMORA_AARCH64_SYSROOT}' is not an arm64 "
    "sysroot: prepare one with scripts/aarch64_sysroot.sh")
endif()
# try_compile() projects read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMORA_AARCH64_SYSROOT)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT "${VELMORA_AARCH64_SYSROOT}")

# Libraries and headers only from the sysroot; programs from the host. Packages
# from the sysroot first, then the host: the workspace's own install prefix and
# the arch-independent CMake code of ament and rosidl live there.
set(CMAKE_FIND_ROOT_PATH "${VELMORA_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config (libsystemd) reads the sysroot's .pc files and prefixes their paths.
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR}
  "${VELMORA_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${VELMORA_AARCH64_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${VELMORA_AARCH64_SYSROOT}")

# add_test(), gtest_discover_tests() and custom commands run target programs in qemu,
# with the sysroot's loader and libraries.
find_program(VELMORA_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${VELMORA_QEMU_AARCH64};-L;${VELMORA_AARCH64_SYSROOT}")
