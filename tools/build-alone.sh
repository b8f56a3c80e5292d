#!/usr/bin/env bash
# Builds the desktop app and the server each on its own, as a distribution packaging only one
# of them would, and fails when either configure looked for a dependency of the other.
#   tools/build-alone.sh DESKTOP_BUILD_DIR SERVER_BUILD_DIR [JOBS]
# pkg-config is replaced by a wrapper that records every module asked for and refuses the
# other part's, so a stray pkg_check_modules fails the configure instead of passing on a
# machine that happens to have the library. Qt and Google Benchmark are found through their
# CMake packages; the cache then says which of those were looked for. Each build's cpack
# must make its own Debian package and not the other's.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

DESKTOP_DIR=$1
SERVER_DIR=$2
JOBS=${3:-$(nproc 2>/dev/null || echo 2)}

SERVER_MODULES=(libmicrohttpd sqlite3 libpq)
DESKTOP_MODULES=(libcanberra xcb)

fail() {
    echo "build-alone: $*" >&2
    exit 1
}

# wrapper FOLDER REFUSED...: a pkg-config that logs to FOLDER/pkg-config.log.
wrapper() {
    local folder=$1
    shift
    mkdir -p "$folder"
    local real
    real=$(command -v pkg-config) || fail "pkg-config is missing"
    : >"$folder/pkg-config.log"
    {
        echo '#!/usr/bin/env bash'
        echo "echo \"\$*\" >>'$folder/pkg-config.log'"
        echo 'for argument in "$@"; do'
        echo '    case "$argument" in'
        local module
        for module in "$@"; do
            echo "        $module|$module[\\ \\<\\>=]*) echo 'refused: $module' >&2; exit 1 ;;"
        done
        echo '    esac'
        echo 'done'
        echo "exec '$real' \"\$@\""
    } >"$folder/pkg-config"
    chmod +x "$folder/pkg-config"
    echo "$folder/pkg-config"
}

# refuse_mentions WHAT LOG MODULE...: fails when pkg-config was asked for one of the modules.
refuse_mentions() {
    local what=$1 log=$2
    shift 2
    local module
    for module in "$@"; do
        if grep -qw -- "$module" "$log"; then
            fail "the $what build asked pkg-config for $module"
        fi
    done
    :
}

# packages_are WHAT BUILD_DIR NAME...: cpack in BUILD_DIR makes the packages NAME... and no other.
packages_are() {
    local what=$1 dir
    # Absolute, as cpack runs inside it: ./dev passes folders relative to the project.
    dir=$(cd "$2" && pwd)
    shift 2
    rm -rf "$dir/packages"
    (cd "$dir" && cpack -G DEB -B "$dir/packages" >"$dir/cpack.log" 2>&1) ||
        { cat "$dir/cpack.log" >&2; fail "cpack failed in the $what build"; }
    local made expected
    made=$(cd "$dir/packages" && ls -- *.deb | sed 's/_.*//' | sort | tr '\n' ' ')
    expected=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    [ "$made" = "$expected" ] || fail "the $what build packages '$made' instead of '$expected'"
}

# refuse_cmake_packages WHAT CACHE PACKAGE...: fails when CMake found one of the packages.
refuse_cmake_packages() {
    local what=$1 cache=$2
    shift 2
    local package
    for package in "$@"; do
        if grep -Eq "^${package}_DIR:[A-Z]+=/" "$cache"; then
            fail "the $what build found the CMake package $package it does not need"
        fi
    done
}

echo "== The desktop app alone: no server, tests or benchmarks"
rm -rf "$DESKTOP_DIR"
desktop_wrapper=$(wrapper "$DESKTOP_DIR/.wrapper" "${SERVER_MODULES[@]}")
cmake -S . -B "$DESKTOP_DIR" -G Ninja -DPINLARK_WERROR=ON -DPINLARK_BUILD_SERVER=OFF \
    -DPINLARK_BUILD_TESTS=OFF -DPINLARK_BUILD_BENCHMARKS=OFF \
    -DPKG_CONFIG_EXECUTABLE="$desktop_wrapper"
refuse_mentions desktop "$DESKTOP_DIR/.wrapper/pkg-config.log" "${SERVER_MODULES[@]}"
refuse_cmake_packages desktop "$DESKTOP_DIR/CMakeCache.txt" Qt6Test benchmark
cmake --build "$DESKTOP_DIR" -j "$JOBS"
[ -x "$DESKTOP_DIR/src/app/pinlark" ] || fail "no pinlark binary in $DESKTOP_DIR"
[ ! -e "$DESKTOP_DIR/server" ] || fail "the desktop build made a server folder"
packages_are desktop "$DESKTOP_DIR" pinlark

echo "== The server alone, with its tests"
rm -rf "$SERVER_DIR"
server_wrapper=$(wrapper "$SERVER_DIR/.wrapper" "${DESKTOP_MODULES[@]}")
cmake -S . -B "$SERVER_DIR" -G Ninja -DPINLARK_WERROR=ON -DPINLARK_BUILD_DESKTOP=OFF \
    -DPKG_CONFIG_EXECUTABLE="$server_wrapper"
refuse_mentions server "$SERVER_DIR/.wrapper/pkg-config.log" "${DESKTOP_MODULES[@]}"
refuse_cmake_packages server "$SERVER_DIR/CMakeCache.txt" Qt6Widgets Qt6Gui Qt6DBus Qt6Svg \
    Qt6Concurrent benchmark
cmake --build "$SERVER_DIR" -j "$JOBS"
[ -x "$SERVER_DIR/server/pinlark-vault" ] || fail "no pinlark-vault binary in $SERVER_DIR"
[ ! -e "$SERVER_DIR/src" ] || fail "the server build made a client folder"
packages_are server "$SERVER_DIR" pinlark-vault
ctest --test-dir "$SERVER_DIR" --output-on-failure -j "$JOBS" -LE network
echo "build-alone: both parts build on their own"
