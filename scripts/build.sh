#!/usr/bin/env bash
# Builds the workspace with colcon, as on a robot: every package into
# build/<config>/<package>, one merged install prefix install/<config>.
# Without a sourced ROS 2 (here), the stand-in's packages under ros2_standin/
# (rclcpp, message_filters, ..., the message packages) are built first from
# their own base paths: the ros2_standin/COLCON_IGNORE marker keeps a robot's
# plain `colcon build` away from them.
#
# usage: scripts/build.sh [release|asan|tsan|humble|aarch64] [package...] [colcon build options...]
#   aarch64: the release build cross-compiled for the robot's arm computer
#   (needs VELMORA_AARCH64_SYSROOT, see scripts/test_aarch64.sh).
#   packages named first are built with what they depend on (--packages-up-to).
#   humble: the product packages against the real humble client libraries built by
#   scripts/real_humble.sh (no stand-in on any path), optimised as release.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
config=${1:-release}
shift || true
selection=()
while [ "$#" -gt 0 ] && [[ "$1" != -* ]]; do
  selection+=("$1")
  shift
done
[ "${#selection[@]}" -eq 0 ] || set -- --packages-up-to "${selection[@]}" "$@"

case "$config" in
  release) build_type=RelWithDebInfo; flags="" ;;
  asan)    build_type=Debug; flags="-O1 -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" ;;
  tsan)    build_type=Debug; flags="-O1 -fsanitize=thread" ;;
  humble)  build_type=RelWithDebInfo; flags="" ;;
  aarch64) build_type=RelWithDebInfo; flags="" ;;
  *) echo "unknown configuration '$config' (release, asan, tsan, humble or aarch64)" >&2; exit 2 ;;
esac
if [ "$config" = humble ]; then
  humble_dir=$("$root/scripts/real_humble.sh")
  # env.sh reads variables it may not find set.
  set +u
  # shellcheck source=/dev/null
  . "$humble_dir/env.sh"
  set -u
fi
cmake_args=(
  -DCMAKE_BUILD_TYPE="$build_type"
  "-DCMAKE_CXX_FLAGS=-Wall -Wextra $flags"
  "-DCMAKE_C_FLAGS=$flags"
  "-DCMAKE_EXE_LINKER_FLAGS=$flags"
  "-DCMAKE_SHARED_LINKER_FLAGS=$flags"
  -DBUILD_TESTING=ON
  # ament's and rosidl's CMake code imports Debian's Python modules: use Debian's
  # interpreter even where another python3 comes first on PATH.
  -DPython3_EXECUTABLE=/usr/bin/python3
  # rosidl_generator_py's (humble's Python side) legacy find_package(PythonInterp) reads this
  # one: without it a pyenv shim first on PATH breaks the interfaces package.
  -DPYTHON_EXECUTABLE=/usr/bin/python3
  -DVELMORA_SANITIZER="$config"
  -DCMAKE_INSTALL_MESSAGE=NEVER
  --no-warn-unused-cli
)
# Only the release build has benchmarks (sanitizer, humble and AArch64 builds exist for the tests).
[ "$config" = release ] || cmake_args+=(-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
[ "$config" != aarch64 ] || cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$root/scripts/aarch64_toolchain.cmake")
# The real humble build has ROS 2's Python side: its launch tests must run, not be skipped.
[ "$config" != humble ] || cmake_args+=(-DVELMORA_REQUIRE_LAUNCH_TESTS=ON)

base_paths=(.)
[ -n "${ROS_DISTRO:-}" ] || [ "$config" = humble ] || base_paths+=(ros2_standin/*/)

# Parallel packages share the machine: make's load limit (colcon's -jN -lN) keeps
# them from overloading it. VELMORA_BUILD_JOBS caps the jobs of each package.
if [ -n "${VELMORA_BUILD_JOBS:-}" ]; then
  export MAKEFLAGS="-j${VELMORA_BUILD_JOBS} -l${VELMORA_BUILD_JOBS}"
fi

cd "$root"
colcon --log-base "log/$config" build --merge-install \
  --build-base "build/$config" --install-base "install/$config" \
  --base-paths "${base_paths[@]}" \
  --event-handlers summary+ \
  --cmake-args "${cmake_args[@]}" \
  "$@"
