#!/usr/bin/env bash
# The robot's architecture: the whole workspace (stand-in, interfaces, model
# library, node, tools, tests) cross-built for AArch64 against Debian's arm64
# libraries, and its tests run in qemu's user-mode emulator. Speed under
# emulation means nothing; this checks correctness only.
#
#   1. the arm64 sysroot (scripts/aarch64_sysroot.sh, cached outside the checkout)
#   2. scripts/build.sh aarch64 into build/aarch64 and install/aarch64; a compiler
#      warning fails the stage, as the flags are the x86-64 build's
#   3. colcon test: every test binary and the programs the tests start run in qemu
#
# usage: scripts/test_aarch64.sh [ctest arguments...]   (e.g. -R fast_geometry)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
config=aarch64
start=$SECONDS

"$root/scripts/install_deps.sh"
"$root/scripts/install_deps.sh" g++-aarch64-linux-gnu qemu-user
deps_s=$((SECONDS - start))

t=$SECONDS
VELMORA_AARCH64_SYSROOT=$("$root/scripts/aarch64_sysroot.sh")
export VELMORA_AARCH64_SYSROOT
sysroot_s=$((SECONDS - t))
echo "aarch64: sysroot $VELMORA_AARCH64_SYSROOT (${sysroot_s} s)"

t=$SECONDS
"$root/scripts/build.sh" "$config"
build_s=$((SECONDS - t))
# Our packages' own warnings (colcon logs each package's compiler output).
if grep -HnE ': warning: ' "$root/log/$config/latest_build"/*/stdout_stderr.log; then
  echo "aarch64: the cross build has compiler warnings (above)" >&2
  exit 1
fi
echo "aarch64: cross build done (${build_s} s)"

t=$SECONDS
export VELMORAPLUS_DATA_DIR="$root/build/$config/test_data"
cd "$root"
status=0
rm -rf "build/$config"/*/Testing
colcon --log-base "log/$config" test --merge-install \
  --build-base "build/$config" --install-base "install/$config" \
  --base-paths . ros2_standin/*/ \
  --executor sequential \
  --return-code-on-test-failure \
  --ctest-args --output-on-failure --timeout 900 -j "$(nproc)" "$@" || status=1
colcon test-result --test-result-base "build/$config" --verbose || status=1
tests_s=$((SECONDS - t))

echo "aarch64: dependencies ${deps_s} s, sysroot ${sysroot_s} s, cross build ${build_s} s," \
  "tests in qemu ${tests_s} s, stage $((SECONDS - start)) s"
exit $status
