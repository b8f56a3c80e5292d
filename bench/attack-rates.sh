#!/usr/bin/env bash
# Legitimate GET and POST rates of pinlark-vault while 1,000 harmful TLS connections are held
# (half slow bodies, half clients that never read their answers: bench/hold-connections.py,
# from 127.0.0.2 and on), as a ratio to the rates of the quiet server, measured by wrk from
# 127.0.0.1 in rounds that alternate quiet and attacked. The figures are printed, never
# compared against anything.
#
#   bench/attack-rates.sh [extra pinlark-vault options]
#
# Needs openssl, python3 and wrk (installs wrk with apt-get when missing, as vault-load.sh).
#
# Environment:
#   PINLARK_BENCH_BUILD_DIR       build folder (default: build-bench beside src/)
#   PINLARK_VAULT_BINARY          measure this pinlark-vault instead of building one
#   PINLARK_ATTACK_CONNECTIONS    harmful connections (1000)
#   PINLARK_ATTACK_RATE_SECONDS   length of each wrk run (6)
#   PINLARK_ATTACK_RATE_ROUNDS    rounds (2)
#   PINLARK_ATTACK_RATE_CLIENTS   wrk connections (16)
set -euo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${PINLARK_BENCH_BUILD_DIR:-${source_dir}/build-bench}"
held_connections="${PINLARK_ATTACK_CONNECTIONS:-1000}"
seconds="${PINLARK_ATTACK_RATE_SECONDS:-6}"
rounds="${PINLARK_ATTACK_RATE_ROUNDS:-2}"
clients="${PINLARK_ATTACK_RATE_CLIENTS:-16}"
vault_count=64
lua_dir="${source_dir}/bench/vault-load"

fail() {
    echo "attack-rates: FAILED: $*" >&2
    exit 1
}
for tool in openssl python3; do
    command -v "${tool}" >/dev/null 2>&1 || fail "${tool} is missing (apt-get install ${tool})"
done
if ! command -v wrk >/dev/null 2>&1; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q wrk ||
        fail "could not install wrk; install it by hand"
fi
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
[ "$(ulimit -n)" -ge $((held_connections + 256)) ] ||
    fail "the open-file limit ($(ulimit -n)) is too low for ${held_connections} connections"

