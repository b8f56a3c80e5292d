#!/usr/bin/env bash
# pinlark-vault under a slow-body attack over TLS on loopback: hundreds of connections from
# several addresses (127.0.0.2 and on), each sending a POST head and then a body byte every few
# seconds, reopened as soon as the server closes them, while a newcomer from 127.0.0.1 asks
# for a vault once a second. Prints how long the newcomer waited to be served and how long
# the slow connections lasted (bench/slow-body-attack.py). The figures are printed, never
# compared against anything.
#
#   bench/slow-body-attack.sh [extra pinlark-vault options]
#
# Builds pinlark-vault optimised in PINLARK_BENCH_BUILD_DIR (default build-bench beside src/)
# unless PINLARK_VAULT_BINARY names one, makes a throw-away certificate authority, keeps the
# database in a fresh folder and removes everything but the logs when it ends. Needs openssl
# and python3. Raises the open-file limit to what the hard limit allows: the server and the
# attacker each hold one descriptor per connection.
#
# Environment:
#   PINLARK_BENCH_BUILD_DIR           build folder (default: build-bench beside src/)
#   PINLARK_VAULT_BINARY              attack this pinlark-vault instead of building one
#   PINLARK_ATTACK_CONNECTIONS        slow connections (1024)
#   PINLARK_ATTACK_ADDRESSES          loopback addresses they come from (16)
#   PINLARK_ATTACK_DRIP               seconds between two body bytes (5)
#   PINLARK_ATTACK_SECONDS            length of the attack (60)
set -euo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${PINLARK_BENCH_BUILD_DIR:-${source_dir}/build-bench}"
connections="${PINLARK_ATTACK_CONNECTIONS:-1024}"
addresses="${PINLARK_ATTACK_ADDRESSES:-16}"
drip="${PINLARK_ATTACK_DRIP:-5}"
seconds="${PINLARK_ATTACK_SECONDS:-60}"

fail() {
    echo "slow-body-attack: FAILED: $*" >&2
    exit 1
}
for tool in openssl python3; do
    command -v "${tool}" >/dev/null 2>&1 || fail "${tool} is missing (apt-get install ${tool})"
done

if [ -n "${PINLARK_VAULT_BINARY:-}" ]; then
    vault="${PINLARK_VAULT_BINARY}"
    [ -x "${vault}" ] || fail "PINLARK_VAULT_BINARY '${vault}' is not an executable file"
else
    generator=()
    command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
    cmake -S "${source_dir}" -B "${build_dir}" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DPINLARK_BUILD_TESTS=OFF >/dev/null
    cmake --build "${build_dir}" --target pinlark-vault -j"$(nproc)" >/dev/null
    vault="${build_dir}/server/pinlark-vault"
fi

ulimit -n "$(ulimit -Hn)"
[ "$(ulimit -n)" -ge $((connections + 256)) ] ||
    fail "the open-file limit ($(ulimit -n)) is too low for ${connections} connections"

mkdir -p "${build_dir}"
work_dir=$(mktemp -d "${TMPDIR:-/tmp}/pinlark-slow-body.XXXXXX")
server_pid=
cleanup() {
    if [ -n "${server_pid}" ] && kill -0 "${server_pid}" 2>/dev/null; then
        kill -TERM "${server_pid}" 2>/dev/null || true
        wait "${server_pid}" 2>/dev/null || true
    fi
    rm -rf "${work_dir}"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
log="${build_dir}/slow-body-attack.log"
: >"${log}"

# A certificate authority of its own and a certificate for 127.0.0.1 that it signs.
(
    cd "${work_dir}"
    printf '%s\n' 'basicConstraints = critical, CA:TRUE' 'keyUsage = critical, keyCertSign' >ca.ext
    printf '%s\n' 'basicConstraints = critical, CA:FALSE' 'subjectAltName = IP:127.0.0.1' \
        'extendedKeyUsage = serverAuth' >server.ext
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj '/CN=slow-body CA' -keyout ca.key -out ca.pem -addext 'basicConstraints=critical,CA:TRUE'
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -subj '/CN=127.0.0.1' -keyout server.key -out server.csr
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile server.ext -out server.pem
) >>"${log}" 2>&1 || fail "openssl could not make the certificates; see ${log}"

"${vault}" --data "${work_dir}/data" --cert "${work_dir}/server.pem" \
    --key "${work_dir}/server.key" --listen 127.0.0.1:0 "$@" 2>>"${log}" &
server_pid=$!
url=
for _ in $(seq 100); do
    url=$(sed -n 's/.* serving \(https:[^ ]*\) from .*/\1/p' "${log}")
    [ -n "${url}" ] && break
    kill -0 "${server_pid}" 2>/dev/null || fail "pinlark-vault did not start; see ${log}"
    sleep 0.1
done
[ -n "${url}" ] || fail "pinlark-vault did not say where it serves; see ${log}"
echo "pinlark-vault at ${url} ($("${vault}" --version))"

python3 "${source_dir}/bench/slow-body-attack.py" --port "${url##*:}" --ca "${work_dir}/ca.pem" \
    --connections "${connections}" --addresses "${addresses}" --drip "${drip}" \
    --seconds "${seconds}"
kill -0 "${server_pid}" 2>/dev/null || fail "pinlark-vault ended during the attack; see ${log}"
