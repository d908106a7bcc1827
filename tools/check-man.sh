#!/usr/bin/env bash
# Checks the manual pages in man/.
#
#   tools/check-man.sh              mandoc -Tlint -Wwarning reports nothing for
#                                   any page
#   tools/check-man.sh BUILD-DIR    that, then installs BUILD-DIR (built) into a
#                                   scratch prefix and checks what was installed:
#     - names: every function declared in the installed headers has a page
#       under share/man/man3 (the page or one of its links), and every page
#       name is such a function;
#     - prototypes: every SYNOPSIS prototype (.Ft with .Fn, or .Fo/.Fa/.Fc) is
#       a declaration of the headers, type and parameter names included, and
#       every declaration appears on a page (noexcept and
#       ZENTREL_EXPORT aside);
#     - examples: each page's EXAMPLES program compiles with -Wall -Wextra
#       -Werror against the installed tree, links as its LIBRARY section says
#       (libZentrel.so through pkg-config when it includes only interop/
#       headers, libzentrel_core.a otherwise) and runs.
# Honours CXX and CXXFLAGS.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-}
command -v mandoc >/dev/null || { echo "mandoc not found (tools/setup.sh installs it)" >&2; exit 2; }

# shellcheck source=tools/checks.sh
source "$root/tools/checks.sh"

pages=("$root"/man/*.3)
lint() {
    local report
    report=$(mandoc -Tlint -Wwarning "${pages[@]}" 2>&1) || true
    [[ -z $report ]] || { echo "$report"; return 1; }
}
check "mandoc -Tlint -Wwarning: ${#pages[@]} pages" lint

if [[ -z $build ]]; then
    echo "man: $passed passed, $failed failed"
    ((failed == 0))
    exit
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zentrel-man.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
man3=$(find "$prefix" -type d -path '*/man/man3' -print -quit)
[[ -n $man3 ]] || { echo "no man3 directory installed under $prefix" >&2; exit 1; }

# Declarations at namespace scope in the installed headers, one a line, as
# "type name(parameters)": a declaration starts in column 0 (member functions
# are indented) and runs to its ';' or '{'.
declarations() {
    find "$prefix/include" -name '*.h' -exec cat {} + | awk '
        function emit(text, head) {
            sub(/[;{].*$/, "", text)
            gsub(/ZENTREL_EXPORT|ZENTREL_PROXY_NOEXCEPT|noexcept/, "", text)
            gsub(/[ \t]+/, " ", text); gsub(/\( /, "(", text); gsub(/ \)/, ")", text)
            sub(/^ +/, "", text); sub(/ +$/, "", text)
            head = text; sub(/\(.*/, "", head)
            if (head ~ /^[A-Za-z_][A-Za-z0-9_:]*([ *&]+[A-Za-z_][A-Za-z0-9_:]*)*[ *&]+[A-Za-z_][A-Za-z0-9_]*$/) print text
        }
        open { text = text " " $0; if ($0 ~ /[;{]/) { emit(text); open = 0 } next }
        /^[A-Za-z_]/ && !/^(struct|class|union|enum|using|typedef|namespace|static_assert|extern|template)[ (]/ && !/^(public|private|protected):/ {
            text = $0; if ($0 ~ /[;{]/) emit(text); else open = 1
        }' | sort -u
}

# The SYNOPSIS prototypes of the installed pages (links resolve to their page),
# in the same form.
prototypes() {
    find "$man3" -type f -name '*.3' -exec awk '
        function args(line, parts, n, i, out) {
            n = split(line, parts, "\"")
            for (i = 2; i <= n; i += 2) out = out (out == "" ? "" : ", ") parts[i]
            return out
        }
        /^\.Sh / { synopsis = ($2 == "SYNOPSIS"); next }
        !synopsis { next }
        /^\.Ft / { type = substr($0, 5); next }
        /^\.Fn / { print type " " $2 "(" args($0) ")"; next }
        /^\.Fo / { name = $2; list = ""; next }
        /^\.Fa / { list = list (list == "" ? "" : ", ") args($0); next }
        /^\.Fc/ { print type " " name "(" list ")" }' {} + | sort -u
}

names() {
    declarations | sed 's/(.*//; s/.*[ *&]//' | sort -u >"$work/functions"
    find "$man3" -name '*.3' | sed 's,.*/,,; s/\.3$//' | sort -u >"$work/pages"
    local ok=0
    comm -23 "$work/functions" "$work/pages" | sed 's/^/  no page: /' | grep . && ok=1
    comm -13 "$work/functions" "$work/pages" | sed 's/^/  no such function: /' | grep . && ok=1
    return $ok
}
check "names: every function in the installed headers has a page, every page name is a function" names

synopses() {
    declarations >"$work/declared"
    prototypes >"$work/documented"
    local ok=0
    comm -23 "$work/declared" "$work/documented" | sed 's/^/  declared, not on a page: /' | grep . && ok=1
    comm -13 "$work/declared" "$work/documented" | sed 's/^/  on a page, not declared: /' | grep . && ok=1
    return $ok
}
check "prototypes: the SYNOPSIS sections match the installed headers" synopses

# The EXAMPLES program of a page: its literal display, with the escapes mdoc
# needs there (\e for a backslash, \& before a leading dot) undone.
example_of() {
    awk '/^\.Sh / { inside = ($2 == "EXAMPLES"); next }
         inside && /^\.Bd -literal/ { shown = 1; next }
         inside && /^\.Ed/ { shown = 0; next }
         shown' "$1" | sed -e 's/\\&//g' -e 's/\\e/\\/g'
}

libdir=$(dirname "$(find "$prefix" -name libZentrel.so -print -quit)")
examples() {
    local page name source ok=0 link
    for page in "$man3"/*.3; do
        [[ -L $page ]] && continue
        name=$(basename "$page" .3)
        source=$work/$name.cpp
        example_of "$page" >"$source"
        if [[ ! -s $source ]]; then
            echo "  $name.3: no EXAMPLES program"
            ok=1
            continue
        fi
        if grep -q '#include "automation/' "$source"; then
            link=(-L"$libdir" -lzentrel_core -pthread)
        else
            # shellcheck disable=SC2207  # the flags are words
            link=($(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --libs zentrel) -Wl,-rpath,"$libdir")
        fi
        # shellcheck disable=SC2086  # the flags are words
        if ! "${CXX:-c++}" -std=c++20 -Wall -Wextra -Werror ${CXXFLAGS:-} -I"$prefix/include" "$source" \
            -o "$work/$name" "${link[@]}"; then
            echo "  $name.3: the example does not build"
            ok=1
        elif ! "$work/$name" >/dev/null; then
            echo "  $name.3: the example fails when run"
            ok=1
        fi
    done
    return $ok
}
check "examples: every page's EXAMPLES program builds against the installed tree and runs" examples

echo "man: $passed passed, $failed failed"
((failed == 0))
