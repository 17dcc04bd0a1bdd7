#!/usr/bin/env bash
# The stand-in's message packages must be humble's: every C++ header the rosidl
# generators made for them must equal, byte for byte, the one in the real humble
# tree (generated there by the same Debian generators from humble's .msg files).
# usage: compare_messages.sh <install include dir> <real-humble include dir> <package>...
set -uo pipefail
installed=$1 reference=$2
shift 2
compared=0 differ=0
for pkg in "$@"; do
  while IFS= read -r header; do
    rel=${header#"$installed/$pkg/"}
    case "$rel" in *__rosidl_typesupport_*) continue ;; esac  # not in the reference tree
    if [ ! -f "$reference/$rel" ]; then
      echo "missing from humble: $rel"; differ=$((differ + 1))
    elif ! cmp -s "$header" "$reference/$rel"; then
      echo "differs from humble: $rel"; diff "$reference/$rel" "$header" | head -20
      differ=$((differ + 1))
    fi
    compared=$((compared + 1))
  done < <(find "$installed/$pkg/$pkg/msg" -name '*.hpp' | LC_ALL=C sort)
done
echo "$compared message headers compared, $differ differ from humble's"
[ "$compared" -gt 0 ] && [ "$differ" -eq 0 ]
