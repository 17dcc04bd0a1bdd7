# Source to use a built configuration: sets the ament index and library paths
# the way colcon's setup files do.  usage: . scripts/env.sh [release|asan|tsan]
_velmora_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
_velmora_prefix="$_velmora_root/install/${1:-release}"
export AMENT_PREFIX_PATH="$_velmora_prefix${AMENT_PREFIX_PATH:+:$AMENT_PREFIX_PATH}"
export LD_LIBRARY_PATH="$_velmora_prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export PATH="$_velmora_prefix/lib/velmoraplus_trash_pose:$PATH"
unset _velmora_root _velmora_prefix
