#!/usr/bin/env bash
# pinlark-vault beside nginx: GET of 10 KiB vaults from pinlark-vault, and the very same
# answer bytes as static files from nginx, over the same certificate and TLS 1.3, on loopback,
# measured by wrk in alternating rounds within one run. Prints requests/s and p50/p99 latency
# of each, the median over the rounds, and the ratio pinlark-vault / nginx; then the rate of
# durable POSTs (pinlark-vault only, nginx has nothing to compare).
#
#   bench/vs-nginx.sh
#
# nginx, wrk, openssl, curl and python3 are tools of this bench only, not of the build: the
# script installs the missing ones itself with apt-get (nginx-light is enough, and it is
# never started as a service: the script runs its own nginx with a configuration of its own in
# a temporary folder, and stops it).
#
# Fairness, on a machine of few processors that wrk shares with the server:
#   - both get the same number of request threads: nginx worker_processes = pinlark-vault
#     --threads (default: the server's own default, max(2, processors));
#   - both serve TLS 1.3 only (pinlark-vault's GnuTLS priorities allow 1.3 and 1.2, and wrk
#     takes 1.3), the same P-256 certificate; the negotiated cipher of each is printed;
#   - both keep connections alive for as long as wrk wants them (nginx's keepalive_requests is
#     raised from its 1,000, since the library has no such limit), neither logs requests;
#   - nginx keeps its files open (open_file_cache) and serves them from the page cache, its
#     best case; pinlark-vault runs with its default settings but for the per-client
#     connection limit, as all the load comes from one address;
#   - the same wrk, threads and Lua script (bench/vault-load/get.lua) against both, going
#     round the same 1,000 vault ids; rounds alternate which of the two goes first.
# The CPU column is the processor time the server took per answer (all of nginx's processes),
# which tells the two apart even when wrk, not the server, sets the pace.
#
# Environment:
#   PINLARK_BENCH_BUILD_DIR          build folder (default: build-bench beside src/)
#   PINLARK_VAULT_BINARY             measure this pinlark-vault instead of building one
#   PINLARK_VS_NGINX_SECONDS         length of each wrk run (8)
#   PINLARK_VS_NGINX_ROUNDS          rounds, each one run of both at each connection count (3)
#   PINLARK_VS_NGINX_CONNECTIONS     connection counts ("16 64")
#   PINLARK_VS_NGINX_WRK_THREADS     wrk threads (1)
#   PINLARK_VS_NGINX_VAULTS          vaults (1000)
#   PINLARK_VS_NGINX_BYTES           payload text per vault (10240)
#   PINLARK_VS_NGINX_SERVER_THREADS  --threads of the server and nginx's worker_processes
#   PINLARK_VS_NGINX_POST            0: skip the POST rows (1)
#
# The figures are printed, never compared against anything. Any answer outside 2xx or socket
# error in a run stops the script with status 1. Every process it starts is stopped when it
# ends, however it ends.
set -euo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${PINLARK_BENCH_BUILD_DIR:-${source_dir}/build-bench}"
seconds="${PINLARK_VS_NGINX_SECONDS:-8}"
rounds="${PINLARK_VS_NGINX_ROUNDS:-3}"
read -r -a connection_counts <<<"${PINLARK_VS_NGINX_CONNECTIONS:-16 64}"
wrk_threads="${PINLARK_VS_NGINX_WRK_THREADS:-1}"
vault_count="${PINLARK_VS_NGINX_VAULTS:-1000}"
payload_bytes="${PINLARK_VS_NGINX_BYTES:-10240}"
server_threads="${PINLARK_VS_NGINX_SERVER_THREADS:-$(($(nproc) > 2 ? $(nproc) : 2))}"
measure_posts="${PINLARK_VS_NGINX_POST:-1}"
lua_dir="${source_dir}/bench/vault-load"

