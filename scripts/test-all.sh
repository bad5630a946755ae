#!/usr/bin/env bash
# Installs what is needed, builds the Linux and the Windows build and runs
# every test suite. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

"$root/scripts/install-deps.sh"

echo "== Linux build"
# Installed as Debian installs: under /usr with the multiarch library
# folder, which the consumer test and the packages use.
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs"

echo "== Debian packages (cpack, lintian, unpacked and used)"
"$root/scripts/check-packages.sh" build/linux

# Three targets at 45 s each keep this stage near two and a half minutes.
export FUZZ_SECONDS=${FUZZ_SECONDS:-45}
echo "== Fuzz targets (clang, libFuzzer), ${FUZZ_SECONDS} s each"
"$root/scripts/fuzz.sh"

echo "== Windows build (mingw-w64 i686, tests under Wine)"
cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
cmake --build build/win -j "$jobs"
ctest --test-dir build/win --output-on-failure -j "$jobs"

# Checking builds: the whole Linux suite under AddressSanitizer with
# UndefinedBehaviorSanitizer, and again under ThreadSanitizer. The consumer
# test builds unsanitized programs outside the tree, so it runs only above.
echo "== Linux build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEXSRV_SANITIZE=address,undefined
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs" -E installed_package_consumers

echo "== Linux build with ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEXSRV_SANITIZE=thread
cmake --build build/tsan -j "$jobs"
ctest --test-dir build/tsan --output-on-failure -j "$jobs" -E installed_package_consumers

echo "== all suites passed"
