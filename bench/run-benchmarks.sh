#!/usr/bin/env bash
# Builds the benchmarks optimised, in a build folder of their own, and runs them all.
#
#   bench/run-benchmarks.sh [extra arguments for store_bench]
#
# Environment:
#   PINLARK_BENCH_BUILD_DIR     build folder (default: build-bench beside src/)
#   PINLARK_BENCH_BUILD_TYPE    Release (default) or RelWithDebInfo, for a profiler
#   PINLARK_BENCH_REPETITIONS   runs of each timing, summarised as mean/median/stddev (5)
#   PINLARK_BENCH_MEMORY_RUNS   runs of the memory measurement (3)
#
# The figures are printed, never compared against anything: timings on a shared machine
# vary, so read the medians.
set -euo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${PINLARK_BENCH_BUILD_DIR:-${source_dir}/build-bench}"
build_type="${PINLARK_BENCH_BUILD_TYPE:-Release}"
repetitions="${PINLARK_BENCH_REPETITIONS:-5}"
memory_runs="${PINLARK_BENCH_MEMORY_RUNS:-3}"

case "${build_type}" in
Release | RelWithDebInfo) ;;
*)
    echo "PINLARK_BENCH_BUILD_TYPE must be Release or RelWithDebInfo, not ${build_type}" >&2
    exit 2
    ;;
esac

generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi

cmake -S "${source_dir}" -B "${build_dir}" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE="${build_type}" \
    -DPINLARK_BUILD_TESTS=OFF \
    -DPINLARK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "${build_dir}" --target store_bench memory_bench cardview_bench sync_bench -j"$(nproc)"

bench_dir="${build_dir}/bench"

echo
echo "== Timings (${build_type}, ${repetitions} repetitions; read the median rows) =="
# The machine's load average is printed in the header: a busy machine reads slower.
"${bench_dir}/store_bench" \
    --benchmark_repetitions="${repetitions}" \
    --benchmark_report_aggregates_only=true \
    "$@"

echo
echo "== Card view, offscreen (${build_type}, ${repetitions} repetitions) =="
"${bench_dir}/cardview_bench" \
    --benchmark_repetitions="${repetitions}" \
    --benchmark_report_aggregates_only=true

echo
echo "== Vault sync of 1,000 cards on loopback (${build_type}) =="
"${bench_dir}/sync_bench" 7

echo
echo "== Memory (${memory_runs} runs, each in fresh processes) =="
for run in $(seq 1 "${memory_runs}"); do
    echo "-- run ${run}"
    "${bench_dir}/memory_bench"
done
