#!/usr/bin/env bash
# Runs clang-tidy (14) with the repository's .clang-tidy over every source file
# of this project that a build directory's compile_commands.json lists: the
# library, the tests, benchmarks, fuzzers and examples, not GoogleTest's own
# sources. Exits non-zero when any file draws a warning.
#
# Usage: tools/run-clang-tidy.sh [build-dir] [file-regex]
#   build-dir   default build/default (the presets export compile_commands.json)
#   file-regex  only files whose path matches, e.g. 'src/automation/variant/'
# CLANG_TIDY names another clang-tidy binary; JOBS the parallelism (default 2).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
filter=${2:-.}
tidy=${CLANG_TIDY:-clang-tidy-14}
jobs=${JOBS:-2}

if [[ ! -f $build/compile_commands.json ]]; then
    echo "no compile_commands.json in $build; configure with a preset (or -DCMAKE_EXPORT_COMPILE_COMMANDS=ON) first" >&2
    exit 2
fi
command -v "$tidy" >/dev/null || { echo "$tidy not found (Debian: apt-get install clang-tidy-14)" >&2; exit 2; }
# The source tree the build was configured from (normally this repository).
source=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
source=${source:-$root}

# CMake writes one `"file": "<path>"` line per translation unit.
mapfile -t files < <(
    sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
        grep -E "^$source/(src|tests|bench|fuzz|examples)/" | grep -E -- "$filter" | sort -u)
if ((${#files[@]} == 0)); then
    echo "no source files of $source in $build/compile_commands.json" >&2
    exit 2
fi

echo "clang-tidy: ${#files[@]} files from $build"
# --warnings-as-errors makes a file with findings fail; xargs then exits 123.
status=0
printf '%s\0' "${files[@]}" |
    xargs -0 -n 1 -P "$jobs" "$tidy" -p "$build" --quiet --warnings-as-errors='*' \
        --extra-arg=-Wno-unknown-warning-option || status=$?
if ((status != 0)); then
    echo "clang-tidy: findings above"
    exit 1
fi
echo "clang-tidy: no findings"