fail() {
    echo "vs-nginx: FAILED: $*" >&2
    exit 1
}
whole_number() {
    [[ $2 =~ ^[1-9][0-9]*$ ]] || {
        echo "$1 must be a whole number above 0, not '$2'" >&2
        exit 2
    }
}
whole_number PINLARK_VS_NGINX_SECONDS "${seconds}"
whole_number PINLARK_VS_NGINX_ROUNDS "${rounds}"
whole_number PINLARK_VS_NGINX_WRK_THREADS "${wrk_threads}"
whole_number PINLARK_VS_NGINX_VAULTS "${vault_count}"
whole_number PINLARK_VS_NGINX_BYTES "${payload_bytes}"
whole_number PINLARK_VS_NGINX_SERVER_THREADS "${server_threads}"
[ "${payload_bytes}" -gt 16 ] || fail "PINLARK_VS_NGINX_BYTES must be more than 16"
max_connections=0
for connections in "${connection_counts[@]}"; do
    whole_number PINLARK_VS_NGINX_CONNECTIONS "${connections}"
    [ "${connections}" -le "${max_connections}" ] || max_connections=${connections}
done

install_missing() {
    local missing=() tool package
    for tool in nginx wrk openssl curl python3; do
        if ! command -v "${tool}" >/dev/null 2>&1 && ! [ -x "/usr/sbin/${tool}" ]; then
            package=${tool}
            [ "${tool}" != nginx ] || package=nginx-light
            missing+=("${package}")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    # The package would start nginx as a service on port 80; a policy-rc.d that refuses every
    # start keeps it from that, for the time of the installation only.
    local policy=
    if ! [ -e /usr/sbin/policy-rc.d ]; then
        policy=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "${policy}" >/dev/null
        "${sudo[@]}" chmod +x "${policy}"
    fi
    local status=0
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "${missing[@]}" || status=$?
    [ -z "${policy}" ] || "${sudo[@]}" rm -f "${policy}"
    [ "${status}" -eq 0 ] || fail "could not install ${missing[*]}; install them by hand"
}
install_missing
nginx_binary=$(command -v nginx || echo /usr/sbin/nginx)

if [ -n "${PINLARK_VAULT_BINARY:-}" ]; then
    vault="${PINLARK_VAULT_BINARY}"
    vault_origin="from PINLARK_VAULT_BINARY"
    [ -x "${vault}" ] || fail "PINLARK_VAULT_BINARY '${vault}' is not an executable file"
else
    generator=()
    command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
    cmake -S "${source_dir}" -B "${build_dir}" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DPINLARK_BUILD_TESTS=OFF -DPINLARK_BUILD_BENCHMARKS=ON >/dev/null
    cmake --build "${build_dir}" --target pinlark-vault -j"$(nproc)" >/dev/null
    vault="${build_dir}/server/pinlark-vault"
    vault_origin=Release
fi

