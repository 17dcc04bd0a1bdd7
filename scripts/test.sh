#!/usr/bin/env bash
# The test command: installs what is missing, builds with colcon, runs every
# package's tests with colcon test.
# usage: scripts/test.sh [release|asan|tsan]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
config=${1:-release}

"$root/scripts/install_deps.sh"
"$root/scripts/build.sh" "$config"

# Tests and the archive never write under /home: everything goes below the build tree.
export VELMORAPLUS_DATA_DIR="$root/build/$config/test_data"
case "$config" in
  tsan) export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" ;;
  # Debian's PCL library and our translation units instantiate Eigen's aligned
  # operator new/delete differently (PCL is not built with the sanitizer), so
  # objects PCL hands over report a malloc/delete mismatch that is not ours.
  asan) export ASAN_OPTIONS="detect_leaks=1 alloc_dealloc_mismatch=0 ${ASAN_OPTIONS:-}"
        export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}" ;;
esac

base_paths=(.)
[ -n "${ROS_DISTRO:-}" ] || base_paths+=(ros2_standin/*/)
cd "$root"
# One package at a time, its tests in parallel: the shutdown and pipeline tests
# measure their own bounds and should not compete with a second package's.
status=0
# colcon test-result reads every result file below the build base: only this run's.
rm -rf "build/$config"/*/Testing
colcon --log-base "log/$config" test --merge-install \
  --build-base "build/$config" --install-base "install/$config" \
  --base-paths "${base_paths[@]}" \
  --executor sequential \
  --return-code-on-test-failure \
  --ctest-args --output-on-failure --timeout 600 -j "$(nproc)" || status=1
colcon test-result --test-result-base "build/$config" --verbose || status=1
exit $status
