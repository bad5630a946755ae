#!/usr/bin/env bash
# Builds the Linux benchmarks (Release) and runs them with client and server
# pinned to one CPU, so that cross-CPU wake-ups don't drown the library's
# own cost. Extra arguments go to the benchmark program, for example
#   scripts/bench.sh --benchmark_filter=Throughput
#   BENCH_CPUS      the CPUs to run on (taskset -c list; default 1)
#   BENCH_BUILD_DIR build folder (default build/bench)
# The service benchmarks start build/bench/bin/tidewell-taskd as a child.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD_DIR:-build/bench}
"$PWD/scripts/install-deps.sh"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXSRV_BUILD_BENCH=ON -DVEXSRV_BUILD_TESTS=OFF
cmake --build "$build" -j 2 --target vexsrv_bench vexsrv_overhead vexsrv_call_loop
exec taskset -c "${BENCH_CPUS:-1}" "$build/bin/vexsrv_bench" "$@"
