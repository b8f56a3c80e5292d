#!/usr/bin/env bash
# pinlark-vault under load: GET and durable POST of 10 KiB payloads over TLS with keep-alive,
# from wrk on loopback, at a few connection counts. Prints requests/s, median and 99th
# percentile latency and errors for each, with the processor time the server and wrk took.
#
#   bench/vault-load.sh
#
# Builds pinlark-vault optimised in PINLARK_BENCH_BUILD_DIR (default build-bench beside src/),
# makes a throw-away certificate authority and a certificate for 127.0.0.1, keeps the database
# in a fresh folder under the build folder (on disk, so every POST is really flushed), seeds
# the vaults with curl and measures with wrk and the scripts in bench/vault-load/. Needs curl,
# openssl, python3 and wrk; installs the missing ones with apt-get.
#
# Environment:
#   PINLARK_BENCH_BUILD_DIR          build folder (default: build-bench beside src/)
#   PINLARK_BENCH_BUILD_TYPE         Release (default) or RelWithDebInfo, for a profiler
#   PINLARK_VAULT_BINARY             measure this pinlark-vault instead of building one
#   PINLARK_VAULT_LOAD_SECONDS       length of each measurement (10)
#   PINLARK_VAULT_LOAD_CONNECTIONS   connection counts to measure, in turn ("16 64")
#   PINLARK_VAULT_LOAD_WRK_THREADS   wrk threads (1)
#   PINLARK_VAULT_LOAD_VAULTS        vaults seeded and rotated over (64)
#   PINLARK_VAULT_LOAD_BYTES         payload text per vault (10240)
#   PINLARK_VAULT_LOAD_SERVER_THREADS  --threads of the server (default: the server's own)
#
# The figures are printed, never compared against anything. wrk and the server share this
# machine's processors, so the CPU columns say how the time was divided. A run in which any
# request got an answer outside 2xx or a socket error stops the script with status 1 instead
# of printing its figures. At the end the script checks that every vault holds a whole text
# of the last POST run, and the same after the server is stopped with SIGTERM and started
# again, and that it stopped with status 0.
set -euo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${PINLARK_BENCH_BUILD_DIR:-${source_dir}/build-bench}"
build_type="${PINLARK_BENCH_BUILD_TYPE:-Release}"
seconds="${PINLARK_VAULT_LOAD_SECONDS:-10}"
read -r -a connection_counts <<<"${PINLARK_VAULT_LOAD_CONNECTIONS:-16 64}"
wrk_threads="${PINLARK_VAULT_LOAD_WRK_THREADS:-1}"
vault_count="${PINLARK_VAULT_LOAD_VAULTS:-64}"
payload_bytes="${PINLARK_VAULT_LOAD_BYTES:-10240}"
server_threads="${PINLARK_VAULT_LOAD_SERVER_THREADS:-}"
lua_dir="${source_dir}/bench/vault-load"

fail() {
    echo "vault-load: FAILED: $*" >&2
    exit 1
}

whole_number() {
    [[ $2 =~ ^[1-9][0-9]*$ ]] || {
        echo "$1 must be a whole number above 0, not '$2'" >&2
        exit 2
    }
}

case "${build_type}" in
Release | RelWithDebInfo) ;;
*)
    echo "PINLARK_BENCH_BUILD_TYPE must be Release or RelWithDebInfo, not ${build_type}" >&2
    exit 2
    ;;
esac
whole_number PINLARK_VAULT_LOAD_SECONDS "${seconds}"
whole_number PINLARK_VAULT_LOAD_WRK_THREADS "${wrk_threads}"
whole_number PINLARK_VAULT_LOAD_VAULTS "${vault_count}"
whole_number PINLARK_VAULT_LOAD_BYTES "${payload_bytes}"
# post.lua writes a 16-digit tag of its own over the start of each text.
[ "${payload_bytes}" -gt 16 ] || {
    echo "PINLARK_VAULT_LOAD_BYTES must be more than 16" >&2
    exit 2
}
[ -z "${server_threads}" ] || whole_number PINLARK_VAULT_LOAD_SERVER_THREADS "${server_threads}"
[ ${#connection_counts[@]} -gt 0 ] || {
    echo "PINLARK_VAULT_LOAD_CONNECTIONS names no connection count" >&2
    exit 2
}
max_connections=0
for connections in "${connection_counts[@]}"; do
    whole_number PINLARK_VAULT_LOAD_CONNECTIONS "${connections}"
    [ "${connections}" -ge "${wrk_threads}" ] || {
        echo "each connection count must be at least PINLARK_VAULT_LOAD_WRK_THREADS (${wrk_threads})" >&2
        exit 2
    }
    [ "${connections}" -le "${max_connections}" ] || max_connections=${connections}
done

# The tools, from Debian packages of the same names.
install_missing() {
    local missing=() tool
    for tool in curl openssl python3 wrk; do
        command -v "${tool}" >/dev/null 2>&1 || missing+=("${tool}")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q ||
        fail "apt-get update failed; install ${missing[*]} by hand"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}" ||
        fail "could not install ${missing[*]}; install them by hand"
}
install_missing

