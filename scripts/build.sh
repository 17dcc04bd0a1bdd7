#!/usr/bin/env bash
# Builds the workspace's packages in dependency order, each into the shared
# install prefix install/<config>, as `colcon build --merge-install` would.
# Where ROS 2 humble is sourced (ROS_DISTRO set), the stand-in is skipped and
# the packages build against the real client libraries.
#
# usage: scripts/build.sh [release|asan|tsan] [package...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
config=${1:-release}
shift || true

case "$config" in
  release) build_type=RelWithDebInfo; flags="" ;;
  asan)    build_type=Debug; flags="-O1 -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" ;;
  tsan)    build_type=Debug; flags="-O1 -fsanitize=thread" ;;
  *) echo "unknown configuration '$config' (release, asan or tsan)" >&2; exit 2 ;;
esac
# Sanitizer builds exist for the tests: no benchmarks there.
extra=()
[ "$config" = release ] || extra+=(-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)

packages=("$@")
if [ "${#packages[@]}" -eq 0 ]; then
  packages=(velmora_plus_interfaces velmora_model_zoo velmoraplus_trash_pose)
  [ -n "${ROS_DISTRO:-}" ] || packages=(ros2_standin "${packages[@]}")
fi

# ament's CMake helpers import Debian's Python modules: use Debian's
# interpreter even where another python3 comes first on PATH.
prefix="$root/install/$config"
jobs=${VELMORA_BUILD_JOBS:-$(nproc)}
for pkg in "${packages[@]}"; do
  echo "=== building $pkg ($config)"
  bdir="$root/build/$config/$pkg"
  cmake -S "$root/$pkg" -B "$bdir" -G "Unix Makefiles" \
    -DCMAKE_BUILD_TYPE="$build_type" \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra $flags" \
    -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DBUILD_TESTING=ON \
    -DPython3_EXECUTABLE=/usr/bin/python3 \
    -DVELMORA_SANITIZER="$config" "${extra[@]}" ${VELMORA_CMAKE_ARGS:-} >/dev/null
  cmake --build "$bdir" -j "$jobs"
  cmake --install "$bdir" >/dev/null
done