mkdir -p "${build_dir}"
work_dir=$(mktemp -d "${TMPDIR:-/tmp}/pinlark-attack-rates.XXXXXX")
server_pid=
holder_pid=
stop_holder() {
    if [ -n "${holder_pid}" ] && kill -0 "${holder_pid}" 2>/dev/null; then
        kill -TERM "${holder_pid}" 2>/dev/null || true
        wait "${holder_pid}" 2>/dev/null || true
    fi
    holder_pid=
}
cleanup() {
    stop_holder
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
log_dir="${build_dir}/attack-rates-logs"
rm -rf "${log_dir}"
mkdir -p "${log_dir}"
log="${log_dir}/server.log"

(
    cd "${work_dir}"
    printf '%s\n' 'basicConstraints = critical, CA:FALSE' 'subjectAltName = IP:127.0.0.1' \
        'extendedKeyUsage = serverAuth' >server.ext
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj '/CN=attack-rates CA' -keyout ca.key -out ca.pem -addext 'basicConstraints=critical,CA:TRUE'
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -subj '/CN=127.0.0.1' -keyout server.key -out server.csr
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile server.ext -out server.pem
) >"${log_dir}/openssl.log" 2>&1 || fail "openssl could not make the certificates"

# The defaults but for the miss limit, as seeding creates every vault.
"${vault}" --data "${work_dir}/data" --cert "${work_dir}/server.pem" \
    --key "${work_dir}/server.key" --listen 127.0.0.1:0 --miss-limit 0 "$@" 2>>"${log}" &
server_pid=$!
url=
for _ in $(seq 100); do
    url=$(sed -n 's/.* serving \(https:[^ ]*\) from .*/\1/p' "${log}")
    [ -n "${url}" ] && break
    kill -0 "${server_pid}" 2>/dev/null || fail "pinlark-vault did not start; see ${log}"
    sleep 0.1
done
[ -n "${url}" ] || fail "pinlark-vault did not say where it serves; see ${log}"

ids_file="${work_dir}/ids"
openssl rand -hex $((32 * vault_count)) | tr -d '\n' | fold -w 64 >"${ids_file}"
echo >>"${ids_file}"
text="${work_dir}/text"
openssl rand -base64 8000 | tr -d '\n' | head -c 10240 >"${text}"
python3 - "${url##*:}" "${work_dir}/ca.pem" "${ids_file}" "${text}" <<'EOF' || fail "seeding failed"
import http.client, json, ssl, sys
port, ca, ids, text = sys.argv[1:5]
connection = http.client.HTTPSConnection("127.0.0.1", int(port),
                                         context=ssl.create_default_context(cafile=ca))
body = json.dumps({"data": open(text).read()})
for id in open(ids).read().split():
    connection.request("POST", "/vault/pinlark/" + id, body, {"Content-Type": "application/json"})
    answer = connection.getresponse()
    answer.read()
    assert answer.status == 204, answer.status
EOF

results="${work_dir}/results"
: >"${results}"
# run STATE SCRIPT: one wrk run, one line of results.
run() {
    local state=$1 script=$2 round=$3
    local out="${log_dir}/${state}-${script%.lua}-${round}.log" status=0 extra=()
    [ "${script}" = get.lua ] || extra=("${text}")
    wrk --threads 1 --connections "${clients}" --duration "${seconds}s" --timeout 10s --latency \
        --script "${lua_dir}/${script}" "${url}" -- "${ids_file}" "${extra[@]}" >"${out}" 2>&1 ||
        status=$?
    if [ "${status}" -ne 0 ] || ! grep -q '^vault-load-result ' "${out}"; then
        cat "${out}" >&2
        fail "${state} ${script}: no figures"
    fi
    grep '^vault-load-result ' "${out}" | awk -v s="${state}" -v k="${script%.lua}" -v r="${round}" '{
        for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
        printf "%s %s %d %.1f %.2f %.2f\n", s, k, r, v["rps"], v["p50_ms"], v["p99_ms"] }' |
        tee -a "${results}" | awk '{ printf "  round %d  %-8s %-4s %9.0f/s  p50 %6.2f ms  p99 %7.2f ms\n", $3, $1, toupper($2), $4, $5, $6 }'
}
held_now() { cat "${work_dir}/held" 2>/dev/null || echo 0; }

echo "pinlark-vault at ${url}; ${held_connections} harmful connections against ${clients} of wrk"
for round in $(seq 1 "${rounds}"); do
    run quiet get.lua "${round}"
    run quiet post.lua "${round}"
    rm -f "${work_dir}/held"
    python3 "${source_dir}/bench/hold-connections.py" --port "${url##*:}" --ca "${work_dir}/ca.pem" \
        --vault "$(head -n 1 "${ids_file}")" --connections "${held_connections}" \
        --status "${work_dir}/held" >>"${log_dir}/holder.log" 2>&1 &
    holder_pid=$!
    for _ in $(seq 60); do
        [ "$(held_now)" -ge $((held_connections * 9 / 10)) ] && break
        sleep 1
    done
    echo "  holding $(held_now) connections"
    run attacked get.lua "${round}"
    run attacked post.lua "${round}"
    echo "  holding $(held_now) connections at the end of the round"
    stop_holder
done
kill -0 "${server_pid}" 2>/dev/null || fail "pinlark-vault ended during the attack; see ${log}"

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v s="$1" -v k="$2" -v c="$3" '$1 == s && $2 == k { print $c }' "${results}" | median; }
echo
echo "== legitimate rates under ${held_connections} slow-body and non-reading TLS connections, medians of ${rounds} rounds, ${seconds} s each =="
echo "machine: $(nproc) processors, load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
for kind in get post; do
    awk -v k="${kind}" -v q="$(column quiet "${kind}" 4)" -v a="$(column attacked "${kind}" 4)" \
        -v qp="$(column quiet "${kind}" 6)" -v ap="$(column attacked "${kind}" 6)" 'BEGIN {
        printf "  %-4s quiet %8.0f/s (p99 %.2f ms)  attacked %8.0f/s (p99 %.2f ms)  ratio %.2f\n",
            toupper(k), q, qp, a, ap, a / q }'
done
echo "wrk's output of every run: ${log_dir}"
