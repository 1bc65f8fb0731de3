#!/usr/bin/env bash
# Measures the real program from outside: time until a folder of 11,000 files is browsable,
# Browse latency, a full paged listing and Browse requests per second, one- and four-stream
# download rates of a 1 GiB file, small ranged GETs per second, memory at idle and under load
# and CPU time per GiB served. Builds a Release program in build/bench and runs everything in a
# private network namespace (scripts/netns.sh). Not part of the tests: figures only.
#   bash scripts/bench.sh           tindravoller alone
#   bash scripts/bench.sh --peer    the same workloads against minidlna too, side by side
#   bash scripts/bench.sh --modern  tindravoller with today's listing and media information,
#                                   the media figures first (also with --peer, or
#                                   TV_BENCH_MODERN=1 in the environment)
# The peer (Debian package minidlna, installed if missing) runs as a black box in the same
# private namespace on its own port, with its own config, database and log in a temp dir.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --inside ]; then
  peer=()
  modern=()
  want_peer=false
  [ "${TV_BENCH_MODERN:-}" = 1 ] && modern=(--modern)
  for arg in "$@"; do
    case $arg in
      --peer) want_peer=true ;;
      --modern) modern=(--modern) ;;
      --modern-listing) modern=(--modern-listing) ;;
      *) echo "usage: bash scripts/bench.sh [--peer] [--modern | --modern-listing]" >&2; exit 2 ;;
    esac
  done
  if $want_peer; then
    if ! [ -x /usr/sbin/minidlnad ]; then
      # Installed only: the package's own service is never started here.
      DEBIAN_FRONTEND=noninteractive apt-get install -y minidlna >/dev/null
    fi
    peer=(--peer /usr/sbin/minidlnad)
  fi
  cmake --preset bench >/dev/null
  log=$(mktemp)
  cmake --build --preset bench --target tindravoller tindravoller-mediainfo >"$log" 2>&1 || { cat "$log"; rm -f "$log"; exit 1; }
  rm -f "$log"
  exec bash scripts/netns.sh bash scripts/bench.sh --inside --program "$PWD/build/bench/tindravoller" "${peer[@]}" "${modern[@]}"
fi

shift
exec python3 bench/peer_bench.py "$@"
