#!/usr/bin/env bash
# Builds the neighbour search's distance loop check for AArch64 (the robot's CPU)
# with Debian's cross compiler and runs it in qemu: the NEON loop must give the
# portable loop's distances. Installs the cross compiler and qemu when missing.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

packages=(g++-aarch64-linux-gnu qemu-user)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

out=build/aarch64
mkdir -p "$out"
package=velmoraplus_trash_pose
# The same optimisation as the product build of these sources.
aarch64-linux-gnu-g++ -std=c++17 -O3 -fno-math-errno -Wall -Wextra -Werror -static \
  -I "$package/include" "$package/src/near_distances.cpp" "$package/test/near_distances_check.cpp" \
  -o "$out/near_distances_check"
qemu-aarch64 "$out/near_distances_check"
