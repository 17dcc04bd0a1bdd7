#!/usr/bin/env bash
# Builds the real ROS 2 humble client libraries (rclcpp, rcl, Cyclone DDS's rmw,
# message_filters, cv_bridge, ...) from ../shared/real-humble/runtime into a folder
# beside the checkout, once: a stamp of the sources' contents says when it must be
# built again. Never inside the repository.
#
# usage: scripts/real_humble.sh          prepare (if needed); prints the folder
#   VELMORA_HUMBLE_DIR   the folder (default: ../humble beside the checkout)
# Exit status 3 (and one line) when ../shared/real-humble/runtime is absent.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runtime="$root/../shared/real-humble/runtime"
out=${VELMORA_HUMBLE_DIR:-$(dirname "$root")/humble}

if [ ! -f "$runtime/build.sh" ]; then
  echo "real humble: no $runtime" >&2
  exit 3
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
case "$out/" in
  "$root"/*) echo "real humble: $out is inside the repository" >&2; exit 2 ;;
esac

stamp=$(cd "$runtime" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
if [ -f "$out/env.sh" ] && [ "$(cat "$out/stamp" 2>/dev/null)" = "$stamp" ]; then
  echo "$out"
  exit 0
fi

# What build.sh --deps installs, and the test extensions ament_cmake_ros finds.
"$root/scripts/install_deps.sh" cmake ninja-build g++ python3 python3-empy python3-lark \
  python3-catkin-pkg python3-numpy ament-cmake python3-ament-package libyaml-dev cyclonedds-dev \
  libpcl-dev libopencv-dev libeigen3-dev libboost-dev ament-cmake-googletest ament-cmake-pytest >&2
start=$SECONDS
rm -rf "${out:?}"/*
if ! bash "$runtime/build.sh" "$out" > "$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  echo "real humble: build failed, log $out/build.log" >&2
  exit 1
fi
echo "$stamp" > "$out/stamp"
echo "real humble: built in $((SECONDS - start)) s into $out" >&2
echo "$out"
