#!/usr/bin/env bash
# Builds the pinlark-vault package from a configured build folder and checks it as dpkg and
# systemd will read it: its control fields, that its Depends covers every library the binary
# links, its files, the options file marked as a conffile, the unit's consistency with the
# package, `systemd-analyze verify` on the unit in a root holding the package, and the unit's
# exposure as `systemd-analyze security` scores it.
#   vault-package.sh BUILD_DIR CPACK VERSION
# Exits 77 (skipped) where systemd-analyze is missing, after the checks that do not need it.
set -euo pipefail

BUILD_DIR=$1
CPACK=$2
VERSION=$3
# The unit's exposure (0 safest, 10 most exposed) as systemd-analyze security scores it, at
# most. The unit scores 1.4 with systemd 252; 2.0 leaves room for a newer systemd's extra
# checks but not for dropping the user, file system or system call protections.
MAX_EXPOSURE=2.0

fail() {
    echo "vault-package: $*" >&2
    exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$CPACK" -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$work/out" \
    -D 'CPACK_COMPONENTS_ALL=vault;vault-service' >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
deb=$work/out/pinlark-vault_${VERSION}_${arch}.deb
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$work/out")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = pinlark-vault ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$VERSION" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = net ] || fail "Section is '$(field Section)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
case "$(field Description)" in
    "Pinlark Vault"*) ;;
    *) fail "the Description does not start with the server's summary: $(field Description)" ;;
esac
# Nothing of the desktop package's fields may leak into the server's.
[ -z "$(field Recommends)" ] || fail "Recommends the desktop's '$(field Recommends)'"
depends=$(field Depends)
# depends_on PACKAGE: Depends names PACKAGE, with or without a version.
depends_on() {
    tr ',' '\n' <<<"$depends" | awk -v p="$1" '$1 == p { found = 1 } END { exit !found }'
}
for desktop_only in qt6-qpa-plugins libqt6svg6 libqt6gui6 libqt6widgets6 hicolor-icon-theme \
    libcanberra0 libxcb1; do
    if depends_on "$desktop_only"; then
        fail "Depends names the desktop's $desktop_only: $depends"
    fi
done

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
binary=$work/root/usr/bin/pinlark-vault
[ -x "$binary" ] || fail "no executable usr/bin/pinlark-vault"

# Every library the binary links comes from a package that Depends names.
needed=$(objdump -p "$binary" | awk '$1 == "NEEDED" { print $2 }')
[ -n "$needed" ] || fail "objdump found no NEEDED libraries in $binary"
while read -r library; do
    path=$(ldd "$binary" | awk -v lib="$library" '$1 == lib { print $3 }')
    [ -n "$path" ] || fail "ldd cannot find $library"
    owner=$(dpkg-query -S "$(realpath "$path")" 2>/dev/null || dpkg-query -S "$path") ||
        fail "no package owns $path"
    owner=${owner%%:*}
    depends_on "$owner" ||
        fail "Depends lacks $owner, which holds $library: $depends"
done <<<"$needed"

# The files, and nothing else.
files=$(cd "$work/root" && find . -type f | sort)
expected=$(printf '%s\n' ./etc/default/pinlark-vault ./lib/systemd/system/pinlark-vault.service \
    ./usr/bin/pinlark-vault | sort)
[ "$files" = "$expected" ] || fail "the package holds:
$files
instead of:
$expected"

# Everything under /etc is a conffile, so an upgrade keeps the administrator's edits.
[ -f "$work/control/conffiles" ] || fail "no conffiles"
conffiles=$(sort "$work/control/conffiles")
etc_files=$(cd "$work/root" && find ./etc -type f | sed 's/^\.//' | sort)
[ "$conffiles" = "$etc_files" ] || fail "conffiles lists '$conffiles', /etc holds '$etc_files'"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "no executable $script"
    sh -n "$work/control/$script" || fail "$script is not valid sh"
done

# The unit starts the packaged binary with the options of the packaged file, and by default
# keeps the database in its own state directory.
unit=$work/root/lib/systemd/system/pinlark-vault.service
value() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
exec_start=$(value ExecStart)
program=${exec_start%% *}
[ -x "$work/root$program" ] || fail "ExecStart runs $program, which the package lacks"
environment_file=$(value EnvironmentFile)
[ -f "$work/root$environment_file" ] ||
    fail "EnvironmentFile $environment_file is not in the package"
variable=$(grep -o '\$[A-Z_]*' <<<"$exec_start" | head -n 1)
[ -n "$variable" ] || fail "ExecStart takes no options from the environment: $exec_start"
options=$(sed -n "s/^${variable#\$}=\"\\(.*\\)\"$/\\1/p" "$work/root$environment_file")
[ -n "$options" ] || fail "$environment_file sets no ${variable#\$}"
state_directory=$(value StateDirectory)
[ -n "$state_directory" ] || fail "the unit has no StateDirectory"
grep -Eq -- "(^| )--data /var/lib/$state_directory( |$)" <<<"$options" ||
    fail "the default options keep the database outside /var/lib/$state_directory: $options"
grep -Eq -- "(^| )--plain-http( |$)" <<<"$options" ||
    fail "the default options do not serve plain HTTP for a proxy: $options"

if ! command -v systemd-analyze >/dev/null; then
    echo "vault-package: skipped the unit checks: systemd-analyze (package systemd) is missing"
    exit 77
fi
# verify loads the units the service's pulls in (sysinit.target and the like) from the same
# root, so the machine's own go beside the package's files.
mkdir -p "$work/root/usr/lib/systemd"
cp -r /lib/systemd/system "$work/root/usr/lib/systemd/"
# It warns of unknown or misspelt settings without failing; any line is a fault here.
if ! verify=$(systemd-analyze verify --man=no --root="$work/root" pinlark-vault.service 2>&1) ||
    [ -n "$verify" ]; then
    fail "systemd-analyze verify:
$verify"
fi
threshold=$(awk -v e="$MAX_EXPOSURE" 'BEGIN { printf "%d", e * 10 }')
if ! security=$(systemd-analyze security --offline=yes --root="$work/root" \
    --threshold="$threshold" pinlark-vault.service 2>&1); then
    echo "$security" | grep -v '^✓' >&2
    fail "the unit's exposure is above $MAX_EXPOSURE"
fi
echo "vault-package: $(grep 'Overall exposure' <<<"$security")"
