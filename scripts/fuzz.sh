#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang (libFuzzer, address and
# undefined-behaviour checks) and runs each one for a bounded time, starting
# from its seeds in fuzz/corpus/<target>/. Exits non-zero when a target finds
# a crash or a sanitizer report; the input that did it is kept in the build
# folder's artifacts/.
#   FUZZ_SECONDS    seconds per target (default 60)
#   FUZZ_BUILD_DIR  build folder (default build/fuzz)
# Targets are listed in fuzz/CMakeLists.txt; the script runs whatever is there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}

cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "${FUZZ_JOBS:-2}"

mkdir -p "$build/artifacts"
while read -r target; do
  [ -n "$target" ] || continue
  echo "== fuzz $target for ${seconds} s"
  # New inputs go to the build folder; the checked-in seeds stay as they are.
  mkdir -p "$build/corpus/$target"
  seeds=()
  [ -d "$root/fuzz/corpus/$target" ] && seeds=("$root/fuzz/corpus/$target")
  "$build/$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$build/corpus/$target" "${seeds[@]}"
done < "$build/fuzz_targets.txt"
echo "== fuzz targets passed"
