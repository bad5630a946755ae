#!/usr/bin/env bash
# Installs what is needed, builds the Linux and the Windows build and runs
# every test suite. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

"$root/scripts/install-deps.sh"

echo "== Linux build"
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs"

echo "== Windows build (mingw-w64 i686, tests under Wine)"
cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
cmake --build build/win -j "$jobs"
ctest --test-dir build/win --output-on-failure -j "$jobs"

echo "== all suites passed"
