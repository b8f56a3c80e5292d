#!/usr/bin/env bash
# The sync simulation at length: three machines and a plain client sharing one vault, many
# more seeded schedules than the test suite runs. Prints the counts of schedules, conflicts,
# copies and deletions; a failing schedule names its seed, and
# PINLARK_SIMULATION_TRACE=1 PINLARK_SIMULATION_SCHEDULES=1 PINLARK_SIMULATION_SEED=<seed>
# replays it step by step.
#
#   bench/sync-simulation.sh [schedules] [first seed]   (default 20000 from seed 1)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
BUILD_DIR=${PINLARK_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DPINLARK_WERROR=ON >/dev/null
cmake --build "$BUILD_DIR" --target tst_syncsimulation >/dev/null
tmp=$(mktemp -d "${TMPDIR:-$([ -d /dev/shm ] && echo /dev/shm || echo /tmp)}/pinlark-simulation.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
binary=$(find "$BUILD_DIR" -name tst_syncsimulation -type f -perm -u+x | head -n 1)
start=$(date +%s%N)
TMPDIR=$tmp QT_QPA_PLATFORM=offscreen PINLARK_SIMULATION_SCHEDULES=${1:-20000} \
    PINLARK_SIMULATION_SEED=${2:-1} "$binary" everyScheduleConvergesAndKeepsEveryText |
    grep -v '^PASS\|^Config\|^\*\*\*\*\*'
echo "$(( ($(date +%s%N) - start) / 1000000 )) ms"
