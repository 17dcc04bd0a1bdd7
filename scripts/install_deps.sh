#!/usr/bin/env bash
# Installs the Debian 12 packages the workspace builds and tests with, only when
# one of them is missing (a second run costs a dpkg query, not an apt-get update).
# With arguments: those packages instead.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  # colcon with the extensions a robot's colcon-common-extensions brings for
  # CMake/ament packages, and ament's CMake code
  colcon python3-colcon-cmake python3-colcon-ros python3-colcon-bash
  python3-colcon-library-path python3-colcon-package-selection
  python3-colcon-parallel-executor python3-colcon-recursive-crawl
  python3-colcon-test-result python3-colcon-output python3-colcon-package-information
  ament-cmake libament-index-cpp-dev
  # humble's test conventions: ament_cmake_gtest, ament_lint_auto and its linters
  ament-cmake-googletest ament-lint
  # the real rosidl: rosidl_generate_interfaces, the C and C++ generators, the
  # introspection type supports (also what the check against humble's headers needs)
  rosidl-cmake rosidl-generator-c-cpp librosidl-typesupport-introspection-c-cpp-dev
  python3-rosidl python3-empy python3-lark
  libpcl-dev libopencv-dev libeigen3-dev libyaml-cpp-dev
  libspdlog-dev libfmt-dev libboost-filesystem-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev libnanoflann-dev
  # the network's fast CPU engine (optional to the build; xnnpack.h needs pthreadpool.h)
  libxnnpack-dev libpthreadpool-dev
  python3 python3-numpy python3-onnx python3-yaml python3-opencv
  clang libclang-rt-14-dev
)

[ "$#" -eq 0 ] || PACKAGES=("$@")

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -q
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
