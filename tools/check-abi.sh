#!/usr/bin/env bash
# Guards the binary interface of libZentrel.so: describes a built library with
# libabigail's abidw and compares it with abidiff against the committed
# baseline abi/libZentrel.abi. Fails on any change to the exported functions or
# to the types they use (VARIANT, CComVariant, Primitive, HandleManager's size
# and members, IUnknown's table, ...), additions included.
#
#   tools/check-abi.sh [BUILD_DIR]            check (default: build/default)
#   tools/check-abi.sh --update [BUILD_DIR]   rewrite the baseline from the build
#
# The baseline describes the GCC 12 + libstdc++ build of Debian 12 (the default
# preset); other toolchains lay out the standard types HandleManager holds
# differently. An intended change rewrites the baseline in the same commit as
# the change, with the reason in the commit message.
set -euo pipefail
cd "$(dirname "$0")/.."

update=false
if [[ ${1:-} == --update ]]; then
    update=true
    shift
fi
build=${1:-build/default}
baseline=abi/libZentrel.abi

command -v abidw >/dev/null || { echo "abidw not found (Debian: apt-get install abigail-tools)" >&2; exit 2; }
library=$(find "$build/src" -maxdepth 1 -type f -name 'libZentrel.so.*' -print -quit 2>/dev/null || true)
if [[ -z $library ]]; then
    echo "no libZentrel.so under $build/src: build it first (cmake --workflow --preset default)" >&2
    exit 2
fi

# Only the exported interfaces and what they reach are described, and no path
# of this machine goes in (corpus path, compilation directory, source
# locations; translation units are named relative to the source tree), so that
# a clean clone anywhere writes the same text.
root=$(pwd)
describe() {
    abidw --exported-interfaces-only --no-corpus-path --no-comp-dir-path --no-show-locs "$library" |
        sed "s|path='$root/|path='|" >"$1"
}

if $update; then
    describe "$baseline"
    echo "wrote $baseline from $library"
    exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
describe "$work/current.abi"
status=0
abidiff --harmless "$baseline" "$work/current.abi" >"$work/report.txt" 2>&1 || status=$?
if ((status != 0)); then
    cat "$work/report.txt"
    echo "the ABI of $library differs from $baseline (abidiff exit $status)." >&2
    echo "If the change is intended, run tools/check-abi.sh --update and commit the new baseline with the change, saying why." >&2
    exit 1
fi
echo "ABI of $library matches $baseline"
