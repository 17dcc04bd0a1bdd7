#!/usr/bin/env bash
# Syntax-checks one probe against the real humble headers with the shared
# check.sh and says whether humble accepts it (a rejected probe: for the reason
# its "// expect" lines give, see expect_rejection.sh). The tests' own generated
# service headers go through a copy: check.sh drops include folders that name the stand-in.
# usage: check_with_humble.sh accepts|rejects <real-humble dir> <generated headers dir> <probe.cpp>
# Exit status: 0 when humble does as expected, 1 when it does not, 2 when the check cannot run.
set -uo pipefail
expect=$1 real_humble=$2 generated=$3 probe=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp -r "$generated/." "$tmp/" || exit 2
if [ "$expect" = rejects ]; then
  bash "$(dirname "${BASH_SOURCE[0]}")/expect_rejection.sh" humble "$probe" \
    bash "$real_humble/check.sh" -I"$tmp" "$probe"
  exit
fi
bash "$real_humble/check.sh" -I"$tmp" "$probe"
case "$?" in
  0) echo "as expected: humble accepts $(basename "$probe")"; exit 0 ;;
  1) echo "unexpected: humble rejects $(basename "$probe")"; exit 1 ;;
  *) echo "check.sh could not run"; exit 2 ;;
esac
