#!/usr/bin/env bash
# The test command: installs what is missing, builds, runs every package's tests.
# usage: scripts/test.sh [release|asan|tsan]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
config=${1:-release}

"$root/scripts/install_deps.sh"
"$root/scripts/build.sh" "$config"
. "$root/scripts/env.sh" "$config"

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

status=0
for pkg in ros2_standin velmora_plus_interfaces velmora_model_zoo velmoraplus_trash_pose; do
  bdir="$root/build/$config/$pkg"
  [ -f "$bdir/CTestTestfile.cmake" ] || continue
  echo "=== testing $pkg ($config)"
  (cd "$bdir" && ctest --output-on-failure --timeout 600 -j "$(nproc)") || status=1
done
exit $status
