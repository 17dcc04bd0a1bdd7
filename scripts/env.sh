# Source to use a built configuration: colcon's setup file of install/<config>
# (ament index, library and executable paths), and the node package's tools on
# PATH.  usage: . scripts/env.sh [release|asan|tsan]
_velmora_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
_velmora_prefix="$_velmora_root/install/${1:-release}"
# colcon's setup scripts read variables they may not find set.
case $- in *u*) _velmora_nounset=1; set +u ;; *) _velmora_nounset= ;; esac
# shellcheck source=/dev/null
. "$_velmora_prefix/setup.bash"
[ -z "$_velmora_nounset" ] || set -u
export PATH="$_velmora_prefix/lib/velmoraplus_trash_pose:$PATH"
unset _velmora_root _velmora_prefix _velmora_nounset
