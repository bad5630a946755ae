#!/usr/bin/env bash
# Installs the built tree into a temporary folder, then builds and runs the
# consumer programs against it: through find_package, and on Linux also
# through pkg-config. On Linux the tree is installed under its configured
# prefix and library folder (for example /usr and lib/x86_64-linux-gnu) into a
# DESTDIR; on Windows into a plain prefix.
# Usage: run.sh BUILD_DIR SOURCE_DIR linux|win PREFIX LIBDIR [SERVICE_EXE]
set -euo pipefail
build=$1 src=$2 kind=$3 install_prefix=$4 libdir=$5 service=${6:-}
work=$(mktemp -d)
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# CONSUMER_ROOT names a tree already staged (for example unpacked Debian
# packages) to use instead of installing the build.
staged=${CONSUMER_ROOT:-$work/root}
if [ "$kind" = win ]; then
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  lib="$work/prefix/lib"
else
  if [ -z "${CONSUMER_ROOT:-}" ]; then
    DESTDIR="$work/root" cmake --install "$build" --prefix "$install_prefix" >/dev/null
  fi
  # The staged tree as it would sit on the target system.
  ln -s "$staged$install_prefix" "$work/prefix"
  case $libdir in
    /*) lib="$staged$libdir" ;;
    *) lib="$work/prefix/$libdir" ;;
  esac
fi

run() {
  if [ "$kind" = win ]; then
    (cd "$(dirname "$1")" && cp "$work/prefix/bin/vexsrvapi.dll" . && wine "./$(basename "$1")" "${@:2}")
  else
    LD_LIBRARY_PATH="$lib" "$@"
  fi
}

extra=()
if [ "$kind" = win ]; then
  # The project's toolchain file searches the prefixes of CMAKE_PREFIX_PATH
  # (and only those besides its own root): nothing else names ours.
  extra=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake")
fi
cmake -S "$src/tests/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
  "${extra[@]}" >/dev/null
cmake --build "$work/consumer" >/dev/null

exe=""
[ "$kind" = win ] && exe=.exe
suffix=()
if [ -n "$service" ] && [ -x "$service" ]; then
  sfx="_consumer$$"
  mkdir -p "$work/state"
  if [ "$kind" = win ]; then
    wine "$service" --suffix "$sfx" --state-dir "$work/state" --no-browse >"$work/service.log" 2>&1 &
  else
    "$service" --suffix "$sfx" --state-dir "$work/state" --no-browse >"$work/service.log" 2>&1 &
  fi
  service_pid=$!
  suffix=("$sfx")
  # Wait, bounded, until the service answers.
  for _ in $(seq 1 100); do
    if run "$work/consumer/consumer_c$exe" "$sfx" >/dev/null 2>&1; then break; fi
    sleep 0.1
  done
fi

run "$work/consumer/consumer_c$exe" "${suffix[@]}"
run "$work/consumer/consumer_cpp$exe" "${suffix[@]}"
run "$work/consumer/consumer_cxx17$exe" "${suffix[@]}"

if [ "$kind" = linux ]; then
  # Only the staged tree's package files: none of the system's.
  export PKG_CONFIG_LIBDIR="$lib/pkgconfig" PKG_CONFIG_PATH=""
  includedir=$(pkg-config --variable=includedir vexsrvapi)
  if [ ! -f "$includedir/vexsrvapi.h" ]; then
    echo "pkg-config names $includedir, which holds no vexsrvapi.h" >&2
    exit 1
  fi
  cc -std=c11 -Wall -Werror "$src/tests/consumer/consumer.c" $(pkg-config --cflags --libs vexsrvapi) -o "$work/pc_c"
  c++ -std=c++20 -Wall -Werror "$src/tests/consumer/consumer.cpp" $(pkg-config --cflags --libs vexsrvapi) \
    -o "$work/pc_cpp"
  run "$work/pc_c" "${suffix[@]}"
  run "$work/pc_cpp" "${suffix[@]}"
fi
echo "consumers built and ran against the package installed with library folder $libdir"
