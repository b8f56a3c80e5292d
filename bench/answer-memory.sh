#!/usr/bin/env bash
# pinlark-vault and clients that never read: 1,024 TLS connections from 16 loopback addresses
# (127.0.0.2 and on), each sending pipelined GETs of a 16 MiB vault and reading nothing.
# Prints the server's VmRSS before, while they hold on and after they have gone, and what
# another client is answered meanwhile (bench/answer-memory.py). The figures are printed,
# never compared against anything.
#
#   bench/answer-memory.sh [extra pinlark-vault options]
#
# Builds pinlark-vault optimised in PINLARK_BENCH_BUILD_DIR (default build-bench beside src/)
# unless PINLARK_VAULT_BINARY names one (an older build, for comparison), makes a throw-away
# certificate authority, keeps the database in a fresh folder and removes everything but the
# log when it ends. Needs openssl and python3. Raises the open-file limit to what the hard
# limit allows.
#
# Environment:
#   PINLARK_BENCH_BUILD_DIR           build folder (default: build-bench beside src/)
#   PINLARK_VAULT_BINARY              measure this pinlark-vault instead of building one
#   PINLARK_ATTACK_CONNECTIONS        non-reading connections (1024)
#   PINLARK_ATTACK_ADDRESSES          loopback addresses they come from (16)
#   PINLARK_ATTACK_SECONDS            how long they hold on (10)
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${PINLARK_BENCH_BUILD_DIR:-${source_dir}/build-bench}"
connections="${PINLARK_ATTACK_CONNECTIONS:-1024}"
addresses="${PINLARK_ATTACK_ADDRESSES:-16}"
seconds="${PINLARK_ATTACK_SECONDS:-10}"

fail() {
    echo "answer-memory: FAILED: $*" >&2
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
work_dir=$(mktemp -d "${TMPDIR:-/tmp}/pinlark-answer-memory.XXXXXX")
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
log="${build_dir}/answer-memory.log"
: >"${log}"

# A certificate authority of its own and a certificate for 127.0.0.1 that it signs.
(
    cd "${work_dir}"
    printf '%s\n' 'basicConstraints = critical, CA:TRUE' 'keyUsage = critical, keyCertSign' >ca.ext
    printf '%s\n' 'basicConstraints = critical, CA:FALSE' 'subjectAltName = IP:127.0.0.1' \
        'extendedKeyUsage = serverAuth' >server.ext
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj '/CN=answer-memory CA' -keyout ca.key -out ca.pem -addext 'basicConstraints=critical,CA:TRUE'
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -subj '/CN=127.0.0.1' -keyout server.key -out server.csr
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile server.ext -out server.pem
) >>"${log}" 2>&1 || fail "openssl could not make the certificates; see ${log}"

"${vault}" --data "${work_dir}/data" --cert "${work_dir}/server.pem" \
    --key "${work_dir}/server.key" --listen 127.0.0.1:0 \
    --max-connections $((connections + 64)) "$@" 2>>"${log}" &
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

python3 "${source_dir}/bench/answer-memory.py" --port "${url##*:}" --ca "${work_dir}/ca.pem" \
    --pid "${server_pid}" --connections "${connections}" --addresses "${addresses}" \
    --hold "${seconds}"
kill -0 "${server_pid}" 2>/dev/null || fail "pinlark-vault ended during the run; see ${log}"
