#!/usr/bin/env bash
# Installs the pinlark-vault package with apt into a fresh minimal Debian 12 root and runs the
# service in it as its unit does, then asks it over loopback for a vault that does not exist
# (404), stores one (204) and reads it back (200), stops it with SIGTERM (exit 0), and removes
# and purges the package (the unit masked, then forgotten; the database kept).
#   vault-chroot.sh BUILD_DIR CPACK
# It downloads Debian (PINLARK_DEBIAN_MIRROR, default deb.debian.org) and needs root for
# debootstrap and chroot; without root or debootstrap it exits 77 (skipped). systemd does not
# run in the root: the unit's sandbox is not applied, but its user (a uid from the dynamic
# range), state directory, umask, environment file and command line are, and the unit is
# checked with systemd-analyze verify inside the root, against the root's own files.
set -euo pipefail

BUILD_DIR=$1
CPACK=$2
MIRROR=${PINLARK_DEBIAN_MIRROR:-http://deb.debian.org/debian}
# The first uid systemd hands to a DynamicUser= service.
SERVICE_UID=61184

fail() {
    echo "vault-chroot: $*" >&2
    exit 1
}
skip() {
    echo "vault-chroot: skipped: $*"
    exit 77
}

[ "$(id -u)" -eq 0 ] || skip "needs root for debootstrap and chroot"
command -v debootstrap >/dev/null || skip "debootstrap (package debootstrap) is missing"

# Under /var/tmp: the root must allow devices and programs, which a /tmp may not.
work=$(realpath "$(mktemp -d "${TMPDIR:-/var/tmp}/vault-chroot.XXXXXX")")
root=$work/root
server_pid=

# Nothing is left behind: the server is killed, the root's mounts are undone, and the root is
# deleted only once nothing is mounted inside it any more.
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -KILL "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    local mount
    for mount in "$root/proc" "$root/dev/pts" "$root/sys"; do
        if mountpoint -q "$mount" 2>/dev/null; then
            umount "$mount" || umount -l "$mount" || true
        fi
    done
    if grep -qF " $root/" /proc/self/mounts; then
        echo "vault-chroot: left $work in place: something is still mounted in it" >&2
        return
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "== The package"
"$CPACK" -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$work/out" \
    -D 'CPACK_COMPONENTS_ALL=vault;vault-service' >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/out/pinlark-vault_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no pinlark-vault package"
deb=${debs[0]}

echo "== A minimal Debian 12 root from $MIRROR"
debootstrap --variant=minbase bookworm "$root" "$MIRROR" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 30 "$work/debootstrap.log" >&2; fail "debootstrap failed"; }
mount -t proc proc "$root/proc"
cp /etc/resolv.conf "$root/etc/resolv.conf"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }

echo "== apt install systemd, then apt install ./$(basename "$deb")"
# systemd first, as on any Debian system: the package's scripts enable the unit with it.
in_root apt-get install -y -q --no-install-recommends systemd >"$work/apt.log" 2>&1 ||
    { tail -n 30 "$work/apt.log" >&2; fail "apt-get install systemd failed"; }
cp "$deb" "$root/tmp/"
in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" \
    >>"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log" >&2; fail "apt-get install failed"; }
[ "$(in_root dpkg-query -W -f='${db:Status-Status}' pinlark-vault)" = installed ] ||
    fail "pinlark-vault is not installed"
wanted=$root/etc/systemd/system/multi-user.target.wants/pinlark-vault.service
[ -L "$wanted" ] || fail "the install did not enable pinlark-vault.service"
if ! verify=$(in_root systemd-analyze verify --man=no pinlark-vault.service 2>&1) ||
    [ -n "$verify" ]; then
    fail "systemd-analyze verify in the root:
$verify"
fi
echo "$(in_root systemd-analyze security --offline=yes pinlark-vault.service | tail -n 1)"

echo "== The service, started as its unit starts it"
unit=$root/lib/systemd/system/pinlark-vault.service
value() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
exec_start=$(value ExecStart)
environment_file=$(value EnvironmentFile)
state_directory=$(value StateDirectory)
umask_value=$(value UMask)
[ -n "$exec_start" ] && [ -n "$environment_file" ] && [ -n "$state_directory" ] ||
    fail "the unit lacks ExecStart, EnvironmentFile or StateDirectory"
