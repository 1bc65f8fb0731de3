#!/usr/bin/env bash
# Runs a command in a private network namespace whose loopback carries multicast,
# so that SSDP and GENA traffic never leaves the machine.
set -euo pipefail
if [ "${TV_NETNS:-}" = 1 ]; then exec "$@"; fi
exec unshare -n bash -c '
  set -e
  ip link set lo up
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
  export TV_NETNS=1
  exec "$@"' netns "$@"
