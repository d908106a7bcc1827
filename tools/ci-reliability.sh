#!/usr/bin/env bash
# The reliability gates, as CI runs them:
#   - the concurrency tests under ThreadSanitizer (tsan workflow),
#   - the whole suite under valgrind memcheck (memcheck workflow),
#   - coverage of src/: at least 95% of lines and 90% of branches (tools/coverage.sh),
#   - every fuzz target for a short, bounded time (tools/fuzz.sh).
# Runs all four and fails if any failed, so one CI log shows every fault.
#
#   tools/ci-reliability.sh [GATE...]   GATEs: tsan memcheck coverage fuzz (default: all)
#   FUZZ_SECONDS (default 15) is the time per fuzz target; GATE_TIMEOUT
#   (default 1200) bounds each gate, so a stuck tool fails the gate.
set -uo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${FUZZ_SECONDS:-15}
failed=()

gates=("$@")
((${#gates[@]})) || gates=(tsan memcheck coverage fuzz)

gate() {
  local name=$1 started=$SECONDS
  shift
  [[ " ${gates[*]} " == *" $name "* ]] || return 0
  echo
  echo "== reliability: $name"
  if timeout --kill-after=30 "${GATE_TIMEOUT:-1200}" "$@"; then
    echo "== reliability: $name passed in $((SECONDS - started)) s"
  else
    echo "== reliability: $name FAILED after $((SECONDS - started)) s"
    failed+=("$name")
  fi
}

gate tsan cmake --workflow --preset tsan
gate memcheck cmake --workflow --preset memcheck
gate coverage tools/coverage.sh 95 90
gate fuzz tools/fuzz.sh "$fuzz_seconds"

echo
if ((${#failed[@]})); then
  echo "reliability gates failed: ${failed[*]} (${SECONDS} s)"
  exit 1
fi
echo "reliability gates passed in ${SECONDS} s"
