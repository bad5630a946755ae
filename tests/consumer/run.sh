#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, then builds and runs the
# consumer programs against it: through find_package, and on Linux also
# through pkg-config. Usage: run.sh BUILD_DIR SOURCE_DIR linux|win [SERVICE_EXE]
set -euo pipefail
build=$1 src=$2 kind=$3 service=${4:-}
work=$(mktemp -d)
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

run() {
  if [ "$kind" = win ]; then
    (cd "$(dirname "$1")" && cp "$work/prefix/bin/vexsrvapi.dll" . && wine "./$(basename "$1")" "${@:2}")
  else
    LD_LIBRARY_PATH="$work/prefix/lib" "$@"
  fi
}

extra=()
if [ "$kind" = win ]; then
  # The cross toolchain searches packages only below its root: name ours.
  extra=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" -Dvexsrvapi_DIR="$work/prefix/lib/cmake/vexsrvapi")
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
  export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
  cc -std=c11 -Wall -Werror "$src/tests/consumer/consumer.c" $(pkg-config --cflags --libs vexsrvapi) -o "$work/pc_c"
  c++ -std=c++20 -Wall -Werror "$src/tests/consumer/consumer.cpp" $(pkg-config --cflags --libs vexsrvapi) \
    -I"$work/prefix/include" -o "$work/pc_cpp"
  run "$work/pc_c" "${suffix[@]}"
  run "$work/pc_cpp" "${suffix[@]}"
fi
echo "consumers built and ran against the installed package"
