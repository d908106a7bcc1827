#!/usr/bin/env bash
# Installs libZentrel into a temporary prefix and builds programs against it the
# way other projects do:
#   - a CMake project (tests/consumer/CMakeLists.txt) with find_package(Zentrel):
#     C++ through Zentrel::Zentrel and Zentrel::core, C through Zentrel::Zentrel;
#   - a C program compiled with `pkg-config --cflags --libs zentrel`;
# and checks what was installed: only the public headers, each compiling on its
# own; no trace of the tests' allocation-failure hook in the libraries; exactly
# the promised exports from libZentrel.so; a manual page found by a link name.
# Each program runs from its build directory, finding libZentrel.so by rpath.
#
# Usage: tests/consumer/run.sh [build-dir]   (default: build/consumer)
# Honours CC, CXX, CFLAGS, CXXFLAGS and LDFLAGS, so the same check runs with
# another toolchain, e.g. CC=clang-14 CXX=clang++-14 CXXFLAGS=-stdlib=libc++
# LDFLAGS=-stdlib=libc++.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/consumer}
work=$(mktemp -d "${TMPDIR:-/tmp}/zentrel-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

# The version is stated once, in the top-level project() call.
version=$(sed -n 's/^project(Zentrel VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
major=${version%%.*}

# shellcheck source=tools/checks.sh
source "$root/tools/checks.sh"

echo "== building libZentrel $version (Release, no tests) in $build"
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DZENTREL_BUILD_TESTS=OFF -DZENTREL_BUILD_EXAMPLES=OFF -DZENTREL_BUILD_BENCH=OFF -DZENTREL_BUILD_FUZZ=OFF >/dev/null
cmake --build "$build" -j2
echo "== installing into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

library=$(find "$prefix" -name libZentrel.so -print -quit)
libdir=$(dirname "${library:-$prefix/lib/none}")
installed_layout() {
    [[ -L $libdir/libZentrel.so && $(readlink "$libdir/libZentrel.so") == "libZentrel.so.$major" ]] &&
        [[ -L $libdir/libZentrel.so.$major && $(readlink "$libdir/libZentrel.so.$major") == "libZentrel.so.$version" ]] &&
        [[ -f $libdir/libZentrel.so.$version && -f $libdir/libzentrel_core.a ]] &&
        [[ -f $prefix/include/interop/interop.h && -f $prefix/include/interop/proxy.h ]] &&
        [[ -f $prefix/include/automation/automation.h && -f $prefix/include/automation/strings/bstr.h ]] &&
        [[ ! -e $prefix/include/automation/memory.h && ! -e $prefix/include/automation/safearray/layout.h ]] &&
        [[ -f $libdir/cmake/Zentrel/ZentrelConfig.cmake && -f $libdir/cmake/Zentrel/ZentrelConfigVersion.cmake ]] &&
        [[ -f $libdir/pkgconfig/zentrel.pc ]] &&
        [[ -z $(find "$prefix/include" -type f ! -name '*.h') ]]
}
check "installed layout: SONAME links, archive, headers only, CMake package, pkg-config file" installed_layout

# A function's manual page, found by its link name in the installed tree.
manual_page() {
    local page
    page=$(MANPAGER=cat man -M "$prefix/share/man" 3 VariantChangeType 2>&1) || { echo "$page"; return 1; }
    grep -q "VARIANTCHANGETYPEEX(3)" <<<"$page" && grep -q "VariantChangeType(" <<<"$page"
}
check "man -M PREFIX/share/man 3 VariantChangeType shows the installed page" manual_page

# The shipped binaries: no trace of the tests' allocation-failure hook, and
# libZentrel.so exports exactly the promised symbols.
no_fault_hook() {
    cmake "-DSHIPPED=$libdir/libZentrel.so.$version;$libdir/libzentrel_core.a" \
        -P "$root/tests/interop/check_no_fault_hook.cmake"
}
check "installed libZentrel.so and libzentrel_core.a carry no fault-injection symbol" no_fault_hook
installed_exports() {
    cmake -DLIBRARY="$libdir/libZentrel.so.$version" -DEXPECTED="$root/tests/interop/expected_exports.txt" \
        -P "$root/tests/interop/check_exports.cmake"
}
check "installed libZentrel.so exports exactly tests/interop/expected_exports.txt" installed_exports

# Every installed header compiles on its own with nothing but the installed
# tree on the include path (interop/proxy.h also as C11), and includes only
# headers that are installed too, whatever the preprocessor conditions.
headers_stand_alone() {
    local header ok=0
    while IFS= read -r header; do
        header=${header#"$prefix/include/"}
        # shellcheck disable=SC2086  # the flags are words
        if ! printf '#include "%s"\n' "$header" |
            "${CXX:-c++}" -std=c++20 -fsyntax-only -Wall -Wextra -Werror ${CXXFLAGS:-} -I"$prefix/include" -x c++ -; then
            echo "  $header does not compile on its own"
            ok=1
        fi
        local included
        while IFS= read -r included; do
            [[ -f $prefix/include/$included ]] || { echo "  $header includes $included, which is not installed"; ok=1; }
        done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$prefix/include/$header")
    done < <(find "$prefix/include" -type f -name '*.h' | sort)
    # shellcheck disable=SC2086
    printf '#include "interop/proxy.h"\n' |
        "${CC:-cc}" -std=c11 -fsyntax-only -Wall -Wextra -Wpedantic -Werror ${CFLAGS:-} -I"$prefix/include" -x c - || ok=1
    return $ok
}
check "every installed header compiles alone and includes only installed headers" headers_stand_alone

cmake_consumer() {
    cmake -S "$root/tests/consumer" -B "$work/cmake" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$prefix" -DZENTREL_EXPECTED_VERSION="$version" >/dev/null &&
        cmake --build "$work/cmake" &&
        "$work/cmake/variant_and_bstr" &&
        "$work/cmake/proxy_client"
}
check "find_package(Zentrel): C++ via Zentrel::Zentrel + Zentrel::core, C via Zentrel::Zentrel" cmake_consumer

# The boundary must come from libZentrel.so, not be copied out of the archive.
uses_shared_library() {
    local exe=$work/cmake/variant_and_bstr
    [[ -x $exe ]] || return 1
    if command -v readelf >/dev/null 2>&1; then
        readelf -d "$exe" | grep -q "NEEDED.*\[libZentrel.so.$major\]" || return 1
    fi
    nm -C --undefined-only "$exe" | grep -q "KoAtlCom::Interop::ToVariant"
}
check "the C++ program takes ToVariant from libZentrel.so.$major" uses_shared_library

pkg_config_consumer() {
    local pcdir=$libdir/pkgconfig
    [[ $(PKG_CONFIG_PATH=$pcdir pkg-config --modversion zentrel) == "$version" ]] || return 1
    local cflags libs
    cflags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags zentrel)
    libs=$(PKG_CONFIG_PATH=$pcdir pkg-config --libs zentrel)
    # shellcheck disable=SC2086  # the flags are words
    "${CC:-cc}" -std=c11 -Wall -Wextra -Werror ${CFLAGS:-} $cflags "$root/tests/consumer/proxy_client.c" \
        -o "$work/proxy_client_pc" ${LDFLAGS:-} $libs -Wl,-rpath,"$libdir" &&
        "$work/proxy_client_pc"
}
check "pkg-config zentrel: C11 program with interop/proxy.h" pkg_config_consumer

echo "consumer: $passed passed, $failed failed"
((failed == 0))
