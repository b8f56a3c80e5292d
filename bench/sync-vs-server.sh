#!/usr/bin/env bash
# The sync benchmark against pinlark-vault, as a self-hoster runs it, instead of the loopback
# Vault inside the benchmark's own process: a whole sync of a large stack over TLS, next to
# the cost of its two key derivations, and the longest the GUI thread waited meanwhile.
#
#   bench/sync-vs-server.sh [runs] [cards]   (default 5 runs of 10,000 cards)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build_dir=${PINLARK_BUILD_DIR:-build}
cmake -S . -B "${build_dir}" -G Ninja -DPINLARK_WERROR=ON -DPINLARK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "${build_dir}" --target sync_bench pinlark-vault >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/pinlark-sync-vs-server.XXXXXX")
server_pid=
cleanup() {
    [ -z "${server_pid}" ] || kill -TERM "${server_pid}" 2>/dev/null || true
    [ -z "${server_pid}" ] || wait "${server_pid}" 2>/dev/null || true
    rm -rf "${work}"
}
trap cleanup EXIT

# A certificate authority of the run's own, and a certificate for 127.0.0.1 that it signs.
printf '%s\n' 'basicConstraints = critical, CA:TRUE' 'keyUsage = critical, keyCertSign, cRLSign' \
    'subjectKeyIdentifier = hash' >"${work}/ca.ext"
printf '%s\n' 'basicConstraints = critical, CA:FALSE' 'keyUsage = critical, digitalSignature' \
    'extendedKeyUsage = serverAuth' 'subjectAltName = IP:127.0.0.1' \
    'subjectKeyIdentifier = hash' 'authorityKeyIdentifier = keyid' >"${work}/server.ext"
{
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "${work}/ca.key"
    openssl req -new -key "${work}/ca.key" -subj '/CN=Pinlark bench CA' -out "${work}/ca.csr"
    openssl x509 -req -in "${work}/ca.csr" -signkey "${work}/ca.key" -days 1 \
        -extfile "${work}/ca.ext" -out "${work}/ca.pem"
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "${work}/server.key"
    openssl req -new -key "${work}/server.key" -subj '/CN=127.0.0.1' -out "${work}/server.csr"
    openssl x509 -req -in "${work}/server.csr" -CA "${work}/ca.pem" -CAkey "${work}/ca.key" \
        -CAcreateserial -days 1 -extfile "${work}/server.ext" -out "${work}/server.pem"
} >"${work}/openssl.log" 2>&1 || { cat "${work}/openssl.log" >&2; exit 1; }

vault=$(find "${build_dir}" -name pinlark-vault -type f -perm -u+x | head -n 1)
sync_bench=$(find "${build_dir}" -name sync_bench -type f -perm -u+x | head -n 1)
"${vault}" --data "${work}/data" --cert "${work}/server.pem" --key "${work}/server.key" \
    --listen 127.0.0.1:0 --miss-limit 0 2>"${work}/server.log" &
server_pid=$!
url=
for _ in $(seq 1 100); do
    url=$(grep -o 'serving https://127\.0\.0\.1:[0-9]*' "${work}/server.log" | head -n 1 || true)
    [ -z "${url}" ] || break
    sleep 0.1
done
[ -n "${url}" ] || { cat "${work}/server.log" >&2; exit 1; }
PINLARK_BENCH_VAULT_URL=${url#serving } PINLARK_BENCH_VAULT_CA="${work}/ca.pem" \
    "${sync_bench}" "${1:-5}" "${2:-10000}"