mkdir -p "${build_dir}"
work_dir=
server_pid=
nginx_pid=
stop_server() {
    if [ -n "${server_pid}" ] && kill -0 "${server_pid}" 2>/dev/null; then
        kill -TERM "${server_pid}" 2>/dev/null || true
        wait "${server_pid}" 2>/dev/null || true
    fi
    server_pid=
}
cleanup() {
    stop_server
    if [ -n "${nginx_pid}" ] && kill -0 "${nginx_pid}" 2>/dev/null; then
        # The master stops its workers on TERM before it exits.
        kill -TERM "${nginx_pid}" 2>/dev/null || true
        wait "${nginx_pid}" 2>/dev/null || true
    fi
    [ -z "${work_dir}" ] || rm -rf "${work_dir}"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

work_dir=$(mktemp -d "${build_dir}/vs-nginx.XXXXXX")
chmod 755 "${work_dir}" # nginx's workers may run as another user
cert_dir="${work_dir}/certs"
data_dir="${work_dir}/data"
root_dir="${work_dir}/root"
log_dir="${build_dir}/vs-nginx-logs"
rm -rf "${log_dir}"
mkdir -p "${log_dir}" "${cert_dir}" "${root_dir}/vault/pinlark" "${work_dir}/nginx"
server_log="${log_dir}/server.log"

make_certificates() {
    printf '%s\n' 'basicConstraints = critical, CA:TRUE' 'keyUsage = critical, keyCertSign, cRLSign' \
        'subjectKeyIdentifier = hash' >"${cert_dir}/ca.ext"
    printf '%s\n' 'basicConstraints = critical, CA:FALSE' 'keyUsage = critical, digitalSignature' \
        'extendedKeyUsage = serverAuth' 'subjectAltName = IP:127.0.0.1' \
        'subjectKeyIdentifier = hash' 'authorityKeyIdentifier = keyid' >"${cert_dir}/server.ext"
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "${cert_dir}/ca.key"
    openssl req -new -key "${cert_dir}/ca.key" -subj '/CN=Pinlark vs-nginx CA' -out "${cert_dir}/ca.csr"
    openssl x509 -req -in "${cert_dir}/ca.csr" -signkey "${cert_dir}/ca.key" -days 2 \
        -extfile "${cert_dir}/ca.ext" -out "${cert_dir}/ca.pem"
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "${cert_dir}/server.key"
    openssl req -new -key "${cert_dir}/server.key" -subj '/CN=127.0.0.1' -out "${cert_dir}/server.csr"
    openssl x509 -req -in "${cert_dir}/server.csr" -CA "${cert_dir}/ca.pem" -CAkey "${cert_dir}/ca.key" \
        -CAcreateserial -days 2 -extfile "${cert_dir}/server.ext" -out "${cert_dir}/server.pem"
    chmod 644 "${cert_dir}"/*
}
make_certificates >"${log_dir}/openssl.log" 2>&1 || fail "openssl failed; see ${log_dir}/openssl.log"

ids_file="${work_dir}/ids"
openssl rand -hex $((32 * vault_count)) | tr -d '\n' | fold -w 64 >"${ids_file}"
echo >>"${ids_file}"

url=
# start_server N [options]: the Nth start (each adds a "serving" line to the log).
start_server() {
    local starts=$1
    shift
    "${vault}" --data "${data_dir}" --cert "${cert_dir}/server.pem" --key "${cert_dir}/server.key" \
        --listen 127.0.0.1:0 --threads "${server_threads}" \
        --max-connections-per-client $((max_connections + 16)) "$@" 2>>"${server_log}" &
    server_pid=$!
    local lines
    for _ in $(seq 1 100); do
        # One read of the log for both, so the count and the address are of the same lines.
        mapfile -t lines < <(grep -o 'serving https://127\.0\.0\.1:[0-9]*' "${server_log}" || true)
        if [ "${#lines[@]}" -eq "${starts}" ]; then
            url=${lines[-1]#serving }
            return 0
        fi
        kill -0 "${server_pid}" 2>/dev/null || break
        sleep 0.1
    done
    cat "${server_log}" >&2
    fail "pinlark-vault did not start serving within 10 s"
}

# Seeding creates every vault, which counts against the miss budget; the limiter is off for
# it only. The measured server runs with its defaults.
start_server 1 --miss-limit 0
echo "Seeding ${vault_count} vaults of ${payload_bytes} bytes at ${url}, and the same answers as files"
python3 - "${url}" "${cert_dir}/ca.pem" "${ids_file}" "${payload_bytes}" \
    "${root_dir}/vault/pinlark" <<'EOF' || fail "seeding failed"
import base64, http.client, json, os, ssl, sys, urllib.parse
url, ca, ids_file, size, root = sys.argv[1:6]
parts = urllib.parse.urlsplit(url)
context = ssl.create_default_context(cafile=ca)
connection = http.client.HTTPSConnection(parts.hostname, parts.port, context=context, timeout=30)
for id in open(ids_file).read().split():
    text = base64.b64encode(os.urandom(int(size))).decode()[: int(size)]
    connection.request("POST", "/vault/pinlark/" + id, json.dumps({"data": text}),
                       {"Content-Type": "application/json"})
    answer = connection.getresponse()
    answer.read()
    assert answer.status == 204, f"POST answered {answer.status}"
    connection.request("GET", "/vault/pinlark/" + id)
    answer = connection.getresponse()
    body = answer.read()
    assert answer.status == 200 and json.loads(body)["data"] == text, "GET answered otherwise"
    with open(os.path.join(root, id), "wb") as f:
        f.write(body)
EOF
stop_server
start_server 2
data_fs=$(df --output=fstype "${data_dir}" | tail -n 1)

cat >"${work_dir}/nginx/nginx.conf" <<EOF
worker_processes ${server_threads};
daemon off;
pid ${work_dir}/nginx/nginx.pid;
error_log ${log_dir}/nginx-error.log warn;
$([ "$(id -u)" -ne 0 ] || echo "user root;")
events { worker_connections 4096; }
http {
    access_log off;
    client_body_temp_path ${work_dir}/nginx/body;
    proxy_temp_path ${work_dir}/nginx/proxy;
    fastcgi_temp_path ${work_dir}/nginx/fastcgi;
    uwsgi_temp_path ${work_dir}/nginx/uwsgi;
    scgi_temp_path ${work_dir}/nginx/scgi;
    keepalive_timeout 30s;
    keepalive_requests 100000000;
    open_file_cache max=$((vault_count * 2)) inactive=60s;
    open_file_cache_valid 60s;
    server {
        listen 127.0.0.1:0 ssl;
        ssl_certificate ${cert_dir}/server.pem;
        ssl_certificate_key ${cert_dir}/server.key;
        ssl_protocols TLSv1.3;
        root ${root_dir};
        default_type application/json;
        add_header Cache-Control no-store;
    }
}
EOF
# nginx cannot listen on port 0 and report it: take a free port from the kernel first.
nginx_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -i "s/listen 127.0.0.1:0 ssl/listen 127.0.0.1:${nginx_port} ssl/" "${work_dir}/nginx/nginx.conf"
"${nginx_binary}" -p "${work_dir}/nginx" -c "${work_dir}/nginx/nginx.conf" -e "${log_dir}/nginx-error.log" \
    >"${log_dir}/nginx.log" 2>&1 &
nginx_pid=$!
nginx_url="https://127.0.0.1:${nginx_port}"
for _ in $(seq 1 100); do
    curl -s -o /dev/null --cacert "${cert_dir}/ca.pem" "${nginx_url}/" && break
    kill -0 "${nginx_pid}" 2>/dev/null || { cat "${log_dir}/nginx-error.log" >&2; fail "nginx did not start"; }
    sleep 0.1
done

# Both must answer the same bytes for the same id.
first_id=$(head -n 1 "${ids_file}")
cmp <(curl -sS --cacert "${cert_dir}/ca.pem" "${url}/vault/pinlark/${first_id}") \
    <(curl -sS --cacert "${cert_dir}/ca.pem" "${nginx_url}/vault/pinlark/${first_id}") ||
    fail "pinlark-vault and nginx answer different bytes for ${first_id}"
cipher_of() {
    openssl s_client -connect "127.0.0.1:$1" -CAfile "${cert_dir}/ca.pem" </dev/null 2>/dev/null |
        awk '/^New, / { print $2, $NF; exit }'
}
vault_cipher=$(cipher_of "${url##*:}")
nginx_cipher=$(cipher_of "${nginx_port}")

# Processor ticks of a process and its children threads, or of nginx's master and workers.
ticks_of() { awk '{ s += $14 + $15 } END { print s }' "$@"; }
server_stats() { echo "/proc/${server_pid}/stat"; }
nginx_stats() {
    local pid
    for pid in ${nginx_pid} $(pgrep -P "${nginx_pid}" || true); do echo "/proc/${pid}/stat"; done
}
tick_hz=$(getconf CLK_TCK)

results="${work_dir}/results"
: >"${results}"
# run TARGET URL CONNECTIONS ROUND SCRIPT [TEXT]: one wrk run, one line in results.
run() {
    local target=$1 base=$2 connections=$3 round=$4 script=$5 text=${6:-}
    local log="${log_dir}/${target}-${script%.lua}-${connections}-${round}.log"
    local stats before after status=0
    if [ "${target}" = nginx ]; then mapfile -t stats < <(nginx_stats); else mapfile -t stats < <(server_stats); fi
    before=$(ticks_of "${stats[@]}")
    wrk --threads "${wrk_threads}" --connections "${connections}" --duration "${seconds}s" \
        --timeout 10s --latency --script "${lua_dir}/${script}" "${base}" \
        -- "${ids_file}" ${text:+"${text}"} >"${log}" 2>&1 || status=$?
    after=$(ticks_of "${stats[@]}")
    if [ "${status}" -ne 0 ] || ! grep -q '^vault-load-result ' "${log}"; then
        cat "${log}" >&2
        fail "${target} ${script} at ${connections} connections: no figures"
    fi
    grep '^vault-load-result ' "${log}" | awk -v t="${target}" -v s="${script%.lua}" -v c="${connections}" \
        -v r="${round}" -v ticks=$((after - before)) -v hz="${tick_hz}" '{
            for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
            printf "%s %s %d %d %.1f %.2f %.2f %.1f\n", t, s, c, r, v["rps"], v["p50_ms"], v["p99_ms"],
                1e6 * ticks / hz / v["requests"]
        }' | tee -a "${results}" | awk '{ printf "  round %d  %-6s %-4s %3d conns  %9.0f/s  p50 %6.2f ms  p99 %6.2f ms  %5.0f us CPU/answer\n", $4, $1, toupper($2), $3, $5, $6, $7, $8 }'
}

echo "Measuring GET, ${seconds} s per run, ${rounds} rounds (load average now: $(cut -d' ' -f1-3 /proc/loadavg))"
for round in $(seq 1 "${rounds}"); do
    for connections in "${connection_counts[@]}"; do
        if [ $((round % 2)) -eq 1 ]; then order=(vault nginx); else order=(nginx vault); fi
        for target in "${order[@]}"; do
            if [ "${target}" = vault ]; then run vault "${url}" "${connections}" "${round}" get.lua
            else run nginx "${nginx_url}" "${connections}" "${round}" get.lua; fi
        done
    done
done
if [ "${measure_posts}" != 0 ]; then
    echo "Measuring durable POST (pinlark-vault only), ${seconds} s per run"
    text="${work_dir}/post.txt"
    openssl rand -base64 $((payload_bytes * 3 / 4 + 3)) | tr -d '\n' | head -c "${payload_bytes}" >"${text}"
    for round in $(seq 1 "${rounds}"); do
        for connections in "${connection_counts[@]}"; do
            run vault "${url}" "${connections}" "${round}" post.lua "${text}"
        done
    done
fi
stop_server

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v t="$1" -v s="$2" -v c="$3" -v k="$4" '$1 == t && $2 == s && $3 == c { print $k }' "${results}" | median; }

echo
echo "== pinlark-vault vs nginx: GET of ${payload_bytes}-byte vaults (answers of $(stat -c %s "${root_dir}/vault/pinlark/${first_id}") bytes), ${vault_count} ids, TLS 1.3, keep-alive, loopback =="
echo "machine: $(nproc) processors ($(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)), load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "pinlark-vault: ${vault} (${vault_origin}), --threads ${server_threads}, data on ${data_fs}, ${vault_cipher}"
echo "nginx: $("${nginx_binary}" -v 2>&1 | sed 's/^nginx version: //'), worker_processes ${server_threads}, ${nginx_cipher}"
echo "wrk: ${wrk_threads} thread(s), ${seconds} s per run; medians of ${rounds} rounds, in alternating order"
printf '  %-6s %5s %10s %8s %8s %10s\n' server conns requests/s 'p50 ms' 'p99 ms' 'CPU us/ans'
for connections in "${connection_counts[@]}"; do
    for target in vault nginx; do
        printf '  %-6s %5d %10.0f %8.2f %8.2f %10.0f\n' "${target}" "${connections}" \
            "$(column "${target}" get "${connections}" 5)" "$(column "${target}" get "${connections}" 6)" \
            "$(column "${target}" get "${connections}" 7)" "$(column "${target}" get "${connections}" 8)"
    done
    awk -v c="${connections}" -v v="$(column vault get "${connections}" 5)" -v n="$(column nginx get "${connections}" 5)" \
        -v vc="$(column vault get "${connections}" 8)" -v nc="$(column nginx get "${connections}" 8)" \
        'BEGIN { printf "  ratio pinlark-vault / nginx at %d connections: %.2f requests/s (CPU per answer: %.2f)\n", c, v / n, vc / nc }'
done
if [ "${measure_posts}" != 0 ]; then
    for connections in "${connection_counts[@]}"; do
        printf '  durable POST at %d connections: %.0f/s, p50 %.2f ms, p99 %.2f ms\n' "${connections}" \
            "$(column vault post "${connections}" 5)" "$(column vault post "${connections}" 6)" \
            "$(column vault post "${connections}" 7)"
    done
fi
echo "wrk's output of every run: ${log_dir}"
