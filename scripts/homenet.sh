#!/usr/bin/env bash
# Runs a command on the server host of a small private home network, so that the server is
# tried as it runs in a home: several interfaces, players on other hosts. Every host is a
# network namespace made here from `unshare -n`; nothing has a link to the machine's own
# interfaces, and all of it goes when the command ends.
#
#   server host (runs the command): lo 127.0.0.1 (multicast routed to lo for same-host
#       clients), lan0 10.9.9.1/24, lan1 10.7.7.1/24, dock0 10.8.8.1/24 (a bridge with no
#       ports that nobody answers on, like docker0)
#   player 1: eth0 10.9.9.2/24, the other end of lan0
#   player 2: eth0 10.7.7.2/24, the other end of lan1
#
# The command runs a program on player N with: nsenter -t "$TV_PLAYERN_PID" -n PROGRAM...
# (TV_PLAYERN_ADDRESS is the player's address, TV_PLAYERN_SERVER the server's on its side).
set -euo pipefail
if [ "${TV_HOMENET:-}" = 1 ]; then exec "$@"; fi
[ $# -gt 0 ] || { echo "usage: bash scripts/homenet.sh COMMAND [ARGUMENTS...]" >&2; exit 2; }

exec unshare -n bash -c '
set -euo pipefail
holders=()
cleanup() {
  local pid
  for pid in "${holders[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  for pid in "${holders[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap "exit 143" TERM
trap "exit 130" INT

# A player host is the network namespace of a sleeping process that dies with this shell.
new_host() {
  setpriv --pdeathsig KILL unshare -n sleep infinity &
  local pid=$!
  holders+=("$pid")
  local mine; mine=$(readlink /proc/$$/ns/net)
  local i
  for i in $(seq 1 200); do
    [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null || echo "$mine")" != "$mine" ] && break
    sleep 0.01
  done
  [ "$(readlink "/proc/$pid/ns/net")" != "$mine" ] || { echo "homenet: no player host" >&2; exit 1; }
  HOST_PID=$pid
}

ip link set lo up
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo

# add_player N LINK ADDRESS SERVER: player N at ADDRESS, joined to LINK of the server host
# at SERVER.
add_player() {
  local n=$1 link=$2 address=$3 server=$4
  new_host
  ip link add "$link" type veth peer name eth0 netns "$HOST_PID"
  ip addr add "$server/24" dev "$link"
  ip link set "$link" up
  nsenter -t "$HOST_PID" -n sh -e -c "
    ip link set lo up
    ip addr add $address/24 dev eth0
    ip link set eth0 up
    ip route add 224.0.0.0/4 dev eth0"
  export "TV_PLAYER${n}_PID=$HOST_PID" "TV_PLAYER${n}_ADDRESS=$address" "TV_PLAYER${n}_SERVER=$server"
}
add_player 1 lan0 10.9.9.2 10.9.9.1
add_player 2 lan1 10.7.7.2 10.7.7.1
ip link add dock0 type bridge
ip addr add 10.8.8.1/24 dev dock0
ip link set dock0 up

# A veth carries traffic once its carrier is up, a moment after the link is set up.
for i in $(seq 1 100); do
  ok=1
  for n in 1 2; do
    pid_var=TV_PLAYER${n}_PID
    nsenter -t "${!pid_var}" -n ip -o link show eth0 | grep -q "state UP" || ok=0
  done
  [ $ok = 1 ] && break
  sleep 0.05
done

export TV_HOMENET=1 TV_NETNS=1
rc=0
"$@" || rc=$?
exit $rc' homenet "$@"
