#!/usr/bin/env bash
# Builds the real ROS 2 humble client libraries (rclcpp, rcl, Cyclone DDS's rmw,
# message_filters, cv_bridge, ...) and their Python side (rclpy, launch,
# launch_testing, launch_ros, ros2cli) from ../shared/real-humble/runtime into a
# cache folder outside the checkout, once: the folder's name carries a hash of the
# sources' contents, so a changed runtime is built anew beside the old one and an
# unchanged one is reused by every checkout and CI run on the machine.
#
# usage: scripts/real_humble.sh          prepare (if needed); prints the folder
#   VELMORA_HUMBLE_DIR   the folder (default: $VELMORA_CACHE_DIR/humble-<hash>)
#   VELMORA_CACHE_DIR    cache root (default /var/cache/velmora)
# Exit status 3 (and one line) when ../shared/real-humble/runtime is absent.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runtime="$root/../shared/real-humble/runtime"

if [ ! -f "$runtime/build.sh" ]; then
  echo "real humble: no $runtime" >&2
  exit 3
fi
# Bumped when the way the runtime is built changes (here: with its Python side).
LAYOUT=python-1
stamp=$( { echo "layout $LAYOUT"; cd "$runtime" && find . -type f -print0 | LC_ALL=C sort -z \
  | xargs -0 sha256sum; } | sha256sum | cut -d' ' -f1)
cache=${VELMORA_CACHE_DIR:-/var/cache/velmora}
out=${VELMORA_HUMBLE_DIR:-$cache/humble-${stamp:0:16}}
mkdir -p "$out"
out=$(cd "$out" && pwd)
case "$out/" in
  "$root"/*) echo "real humble: $out is inside the repository" >&2; exit 2 ;;
esac

if [ -f "$out/env.sh" ] && [ "$(cat "$out/stamp" 2>/dev/null)" = "$stamp" ]; then
  echo "$out"
  exit 0
fi
# One build at a time per folder; a second caller waits and reuses it.
exec 9>"$out.lock"
flock 9
if [ -f "$out/env.sh" ] && [ "$(cat "$out/stamp" 2>/dev/null)" = "$stamp" ]; then
  echo "$out"
  exit 0
fi

# What build.sh --deps --python installs, and the test extensions ament_cmake_ros finds.
"$root/scripts/install_deps.sh" cmake ninja-build g++ python3 python3-empy python3-lark \
  python3-catkin-pkg python3-numpy ament-cmake python3-ament-package libyaml-dev cyclonedds-dev \
  libpcl-dev libopencv-dev libeigen3-dev libboost-dev ament-cmake-googletest ament-cmake-pytest \
  python3-dev pybind11-dev python3-setuptools python3-yaml python3-osrf-pycommon \
  python3-ament-index python3-netifaces python3-argcomplete python3-packaging \
  python3-pkg-resources python3-psutil python3-ament-copyright python3-pytest >&2
start=$SECONDS
rm -rf "${out:?}"/*
if ! bash "$runtime/build.sh" --python "$out" > "$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  echo "real humble: build failed, log $out/build.log" >&2
  exit 1
fi
echo "$stamp" > "$out/stamp"
echo "real humble: built in $((SECONDS - start)) s into $out" >&2
echo "$out"