# What DynamicUser= with StateDirectory= makes: a private folder of the service's user, reached
# through /var/lib. systemd keeps /var/lib/private closed to everyone else but lets the service
# through it in its own mount namespace; here it can only be left traversable.
install -d -m 0700 -o "$SERVICE_UID" -g "$SERVICE_UID" "$root/var/lib/private/$state_directory"
chmod 0711 "$root/var/lib/private"
ln -s "private/$state_directory" "$root/var/lib/$state_directory"
listen=$(grep -o -- '--listen [^ "]*' "$root$environment_file" | head -n 1 | cut -d' ' -f2)
[ -n "$listen" ] || fail "$environment_file names no --listen address"
port=${listen##*:}
if ss -Hltn "sport = :$port" | grep -q .; then
    # Another program here has the default port: move the service, as an administrator would.
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    sed -i "s/--listen 127\\.0\\.0\\.1:[0-9]*/--listen 127.0.0.1:$port/" "$root$environment_file"
    echo "vault-chroot: port ${listen##*:} is taken here; the service listens on $port"
fi
log=$work/service.log
: >"$log"
# systemd reads the environment file and splits an unquoted $VARIABLE of ExecStart into words,
# as sh does with these.
chroot --userspec="$SERVICE_UID:$SERVICE_UID" "$root" env -i PATH=/usr/sbin:/usr/bin \
    sh -c "umask $umask_value; set -a; . $environment_file; set +a; exec $exec_start" \
    >"$log" 2>&1 &
server_pid=$!
until grep -q 'serving' "$log"; do
    kill -0 "$server_pid" 2>/dev/null || { cat "$log" >&2; fail "the service ended at start"; }
    sleep 0.2
done
cat "$log"
[ "$(readlink "/proc/$server_pid/exe")" = "$root/usr/bin/pinlark-vault" ] ||
    fail "the started process is $(readlink "/proc/$server_pid/exe"), not the package's binary"
[ "$(stat -c %u "/proc/$server_pid")" = "$SERVICE_UID" ] || fail "the service does not run as $SERVICE_UID"

python3 - "$port" <<'PYTHON' || fail "the service did not answer as a Vault does"
import http.client, json, secrets, sys
port = int(sys.argv[1])
path = "/vault/pinlark/" + secrets.token_hex(32)
def ask(method, body=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    headers = {"Content-Type": "application/json", "X-Forwarded-For": "192.0.2.7"}
    connection.request(method, path, body=body, headers=headers)
    answer = connection.getresponse()
    return answer.status, answer.read()
status, _ = ask("GET")
assert status == 404, f"GET of a new vault: {status}"
status, _ = ask("POST", json.dumps({"data": "ciphertext"}))
assert status == 204, f"POST: {status}"
status, body = ask("GET")
assert status == 200 and json.loads(body) == {"data": "ciphertext"}, f"GET: {status} {body!r}"
print("vault-chroot: GET 404, POST 204, GET 200 on 127.0.0.1:%d" % port)
PYTHON

database=$root/var/lib/private/$state_directory/vaults.sqlite3
[ -f "$database" ] || fail "no database in the state directory"
[ "$(stat -c '%u %a' "$database")" = "$SERVICE_UID 600" ] ||
    fail "the database is $(stat -c '%U %a' "$database"), not the service's alone"

kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=
[ "$status" -eq 0 ] || { cat "$log" >&2; fail "the service exited $status on SIGTERM"; }
grep -q 'stopped on SIGTERM' "$log" || fail "the service did not log its stop"
# As with debhelper's scripts: removal masks the unit, purge forgets its enablement.
in_root apt-get remove -y -q pinlark-vault >>"$work/apt.log" 2>&1 ||
    { tail -n 30 "$work/apt.log" >&2; fail "apt-get remove failed"; }
[ "$(readlink "$root/etc/systemd/system/pinlark-vault.service")" = /dev/null ] ||
    fail "the removal did not mask the unit"
in_root apt-get purge -y -q pinlark-vault >>"$work/apt.log" 2>&1 ||
    { tail -n 30 "$work/apt.log" >&2; fail "apt-get purge failed"; }
for link in "$wanted" "$root/etc/systemd/system/pinlark-vault.service"; do
    [ ! -L "$link" ] || fail "the purge left $link"
done
[ -f "$database" ] || fail "the purge deleted the database"
echo "vault-chroot: installed, enabled, served, stopped, removed and purged cleanly"
