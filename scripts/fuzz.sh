#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) into
# build/fuzz/<package> and runs each for the given seconds, starting from the
# seeds committed in <package>/fuzz/corpus/<target>/. A crash, sanitizer report,
# leak or hang (a unit over 10 s) fails the run; the input that did it is
# left in build/fuzz/artifacts/.
#
# usage: scripts/fuzz.sh [seconds per target, default 20]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-20}
jobs=${VELMORA_BUILD_JOBS:-2}
out="$root/build/fuzz"
flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"

declare -A targets=(
  [velmora_model_zoo]="fuzz_model_config fuzz_seg_postprocess fuzz_onnx_network"
  [velmoraplus_trash_pose]="fuzz_yaml_config fuzz_pose_estimate_config fuzz_trash_cloud"
)

for pkg in velmora_model_zoo velmoraplus_trash_pose; do
  echo "=== building fuzzers of $pkg"
  cmake -S "$root/$pkg" -B "$out/$pkg" -G "Unix Makefiles" --no-warn-unused-cli \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra $flags" -DCMAKE_C_FLAGS="$flags" \
    -DBUILD_TESTING=OFF -DVELMORA_BUILD_NODE=OFF -DVELMORA_BUILD_FUZZERS=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
    -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
  # A target CMake left out (fuzz_onnx_network without XNNPACK) is skipped.
  known=$(cmake --build "$out/$pkg" --target help)
  present=()
  for target in ${targets[$pkg]}; do
    if grep -qw "$target" <<<"$known"; then
      present+=("$target")
    else
      echo "=== $target is not configured here; skipped"
    fi
  done
  targets[$pkg]="${present[*]}"
  cmake --build "$out/$pkg" -j "$jobs" --target "${present[@]}"
done

mkdir -p "$out/artifacts"
failed=()
for pkg in velmora_model_zoo velmoraplus_trash_pose; do
  for target in ${targets[$pkg]}; do
    work="$out/corpus/$target"
    mkdir -p "$work"
    log="$out/$target.log"
    echo "=== $target: ${seconds} s"
    # stdout closed (-close_fd_mask=1): the loaders' echo is noise here.
    if "$out/$pkg/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" \
        "$work" "$root/$pkg/fuzz/corpus/$target" >"$log" 2>&1; then
      grep -E "^stat::number_of_executed_units|^Done" "$log" || true
    else
      echo "*** $target failed; log $log:"
      tail -n 40 "$log"
      failed+=("$target")
    fi
  done
done

if [ "${#failed[@]}" -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
echo "all fuzz targets ran ${seconds} s without a fault"
