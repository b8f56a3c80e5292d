#!/usr/bin/env bash
# The real pinlark in a real tray on a virtual display: how long it takes to put its icon in
# the tray, how long a click on the icon or Alt+Space takes to show the card with the keyboard
# in it, and how much memory it holds while it waits, with the welcome card and with 10,000
# cards.
#
#   bench/desktop-bench.sh [RUNS]      (default 5 runs; medians are printed)
#
# Builds Release in PINLARK_BENCH_BUILD_DIR (default build-bench). Needs what ./dev deps
# installs (Xvfb, tint2, xdotool). Times come from x11probe, which polls the X server every
# millisecond; "start" runs from just before the process is started, "open" from just before
# xdotool is started (its own start-up, printed as a baseline, is included).
set -euo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${PINLARK_BENCH_BUILD_DIR:-${source_dir}/build-bench}"
runs="${1:-5}"

cmake -S "${source_dir}" -B "${build_dir}" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPINLARK_BUILD_TESTS=OFF -DPINLARK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "${build_dir}" --target pinlark x11probe memory_bench -j"$(nproc)" >/dev/null
probe="${build_dir}/tools/x11probe"

E2E_NAME=desktop_bench
# shellcheck source=../tests/e2e/desktop.sh
source "${source_dir}/tests/e2e/desktop.sh"
e2e_begin "${build_dir}/src/app/pinlark" "${build_dir}/bench"
e2e_start_display >/dev/null
e2e_start_session_bus
e2e_start_tray "${source_dir}/tests/e2e/tint2rc" "${probe}" >/dev/null

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ms_since() { echo "scale=1; ($1 - $2) / 1000000" | bc; }
rss_mib() { awk '/^VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }

icon_centre() {
    local id
    for id in $(xdotool search --onlyvisible --classname '^pinlark$'); do
        eval "$(xdotool getwindowgeometry --shell "$id")"
        if [ "$WIDTH" -le 64 ] && [ "$X" -gt 0 ]; then
            echo "$((X + WIDTH / 2)) $((Y + HEIGHT / 2))"
            return 0
        fi
    done
    return 1
}

# One launch: prints "start_ms idle_rss_mib click_open_ms key_open_ms idle_after_open_mib".
measure_once() {
    local probe_out="$E2E_TMP/probe" t0 t1 pid start idle click key after cx cy
    "$probe" wait-tray-icon >"$probe_out" &
    local waiter=$!
    sleep 0.05 # the probe is connected and polling before the app starts
    t0=$(date +%s%N)
    "$E2E_PINLARK" >>"$E2E_LOG" 2>&1 &
    pid=$!
    wait "$waiter"
    t1=$(cat "$probe_out")
    start=$(ms_since "$t1" "$t0")
    sleep 2
    idle=$(rss_mib "$pid")

    read -r cx cy < <(icon_centre)
    xdotool mousemove "$cx" "$cy"
    "$probe" wait-popup >"$probe_out" &
    waiter=$!
    sleep 0.05
    t0=$(date +%s%N)
    xdotool click 1
    wait "$waiter"
    click=$(ms_since "$(cat "$probe_out")" "$t0")
    xdotool key Escape
    sleep 0.5

    "$probe" wait-popup >"$probe_out" &
    waiter=$!
    sleep 0.05
    t0=$(date +%s%N)
    xdotool key alt+space
    wait "$waiter"
    key=$(ms_since "$(cat "$probe_out")" "$t0")
    xdotool key Escape
    sleep 2
    after=$(rss_mib "$pid")
    kill -TERM "$pid"
    wait "$pid" || true
    echo "$start $idle $click $key $after"
}

baseline() {
    local t0 t1 values=()
    for _ in $(seq 1 "$runs"); do
        t0=$(date +%s%N)
        xdotool mousemove_relative 0 0
        t1=$(date +%s%N)
        values+=("$(ms_since "$t1" "$t0")")
    done
    printf '%s\n' "${values[@]}" | median
}

report() {
    local label=$1 file=$2
    echo "== ${label} (${runs} runs, medians) =="
    printf '  start, process start to icon shown in the tray: %s ms\n' "$(cut -d' ' -f1 "$file" | median)"
    printf '  idle memory (RSS) after start:                  %s MiB\n' "$(cut -d' ' -f2 "$file" | median)"
    printf '  open by a click on the icon, to card drawn with the keyboard: %s ms\n' "$(cut -d' ' -f3 "$file" | median)"
    printf '  open by Alt+Space, to card drawn with the keyboard:           %s ms\n' "$(cut -d' ' -f4 "$file" | median)"
    printf '  idle memory (RSS) after opening and closing:    %s MiB\n' "$(cut -d' ' -f5 "$file" | median)"
    echo "  all runs (start idle click key idle-after):"
    sed 's/^/    /' "$file"
}

notes_folder="$XDG_DATA_HOME/Pinlark"
welcome="$E2E_TMP/welcome.txt"
large="$E2E_TMP/large.txt"
for _ in $(seq 1 "$runs"); do
    rm -rf "$notes_folder"
    measure_once >>"$welcome"
done
rm -rf "$notes_folder"
mkdir -p "$notes_folder"
"${build_dir}/bench/memory_bench" --generate "$notes_folder" >/dev/null
echo "notes file with 10,000 cards: $(du -h "$notes_folder/notes.json" | cut -f1)"
for _ in $(seq 1 "$runs"); do
    measure_once >>"$large"
done

echo "xdotool's own start-up, included in the open times: $(baseline) ms"
report "Welcome card" "$welcome"
report "10,000 cards" "$large"
