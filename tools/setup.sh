#!/usr/bin/env bash
# Installs what this machine lacks to build libZentrel, run its tests and check
# its manual pages, and nothing it already has. The one list of the packages
# the project needs: .ci/run calls this script too.
#
# Usage: tools/setup.sh         what the README's two commands need
#        tools/setup.sh --ci    also what .ci/run needs (Clang 14 with libc++,
#                               sanitizer runtimes, valgrind, gcovr, clang-format,
#                               clang-tidy, libabigail)
#
# Debian (12) installs with apt-get, FreeBSD with pkg; run it as root or with
# sudo available. Anything else: install the equivalents by hand.
set -euo pipefail

ci=false
case ${1:-} in
    --ci) ci=true ;;
    "") ;;
    *)
        echo "usage: $0 [--ci]" >&2
        exit 2
        ;;
esac

as_root=()
if ((EUID != 0)); then
    command -v sudo >/dev/null || { echo "setup: run as root, or install sudo" >&2; exit 2; }
    as_root=(sudo)
fi

system=$(uname -s)
if [[ $system == Linux && -r /etc/debian_version ]]; then
    packages=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev uuid-dev mandoc man-db)
    if $ci; then
        packages+=(clang-14 libc++-14-dev libc++abi-14-dev libclang-rt-14-dev googletest valgrind gcovr
            clang-format-14 clang-tidy-14 abigail-tools)
    fi
    missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]} == 0)); then
        echo "setup: nothing to install"
        exit 0
    fi
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
elif [[ $system == FreeBSD ]]; then
    # The compiler, libc++, mandoc and man(1) are part of the base system.
    packages=(cmake ninja googletest benchmark pkgconf)
    if $ci; then
        echo "setup: .ci/run targets Debian 12; installing what the README needs only" >&2
    fi
    missing=()
    for p in "${packages[@]}"; do
        pkg info -e "$p" || missing+=("$p")
    done
    if ((${#missing[@]} == 0)); then
        echo "setup: nothing to install"
        exit 0
    fi
    echo "setup: installing ${missing[*]}"
    "${as_root[@]}" env ASSUME_ALWAYS_YES=yes pkg install -y "${missing[@]}"
else
    echo "setup: no package list for $system; see the README for what to install" >&2
    exit 2
fi
