#!/usr/bin/env bash
# Installs libZentrel into a temporary prefix and builds programs against it the
# way other projects do:
#   - a CMake project (tests/consumer/CMakeLists.txt) with find_package(Zentrel):
#     C++ through Zentrel::Zentrel and Zentrel::core, C through Zentrel::Zentrel;
#   - a C program compiled with `pkg-config --cflags --libs zentrel`.
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

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        echo "FAILED: $what"
        failed=$((failed + 1))
    fi
}

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
        [[ -f $libdir/cmake/Zentrel/ZentrelConfig.cmake && -f $libdir/cmake/Zentrel/ZentrelConfigVersion.cmake ]] &&
        [[ -f $libdir/pkgconfig/zentrel.pc ]] &&
        [[ -z $(find "$prefix/include" -type f ! -name '*.h') ]]
}
check "installed layout: SONAME links, archive, headers only, CMake package, pkg-config file" installed_layout

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
