#!/usr/bin/env bash
# Builds the Linux benchmarks (Release) and runs them with client and server
# pinned to one CPU, so that cross-CPU wake-ups don't drown the library's
# own cost. Extra arguments go to the benchmark program.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/install-deps.sh"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXSRV_BUILD_BENCH=ON -DVEXSRV_BUILD_TESTS=OFF
cmake --build build/bench --target vexsrv_bench tidewell-taskd 2>/dev/null || cmake --build build/bench --target vexsrv_bench
exec taskset -c 1 build/bench/bin/vexsrv_bench "$@"
