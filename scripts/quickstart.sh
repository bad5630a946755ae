#!/usr/bin/env bash
# The quick start: installs what is needed, builds the Linux build, runs the
# reference task service (tidewell-taskd) on this computer with a state
# folder of its own, and walks through the main job with the vexsrv tool.
# The service is stopped on the way out, whatever happens.
#
# VEXSRV_BUILD_DIR chooses the build folder (default: build/linux).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${VEXSRV_BUILD_DIR:-$root/build/linux}

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold="" plain=""; fi
say() { printf '\n%s%s%s\n' "$bold" "$*" "$plain"; }
step() { printf '\n-- %s\n' "$*"; }

say "1. Installing what is needed (Debian 12 packages)"
"$root/scripts/install-deps.sh"

say "2. Building the Linux build in ${build#"$root"/} (a minute or two the first time)"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target vexsrv tidewell-taskd -j "$(nproc)" | tail -n 1
vexsrv_bin=$build/bin/vexsrv
taskd_bin=$build/bin/tidewell-taskd

# A state folder and a service suffix of this run alone, so that nothing here
# meets another service instance on this computer.
state=$(mktemp -d "${TMPDIR:-/tmp}/tidewell-quickstart.XXXXXX")
suffix=_QS$$
taskd_pid=""
cleanup() {
  if [ -n "$taskd_pid" ] && kill -0 "$taskd_pid" 2>/dev/null; then
    kill -TERM "$taskd_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$taskd_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$taskd_pid" 2>/dev/null || true
    wait "$taskd_pid" 2>/dev/null || true
  fi
  rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "3. Starting the task service on this computer"
"$taskd_bin" --suffix "$suffix" --state-dir "$state" >"$state/taskd.log" 2>&1 &
taskd_pid=$!
echo "tidewell-taskd runs as process $taskd_pid, instance suffix $suffix, state in $state"

# Every command of the tour addresses that instance.
vexsrv() { "$vexsrv_bin" --suffix "$suffix" --timeout 30 "$@"; }
show() {
  local line="$ vexsrv" arg
  for arg in "$@"; do
    case $arg in *[[:space:]]*) line+=" \"$arg\"" ;; *) line+=" $arg" ;; esac
  done
  printf '%s\n' "$line"
  vexsrv "$@"
}

# Wait (at most 30 s) until the service answers: exit code 3 means not yet.
for i in $(seq 300); do
  rc=0
  vexsrv --timeout 5 db status >/dev/null 2>&1 || rc=$?
  [ "$rc" -ne 3 ] && break
  if ! kill -0 "$taskd_pid" 2>/dev/null; then
    echo "The service ended at start; its log:" >&2
    cat "$state/taskd.log" >&2
    exit 1
  fi
  if [ "$i" -eq 300 ]; then
    echo "The service did not answer within 30 s; its log:" >&2
    cat "$state/taskd.log" >&2
    exit 1
  fi
  sleep 0.1
done
echo "It answers. Every command below runs as: vexsrv --suffix $suffix ..."

say "4. The main job, step by step"

step "Start the database"
show db start

step "Register two tasks (each a command the service runs as a process)"
show task add collector --command-line "sleep 600"
show task add reporter --command-line "sleep 900"

step "List them in startup order"
show task list --startup-order

step "Start one and see it run"
show task start collector
show process check
echo "The service's own children (from /proc):"
for proc in /proc/[0-9]*; do
  stat=$(cat "$proc/stat" 2>/dev/null) || continue
  fields=${stat##*) }   # after the program name, which may hold spaces
  read -r _ ppid _ <<<"$fields"
  [ "$ppid" = "$taskd_pid" ] || continue
  printf '  %s  %s\n' "${proc#/proc/}" "$(tr '\0' ' ' <"$proc/cmdline" 2>/dev/null)"
done

step "Change the startup order: reporter first"
show order set reporter collector
show task list --startup-order

step "Read the status"
show db status
show db check

step "Discover the service by broadcast"
# One program per computer answers browse requests; another service may hold
# that place for a moment.
for _ in $(seq 100); do
  grep -q "answering browse requests" "$state/taskd.log" && break
  sleep 0.1
done
grep -q "answering browse requests" "$state/taskd.log" ||
  echo "(another service on this computer answers browse requests for now: it answers below)"
# The walk-through stays on this computer: no broadcast to the network.
VEXSRV_BROWSE_PORT=0 show discover --wait 1000

step "Stop everything"
show task stop collector
show db stop

say "5. Stopping the task service"
kill -TERM "$taskd_pid"
wait "$taskd_pid" || true
taskd_pid=""
echo "Done. $vexsrv_bin --help lists every operation; ./scripts/test-all.sh runs all tests."
