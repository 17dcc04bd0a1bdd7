#!/usr/bin/env bash
# Builds the neighbour search's distance loop check for AArch64 (the robot's CPU)
# with Debian's cross compiler and runs it in qemu: the NEON loop must give the
# portable loop's distances. Installs the cross compiler and qemu when missing.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/install_deps.sh g++-aarch64-linux-gnu qemu-user

out=build/aarch64
mkdir -p "$out"
package=velmoraplus_trash_pose
# The same optimisation as the product build of these sources.
aarch64-linux-gnu-g++ -std=c++17 -O3 -fno-math-errno -Wall -Wextra -Werror -static \
  -I "$package/include" "$package/src/near_distances.cpp" "$package/test/near_distances_check.cpp" \
  -o "$out/near_distances_check"
qemu-aarch64 "$out/near_distances_check"
