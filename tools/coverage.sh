#!/usr/bin/env bash
# Line and branch coverage of src/ by the whole test suite (the `coverage`
# preset: GCC --coverage, Debug), reported with gcovr.
#
#   tools/coverage.sh [MIN_LINE_PERCENT] [MIN_BRANCH_PERCENT]
#
# Prints the summary, writes an HTML report to build/coverage/coverage-html/
# and fails when line coverage is below MIN_LINE_PERCENT (default 95) or
# branch coverage below MIN_BRANCH_PERCENT (default 90).
# Branches that exist only for exception landing pads, and branches the
# compiler proves unreachable, are left out: they are noise, not untested code.
set -euo pipefail
cd "$(dirname "$0")/.."

min_lines=${1:-95}
min_branches=${2:-90}
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
# The suite runs the library as zentrel_core_testing, so coverage is read from
# those objects (and the tests'); the shipped objects are the same sources built
# without the test hook, and gcovr cannot merge the two copies' inline functions.
# gcovr runs single-threaded and bounded: its parallel mode can hang when a
# worker hits a gcov parse error, instead of reporting it.
timeout --kill-after=30 "${GCOVR_TIMEOUT:-900}" gcovr --root . --object-directory "$build" \
  --filter 'src/' \
  --exclude 'tests/' --exclude 'bench/' --exclude 'fuzz/' --exclude 'examples/' --exclude 'build/' \
  --exclude-unreachable-branches --exclude-throw-branches \
  --txt "$build/coverage-files.txt" --print-summary \
  --html-details "$html/index.html" \
  --fail-under-line "$min_lines" --fail-under-branch "$min_branches" \
  "$build/src/CMakeFiles/zentrel_testing_objects.dir" "$build/tests" \
  >"$build/coverage-summary.txt" || status=$?
cat "$build/coverage-files.txt" "$build/coverage-summary.txt" 2>/dev/null || true
echo "HTML report: $html/index.html"
if ((status)); then
  echo "coverage gate failed (exit $status): gcovr could not build the report, or coverage of src/ is below ${min_lines}% of lines or ${min_branches}% of branches" >&2
  exit "$status"
fi
