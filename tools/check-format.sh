#!/usr/bin/env bash
# Checks that every tracked C and C++ file is formatted as .clang-format says,
# changing nothing. Exits non-zero and names the files that differ.
#
# Usage: tools/check-format.sh [path...]   (default: the whole repository)
#   tools/check-format.sh --fix [path...]   formats the files in place instead
# CLANG_FORMAT names another clang-format binary (default clang-format-14, the
# version whose output is the reference; other versions format differently).
set -euo pipefail

cd "$(dirname "$0")/.."
format=${CLANG_FORMAT:-clang-format-14}
fix=false
if [[ ${1:-} == --fix ]]; then
    fix=true
    shift
fi
command -v "$format" >/dev/null || { echo "$format not found (Debian: apt-get install clang-format-14)" >&2; exit 2; }

mapfile -t files < <(git ls-files -- "${@:-.}" | grep -E '\.(c|cc|cpp|cxx|h|hh|hpp|hxx|inl)$')
if ((${#files[@]} == 0)); then
    echo "no C or C++ files to check" >&2
    exit 2
fi

if $fix; then
    "$format" -i "${files[@]}"
    echo "formatted ${#files[@]} files"
    exit 0
fi

unformatted=()
for file in "${files[@]}"; do
    "$format" --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if ((${#unformatted[@]})); then
    printf 'needs formatting: %s\n' "${unformatted[@]}"
    echo "format: $((${#files[@]} - ${#unformatted[@]})) passed, ${#unformatted[@]} failed (tools/check-format.sh --fix formats them)"
    exit 1
fi
echo "format: ${#files[@]} passed, 0 failed"