if [ -n "${PINLARK_VAULT_BINARY:-}" ]; then
    vault="${PINLARK_VAULT_BINARY}"
    vault_origin="from PINLARK_VAULT_BINARY"
    [ -x "${vault}" ] || fail "PINLARK_VAULT_BINARY '${vault}' is not an executable file"
else
    generator=()
    if command -v ninja >/dev/null 2>&1; then
        generator=(-G Ninja)
    fi
    cmake -S "${source_dir}" -B "${build_dir}" "${generator[@]}" \
        -DCMAKE_BUILD_TYPE="${build_type}" \
        -DPINLARK_BUILD_TESTS=OFF \
        -DPINLARK_BUILD_BENCHMARKS=ON >/dev/null
    cmake --build "${build_dir}" --target pinlark-vault -j"$(nproc)" >/dev/null
    vault="${build_dir}/server/pinlark-vault"
    vault_origin="${build_type}"
fi

# Everything made here goes when the script ends, however it ends; the logs stay.
mkdir -p "${build_dir}"
work_dir=
cert_dir=
server_pid=
cleanup() {
    if [ -n "${server_pid}" ] && kill -0 "${server_pid}" 2>/dev/null; then
        kill -TERM "${server_pid}" 2>/dev/null || true
        wait "${server_pid}" 2>/dev/null || true
    fi
    [ -z "${work_dir}" ] || rm -rf "${work_dir}"
    [ -z "${cert_dir}" ] || rm -rf "${cert_dir}"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

work_dir=$(mktemp -d "${build_dir}/vault-load.XXXXXX")
cert_dir=$(mktemp -d "${TMPDIR:-/tmp}/pinlark-vault-load-certs.XXXXXX")
data_dir="${work_dir}/data"
log_dir="${build_dir}/vault-load-logs"
rm -rf "${log_dir}"
mkdir -p "${log_dir}"
server_log="${log_dir}/server.log"

# A certificate authority of its own and a certificate for 127.0.0.1 that it signs.
make_certificates() {
    local ca_ext="${cert_dir}/ca.ext" server_ext="${cert_dir}/server.ext"
    printf '%s\n' 'basicConstraints = critical, CA:TRUE' \
        'keyUsage = critical, keyCertSign, cRLSign' \
        'subjectKeyIdentifier = hash' >"${ca_ext}"
    printf '%s\n' 'basicConstraints = critical, CA:FALSE' \
        'keyUsage = critical, digitalSignature' \
        'extendedKeyUsage = serverAuth' \
        'subjectAltName = IP:127.0.0.1' \
        'subjectKeyIdentifier = hash' \
        'authorityKeyIdentifier = keyid' >"${server_ext}"
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "${cert_dir}/ca.key"
    openssl req -new -key "${cert_dir}/ca.key" -subj '/CN=Pinlark vault-load CA' \
        -out "${cert_dir}/ca.csr"
    openssl x509 -req -in "${cert_dir}/ca.csr" -signkey "${cert_dir}/ca.key" -days 2 \
        -extfile "${ca_ext}" -out "${cert_dir}/ca.pem"
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "${cert_dir}/server.key"
    openssl req -new -key "${cert_dir}/server.key" -subj '/CN=127.0.0.1' \
        -out "${cert_dir}/server.csr"
    openssl x509 -req -in "${cert_dir}/server.csr" -CA "${cert_dir}/ca.pem" \
        -CAkey "${cert_dir}/ca.key" -CAcreateserial -days 2 -extfile "${server_ext}" \
        -out "${cert_dir}/server.pem"
}
make_certificates >"${log_dir}/openssl.log" 2>&1 ||
    fail "openssl could not make the certificates; see ${log_dir}/openssl.log"

# Random base64 text, like an encrypted payload, into file $1.
make_text() {
    local text
    text=$(openssl rand -base64 $((payload_bytes * 3 / 4 + 3)) | tr -d '\n')
    printf '%s' "${text:0:payload_bytes}" >"$1"
}

ids_file="${work_dir}/ids"
openssl rand -hex $((32 * vault_count)) | tr -d '\n' | fold -w 64 >"${ids_file}"
echo >>"${ids_file}"
mapfile -t vault_ids <"${ids_file}"

server_threads_args=()
[ -z "${server_threads}" ] || server_threads_args=(--threads "${server_threads}")
url=

# Starts the server on a free port and sets url from the line it prints once it serves; $1
# counts the starts so far, this one included, as every start adds such a line to the log.
# All the load comes from one address, so the per-client connection limit is raised above the
# largest connection count, and the limit on requests for missing vaults is off for seeding.
start_server() {
    "${vault}" --data "${data_dir}" --cert "${cert_dir}/server.pem" \
        --key "${cert_dir}/server.key" --listen 127.0.0.1:0 --miss-limit 0 \
        --max-connections-per-client $((max_connections + 16)) \
        "${server_threads_args[@]}" 2>>"${server_log}" &
    server_pid=$!
    local line
    for _ in $(seq 1 100); do
        line=$(grep -o 'serving https://127\.0\.0\.1:[0-9]*' "${server_log}" | tail -n 1 || true)
        if [ -n "${line}" ] && [ "$(grep -c 'serving https://' "${server_log}")" -eq "$1" ]; then
            url=${line#serving }
            return 0
        fi
        kill -0 "${server_pid}" 2>/dev/null || break
        sleep 0.1
    done
    cat "${server_log}" >&2
    fail "pinlark-vault did not start serving within 10 s"
}

stop_server() {
    kill -TERM "${server_pid}"
    local status=0
    wait "${server_pid}" || status=$?
    server_pid=
    [ "${status}" -eq 0 ] || fail "pinlark-vault exited with status ${status} on SIGTERM"
    [ "$(tail -n 1 "${server_log}")" = "pinlark-vault: stopped on SIGTERM" ] ||
        fail "pinlark-vault did not say it stopped on SIGTERM; see ${server_log}"
}

curl_vault() {
    curl --silent --show-error --cacert "${cert_dir}/ca.pem" --max-time 30 "$@"
}

# POSTs the text in file $2 to vault $1.
post_vault() {
    local status body="${work_dir}/body.json"
    printf '{"data":"%s"}' "$(cat "$2")" >"${body}"
    status=$(curl_vault -o /dev/null -w '%{http_code}' -H 'Content-Type: application/json' \
        --data-binary "@${body}" "${url}/vault/pinlark/$1") ||
        fail "POST of vault $1 failed"
    [ "${status}" = 204 ] || fail "POST of vault $1 answered ${status}, not 204"
}

# Writes the text that vault $1 holds into file $2.
fetch_text() {
    local status answer="${work_dir}/answer.json"
    status=$(curl_vault -o "${answer}" -w '%{http_code}' "${url}/vault/pinlark/$1") ||
        fail "GET of vault $1 failed"
    [ "${status}" = 200 ] || fail "GET of vault $1 answered ${status}, not 200"
    python3 -c 'import json, sys
open(sys.argv[2], "w").write(json.load(open(sys.argv[1]))["data"])' "${answer}" "$2" ||
        fail "vault $1 answered without a text: $(head -c 200 "${answer}")"
}

# Processor time in clock ticks: of one process, and busy and total of the whole machine.
ticks_of() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
machine_ticks() {
    awk '/^cpu / { busy = $2 + $3 + $4 + $7 + $8 + $9; print busy, busy + $5 + $6 }' /proc/stat
}
tick_hz=$(getconf CLK_TCK)

rows=()
# measure LABEL SCRIPT CONNECTIONS [TEXT_FILE]: one wrk run, one row of the table.
measure() {
    local label=$1 script=$2 connections=$3 text=${4:-}
    local log="${log_dir}/${label}-${connections}.log" times="${work_dir}/times"
    local server_before busy_before total_before server_after busy_after total_after
    server_before=$(ticks_of "${server_pid}")
    read -r busy_before total_before < <(machine_ticks)
    local status=0 TIMEFORMAT='%R %U %S'
    { time wrk --threads "${wrk_threads}" --connections "${connections}" --duration "${seconds}s" \
        --timeout 10s --latency --script "${lua_dir}/${script}" "${url}" \
        -- "${ids_file}" ${text:+"${text}"} >"${log}" 2>&1; } 2>"${times}" || status=$?
    server_after=$(ticks_of "${server_pid}")
    read -r busy_after total_after < <(machine_ticks)
    if [ "${status}" -ne 0 ] || ! grep -q '^vault-load-result ' "${log}"; then
        cat "${log}" >&2
        fail "${label} with ${connections} connections: wrk ended with status ${status}; no figures"
    fi
    local result wall user system
    result=$(grep '^vault-load-result ' "${log}")
    read -r wall user system <"${times}"
    rows+=("$(awk -v label="${label}" -v c="${connections}" -v t="${wrk_threads}" -v r="${result}" \
        -v server=$((server_after - server_before)) -v hz="${tick_hz}" -v wall="${wall}" \
        -v user="${user}" -v sys_time="${system}" -v processors="$(nproc)" \
        -v busy=$((busy_after - busy_before)) -v total=$((total_after - total_before)) '
        BEGIN {
            n = split(r, fields, " ")
            for (i = 2; i <= n; ++i) { split(fields[i], kv, "="); v[kv[1]] = kv[2] }
            server_cpu = 100 * server / hz / wall
            wrk_cpu = 100 * (user + sys_time) / wall
            machine_cpu = (total > 0) ? 100 * processors * busy / total : 0
            other_cpu = machine_cpu - server_cpu - wrk_cpu
            printf "%-5s %5d %3d %10.0f %7.2f %7.2f %7.2f %6d %6.0f%% %6.0f%% %6.0f%%",
                label, c, t, v["rps"], v["p50_ms"], v["p99_ms"], v["max_ms"], v["errors"],
                server_cpu, wrk_cpu, (other_cpu > 0) ? other_cpu : 0
        }')")
    echo "  ${rows[-1]}"
}

start_server 1
data_fs=$(df --output=fstype "${data_dir}" | tail -n 1)
[ "${data_fs}" != tmpfs ] || echo "warning: ${data_dir} is on tmpfs; POSTs are not flushed to a disk"

echo "Seeding ${vault_count} vaults with ${payload_bytes} bytes each at ${url}"
make_text "${work_dir}/seed.txt"
held="${work_dir}/held.txt"
for id in "${vault_ids[@]}"; do
    post_vault "${id}" "${work_dir}/seed.txt"
    fetch_text "${id}" "${held}"
    cmp -s "${held}" "${work_dir}/seed.txt" || fail "vault ${id} does not hold the seeded text"
done

header=$(printf '%-5s %5s %3s %10s %7s %7s %7s %6s %7s %7s %7s' \
    request conns thr requests/s 'p50 ms' 'p99 ms' 'max ms' errors server wrk other)
echo "Measuring, ${seconds} s each (load average now: $(cut -d' ' -f1-3 /proc/loadavg)):"
echo "  ${header}"
for connections in "${connection_counts[@]}"; do
    measure GET get.lua "${connections}"
done
run=0
for connections in "${connection_counts[@]}"; do
    # A new text for every run, so that the check below knows the last run's writes apart
    # from older ones.
    run=$((run + 1))
    make_text "${work_dir}/post-${run}.txt"
    measure POST post.lua "${connections}" "${work_dir}/post-${run}.txt"
done

# Every vault must hold a whole text of the last run: its own 16 hex digits, then the rest of
# that run's text. What each holds is kept, to be found again after a restart. POSTs that
# were under way when wrk stopped are answered within moments; they are let finish first.
sleep 1
last_tail="${work_dir}/last-tail.txt"
tail -c +17 "${work_dir}/post-${run}.txt" >"${last_tail}"
mkdir "${work_dir}/held"
for id in "${vault_ids[@]}"; do
    fetch_text "${id}" "${work_dir}/held/${id}"
    if ! [[ "$(head -c 16 "${work_dir}/held/${id}")" =~ ^[0-9a-f]{16}$ ]] ||
        ! cmp -s <(tail -c +17 "${work_dir}/held/${id}") "${last_tail}"; then
        fail "vault ${id} does not hold a text of the last POST run"
    fi
done
stop_server
start_server 2
for id in "${vault_ids[@]}"; do
    fetch_text "${id}" "${held}"
    cmp -s "${held}" "${work_dir}/held/${id}" ||
        fail "vault ${id} does not hold after a restart what it held before"
done
stop_server
if grep -v -e '^pinlark-vault: version ' -e '^pinlark-vault: stopped on SIGTERM$' "${server_log}" >&2; then
    fail "pinlark-vault logged the lines above; see ${server_log}"
fi

echo
echo "== pinlark-vault under wrk: ${payload_bytes}-byte payloads over TLS, keep-alive, loopback, ${seconds} s per row =="
echo "machine: $(nproc) processors ($(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)), load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "server: ${vault} (${vault_origin}), request threads: ${server_threads:-default}; data on ${data_fs}"
echo "${vault_count} vaults in turn; GETs read the seeded texts; every POST carries a text of its own"
echo "and is answered once committed"
echo "thr: wrk threads. server, wrk, other: processor time taken during the row by the server, by wrk"
echo "and by everything else on the machine, in % of one processor ($(($(nproc) * 100))% is the whole machine)"
echo "  ${header}"
printf '  %s\n' "${rows[@]}"
echo "every vault held a text of the last POST run, the same after a restart; stopped cleanly on SIGTERM"
echo "wrk's full output (latency distribution): ${log_dir}"
