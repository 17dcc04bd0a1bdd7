#!/usr/bin/env bash
# The main job: installs what is missing, builds, and replays the bundled sample
# scene through the whole node. Prints the DetectTrash answer as YAML and writes
# pictures of the pass to out/sample/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install_deps.sh"
"$root/scripts/build.sh" release
. "$root/scripts/env.sh" release

scene="$root/velmoraplus_trash_pose/sample/milk_cartoon_all_small_clorox"
out="$root/out/sample"
export VELMORAPLUS_DATA_DIR="$out/archive"
velmoraplus_trash_pose_replay --config "$scene/config" --out "$out" --slot 2 \
  "$scene/color.png" "$scene/depth.png" "$@"
echo "pictures: $out/frame_1_cam2_pass.png and $out/frame_1_cam2_top.png"
# The answer the sample must give, field by field.
velmoraplus_trash_pose_compare "$scene/answer.yaml" "$out/answers.yaml"
