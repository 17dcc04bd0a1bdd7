#!/usr/bin/env bash
# The test command: installs what is missing, builds with colcon, runs every
# package's tests with colcon test.
# usage: scripts/test.sh [release|asan|tsan|humble]
#   humble: the same suite against the real humble client libraries over Cyclone DDS
#   on loopback (each test process claims its own ROS domain).
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
[ -n "${ROS_DISTRO:-}" ] || [ "$config" = humble ] || base_paths+=(ros2_standin/*/)
cd "$root"
if [ "$config" = humble ]; then
  humble_dir=$("$root/scripts/real_humble.sh")
  set +u
  # shellcheck source=/dev/null
  . "$humble_dir/env.sh"
  set -u
  export ROS_LOCALHOST_ONLY=1
  # The node must run on the real client library, not on a stand-in.
  node="install/humble/lib/velmoraplus_trash_pose/velmoraplus_trash_pose_node"
  rclcpp_lib=$(ldd "$node" | awk '/librclcpp\.so/ {print $3}')
  case "$rclcpp_lib" in
    "$humble_dir"/install/lib/librclcpp.so*) echo "test: $node links $rclcpp_lib" ;;
    *) echo "test: $node links '$rclcpp_lib', not humble's in $humble_dir" >&2; exit 1 ;;
  esac
fi
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
