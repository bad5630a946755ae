#!/usr/bin/env bash
# Makes the test bed by hand, as the tests make it (tests/support/testbed.h):
# N hosts node1..nodeN (default 3), each a network, UTS and mount namespace
# with its own host name, /etc/hosts and /etc/resolv.conf, eth0 at 198.18.0.N
# and fd18::N on a bridge in a hub namespace. Nothing is added to this
# machine's own network. Runs until Ctrl-C, then removes everything.
#
#   sudo scripts/testbed.sh [N]
#   sudo nsenter -t <pid of nodeN> -n -u -m bash     # a shell in nodeN
set -euo pipefail
n=${1:-3}
[ "$(id -u)" -eq 0 ] || { echo "testbed.sh: needs root (network namespaces)" >&2; exit 1; }
[[ $n =~ ^[0-9]+$ && $n -ge 1 && $n -le 200 ]] || { echo "testbed.sh: 1 to 200 hosts" >&2; exit 2; }

dir=$(mktemp -d /tmp/vexsrv-bed-XXXXXX)
chmod 755 "$dir"
{
  printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n'
  for i in $(seq 1 "$n"); do printf '198.18.0.%d node%d\nfd18::%d node%d node%d-v6\n' "$i" "$i" "$i" "$i" "$i"; done
  printf '198.18.0.250 ghost\n'
} >"$dir/hosts"
echo 'nameserver 127.0.0.1' >"$dir/resolv.conf"
chmod 644 "$dir/hosts" "$dir/resolv.conf"

holders=()
cleanup() {
  for p in "${holders[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# Waits until process $1 runs sleep, in namespaces of its own.
await() {
  for _ in $(seq 1 200); do
    [ "$(cat /proc/"$1"/comm 2>/dev/null)" = sleep ] && return 0
    sleep 0.01
  done
  echo "testbed.sh: namespace holder $1 did not come up" >&2
  exit 1
}

unshare --net sh -c 'ip link set lo up; exec sleep infinity' &
hub=$!
holders+=("$hub")
await "$hub"
nsenter -t "$hub" -n sh -ec 'ip link add br0 type bridge; ip link set br0 up'

for i in $(seq 1 "$n"); do
  unshare --net --uts --mount --propagation private sh -ec "
    hostname node$i
    mount --bind $dir/hosts /etc/hosts
    mount --bind $dir/resolv.conf /etc/resolv.conf
    ip link set lo up
    exec sleep infinity" &
  pid=$!
  holders+=("$pid")
  await "$pid"
  nsenter -t "$hub" -n sh -ec "ip link add vh$i type veth peer name eth0 netns $pid; ip link set vh$i master br0; ip link set vh$i up"
  nsenter -t "$pid" -n sh -ec "ip addr add 198.18.0.$i/24 broadcast 198.18.0.255 dev eth0; ip -6 addr add fd18::$i/64 dev eth0 nodad; ip link set eth0 up"
  echo "node$i: 198.18.0.$i fd18::$i   nsenter -t $pid -n -u -m <command>"
done
echo "hosts file: $dir/hosts. Ctrl-C removes the bed."
while true; do sleep 3600; done
