#!/usr/bin/env bash
# Line and branch coverage of src/ by the whole test suite (the `coverage`
# preset: GCC --coverage, Debug), reported with gcovr.
#
#   tools/coverage.sh [MIN_LINE_PERCENT]
#
# Prints the summary, writes an HTML report to build/coverage/coverage-html/
# and fails when line coverage is below MIN_LINE_PERCENT (default 95).
# Branches that exist only for exception landing pads, and branches the
# compiler proves unreachable, are left out: they are noise, not untested code.
set -euo pipefail
cd "$(dirname "$0")/.."

min_lines=${1:-95}
build=build/coverage
html=$build/coverage-html

cmake --preset coverage >/dev/null
cmake --build --preset coverage -j"${COVERAGE_BUILD_JOBS:-2}"
# Counters of an earlier run would add to this one.
find "$build" -name '*.gcda' -delete
ctest --preset coverage

status=0
rm -rf "$html"
mkdir -p "$html"
gcovr --root . --object-directory "$build" \
  --filter 'src/' \
  --exclude 'tests/' --exclude 'bench/' --exclude 'fuzz/' --exclude 'examples/' --exclude 'build/' \
  --exclude-unreachable-branches --exclude-throw-branches \
  -j 2 \
  --txt "$build/coverage-files.txt" --print-summary \
  --html-details "$html/index.html" \
  --fail-under-line "$min_lines" \
  "$build/src" "$build/tests" \
  >"$build/coverage-summary.txt" || status=$?
cat "$build/coverage-files.txt" "$build/coverage-summary.txt"
echo "HTML report: $html/index.html"
if ((status)); then
  echo "line coverage of src/ is below ${min_lines}%" >&2
  exit "$status"
fi
