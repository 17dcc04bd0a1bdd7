#!/usr/bin/env bash
# Runs a compile of a reject probe that must fail, and checks that it fails for
# the probe's reason: each "// expect: <regex>" line of the probe, and each
# "// expect <who>: <regex>" line for this compiler's side, must match the
# diagnostics (grep -E). A fatal error (a missing header, say) is never the reason.
# usage: expect_rejection.sh stand-in|humble <probe.cpp> <compile command...>
# Exit status: 0 when the compile fails as expected, 1 when it does not.
set -uo pipefail
who=$1 probe=$2
shift 2
mapfile -t expected < <(sed -nE "s#^// expect( $who)?: ##p" "$probe")
if [ "${#expected[@]}" -eq 0 ]; then
  echo "$(basename "$probe") has no '// expect: <regex>' line for $who"
  exit 1
fi
# The C locale: GCC quotes with plain apostrophes, as the regexes are written.
output=$(LC_ALL=C "$@" 2>&1)
rc=$?
printf '%s\n' "$output"
if [ "$rc" -eq 0 ]; then
  echo "unexpected: $who accepts $(basename "$probe")"
  exit 1
fi
if grep -q 'fatal error' <<<"$output"; then
  echo "unexpected: a fatal error, not the expected diagnostic"
  exit 1
fi
for regex in "${expected[@]}"; do
  if ! grep -qE -- "$regex" <<<"$output"; then
    echo "unexpected: no diagnostic matches: $regex"
    exit 1
  fi
done
echo "as expected: $who rejects $(basename "$probe")"
